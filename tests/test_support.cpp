#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace orvelle::test {

ScopedTempDir::ScopedTempDir() {
  std::random_device rd;
  std::mt19937_64 gen(rd());
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p =
        fs::temp_directory_path() / ("orvelle-test-" + std::to_string(gen() % 1000000000ULL));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ec;
  // Make everything writable again so that read-only test files do not stay behind.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string ScopedTempDir::Sub(const std::string& relative) const {
  return (fs::path(path_) / relative).string();
}

// The tests read a copy of each fixture folder, made once per process: a compaction holds the
// lock file beside its source, and that must never appear among the shared fixtures, where
// other test processes would see the database as in use.
static std::string PrivateCopy(const std::string& dir) {
  static std::mutex lock;
  static std::map<std::string, std::string> copies;
  static ScopedTempDir root;
  std::lock_guard<std::mutex> guard(lock);
  auto found = copies.find(dir);
  if (found != copies.end()) return found->second;
  const std::string copy = root.Sub(std::to_string(copies.size()));
  std::error_code ec;
  fs::copy(dir, copy, fs::copy_options::recursive, ec);
  if (ec) throw std::runtime_error("cannot copy the fixtures of " + dir + ": " + ec.message());
  return copies[dir] = copy;
}

static std::string FromEnvOrShared(const char* var, const char* sub) {
  if (const char* v = std::getenv(var); v && *v) {
    return fs::is_directory(v) ? PrivateCopy(v) : std::string();
  }
  fs::path p = fs::path(ORVELLE_SOURCE_DIR) / ".." / "shared" / "fixtures" / sub;
  std::error_code ec;
  if (fs::is_directory(p, ec)) return PrivateCopy(fs::canonical(p, ec).string());
  return std::string();
}

std::string AccessFixturesDir() { return FromEnvOrShared("ORVELLE_FIXTURES", "access"); }

std::string EncryptedFixturesDir() {
  return FromEnvOrShared("ORVELLE_FIXTURES_ENCRYPTED", "access-encrypted");
}

std::string DebianTestDataDir() {
  if (const char* v = std::getenv("ORVELLE_TEST_DATA"); v && *v) {
    return fs::is_directory(v) ? std::string(v) : std::string();
  }
  fs::path p = fs::path(ORVELLE_SOURCE_DIR) / "build" / "test-data";
  std::error_code ec;
  return fs::is_directory(p, ec) ? p.string() : std::string();
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string WithoutSummary(const std::string& err) {
  static const std::regex summary(
      "orvelle: [0-9]+ files?: [0-9]+ compacted, [0-9]+ failed, [0-9]+ skipped; .* in "
      "[0-9]+\\.[0-9]{2} s\n$");
  const size_t start = err.size() < 2 ? 0 : err.rfind('\n', err.size() - 2);
  const size_t line = start == std::string::npos || err.size() < 2 ? 0 : start + 1;
  if (!std::regex_match(err.substr(line), summary)) return err;
  return err.substr(0, line);
}

std::string BuiltProgram(const std::string& name) {
#ifdef _WIN32
  return (fs::path(ORVELLE_BINARY_DIR) / (name + ".exe")).string();
#else
  return (fs::path(ORVELLE_BINARY_DIR) / name).string();
#endif
}

}  // namespace orvelle::test
