// Damaged copies of one small database, made in memory: every case ends in one precise
// JetError (or checker finding) naming the page, the structure and what was expected; never a
// crash or a hang. The database is the one the npm package mdb ships for its own tests
// (scripts/fetch-test-data.sh puts it in the Debian sample folder), so the cases run wherever
// that script ran.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "jet/checker.h"
#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/edited_copy.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/usage_map.h"
#include "jet/values.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

using test::Put16;
using test::Put32;

// Reads every structure a compactor reads, in catalogue order.
void ReadEverything(Database& db) {
  for (const CatalogEntry& e : db.Catalog()) {
    TableDef t = ReadTableDef(db, e.id);
    ForEachLiveRow(db, t, [&](const LiveRow& r) {
      CrackedRow cr = CrackRow(db, t, r);
      for (size_t k = 0; k < t.columns.size(); ++k) {
        if (!t.columns[k].IsLongValue() || !cr.columns[k].present) continue;
        ReadLongValue(
            db, cr.columns[k].data, cr.columns[k].size, r.data.page, t.columns[k].name,
            [](const uint8_t*, size_t) {}, nullptr);
      }
    });
    for (size_t i = 0; i < t.physical.size(); ++i) ReadIndexTree(db, t, i);
  }
}

// Probes of the undamaged file, to find what to damage.
struct Probe {
  Database& db;
  uint64_t Page(uint32_t pn) const { return static_cast<uint64_t>(pn) * db.PageSize(); }
  TableDef Table(const std::string& name) const {
    for (const CatalogEntry& e : db.Catalog()) {
      if (e.name == name) return ReadTableDef(db, e.id);
    }
    throw std::runtime_error("no table " + name);
  }
  uint32_t FirstDataPage(const std::string& name) const {
    return ReadUsageMap(db, Table(name).owned_map, "").pages.at(0);
  }
  // The first value of a long-value column stored as a chain.
  struct Chain {
    uint32_t page = 0;  // of the row
    uint64_t at = 0;    // offset of the 12-byte header in the file
    std::string column;
  };
  Chain FirstChain() const {
    for (const CatalogEntry& e : db.Catalog()) {
      TableDef t = ReadTableDef(db, e.id);
      Chain found;
      ForEachLiveRow(db, t, [&](const LiveRow& r) {
        CrackedRow cr = CrackRow(db, t, r);
        for (size_t k = 0; k < t.columns.size() && !found.page; ++k) {
          const ColumnData& d = cr.columns[k];
          if (t.columns[k].IsLongValue() && d.present && d.size >= 12 &&
              (d.data[3] & 0xC0) == kLvChain) {
            found = {r.data.page, Page(r.data.page) + (d.data - r.page->data()), t.columns[k].name};
          }
        }
      });
      if (found.page) return found;
    }
    throw std::runtime_error("no chained long value");
  }
  // The first row of data page d that is neither deleted nor an overflow part.
  size_t FirstLiveRow(uint32_t d) const {
    DataPage dp = ParseDataPage(db, d, "");
    for (size_t s = 0; s < dp.slots.size(); ++s) {
      if (dp.slots[s].flags == 0) return s;
    }
    throw std::runtime_error("no live row");
  }
  // The first row of any table stored as an overflow header: (page, slot).
  std::pair<uint32_t, size_t> FirstOverflowRow() const {
    for (const CatalogEntry& e : db.Catalog()) {
      for (uint32_t pn : ReadUsageMap(db, ReadTableDef(db, e.id).owned_map, "").pages) {
        DataPage d = ParseDataPage(db, pn, "");
        for (size_t s = 0; s < d.slots.size(); ++s) {
          if (d.slots[s].OverflowHeader()) return {pn, s};
        }
      }
    }
    throw std::runtime_error("no overflow row");
  }
};

// The database every case starts from, and the tables the cases damage. The sample has one
// chained long value (in the catalogue) and one overflow row; the cases find them.
const char kSample[] = "fruit.mdb";
const char kTable[] = "Fruit";                 // two indexes, one data page of 37 rows
const char kBigTable[] = "MSysAccessObjects";  // 43 data pages

