#include "jet/index.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace orvelle::jet {

std::optional<size_t> KeySegmentOffset(const TableDef& t, const PhysicalIndex& p, size_t k,
                                       const std::string& key) {
  size_t at = 0;
  for (size_t j = 0; j < k && j < p.columns.size(); ++j) {
    const Column* c = t.ColumnByNumber(p.columns[j]);
    size_t width = 0;
    if (c && c->type == kByte) width = 1;
    if (c && c->type == kInt) width = 2;
    if (c && c->type == kLong) width = 4;
    if (width == 0 || at >= key.size()) return std::nullopt;
    uint8_t flag = static_cast<uint8_t>(key[at]);
    at += (flag == 0x00 || flag == 0xFF) ? 1 : 1 + width;
  }
  if (k >= p.columns.size() || at >= key.size()) return std::nullopt;
  return at;
}

std::optional<uint32_t> LongKeyValue(const std::string& key, size_t at) {
  if (at + 5 > key.size()) return std::nullopt;
  uint8_t flag = static_cast<uint8_t>(key[at]);
  if (flag != 0x7F && flag != 0x80) return std::nullopt;
  uint32_t v = 0;
  for (size_t i = 1; i <= 4; ++i) {
    uint8_t b = static_cast<uint8_t>(key[at + i]);
    v = (v << 8) | (flag == 0x80 ? static_cast<uint8_t>(~b) : b);
  }
  return v ^ 0x80000000u;
}

void SetLongKeyValue(std::string& key, size_t at, uint32_t value) {
  const bool descending = static_cast<uint8_t>(key.at(at)) == 0x80;
  uint32_t v = value ^ 0x80000000u;
  for (size_t i = 0; i < 4; ++i) {
    uint8_t b = static_cast<uint8_t>(v >> (24 - 8 * i));
    key.at(at + 1 + i) = static_cast<char>(descending ? ~b : b);
  }
}

IndexPage ReadIndexPage(Database& db, uint32_t pn) {
  const Layout& l = db.GetLayout();
  Page p = db.ReadPage(pn, "index page");
  ByteView v = db.View(p, pn, "index page");
  IndexPage ip;
  ip.number = pn;
  uint8_t type = v.U8(0, "type");
  if (type != kPageIndexNode && type != kPageIndexLeaf) {
    v.Fail("page type " + Hex(type) + ", expected 0x03 (node) or 0x04 (leaf)");
  }
  ip.leaf = type == kPageIndexLeaf;
  ip.free_space = v.U16(2, "free space");
  ip.owner = v.U32(4, "owner");
  ip.prev = v.U32(l.idx_prev, "previous page");
  ip.next = v.U32(l.idx_next, "next page");
  ip.tail = v.U32(l.idx_tail, "tail page");
  ip.prefix = l.jet3 ? v.U8(l.idx_prefix, "prefix length") : v.U16(l.idx_prefix, "prefix length");
  const size_t area = l.page_size - l.idx_first_entry;
  const uint8_t* mask = p->data() + l.idx_mask;
  const uint8_t* data = p->data() + l.idx_first_entry;
  size_t start = 0;
  ForEachEntryEnd(mask, l.idx_mask_len, [&](size_t q) {
    if (q > area) v.Fail("entry end " + Hex(q) + " beyond the entry area (" + Hex(area) + ")");
    if (q == start) v.Fail("empty entry at " + Hex(l.idx_first_entry + q));
    const char* stored = reinterpret_cast<const char*>(data + start);
    const size_t stored_len = q - start;
    if (ip.entries.empty()) {
      if (ip.prefix > stored_len) {
        v.Fail("prefix length " + std::to_string(ip.prefix) + " longer than the first entry (" +
               std::to_string(stored_len) + " bytes)");
      }
      ip.entries.emplace_back(stored, stored_len);
    } else {
      std::string entry;
      entry.reserve(ip.prefix + stored_len);
      entry.append(ip.entries.front(), 0, ip.prefix).append(stored, stored_len);
      ip.entries.push_back(std::move(entry));
    }
    const size_t min = ip.leaf ? 4 : 8;
    if (ip.entries.back().size() < min) {
      v.Fail("entry " + std::to_string(ip.entries.size() - 1) + " has " +
             std::to_string(ip.entries.back().size()) + " bytes, expected at least " +
             std::to_string(min));
    }
    start = q;
  });
  if (ip.free_space != area - start) {
    v.Fail("free space " + std::to_string(ip.free_space) + ", entries leave " +
           std::to_string(area - start));
  }
  return ip;
}

