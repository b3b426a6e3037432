#include "jet/office_encryption.h"

#include <utility>

#include "jet/bytes.h"
#include "jet/error.h"

namespace orvelle::jet {

namespace {

// Page 0: u16 length at 0x299, then the descriptor: u16 major, u16 minor, then per scheme.
constexpr size_t kDescriptorLengthAt = 0x299;
constexpr size_t kDescriptorAt = 0x29B;
constexpr size_t kVersionSize = 4;

// Binary descriptor ((2|3|4).2), offsets from its start: u32 flags (a copy of the header's),
// u32 header size, the EncryptionHeader, then the EncryptionVerifier up to the end.
constexpr size_t kCapiHeaderSizeAt = 8;
constexpr size_t kCapiHeaderAt = 12;
// EncryptionHeader: u32 flags, u32 size extra, u32 algorithm id, u32 hash algorithm id,
// u32 key size in bits, u32 provider type, 2 x u32 reserved, then the CSP name (UTF-16).
constexpr size_t kHeaderFlags = 0;
constexpr size_t kHeaderAlgId = 8;
constexpr size_t kHeaderHashAlgId = 12;
constexpr size_t kHeaderKeySize = 16;
constexpr size_t kHeaderFixedSize = 32;
// EncryptionVerifier: u32 salt size, salt, 16-byte encrypted verifier, u32 verifier hash size,
// encrypted verifier hash (the rest: 20 bytes for RC4, 32 for AES).
constexpr uint32_t kSaltSize = 16;
constexpr size_t kVerifierSize = 16;

constexpr uint32_t kFlagCryptoApi = 0x04;
constexpr uint32_t kFlagExternal = 0x10;
constexpr uint32_t kFlagAes = 0x20;
constexpr uint32_t kAlgRc4 = 0x6801;
constexpr uint32_t kAlgAes128 = 0x660E;
constexpr uint32_t kAlgAes192 = 0x660F;
constexpr uint32_t kAlgAes256 = 0x6610;
constexpr uint32_t kHashSha1 = 0x8004;
constexpr uint32_t kStandardSpinCount = 50000;

// Agile descriptor (4.4): u32 reserved (0x40), then UTF-8 XML up to the end.
constexpr size_t kAgileReservedAt = 4;
constexpr uint32_t kAgileReserved = 0x40;
constexpr size_t kAgileXmlAt = 8;
constexpr const char* kPasswordEncryptorUri =
    "http://schemas.microsoft.com/office/2006/keyEncryptor/password";

std::string Version(uint16_t major, uint16_t minor) {
  return "(version " + std::to_string(major) + "." + std::to_string(minor) + ")";
}

const char* AesName(uint32_t key_bits) {
  return key_bits == 128 ? "AES-128" : key_bits == 192 ? "AES-192" : "AES-256";
}

// A start tag of the descriptor's XML: its local name (without prefix) and attributes.
struct XmlTag {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  const std::string* Attribute(const std::string& n) const {
    for (const auto& a : attributes) {
      if (a.first == n) return &a.second;
    }
    return nullptr;
  }
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The start tags (and empty-element tags) in document order; declarations, comments and end
// tags are skipped. Returns the offset of the first malformed byte, or npos.
size_t ScanTags(const std::string& xml, std::vector<XmlTag>* tags) {
  size_t i = 0;
  const size_t n = xml.size();
  auto skip_to = [&](const char* end) {
    size_t at = xml.find(end, i);
    if (at == std::string::npos) return false;
    i = at + std::char_traits<char>::length(end);
    return true;
  };
  while ((i = xml.find('<', i)) != std::string::npos) {
    const size_t start = i;
    if (xml.compare(i, 2, "<?") == 0) {
      if (!skip_to("?>")) return start;
      continue;
    }
    if (xml.compare(i, 4, "<!--") == 0) {
      if (!skip_to("-->")) return start;
      continue;
    }
    if (xml.compare(i, 2, "</") == 0 || xml.compare(i, 2, "<!") == 0) {
      if (!skip_to(">")) return start;
      continue;
    }
    ++i;
    XmlTag tag;
    size_t name_start = i;
    while (i < n && !IsSpace(xml[i]) && xml[i] != '/' && xml[i] != '>') ++i;
    if (i == name_start || i == n) return start;
    tag.name = xml.substr(name_start, i - name_start);
    if (size_t colon = tag.name.rfind(':'); colon != std::string::npos)
      tag.name.erase(0, colon + 1);
    for (;;) {
      while (i < n && IsSpace(xml[i])) ++i;
      if (i == n) return start;
      if (xml[i] == '>') {
        ++i;
        break;
      }
      if (xml[i] == '/') {
        if (i + 1 >= n || xml[i + 1] != '>') return i;
        i += 2;
        break;
      }
      size_t attr_start = i;
      while (i < n && !IsSpace(xml[i]) && xml[i] != '=' && xml[i] != '>' && xml[i] != '/') ++i;
      std::string attr = xml.substr(attr_start, i - attr_start);
      while (i < n && IsSpace(xml[i])) ++i;
      if (attr.empty() || i == n || xml[i] != '=') return attr_start;
      ++i;
      while (i < n && IsSpace(xml[i])) ++i;
      if (i == n || (xml[i] != '"' && xml[i] != '\'')) return i;
      const char quote = xml[i++];
      size_t close = xml.find(quote, i);
      if (close == std::string::npos) return attr_start;
      if (size_t colon = attr.rfind(':'); colon != std::string::npos) attr.erase(0, colon + 1);
      tag.attributes.emplace_back(std::move(attr), xml.substr(i, close - i));
      i = close + 1;
    }
    tags->push_back(std::move(tag));
  }
  return std::string::npos;
}

// Reads the fields of one agile element; every failure names the element and the attribute.
class AgileFields {
 public:
  AgileFields(const XmlTag& tag, const ByteView& v) : tag_(tag), v_(v) {}

