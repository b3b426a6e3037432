// The encryption descriptor of a password-protected ACE file (page 0 from 0x299): which Office
// encryption scheme protects the pages, and the salts and verifiers its key derivation needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jet/crypto.h"

namespace orvelle::jet {

enum class OfficeScheme {
  kRc4CryptoApi,    // RC4 keyed with SHA-1 of salt, password and block (Access 2007)
  kStandardAes,     // AES-ECB, SHA-1 spun 50 000 times
  kNonStandardAes,  // the same without the AES flag and without spins
  kAgile,           // XML descriptor; AES-CBC, any SHA-1/SHA-2 and spin count
};

// RC4 CryptoAPI and (non-)standard AES: the binary EncryptionHeader and EncryptionVerifier.
struct CryptoApiParams {
  uint32_t flags = 0;
  uint32_t alg_id = 0;    // 0x6801 RC4, 0x660E/0x660F/0x6610 AES-128/192/256
  uint32_t key_bits = 0;  // 40..128 for RC4, the AES key size for AES
  std::vector<uint8_t> salt;
  std::vector<uint8_t> encrypted_verifier;       // 16 bytes
  uint32_t verifier_hash_size = 0;               // 20 (SHA-1)
  std::vector<uint8_t> encrypted_verifier_hash;  // 20 bytes (RC4) or 32 (AES)
};

// Agile: the keyData element (the page cipher) and the password key encryptor.
struct AgileParams {
  crypto::HashAlgorithm data_hash = crypto::HashAlgorithm::kSha1;
  uint32_t data_key_bits = 0, data_block_size = 0;
  std::vector<uint8_t> data_salt;
  crypto::HashAlgorithm key_hash = crypto::HashAlgorithm::kSha1;
  uint32_t key_bits = 0, key_block_size = 0, spin_count = 0;
  std::vector<uint8_t> key_salt, encrypted_verifier_input, encrypted_verifier_hash, encrypted_key;
};

struct OfficeEncryption {
  OfficeScheme scheme = OfficeScheme::kAgile;
  uint16_t major = 0, minor = 0;
  CryptoApiParams capi;  // all but agile
  AgileParams agile;     // agile
  // Hash iterations of the password key derivation.
  uint32_t SpinCount() const;
  // "agile AES-256-CBC, SHA-512, spin count 100000 (version 4.4)"
  std::string Describe() const;
};

// Spin counts above this are refused: the limit of the Office format, and what bounds the time a
// damaged header can cost (about a second).
constexpr uint32_t kMaxSpinCount = 10000000;

// Reads the descriptor of an encrypted ACE file from its raw page 0 (size bytes). Throws JetError
// (page 0, "encryption header: ...") for a damaged descriptor and for schemes the engine does not
// support, naming the scheme.
OfficeEncryption ReadOfficeEncryption(const uint8_t* page0, size_t size, const std::string& file);

// Base64 (RFC 4648, no line breaks); false for any other character or a bad length.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>* out);

}  // namespace orvelle::jet
