#include "jet/testtools/jet_fixtures.h"

#include <algorithm>
#include <filesystem>

#include "test_support.h"

namespace orvelle::jet::test {

static std::string In(const std::string& dir, const std::string& name) {
  if (dir.empty()) return std::string();
  std::string path = dir + "/" + name;
  return orvelle::test::Exists(path) ? path : std::string();
}

std::string Fixture(const std::string& name) {
  return In(orvelle::test::AccessFixturesDir(), name);
}

std::string EncryptedFixture(const std::string& name) {
  return In(orvelle::test::EncryptedFixturesDir(), name);
}

std::string DebianFixture(const std::string& name) {
  return In(orvelle::test::DebianTestDataDir(), name);
}

static const char* const kRefused[] = {"debian-fp-units-db-testodbc.mdb",
                                       "V2007-unsupportedFieldsTestV2007.accdb"};

std::vector<std::string> CompactableFixtures() {
  std::vector<std::string> out;
  std::string dir = orvelle::test::AccessFixturesDir();
  if (dir.empty()) return out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    std::string ext = e.path().extension().string();
    if ((ext == ".mdb" || ext == ".accdb") &&
        std::find(std::begin(kRefused), std::end(kRefused), name) == std::end(kRefused)) {
      out.push_back(e.path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> RefusedFixtures() {
  std::vector<std::string> out;
  for (const char* name : kRefused) {
    std::string path = Fixture(name);
    if (!path.empty()) out.push_back(path);
  }
  return out;
}

void Put16(std::string& bytes, uint64_t offset, uint16_t value) {
  bytes.at(offset) = static_cast<char>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, uint64_t offset, uint32_t value) {
  Put16(bytes, offset, static_cast<uint16_t>(value & 0xFFFF));
  Put16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

}  // namespace orvelle::jet::test
