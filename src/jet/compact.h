// The native compactor: copies a database into a new file without its free, leaked and
// unreachable pages, and publishes the copy only after it passed both checkers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvelle::jet {

// Why a compaction did not happen, in words meant for the user; nothing was written.
class CompactError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CompactOptions {
  // The database password (";pwd=" of the call): checked against the one stored in a Jet3 or
  // Jet4 header; for a password-encrypted ACE file, the key of its pages, which the copy keeps.
  // nullopt: none given.
  std::optional<std::string> password;
  // Test seam: called with the temporary file after writing, before it is verified.
  std::function<void(const std::string&)> before_verify;
};

struct CompactResult {
  uint32_t page_size = 0;
  uint32_t pages_before = 0;
  uint32_t pages_after = 0;
  uint64_t bytes_before = 0;
  uint64_t bytes_after = 0;
  // True when the full compactor's copy was published: rows, long values and indexes written
  // anew. False when the page slide's was, and then fallback says why.
  bool full = false;
  std::string fallback;
  // Full compaction: tables whose definitions moved down (renumbered), and those that stayed
  // because their id occurs in a system table beyond the holders it rewrites; one line per
  // pinned table naming where its id was found.
  uint32_t tables_moved = 0;
  uint32_t tables_pinned = 0;
  std::vector<std::string> pinned;
};

// Compacts source into target, which must not exist. The full compactor writes the copy first;
// when it gives up, or its copy fails verification, the page slide writes it again. The source is
// only read, and its lock file is held meanwhile (LockFileFor; unless this process already holds
// it), so that Access and other compactors see the database in use. The output is written beside
// the target under a temporary name that cannot be guessed ("TARGET.<random>.orvelle-tmp", created
// exclusively, never through a link), flushed, checked by the structural checker and compared
// with the source by the equivalence checker, and only then renamed to target. Throws
// CompactError; on failure no file is left at target or at the temporary name.
CompactResult CompactDatabase(const std::string& source, const std::string& target,
                              const CompactOptions& options = {});

// The stored database password of a Jet3/Jet4 header (page 0, raw bytes), as UTF-8; empty when
// none is set and for ACE files.
std::string StoredPassword(const std::string& page0);

// Lock files that would mark source as open by the database engine: ".ldb" beside an .mdb,
// ".laccdb" beside an .accdb, both for any other name (a working copy).
std::vector<std::string> LockFileCandidates(const std::string& source);
// The one lock file Access uses for the database: ".ldb" beside an .mdb, ".laccdb" beside an
// .accdb; for a working copy named after the whole database ("a.mdb.orvelle.bak") the
// database's own; ".ldb" for any other name.
std::string LockFileFor(const std::string& source);

}  // namespace orvelle::jet
