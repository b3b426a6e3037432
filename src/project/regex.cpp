#include "project/regex.h"

#include <boost/regex.hpp>

#include "platform/text.h"

namespace orvelle::regex {
namespace {

// The engine's own traits, with letter case folded by the text seam: for every script, and
// the same way the file system's names are compared. Matching runs over wide characters
// (one code point each on POSIX), so a letter outside ASCII is one character, not a run of
// bytes that no case rule applies to.
class FoldingTraits : public boost::cpp_regex_traits<wchar_t> {
 public:
  wchar_t translate(wchar_t c) const { return c; }
  wchar_t translate(wchar_t c, bool icase) const { return icase ? translate_nocase(c) : c; }
  wchar_t translate_nocase(wchar_t c) const {
    return static_cast<wchar_t>(text::FoldCase(static_cast<char32_t>(c)));
  }
  wchar_t tolower(wchar_t c) const { return translate_nocase(c); }
};

using WideRegex = boost::basic_regex<wchar_t, FoldingTraits>;

}  // namespace

struct TRegex::Impl {
  WideRegex re;
  boost::regex_constants::match_flag_type flags;
};

TRegex::TRegex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TRegex::~TRegex() = default;

bool TRegex::Test(const std::string& input) const {
  return boost::regex_search(text::ToMatchText(input), impl_->re, impl_->flags);
}

std::string TRegex::Replace(const std::string& input, const std::string& replacement) const {
  return text::FromMatchText(
      boost::regex_replace(text::ToMatchText(input), impl_->re, text::ToMatchText(replacement),
                           impl_->flags | boost::regex_constants::format_first_only));
}

std::shared_ptr<const TRegex> Compile(const std::string& pattern, unsigned options) {
  auto impl = std::make_unique<TRegex::Impl>();
  boost::regex::flag_type syntax = boost::regex::ECMAScript;
  if (options & kIgnoreCase) syntax |= boost::regex::icase;
  // Without multi-line mode "^" and "$" see only the ends of the input, as in ECMAScript.
  if (!(options & kMultiline)) syntax |= boost::regex::no_mod_m;
  try {
    impl->re.assign(text::ToMatchText(pattern), syntax);
  } catch (const boost::regex_error& e) {
    throw RegexError(e.what());
  }
  impl->flags =
      boost::regex_constants::match_default | boost::regex_constants::match_not_dot_newline;
  return std::shared_ptr<const TRegex>(new TRegex(std::move(impl)));
}

bool RegexIsMatch(const std::string& input, const std::string& pattern, unsigned options) {
  return Compile(pattern, options)->Test(input);
}

std::string RegexReplace(const std::string& input, const std::string& pattern,
                         const std::string& replacement, unsigned options) {
  return Compile(pattern, options)->Replace(input, replacement);
}

}  // namespace orvelle::regex
