// The regular-expression service: ECMAScript syntax, letter case ignored on request, a search
// anywhere in the input unless the pattern is anchored, a test and a replace of the first
// match. One engine (Boost.Regex) on every platform.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace orvelle::regex {

enum : unsigned { kIgnoreCase = 1, kMultiline = 2 };

// A pattern that does not compile; the message is the engine's description.
class RegexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A compiled expression. Immutable, so one instance may be used by several threads at once.
class TRegex {
 public:
  ~TRegex();
  bool Test(const std::string& input) const;
  // The input with the first match replaced ("$&", "$1" ... refer to the match).
  std::string Replace(const std::string& input, const std::string& replacement) const;

 private:
  friend std::shared_ptr<const TRegex> Compile(const std::string&, unsigned);
  struct Impl;
  explicit TRegex(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Throws RegexError.
std::shared_ptr<const TRegex> Compile(const std::string& pattern, unsigned options);
bool RegexIsMatch(const std::string& input, const std::string& pattern, unsigned options);
std::string RegexReplace(const std::string& input, const std::string& pattern,
                         const std::string& replacement, unsigned options);

}  // namespace orvelle::regex
