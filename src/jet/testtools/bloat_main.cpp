// orvelle-jet-bloat: test tool (never installed) that makes a database look grown and shrunk,
// so that compaction has something to reclaim.
//   orvelle-jet-bloat IN OUT [GAP]   GAP free pages (default 8) before every page that can move
// Exit status: 0 written, 1 the database cannot be spread out, 2 bad usage or I/O error.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "jet/database.h"
#include "jet/testtools/bloat.h"

int main(int argc, char** argv) {
  using namespace orvelle::jet;
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: orvelle-jet-bloat IN OUT [GAP]\n";
    return 2;
  }
  const std::string in = argv[1], out = argv[2];
  uint32_t gap = 8;
  if (argc == 4) {
    char* end = nullptr;
    unsigned long v = std::strtoul(argv[3], &end, 10);
    if (*end != '\0' || v == 0 || v > 100000) {
      std::cerr << "orvelle-jet-bloat: GAP must be a number from 1 to 100000\n";
      return 2;
    }
    gap = static_cast<uint32_t>(v);
  }
  const std::filesystem::path out_path = std::filesystem::u8path(out);
  std::error_code ec;
  if (std::filesystem::exists(out_path, ec)) {
    std::cerr << "orvelle-jet-bloat: " << out << " already exists\n";
    return 2;
  }
  try {
    auto db = Database::OpenFile(in);
    std::ofstream file(out_path, std::ios::binary);
    if (!file) {
      std::cerr << "orvelle-jet-bloat: cannot create " << out << ": " << std::strerror(errno)
                << "\n";
      return 2;
    }
    uint32_t pages = test::WriteBloated(*db, gap, file);
    file.close();
    if (!file) {
      std::filesystem::remove(out_path, ec);
      std::cerr << "orvelle-jet-bloat: cannot write " << out << "\n";
      return 2;
    }
    std::cout << in << ": " << db->PageCount() << " pages -> " << out << ": " << pages << " pages ("
              << gap << " free before each page that moved)\n";
  } catch (const JetError& e) {
    std::filesystem::remove(out_path, ec);
    std::cerr << "orvelle-jet-bloat: " << in << ": " << e.Detail() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::filesystem::remove(out_path, ec);
    std::cerr << "orvelle-jet-bloat: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
