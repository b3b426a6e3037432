// What a page of a database is to the structures that reach it: the one classification the
// structural checker and the page slide's inventory both assign while they walk the file.
#pragma once

#include <cstdint>

namespace orvelle::jet {

enum class PageRole : uint8_t {
  kNone,  // free, leaked, or holding nothing a live structure reaches
  kHeader,
  kTableDef,
  kMapHost,
  kBitmap,
  kData,
  kLongValue,
  kIndex,
};

// "table definition", "usage-map host", ...; "nothing" for kNone.
const char* PageRoleName(PageRole r);

}  // namespace orvelle::jet
