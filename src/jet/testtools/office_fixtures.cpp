#include "jet/testtools/office_fixtures.h"

#include <stdexcept>

#include "jet/header.h"
#include "jet/office_cipher.h"
#include "jet/rc4.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

namespace orvelle::jet::test {

namespace {

constexpr size_t kDescriptorLengthAt = 0x299;
constexpr size_t kDescriptorAt = 0x29B;
constexpr size_t kPageSize = 4096;

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::string U16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string U32(uint32_t v) { return U16(static_cast<uint16_t>(v)) + U16(v >> 16); }

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// u16 length, then the descriptor.
std::string WithLength(const std::string& descriptor) {
  return U16(static_cast<uint16_t>(descriptor.size())) + descriptor;
}

// The binary descriptor of RC4 CryptoAPI and (non-)standard AES.
std::string CryptoApiDescriptor(uint32_t flags, uint32_t alg_id, uint32_t key_bits,
                                const std::string& encrypted_verifier,
                                const std::string& encrypted_hash) {
  std::string header = U32(flags) + U32(0) + U32(alg_id) + U32(0x8004) + U32(key_bits) + U32(0x18) +
                       U32(0) + U32(0) +
                       Utf16("Microsoft Enhanced RSA and AES Cryptographic Provider") + U16(0);
  std::string d = U16(4) + U16(2) + U32(flags) + U32(static_cast<uint32_t>(header.size())) +
                  header + U32(16) + Unhex("000102030405060708090a0b0c0d0e0f") +
                  Unhex(encrypted_verifier) + U32(20) + Unhex(encrypted_hash);
  return WithLength(d);
}

std::string AgileDescriptor() {
  const std::string cipher =
      "blockSize=\"16\" keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\" "
      "cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\" saltSize=\"16\" ";
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\" "
      "xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
      "<keyData " +
      cipher +
      "saltValue=\"MDEyMzQ1Njc4OTo7PD0+Pw==\"/><keyEncryptors><keyEncryptor "
      "uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\"><p:encryptedKey "
      "spinCount=\"1000\" " +
      cipher +
      "saltValue=\"ICEiIyQlJicoKSorLC0uLw==\" "
      "encryptedVerifierHashInput=\"3FlxNMtF07hl92vybNZJbQ==\" "
      "encryptedVerifierHashValue=\"iyDGoLmCHtp2x7gsGiEALEqK1offJtO/DI5raR/"
      "gbNaO05kmnDmVbAhwNOeetgUYkPeNVftc5pcT/jjwuCtdlA==\" "
      "encryptedKeyValue=\"AdW0odiysZjKbpnRCiIrwzPxmj4zVU7xOtSFmO4r8KA=\"/></keyEncryptor></"
      "keyEncryptors></encryption>";
  return WithLength(U16(4) + U16(4) + U32(0x40) + xml);
}

void WriteDescriptor(std::string& bytes, const std::string& descriptor) {
  if (kDescriptorLengthAt + descriptor.size() > kPageSize) throw std::runtime_error("too long");
  bytes.replace(kDescriptorLengthAt, descriptor.size(), descriptor);
}

// The descriptor of an encrypted image with the nth occurrence (from 0) of `from` replaced.
std::string EditDescriptor(const std::string& bytes, const std::string& from, const std::string& to,
                           int nth = 0) {
  const uint16_t length = static_cast<uint16_t>(static_cast<uint8_t>(bytes.at(0x299)) |
                                                (static_cast<uint8_t>(bytes.at(0x29A)) << 8));
  std::string d = bytes.substr(kDescriptorAt, length);
  size_t at = d.find(from);
  for (int i = 0; i < nth && at != std::string::npos; ++i) at = d.find(from, at + 1);
  if (at == std::string::npos) throw std::runtime_error("no \"" + from + "\" in the descriptor");
  d.replace(at, from.size(), to);
  std::string out = bytes;
  // The old descriptor's bytes are cleared so that a shorter one leaves nothing behind.
  out.replace(kDescriptorAt, length, std::string(length, '\0'));
  WriteDescriptor(out, WithLength(d));
  return out;
}

}  // namespace

const std::vector<EncryptedCase>& PasswordFixtures() {
  static const std::vector<EncryptedCase> cases = {
      {"db2007-oldenc.accdb", "Test123", "RC4 CryptoAPI, 40-bit key, SHA-1 (version 4.2)"},
      {"db2007-enc.accdb", "Test123", "agile AES-128-CBC, SHA-1, spin count 100000 (version 4.4)"},
      {"db2013-enc.accdb", "1234", "agile AES-256-CBC, SHA-512, spin count 100000 (version 4.4)"},
      {"db-nonstandard.accdb", "password",
       "non-standard AES-256-ECB, SHA-1, spin count 0 (version 4.2)"},
  };
  return cases;
}

std::string FixturePassword(const std::string& file_name) {
  for (const EncryptedCase& c : PasswordFixtures()) {
    if (file_name == c.file) return c.password;
  }
  return std::string();
}

std::string VectorPage() {
  std::string page(kPageSize, '\0');
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<char>((i * 7 + 1) & 0xFF);
  return page;
}

std::string VectorDescriptor(VectorScheme scheme) {
  switch (scheme) {
    case VectorScheme::kStandardAes:
      return CryptoApiDescriptor(
          0x24, 0x660E, 128, "a2aa75088b30ba795d69c3addacc7294",
          "ae591162e6c22663955ab9a82f6a794b9fbaabd9e6813b6357da385dc02c54c8");
    case VectorScheme::kNonStandardAes:
      return CryptoApiDescriptor(
          0x0C, 0x660E, 128, "ef15651bf63fa2d6a9a90045ba12a989",
          "30c933f82d2f8a9a1fa25a4f1fe498a78b37abc5f6342634b450f03b730c8926");
    case VectorScheme::kRc4Key128:
      return CryptoApiDescriptor(0x04, 0x6801, 128, "986c0795bb1f74d8662bd2fb79c98135",
                                 "4c10a9383db3b44d6d4edae895857b11cbf9f920");
    case VectorScheme::kRc4Key40:
      return CryptoApiDescriptor(0x04, 0x6801, 40, "dc707a0331760059fab16dfe62585c5a",
                                 "f9374292f960d68eba348b72e0f597beb92d0fba");
    case VectorScheme::kAgile:
      return AgileDescriptor();
  }
  return std::string();
}

void SetDatabaseKey(std::string& bytes, uint32_t key) {
  static const uint8_t kMask[4] = {0xC7, 0xDA, 0x39, 0x6B};
  std::string region = bytes.substr(0x18, 128);
  auto* p = reinterpret_cast<uint8_t*>(&region[0]);
  Rc4Apply(kMask, 4, p, region.size());
  region.replace(0x3E - 0x18, 4, U32(key));
  Rc4Apply(kMask, 4, p, region.size());
  bytes.replace(0x18, 128, region);
}

std::string EncryptAceImage(const std::string& plain, const std::string& descriptor,
                            uint32_t database_key, const std::string& password) {
  std::string out = plain;
  SetDatabaseKey(out, database_key);
  WriteDescriptor(out, descriptor);
  const auto* page0 = reinterpret_cast<const uint8_t*>(out.data());
  Header h = DecodeHeader(page0, kPageSize, "image");
  if (!h.office) throw std::runtime_error("not an encrypted ACE image");
  OfficeCipher cipher(*h.office, database_key, password, "image");
  for (size_t pn = 1; pn * kPageSize < out.size(); ++pn) {
    cipher.Encrypt(static_cast<uint32_t>(pn), reinterpret_cast<uint8_t*>(&out[pn * kPageSize]),
                   kPageSize);
  }
  return out;
}

std::vector<DamagedHeader> DamagedEncryptionHeaders() {
  const std::string agile_path = EncryptedFixture("db2013-enc.accdb");
  const std::string aes_path = EncryptedFixture("db-nonstandard.accdb");
  const std::string rc4_path = EncryptedFixture("db2007-oldenc.accdb");
  if (agile_path.empty() || aes_path.empty() || rc4_path.empty()) return {};
  const std::string agile = orvelle::test::ReadBytes(agile_path);
  const std::string aes = orvelle::test::ReadBytes(aes_path);
  const std::string rc4 = orvelle::test::ReadBytes(rc4_path);
  auto patched = [](std::string bytes, size_t at, const std::string& value) {
    bytes.replace(at, value.size(), value);
    return bytes;
  };
  // The binary descriptor: header from 0x2A7, verifier after it (0x333 in db-nonstandard).
  const size_t header = kDescriptorAt + 12;
  const std::string h = "page 0: encryption header: ";
  const std::string agile_fail = h + "agile encryption: ";
  const std::string unsupported = "page 0: header: database is password-encrypted with ";
  std::vector<DamagedHeader> out = {
      {"truncated page 0", agile.substr(0, 0x29A),
       h + "descriptor length at 0x299 (2 bytes) beyond end 0x29A"},
      {"descriptor longer than page 0", patched(agile, 0x299, U16(0xFFFF)),
       h + "descriptor length 65535 at 0x299, expected 4 to 3429 (the rest of page 0)"},
      {"descriptor of 2 bytes", patched(agile, 0x299, U16(2)),
       h + "descriptor length 2 at 0x299, expected 4 to 3429 (the rest of page 0)"},
      {"agile XML cut short", patched(agile, 0x299, U16(300)),
       agile_fail + "malformed XML at 0x3C2"},
      {"agile reserved field", patched(agile, kDescriptorAt + 4, U32(0x41)),
       agile_fail + "reserved field 0x41, expected 0x40"},
      {"agile spin count beyond the limit",
       EditDescriptor(agile, "spinCount=\"100000\"", "spinCount=\"4294967295\""),
       agile_fail + "spinCount 4294967295 is beyond the limit of 10000000"},
      {"agile spin count not a number",
       EditDescriptor(agile, "spinCount=\"100000\"", "spinCount=\"99999999999\""),
       agile_fail + "spinCount \"99999999999\" of encryptedKey is not a number"},
      {"agile unknown cipher",
       EditDescriptor(agile, "cipherAlgorithm=\"AES\"", "cipherAlgorithm=\"DES\""),
       agile_fail + "cipher \"DES\" of keyData is not supported (AES)"},
      {"agile unknown hash",
       EditDescriptor(agile, "hashAlgorithm=\"SHA512\"", "hashAlgorithm=\"MD5\"", 1),
       agile_fail + "hash algorithm \"MD5\" of encryptedKey is not supported (SHA1, SHA256, "
                    "SHA384 or SHA512)"},
      {"agile key size", EditDescriptor(agile, "keyBits=\"256\"", "keyBits=\"100\""),
       agile_fail + "keyBits 100 of keyData, expected 128, 192 or 256"},
      {"agile salt size", EditDescriptor(agile, "saltSize=\"16\"", "saltSize=\"64\"", 1),
       agile_fail + "saltSize 64 of encryptedKey but a salt of 16 bytes"},
      {"agile salt not base64", EditDescriptor(agile, "saltValue=\"3MF5", "saltValue=\"*MF5"),
       agile_fail + "saltValue of keyData is not valid base64"},
      {"agile key value cut",
       EditDescriptor(agile, "encryptedKeyValue=\"QubEoYk8CHTRtilBk6x3Reet6nNYPdIWVGe9nedugdM=\"",
                      "encryptedKeyValue=\"QubEoYk8CHTRtilBk6x3RQ==\""),
       agile_fail + "encryptedKeyValue of 16 bytes, expected 32 for a 256-bit key"},
      {"agile without a password key encryptor",
       EditDescriptor(agile,
                      "keyEncryptor uri=\"http://schemas.microsoft.com/office/2006/"
                      "keyEncryptor/password\"",
                      "keyEncryptor uri=\"http://schemas.microsoft.com/office/2006/"
                      "keyEncryptor/certificate\""),
       agile_fail + "the XML has no password key encryptor"},
      {"agile attribute missing",
       EditDescriptor(agile, "encryptedVerifierHashValue=", "encryptedVerifierHashValu_="),
       agile_fail + "the element encryptedKey lacks the attribute encryptedVerifierHashValue"},
      {"binary header size beyond the descriptor", patched(aes, kDescriptorAt + 8, U32(0xFFFFFF)),
       h + "header size 16777215, expected 32 to 212 (the rest of the descriptor)"},
      {"binary descriptor cut in the verifier", patched(aes, 0x299, U16(154)),
       h + "salt size at 0x333 (4 bytes) beyond end 0x335"},
      {"unknown algorithm id", patched(aes, header + 8, U32(0x1234)),
       h + "unknown algorithm id 0x1234, expected 0x6801 (RC4) or 0x660E, 0x660F, 0x6610 (AES)"},
      {"unknown hash algorithm id", patched(aes, header + 12, U32(0x8003)),
       h + "unknown hash algorithm id 0x8003, expected 0x8004 (SHA-1)"},
      {"AES key size", patched(aes, header + 16, U32(128)),
       h + "key size 128 bits, expected 256 for AES-256"},
      {"salt size", patched(aes, 0x333, U32(17)), h + "salt size 17, expected 16"},
      {"verifier hash size", patched(aes, 0x357, U32(32)),
       h + "verifier hash size 32, expected 20 (SHA-1)"},
      {"RC4 key size", patched(rc4, header + 16, U32(7)),
       h + "key size 7 bits, expected 40 to 128 in whole bytes for RC4"},
      {"AES flag with RC4", patched(patched(rc4, header, U32(0x24)), kDescriptorAt + 4, U32(0x24)),
       h + "the AES flag is set but the algorithm id is 0x6801"},
      {"no CryptoAPI flag", patched(rc4, kDescriptorAt + 4, U32(0)),
       unsupported + "Office encryption without the CryptoAPI flag (flags 0x0) (version 4.2), "
                     "which the native engine does not support"},
      {"Office binary RC4", patched(rc4, kDescriptorAt, U16(1) + U16(1)),
       unsupported + "Office binary RC4 encryption (version 1.1), which the native engine does "
                     "not support"},
      {"extensible encryption", patched(rc4, kDescriptorAt, U16(4) + U16(3)),
       unsupported + "Office extensible encryption (version 4.3), which the native engine does "
                     "not support"},
      {"unknown version", patched(rc4, kDescriptorAt, U16(9) + U16(9)),
       unsupported + "an unknown Office encryption (version 9.9), which the native engine does "
                     "not support"},
  };
  return out;
}

}  // namespace orvelle::jet::test
