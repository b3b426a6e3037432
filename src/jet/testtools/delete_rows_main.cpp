// orvelle-jet-delete: test tool (never installed) that deletes a share of a database's rows as
// the database engine does after a DELETE, leaving half-empty pages for full compaction.
//   orvelle-jet-delete IN OUT --share=F [--seed=N] [--tables=user|all]
//     F     share of each table's rows to delete, 0..1 (round(F x rows) per table)
//     N     seed of the choice (default 1): the same seed deletes the same rows
//     all   also system tables, except MSysObjects and MSysComplexColumns
// Exit status: 0 written, 1 the database cannot be edited (nothing written), 2 bad usage.
#include <cstdlib>
#include <iostream>
#include <string>

#include "jet/testtools/delete_rows.h"

namespace {

int Usage(const std::string& why) {
  std::cerr << "orvelle-jet-delete: " << why
            << "\nusage: orvelle-jet-delete IN OUT --share=F [--seed=N] [--tables=user|all]\n";
  return 2;
}

bool Value(const std::string& arg, const std::string& name, std::string* value) {
  if (arg.compare(0, name.size() + 1, name + "=") != 0) return false;
  *value = arg.substr(name.size() + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvelle::jet;
  std::vector<std::string> files;
  test::DeleteOptions options;
  bool have_share = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string v;
    char* end = nullptr;
    if (Value(arg, "--share", &v)) {
      options.share = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(options.share >= 0 && options.share <= 1)) {
        return Usage("--share must be a number from 0 to 1, not \"" + v + "\"");
      }
      have_share = true;
    } else if (Value(arg, "--seed", &v)) {
      options.seed = std::strtoull(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || v[0] == '-') {
        return Usage("--seed must be a whole number, not \"" + v + "\"");
      }
    } else if (Value(arg, "--tables", &v)) {
      if (v != "user" && v != "all")
        return Usage("--tables must be user or all, not \"" + v + "\"");
      options.all_tables = v == "all";
    } else if (arg.rfind("--", 0) == 0) {
      return Usage("unknown option " + arg);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return Usage("expected IN and OUT");
  if (!have_share) return Usage("--share is required");
  try {
    test::DeleteReport report = test::DeleteRowsToFile(files[0], files[1], options);
    for (const test::TableDeletion& t : report.tables) {
      std::cout << t.name << ": " << t.deleted.size() << " of " << t.rows_before
                << " rows deleted\n";
    }
    std::cout << files[1] << ": " << report.Deleted() << " rows deleted in " << report.tables.size()
              << " tables\n";
  } catch (const JetError& e) {
    std::cerr << "orvelle-jet-delete: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "orvelle-jet-delete: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
