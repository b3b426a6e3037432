// Helpers shared by the tests: temporary folders, fixture lookup, small file helpers.
#pragma once

#include <string>

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

// Folder of the real Access databases: $ORVELLE_FIXTURES, else ../shared/fixtures/access
// beside the source tree. Empty when absent (callers GTEST_SKIP with a message).
std::string AccessFixturesDir();
// The same for the encrypted databases ($ORVELLE_FIXTURES_ENCRYPTED or
// ../shared/fixtures/access-encrypted).
std::string EncryptedFixturesDir();
// Folder that scripts/fetch-test-data.sh fills with files from Debian packages
// ($ORVELLE_TEST_DATA, else build/test-data in the source tree). Empty when absent.
std::string DebianTestDataDir();

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
