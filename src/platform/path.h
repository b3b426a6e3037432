// Path text helpers. Pure string work: nothing here touches the file system.
#pragma once

#include <string>

namespace orvelle {

// The folder delimiter of the platform. On Windows the backslash (and a drive colon ends a
// folder part too); elsewhere the slash plays every role the backslash plays there.
#ifdef _WIN32
inline constexpr char kPathDelim = '\\';
#else
inline constexpr char kPathDelim = '/';
#endif

// Index of the last folder delimiter (or, on Windows, drive colon); npos when none.
std::string::size_type LastDelimiterPos(const std::string& path);
// Everything up to and including the last delimiter; empty when there is none.
std::string ExtractFilePath(const std::string& path);
// Everything after the last delimiter.
std::string ExtractFileName(const std::string& path);
// The extension of the file-name part from its last point on ("" when none).
std::string ExtractFileExt(const std::string& path);
// Replaces the extension of the file-name part (from its last point on) by ext, or appends
// ext when the name has no point.
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// Appends the delimiter when the text does not end with one (an empty text stays empty).
std::string IncludeTrailingDelimiter(const std::string& path);
// Removes one trailing delimiter.
std::string ExcludeTrailingDelimiter(const std::string& path);

}  // namespace orvelle
