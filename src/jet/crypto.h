// Hashes and AES for the page encryption of password-protected ACE files, from the system's
// library: OpenSSL's libcrypto (crypto_posix.cpp) or Windows CNG (crypto_win32.cpp), so that the
// Windows program stays one file. RC4 is the engine's own (rc4.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace orvelle::jet::crypto {

// The library refused an operation (never expected with valid sizes); the text names it.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class HashAlgorithm { kSha1, kSha256, kSha384, kSha512 };
size_t DigestSize(HashAlgorithm h);     // 20, 32, 48, 64
const char* HashName(HashAlgorithm h);  // "SHA-1", ...

// Digest of a followed by b (b may be empty).
std::vector<uint8_t> Hash(HashAlgorithm h, const uint8_t* a, size_t a_len,
                          const uint8_t* b = nullptr, size_t b_len = 0);
inline std::vector<uint8_t> Hash(HashAlgorithm h, const std::vector<uint8_t>& a,
                                 const std::vector<uint8_t>& b = {}) {
  return Hash(h, a.data(), a.size(), b.data(), b.size());
}

// The spin of the password key derivations: count times, value = hash(LE32(i) || value) for
// i = 0, 1, ... count - 1. value must be a digest of h.
std::vector<uint8_t> SpinHash(HashAlgorithm h, std::vector<uint8_t> value, uint32_t count);

enum class AesMode { kEcb, kCbc };
enum class Direction { kEncrypt, kDecrypt };

// AES over data in place, without padding. key_len 16, 24 or 32; len a multiple of 16; iv 16
// bytes for CBC (ignored for ECB). Throws CryptoError.
void Aes(Direction dir, AesMode mode, const uint8_t* key, size_t key_len, const uint8_t* iv,
         uint8_t* data, size_t len);

}  // namespace orvelle::jet::crypto