  const std::string& Text(const char* name) const {
    const std::string* value = tag_.Attribute(name);
    if (!value) Fail(std::string("the element ") + tag_.name + " lacks the attribute " + name);
    return *value;
  }
  uint32_t Number(const char* name) const {
    const std::string& s = Text(name);
    uint64_t value = 0;
    bool digits = !s.empty() && s.size() <= 10;
    for (char c : s) {
      if (c < '0' || c > '9') digits = false;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!digits || value > 0xFFFFFFFFu) {
      Fail(std::string(name) + " \"" + s + "\" of " + tag_.name + " is not a number");
    }
    return static_cast<uint32_t>(value);
  }
  std::vector<uint8_t> Binary(const char* name) const {
    std::vector<uint8_t> out;
    if (!DecodeBase64(Text(name), &out) || out.empty()) {
      Fail(std::string(name) + " of " + tag_.name + " is not valid base64");
    }
    return out;
  }
  crypto::HashAlgorithm Hash() const {
    const std::string& s = Text("hashAlgorithm");
    if (s == "SHA1") return crypto::HashAlgorithm::kSha1;
    if (s == "SHA256") return crypto::HashAlgorithm::kSha256;
    if (s == "SHA384") return crypto::HashAlgorithm::kSha384;
    if (s == "SHA512") return crypto::HashAlgorithm::kSha512;
    Fail("hash algorithm \"" + s + "\" of " + tag_.name +
         " is not supported (SHA1, SHA256, SHA384 or SHA512)");
  }
  // The cipher fields every agile element shares: AES in CBC mode, 16-byte blocks, a key of
  // 128, 192 or 256 bits, a hash size that matches the hash, a salt of the stated size.
  void Cipher(crypto::HashAlgorithm* hash, uint32_t* key_bits, uint32_t* block_size,
              std::vector<uint8_t>* salt) const {
    const std::string& cipher = Text("cipherAlgorithm");
    if (cipher != "AES") {
      Fail("cipher \"" + cipher + "\" of " + tag_.name + " is not supported (AES)");
    }
    const std::string& chaining = Text("cipherChaining");
    if (chaining != "ChainingModeCBC") {
      Fail("cipher chaining \"" + chaining + "\" of " + tag_.name +
           " is not supported (ChainingModeCBC)");
    }
    *hash = Hash();
    *key_bits = Number("keyBits");
    if (*key_bits != 128 && *key_bits != 192 && *key_bits != 256) {
      Fail("keyBits " + std::to_string(*key_bits) + " of " + tag_.name +
           ", expected 128, 192 or 256");
    }
    *block_size = Number("blockSize");
    if (*block_size != 16) {
      Fail("blockSize " + std::to_string(*block_size) + " of " + tag_.name +
           ", expected 16 for AES");
    }
    const uint32_t hash_size = Number("hashSize");
    if (hash_size != crypto::DigestSize(*hash)) {
      Fail("hashSize " + std::to_string(hash_size) + " of " + tag_.name + ", expected " +
           std::to_string(crypto::DigestSize(*hash)) + " for " + crypto::HashName(*hash));
    }
    *salt = Binary("saltValue");
    const uint32_t salt_size = Number("saltSize");
    if (salt_size != salt->size()) {
      Fail("saltSize " + std::to_string(salt_size) + " of " + tag_.name + " but a salt of " +
           std::to_string(salt->size()) + " bytes");
    }
  }
  [[noreturn]] void Fail(const std::string& what) const { v_.Fail("agile encryption: " + what); }

