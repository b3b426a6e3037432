// The name=value option list. Safe for readers on any thread while the main thread changes
// it: every operation works under one lock, so a reader never sees a half-changed list.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orvelle {

class TkxOptionList {
 public:
  TkxOptionList() = default;
  TkxOptionList(const TkxOptionList&) = delete;
  TkxOptionList& operator=(const TkxOptionList&) = delete;

  std::string GetValue(const std::string& name) const;
  void SetValue(const std::string& name, const std::string& value);
  std::string GetText() const;
  void SetText(const std::string& text);
  std::vector<std::string> Lines() const;
  void Clear();
  // Throws fs::FileError; on failure the list keeps its content. Only a regular file of at
  // most kMaxFileBytes is read (fs::ReadAll).
  void Load(const std::string& path);
  static constexpr int64_t kMaxFileBytes = 4 << 20;
  void Save(const std::string& path) const;

  // Typed readers.
  bool GetBool(const std::string& name, bool def) const;
  int32_t GetInt(const std::string& name, int32_t def) const;

  // The conversions behind the typed readers.
  static bool ParseBool(const std::string& value, bool def);
  static int32_t ParseInt(const std::string& value, int32_t def);
  // Byte-order-mark detection: UTF-16 LE/BE, UTF-8, else the ANSI code page.
  static std::string DecodeFileBytes(const std::string& bytes);

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};

}  // namespace orvelle
