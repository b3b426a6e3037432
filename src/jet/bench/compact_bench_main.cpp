// Compaction benchmark (not a test): spreads a sample database out to about 200 MB of mostly
// free pages, then times copying that file against compacting it.
//   compact-bench SAMPLE.mdb WORK-FOLDER [MEGABYTES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "jet/compact.h"
#include "jet/compact_plan.h"
#include "jet/database.h"

namespace {

using namespace orvelle::jet;
namespace fs = std::filesystem;

// Puts `gap` free pages (zero-filled) before every live page that moves.
std::string Spread(Database& db, uint32_t gap) {
  PageInventory inv = CollectInventory(db);
  Relocation r;
  r.new_number.assign(inv.page_count, Relocation::kNone);
  uint32_t end = 2;
  for (uint32_t pn = 0; pn < inv.page_count; ++pn) {
    if (inv.Live(pn) && inv.Fixed(pn)) r.new_number[pn] = pn, end = pn + 1;
  }
  uint32_t next = end;
  for (uint32_t pn = 0; pn < inv.page_count; ++pn) {
    if (!inv.Live(pn) || inv.Fixed(pn)) continue;
    next += gap;
    r.new_number[pn] = next++;
  }
  r.page_count = next;
  std::ostringstream out;
  WriteRelocated(db, inv, r, out);
  return out.str();
}

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: compact-bench SAMPLE.mdb WORK-FOLDER [MEGABYTES]\n");
    return 2;
  }
  const std::string sample = argv[1], work = argv[2];
  const uint64_t megabytes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200;
  try {
    fs::create_directories(work);
    const std::string bloated = work + "/bloated.mdb", copy = work + "/copy.mdb",
                      compacted = work + "/compacted.mdb";
    for (const std::string& f : {bloated, copy, compacted}) fs::remove(f);
    auto db = Database::OpenFile(sample);
    PageInventory inv = CollectInventory(*db);
    uint32_t moved = 0;
    for (uint32_t p = 0; p < inv.page_count; ++p) moved += inv.Live(p) && !inv.Fixed(p);
    const uint64_t want = megabytes * 1024 * 1024 / db->PageSize();
    const uint32_t gap = static_cast<uint32_t>(want / (moved ? moved : 1));
    {
      std::ofstream out(bloated, std::ios::binary);
      out << Spread(*db, gap);
    }
    std::printf("sample     %s: %llu bytes, %u live pages that move\n", sample.c_str(),
                static_cast<unsigned long long>(fs::file_size(sample)), moved);
    std::printf("bloated    %llu bytes (%u free pages before each)\n",
                static_cast<unsigned long long>(fs::file_size(bloated)), gap);
    auto t0 = std::chrono::steady_clock::now();
    fs::copy_file(bloated, copy);
    std::printf("copy       %.3f s\n", Seconds(t0));
    t0 = std::chrono::steady_clock::now();
    CompactResult r = CompactDatabase(bloated, compacted);
    std::printf("compact    %.3f s -> %llu bytes (verified)\n", Seconds(t0),
                static_cast<unsigned long long>(r.bytes_after));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "compact-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
