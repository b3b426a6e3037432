// orvelle-jet: inspects Access databases with the native engine.
//   orvelle-jet info [--password=PWD] FILE...    format, tables, page accounting and the
//                                                checker's verdict; a folder: a line for each
//                                                database under it and the total reclaimable
//   orvelle-jet compare [--password=PWD] A B     the equivalence checker
//   orvelle-jet compact [--password=PWD] IN OUT  compaction, verified before OUT appears
// The password opens password-encrypted ACE files (and is checked against the one a Jet file
// stores when compacting); --password may stand anywhere after the command.
// Exit status: 0 consistent/equivalent/compacted, 1 inconsistent/different/refused,
// 2 unreadable or bad usage.
#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compact_full.h"
#include "jet/compact_plan.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "orvelle_version.h"
#include "platform/text.h"

namespace {

using namespace orvelle::jet;

const char* SeverityName(Severity s) {
  switch (s) {
    case Severity::kError:
      return "error";
    case Severity::kLeak:
      return "leak";
    case Severity::kWarning:
      return "warning";
  }
  return "?";
}

// Takes the full compactor's pages and keeps none: only their count matters.
class DiscardingSink : public PageSink {
 public:
  void Put(uint32_t, const uint8_t*) override {}
};

// What compaction would reclaim, in words and bytes.
struct Reclaim {
  std::string text;
  uint64_t bytes = 0;  // 0 also when nothing can be reclaimed
};

// Found the way the compactor finds it: the full compactor's output is written and counted;
// where it gives up, the page slide's plan, in which unused pages below a table definition
// stay, as definitions keep their page numbers there. The copy is not verified here, so the
// figure is what compaction drops unless its verification refuses the copy.
Reclaim Reclaimable(Database& db, const CheckReport& r, size_t errors) {
  if (errors) return {"none, the database is damaged"};
  auto dropping = [&](uint32_t dropped, const std::string& more) {
    const uint64_t bytes = static_cast<uint64_t>(dropped) * r.page_size;
    return Reclaim{std::to_string(dropped) + " pages (" + std::to_string(bytes) + " bytes)" + more,
                   bytes};
  };
  std::string refused;
  try {
    DiscardingSink sink;
    const uint32_t pages = WriteFullyCompacted(db, sink);
    if (pages <= r.page_count) return dropping(r.page_count - pages, "");
    refused = "the full compaction would not make the file smaller";
  } catch (const FullCompactionRefused& e) {
    refused = e.what();
  } catch (const JetError& e) {
    refused = e.Detail();
  }
  uint32_t output_pages = 0;
  try {
    output_pages = PackDown(CollectInventory(db)).page_count;
  } catch (const JetError& e) {
    return {"none, " + e.Detail()};
  }
  const uint32_t dropped = r.page_count - output_pages;
  std::string more = " by moving pages only (" + refused + ")";
  if (dropped < r.pages_reclaimable) {
    more += "; " + std::to_string(r.pages_reclaimable - dropped) +
            " unused pages stay below a table definition, which keeps its page number";
  }
  return dropping(dropped, more);
}

// The verdict on one file, as both forms of "info" report it.
struct Inspection {
  int status = 2;  // 0 consistent, 1 inconsistent, 2 unreadable
  uint64_t bytes = 0;
  Reclaim reclaim;
  std::string verdict;
};

// Prints the whole account of one file when detailed, else nothing.
Inspection Inspect(const std::string& file, const std::string& password, bool detailed) {
  Inspection result;
  std::unique_ptr<Database> db;
  CheckReport r;
  try {
    db = Database::OpenFile(file, password);
    r = CheckDatabase(*db);
  } catch (const JetError& e) {
    result.verdict = "unreadable: " + e.Detail();
    if (detailed) {
      std::cout << "file: " << file << "\nerror: " << e.Detail() << "\nverdict: unreadable\n";
    }
    return result;
  }
  result.bytes = static_cast<uint64_t>(r.page_count) * r.page_size;
  size_t errors = 0;
  for (const Finding& f : r.findings) errors += f.severity == Severity::kError ? 1 : 0;
  result.reclaim = Reclaimable(*db, r, errors);
  if (errors) {
    result.status = 1;
    result.verdict =
        "inconsistent (" + std::to_string(errors) + (errors == 1 ? " error" : " errors") + ")";
  } else {
    result.status = 0;
    result.verdict = r.pages_leaked ? "consistent (with leaked pages)" : "consistent";
  }
  if (!detailed) return result;
  std::cout << "file: " << file << "\n";
  std::cout << "format: " << VersionName(r.version)
            << (db->GetHeader().encoded() ? " (RC4-encoded)" : "") << ", page size " << r.page_size
            << ", " << r.page_count << " pages\n";
  if (const auto& office = db->GetHeader().office) {
    std::cout << "encryption: " << office->Describe() << "\n";
  }
  size_t user = 0;
  for (const TableSummary& t : r.tables) user += t.system ? 0 : 1;
  std::cout << "tables: " << user << " user, " << r.tables.size() - user << " system\n";
  for (const TableSummary& t : r.tables) {
    std::cout << "  " << (t.system ? "[system] " : "") << t.name
              << (t.type == 4 ? " (linked ODBC)" : "") << ": " << t.live_rows << " rows, "
              << t.pages << " pages\n";
  }
  std::cout << "pages: " << r.pages_live << " live, " << r.pages_free << " free, " << r.pages_leaked
            << " leaked\n";
  std::cout << "reclaimable by compaction: " << result.reclaim.text << "\n";
  for (const Finding& f : r.findings) {
    std::cout << SeverityName(f.severity) << ": " << f.Describe() << "\n";
  }
  std::cout << "verdict: " << result.verdict << "\n";
  return result;
}

std::string Percent(uint64_t part, uint64_t whole) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << (whole ? 100.0 * part / whole : 0.0) << "%";
  return out.str();
}

