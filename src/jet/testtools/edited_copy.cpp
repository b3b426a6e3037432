#include "jet/testtools/edited_copy.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "jet/checker.h"
#include "jet/compact_os.h"
#include "jet/rows.h"

namespace orvelle::jet::test {

std::vector<uint8_t>& PageEdits::Edit(uint32_t pn) {
  auto it = pages_.find(pn);
  if (it != pages_.end()) return it->second;
  Page p = db_.ReadPage(pn, "edited page");
  return pages_.emplace(pn, std::vector<uint8_t>(p->begin(), p->end())).first->second;
}

const std::vector<uint8_t>* PageEdits::Find(uint32_t pn) const {
  auto it = pages_.find(pn);
  return it == pages_.end() ? nullptr : &it->second;
}

std::vector<uint8_t>& PageEdits::MapRow(RowPointer map, size_t* offset, size_t* length) {
  // Edits change map rows in place, so the slots of the page as read still hold.
  DataPage host = ParseDataPage(db_, map.page, "usage map host");
  if (map.row >= host.slots.size() || !host.slots[map.row].Live()) {
    db_.Fail(map.page, "usage map host: no live map row " + std::to_string(map.row));
  }
  *offset = host.slots[map.row].offset;
  *length = host.slots[map.row].Length();
  if (*length < 5)
    db_.Fail(map.page, "usage map host: map row " + std::to_string(map.row) + " has " +
                           std::to_string(*length) + " bytes");
  return Edit(map.page);
}

bool PageEdits::SetMapBit(RowPointer map, uint32_t pn, bool on) {
  size_t at = 0, len = 0;
  std::vector<uint8_t>& host = MapRow(map, &at, &len);
  uint8_t* row = host.data() + at;
  const std::string what = "usage map at " + Describe(map);
  uint8_t* bits = nullptr;
  uint64_t bit = 0;
  if (row[0] == 0x00) {
    const uint32_t start = Le32(row + 1);
    if (pn >= start && pn - start < 8ull * (len - 5)) {
      bits = row + 5;
      bit = pn - start;
    }
  } else if (row[0] == 0x01) {
    const uint32_t per = db_.GetLayout().bitmap_pages_per_page;
    const size_t slot = pn / per;
    const uint32_t bitmap = 1 + 4 * (slot + 1) <= len ? Le32(row + 1 + 4 * slot) : 0;
    if (bitmap != 0) {
      std::vector<uint8_t>& page = Edit(bitmap);
      if (page[0] != kPageUsageBitmap) {
        db_.Fail(bitmap, what + ": slot " + std::to_string(slot) + " names a page of type " +
                             Hex(page[0]) + ", expected 0x05");
      }
      bits = page.data() + 4;
      bit = pn % per;
    }
  } else {
    db_.Fail(map.page, what + ": map type " + Hex(row[0]) + ", expected 0x00 or 0x01");
  }
  if (!bits) return false;
  const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
  if (on) {
    bits[bit / 8] |= mask;
  } else {
    bits[bit / 8] &= static_cast<uint8_t>(~mask);
  }
  return true;
}

void PageEdits::SetRowCount(const TableDef& t, uint32_t rows) {
  uint8_t* p = Edit(t.page).data() + db_.GetLayout().tdef_num_rows;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(rows >> (8 * i));
}

uint32_t WritePages(Database& db, const PageEdits& edits, uint32_t count,
                    const std::function<void(uint32_t, uint8_t*)>& fill, std::ostream& out) {
  const uint32_t ps = db.PageSize();
  std::vector<uint8_t> buf(ps);
  for (uint32_t pn = 0; pn < count; ++pn) {
    if (const std::vector<uint8_t>* e = edits.Find(pn)) {
      std::memcpy(buf.data(), e->data(), ps);
    } else if (pn < db.PageCount()) {
      Page p = db.ReadPage(pn, "copied page");
      std::memcpy(buf.data(), p->data(), ps);
    } else {
      std::fill(buf.begin(), buf.end(), 0);
    }
    fill(pn, buf.data());
    db.EncodeOutputPage(pn, buf.data());
    out.write(reinterpret_cast<const char*>(buf.data()), ps);
    if (!out) db.Fail(pn, "cannot write the page");
  }
  return count;
}

namespace {

// Removes the temporary file unless it took its name.
struct TempFile {
  std::string path;
  ~TempFile() {
    if (!path.empty()) RemoveFile(path);
  }
};

}  // namespace

void PublishNewFile(const std::string& path, bool check,
                    const std::function<void(std::ostream&)>& write) {
  if (PathExists(path)) throw JetError(path, -1, "already exists");
  TempFile temp;
  std::string name = path + ".orvelle-tmp";
  for (int i = 1; PathExists(name); ++i) name = path + "." + std::to_string(i) + ".orvelle-tmp";
  {
    std::ofstream out;
    // Large writes: one system call per megabyte instead of per page.
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    out.rdbuf()->pubsetbuf(buffer.get(), 1 << 20);
    out.open(std::filesystem::u8path(name), std::ios::binary | std::ios::trunc);
    if (!out) throw JetError(path, -1, "cannot create the temporary file " + name);
    temp.path = name;
    write(out);
    out.close();
    if (!out) throw JetError(path, -1, "cannot write the temporary file " + name);
  }
  if (check) {
    auto db = Database::OpenFile(name);
    CheckReport report = CheckDatabase(*db);
    for (const Finding& f : report.findings) {
      if (f.severity == Severity::kError) {
        throw JetError(path, f.page, "the written copy fails the structural check: " + f.text);
      }
    }
  }
  std::string error;
  if (!RenameNoReplace(name, path, &error)) {
    throw JetError(path, -1, "cannot rename " + name + " to it: " + error);
  }
  temp.path.clear();
}

}  // namespace orvelle::jet::test
