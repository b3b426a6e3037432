// Key-derivation benchmark (not a test): for each password-encrypted fixture (and a standard-AES
// copy of a plain fixture), its scheme, the time to open it (the key derivation and the verifier
// check; the best of three), the sizes before and after compaction and the time the whole
// verified compaction takes.
//   orvelle-key-bench ENCRYPTED-FIXTURE-FOLDER WORK-FOLDER
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "jet/compact.h"
#include "jet/database.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/office_fixtures.h"
#include "test_support.h"

int main(int argc, char** argv) {
  using namespace orvelle::jet;
  namespace fs = std::filesystem;
  using Clock = std::chrono::steady_clock;
  if (argc != 3) {
    std::fprintf(stderr, "usage: orvelle-key-bench ENCRYPTED-FIXTURE-FOLDER WORK-FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1], work = argv[2];
  fs::create_directories(work);
  std::printf("%-22s %-60s %9s %9s %9s %9s\n", "file", "scheme", "key (ms)", "before", "after",
              "total (s)");
  // The fixtures, and standard AES (which no fixture has) on a plain fixture encrypted here.
  std::vector<test::EncryptedCase> cases = test::PasswordFixtures();
  const std::string plain = test::Fixture("V2010-testV2010.accdb");
  if (!plain.empty()) {
    orvelle::test::WriteBytes(
        work + "/standard-aes.accdb",
        test::EncryptAceImage(orvelle::test::ReadBytes(plain),
                              test::VectorDescriptor(test::VectorScheme::kStandardAes),
                              test::kVectorDatabaseKey, test::kVectorPassword));
    cases.push_back({"standard-aes.accdb", test::kVectorPassword, ""});
  }
  for (const test::EncryptedCase& c : cases) {
    const std::string in = (c.scheme[0] ? folder : work) + "/" + c.file;
    if (!fs::exists(in)) continue;
    double best = 1e9;
    std::string scheme;
    for (int i = 0; i < 3; ++i) {
      auto t0 = Clock::now();
      auto db = Database::OpenFile(in, c.password);
      best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
      scheme = db->GetHeader().office->Describe();
    }
    const std::string out = work + "/out-" + c.file;
    fs::remove(out);
    CompactOptions o;
    o.password = c.password;
    auto t0 = Clock::now();
    CompactResult r = CompactDatabase(in, out, o);
    const double total = std::chrono::duration<double>(Clock::now() - t0).count();
    fs::remove(out);
    std::printf("%-22s %-60s %9.1f %9llu %9llu %9.2f\n", c.file, scheme.c_str(), best * 1000,
                static_cast<unsigned long long>(r.bytes_before),
                static_cast<unsigned long long>(r.bytes_after), total);
  }
  return 0;
}