 private:
  const XmlTag& tag_;
  const ByteView& v_;
};

void ReadAgile(const ByteView& v, size_t end, OfficeEncryption* e) {
  const uint32_t reserved = v.U32(kDescriptorAt + kAgileReservedAt, "reserved field");
  if (reserved != kAgileReserved) {
    v.Fail("agile encryption: reserved field " + Hex(reserved) + ", expected " +
           Hex(kAgileReserved));
  }
  const size_t xml_at = kDescriptorAt + kAgileXmlAt;
  const std::string xml(reinterpret_cast<const char*>(v.Data()) + xml_at, end - xml_at);
  std::vector<XmlTag> tags;
  if (size_t bad = ScanTags(xml, &tags); bad != std::string::npos) {
    v.Fail("agile encryption: malformed XML at " + Hex(xml_at + bad));
  }
  const XmlTag* key_data = nullptr;
  const XmlTag* password_key = nullptr;
  const std::string* encryptor_uri = nullptr;
  for (const XmlTag& t : tags) {
    if (t.name == "keyData" && !key_data) key_data = &t;
    if (t.name == "keyEncryptor") encryptor_uri = t.Attribute("uri");
    if (t.name == "encryptedKey" && !password_key && encryptor_uri &&
        *encryptor_uri == kPasswordEncryptorUri) {
      password_key = &t;
    }
  }
  if (!key_data) v.Fail("agile encryption: the XML has no keyData element");
  if (!password_key) v.Fail("agile encryption: the XML has no password key encryptor");

  AgileParams& a = e->agile;
  AgileFields data(*key_data, v), key(*password_key, v);
  data.Cipher(&a.data_hash, &a.data_key_bits, &a.data_block_size, &a.data_salt);
  key.Cipher(&a.key_hash, &a.key_bits, &a.key_block_size, &a.key_salt);
  a.spin_count = key.Number("spinCount");
  if (a.spin_count > kMaxSpinCount) {
    key.Fail("spinCount " + std::to_string(a.spin_count) + " is beyond the limit of " +
             std::to_string(kMaxSpinCount));
  }
  a.encrypted_verifier_input = key.Binary("encryptedVerifierHashInput");
  a.encrypted_verifier_hash = key.Binary("encryptedVerifierHashValue");
  a.encrypted_key = key.Binary("encryptedKeyValue");
  const size_t block = a.key_block_size;
  auto whole_blocks = [&](size_t n) { return (n + block - 1) / block * block; };
  if (a.encrypted_verifier_input.size() != whole_blocks(a.key_salt.size())) {
    key.Fail("encryptedVerifierHashInput of " + std::to_string(a.encrypted_verifier_input.size()) +
             " bytes, expected " + std::to_string(whole_blocks(a.key_salt.size())));
  }
  const size_t hash_blocks = whole_blocks(crypto::DigestSize(a.key_hash));
  if (a.encrypted_verifier_hash.size() != hash_blocks) {
    key.Fail("encryptedVerifierHashValue of " + std::to_string(a.encrypted_verifier_hash.size()) +
             " bytes, expected " + std::to_string(hash_blocks));
  }
  const size_t key_bytes = whole_blocks(a.data_key_bits / 8);
  if (a.encrypted_key.size() != key_bytes) {
    key.Fail("encryptedKeyValue of " + std::to_string(a.encrypted_key.size()) +
             " bytes, expected " + std::to_string(key_bytes) + " for a " +
             std::to_string(a.data_key_bits) + "-bit key");
  }
}

void ReadCryptoApi(const ByteView& v, size_t end, OfficeEncryption* e) {
  CryptoApiParams& c = e->capi;
  const uint32_t header_size = v.U32(kDescriptorAt + kCapiHeaderSizeAt, "header size");
  const size_t h = kDescriptorAt + kCapiHeaderAt;
  if (header_size < kHeaderFixedSize || header_size > end - h) {
    v.Fail("header size " + std::to_string(header_size) + ", expected " +
           std::to_string(kHeaderFixedSize) + " to " + std::to_string(end - h) +
           " (the rest of the descriptor)");
  }
  c.flags = v.U32(h + kHeaderFlags, "flags");
  c.alg_id = v.U32(h + kHeaderAlgId, "algorithm id");
  const uint32_t hash_id = v.U32(h + kHeaderHashAlgId, "hash algorithm id");
  c.key_bits = v.U32(h + kHeaderKeySize, "key size");
  if (c.flags & kFlagExternal) {
    v.Fail("database is password-encrypted with an external Office encryption provider " +
           Version(e->major, e->minor) + ", which the native engine does not support");
  }
  const bool aes_id = c.alg_id == kAlgAes128 || c.alg_id == kAlgAes192 || c.alg_id == kAlgAes256;
  if (c.alg_id != kAlgRc4 && !aes_id) {
    v.Fail("unknown algorithm id " + Hex(c.alg_id) +
           ", expected 0x6801 (RC4) or 0x660E, 0x660F, 0x6610 (AES)");
  }
  if (hash_id != kHashSha1 && hash_id != 0) {
    v.Fail("unknown hash algorithm id " + Hex(hash_id) + ", expected 0x8004 (SHA-1)");
  }
  if (c.flags & kFlagAes) {
    if (!aes_id) v.Fail("the AES flag is set but the algorithm id is " + Hex(c.alg_id));
    e->scheme = OfficeScheme::kStandardAes;
  } else {
    e->scheme = aes_id ? OfficeScheme::kNonStandardAes : OfficeScheme::kRc4CryptoApi;
  }
  if (aes_id) {
    const uint32_t want = c.alg_id == kAlgAes128 ? 128 : c.alg_id == kAlgAes192 ? 192 : 256;
    if (c.key_bits != want) {
      v.Fail("key size " + std::to_string(c.key_bits) + " bits, expected " + std::to_string(want) +
             " for " + AesName(want));
    }
  } else if (c.key_bits < 40 || c.key_bits > 128 || c.key_bits % 8 != 0) {
    v.Fail("key size " + std::to_string(c.key_bits) +
           " bits, expected 40 to 128 in whole bytes for RC4");
  }

  size_t at = h + header_size;
  const uint32_t salt_size = v.U32(at, "salt size");
  if (salt_size != kSaltSize) {
    v.Fail("salt size " + std::to_string(salt_size) + ", expected " + std::to_string(kSaltSize));
  }
  at += 4;
  v.Need(at, kSaltSize + kVerifierSize + 4, "salt and verifier");
  c.salt.assign(v.Data() + at, v.Data() + at + kSaltSize);
  at += kSaltSize;
  c.encrypted_verifier.assign(v.Data() + at, v.Data() + at + kVerifierSize);
  at += kVerifierSize;
  c.verifier_hash_size = v.U32(at, "verifier hash size");
  if (c.verifier_hash_size != crypto::DigestSize(crypto::HashAlgorithm::kSha1)) {
    v.Fail("verifier hash size " + std::to_string(c.verifier_hash_size) + ", expected 20 (SHA-1)");
  }
  at += 4;
  const size_t hash_bytes = aes_id ? 32 : 20;
  v.Need(at, hash_bytes, "encrypted verifier hash");
  c.encrypted_verifier_hash.assign(v.Data() + at, v.Data() + at + hash_bytes);
}

}  // namespace

uint32_t OfficeEncryption::SpinCount() const {
  switch (scheme) {
    case OfficeScheme::kAgile:
      return agile.spin_count;
    case OfficeScheme::kStandardAes:
      return kStandardSpinCount;
    case OfficeScheme::kNonStandardAes:
    case OfficeScheme::kRc4CryptoApi:
      break;
  }
  return 0;
}

std::string OfficeEncryption::Describe() const {
  const std::string version = " " + Version(major, minor);
  switch (scheme) {
    case OfficeScheme::kRc4CryptoApi:
      return "RC4 CryptoAPI, " + std::to_string(capi.key_bits) + "-bit key, SHA-1" + version;
    case OfficeScheme::kStandardAes:
    case OfficeScheme::kNonStandardAes:
      return std::string(scheme == OfficeScheme::kStandardAes ? "standard " : "non-standard ") +
             AesName(capi.key_bits) + "-ECB, SHA-1, spin count " + std::to_string(SpinCount()) +
             version;
    case OfficeScheme::kAgile:
      return std::string("agile ") + AesName(agile.data_key_bits) + "-CBC, " +
             crypto::HashName(agile.key_hash) + ", spin count " + std::to_string(agile.spin_count) +
             version;
  }
  return "?";
}

OfficeEncryption ReadOfficeEncryption(const uint8_t* page0, size_t size, const std::string& file) {
  ByteView page(page0, size, &file, 0, "encryption header");
  const uint16_t length = page.U16(kDescriptorLengthAt, "descriptor length");
  if (length < kVersionSize || length > size - kDescriptorAt) {
    page.Fail("descriptor length " + std::to_string(length) + " at 0x299, expected 4 to " +
              std::to_string(size - kDescriptorAt) + " (the rest of page 0)");
  }
  const size_t end = kDescriptorAt + length;
  // Reads beyond the descriptor fail as reads beyond its end.
  ByteView v(page0, end, &file, 0, "encryption header");
  OfficeEncryption e;
  e.major = v.U16(kDescriptorAt, "major version");
  e.minor = v.U16(kDescriptorAt + 2, "minor version");
  auto unsupported = [&](const std::string& what) {
    ByteView(page0, size, &file, 0, "header")
        .Fail("database is password-encrypted with " + what + " " + Version(e.major, e.minor) +
              ", which the native engine does not support");
  };
  if (e.major == 4 && e.minor == 4) {
    e.scheme = OfficeScheme::kAgile;
    ReadAgile(v, end, &e);
    return e;
  }
  if ((e.major == 2 || e.major == 3 || e.major == 4) && e.minor == 2) {
    const uint32_t flags = v.U32(kDescriptorAt + kVersionSize, "flags");
    if (!(flags & kFlagCryptoApi)) {
      unsupported("Office encryption without the CryptoAPI flag (flags " + Hex(flags) + ")");
    }
    ReadCryptoApi(v, end, &e);
    return e;
  }
  if (e.major == 1 && e.minor == 1) unsupported("Office binary RC4 encryption");
  if ((e.major == 3 || e.major == 4) && e.minor == 3) unsupported("Office extensible encryption");
  unsupported("an unknown Office encryption");
  return e;
}

bool DecodeBase64(const std::string& text, std::vector<uint8_t>* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=' && i + 2 >= text.size()) {
      ++pad;
      continue;
    } else {
      return false;
    }
    if (pad) return false;  // data after padding
    acc = (acc << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return pad <= 2;
}

}  // namespace orvelle::jet
