// Test helpers: locating the real databases and damaging copies of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvelle::jet::test {

// Path of a file in the plain (or encrypted) fixture folder; "" when the folder is absent.
std::string Fixture(const std::string& name);
std::string EncryptedFixture(const std::string& name);
// The same for the files scripts/fetch-test-data.sh unpacks.
std::string DebianFixture(const std::string& name);

// Every plain fixture the compactor accepts (all but the two it refuses), sorted; empty when
// the folder is absent.
std::vector<std::string> CompactableFixtures();
// The plain fixtures it refuses: one damaged, one with a column of unknown type.
std::vector<std::string> RefusedFixtures();

// Little-endian patching helpers on a file image.
void Put16(std::string& bytes, uint64_t offset, uint16_t value);
void Put32(std::string& bytes, uint64_t offset, uint32_t value);

}  // namespace orvelle::jet::test
