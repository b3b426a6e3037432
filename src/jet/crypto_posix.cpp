// The crypto seam on OpenSSL's libcrypto (EVP interface).
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "jet/crypto.h"

namespace orvelle::jet::crypto {

namespace {

const EVP_MD* Md(HashAlgorithm h) {
  switch (h) {
    case HashAlgorithm::kSha1:
      return EVP_sha1();
    case HashAlgorithm::kSha256:
      return EVP_sha256();
    case HashAlgorithm::kSha384:
      return EVP_sha384();
    case HashAlgorithm::kSha512:
      return EVP_sha512();
  }
  return nullptr;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

MdCtx NewMdCtx() {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) throw CryptoError("libcrypto: cannot allocate a digest context");
  return ctx;
}

// One digest of the parts into out (DigestSize(h) bytes) on a reused context.
void Digest(EVP_MD_CTX* ctx, HashAlgorithm h, const uint8_t* a, size_t a_len, const uint8_t* b,
            size_t b_len, uint8_t* out) {
  unsigned int n = 0;
  if (EVP_DigestInit_ex(ctx, Md(h), nullptr) != 1 || EVP_DigestUpdate(ctx, a, a_len) != 1 ||
      (b_len && EVP_DigestUpdate(ctx, b, b_len) != 1) || EVP_DigestFinal_ex(ctx, out, &n) != 1 ||
      n != DigestSize(h)) {
    throw CryptoError(std::string("libcrypto: ") + HashName(h) + " failed");
  }
}

const EVP_CIPHER* Cipher(AesMode mode, size_t key_len) {
  const bool ecb = mode == AesMode::kEcb;
  switch (key_len) {
    case 16:
      return ecb ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
    case 24:
      return ecb ? EVP_aes_192_ecb() : EVP_aes_192_cbc();
    case 32:
      return ecb ? EVP_aes_256_ecb() : EVP_aes_256_cbc();
  }
  throw CryptoError("AES key of " + std::to_string(key_len) + " bytes");
}

}  // namespace

std::vector<uint8_t> Hash(HashAlgorithm h, const uint8_t* a, size_t a_len, const uint8_t* b,
                          size_t b_len) {
  MdCtx ctx = NewMdCtx();
  std::vector<uint8_t> out(DigestSize(h));
  Digest(ctx.get(), h, a, a_len, b, b_len, out.data());
  return out;
}

std::vector<uint8_t> SpinHash(HashAlgorithm h, std::vector<uint8_t> value, uint32_t count) {
  if (value.size() != DigestSize(h)) throw CryptoError("spin of a value that is not a digest");
  MdCtx ctx = NewMdCtx();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t le[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                           static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 24)};
    Digest(ctx.get(), h, le, 4, value.data(), value.size(), value.data());
  }
  return value;
}

void Aes(Direction dir, AesMode mode, const uint8_t* key, size_t key_len, const uint8_t* iv,
         uint8_t* data, size_t len) {
  if (len % 16 != 0) throw CryptoError("AES over " + std::to_string(len) + " bytes");
  const EVP_CIPHER* cipher = Cipher(mode, key_len);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw CryptoError("libcrypto: cannot allocate a cipher context");
  const int enc = dir == Direction::kEncrypt ? 1 : 0;
  int out = 0, tail = 0;
  // In-place operation (same input and output pointer) is what EVP allows.
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, mode == AesMode::kCbc ? iv : nullptr,
                        enc) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), data, &out, data, static_cast<int>(len)) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), data + out, &tail) != 1 ||
      static_cast<size_t>(out + tail) != len) {
    throw CryptoError("libcrypto: AES failed");
  }
}

}  // namespace orvelle::jet::crypto
