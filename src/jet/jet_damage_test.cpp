// Damaged copies of real databases: every case ends in one precise JetError (or checker
// finding) naming the page, the structure and what was expected; never a crash or a hang.
#include <gtest/gtest.h>

#include <functional>

#include "jet/checker.h"
#include "jet/index.h"
#include "jet/long_value.h"
#include "jet/rows.h"
#include "jet/table_def.h"
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
  // The first value of a long-value column stored as a chain: (row page, offset of the
  // 12-byte header in the file).
  std::pair<uint32_t, uint64_t> FirstChain() const {
    for (const CatalogEntry& e : db.Catalog()) {
      TableDef t = ReadTableDef(db, e.id);
      std::pair<uint32_t, uint64_t> found{0, 0};
      ForEachLiveRow(db, t, [&](const LiveRow& r) {
        CrackedRow cr = CrackRow(db, t, r);
        for (size_t k = 0; k < t.columns.size() && !found.first; ++k) {
          const ColumnData& d = cr.columns[k];
          if (t.columns[k].IsLongValue() && d.present && d.size >= 12 &&
              (d.data[3] & 0xC0) == kLvChain) {
            found = {r.data.page, Page(r.data.page) + (d.data - r.page->data())};
          }
        }
      });
      if (found.first) return found;
    }
    throw std::runtime_error("no chained long value");
  }
};

enum class Op { kRead, kCheck };

struct DamageCase {
  const char* name;
  const char* file;
  Op op;
  // Damages bytes (the undamaged file is open as p) and returns the expected message.
  std::function<std::string(std::string& bytes, const Probe& p)> damage;
};

std::string S(uint64_t v) { return std::to_string(v); }

