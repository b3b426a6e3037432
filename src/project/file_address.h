// "file:" addresses as local paths, and the other addresses that name no local folder.
// Pure text work; safe on any thread.
#pragma once

#include <string>

namespace orvelle {

// A text that begins with "file:" (letter case counts) is turned into the local path it
// names; any other text is returned unchanged. Windows: "file:" and the slashes after it go,
// every "/" becomes "\", and a path without a drive gets "\\" in front (a network path).
// POSIX: file:///data/a.mdb and file://localhost/data/a.mdb are /data/a.mdb, another host
// keeps its network form //host/path, and percent escapes are decoded.
std::string FileAddressToPath(const std::string& text);

// True for "scheme://..." with a scheme of two or more letters, digits, "+", "-" or "."
// that begins with a letter (http://, ftp://, smb://): an address, never a local folder to
// create. A drive ("C://") is one letter and does not count.
bool IsNonLocalAddress(const std::string& text);

}  // namespace orvelle
