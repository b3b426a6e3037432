// Test helpers for password-encrypted ACE files: the fixture passwords, descriptors that carry
// the known answers of scripts/office-crypto-vectors.sh, databases encrypted with them, and
// damaged encryption headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvelle::jet::test {

// The encrypted fixtures that hold a password, with it and the scheme Describe() names.
struct EncryptedCase {
  const char* file;
  const char* password;
  const char* scheme;
};
const std::vector<EncryptedCase>& PasswordFixtures();
// The fixture password of an encrypted file's name; "" for the others.
std::string FixturePassword(const std::string& file_name);

// The inputs of scripts/office-crypto-vectors.sh.
constexpr const char* kVectorPassword = "Orvelle pass";
constexpr uint32_t kVectorDatabaseKey = 0x12345678;
constexpr uint32_t kVectorPage = 3;
// The test page the script encrypts: byte i is i * 7 + 1 (mod 256).
std::string VectorPage();

enum class VectorScheme { kStandardAes, kNonStandardAes, kRc4Key128, kRc4Key40, kAgile };
// The bytes from 0x299 on (u16 length, then the descriptor) of a file protected with
// kVectorPassword under the scheme, with the verifier the script computed.
std::string VectorDescriptor(VectorScheme scheme);

// Sets the database key (0x3E, inside the masked region) of a file image.
void SetDatabaseKey(std::string& bytes, uint32_t key);
// An ACE image encrypted: page 0 gets the descriptor (from 0x299) and the key, every other page
// is encrypted with the password under its number.
std::string EncryptAceImage(const std::string& plain, const std::string& descriptor,
                            uint32_t database_key, const std::string& password);

// Encrypted fixtures with damaged encryption headers, and the message the reader must give.
struct DamagedHeader {
  std::string name;
  std::string bytes;
  std::string message;  // JetError::Detail()
};
// Empty when the encrypted fixtures are absent.
std::vector<DamagedHeader> DamagedEncryptionHeaders();

}  // namespace orvelle::jet::test
