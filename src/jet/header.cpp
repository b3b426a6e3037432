#include "jet/header.h"

#include <algorithm>
#include <vector>

#include "jet/bytes.h"
#include "jet/error.h"
#include "jet/rc4.h"

namespace orvelle::jet {

namespace {

constexpr size_t kMaskStart = 0x18;
constexpr uint8_t kMaskKey[4] = {0xC7, 0xDA, 0x39, 0x6B};

}  // namespace

const char* VersionName(Version v) {
  switch (v) {
    case Version::kJet3:
      return "Jet3";
    case Version::kJet4:
      return "Jet4";
    case Version::kAce12:
      return "ACE12";
    case Version::kAce14:
      return "ACE14";
    case Version::kAce16:
      return "ACE16";
    case Version::kAce17:
      return "ACE17";
  }
  return "?";
}

Header DecodeHeader(const uint8_t* raw, size_t size, const std::string& file) {
  ByteView v(raw, size, &file, 0, "header");
  if (size < 0x80) v.Fail("file too short for a header (" + std::to_string(size) + " bytes)");
  if (Le32(raw) != 0x100) v.Fail("signature " + Hex(Le32(raw)) + ", expected 0x100");
  Header h;
  const char* name = reinterpret_cast<const char*>(raw + 4);
  h.engine.assign(name, std::find(name, name + 16, '\0'));
  if (h.engine == "MSISAM Database") v.Fail("MSISAM (Microsoft Money) files are not supported");
  bool ace = h.engine == "Standard ACE DB";
  if (h.engine != "Standard Jet DB" && !ace) {
    v.Fail("engine name \"" + h.engine + "\", expected \"Standard Jet DB\" or \"Standard ACE DB\"");
  }
  uint8_t code = raw[0x14];
  switch (code) {
    case 0x00:
      h.version = Version::kJet3;
      break;
    case 0x01:
      h.version = Version::kJet4;
      break;
    case 0x02:
      h.version = Version::kAce12;
      break;
    case 0x03:
      h.version = Version::kAce14;
      break;
    case 0x05:
      h.version = Version::kAce16;
      break;
    case 0x06:
      h.version = Version::kAce17;
      break;
    default:
      v.Fail("unknown version code " + Hex(code));
  }
  if (ace != (code >= 0x02)) {
    v.Fail("version code " + Hex(code) + " does not match engine name \"" + h.engine + "\"");
  }
  h.page_size = h.jet3() ? 2048 : 4096;
  size_t masked = h.jet3() ? 126 : 128;
  v.Need(kMaskStart, masked, "masked region");
  std::vector<uint8_t> clear(raw + kMaskStart, raw + kMaskStart + masked);
  Rc4Apply(kMaskKey, 4, clear.data(), clear.size());
  auto at = [&](size_t off) { return clear.data() + (off - kMaskStart); };
  h.code_page = Le16(at(0x3C));
  h.database_key = Le32(at(0x3E));
  if (ace && h.database_key != 0) h.office = ReadOfficeEncryption(raw, size, file);
  return h;
}

void DecodeJetPage(uint32_t database_key, uint32_t page_number, uint8_t* page, size_t size) {
  uint32_t k = database_key ^ page_number;
  uint8_t key[4] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8),
                    static_cast<uint8_t>(k >> 16), static_cast<uint8_t>(k >> 24)};
  Rc4Apply(key, 4, page, size);
}

}  // namespace orvelle::jet
