// orvelle-jet: inspects Access databases with the native engine.
//   orvelle-jet info [--password=PWD] FILE...    format, tables, page accounting and the
//                                                checker's verdict
//   orvelle-jet compare [--password=PWD] A B     the equivalence checker
//   orvelle-jet compact [--password=PWD] IN OUT  compaction, verified before OUT appears
// The password opens password-encrypted ACE files (and is checked against the one a Jet file
// stores when compacting); --password may stand anywhere after the command.
// Exit status: 0 consistent/equivalent/compacted, 1 inconsistent/different/refused,
// 2 unreadable or bad usage.
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compact_plan.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "orvelle_version.h"

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

// What the compactor would drop, from its own plan: unused pages below a table definition stay,
// as definitions keep their page numbers.
std::string Reclaimable(Database& db, const CheckReport& r, size_t errors) {
  if (errors) return "none, the database is damaged";
  uint32_t output_pages = 0;
  try {
    output_pages = PackDown(CollectInventory(db)).page_count;
  } catch (const JetError& e) {
    return "none, " + e.Detail();
  }
  const uint32_t dropped = r.page_count - output_pages;
  std::string text = std::to_string(dropped) + " pages (" +
                     std::to_string(static_cast<uint64_t>(dropped) * r.page_size) + " bytes)";
  if (dropped < r.pages_reclaimable) {
    text += "; " + std::to_string(r.pages_reclaimable - dropped) +
            " unused pages stay below a table definition, which keeps its page number";
  }
  return text;
}

int Info(const std::string& file, const std::string& password) {
  std::unique_ptr<Database> db;
  CheckReport r;
  try {
    db = Database::OpenFile(file, password);
    r = CheckDatabase(*db);
  } catch (const JetError& e) {
    std::cout << "file: " << file << "\nerror: " << e.Detail() << "\nverdict: unreadable\n";
    return 2;
  }
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
  size_t errors = 0;
  for (const Finding& f : r.findings) errors += f.severity == Severity::kError ? 1 : 0;
  std::cout << "reclaimable by compaction: " << Reclaimable(*db, r, errors) << "\n";
  for (const Finding& f : r.findings) {
    std::cout << SeverityName(f.severity) << ": " << f.Describe() << "\n";
  }
  if (errors) {
    std::cout << "verdict: inconsistent (" << errors << (errors == 1 ? " error" : " errors")
              << ")\n";
    return 1;
  }
  std::cout << "verdict: consistent" << (r.pages_leaked ? " (with leaked pages)" : "") << "\n";
  return 0;
}

int Compare(const std::string& a, const std::string& b, const std::string& password) {
  try {
    auto da = Database::OpenFile(a, password);
    auto db = Database::OpenFile(b, password);
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
    "usage: orvelle-jet info [--password=PWD] FILE...\n"
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
               "            reclaim, and the checker's verdict\n"
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
      int rc = Info(files[i], password);
      worst = rc > worst ? rc : worst;
    }
    return worst;
  }
  if (command == "compare" && files.size() == 2) return Compare(files[0], files[1], password);
  if (command == "compact") return Compact(files, options);
  return Usage();
}
