#include "console/usage.h"

#include "platform/text.h"

namespace orvelle::console {

namespace {

// Option lines: the name from column 2, the default from column 22, the meaning from column 30,
// wrapped before column 80.
constexpr size_t kDefaultColumn = 22;
constexpr size_t kMeaningColumn = 30;
constexpr size_t kWidth = 79;

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string OptionLine(const OptionDoc& o) {
  std::string line = Padded("  " + std::string(o.name), kDefaultColumn);
  line = Padded(line + (o.default_value[0] != '\0' ? o.default_value : "-"), kMeaningColumn);
  std::string out;
  const std::string meaning = o.meaning;
  size_t at = 0;
  while (at < meaning.size()) {
    size_t end = meaning.size();
    if (line.size() + (end - at) > kWidth) {
      end = meaning.rfind(' ', at + (kWidth - line.size()));
      if (end == std::string::npos || end <= at) end = meaning.size();
    }
    out += line + meaning.substr(at, end - at) + "\n";
    at = end < meaning.size() ? end + 1 : end;
    line = std::string(kMeaningColumn, ' ');
  }
  return out;
}

bool Writes(std::FILE* out, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0 &&
         !std::ferror(out);
}

}  // namespace

const char* const kNothingToRun =
    "orvelle: nothing to compact: name a database, a batch project file or \"-P:\" options "
    "(orvelle --help tells how)";

const std::vector<OptionDoc>& BatchOptions() {
  static const std::vector<OptionDoc> options = {
      {"Source", "", "folder and file mask (DIR/*.*db), one file, or a file: address"},
      {"Target", "", "target folder (created when missing), or a file: address of one"},
      {"Subdir", "false", "search sub-folders too"},
      {"ThreadsCount", "1", "files compacted side by side; at most 64"},
      {"IsOverwrite", "false",
       "an existing target: skip, true (replace) or false (write -tessoly-NAME beside it)"},
      {"KeepTargetSubdirs", "true", "repeat the source's sub-folders under the target"},
      {"KeepFileTime", "false", "give the target the source's file times"},
      {"DeleteSource", "false", "delete the source after success"},
      {"RenameSource", "", "append this text to the source's name after success"},
      {"Password", "", "database password"},
      {"RegExt", "", "regular expression that a file's full path must also match"},
      {"SkipHidden", "false", "leave hidden files out"},
      {"LogFile", "", "write the run's log here (one line per file, replaced each run)"},
      {"Report", "", "write a JSON Lines report here, one object per file as it finishes"},
      {"PureConsole", "false", "run without a window (a build without one always does)"},
      {"Engine", "auto",
       "dao (Microsoft's DAO), native (Orvelle's own engine), or auto: DAO when it exists"},
  };
  return options;
}

std::string UsageText() {
  std::string text =
      "Usage: orvelle [ARGUMENT]\n"
      "Compacts Microsoft Access databases (.mdb, .accdb) in batches.\n"
      "\n"
      "Only the first argument counts. It is one of:\n"
      "  -P:NAME=VALUE,...      the options of a batch, separated by \",\" or \";\"\n"
      "  PROJECT.batch-tessoly  a batch project file: NAME=VALUE lines\n"
      "  DATABASE               one database: the source, its folder the target\n"
      "  (nothing)              the default project beside the program\n"
      "                         (orvelle.batch-tessoly)\n"
      "  -h, --help             show this text\n"
      "  --version              show the program's name and version\n"
      "\n"
      "Options (name, default, meaning); booleans read 1/0 or True/False:\n";
  for (const OptionDoc& o : BatchOptions()) text += OptionLine(o);
  text +=
      "\n"
      "While a run works, one line on standard error shows the files done and found,\n"
      "the failures, the bytes processed and the file in hand (only when standard\n"
      "error is a terminal); every run ends with a summary line there.\n"
      "\n"
      "Exit codes:\n"
      "  0  a run took place, whatever its per-file results (see the log or report)\n"
      "  1  the run stopped on a failure of the program itself\n"
      "  2  nothing could be searched or set up and no file was touched, or the\n"
      "     argument was not understood; the reason is on standard error\n"
      "\n"
      "Environment:\n"
      "  ORVELLE_QUIET  when true (1, True), no error report or notice is offered\n"
      "\n"
      "Examples:\n"
      "  orvelle \"-P:Source=/data/db/*.*db,Target=/data/out,Subdir=1,LogFile=run.log\"\n"
      "  orvelle \"-P:Source=/db/*.mdb,Target=/db,IsOverwrite=1,Report=run.jsonl\"\n";
  return text;
}

std::string VersionText(const std::string& version) { return "orvelle " + version + "\n"; }

std::optional<int> AnswerArgument(const std::string& first, const std::string& version,
                                  std::FILE* out, std::FILE* err) {
  if (first.size() < 2 || first[0] != '-') return std::nullopt;
  std::string answer;
  if (first == "--help" || first == "-h") {
    answer = UsageText();
  } else if (first == "--version") {
    answer = VersionText(version);
  } else if (first[1] != '-' && std::string("PpIiUu").find(first[1]) != std::string::npos) {
    return std::nullopt;  // the batch's own switches
  } else {
    const std::string name = first.substr(0, first.find('='));
    std::fprintf(err, "orvelle: unknown option \"%s\" (orvelle --help lists the forms)\n",
                 text::EscapeLine(name).c_str());
    return 2;
  }
  if (Writes(out, answer)) return 0;
  std::fprintf(err, "orvelle: standard output cannot be written\n");
  return 1;
}

}  // namespace orvelle::console
