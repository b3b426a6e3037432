// orvelle-jet: inspects Access databases with the native engine.
//   orvelle-jet info FILE...    format, tables, page accounting and the checker's verdict
//   orvelle-jet compare A B     the equivalence checker
// Exit status: 0 consistent/equivalent, 1 inconsistent/different, 2 unreadable or bad usage.
#include <cstring>
#include <iostream>
#include <string>

#include "jet/checker.h"
#include "jet/compare.h"
#include "jet/database.h"

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

int Info(const std::string& file) {
  std::unique_ptr<Database> db;
  CheckReport r;
  try {
    db = Database::OpenFile(file);
    r = CheckDatabase(*db);
  } catch (const JetError& e) {
    std::cout << "file: " << file << "\nerror: " << e.Detail() << "\nverdict: unreadable\n";
    return 2;
  }
  std::cout << "file: " << file << "\n";
  std::cout << "format: " << VersionName(r.version)
            << (db->GetHeader().encoded() ? " (RC4-encoded)" : "") << ", page size " << r.page_size
            << ", " << r.page_count << " pages\n";
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
  std::cout << "reclaimable by compaction: " << r.pages_reclaimable << " pages ("
            << static_cast<uint64_t>(r.pages_reclaimable) * r.page_size << " bytes)\n";
  size_t errors = 0;
  for (const Finding& f : r.findings) {
    std::cout << SeverityName(f.severity) << ": " << f.Describe() << "\n";
    errors += f.severity == Severity::kError ? 1 : 0;
  }
  if (errors) {
    std::cout << "verdict: inconsistent (" << errors << (errors == 1 ? " error" : " errors")
              << ")\n";
    return 1;
  }
  std::cout << "verdict: consistent" << (r.pages_leaked ? " (with leaked pages)" : "") << "\n";
  return 0;
}

int Compare(const std::string& a, const std::string& b) {
  try {
    auto da = Database::OpenFile(a);
    auto db = Database::OpenFile(b);
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

int Usage() {
  std::cerr << "usage: orvelle-jet info FILE...\n       orvelle-jet compare A B\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "info") == 0) {
    int worst = 0;
    for (int i = 2; i < argc; ++i) {
      if (i > 2) std::cout << "\n";
      int rc = Info(argv[i]);
      worst = rc > worst ? rc : worst;
    }
    return worst;
  }
  if (argc == 4 && std::strcmp(argv[1], "compare") == 0) return Compare(argv[2], argv[3]);
  return Usage();
}