// The starting images the cases damage, each consistent before the damage.
enum class Base {
  kSample,
  // The sample with its pages spread out: kBigTable's owned-pages map outgrows its row and
  // becomes a reference map with a bitmap page.
  kSpread,
  // The sample with kTable's first index as a two-level tree: its leaf's entries split over
  // two leaves appended to the file, under a node at the old leaf's page.
  kTwoLevelIndex,
};

uint32_t TableId(Database& db, const std::string& name) {
  for (const CatalogEntry& e : db.Catalog()) {
    if (e.name == name) return e.id;
  }
  throw std::runtime_error("no table " + name);
}

std::string WithTwoLevelIndex(const std::string& sample) {
  Database db(MemorySource("sample.mdb", sample));
  const TableDef t = ReadTableDef(db, TableId(db, kTable));
  const uint32_t root = t.physical.at(0).root;
  const IndexPage leaf = ReadIndexPage(db, root);
  if (!leaf.leaf || leaf.entries.size() < 4) throw std::runtime_error("no leaf to split");
  const size_t ps = db.PageSize();
  const uint32_t left_pn = db.PageCount(), right_pn = left_pn + 1;
  std::string out =
      sample + sample.substr(uint64_t{root} * ps, ps) + sample.substr(uint64_t{root} * ps, ps);
  const size_t half = leaf.entries.size() / 2;
  IndexPage left = leaf, right = leaf, node = leaf;
  left.number = left_pn;
  left.entries.assign(leaf.entries.begin(), leaf.entries.begin() + half);
  left.prev = 0;
  left.next = right_pn;
  right.number = right_pn;
  right.entries.assign(leaf.entries.begin() + half, leaf.entries.end());
  right.prev = left_pn;
  right.next = 0;
  // A node entry is its child's last entry and the child's page number (big-endian); the last
  // child is the tail.
  std::string to_left = left.entries.back();
  for (int shift = 24; shift >= 0; shift -= 8) {
    to_left.push_back(static_cast<char>((left_pn >> shift) & 0xFF));
  }
  node.leaf = false;
  node.prev = node.next = 0;
  node.entries = {to_left};
  node.tail = right_pn;
  for (const IndexPage* ip : {&left, &right, &node}) {
    auto* page = reinterpret_cast<uint8_t*>(&out[uint64_t{ip->number} * ps]);
    if (!EncodeIndexPage(db.GetLayout(), *ip, page)) throw std::runtime_error("entries overflow");
  }
  // The index's usage map owns the new leaves, and the global map calls them used.
  Database grown(MemorySource("sample.mdb", out));
  test::PageEdits edits(grown);
  for (uint32_t pn : {left_pn, right_pn}) {
    if (!edits.SetMapBit(t.physical.at(0).map, pn, true) ||
        !edits.SetMapBit(RowPointer{1, 0}, pn, false)) {
      throw std::runtime_error("map too short");
    }
  }
  for (uint32_t pn = 0; pn < grown.PageCount(); ++pn) {
    if (const std::vector<uint8_t>* page = edits.Find(pn)) {
      out.replace(uint64_t{pn} * ps, ps, reinterpret_cast<const char*>(page->data()), ps);
    }
  }
  return out;
}

// The images, made once per run (the sample is read in place and never changed).
const std::string& Image(Base base) {
  static std::map<Base, std::string> images;
  auto found = images.find(base);
  if (found != images.end()) return found->second;
  const std::string sample = orvelle::test::ReadBytes(test::DebianFixture(kSample));
  switch (base) {
    case Base::kSample:
      return images[base] = sample;
    case Base::kSpread:
      return images[base] = test::Bloat(kSample, sample, 4);
    case Base::kTwoLevelIndex:
      return images[base] = WithTwoLevelIndex(sample);
  }
  throw std::logic_error("unknown base");
}

enum class Op { kRead, kCheck };

struct DamageCase {
  const char* name;
  Base base;
  Op op;
  // Damages bytes (the undamaged file is open as p) and returns the expected message.
  std::function<std::string(std::string& bytes, const Probe& p)> damage;
};

std::string S(uint64_t v) { return std::to_string(v); }
std::string T() { return kTable; }

