// orvelle-jet-grow: test tool (never installed) that makes a large database of live rows out of a
// small one, by appending copies of one table's rows (see grow.h for what it produces).
//   orvelle-jet-grow IN OUT --size=BYTES [--table=NAME]
//     BYTES  the output's least size: a number with an optional K, M or G (500M, 2G)
//     NAME   the table to copy (default: the user table without indexes with the most data)
// Exit status: 0 written, 1 the database cannot be grown (nothing written), 2 bad usage.
#include <iostream>
#include <string>
#include <vector>

#include "jet/testtools/grow.h"

namespace {

int Usage(const std::string& why) {
  std::cerr << "orvelle-jet-grow: " << why
            << "\nusage: orvelle-jet-grow IN OUT --size=BYTES [--table=NAME]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvelle::jet;
  std::vector<std::string> files;
  test::GrowOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--size=", 0) == 0) {
      if (!test::ParseSize(arg.substr(7), &options.size) || options.size == 0) {
        return Usage("--size must be a number of bytes such as 4096, 64K, 500M or 1G, not \"" +
                     arg.substr(7) + "\"");
      }
    } else if (arg.rfind("--table=", 0) == 0) {
      options.table = arg.substr(8);
      if (options.table.empty()) return Usage("--table needs a name");
    } else if (arg.rfind("--", 0) == 0) {
      return Usage("unknown option " + arg);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return Usage("expected IN and OUT");
  if (options.size == 0) return Usage("--size is required");
  try {
    test::GrowReport r = test::GrowToFile(files[0], files[1], options);
    std::cout << files[0] << ": " << r.pages_before << " pages -> " << files[1] << ": "
              << r.pages_after << " pages; table " << r.table << ": " << r.rows_before << " + "
              << r.rows_added << " rows\n";
  } catch (const JetError& e) {
    std::cerr << "orvelle-jet-grow: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "orvelle-jet-grow: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
