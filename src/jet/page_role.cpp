#include "jet/page_role.h"

namespace orvelle::jet {

const char* PageRoleName(PageRole r) {
  switch (r) {
    case PageRole::kNone:
      return "nothing";
    case PageRole::kHeader:
      return "header";
    case PageRole::kTableDef:
      return "table definition";
    case PageRole::kMapHost:
      return "usage-map host";
    case PageRole::kBitmap:
      return "usage bitmap";
    case PageRole::kData:
      return "data page";
    case PageRole::kLongValue:
      return "long-value page";
    case PageRole::kIndex:
      return "index page";
  }
  return "?";
}

}  // namespace orvelle::jet
