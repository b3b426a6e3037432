// The command line that a build without a window answers before any batch starts: the usage
// text, the version line and the refusal of an option it does not know.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace orvelle::console {

// One option of a batch, as the usage text and the manual page describe it.
struct OptionDoc {
  const char* name;
  const char* default_value;  // "" when it has none
  const char* meaning;
};

// Every option a batch reads, in the order the usage text lists them.
const std::vector<OptionDoc>& BatchOptions();

// The whole usage text of `program` ("orvelle"), ending with a line break.
std::string UsageText();
// "orvelle VERSION" with a line break.
std::string VersionText(const std::string& version);

// What the first argument asks before a batch: "--help"/"-h" print the usage text on `out`,
// "--version" the version line, both giving 0 (1 when `out` cannot be written); a switch
// the program does not know ("--anything", "-X") gives one line on `err` and 2. Anything
// else gives nullopt: the argument names a batch.
std::optional<int> AnswerArgument(const std::string& first, const std::string& version,
                                  std::FILE* out, std::FILE* err);

// What the program prints when it is started with nothing to run.
extern const char* const kNothingToRun;

}  // namespace orvelle::console
