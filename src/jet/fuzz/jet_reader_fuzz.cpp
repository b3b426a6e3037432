// libFuzzer target: any input must end in a JetError or a report, never a crash, a hang or an
// unbounded allocation. Encrypted inputs are opened with the password of their seed. Run:
// build/fuzz/jet_reader_fuzz -max_len=200000 -max_total_time=300 CORPUS_DIR with the fixture
// databases as seeds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "jet/checker.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/header.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/values.h"

namespace {

using namespace orvelle::jet;

constexpr uint32_t kFuzzMaxSpinCount = 1000000;
const char* const kSkip = "\x01skip";

// The password of the encrypted seed with this scheme (the fixtures' and the test vectors'), so
// that mutations past the header reach the key derivation and the decrypted pages.
std::string PasswordFor(const uint8_t* data, size_t size) {
  try {
    Header h = DecodeHeader(data, size < 4096 ? size : 4096, "fuzz");
    if (!h.office) return std::string();
    // A mutated spin count up to the format's limit costs seconds per input; the limit itself
    // is covered by the damage tests.
    if (h.office->SpinCount() > kFuzzMaxSpinCount) return kSkip;
    switch (h.office->scheme) {
      case OfficeScheme::kAgile:
        return h.office->agile.data_key_bits == 256 ? "1234" : "Test123";
      case OfficeScheme::kRc4CryptoApi:
        return "Test123";
      case OfficeScheme::kNonStandardAes:
        return "password";
      case OfficeScheme::kStandardAes:
        return "Orvelle pass";
    }
  } catch (const JetError&) {
  }
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string password = PasswordFor(data, size);
  if (password == kSkip) return 0;
  try {
    Database db(MemorySource("fuzz.mdb", std::string(reinterpret_cast<const char*>(data), size)),
                password);
    CheckDatabase(db);
    for (const CatalogEntry& e : db.Catalog()) {
      try {
        TableDef t = ReadTableDef(db, e.id);
        ForEachLiveRow(db, t, [&](const LiveRow& r) {
          CrackedRow cr = CrackRow(db, t, r);
          for (size_t k = 0; k < t.columns.size(); ++k) RenderValue(db, t, k, cr);
        });
      } catch (const JetError&) {
      }
    }
    // A second key derivation would halve the speed on encrypted inputs for little gain.
    if (db.GetHeader().office) return 0;
    Database again(
        MemorySource("fuzz2.mdb", std::string(reinterpret_cast<const char*>(data), size)));
    CompareDatabases(db, again);
  } catch (const JetError&) {
  }
  return 0;
}
