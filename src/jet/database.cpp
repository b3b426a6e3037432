#include "jet/database.h"

#include <algorithm>
#include <limits>

#include "jet/error.h"
#include "jet/office_cipher.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/usage_map.h"
#include "jet/values.h"

namespace orvelle::jet {

std::string Describe(RowPointer rp) {
  return "page " + std::to_string(rp.page) + " row " + std::to_string(rp.row);
}

Layout Layout::For(const Header& h) {
  Layout l{};
  l.jet3 = h.jet3();
  l.page_size = h.page_size;
  if (l.jet3) {
    l.data_num_rows = 0x08;
    l.data_header = 0x0A;
    l.tdef_num_rows = 0x0C;
    l.tdef_table_type = 0x14;
    l.tdef_max_cols = 0x15;
    l.tdef_num_var_cols = 0x17;
    l.tdef_num_cols = 0x19;
    l.tdef_num_idx = 0x1B;
    l.tdef_num_real_idx = 0x1F;
    l.tdef_owned_map = 0x23;
    l.tdef_free_map = 0x27;
    l.tdef_var_start = 0x2B;
    l.count_block = 8;
    l.column_desc = 18;
    l.col_type = 0, l.col_number = 1, l.col_var_index = 3, l.col_flags = 13;
    l.col_fixed_offset = 14, l.col_length = 16;
    l.physical_index = 39;
    l.pidx_columns = 0, l.pidx_map = 30, l.pidx_root = 34, l.pidx_flags = 38;
    l.logical_index = 20;
    l.lidx_number = 0, l.lidx_physical = 4, l.lidx_rel_table = 13, l.lidx_kind = 19;
    l.idx_prev = 0x08, l.idx_next = 0x0C, l.idx_tail = 0x10, l.idx_prefix = 0x14;
    l.idx_marker = 0x15, l.idx_mask = 0x16, l.idx_mask_len = 226, l.idx_first_entry = 0xF8;
  } else {
    l.data_num_rows = 0x0C;
    l.data_header = 0x0E;
    l.tdef_num_rows = 0x10;
    l.tdef_table_type = 0x28;
    l.tdef_max_cols = 0x29;
    l.tdef_num_var_cols = 0x2B;
    l.tdef_num_cols = 0x2D;
    l.tdef_num_idx = 0x2F;
    l.tdef_num_real_idx = 0x33;
    l.tdef_owned_map = 0x37;
    l.tdef_free_map = 0x3B;
    l.tdef_var_start = 0x3F;
    l.count_block = 12;
    l.column_desc = 25;
    l.col_type = 0, l.col_number = 5, l.col_var_index = 7, l.col_flags = 15;
    l.col_fixed_offset = 21, l.col_length = 23;
    l.physical_index = 52;
    l.pidx_columns = 4, l.pidx_map = 34, l.pidx_root = 38, l.pidx_flags = 46;
    l.logical_index = 28;
    l.lidx_number = 4, l.lidx_physical = 8, l.lidx_rel_table = 17, l.lidx_kind = 23;
    l.idx_prev = 0x0C, l.idx_next = 0x10, l.idx_tail = 0x14, l.idx_prefix = 0x18;
    l.idx_marker = 0x1A, l.idx_mask = 0x1B, l.idx_mask_len = 453, l.idx_first_entry = 0x1E0;
  }
  l.bitmap_pages_per_page = (l.page_size - 4) * 8;
  return l;
}

std::unique_ptr<Database> Database::OpenFile(const std::string& path, const std::string& password) {
  return std::make_unique<Database>(OpenFileSource(path), password);
}

std::unique_ptr<Database> Database::OpenFile(const std::string& path, const std::string& password,
                                             const Database& keys_from) {
  return std::make_unique<Database>(OpenFileSource(path), password, &keys_from);
}

Database::~Database() = default;

Database::Database(std::unique_ptr<ByteSource> source, const std::string& password,
                   const Database* keys_from)
    : source_(std::move(source)) {
  uint64_t size = source_->Size();
  std::vector<uint8_t> first(static_cast<size_t>(std::min<uint64_t>(size, 4096)));
  if (!source_->ReadAt(0, first.data(), first.size())) Fail(-1, "cannot read page 0");
  header_ = DecodeHeader(first.data(), first.size(), source_->Name());
  layout_ = Layout::For(header_);
  uint64_t pages = size / header_.page_size;
  trailing_ = size % header_.page_size;
  if (pages < 3) {
    Fail(-1, "file length " + std::to_string(size) + " holds " + std::to_string(pages) +
                 " whole pages of " + std::to_string(header_.page_size) +
                 " bytes, a database needs at least 3");
  }
  page_count_ =
      static_cast<uint32_t>(std::min<uint64_t>(pages, std::numeric_limits<uint32_t>::max()));
  if (header_.office) {
    if (keys_from && keys_from->office_ && keys_from->office_page0_ == first &&
        keys_from->office_password_ == password) {
      office_ = keys_from->office_;
    } else {
      office_ = std::make_shared<const OfficeCipher>(*header_.office, header_.database_key,
                                                     password, source_->Name());
    }
    office_page0_ = std::move(first);
    office_password_ = password;
  }
}

void Database::Fail(int64_t page, const std::string& text) const {
  throw JetError(source_->Name(), page, text);
}

void Database::EncodeOutputPage(uint32_t pn, uint8_t* page) const {
  if (pn == 0) return;
  if (office_) {
    try {
      office_->Encrypt(pn, page, header_.page_size);
    } catch (const crypto::CryptoError& e) {
      Fail(pn, std::string("encrypting the page: ") + e.what());
    }
  } else if (header_.encoded()) {
    DecodeJetPage(header_.database_key, pn, page, header_.page_size);
  }
}

Page Database::ReadPage(uint32_t pn, const char* structure) {
  auto it = cache_.find(pn);
  if (it != cache_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second.second);
    return it->second.first;
  }
  if (pn >= page_count_) {
    Fail(pn, std::string(structure) + ": page beyond end of file (" + std::to_string(page_count_) +
                 " pages)");
  }
  // The page leaving the cache lends its buffer when nobody else holds it: a scan then reads
  // into the same few buffers instead of allocating one per page.
  std::shared_ptr<std::vector<uint8_t>> data;
  if (cache_.size() >= kCachePages) {
    auto victim = cache_.find(lru_.back());
    if (victim->second.first.use_count() == 1) {
      data = std::const_pointer_cast<std::vector<uint8_t>>(victim->second.first);
    }
    cache_.erase(victim);
    lru_.pop_back();
  }
  if (!data) data = std::make_shared<std::vector<uint8_t>>(header_.page_size);
  if (!source_->ReadAt(static_cast<uint64_t>(pn) * header_.page_size, data->data(), data->size())) {
    Fail(pn, std::string(structure) + ": cannot read the page");
  }
  if (pn > 0 && office_) {
    try {
      office_->Decrypt(pn, data->data(), data->size());
    } catch (const crypto::CryptoError& e) {
      Fail(pn, std::string(structure) + ": decrypting the page: " + e.what());
    }
  } else if (pn > 0 && header_.encoded()) {
    DecodeJetPage(header_.database_key, pn, data->data(), data->size());
  }
  lru_.push_front(pn);
  Page page = std::move(data);
  cache_.emplace(pn, std::make_pair(page, lru_.begin()));
  return page;
}