const DamageCase kCases[] = {
    {"TruncatedToTwoPages", Base::kSample, Op::kRead,
     [](std::string& b, const Probe&) {
       b.resize(8192);
       return std::string(
           "file length 8192 holds 2 whole pages of 4096 bytes, a database needs at least 3");
     }},
    {"TooShortForAHeader", Base::kSample, Op::kRead,
     [](std::string& b, const Probe&) {
       b.resize(100);
       return std::string("page 0: header: file too short for a header (100 bytes)");
     }},
    {"BadSignature", Base::kSample, Op::kRead,
     [](std::string& b, const Probe&) {
       b[1] = 0x7F;
       return std::string("page 0: header: signature 0x7F00, expected 0x100");
     }},
    {"UnknownVersionCode", Base::kSample, Op::kRead,
     [](std::string& b, const Probe&) {
       b[0x14] = 0x04;
       return std::string("page 0: header: unknown version code 0x4");
     }},
    {"VersionDisagreesWithEngine", Base::kSample, Op::kRead,
     [](std::string& b, const Probe&) {
       b[0x14] = 0x03;
       return std::string(
           "page 0: header: version code 0x3 does not match engine name \"Standard Jet DB\"");
     }},
    {"MsisamEngine", Base::kSample, Op::kRead,
     [](std::string& b, const Probe&) {
       b.replace(4, 16, std::string("MSISAM Database\0", 16));
       return std::string("page 0: header: MSISAM (Microsoft Money) files are not supported");
     }},
    {"CatalogueNotATableDefinition", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       b[p.Page(2)] = 0x01;
       return std::string("page 2: table definition: page type 0x1, expected 0x02");
     }},
    {"TableDefinitionLengthBeyondChain", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table(kTable).page;
       Put32(b, p.Page(t) + 8, 0x10000);
       const size_t chain = p.Table(kTable).chain.size();
       return "page " + S(t) + ": table definition: tdef_len 65536 beyond the " + S(chain) +
              "-page chain (" + S(chain * p.db.PageSize()) + " bytes)";
     }},
    {"TableDefinitionChainLoops", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       // The definition is made to need a second page, then its next page is its first.
       uint32_t t = p.Table(kTable).page;
       Put32(b, p.Page(t) + 8, 5000);
       Put32(b, p.Page(t) + 4, t);
       return "page " + S(t) + ": table definition: continuation chain loops back to page " + S(t);
     }},
    {"TableDefinitionNextBeyondEnd", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table(kTable).page;
       Put32(b, p.Page(t) + 8, 5000);
       Put32(b, p.Page(t) + 4, 0x7FFFFFFF);
       return "page 2147483647: table definition: page beyond end of file (" + S(p.db.PageCount()) +
              " pages)";
     }},
    {"ColumnCountOverrunsDefinition", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       const TableDef t = p.Table(kTable);
       Put16(b, p.Page(t.page) + 0x2D, 0x4000);
       return "page " + S(t.page) + ": table definition: 16384 column descriptors at " +
              Hex(t.columns.at(0).block) + " beyond tdef_len " + Hex(t.tdef_len);
     }},
    {"RowOffsetBeyondPageEnd", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage(kTable);
       Put16(b, p.Page(d) + 0x0E, 0x1F00);
       return "page " + S(d) + ": data page: row 0 offset 0x1F00 beyond page end";
     }},
    {"SlotTableBeyondPageEnd", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage(kTable);
       Put16(b, p.Page(d) + 0x0C, 0x0800);
       return "page " + S(d) +
              ": data page: row count 2048: slot table ends at 0x100E beyond page end";
     }},
    {"RowsOverlap", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage(kTable);
       size_t r = p.FirstLiveRow(d) + 1;
       Put16(b, p.Page(d) + 0x0E + 2 * r, 0x0FFF);
       return "page " + S(d) + ": data page: row " + S(r) +
              " offset 0xFFF above the previous row's start ";
     }},
    {"DataPageOfAnotherOwner", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage(kTable);
       Put32(b, p.Page(d) + 4, 999);
       return "page " + S(d) + ": data page: owner 999, expected table definition page " +
              S(p.Table(kTable).page);
     }},
    {"OverflowRowPointsAtItself", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [pn, s] = p.FirstOverflowRow();
       DataPage d = ParseDataPage(p.db, pn, "");
       RowPointer self{pn, static_cast<uint8_t>(s)};
       Put32(b, p.Page(pn) + d.slots[s].offset, self.Packed());
       return "page " + S(pn) + ": data page: overflow chain of row " + S(s) + " loops at " +
              Describe(self);
     }},
    {"LongValueChainLoops", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [page, at, column] = p.FirstChain();
       RowPointer first = RowPointer::FromLe(Le32(reinterpret_cast<uint8_t*>(&b[at + 4])));
       DataPage lv = ParseDataPage(p.db, first.page, "");
       Put32(b, p.Page(first.page) + lv.slots[first.row].offset, first.Packed());
       return "page " + S(first.page) + ": long-value page: chain of long value of column \"" +
              column + "\" at page " + S(page) + " loops back to " + Describe(first);
     }},
    {"LongValueShorterThanDeclared", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [page, at, column] = p.FirstChain();
       uint32_t word = Le32(reinterpret_cast<uint8_t*>(&b[at]));
       Put32(b, at, word + 1);
       RowPointer first = RowPointer::FromLe(Le32(reinterpret_cast<uint8_t*>(&b[at + 4])));
       return "page " + S(first.page) + ": long-value page: chain of long value of column \"" +
              column + "\" at page " + S(page) + " holds " + S(word & 0x3FFFFFFF) +
              " bytes, declared " + S((word & 0x3FFFFFFF) + 1);
     }},
    {"LongValueOnADataPage", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [page, at, column] = p.FirstChain();
       RowPointer first = RowPointer::FromLe(Le32(reinterpret_cast<uint8_t*>(&b[at + 4])));
       Put32(b, p.Page(first.page) + 4, 7);
       return "page " + S(first.page) +
              ": long-value page: owner 0x7, expected \"LVAL\" (long value of column \"" + column +
              "\" at page " + S(page) + ")";
     }},
    {"UsageMapOfUnknownType", Base::kSample, Op::kRead,
     [](std::string& b, const Probe& p) {
       RowPointer m = p.Table(kTable).owned_map;
       DataPage host = ParseDataPage(p.db, m.page, "");
       b[p.Page(m.page) + host.slots[m.row].offset] = 0x07;
       return "page " + S(m.page) + ": table owned-pages map at " + Describe(m) +
              ": map type 0x7, expected 0x00 (inline) or 0x01 (reference)";
     }},
    {"ReferenceMapBitmapOfWrongType", Base::kSpread, Op::kRead,
     [](std::string& b, const Probe& p) {
       RowPointer m = p.Table(kBigTable).owned_map;
       uint32_t bitmap = ReadUsageMap(p.db, m, "").bitmap_pages.at(0);
       b[p.Page(bitmap)] = 0x01;
       return "page " + S(bitmap) + ": usage bitmap: page type 0x1, expected 0x05 (table " +
              "owned-pages map at " + Describe(m) + " slot 0)";
     }},
    {"IndexPageOfWrongType", Base::kTwoLevelIndex, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table(kTable).physical.at(0).root;
       b[p.Page(root)] = 0x02;
       return "page " + S(root) +
              ": index page: page type 0x2, expected 0x03 (node) or 0x04 (leaf)";
     }},
    {"IndexFreeSpaceDisagrees", Base::kTwoLevelIndex, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table(kTable).physical.at(0).root;
       IndexPage ip = ReadIndexPage(p.db, root);
       Put16(b, p.Page(root) + 2, static_cast<uint16_t>(ip.free_space + 1));
       return "page " + S(root) + ": index page: free space " + S(ip.free_space + 1) +
              ", entries leave " + S(ip.free_space);
     }},
    {"IndexNodeEntryDiffersFromChild", Base::kTwoLevelIndex, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table(kTable).physical.at(0).root;
       IndexPage ip = ReadIndexPage(p.db, root);
       EXPECT_FALSE(ip.leaf);
       // The row byte of the first node entry's copy of its child's last entry.
       b[p.Page(root) + 0x1E0 + ip.entries[0].size() - 5] ^= 0x01;
       const std::string& e = ip.entries[0];
       uint32_t child = (static_cast<uint8_t>(e[e.size() - 4]) << 24) |
                        (static_cast<uint8_t>(e[e.size() - 3]) << 16) |
                        (static_cast<uint8_t>(e[e.size() - 2]) << 8) |
                        static_cast<uint8_t>(e[e.size() - 1]);
       return "page " + S(root) + ": index page: node entry 0 differs from the last entry of " +
              "its child page " + S(child);
     }},
    {"IndexTreeLoops", Base::kTwoLevelIndex, Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table(kTable).physical.at(0).root;
       Put32(b, p.Page(root) + 0x14, root);
       return "page " + S(root) + ": index page: index 0 reaches the page twice";
     }},
    {"IndexLeafChainBroken", Base::kTwoLevelIndex, Op::kRead,
     [](std::string& b, const Probe& p) {
       TableDef t = p.Table(kTable);
       IndexTree tree = ReadIndexTree(p.db, t, 0);
       uint32_t leaf = tree.leaves.at(0);
       Put32(b, p.Page(leaf) + 0x10, 0);
       return "page " + S(leaf) + ": index page: leaf links prev 0 next 0, expected prev 0 next " +
              S(tree.leaves.at(1));
     }},
    {"IndexEntriesOutOfOrder", Base::kTwoLevelIndex, Op::kRead,
     [](std::string& b, const Probe& p) {
       IndexTree tree = ReadIndexTree(p.db, p.Table(kTable), 0);
       IndexPage ip = ReadIndexPage(p.db, tree.leaves.at(0));
       // The first stored byte after the shared prefix of entry 1 drops to 0x00.
       b[p.Page(ip.number) + 0x1E0 + ip.entries[0].size()] = 0x00;
       return "page " + S(ip.number) + ": index page: index 0 entry 1 (" +
              Describe(tree.entries.at(1).row) + ") not above the previous one";
     }},
    {"TwoTablesShareADefinition", Base::kSample, Op::kCheck,
     [](std::string& b, const Probe& p) {
       TableDef sys = ReadTableDef(p.db, 2);
       int id = sys.ColumnIndex("Id"), name = sys.ColumnIndex("Name");
       ForEachLiveRow(p.db, sys, [&](const LiveRow& r) {
         CrackedRow cr = CrackRow(p.db, sys, r);
         if (TextValue(p.db, sys, name, cr) != kTable) return;
         const uint8_t* at = cr.columns[id].data;
         Put32(b, p.Page(r.data.page) + (at - r.page->data()), 2);
       });
       return "page 2: catalogue: table \"" + T() + "\" has the same definition page as " +
              "\"MSysObjects\"";
     }},
    {"GlobalMapFreesATableDefinition", Base::kSample, Op::kCheck,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table(kTable).page;
       DataPage host = ParseDataPage(p.db, 1, "");
       b[p.Page(1) + host.slots[0].offset + 5 + t / 8] |= static_cast<char>(1 << (t % 8));
       return "page " + S(t) + ": global usage map marks the page free, but it is a table " +
              "definition of table definition " + S(t);
     }},
    {"OwnedMapCrossLinkedToAnotherTable", Base::kSample, Op::kCheck,
     [](std::string& b, const Probe& p) {
       TableDef sys = p.Table("MSysObjects");
       TableDef t = p.Table(kTable);
       Put32(b, p.Page(t.page) + 0x37, sys.owned_map.Packed());
       uint32_t first = ReadUsageMap(p.db, sys.owned_map, "").pages.at(0);
       return "page " + S(first) + ": claimed twice: as data page of table definition 2 and " +
              "as data page (table \"" + T() + "\" owned-pages map)";
     }},
    {"IndexEntryAtADeletedRow", Base::kSample, Op::kCheck,
     [](std::string& b, const Probe& p) {
       TableDef t = p.Table(kTable);
       uint32_t d = p.FirstDataPage(kTable);
       DataPage dp = ParseDataPage(p.db, d, "");
       const size_t r = p.FirstLiveRow(d);
       Put16(b, p.Page(d) + 0x0E + 2 * r, static_cast<uint16_t>(dp.slots[r].offset | 0xC000));
       IndexTree tree = ReadIndexTree(p.db, t, 0);
       size_t k = 0;
       while (!(tree.entries.at(k).row == RowPointer{d, static_cast<uint8_t>(r)})) ++k;
       return "page " + S(tree.entries[k].leaf) + ": index page: table \"" + T() + "\" index " +
              "\"" + t.logical.at(0).name + "\" entry " + S(k) + " points at page " + S(d) +
              " row " + S(r) + ", not a live row";
     }},
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class JetDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(JetDamage, FailsWithPreciseMessage) {
  const DamageCase& c = GetParam();
  ORVELLE_REQUIRE_DEBIAN(test::DebianFixture(kSample));
  std::string bytes = Image(c.base);
  Database original(MemorySource("undamaged.mdb", bytes));
  std::string expected = c.damage(bytes, Probe{original});
  ASSERT_NE(bytes, Image(c.base)) << "nothing damaged";
  try {
    Database db(MemorySource("damaged.mdb", bytes));
    if (c.op == Op::kRead) {
      ReadEverything(db);
      FAIL() << "no error, expected: " << expected;
    }
    CheckReport r = CheckDatabase(db);
    for (const Finding& f : r.findings) {
      if (f.severity == Severity::kError) {
        EXPECT_EQ(f.Describe().substr(0, expected.size()), expected);
        return;
      }
    }
    FAIL() << "no error finding, expected: " << expected;
  } catch (const JetError& e) {
    ASSERT_EQ(c.op, Op::kRead) << e.what();
    // Messages ending in a space are prefixes (the rest names computed offsets).
    if (!expected.empty() && expected.back() == ' ') {
      EXPECT_EQ(e.Detail().substr(0, expected.size()), expected);
    } else {
      EXPECT_EQ(e.Detail(), expected);
    }
    EXPECT_EQ(e.File(), "damaged.mdb");
  }
}

