#include "product/info.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "batch/batch.h"
#include "platform/file_utils.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "project/option_list.h"
#include "project/project.h"

namespace orvelle {

TkxInfo* kxInfo = nullptr;
namespace {

// State file layout, stored as 2-byte characters (UTF-16 LE of ASCII):
//   line 0: "k=" and the key in decimal, the installation number taken at the first save
//           (older files have no such line: their key is worked out from the folder)
//   line 1: 16 hex digits, a keyed check value of the plain text
//   line 2: the plain text (name=value lines joined by CR LF, UTF-8) XOR a keyed stream, in hex
// A reader with another key computes another check value and takes nothing.

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::string KeyStreamXor(const std::string& bytes, int32_t key) {
  uint64_t s = Mix(static_cast<uint32_t>(key) ^ 0x4f7276656c6c6521ULL);
  std::string out = bytes;
  uint64_t block = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (i % 8 == 0) {
      s += 0x9e3779b97f4a7c15ULL;
      block = Mix(s);
    }
    out[i] = static_cast<char>(static_cast<uint8_t>(out[i]) ^
                               static_cast<uint8_t>(block >> (8 * (i % 8))));
  }
  return out;
}

uint64_t CheckValue(const std::string& plain, int32_t key) {
  uint64_t h = 0xcbf29ce484222325ULL ^ Mix(static_cast<uint32_t>(key) + 0x5374617465ULL);
  for (unsigned char c : plain) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return Mix(h ^ plain.size());
}

const char kHex[] = "0123456789abcdef";

std::string ToHex(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

std::string AsciiToUtf16(const std::string& ascii) {
  std::string out;
  out.reserve(ascii.size() * 2);
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

bool Utf16ToAscii(const std::string& bytes, std::string& out) {
  out.clear();
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    if (bytes[i + 1] != '\0' || static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
    out += bytes[i];
  }
  return true;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

}  // namespace

std::string TkxInfo::ScrambleState(const std::vector<std::string>& lines, int32_t key) {
  const std::string plain = Join(lines);
  char check[17];
  std::snprintf(check, sizeof check, "%016" PRIx64, CheckValue(plain, key));
  return AsciiToUtf16(std::string(check) + "\r\n" + ToHex(KeyStreamXor(plain, key)));
}

std::string TkxInfo::StoredState(const std::vector<std::string>& lines, int32_t key) {
  return AsciiToUtf16("k=" + std::to_string(key) + "\r\n") + ScrambleState(lines, key);
}

bool TkxInfo::StoredKey(const std::string& stored, int32_t& key) {
  std::string ascii;
  if (!Utf16ToAscii(stored.substr(0, 2 * 16), ascii) || ascii.compare(0, 2, "k=") != 0) {
    return false;
  }
  const size_t end = ascii.find("\r\n");
  if (end == std::string::npos) return false;
  auto [ptr, ec] = std::from_chars(ascii.data() + 2, ascii.data() + end, key);
  return ec == std::errc() && ptr == ascii.data() + end;
}

bool TkxInfo::UnscrambleState(const std::string& stored, int32_t key,
                              std::vector<std::string>& lines) {
  lines.clear();
  std::string ascii, cipher;
  if (!Utf16ToAscii(stored, ascii)) return false;
  if (ascii.compare(0, 2, "k=") == 0) {
    const size_t end = ascii.find("\r\n");
    if (end == std::string::npos) return false;
    ascii.erase(0, end + 2);
  }
  if (ascii.size() < 18 || ascii.compare(16, 2, "\r\n") != 0) return false;
  if (!FromHex(ascii.substr(18), cipher)) return false;
  const std::string plain = KeyStreamXor(cipher, key);
  char check[17];
  std::snprintf(check, sizeof check, "%016" PRIx64, CheckValue(plain, key));
  if (ascii.compare(0, 16, check) != 0) return false;
  size_t start = 0;
  while (start < plain.size()) {
    size_t end = plain.find("\r\n", start);
    if (end == std::string::npos) end = plain.size();
    if (end > start) lines.push_back(plain.substr(start, end - start));
    start = end + 2;
  }
  return true;
}

namespace {

bool SameNameAscii(const std::string& line, const std::string& name) {
  if (line.size() <= name.size() || line[name.size()] != '=') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) !=
        std::tolower(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

// A non-empty entry `name`.
bool HasEntry(const std::vector<std::string>& lines, const std::string& name) {
  for (const auto& line : lines) {
    if (SameNameAscii(line, name) && line.size() > name.size() + 1) return true;
  }
  return false;
}

// "?" becomes "%3F" so the text cannot end the query early; bytes outside printable ASCII
// are percent-encoded so that the browser receives them unchanged.
std::string EscapeReportText(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '?' || c < 0x20 || c >= 0x7f) {
      out += '%';
      out += static_cast<char>(std::toupper(kHex[c >> 4]));
      out += static_cast<char>(std::toupper(kHex[c & 15]));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string QuoteItem(const std::string& item) {
  bool needs = false;
  for (unsigned char c : item) {
    if (c <= ' ' || c == ',' || c == '"' || c == 0x7f) needs = true;
  }
  if (!needs) return item;
  std::string out = "\"";
  for (char c : item) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

int32_t TkxInfo::FolderInstallNo(const std::string& folder, bool keep_utc) {
  int64_t born = 0;
  if (!fs::BirthTime(folder, born)) return TkxFileUtils::GetFileDosTime(folder, true, keep_utc);
  if (!keep_utc) born = fs::ToLocalTime(born);
  uint32_t dos = 0;
  if (!fs::ToDosDateTime(born, dos)) return -1;
  return static_cast<int32_t>(dos);
}

TkxInfo::TkxInfo(std::string exe_path) : exe_path_(std::move(exe_path)) {
  const std::string folder = ExcludeTrailingDelimiter(ExtractFilePath(exe_path_));
  // The key is taken once, from the folder's birth time, and then kept in the state file:
  // the status-change time that older versions took (and that some systems still give as
  // the creation time) moves whenever a file comes or goes beside the program. A state
  // written under that older key is still read, and written anew under the kept one.
  install_no_local_ = FolderInstallNo(folder, false);
  install_no_ = FolderInstallNo(folder, true);
  legacy_keys_[0] = TkxFileUtils::GetFileDosTime(folder, true, true);
  legacy_keys_[1] = TkxFileUtils::GetFileDosTime(folder, true, false);
  {
    fs::FileLock lock(StateFileName());
    LoadState();
  }
  AddCount("R", 1);
}

TkxInfo::~TkxInfo() {
  fs::FileLock lock(StateFileName());
  ReloadState();
  SaveState();
}

std::string TkxInfo::StateFileName() const { return ChangeFileExt(exe_path_, ".ext"); }

bool TkxInfo::ReadStateFile(std::vector<std::string>& lines,
                            std::optional<int32_t>* kept_key) const {
  lines.clear();
  std::string stored;
  try {
    const std::string path = StateFileName();
    if (!fs::FileExists(path)) return false;
    stored = TkxFileUtils::ReadFileText(path, 2, kMaxStateBytes);
  } catch (const std::exception&) {
    return false;
  }
  // A file that names its key is read with that key alone; an older one with the keys
  // worked out from the folder.
  std::vector<int32_t> keys;
  int32_t stored_key = 0;
  if (StoredKey(stored, stored_key)) {
    keys.push_back(stored_key);
  } else {
    for (int32_t key : {install_no_, install_no_local_, legacy_keys_[0], legacy_keys_[1]}) {
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
  }
  for (int32_t key : keys) {
    if (UnscrambleState(stored, key, lines) && HasEntry(lines, "R")) {
      if (kept_key != nullptr && key == stored_key && keys.size() == 1) *kept_key = key;
      return true;
    }
  }
  lines.clear();
  return false;
}

void TkxInfo::LoadState() {
  // A state that cannot be read with any key is dropped; one that names its key keeps it.
  std::optional<int32_t> kept_key;
  ReadStateFile(state_, &kept_key);
  if (kept_key) install_no_ = install_no_local_ = *kept_key;
  SetState("v", "2");
}

void TkxInfo::ReloadState() {
  // Another run may have counted since: its counts are the starting point. A file that is
  // gone or unreadable leaves what this run knows.
  std::vector<std::string> lines;
  if (!ReadStateFile(lines, nullptr)) return;
  state_ = std::move(lines);
  SetState("v", "2");
}

void TkxInfo::SaveState() {
  // A folder that cannot be written (an installed program) must never stop the program.
  try {
    const std::string path = StateFileName();
    if (fs::FileExists(path)) fs::ClearReadOnly(path);
    const std::string text = StoredState(state_, install_no_);
    const std::string folder = ExtractFilePath(path);
    if (!folder.empty() && !fs::DirectoryExists(folder)) return;
    // Written whole beside the old file and renamed over it: a run reading it meanwhile
    // sees the old counts or the new, never an empty file it would start again from.
    fs::WriteAtomically(path, text);
  } catch (const std::exception&) {
  }
}

std::string TkxInfo::GetState(const std::string& name) const {
  for (const auto& line : state_) {
    if (SameNameAscii(line, name)) return line.substr(name.size() + 1);
  }
  return std::string();
}

void TkxInfo::SetState(const std::string& name, const std::string& value) {
  for (auto& line : state_) {
    if (SameNameAscii(line, name)) {
      line = name + "=" + value;
      return;
    }
  }
  state_.push_back(name + "=" + value);
}

void TkxInfo::AddCount(const std::string& name, int64_t amount) {
  // Runs side by side each add to what the file holds now, one after the other.
  fs::FileLock lock(StateFileName());
  ReloadState();
  const std::string stored = GetState(name);
  int64_t value = 0;
  const char* end = stored.data() + stored.size();
  auto [ptr, ec] = std::from_chars(stored.data(), end, value);
  if (ec != std::errc() || ptr != end) value = 0;
  const std::string text = std::to_string(value + amount);
  if (text == stored) return;
  SetState(name, text);
  SaveState();
}

bool TkxInfo::IsQuiet() const {
  if (TkxOptionList::ParseBool(GetState("+"), false)) return true;
  const char* env = std::getenv("ORVELLE_QUIET");
  return env != nullptr && TkxOptionList::ParseBool(env, false);
}

void TkxInfo::AddQueryParam(std::string& query, const std::string& key, const std::string& value) {
  if (value.empty()) return;
  if (!query.empty()) query += '&';
  query += key;
  query += '=';
  for (char c : value) {
    if (c != '"') query += c;
  }
}

std::string TkxInfo::CounterText() const {
  std::string text;
  for (const auto& line : state_) {
    if (line.empty() || line[0] < 'A' || line[0] > 'Z') continue;
    const size_t eq = line.find('=');
    text += orvelle::text::LowerAscii(line[0]);
    if (eq != std::string::npos) text += line.substr(eq + 1);
  }
  return text;
}

void TkxInfo::OpenLink(const std::string& kind, const std::string& param,
                       const std::string& extra) {
  const std::string title = kxProject ? kxProject->Title : std::string();
  const std::string short_name = kxProject ? kxProject->ShortName : std::string();
  const std::string version = kxProject ? kxProject->Version : std::string();
  std::string address;
  if (kind == "supports") {
    std::string subject_title = title;
    const size_t amp = subject_title.find('&');
    if (amp != std::string::npos) subject_title.replace(amp, 1, "And");
    address = std::string("mailto:") + kSupportMail + "?subject=Support required for " +
              subject_title + " " + version + " - " + std::to_string(install_no_);
  } else if (kind == "h") {
    address = ChangeFileExt(exe_path_, ".chm");
    if (!fs::FileExists(address)) address = ChangeFileExt(exe_path_, ".pdf");
  } else {
    address = kWebSite;
    if (!kind.empty()) {
      address += "/en/" + short_name + "/" + kind + ".htm";
    } else if (!param.empty()) {
      if (IsQuiet()) return;
      address += "/net/";
    }
    std::string query;
    AddQueryParam(query, "a", param);
    AddQueryParam(query, "p", short_name);
    AddQueryParam(query, "v", version);
    AddQueryParam(query, "c", CounterText());
    AddQueryParam(query, "i", std::to_string(install_no_));
    if (!extra.empty()) query += "&" + extra;
    address += "?" + query;
  }
  shell::Open(address);
}

std::string TkxInfo::ErrorReportText(const std::vector<std::string>& errors) {
  std::string list;
  for (size_t i = 0; i < errors.size(); ++i) {
    if (i > 0) list += ',';
    list += QuoteItem(errors[i]);
  }
  return "err&e=" + EscapeReportText(list);
}

void TkxInfo::ReportRun(TkxBatch& batch) {
  AddCount("A", batch.Count());
  AddCount("S", batch.Successes());
  AddCount("F", batch.Failures());
  if (batch.Failures() > 0) OpenLink(std::string(), ErrorReportText(batch.Errors()), std::string());
}

void TkxInfo::ReportException(const std::string& message) {
  try {
    AddCount("E", 1);
  } catch (...) {
  }
  OpenLink(std::string(), "err&e=" + EscapeReportText(message), std::string());
}

}  // namespace orvelle
