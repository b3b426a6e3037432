#include "platform/path.h"

namespace orvelle {

std::string::size_type LastDelimiterPos(const std::string& path) {
#ifdef _WIN32
  return path.find_last_of("\\:");
#else
  return path.find_last_of('/');
#endif
}

std::string ExtractFilePath(const std::string& path) {
  auto pos = LastDelimiterPos(path);
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
  auto pos = LastDelimiterPos(path);
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ExtractFileExt(const std::string& path) {
  auto name_start = LastDelimiterPos(path);
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  auto dot = path.rfind('.');
  if (dot == std::string::npos || dot < name_start) return std::string();
  return path.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  auto name_start = LastDelimiterPos(path);
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  auto dot = path.rfind('.');
  if (dot == std::string::npos || dot < name_start) return path + ext;
  return path.substr(0, dot) + ext;
}

std::string IncludeTrailingDelimiter(const std::string& path) {
  if (path.empty() || path.back() == kPathDelim) return path;
  return path + kPathDelim;
}

std::string ExcludeTrailingDelimiter(const std::string& path) {
  if (!path.empty() && path.back() == kPathDelim) return path.substr(0, path.size() - 1);
  return path;
}

}  // namespace orvelle
