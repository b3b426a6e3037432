// Column values as numbers and UTF-8 text, for the catalogue, the tool and comparisons.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "jet/rows.h"
#include "jet/table_def.h"

namespace orvelle::jet {

std::string Utf16ToUtf8(const uint8_t* data, size_t size);
// Jet3 text; code page 1252 is what every sample uses, other code pages map bytes >= 0x80
// as 1252 too.
std::string CodePageToUtf8(const std::string& bytes, uint16_t code_page);
// TEXT/MEMO bytes as stored: code-page bytes on Jet3, UCS-2 or compressed Unicode on Jet4+.
std::string DecodeText(Database& db, const uint8_t* data, size_t size);

// Values of BYTE, INTEGER and LONG columns (k indexes t.columns); nullopt for null or another
// type.
std::optional<int64_t> IntegerValue(const TableDef& t, size_t k, const CrackedRow& r);
// Value of a TEXT column ("" for null).
std::string TextValue(Database& db, const TableDef& t, size_t k, const CrackedRow& r);

// Canonical text of a value of the types every reader renders alike: boolean (1/0), BYTE,
// INTEGER, LONG (decimal), TEXT and MEMO (UTF-8). Null is "". nullopt for other types.
std::optional<std::string> RenderValue(Database& db, const TableDef& t, size_t k,
                                       const CrackedRow& r);

}  // namespace orvelle::jet