// Lock files share the databases' mask but are no databases.
bool IsDatabaseName(const std::filesystem::path& p) {
  const std::string ext = orvelle::text::LowerAscii(p.extension().string());
  return ext.size() >= 3 && ext.compare(ext.size() - 2, 2, "db") == 0 && ext != ".ldb" &&
         ext != ".laccdb";
}

// Every database under folder (the batch's default mask, "*.*db", in every sub-folder; links
// to folders are not followed, so no folder is seen twice; links to files are read), a line for
// each and the total. Returns the worst status; a folder that cannot be read counts as unreadable.
int InspectFolder(const std::string& folder, const std::string& password) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::vector<std::string> unreadable_folders;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec), end;
  if (ec) {
    std::cout << "folder: " << folder << "\nerror: " << ec.message() << "\n";
    return 2;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) {
      unreadable_folders.push_back(ec.message());
      ec.clear();
      continue;
    }
    std::error_code type_ec;
    if (it->is_regular_file(type_ec) && IsDatabaseName(it->path())) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  std::cout << "folder: " << folder << "\n";
  int worst = unreadable_folders.empty() ? 0 : 2;
  for (const std::string& why : unreadable_folders) std::cout << "error: " << why << "\n";
  uint64_t bytes = 0, reclaimable = 0;
  size_t unreadable = 0, inconsistent = 0;
  for (const fs::path& file : files) {
    Inspection i = Inspect(file.string(), password, false);
    worst = std::max(worst, i.status);
    std::cout << "  " << file.lexically_relative(folder).string() << ": ";
    if (i.status == 2) {
      ++unreadable;
      std::cout << i.verdict << "\n";
      continue;
    }
    inconsistent += i.status == 1 ? 1 : 0;
    bytes += i.bytes;
    reclaimable += i.reclaim.bytes;
    std::cout << i.bytes << " bytes, " << i.reclaim.bytes << " reclaimable ("
              << Percent(i.reclaim.bytes, i.bytes) << "), " << i.verdict << "\n";
  }
  std::cout << "total: " << files.size() << (files.size() == 1 ? " database, " : " databases, ")
            << bytes << " bytes, " << reclaimable << " reclaimable (" << Percent(reclaimable, bytes)
            << "); " << inconsistent << " inconsistent, " << unreadable << " unreadable\n";
  return worst;
}

