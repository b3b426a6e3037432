// Helpers shared by the tests: temporary folders, fixture lookup, small file helpers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvelle::test {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes. Path() ends without a delimiter.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Path() + delimiter + relative.
  std::string Sub(const std::string& relative) const;

 private:
  std::string path_;
};

// The databases the tests read and nobody commits. The corpus (plain and encrypted) lies in
// ../shared/fixtures/access and ../shared/fixtures/access-encrypted beside the source tree, or
// wherever $ORVELLE_FIXTURES and $ORVELLE_FIXTURES_ENCRYPTED point; the samples unpacked from
// Debian packages by scripts/fetch-test-data.sh lie in build/test-data, or $ORVELLE_TEST_DATA.
enum class SampleSet { kCorpus, kDebian };

// Folder of the plain corpus, as a private copy made once per process. Empty when absent or
// when the folder holds no database.
std::string AccessFixturesDir();
// The same for the encrypted corpus.
std::string EncryptedFixturesDir();
// Folder of the Debian samples (read in place: the tests copy what they change). Empty when
// absent.
std::string DebianTestDataDir();

// The one message a test gives when the databases it needs are missing.
std::string MissingMessage(SampleSet set);
// A missing set is an error rather than a skip in continuous integration (CI=true) when the
// shared folder lies beside the source tree: then the databases were meant to be there.
bool MissingIsError();
// Number of .mdb and .accdb files directly in a folder (0 for "").
size_t CountDatabases(const std::string& dir);
// One line naming how many databases of each set were found, and where.
std::string SampleCountLine();

inline bool Missing(const std::string& path) { return path.empty(); }
template <class T>
bool Missing(const std::vector<T>& items) {
  return items.empty();
}
inline bool Missing(bool present) { return !present; }
bool Missing(const char*) = delete;
template <class... T>
bool AnyMissing(const T&... v) {
  return (Missing(v) || ...);
}

// Whole-file helpers that throw std::runtime_error on failure.
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);  // creates parents
bool Exists(const std::string& path);

// A console run's standard error without the summary line it ends with: what else the run
// told. The text is returned unchanged when its last line is no summary.
std::string WithoutSummary(const std::string& err);

// Path of a program built beside the test binary (for example "orvelle").
std::string BuiltProgram(const std::string& name);

}  // namespace orvelle::test

// Ends the current test when one of the given paths is empty, a list is empty or a condition
// is false: skipped, or failed where MissingIsError(). Every test that needs databases from
// outside the repository ends this way and no other.
#define ORVELLE_REQUIRE_SAMPLES_(set, ...)                                                \
  do {                                                                                    \
    if (::orvelle::test::AnyMissing(__VA_ARGS__)) {                                       \
      if (::orvelle::test::MissingIsError()) {                                            \
        FAIL() << ::orvelle::test::MissingMessage(::orvelle::test::SampleSet::set);       \
      } else {                                                                            \
        GTEST_SKIP() << ::orvelle::test::MissingMessage(::orvelle::test::SampleSet::set); \
      }                                                                                   \
    }                                                                                     \
  } while (0)
#define ORVELLE_REQUIRE_CORPUS(...) ORVELLE_REQUIRE_SAMPLES_(kCorpus, __VA_ARGS__)
#define ORVELLE_REQUIRE_DEBIAN(...) ORVELLE_REQUIRE_SAMPLES_(kDebian, __VA_ARGS__)
