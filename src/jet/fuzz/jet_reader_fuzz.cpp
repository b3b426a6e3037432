// libFuzzer target: any input must end in a JetError or a report, never a crash, a hang or an
// unbounded allocation. Run: build/fuzz/jet_reader_fuzz -max_len=200000 -max_total_time=300
// CORPUS_DIR with the fixture databases as seeds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "jet/checker.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelle::jet;
  try {
    Database db(MemorySource("fuzz.mdb", std::string(reinterpret_cast<const char*>(data), size)));
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
    Database again(
        MemorySource("fuzz2.mdb", std::string(reinterpret_cast<const char*>(data), size)));
    CompareDatabases(db, again);
  } catch (const JetError&) {
  }
  return 0;
}
