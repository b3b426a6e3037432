// What the console output needs of the system: whether a stream is a terminal, how wide it
// is, and a report file opened without harm to a file the program did not write.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace orvelle::console {

bool IsTerminal(std::FILE* stream);
// Columns of the terminal behind `stream`; 80 when it cannot be told.
size_t TerminalWidth(std::FILE* stream);

// Opens `path` for writing from its start. A new file is created exclusively; an existing
// one is emptied only when it is a regular file (never through a link) whose first bytes
// (at most 64 KiB) `may_replace` accepts. Returns null with `why` otherwise; nothing is then
// changed.
std::FILE* OpenReportFile(const std::string& path,
                          const std::function<bool(const std::string& head)>& may_replace,
                          std::string* why);

}  // namespace orvelle::console
