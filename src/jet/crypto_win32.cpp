// The crypto seam on Windows CNG (bcrypt.dll), part of every Windows since Vista.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "jet/crypto.h"

namespace orvelle::jet::crypto {

namespace {

std::string Status(const char* what, NTSTATUS s) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(s));
  return std::string("CNG: ") + what + " failed with status " + code;
}

void Check(NTSTATUS s, const char* what) {
  if (s < 0) throw CryptoError(Status(what, s));
}

// An algorithm provider opened once for the process; CNG providers may be shared by threads.
class Provider {
 public:
  Provider(LPCWSTR algorithm, LPCWSTR chaining) {
    status_ = BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0);
    if (status_ >= 0 && chaining) {
      status_ = BCryptSetProperty(handle_, BCRYPT_CHAINING_MODE,
                                  reinterpret_cast<PUCHAR>(const_cast<LPWSTR>(chaining)),
                                  static_cast<ULONG>((wcslen(chaining) + 1) * sizeof(wchar_t)), 0);
    }
  }
  ~Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE Get(const char* what) const {
    Check(status_, what);
    return handle_;
  }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
  NTSTATUS status_ = 0;
};

const Provider& HashProvider(HashAlgorithm h) {
  static const Provider sha1(BCRYPT_SHA1_ALGORITHM, nullptr);
  static const Provider sha256(BCRYPT_SHA256_ALGORITHM, nullptr);
  static const Provider sha384(BCRYPT_SHA384_ALGORITHM, nullptr);
  static const Provider sha512(BCRYPT_SHA512_ALGORITHM, nullptr);
  switch (h) {
    case HashAlgorithm::kSha1:
      return sha1;
    case HashAlgorithm::kSha256:
      return sha256;
    case HashAlgorithm::kSha384:
      return sha384;
    case HashAlgorithm::kSha512:
      break;
  }
  return sha512;
}

const Provider& AesProvider(AesMode mode) {
  static const Provider ecb(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_ECB);
  static const Provider cbc(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_CBC);
  return mode == AesMode::kEcb ? ecb : cbc;
}

// One hash object; the object memory is CNG's own (pbHashObject null, Windows 7 and later).
class HashObject {
 public:
  explicit HashObject(HashAlgorithm h) {
    Check(BCryptCreateHash(HashProvider(h).Get("opening the hash provider"), &handle_, nullptr, 0,
                           nullptr, 0, 0),
          "BCryptCreateHash");
  }
  ~HashObject() { BCryptDestroyHash(handle_); }
  HashObject(const HashObject&) = delete;
  HashObject& operator=(const HashObject&) = delete;
  void Add(const uint8_t* p, size_t n) {
    if (n)
      Check(BCryptHashData(handle_, const_cast<PUCHAR>(p), static_cast<ULONG>(n), 0),
            "BCryptHashData");
  }
  void Finish(uint8_t* out, size_t n) {
    Check(BCryptFinishHash(handle_, out, static_cast<ULONG>(n), 0), "BCryptFinishHash");
  }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

std::vector<uint8_t> Hash(HashAlgorithm h, const uint8_t* a, size_t a_len, const uint8_t* b,
                          size_t b_len) {
  HashObject hash(h);
  hash.Add(a, a_len);
  hash.Add(b, b_len);
  std::vector<uint8_t> out(DigestSize(h));
  hash.Finish(out.data(), out.size());
  return out;
}

std::vector<uint8_t> SpinHash(HashAlgorithm h, std::vector<uint8_t> value, uint32_t count) {
  if (value.size() != DigestSize(h)) throw CryptoError("spin of a value that is not a digest");
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t le[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                           static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 24)};
    HashObject hash(h);
    hash.Add(le, 4);
    hash.Add(value.data(), value.size());
    hash.Finish(value.data(), value.size());
  }
  return value;
}

void Aes(Direction dir, AesMode mode, const uint8_t* key, size_t key_len, const uint8_t* iv,
         uint8_t* data, size_t len) {
  if (len % 16 != 0) throw CryptoError("AES over " + std::to_string(len) + " bytes");
  if (key_len != 16 && key_len != 24 && key_len != 32) {
    throw CryptoError("AES key of " + std::to_string(key_len) + " bytes");
  }
  BCRYPT_KEY_HANDLE k = nullptr;
  Check(BCryptGenerateSymmetricKey(AesProvider(mode).Get("opening the AES provider"), &k, nullptr,
                                   0, const_cast<PUCHAR>(key), static_cast<ULONG>(key_len), 0),
        "BCryptGenerateSymmetricKey");
  // CNG updates the IV it is given; the caller's stays as it is.
  uint8_t chain[16] = {};
  if (mode == AesMode::kCbc) std::memcpy(chain, iv, 16);
  PUCHAR piv = mode == AesMode::kCbc ? chain : nullptr;
  ULONG iv_len = mode == AesMode::kCbc ? 16 : 0;
  ULONG done = 0;
  NTSTATUS s = dir == Direction::kEncrypt
                   ? BCryptEncrypt(k, data, static_cast<ULONG>(len), nullptr, piv, iv_len, data,
                                   static_cast<ULONG>(len), &done, 0)
                   : BCryptDecrypt(k, data, static_cast<ULONG>(len), nullptr, piv, iv_len, data,
                                   static_cast<ULONG>(len), &done, 0);
  BCryptDestroyKey(k);
  Check(s, dir == Direction::kEncrypt ? "BCryptEncrypt" : "BCryptDecrypt");
  if (done != len) throw CryptoError("CNG: AES processed " + std::to_string(done) + " bytes");
}

}  // namespace orvelle::jet::crypto
