// The crypto seam against published test vectors, and the key derivation of every Office scheme
// against known answers computed by scripts/office-crypto-vectors.sh with OpenSSL's command
// line. Runs on every platform, so the Windows build checks its CNG seam the same way.
#include "jet/office_cipher.h"

#include <gtest/gtest.h>

#include "jet/crypto.h"
#include "jet/error.h"
#include "jet/testtools/office_fixtures.h"

namespace orvelle::jet {
namespace {

using crypto::AesMode;
using crypto::Direction;
using crypto::HashAlgorithm;

std::vector<uint8_t> Unhex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

TEST(JetCrypto, DigestsMatchThePublishedVectors) {
  const std::string abc = "abc";
  const auto* p = reinterpret_cast<const uint8_t*>(abc.data());
  const std::pair<HashAlgorithm, const char*> cases[] = {
      {HashAlgorithm::kSha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {HashAlgorithm::kSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {HashAlgorithm::kSha384,
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
       "34c825a7"},
      {HashAlgorithm::kSha512,
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
       "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
  };
  for (const auto& [h, want] : cases) {
    SCOPED_TRACE(crypto::HashName(h));
    EXPECT_EQ(Hex(crypto::Hash(h, p, 3)), want);
    EXPECT_EQ(Hex(crypto::Hash(h, p, 1, p + 1, 2)), want);  // in two parts
    EXPECT_EQ(crypto::DigestSize(h) * 2, std::string(want).size());
  }
}

TEST(JetCrypto, AesMatchesThePublishedVectors) {
  struct Case {
    AesMode mode;
    const char *key, *iv, *plain, *cipher;
  };
  const Case cases[] = {
      // FIPS-197 appendix C.1 and C.3.
      {AesMode::kEcb, "000102030405060708090a0b0c0d0e0f", "", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {AesMode::kEcb, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "",
       "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      // SP 800-38A F.2.1 and F.2.5, two blocks each.
      {AesMode::kCbc, "2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"},
      {AesMode::kCbc, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "000102030405060708090a0b0c0d0e0f",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cipher);
    const std::vector<uint8_t> key = Unhex(c.key), iv = Unhex(c.iv);
    std::vector<uint8_t> data = Unhex(c.plain);
    crypto::Aes(Direction::kEncrypt, c.mode, key.data(), key.size(), iv.data(), data.data(),
                data.size());
    EXPECT_EQ(Hex(data), c.cipher);
    crypto::Aes(Direction::kDecrypt, c.mode, key.data(), key.size(), iv.data(), data.data(),
                data.size());
    EXPECT_EQ(Hex(data), c.plain);
  }
  std::vector<uint8_t> key(16), odd(15);
  EXPECT_THROW(crypto::Aes(Direction::kEncrypt, AesMode::kEcb, key.data(), 16, nullptr, odd.data(),
                           odd.size()),
               crypto::CryptoError);
  EXPECT_THROW(
      crypto::Aes(Direction::kEncrypt, AesMode::kEcb, key.data(), 15, nullptr, key.data(), 16),
      crypto::CryptoError);
}

// Known answers of scripts/office-crypto-vectors.sh: password "Orvelle pass", database key
// 0x12345678, page 3 holding byte i * 7 + 1.
struct SchemeCase {
  test::VectorScheme scheme;
  const char* describe;
  const char* page_sha1;  // of page 3 encrypted
};

class JetOfficeKeys : public ::testing::TestWithParam<SchemeCase> {};

OfficeEncryption Descriptor(test::VectorScheme scheme) {
  std::string page0(4096, '\0');
  const std::string d = test::VectorDescriptor(scheme);
  page0.replace(0x299, d.size(), d);
  return ReadOfficeEncryption(reinterpret_cast<const uint8_t*>(page0.data()), page0.size(),
                              "vector.accdb");
}

TEST_P(JetOfficeKeys, DeriveTheKnownKeysFromThePassword) {
  const SchemeCase& c = GetParam();
  const OfficeEncryption e = Descriptor(c.scheme);
  EXPECT_EQ(e.Describe(), c.describe);
  OfficeCipher cipher(e, test::kVectorDatabaseKey, test::kVectorPassword, "vector.accdb");
  const std::string plain = test::VectorPage();
  std::vector<uint8_t> page(plain.begin(), plain.end());
  cipher.Encrypt(test::kVectorPage, page.data(), page.size());
  EXPECT_EQ(Hex(crypto::Hash(HashAlgorithm::kSha1, page)), c.page_sha1);
  std::vector<uint8_t> other = page;
  cipher.Decrypt(test::kVectorPage + 1, other.data(), other.size());
  EXPECT_NE(std::string(other.begin(), other.end()), plain) << "the key ignores the page number";
  cipher.Decrypt(test::kVectorPage, page.data(), page.size());
  EXPECT_EQ(std::string(page.begin(), page.end()), plain);
}

TEST_P(JetOfficeKeys, RefuseAWrongOrMissingPassword) {
  const OfficeEncryption e = Descriptor(GetParam().scheme);
  for (const char* wrong : {"", "orvelle pass", "Orvelle pass ", "Orvelle"}) {
    SCOPED_TRACE(wrong);
    try {
      OfficeCipher(e, test::kVectorDatabaseKey, wrong, "vector.accdb");
      ADD_FAILURE() << "accepted";
    } catch (const PasswordError& err) {
      EXPECT_EQ(err.Detail(), "Not a valid password.");
      EXPECT_EQ(err.File(), "vector.accdb");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, JetOfficeKeys,
    ::testing::Values(SchemeCase{test::VectorScheme::kStandardAes,
                                 "standard AES-128-ECB, SHA-1, spin count 50000 (version 4.2)",
                                 "fb98d8ffc92f90e15fc9668f649d03aa5cf5358b"},
                      SchemeCase{test::VectorScheme::kNonStandardAes,
                                 "non-standard AES-128-ECB, SHA-1, spin count 0 (version 4.2)",
                                 "dd270445a2c58840ae043aa493d31ea5899bc1d9"},
                      SchemeCase{test::VectorScheme::kRc4Key128,
                                 "RC4 CryptoAPI, 128-bit key, SHA-1 (version 4.2)",
                                 "3f64a0258a5524c9801c79a7863a5a804c405996"},
                      SchemeCase{test::VectorScheme::kRc4Key40,
                                 "RC4 CryptoAPI, 40-bit key, SHA-1 (version 4.2)",
                                 "05061569f10641991da9cecfcd238d1a56220285"},
                      SchemeCase{test::VectorScheme::kAgile,
                                 "agile AES-256-CBC, SHA-512, spin count 1000 (version 4.4)",
                                 "22d55fa7140efa40c5a1a9442e31f1dcb0266753"}));

TEST(JetOfficeKeys, PasswordIsUtf16AndCutAt255Units) {
  EXPECT_EQ(Hex(PasswordBytes("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")),
            "4100e900ac203dd800de");  // A, e-acute, euro sign, U+1F600 as a surrogate pair
  EXPECT_EQ(Hex(PasswordBytes("a\xFFz")), "6100fdff7a00");  // a stray byte stands for itself
  EXPECT_EQ(PasswordBytes(std::string(300, 'x')).size(), 510u);
  EXPECT_TRUE(PasswordBytes("").empty());
}

TEST(JetOfficeKeys, DecodesBase64) {
  const std::pair<const char*, const char*> good[] = {
      {"", ""}, {"Zg==", "66"}, {"Zm8=", "666f"}, {"Zm9v", "666f6f"}, {"+/+/", "fbffbf"}};
  for (const auto& [text, hex] : good) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(DecodeBase64(text, &out)) << text;
    EXPECT_EQ(Hex(out), hex) << text;
  }
  for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm 9", "Zm9v\n", "=Zm9"}) {
    std::vector<uint8_t> out;
    EXPECT_FALSE(DecodeBase64(bad, &out)) << bad;
  }
}

}  // namespace
}  // namespace orvelle::jet