const DamageCase kCases[] = {
    {"TruncatedToTwoPages", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe&) {
       b.resize(8192);
       return std::string(
           "file length 8192 holds 2 whole pages of 4096 bytes, a database needs at least 3");
     }},
    {"TooShortForAHeader", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe&) {
       b.resize(100);
       return std::string("page 0: header: file too short for a header (100 bytes)");
     }},
    {"BadSignature", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe&) {
       b[1] = 0x7F;
       return std::string("page 0: header: signature 0x7F00, expected 0x100");
     }},
    {"UnknownVersionCode", "V2010-delTestV2010.accdb", Op::kRead,
     [](std::string& b, const Probe&) {
       b[0x14] = 0x04;
       return std::string("page 0: header: unknown version code 0x4");
     }},
    {"VersionDisagreesWithEngine", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe&) {
       b[0x14] = 0x03;
       return std::string(
           "page 0: header: version code 0x3 does not match engine name \"Standard Jet DB\"");
     }},
    {"MsisamEngine", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe&) {
       b.replace(4, 16, std::string("MSISAM Database\0", 16));
       return std::string("page 0: header: MSISAM (Microsoft Money) files are not supported");
     }},
    {"CatalogueNotATableDefinition", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       b[p.Page(2)] = 0x01;
       return std::string("page 2: table definition: page type 0x1, expected 0x02");
     }},
    {"TableDefinitionLengthBeyondChain", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table("Table1").page;
       Put32(b, p.Page(t) + 8, 0x10000);
       return "page " + S(t) +
              ": table definition: tdef_len 65536 beyond the 1-page chain (4096 bytes)";
     }},
    {"TableDefinitionChainLoops", "V2000-testV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table("Table2").page;
       Put32(b, p.Page(t) + 4, t);
       return "page " + S(t) + ": table definition: continuation chain loops back to page " + S(t);
     }},
    {"TableDefinitionNextBeyondEnd", "V2000-testV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table("Table2").page;
       Put32(b, p.Page(t) + 4, 0x7FFFFFFF);
       return std::string("page 2147483647: table definition: page beyond end of file (743 pages)");
     }},
    {"ColumnCountOverrunsDefinition", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table("Table1").page;
       Put16(b, p.Page(t) + 0x2D, 0x4000);
       return "page " + S(t) +
              ": table definition: 16384 column descriptors at 0x3F beyond tdef_len 0x190";
     }},
    {"RowOffsetBeyondPageEnd", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage("Table1");
       Put16(b, p.Page(d) + 0x0E, 0x1F00);
       return "page " + S(d) + ": data page: row 0 offset 0x1F00 beyond page end";
     }},
    {"SlotTableBeyondPageEnd", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage("Table1");
       Put16(b, p.Page(d) + 0x0C, 0x0800);
       return "page " + S(d) +
              ": data page: row count 2048: slot table ends at 0x100E beyond page end";
     }},
    {"RowsOverlap", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage("Table1");
       Put16(b, p.Page(d) + 0x10, 0x0FFF);
       return "page " + S(d) + ": data page: row 1 offset 0xFFF above the previous row's start ";
     }},
    {"DataPageOfAnotherOwner", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t d = p.FirstDataPage("Table1");
       Put32(b, p.Page(d) + 4, 999);
       return "page " + S(d) + ": data page: owner 999, expected table definition page " +
              S(p.Table("Table1").page);
     }},
    {"OverflowRowPointsAtItself", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       for (uint32_t pn : ReadUsageMap(p.db, p.Table("Table1").owned_map, "").pages) {
         DataPage d = ParseDataPage(p.db, pn, "");
         for (size_t s = 0; s < d.slots.size(); ++s) {
           if (!d.slots[s].OverflowHeader()) continue;
           RowPointer self{pn, static_cast<uint8_t>(s)};
           Put32(b, p.Page(pn) + d.slots[s].offset, self.Packed());
           return "page " + S(pn) + ": data page: overflow chain of row " + S(s) + " loops at " +
                  Describe(self);
         }
       }
       ADD_FAILURE() << "no overflow row";
       return std::string();
     }},
    {"LongValueChainLoops", "V1997-test2V1997.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [page, at] = p.FirstChain();
       RowPointer first = RowPointer::FromLe(Le32(reinterpret_cast<uint8_t*>(&b[at + 4])));
       DataPage lv = ParseDataPage(p.db, first.page, "");
       Put32(b, p.Page(first.page) + lv.slots[first.row].offset, first.Packed());
       return "page " + S(first.page) + ": long-value page: chain of long value of column " +
              "\"LvProp\" at page " + S(page) + " loops back to " + Describe(first);
     }},
    {"LongValueShorterThanDeclared", "V1997-test2V1997.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [page, at] = p.FirstChain();
       uint32_t word = Le32(reinterpret_cast<uint8_t*>(&b[at]));
       Put32(b, at, word + 1);
       RowPointer first = RowPointer::FromLe(Le32(reinterpret_cast<uint8_t*>(&b[at + 4])));
       return "page " + S(first.page) + ": long-value page: chain of long value of column " +
              "\"LvProp\" at page " + S(page) + " holds " + S(word & 0x3FFFFFFF) +
              " bytes, declared " + S((word & 0x3FFFFFFF) + 1);
     }},
    {"LongValueOnADataPage", "V1997-test2V1997.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       auto [page, at] = p.FirstChain();
       RowPointer first = RowPointer::FromLe(Le32(reinterpret_cast<uint8_t*>(&b[at + 4])));
       Put32(b, p.Page(first.page) + 4, 7);
       return "page " + S(first.page) +
              ": long-value page: owner 0x7, expected \"LVAL\" (long value of column " +
              "\"LvProp\" at page " + S(page) + ")";
     }},
    {"UsageMapOfUnknownType", "V2000-overflowTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       RowPointer m = p.Table("Table1").owned_map;
       DataPage host = ParseDataPage(p.db, m.page, "");
       b[p.Page(m.page) + host.slots[m.row].offset] = 0x07;
       return "page " + S(m.page) + ": table owned-pages map at " + Describe(m) +
              ": map type 0x7, expected 0x00 (inline) or 0x01 (reference)";
     }},
    {"ReferenceMapBitmapOfWrongType", "V2010-binIdxTestV2010.accdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       RowPointer m = p.Table("Test").owned_map;
       uint32_t bitmap = ReadUsageMap(p.db, m, "").bitmap_pages.at(0);
       b[p.Page(bitmap)] = 0x01;
       return "page " + S(bitmap) + ": usage bitmap: page type 0x1, expected 0x05 (table " +
              "owned-pages map at " + Describe(m) + " slot 0)";
     }},
    {"IndexPageOfWrongType", "V2000-compIndexTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table("Table1").physical.at(0).root;
       b[p.Page(root)] = 0x02;
       return "page " + S(root) +
              ": index page: page type 0x2, expected 0x03 (node) or 0x04 (leaf)";
     }},
    {"IndexFreeSpaceDisagrees", "V2000-compIndexTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table("Table1").physical.at(0).root;
       IndexPage ip = ReadIndexPage(p.db, root);
       Put16(b, p.Page(root) + 2, static_cast<uint16_t>(ip.free_space + 1));
       return "page " + S(root) + ": index page: free space " + S(ip.free_space + 1) +
              ", entries leave " + S(ip.free_space);
     }},
    {"IndexNodeEntryDiffersFromChild", "V2000-compIndexTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table("Table1").physical.at(0).root;
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
    {"IndexTreeLoops", "V2000-compIndexTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       uint32_t root = p.Table("Table1").physical.at(0).root;
       Put32(b, p.Page(root) + 0x14, root);
       return "page " + S(root) + ": index page: index 0 reaches the page twice";
     }},
    {"IndexLeafChainBroken", "V2000-compIndexTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       TableDef t = p.Table("Table1");
       IndexTree tree = ReadIndexTree(p.db, t, 0);
       uint32_t leaf = tree.leaves.at(0);
       Put32(b, p.Page(leaf) + 0x10, 0);
       return "page " + S(leaf) + ": index page: leaf links prev 0 next 0, expected prev 0 next " +
              S(tree.leaves.at(1));
     }},
    {"IndexEntriesOutOfOrder", "V2000-compIndexTestV2000.mdb", Op::kRead,
     [](std::string& b, const Probe& p) {
       IndexTree tree = ReadIndexTree(p.db, p.Table("Table1"), 0);
       IndexPage ip = ReadIndexPage(p.db, tree.leaves.at(0));
       // The first stored byte after the shared prefix of entry 1 drops to 0x00.
       b[p.Page(ip.number) + 0x1E0 + ip.entries[0].size()] = 0x00;
       return "page " + S(ip.number) + ": index page: index 0 entry 1 (" +
              Describe(tree.entries.at(1).row) + ") not above the previous one";
     }},
    {"TwoTablesShareADefinition", "V2000-overflowTestV2000.mdb", Op::kCheck,
     [](std::string& b, const Probe& p) {
       TableDef sys = ReadTableDef(p.db, 2);
       int id = sys.ColumnIndex("Id"), name = sys.ColumnIndex("Name");
       ForEachLiveRow(p.db, sys, [&](const LiveRow& r) {
         CrackedRow cr = CrackRow(p.db, sys, r);
         if (TextValue(p.db, sys, name, cr) != "Table1") return;
         const uint8_t* at = cr.columns[id].data;
         Put32(b, p.Page(r.data.page) + (at - r.page->data()), 2);
       });
       return std::string("page 2: catalogue: table \"Table1\" has the same definition page as ") +
              "\"MSysObjects\"";
     }},
    {"GlobalMapFreesATableDefinition", "V2000-overflowTestV2000.mdb", Op::kCheck,
     [](std::string& b, const Probe& p) {
       uint32_t t = p.Table("Table1").page;
       DataPage host = ParseDataPage(p.db, 1, "");
       b[p.Page(1) + host.slots[0].offset + 5 + t / 8] |= static_cast<char>(1 << (t % 8));
       return "page " + S(t) + ": global usage map marks the page free, but it is a table " +
              "definition of table definition " + S(t);
     }},
    {"OwnedMapCrossLinkedToAnotherTable", "V2000-overflowTestV2000.mdb", Op::kCheck,
     [](std::string& b, const Probe& p) {
       TableDef sys = p.Table("MSysObjects");
       TableDef t = p.Table("Table1");
       Put32(b, p.Page(t.page) + 0x37, sys.owned_map.Packed());
       uint32_t first = ReadUsageMap(p.db, sys.owned_map, "").pages.at(0);
       return "page " + S(first) + ": claimed twice: as data page of table definition 2 and " +
              "as data page (table \"Table1\" owned-pages map)";
     }},
    {"IndexEntryAtADeletedRow", "V2000-compIndexTestV2000.mdb", Op::kCheck,
     [](std::string& b, const Probe& p) {
       TableDef t = p.Table("Table1");
       uint32_t d = p.FirstDataPage("Table1");
       DataPage dp = ParseDataPage(p.db, d, "");
       Put16(b, p.Page(d) + 0x0E, static_cast<uint16_t>(dp.slots[0].offset | 0xC000));
       IndexTree tree = ReadIndexTree(p.db, t, 0);
       size_t k = 0;
       while (!(tree.entries.at(k).row == RowPointer{d, 0})) ++k;
       return "page " + S(tree.entries[k].leaf) + ": index page: table \"Table1\" index " + "\"" +
              t.logical.at(0).name + "\" entry " + S(k) + " points at page " + S(d) +
              " row 0, not a live row";
     }},
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class JetDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(JetDamage, FailsWithPreciseMessage) {
  const DamageCase& c = GetParam();
  std::string path = test::Fixture(c.file);
  ORVELLE_REQUIRE_CORPUS(path);
  std::string bytes = orvelle::test::ReadBytes(path);
  auto original = Database::OpenFile(path);
  std::string expected = c.damage(bytes, Probe{*original});
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

TEST(JetDamageSweep, FlippedBytesEndInAResultOrAJetError) {
  for (const char* name : {"V1997-test2V1997.mdb", "V2000-compIndexTestV2000.mdb"}) {
    std::string path = test::Fixture(name);
    ORVELLE_REQUIRE_CORPUS(path);
    const std::string original = orvelle::test::ReadBytes(path);
    // A prime stride visits every offset within a page across the file's pages.
    for (size_t at = 0; at < original.size(); at += 89) {
      SCOPED_TRACE(std::string(name) + " byte " + std::to_string(at));
      std::string bytes = original;
      bytes[at] = static_cast<char>(~bytes[at]);
      EXPECT_NO_THROW(ReadAndCheck(bytes));
    }
  }
}

TEST(JetDamageSweep, TruncatedFilesEndInAResultOrAJetError) {
  std::string path = test::Fixture("V2007-overflowTestV2007.accdb");
  ORVELLE_REQUIRE_CORPUS(path);
  const std::string original = orvelle::test::ReadBytes(path);
  for (size_t len = 0; len < original.size(); len += 4096 * 3 + 1) {
    SCOPED_TRACE(len);
    EXPECT_NO_THROW(ReadAndCheck(original.substr(0, len)));
  }
}

}  // namespace
}  // namespace orvelle::jet
