// The page cipher of a password-protected ACE file: keys derived from the password and the
// descriptor (office_encryption.h), the password check against the stored verifier, and the
// encryption and decryption of whole pages under their page numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jet/office_encryption.h"

namespace orvelle::jet {

// Immutable after construction; Encrypt and Decrypt may be called from any thread.
class OfficeCipher {
 public:
  // Derives the keys (the spin count makes this take up to a second) and checks password (UTF-8)
  // against the verifier. Throws PasswordError for a wrong or missing one.
  OfficeCipher(const OfficeEncryption& encryption, uint32_t database_key,
               const std::string& password, const std::string& file);

  // Page pn (> 0) in place; size is the page size, a multiple of 16.
  void Decrypt(uint32_t pn, uint8_t* page, size_t size) const;
  void Encrypt(uint32_t pn, uint8_t* page, size_t size) const;

 private:
  void Apply(crypto::Direction dir, uint32_t pn, uint8_t* page, size_t size) const;
  // The 4-byte block key of page pn: LE32(database key XOR pn).
  std::vector<uint8_t> BlockKey(uint32_t pn) const;
  std::vector<uint8_t> CryptoApiKey(const std::vector<uint8_t>& block) const;
  bool CheckCryptoApiPassword() const;
  bool OpenAgile(const std::vector<uint8_t>& password);

  OfficeEncryption e_;
  uint32_t database_key_;
  // RC4 CryptoAPI: SHA-1(salt || password); AES: that hash spun; agile: the intermediate key.
  std::vector<uint8_t> base_;
};

// The password as Office hashes it: UTF-16LE, at most 255 code units (longer ones are cut).
std::vector<uint8_t> PasswordBytes(const std::string& utf8);

}  // namespace orvelle::jet
