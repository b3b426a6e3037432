#include "jet/office_cipher.h"

#include <algorithm>

#include "jet/error.h"
#include "jet/rc4.h"

namespace orvelle::jet {

namespace {

using crypto::AesMode;
using crypto::Direction;
using crypto::HashAlgorithm;
using Bytes = std::vector<uint8_t>;

// Agile: the block constants that derive the three keys of the password key encryptor.
constexpr uint8_t kVerifierInputBlock[8] = {0xFE, 0xA7, 0xD2, 0x76, 0x3B, 0x4B, 0x9E, 0x79};
constexpr uint8_t kVerifierHashBlock[8] = {0xD7, 0xAA, 0x0F, 0x6D, 0x30, 0x61, 0x34, 0x4E};
constexpr uint8_t kKeyValueBlock[8] = {0x14, 0x6E, 0x0B, 0xE7, 0xAB, 0xAC, 0xD0, 0xD6};
// Agile keys and IVs shorter than needed are padded with this byte.
constexpr uint8_t kAgilePad = 0x36;
// (Non-)standard AES: the key is stretched by hashing the block hash XORed into 64 bytes of
// each of these.
constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5C;
constexpr size_t kStretchSize = 64;
// RC4 CryptoAPI: a 40-bit key is used as 128 bits, zero filled.
constexpr size_t kRc4ShortKeyBytes = 16;
constexpr size_t kMaxPasswordUnits = 255;

Bytes FixLength(Bytes v, size_t n, uint8_t pad) {
  v.resize(n, pad);
  return v;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes Block8(const uint8_t (&b)[8]) { return Bytes(b, b + 8); }

bool SamePrefix(const Bytes& a, const Bytes& b, size_t n) {
  return a.size() >= n && b.size() >= n && std::equal(a.begin(), a.begin() + n, b.begin());
}

}  // namespace

std::vector<uint8_t> PasswordBytes(const std::string& utf8) {
  Bytes out;
  auto unit = [&](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (size_t i = 0; i < utf8.size() && out.size() < 2 * kMaxPasswordUnits;) {
    const uint8_t c = static_cast<uint8_t>(utf8[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 0;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = len != 0 && i + len <= utf8.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const uint8_t t = static_cast<uint8_t>(utf8[i + k]);
      ok = (t & 0xC0) == 0x80;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      cp = 0xFFFD;  // a byte that starts no valid sequence stands for itself
      len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  out.resize(std::min(out.size(), 2 * kMaxPasswordUnits));
  return out;
}

OfficeCipher::OfficeCipher(const OfficeEncryption& encryption, uint32_t database_key,
                           const std::string& password, const std::string& file)
    : e_(encryption), database_key_(database_key) {
  const Bytes pwd = PasswordBytes(password);
  bool valid = false;
  try {
    if (e_.scheme == OfficeScheme::kAgile) {
      valid = OpenAgile(pwd);
    } else {
      base_ = crypto::Hash(HashAlgorithm::kSha1, e_.capi.salt, pwd);
      if (e_.scheme != OfficeScheme::kRc4CryptoApi) {
        base_ = crypto::SpinHash(HashAlgorithm::kSha1, base_, e_.SpinCount());
      }
      valid = CheckCryptoApiPassword();
    }
  } catch (const crypto::CryptoError& err) {
    throw JetError(file, 0, std::string("encryption: ") + err.what());
  }
  if (!valid) throw PasswordError(file);
}

std::vector<uint8_t> OfficeCipher::BlockKey(uint32_t pn) const { return Le32(database_key_ ^ pn); }

std::vector<uint8_t> OfficeCipher::CryptoApiKey(const std::vector<uint8_t>& block) const {
  const Bytes f = crypto::Hash(HashAlgorithm::kSha1, base_, block);
  const size_t key_bytes = e_.capi.key_bits / 8;
  if (e_.scheme == OfficeScheme::kRc4CryptoApi) {
    Bytes key = FixLength(f, key_bytes, 0);
    if (key_bytes == 5) key.resize(kRc4ShortKeyBytes, 0);
    return key;
  }
  Bytes inner(kStretchSize, kInnerPad), outer(kStretchSize, kOuterPad);
  for (size_t i = 0; i < f.size(); ++i) {
    inner[i] ^= f[i];
    outer[i] ^= f[i];
  }
  Bytes x = crypto::Hash(HashAlgorithm::kSha1, inner);
  const Bytes x2 = crypto::Hash(HashAlgorithm::kSha1, outer);
  x.insert(x.end(), x2.begin(), x2.end());
  return FixLength(x, key_bytes, 0);
}

bool OfficeCipher::CheckCryptoApiPassword() const {
  // The verifier is encrypted with the key of block 0 (not of the database key).
  const Bytes key = CryptoApiKey(Le32(0));
  Bytes verifier = e_.capi.encrypted_verifier, hash = e_.capi.encrypted_verifier_hash;
  if (e_.scheme == OfficeScheme::kRc4CryptoApi) {
    // One RC4 stream runs over the verifier and then its hash.
    Bytes both = verifier;
    both.insert(both.end(), hash.begin(), hash.end());
    Rc4Apply(key.data(), key.size(), both.data(), both.size());
    verifier.assign(both.begin(), both.begin() + verifier.size());
    hash.assign(both.begin() + verifier.size(), both.end());
  } else {
    crypto::Aes(Direction::kDecrypt, AesMode::kEcb, key.data(), key.size(), nullptr,
                verifier.data(), verifier.size());
    crypto::Aes(Direction::kDecrypt, AesMode::kEcb, key.data(), key.size(), nullptr, hash.data(),
                hash.size());
  }
  return SamePrefix(crypto::Hash(HashAlgorithm::kSha1, verifier), hash, e_.capi.verifier_hash_size);
}

bool OfficeCipher::OpenAgile(const std::vector<uint8_t>& password) {
  const AgileParams& a = e_.agile;
  const Bytes spun =
      crypto::SpinHash(a.key_hash, crypto::Hash(a.key_hash, a.key_salt, password), a.spin_count);
  const Bytes iv = FixLength(a.key_salt, a.key_block_size, kAgilePad);
  auto decrypt = [&](const uint8_t(&block)[8], Bytes data) {
    const Bytes key =
        FixLength(crypto::Hash(a.key_hash, spun, Block8(block)), a.key_bits / 8, kAgilePad);
    crypto::Aes(Direction::kDecrypt, AesMode::kCbc, key.data(), key.size(), iv.data(), data.data(),
                data.size());
    return data;
  };
  Bytes input = decrypt(kVerifierInputBlock, a.encrypted_verifier_input);
  input.resize(a.key_salt.size());
  const Bytes hash = decrypt(kVerifierHashBlock, a.encrypted_verifier_hash);
  if (!SamePrefix(crypto::Hash(a.key_hash, input), hash, crypto::DigestSize(a.key_hash))) {
    return false;
  }
  base_ = decrypt(kKeyValueBlock, a.encrypted_key);
  base_.resize(a.data_key_bits / 8);
  return true;
}

void OfficeCipher::Apply(crypto::Direction dir, uint32_t pn, uint8_t* page, size_t size) const {
  switch (e_.scheme) {
    case OfficeScheme::kRc4CryptoApi: {
      const Bytes key = CryptoApiKey(BlockKey(pn));
      Rc4Apply(key.data(), key.size(), page, size);
      return;
    }
    case OfficeScheme::kStandardAes:
    case OfficeScheme::kNonStandardAes: {
      const Bytes key = CryptoApiKey(BlockKey(pn));
      crypto::Aes(dir, AesMode::kEcb, key.data(), key.size(), nullptr, page, size);
      return;
    }
    case OfficeScheme::kAgile: {
      const AgileParams& a = e_.agile;
      const Bytes iv = FixLength(crypto::Hash(a.data_hash, a.data_salt, BlockKey(pn)),
                                 a.data_block_size, kAgilePad);
      crypto::Aes(dir, AesMode::kCbc, base_.data(), base_.size(), iv.data(), page, size);
      return;
    }
  }
}

void OfficeCipher::Decrypt(uint32_t pn, uint8_t* page, size_t size) const {
  Apply(Direction::kDecrypt, pn, page, size);
}

void OfficeCipher::Encrypt(uint32_t pn, uint8_t* page, size_t size) const {
  Apply(Direction::kEncrypt, pn, page, size);
}

}  // namespace orvelle::jet