// What the cases start from reads whole and passes the checker, so that each finding comes
// from its own damage.
TEST(JetDamage, StartsFromConsistentImages) {
  ORVELLE_REQUIRE_DEBIAN(test::DebianFixture(kSample));
  for (Base base : {Base::kSample, Base::kSpread, Base::kTwoLevelIndex}) {
    SCOPED_TRACE(static_cast<int>(base));
    Database db(MemorySource("undamaged.mdb", Image(base)));
    EXPECT_NO_THROW(ReadEverything(db));
    CheckReport r = CheckDatabase(db);
    EXPECT_TRUE(r.Consistent()) << (r.findings.empty() ? "" : r.findings.front().Describe());
  }
  Database spread(MemorySource("spread.mdb", Image(Base::kSpread)));
  EXPECT_FALSE(
      ReadUsageMap(spread, Probe{spread}.Table(kBigTable).owned_map, "").bitmap_pages.empty());
  Database two(MemorySource("two.mdb", Image(Base::kTwoLevelIndex)));
  EXPECT_EQ(ReadIndexTree(two, Probe{two}.Table(kTable), 0).depth, 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, JetDamage, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DamageCase>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
}  // namespace orvelle::jet

namespace orvelle::jet {
namespace {

// Every outcome of reading a damaged file is a result or a JetError; anything else escaping
// (std::out_of_range, bad_alloc, a crash under the sanitizers) fails here.
void ReadAndCheck(const std::string& bytes) {
  try {
    Database db(MemorySource("damaged.mdb", bytes));
    CheckDatabase(db);
    ReadEverything(db);
  } catch (const JetError&) {
  }
}

// Flipping one byte at a time of the sample (a Jet4 file) and of the Debian sample in the Jet3
// format, which the checker refuses for damage of its own.
TEST(JetDamageSweep, FlippedBytesEndInAResultOrAJetError) {
  // A prime stride lands on a different offset within a page at every step, across the
  // file's pages.
  for (auto [name, stride] : {std::pair<const char*, size_t>{kSample, 283}, {"testodbc.mdb", 89}}) {
    std::string path = test::DebianFixture(name);
    ORVELLE_REQUIRE_DEBIAN(path);
    const std::string original = orvelle::test::ReadBytes(path);
    for (size_t at = 0; at < original.size(); at += stride) {
      SCOPED_TRACE(std::string(name) + " byte " + std::to_string(at));
      std::string bytes = original;
      bytes[at] = static_cast<char>(~bytes[at]);
      EXPECT_NO_THROW(ReadAndCheck(bytes));
    }
  }
}

TEST(JetDamageSweep, TruncatedFilesEndInAResultOrAJetError) {
  ORVELLE_REQUIRE_DEBIAN(test::DebianFixture(kSample));
  for (Base base : {Base::kSample, Base::kSpread, Base::kTwoLevelIndex}) {
    const std::string& original = Image(base);
    for (size_t len = 0; len < original.size(); len += 4096 * 3 + 1) {
      SCOPED_TRACE(len);
      EXPECT_NO_THROW(ReadAndCheck(original.substr(0, len)));
    }
  }
}

}  // namespace
}  // namespace orvelle::jet
