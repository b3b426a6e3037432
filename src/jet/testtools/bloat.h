// Test tool: makes a database look as if it had grown and shrunk, by moving its live pages up
// with free gaps between them. The gaps are marked free in the global map and keep stale copies
// of live pages, as pages freed by an engine do.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "jet/database.h"

namespace orvelle::jet::test {

// Returns the image of the database in `bytes` with `gap` free pages before every live page
// that is not fixed (header, global map and table definitions keep their numbers). Throws
// JetError when a usage map cannot describe the spread-out layout. A password-encrypted file
// needs its password; the result is encrypted alike.
std::string Bloat(const std::string& name, const std::string& bytes, uint32_t gap,
                  const std::string& password = std::string());

// The same, written page by page to `out` (files too large to hold in memory); returns the
// number of pages written.
uint32_t WriteBloated(Database& db, uint32_t gap, std::ostream& out);

// Stores `password` as the database password of a Jet3/Jet4 image, as the engine does.
void SetStoredPassword(std::string& bytes, const std::string& password);

}  // namespace orvelle::jet::test
