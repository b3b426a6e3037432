#include <cstdio>
#include <string>

#include "platform/shell.h"
#include "platform/text.h"

namespace orvelle::shell {

// Every run here is a console run: it may run unattended, over ssh or from cron, where a
// browser or mail program started behind the user's back helps nobody. The address goes to
// standard error instead, for the user to open.
void OpenWithDesktop(const std::string& target) {
  // A blank would cut the address short where a terminal or a mail client ends it.
  std::string line;
  for (char c : text::EscapeLine(target)) line += c == ' ' ? std::string("%20") : std::string(1, c);
  std::fprintf(stderr, "orvelle: to open: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace orvelle::shell