const std::vector<CatalogEntry>& Database::Catalog() {
  if (catalog_loaded_) return catalog_;
  TableDef def = ReadTableDef(*this, 2);
  int id = def.ColumnIndex("Id"), name = def.ColumnIndex("Name");
  int type = def.ColumnIndex("Type"), flags = def.ColumnIndex("Flags");
  if (id < 0 || name < 0 || type < 0 || flags < 0) {
    Fail(2, "catalogue: MSysObjects lacks one of the columns Id, Name, Type, Flags");
  }
  std::vector<CatalogEntry> entries;
  ForEachLiveRow(*this, def, [&](const LiveRow& row) {
    CrackedRow cr = CrackRow(*this, def, row);
    std::optional<int64_t> t = IntegerValue(def, type, cr);
    if (!t || (*t != 1 && *t != 4)) return;
    CatalogEntry e;
    e.type = static_cast<int16_t>(*t);
    std::optional<int64_t> i = IntegerValue(def, id, cr);
    std::optional<int64_t> f = IntegerValue(def, flags, cr);
    e.name = TextValue(*this, def, name, cr);
    if (!i) Fail(row.header.page, "catalogue: table \"" + e.name + "\" has no Id");
    e.id = static_cast<uint32_t>(*i);
    e.flags = f ? static_cast<uint32_t>(*f) : 0;
    entries.push_back(std::move(e));
  });
  catalog_ = std::move(entries);
  catalog_loaded_ = true;
  return catalog_;
}

}  // namespace orvelle::jet
