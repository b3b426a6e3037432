// The walk the structural checker and the page slide's inventory share: one walk for both must
// give what each gives on its own, on every fixture and on damaged copies of some.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "jet/checker.h"
#include "jet/compact_plan.h"
#include "jet/page_source.h"
#include "jet/rows.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

namespace orvelle::jet {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Text(const CheckReport& r) {
  std::ostringstream s;
  s << r.page_count << " live " << r.pages_live << " free " << r.pages_free << " leaked "
    << r.pages_leaked << " reclaimable " << r.pages_reclaimable << "\n";
  for (const TableSummary& t : r.tables) {
    s << t.name << " " << t.tdef << " " << t.live_rows << " " << t.pages << "\n";
  }
  for (const Finding& f : r.findings)
    s << static_cast<int>(f.severity) << " " << f.Describe() << "\n";
  return s.str();
}

std::string Text(const PageInventory& inv) {
  std::ostringstream s;
  auto fields = [&](const std::vector<PointerField>& f) {
    for (const PointerField& p : f) s << " " << p.offset << "/" << static_cast<int>(p.form);
    s << "\n";
  };
  s << inv.page_count << " roles";
  for (PageRole r : inv.roles) s << " " << static_cast<int>(r);
  s << "\n";
  std::vector<uint32_t> pages;
  for (const auto& [pn, f] : inv.fields) pages.push_back(pn);
  std::sort(pages.begin(), pages.end());
  for (uint32_t pn : pages) {
    s << "page " << pn;
    fields(inv.fields.at(pn));
  }
  for (const PageInventory::TableDefFields& t : inv.table_defs) {
    s << "definition";
    for (uint32_t pn : t.chain) s << " " << pn;
    s << " fields";
    fields(t.fields);
  }
  for (const auto& [packed, m] : inv.maps) {
    s << "map " << packed << " " << m.global << m.reference << " pages";
    for (uint32_t pn : m.pages) s << " " << pn;
    s << " slots";
    for (uint32_t pn : m.slots) s << " " << pn;
    s << "\n";
  }
  std::vector<std::pair<uint32_t, uint32_t>> owners(inv.bitmap_owner.begin(),
                                                    inv.bitmap_owner.end());
  std::sort(owners.begin(), owners.end());
  for (const auto& [pn, packed] : owners) s << "bitmap " << pn << " of " << packed << "\n";
  for (RowPointer rp : inv.orphan_maps) s << "orphan " << rp.Packed() << "\n";
  return s.str();
}

std::string What(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  }
}

// The shared walk against the two walks of their own, on one file image.
void ExpectOneWalkAsTwo(const std::string& name, const std::string& bytes) {
  SCOPED_TRACE(name);
  Database alone(MemorySource(name, bytes));
  Database shared(MemorySource(name, bytes));
  Database slide(MemorySource(name, bytes));
  CheckReport report;
  try {
    report = CheckDatabase(alone);
  } catch (const JetError&) {
    EXPECT_THROW(CheckDatabase(shared), JetError);  // an unreadable catalogue
    return;
  }
  InventoryResult both;
  const CheckReport paired = CheckDatabase(shared, &both);
  EXPECT_EQ(Text(paired), Text(report));
  ASSERT_EQ(both.available, report.Consistent());
  if (!both.available) return;
  std::string error;
  PageInventory inv;
  try {
    inv = CollectInventory(slide);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!error.empty()) {
    ASSERT_TRUE(both.error) << error;
    EXPECT_EQ(What(both.error), error);
    return;
  }
  ASSERT_FALSE(both.error) << What(both.error);
  EXPECT_EQ(Text(both.inventory), Text(inv));
  // What the checker counts as reclaimable is what the slide leaves behind.
  EXPECT_EQ(report.page_count - report.pages_reclaimable, inv.LiveCount());
}

TEST(JetPageWalk, OneWalkForCheckAndInventoryGivesWhatEachGivesAlone) {
  std::string dir = orvelle::test::AccessFixturesDir();
  ORVELLE_REQUIRE_CORPUS(dir);
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".mdb" || ext == ".accdb") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  for (const std::string& path : files) {
    ExpectOneWalkAsTwo(fs::path(path).filename().string(), ReadAll(path));
  }
  EXPECT_GE(files.size(), 72u);
}

// Damage that ends a structure for the checker but not for the inventory, or the other way
// round, is where a shared walk could let one visitor's error leak into the other's result.
TEST(JetPageWalk, OneWalkAgreesWithTwoOnDamagedCopies) {
  ORVELLE_REQUIRE_CORPUS(orvelle::test::AccessFixturesDir());
  // Both formats, overflow rows, long values, and the two files the compactor refuses.
  std::vector<std::string> paths = test::RefusedFixtures();
  for (const char* name :
       {"V1997-testV1997.mdb", "V2000-overflowTestV2000.mdb", "V2007-testV2007.accdb",
        "V2010-overflowTestV2010.accdb", "V2010-testEmoticonsV2010.accdb"}) {
    paths.push_back(test::Fixture(name));
  }
  for (const std::string& path : paths) {
    ASSERT_FALSE(path.empty());
    const std::string original = ReadAll(path);
    const size_t ps = original.size() > 0x14 && original[0x14] == 0 ? 2048 : 4096;
    const size_t pages = original.size() / ps;
    ASSERT_GT(pages, 2u) << path;
    for (size_t k = 1; k <= 80; ++k) {
      std::string b = original;
      const size_t at = (2 + k * 7919 % (pages - 2)) * ps + k * 104729 % ps;
      b[at] = static_cast<char>(b[at] ^ (k % 2 ? 0xFF : 0x01));
      ExpectOneWalkAsTwo(fs::path(path).filename().string() + " byte " + std::to_string(at), b);
    }
  }
}

// An overflow row that points at itself: following it for the inventory's pointers fails
// differently from the checker's own loop test, and only the checker's message may show.
TEST(JetPageWalk, RowPagesFailureStaysWithTheInventory) {
  const std::string path = test::Fixture("V2000-overflowTestV2000.mdb");
  ORVELLE_REQUIRE_CORPUS(path);
  std::string b = ReadAll(path);
  Database db(MemorySource("overflow", b));
  RowPointer header;
  for (uint32_t pn = 2; pn < db.PageCount() && header.IsNull(); ++pn) {
    Page p = db.ReadPage(pn, "page");
    if ((*p)[0] != kPageData) continue;
    DataPage d = ParseDataPage(db, pn, "data page");
    for (size_t s = 0; s < d.slots.size(); ++s) {
      if (d.slots[s].OverflowHeader() && d.slots[s].Length() >= 4) {
        header = {pn, static_cast<uint8_t>(s)};
        test::Put32(b, uint64_t{pn} * db.PageSize() + d.slots[s].offset, header.Packed());
        break;
      }
    }
  }
  ASSERT_FALSE(header.IsNull()) << "no overflow row";
  Database alone(MemorySource("overflow", b));
  const CheckReport r = CheckDatabase(alone);
  const std::string loop = "data page: overflow chain of row " + std::to_string(header.row) +
                           " loops at " + Describe(header);
  EXPECT_TRUE(std::any_of(r.findings.begin(), r.findings.end(), [&](const Finding& f) {
    return f.text == loop;
  })) << Text(r);
  ExpectOneWalkAsTwo("overflow", b);
}

}  // namespace
}  // namespace orvelle::jet
