// Long values (MEMO, OLE): inline, single LVAL row, or a chain of LVAL rows.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "jet/database.h"

namespace orvelle::jet {

enum LongValueKind : uint8_t { kLvChain = 0x00, kLvSingle = 0x40, kLvInline = 0x80 };

struct LongValueHeader {
  uint32_t length = 0;
  uint8_t kind = 0;
  RowPointer first;
  uint32_t stamp = 0;
};

// Decodes the 12-byte header at the start of a variable column span; throws JetError naming
// page when the span is too short or the kind unknown.
LongValueHeader ParseLongValueHeader(Database& db, const uint8_t* span, size_t size, uint32_t page,
                                     const std::string& column);

// Walks the value and hands its bytes to sink piece by piece; every LVAL page it touches is
// appended to pages and every LVAL row to rows, in chain order (each if given). Checks the
// length, page types and loops.
void ReadLongValue(Database& db, const uint8_t* span, size_t size, uint32_t page,
                   const std::string& column,
                   const std::function<void(const uint8_t*, size_t)>& sink,
                   std::vector<uint32_t>* pages, std::vector<RowPointer>* rows = nullptr);

}  // namespace orvelle::jet
