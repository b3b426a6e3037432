#include "jet/testtools/jet_fixtures.h"

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

void Put16(std::string& bytes, uint64_t offset, uint16_t value) {
  bytes.at(offset) = static_cast<char>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, uint64_t offset, uint32_t value) {
  Put16(bytes, offset, static_cast<uint16_t>(value & 0xFFFF));
  Put16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

}  // namespace orvelle::jet::test
