#include "jet/table_ids.h"

#include <cctype>
#include <cstring>

namespace orvelle::jet {

namespace {

bool SameName(const char* a, const std::string& b) {
  if (std::strlen(a) != b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

const std::vector<TableIdHolder>& TableIdHolders() {
  static const std::vector<TableIdHolder> holders = {
      {"MSysObjects", "Id"},
      {"MSysACEs", "ObjectId"},
      {"MSysComplexColumns", "ConceptualTableID"},
      {"MSysComplexColumns", "FlatTableID"},
      {"MSysComplexColumns", "ComplexTypeObjectID"},
      {"MSysNavPaneObjectIDs", "Id"},
      {"MSysNavPaneGroupToObjects", "ObjectID"},
      {"MSysNavPaneGroupCategories", "SelectedObjectID"},
      {"MSysNameMap", "Id"},
  };
  return holders;
}

std::vector<size_t> HolderColumns(const TableDef& t, const std::string& name) {
  std::vector<size_t> out;
  for (const TableIdHolder& h : TableIdHolders()) {
    if (!SameName(h.table, name)) continue;
    for (size_t k = 0; k < t.columns.size(); ++k) {
      if (SameName(h.column, t.columns[k].name)) out.push_back(k);
    }
  }
  return out;
}

}  // namespace orvelle::jet
