// Page 0: format detection, page size, the masked header region and page encryption.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "jet/office_encryption.h"

namespace orvelle::jet {

enum class Version { kJet3, kJet4, kAce12, kAce14, kAce16, kAce17 };

const char* VersionName(Version v);  // "Jet3", "Jet4", "ACE12", ...

struct Header {
  Version version = Version::kJet4;
  uint32_t page_size = 4096;
  std::string engine;  // "Standard Jet DB" or "Standard ACE DB"
  // 0x3E after unmasking: non-zero on RC4-encoded Jet files (the RC4 key) and on
  // password-encrypted ACE files (a salt of the page keys)
  uint32_t database_key = 0;
  uint16_t code_page = 0;  // 0x3C
  // The encryption descriptor of a password-encrypted ACE file.
  std::optional<OfficeEncryption> office;
  bool jet3() const { return version == Version::kJet3; }
  // Jet3/Jet4 pages RC4-encoded with the database key (no password involved).
  bool encoded() const { return database_key != 0 && !office; }
};

// Decodes page 0 (raw bytes, at least 0x300 of them or the whole page) and, for a
// password-encrypted ACE file, its encryption descriptor. Throws JetError for MSISAM files,
// unknown version codes, damaged descriptors and encryption schemes the engine lacks.
Header DecodeHeader(const uint8_t* page0, size_t size, const std::string& file);

// Decodes an encoded Jet3/Jet4 page in place (RC4 keyed with the database key XOR the page
// number). Encoding and decoding are the same operation.
void DecodeJetPage(uint32_t database_key, uint32_t page_number, uint8_t* page, size_t size);

}  // namespace orvelle::jet
