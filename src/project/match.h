// The file-name filter: file masks turned into regular expressions and tested against paths.
#pragma once

#include <string>

namespace orvelle {

class TkxMatchBase {
 public:
  virtual ~TkxMatchBase() = default;
  // The base accepts everything.
  virtual bool IsMatch(const std::string& text, const std::string& pattern) const { return true; }
};

// True when `pattern` matches somewhere in `text`, ignoring letter case. A pattern that
// cannot be compiled matches everything.
class TkxMatch : public TkxMatchBase {
 public:
  bool IsMatch(const std::string& text, const std::string& pattern) const override;
};

std::string WildcardToRegex(const std::string& mask);

// The process's file-name matcher; null while it does not exist (start-up owns it).
extern TkxMatchBase* kxMatch;

}  // namespace orvelle