int Compare(const std::string& a, const std::string& b, const std::string& password) {
  try {
    auto da = Database::OpenFile(a, password);
    // A compacted copy keeps the page 0 of its source, and with it the page keys.
    auto db = Database::OpenFile(b, password, *da);
    CompareReport r = CompareDatabases(*da, *db);
    for (const std::string& line : r.matched) std::cout << "same: " << line << "\n";
    for (const std::string& d : r.differences) std::cout << "different: " << d << "\n";
    std::cout << "verdict: " << (r.Equivalent() ? "equivalent" : "different") << "\n";
    return r.Equivalent() ? 0 : 1;
  } catch (const JetError& e) {
    std::cout << "error: " << e.what() << "\nverdict: unreadable\n";
    return 2;
  }
}

const char kUsage[] =
    "usage: orvelle-jet info [--password=PWD] FILE|FOLDER...\n"
    "       orvelle-jet compare [--password=PWD] A B\n"
    "       orvelle-jet compact [--password=PWD] IN OUT\n";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

// --help, -h and --version as the batch program answers them: on standard output, exit 0.
int Help() {
  std::cout << kUsage
            << "\nInspects Access databases (.mdb, .accdb) with Orvelle's native engine.\n"
               "  info      format, tables, live/free/leaked pages, what compaction would\n"
               "            reclaim, and the checker's verdict; for a folder, one line for\n"
               "            each database under it (*.*db, sub-folders included) and the\n"
               "            total that compaction would reclaim\n"
               "  compare   compares two databases table by table\n"
               "  compact   compacts IN into OUT, verified before OUT appears\n"
               "  --password=PWD  opens password-protected files\n"
               "\nExit status: 0 consistent, equivalent or compacted; 1 inconsistent,\n"
               "different or refused; 2 unreadable or bad usage.\n";
  std::cout.flush();
  return std::cout ? 0 : 1;
}

int Compact(const std::vector<std::string>& files, const CompactOptions& options) {
  if (files.size() != 2) return Usage();
  CompactResult r;
  try {
    r = CompactDatabase(files[0], files[1], options);
  } catch (const CompactError& e) {
    std::cerr << "orvelle-jet: " << e.what() << "\n";
    return 1;
  }
  const int64_t saved = static_cast<int64_t>(r.bytes_before) - static_cast<int64_t>(r.bytes_after);
  std::cout << "compacted: " << files[0] << " -> " << files[1] << "\n"
            << "page size: " << r.page_size << "\n"
            << "pages: " << r.pages_before << " -> " << r.pages_after << "\n"
            << "bytes: " << r.bytes_before << " -> " << r.bytes_after << " (" << saved
            << " bytes reclaimed, " << std::fixed << std::setprecision(1)
            << (r.bytes_before ? 100.0 * saved / r.bytes_before : 0.0) << "%)\n"
            << "compaction: "
            << (r.full ? std::string("full (rows, long values and indexes rewritten)")
                       : "page slide (" + r.fallback + ")")
            << "\n";
  if (r.full) {
    std::cout << "tables moved: " << r.tables_moved << ", pinned: " << r.tables_pinned << "\n";
    for (const std::string& line : r.pinned) std::cout << "pinned " << line << "\n";
  }
  std::cout << "verified: structural check passed, equivalent to the source\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") return Help();
  if (command == "--version") {
    std::cout << "orvelle-jet " << orvelle::kProductVersion << "\n";
    return 0;
  }
  const std::string option = "--password=";
  std::vector<std::string> files;
  CompactOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.compare(0, option.size(), option) == 0) {
      options.password = a.substr(option.size());
    } else {
      files.push_back(a);
    }
  }
  const std::string password = options.password.value_or(std::string());
  if (command == "info" && !files.empty()) {
    int worst = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      if (i > 0) std::cout << "\n";
      std::error_code ec;
      const int rc = std::filesystem::is_directory(files[i], ec)
                         ? InspectFolder(files[i], password)
                         : Inspect(files[i], password, true).status;
      worst = rc > worst ? rc : worst;
    }
    return worst;
  }
  if (command == "compare" && files.size() == 2) return Compare(files[0], files[1], password);
  if (command == "compact") return Compact(files, options);
  return Usage();
}
