// orvelle-jet-damaged-headers: test tool (never installed) that writes the encrypted fixtures
// with damaged encryption headers, and an encrypted standard-AES copy of a plain fixture, into a
// folder: seeds for the reader's fuzz target (scripts/fuzz.sh).
//   orvelle-jet-damaged-headers OUT_DIR
// Exit status: 0 written (nothing when the fixtures are absent), 2 bad usage or I/O error.
#include <exception>
#include <iostream>
#include <string>

#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/office_fixtures.h"
#include "test_support.h"

int main(int argc, char** argv) {
  using namespace orvelle::jet;
  if (argc != 2) {
    std::cerr << "usage: orvelle-jet-damaged-headers OUT_DIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  try {
    int n = 0;
    for (const test::DamagedHeader& d : test::DamagedEncryptionHeaders()) {
      std::string name = "damaged-header-" + std::to_string(++n) + ".accdb";
      orvelle::test::WriteBytes(dir + "/" + name, d.bytes);
    }
    const std::string plain = test::Fixture("template-empty2010.accdb");
    if (!plain.empty()) {
      orvelle::test::WriteBytes(
          dir + "/standard-aes.accdb",
          test::EncryptAceImage(orvelle::test::ReadBytes(plain),
                                test::VectorDescriptor(test::VectorScheme::kStandardAes),
                                test::kVectorDatabaseKey, test::kVectorPassword));
      ++n;
    }
    std::cout << n << " seeds written to " << dir << "\n";
  } catch (const std::exception& e) {
    std::cerr << "orvelle-jet-damaged-headers: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