namespace {

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

bool EncodeIndexPage(const Layout& l, const IndexPage& ip, uint8_t* page) {
  const size_t trailer = ip.leaf ? 4 : 8;  // row pointer, and a node's child page
  size_t prefix = 0;
  if (ip.leaf && ip.entries.size() > 1) {
    // Entries are sorted, so the first and the last share what all of them share.
    const std::string& a = ip.entries.front();
    const std::string& b = ip.entries.back();
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
    for (const std::string& e : ip.entries) prefix = std::min(prefix, e.size() - trailer);
    prefix = std::min<size_t>(prefix, l.jet3 ? 0xFF : 0xFFFF);
  }
  size_t stored = 0;
  for (size_t k = 0; k < ip.entries.size(); ++k) {
    if (ip.entries[k].size() < trailer) return false;
    stored += ip.entries[k].size() - (k > 0 ? prefix : 0);
  }
  const size_t area = l.page_size - l.idx_first_entry;
  if (stored > area || stored > 8 * l.idx_mask_len - 1) return false;
  page[0] = ip.leaf ? kPageIndexLeaf : kPageIndexNode;
  page[1] = 0x01;
  const size_t free_space = area - stored;
  page[2] = static_cast<uint8_t>(free_space);
  page[3] = static_cast<uint8_t>(free_space >> 8);
  PutLe32(page + 4, ip.owner);
  PutLe32(page + l.idx_prev, ip.prev);
  PutLe32(page + l.idx_next, ip.next);
  PutLe32(page + l.idx_tail, ip.tail);
  page[l.idx_prefix] = static_cast<uint8_t>(prefix);
  if (!l.jet3) page[l.idx_prefix + 1] = static_cast<uint8_t>(prefix >> 8);
  page[l.idx_marker] = ip.leaf ? 0x00 : 0x01;
  uint8_t* mask = page + l.idx_mask;
  std::fill(mask, mask + l.idx_mask_len, 0);
  uint8_t* data = page + l.idx_first_entry;
  std::fill(data, data + area, 0);
  size_t at = 0;
  for (size_t k = 0; k < ip.entries.size(); ++k) {
    const size_t skip = k > 0 ? prefix : 0;
    const std::string& e = ip.entries[k];
    std::memcpy(data + at, e.data() + skip, e.size() - skip);
    at += e.size() - skip;
    mask[at / 8] |= static_cast<uint8_t>(1u << (at % 8));
  }
  return true;
}

namespace {

constexpr size_t kMaxDepth = 8;

RowPointer EntryRow(const std::string& e, size_t rp_at) {
  const auto* b = reinterpret_cast<const uint8_t*>(e.data()) + rp_at;
  return {static_cast<uint32_t>((b[0] << 16) | (b[1] << 8) | b[2]), b[3]};
}

uint32_t ChildPage(const std::string& e) {
  const auto* b = reinterpret_cast<const uint8_t*>(e.data()) + e.size() - 4;
  return (static_cast<uint32_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

class Walker {
 public:
  Walker(Database& db, const TableDef& t, size_t i, IndexTree& out)
      : db_(db), t_(t), what_("index " + std::to_string(i)), out_(out) {}

  // Returns the page's last entry without child pointer ("" for an empty leaf).
  std::string Walk(uint32_t pn, size_t depth) {
    if (depth > kMaxDepth) db_.Fail(pn, "index page: " + what_ + " deeper than 8 levels");
    if (!seen_.insert(pn).second) {
      db_.Fail(pn, "index page: " + what_ + " reaches the page twice");
    }
    out_.pages.push_back(pn);
    IndexPage ip = ReadIndexPage(db_, pn);
    if (ip.owner != t_.page) {
      db_.Fail(pn, "index page: owner " + std::to_string(ip.owner) +
                       ", expected table definition page " + std::to_string(t_.page));
    }
    if (ip.leaf) {
      if (ip.tail != 0) {
        db_.Fail(pn, "index page: leaf with tail page " + std::to_string(ip.tail));
      }
      if (leaf_depth_ == 0) leaf_depth_ = depth;
      if (leaf_depth_ != depth) {
        db_.Fail(pn, "index page: leaf at depth " + std::to_string(depth) +
                         ", other leaves at depth " + std::to_string(leaf_depth_));
      }
      out_.leaves.push_back(pn);
      leaf_pages_.push_back(ip);
      for (std::string& e : ip.entries) {
        out_.entries.push_back({e.substr(0, e.size() - 4), EntryRow(e, e.size() - 4), pn});
      }
      leaf_pages_.back().entries.clear();
      return ip.entries.empty() ? std::string() : ip.entries.back();
    }
    if (ip.entries.empty() || ip.tail == 0) {
      db_.Fail(pn, "index page: node with " + std::to_string(ip.entries.size()) +
                       " entries and tail page " + std::to_string(ip.tail) +
                       ", expected at least two children");
    }
    for (size_t k = 0; k < ip.entries.size(); ++k) {
      const std::string& e = ip.entries[k];
      uint32_t child = ChildPage(e);
      std::string last = Walk(child, depth + 1);
      std::string expected = e.substr(0, e.size() - 4);
      if (last != expected) {
        db_.Fail(pn, "index page: node entry " + std::to_string(k) + " differs from the last " +
                         "entry of its child page " + std::to_string(child));
      }
    }
    return Walk(ip.tail, depth + 1);
  }

  void CheckLeafChain() {
    for (size_t k = 0; k < leaf_pages_.size(); ++k) {
      const IndexPage& ip = leaf_pages_[k];
      uint32_t prev = k > 0 ? leaf_pages_[k - 1].number : 0;
      uint32_t next = k + 1 < leaf_pages_.size() ? leaf_pages_[k + 1].number : 0;
      if (ip.prev != prev || ip.next != next) {
        db_.Fail(ip.number, "index page: leaf links prev " + std::to_string(ip.prev) + " next " +
                                std::to_string(ip.next) + ", expected prev " +
                                std::to_string(prev) + " next " + std::to_string(next));
      }
    }
    out_.depth = leaf_depth_;
  }

 private:
  Database& db_;
  const TableDef& t_;
  std::string what_;
  IndexTree& out_;
  std::unordered_set<uint32_t> seen_;
  std::vector<IndexPage> leaf_pages_;
  size_t leaf_depth_ = 0;
};

}  // namespace

IndexTree ReadIndexTree(Database& db, const TableDef& t, size_t i) {
  IndexTree tree;
  Walker w(db, t, i, tree);
  w.Walk(t.physical.at(i).root, 1);
  w.CheckLeafChain();
  for (size_t k = 1; k < tree.entries.size(); ++k) {
    const IndexEntry& a = tree.entries[k - 1];
    const IndexEntry& b = tree.entries[k];
    bool less = a.key < b.key || (a.key == b.key && a.row < b.row);
    // Keys compare as unsigned bytes; std::string compares char_traits<char>, which is
    // unsigned-correct for comparisons (it uses memcmp semantics).
    if (!less) {
      db.Fail(b.leaf, "index page: index " + std::to_string(i) + " entry " + std::to_string(k) +
                          " (" + Describe(b.row) + ") not above the previous one");
    }
  }
  return tree;
}

}  // namespace orvelle::jet
