#include "test_support.h"

#include <cctype>
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

static fs::path SharedDir() { return fs::path(ORVELLE_SOURCE_DIR) / ".." / "shared"; }

// The folder a set is read from, before any copy: the variable when set (even to a missing
// folder, which hides the set), else the default place. Empty when it is no folder.
static std::string SourceOf(const char* var, const fs::path& fallback) {
  std::error_code ec;
  if (const char* v = std::getenv(var); v && *v) {
    return fs::is_directory(v, ec) ? std::string(v) : std::string();
  }
  return fs::is_directory(fallback, ec) ? fs::canonical(fallback, ec).string() : std::string();
}

static std::string CorpusSource() {
  return SourceOf("ORVELLE_FIXTURES", SharedDir() / "fixtures" / "access");
}
static std::string EncryptedSource() {
  return SourceOf("ORVELLE_FIXTURES_ENCRYPTED", SharedDir() / "fixtures" / "access-encrypted");
}

// A folder without databases counts as absent.
std::string AccessFixturesDir() {
  const std::string dir = CorpusSource();
  return CountDatabases(dir) == 0 ? std::string() : PrivateCopy(dir);
}

std::string EncryptedFixturesDir() {
  const std::string dir = EncryptedSource();
  return CountDatabases(dir) == 0 ? std::string() : PrivateCopy(dir);
}

std::string DebianTestDataDir() {
  return SourceOf("ORVELLE_TEST_DATA", fs::path(ORVELLE_SOURCE_DIR) / "build" / "test-data");
}

std::string MissingMessage(SampleSet set) {
  if (set == SampleSet::kDebian) {
    return "sample databases absent: the Debian samples (run scripts/fetch-test-data.sh, or set "
           "ORVELLE_TEST_DATA)";
  }
  return "sample databases absent: the Access corpus (../shared/fixtures beside the source tree, "
         "or set ORVELLE_FIXTURES and ORVELLE_FIXTURES_ENCRYPTED)";
}

bool MissingIsError() {
  const char* ci = std::getenv("CI");
  std::error_code ec;
  return ci && std::string(ci) == "true" && fs::is_directory(SharedDir(), ec);
}

// Databases directly in a folder (0 when there is no folder).
size_t CountDatabases(const std::string& dir) {
  size_t n = 0;
  if (dir.empty()) return n;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string ext = it->path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((ext == ".mdb" || ext == ".accdb") && it->is_regular_file(ec)) ++n;
  }
  return n;
}

std::string SampleCountLine() {
  std::string line = "sample databases:";
  const char* sep = " ";
  for (const auto& [name, dir] : {std::pair<const char*, std::string>{"corpus", CorpusSource()},
                                  {"encrypted corpus", EncryptedSource()},
                                  {"Debian samples", DebianTestDataDir()}}) {
    line += sep + std::string(name) + " " + std::to_string(CountDatabases(dir)) + " files";
    line += dir.empty() ? std::string(" (absent)") : " in " + dir;
    sep = ", ";
  }
  return line;
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
