#include "jet/values.h"

#include "jet/long_value.h"
#include "platform/text.h"

namespace orvelle::jet {

namespace {

// Windows-1252 0x80..0x9F; 0 marks the five unassigned bytes (kept as U+0080..).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf16Units(std::string& out, const uint8_t* d, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = Le16(d + 2 * i);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      uint32_t lo = Le16(d + 2 * (i + 1));
      if (lo >= 0xDC00 && lo < 0xE000) {
        text::AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    text::AppendUtf8(out, u);
  }
}

}  // namespace

std::string Utf16ToUtf8(const uint8_t* data, size_t size) {
  std::string out;
  AppendUtf16Units(out, data, size / 2);
  return out;
}

std::string CodePageToUtf8(const std::string& bytes, uint16_t /*code_page*/) {
  std::string out;
  for (unsigned char ch : bytes) {
    uint32_t cp = ch;
    if (ch >= 0x80 && ch < 0xA0 && kCp1252High[ch - 0x80]) cp = kCp1252High[ch - 0x80];
    text::AppendUtf8(out, cp);
  }
  return out;
}

std::string DecodeText(Database& db, const uint8_t* data, size_t size) {
  if (db.GetLayout().jet3) {
    return CodePageToUtf8(std::string(reinterpret_cast<const char*>(data), size),
                          db.GetHeader().code_page);
  }
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    // Compressed: one byte per character; each 0x00 toggles between 1- and 2-byte segments.
    std::string out;
    bool compressed = true;
    size_t start = 2;
    for (size_t i = 2; i <= size; ++i) {
      if (i < size && data[i] != 0) continue;
      if (compressed) {
        for (size_t k = start; k < i; ++k) text::AppendUtf8(out, data[k]);
      } else {
        AppendUtf16Units(out, data + start, (i - start) / 2);
      }
      compressed = !compressed;
      start = i + 1;
    }
    return out;
  }
  return Utf16ToUtf8(data, size);
}

std::optional<int64_t> IntegerValue(const TableDef& t, size_t k, const CrackedRow& r) {
  if (k >= r.columns.size() || k >= t.columns.size()) return std::nullopt;
  const Column& c = t.columns[k];
  const ColumnData& d = r.columns[k];
  if (!d.present) return std::nullopt;
  if (c.type == kByte && d.size >= 1) return d.data[0];
  if (c.type == kInt && d.size >= 2) return static_cast<int16_t>(Le16(d.data));
  if (c.type == kLong && d.size >= 4) return static_cast<int32_t>(Le32(d.data));
  return std::nullopt;
}

std::string TextValue(Database& db, const TableDef& t, size_t k, const CrackedRow& r) {
  if (k >= r.columns.size() || k >= t.columns.size() || !r.columns[k].present) return "";
  return DecodeText(db, r.columns[k].data, r.columns[k].size);
}

std::optional<std::string> RenderValue(Database& db, const TableDef& t, size_t k,
                                       const CrackedRow& r) {
  const Column& c = t.columns[k];
  const ColumnData& d = r.columns[k];
  switch (c.type) {
    case kBool:
      return std::string(d.present ? "1" : "0");
    case kByte:
    case kInt:
    case kLong: {
      std::optional<int64_t> v = IntegerValue(t, k, r);
      return v ? std::to_string(*v) : std::string();
    }
    case kText:
      return TextValue(db, t, k, r);
    case kMemo: {
      if (!d.present) return std::string();
      if (c.Fixed()) return std::nullopt;
      std::string bytes;
      ReadLongValue(
          db, d.data, d.size, r.data.page, c.name,
          [&](const uint8_t* p, size_t n) { bytes.append(reinterpret_cast<const char*>(p), n); },
          nullptr);
      return DecodeText(db, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    default:
      return std::nullopt;
  }
}

}  // namespace orvelle::jet
