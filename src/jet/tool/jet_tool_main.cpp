#include <iostream>

#include "jet/database.h"
#include "jet/rows.h"
#include "jet/table_def.h"

int main(int argc, char** argv) {
  using namespace orvelle::jet;
  try {
    auto db = Database::OpenFile(argv[1]);
    std::cout << VersionName(db->GetHeader().version) << " pages " << db->PageCount() << "\n";
    for (const CatalogEntry& e : db->Catalog()) {
      TableDef t = ReadTableDef(*db, e.id);
      size_t n = 0;
      ForEachLiveRow(*db, t, [&](const LiveRow& r) {
        CrackRow(*db, t, r);
        ++n;
      });
      std::cout << e.name << " " << n << (e.System() ? " sys" : "") << "\n";
    }
  } catch (const std::exception& e) {
    std::cout << "ERROR " << e.what() << "\n";
    return 1;
  }
  (void)argc;
  return 0;
}
