#include "project/regex.h"

#include <boost/regex.hpp>

namespace orvelle::regex {

struct TRegex::Impl {
  boost::regex re;
  boost::regex_constants::match_flag_type flags;
};

TRegex::TRegex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TRegex::~TRegex() = default;

bool TRegex::Test(const std::string& input) const {
  return boost::regex_search(input, impl_->re, impl_->flags);
}

std::string TRegex::Replace(const std::string& input, const std::string& replacement) const {
  return boost::regex_replace(input, impl_->re, replacement,
                              impl_->flags | boost::regex_constants::format_first_only);
}

std::shared_ptr<const TRegex> Compile(const std::string& pattern, unsigned options) {
  auto impl = std::make_unique<TRegex::Impl>();
  boost::regex::flag_type syntax = boost::regex::ECMAScript;
  if (options & kIgnoreCase) syntax |= boost::regex::icase;
  // Without multi-line mode "^" and "$" see only the ends of the input, as in ECMAScript.
  if (!(options & kMultiline)) syntax |= boost::regex::no_mod_m;
  try {
    impl->re.assign(pattern, syntax);
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
