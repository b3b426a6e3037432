#include "project/match.h"

#include <memory>

#include "project/regex.h"

namespace orvelle {

TkxMatchBase* kxMatch = nullptr;

namespace {

// The search tests every path against the same one or two patterns, so each thread keeps
// the patterns it compiled last; the answers are those of a fresh compile.
struct CachedPattern {
  std::string pattern;
  std::shared_ptr<const regex::TRegex> compiled;  // null: the pattern does not compile
  bool valid = false;
};

const regex::TRegex* CompiledFor(const std::string& pattern, bool& compiles) {
  thread_local CachedPattern cache[2];
  thread_local unsigned next_slot = 0;
  for (auto& slot : cache) {
    if (slot.valid && slot.pattern == pattern) {
      compiles = slot.compiled != nullptr;
      return slot.compiled.get();
    }
  }
  CachedPattern& slot = cache[next_slot];
  next_slot = (next_slot + 1) % 2;
  slot.pattern = pattern;
  slot.valid = true;
  try {
    slot.compiled = regex::Compile(pattern, regex::kIgnoreCase);
  } catch (const std::exception&) {
    slot.compiled.reset();
  }
  compiles = slot.compiled != nullptr;
  return slot.compiled.get();
}

}  // namespace

bool TkxMatch::IsMatch(const std::string& text, const std::string& pattern) const {
  try {
    bool compiles = false;
    const regex::TRegex* re = CompiledFor(pattern, compiles);
    // A pattern that does not compile lets the file through.
    return !compiles || re->Test(text);
  } catch (const std::exception&) {
    return true;  // the engine gave up (too complex a match): the filter never rejects on it
  }
}

std::string WildcardToRegex(const std::string& mask) {
  // Each rule is applied to the whole text in turn; the dots that "*" and "?" bring in come
  // after the rule for "." and stay unescaped.
  static const struct {
    const char* from;
    const char* to;
  } kRules[] = {{".", "\\."}, {"*", ".*"},  {"?", ".?"},  {"+", "\\+"}, {"^", "\\^"}, {"$", "\\$"},
                {"(", "\\("}, {")", "\\)"}, {"[", "\\["}, {"]", "\\]"}, {"{", "\\{"}, {"}", "\\}"}};
  std::string result = mask;
  for (const auto& rule : kRules) {
    std::string next;
    next.reserve(result.size() * 2);
    for (char c : result) {
      if (c == rule.from[0]) {
        next += rule.to;
      } else {
        next += c;
      }
    }
    result.swap(next);
  }
  return result + "$";
}

}  // namespace orvelle
