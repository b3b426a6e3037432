// A database file opened for reading: decoded pages through a small cache, the layout
// constants of its format family, and the catalogue.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "jet/bytes.h"
#include "jet/header.h"
#include "jet/page_source.h"

namespace orvelle::jet {

// Row pointer: page and row slot (stored as (page << 8) | row).
struct RowPointer {
  uint32_t page = 0;
  uint8_t row = 0;
  static RowPointer FromLe(uint32_t v) { return {v >> 8, static_cast<uint8_t>(v & 0xFF)}; }
  uint32_t Packed() const { return (page << 8) | row; }
  bool IsNull() const { return page == 0 && row == 0; }
  bool operator==(const RowPointer& o) const { return page == o.page && row == o.row; }
  bool operator<(const RowPointer& o) const { return Packed() < o.Packed(); }
};
std::string Describe(RowPointer rp);  // "page 5 row 2"

// Offsets and sizes that differ between Jet3 and Jet4+ (Jet4 and every ACE version).
struct Layout {
  bool jet3;
  uint32_t page_size;
  uint32_t data_num_rows;  // offset of num_rows on data pages
  uint32_t data_header;    // first slot entry
  uint32_t tdef_num_rows, tdef_table_type, tdef_max_cols, tdef_num_var_cols, tdef_num_cols,
      tdef_num_idx, tdef_num_real_idx, tdef_owned_map, tdef_free_map, tdef_var_start;
  uint32_t count_block;  // per physical index, before the columns
  uint32_t column_desc;  // column descriptor size
  uint32_t col_type, col_number, col_var_index, col_flags, col_fixed_offset, col_length;
  uint32_t physical_index;  // physical index block size
  uint32_t pidx_columns, pidx_map, pidx_root, pidx_flags;
  uint32_t logical_index;  // logical index block size
  uint32_t lidx_number, lidx_physical, lidx_rel_table, lidx_kind;
  uint32_t idx_prev, idx_next, idx_tail, idx_prefix, idx_marker, idx_mask, idx_mask_len,
      idx_first_entry;
  uint32_t bitmap_pages_per_page;  // pages covered by one type-0x05 page
  static Layout For(const Header& h);
};

using Page = std::shared_ptr<const std::vector<uint8_t>>;

enum PageType : uint8_t {
  kPageData = 0x01,
  kPageTableDef = 0x02,
  kPageIndexNode = 0x03,
  kPageIndexLeaf = 0x04,
  kPageUsageBitmap = 0x05,
};

// One object row of MSysObjects that names a table with a local definition (Type 1 or 4).
class OfficeCipher;

struct CatalogEntry {
  std::string name;
  uint32_t id = 0;  // first TDEF page
  int16_t type = 0;
  uint32_t flags = 0;
  bool System() const { return (flags & 0x80000002u) != 0; }
};

// Not thread-safe: one thread reads a Database at a time. Memory stays bounded by the page
// cache whatever the file size.
class Database {
 public:
  // Opens a file and decodes page 0; a password-encrypted ACE file needs its password, which is
  // checked here (the key derivation takes up to a second). Throws JetError, PasswordError for a
  // wrong or missing password.
  static std::unique_ptr<Database> OpenFile(const std::string& path,
                                            const std::string& password = std::string());
  // The same, taking the page keys of keys_from instead of deriving them again when both files
  // have the same page 0 byte for byte and keys_from was opened with the same password: the
  // derivation is a function of those alone. For the readers of one file on several threads,
  // and for a copy that keeps its source's page 0.
  static std::unique_ptr<Database> OpenFile(const std::string& path, const std::string& password,
                                            const Database& keys_from);
  explicit Database(std::unique_ptr<ByteSource> source, const std::string& password = std::string(),
                    const Database* keys_from = nullptr);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& FileName() const { return source_->Name(); }
  const Header& GetHeader() const { return header_; }
  const Layout& GetLayout() const { return layout_; }
  uint32_t PageSize() const { return header_.page_size; }
  uint32_t PageCount() const { return page_count_; }
  // Bytes after the last whole page (a damaged or padded file); they are ignored.
  uint64_t TrailingBytes() const { return trailing_; }

  // A decoded (decrypted) page; page 0 as stored. structure names the reader of the page for the
  // error when pn is beyond the end of the file.
  Page ReadPage(uint32_t pn, const char* structure);
  ByteView View(const Page& page, uint32_t pn, const char* structure) const {
    return ByteView(page->data(), page->size(), &source_->Name(), pn, structure);
  }
  // Encodes a page about to be written as page pn of a new file of this database, the way
  // this file's pages are encoded on disk: RC4 for encoded Jet files, the Office page cipher
  // under the number pn for password-encrypted ACE files (page 0 and the pages of a plain file
  // stay as they are). Every writer of output pages goes through here.
  void EncodeOutputPage(uint32_t pn, uint8_t* page) const;
  [[noreturn]] void Fail(int64_t page, const std::string& text) const;
  size_t CachedPages() const { return cache_.size(); }
  static constexpr size_t kCachePages = 256;

  // Tables (MSysObjects rows of Type 1 and 4) in catalogue order.
  const std::vector<CatalogEntry>& Catalog();

 private:
  std::unique_ptr<ByteSource> source_;
  Header header_;
  Layout layout_;
  // Password-encrypted ACE files: the page keys (shared by the readers keys_from lent them to),
  // the raw page 0 and the password they come from.
  std::shared_ptr<const OfficeCipher> office_;
  std::vector<uint8_t> office_page0_;
  std::string office_password_;
  uint32_t page_count_ = 0;
  uint64_t trailing_ = 0;
  // LRU cache of decoded pages; the list holds page numbers, most recent first.
  std::list<uint32_t> lru_;
  std::unordered_map<uint32_t, std::pair<Page, std::list<uint32_t>::iterator>> cache_;
  bool catalog_loaded_ = false;
  std::vector<CatalogEntry> catalog_;
};

}  // namespace orvelle::jet
