// The program as a user meets it on a terminal: its switches, the argument forms that start a
// batch, the progress line, the summary and the report, each run as a separate process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "console/usage.h"
#include "engine/app.h"
#include "jet/testtools/jet_fixtures.h"
#include "test_support.h"

namespace orvelle {
namespace {

using test::ReadBytes;
using test::WriteBytes;
namespace sfs = std::filesystem;

struct Outcome {
  int code = -1;
  std::string out, err;
};

// The built program copied into `folder`/bin (so its side files are the test's alone), run in
// `folder` with a quiet environment; standard error is a pipe, or a pseudo-terminal.
class Cli {
 public:
  explicit Cli(const std::string& folder) : folder_(folder), program_(folder + "/bin/orvelle") {
    sfs::create_directories(folder + "/bin");
    sfs::copy_file(test::BuiltProgram("orvelle"), program_);
    sfs::permissions(program_, sfs::perms::owner_all);
  }

  Outcome Run(const std::vector<std::string>& args, bool terminal = false) const {
    std::vector<std::string> argv_text{program_};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string out_file = folder_ + "/stdout.txt";
    int err_read = -1, err_write = -1;
    if (terminal) {
      if (openpty(&err_read, &err_write, nullptr, nullptr, nullptr) != 0) return {};
    } else {
      int fds[2];
      if (pipe(fds) != 0) return {};
      err_read = fds[0];
      err_write = fds[1];
    }
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || dup2(out, 1) < 0 || dup2(err_write, 2) < 0 || chdir(folder_.c_str()) != 0) {
        _exit(126);
      }
      close(err_read);
      setenv("ORVELLE_QUIET", "1", 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(err_write);
    Outcome outcome;
    char buffer[4096];
    // A pseudo-terminal ends with EIO once the program has closed its side.
    for (ssize_t got; (got = read(err_read, buffer, sizeof(buffer))) > 0;) {
      outcome.err.append(buffer, static_cast<size_t>(got));
    }
    close(err_read);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
    outcome.out = ReadBytes(out_file);
    return outcome;
  }

 private:
  std::string folder_, program_;
};

class CliTest : public ::testing::Test {
 protected:
  // A folder with two databases, one file that is none and one whose target exists, and a
  // target that is there for that one; empty when the Debian sample is absent.
  bool MakeMixedBatch() {
    const std::string monitor = jet::test::DebianFixture("Monitor.mdb");
    if (monitor.empty()) return false;
    const std::string bytes = ReadBytes(monitor);
    for (const char* name : {"a.mdb", "b.mdb", "skip.mdb"}) WriteBytes(Src(name), bytes);
    WriteBytes(Src("bad.mdb"), "no database at all");
    WriteBytes(dir_.Sub("out/skip.mdb"), "the target that is already there");
    return true;
  }
  std::string Src(const std::string& name) const { return dir_.Sub("src/" + name); }
  std::string MixedOptions() const {
    return "-P:Source=" + dir_.Sub("src") + "/*.mdb,Target=" + dir_.Sub("out") +
           ",IsOverwrite=skip,LogFile=" + dir_.Sub("run.log");
  }

  test::ScopedTempDir dir_;
  Cli cli_{dir_.Path()};
};

TEST_F(CliTest, HelpVersionAndUnknownOptions) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out, err;
  };
  const std::string unknown = " (orvelle --help lists the forms)\n";
  const Case cases[] = {
      {{"--help"}, 0, console::UsageText(), ""},
      {{"-h", "--version"}, 0, console::UsageText(), ""},  // only the first argument counts
      {{"--version"}, 0, std::string("orvelle ") + kProductVersion + "\n", ""},
      {{"--frobnicate"}, 2, "", "orvelle: unknown option \"--frobnicate\"" + unknown},
      {{"--Source=/x"}, 2, "", "orvelle: unknown option \"--Source\"" + unknown},
  };
  for (const Case& c : cases) {
    const Outcome o = cli_.Run(c.args);
    EXPECT_EQ(o.code, c.code) << testing::PrintToString(c.args);
    EXPECT_EQ(o.out, c.out) << testing::PrintToString(c.args);
    EXPECT_EQ(o.err, c.err) << testing::PrintToString(c.args);
  }
  // Nothing beside the program was read or written: no state file, no recent list.
  EXPECT_EQ(sfs::directory_iterator(dir_.Sub("bin"))->path().filename(), "orvelle");
  EXPECT_EQ(std::distance(sfs::directory_iterator(dir_.Sub("bin")), sfs::directory_iterator()), 1);
}

// A database path and a project file without "PureConsole" run the batch in the console.
TEST_F(CliTest, DatabasePathAndProjectFileRunInTheConsole) {
  const std::string monitor = jet::test::DebianFixture("Monitor.mdb");
  ORVELLE_REQUIRE_DEBIAN(monitor);
  WriteBytes(Src("a.mdb"), ReadBytes(monitor));

  // Into its own folder, where it exists: written beside it under the -tessoly- name.
  Outcome o = cli_.Run({Src("a.mdb")});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err.substr(0, o.err.find(';')), "orvelle: 1 file: 1 compacted, 0 failed, 0 skipped");
  EXPECT_TRUE(test::Exists(Src("-tessoly-a.mdb")));
  EXPECT_EQ(ReadBytes(Src("a.mdb")), ReadBytes(monitor));

  const std::string project = dir_.Sub("nightly.batch-tessoly");
  WriteBytes(project, "Source=" + dir_.Sub("src") + "/a.mdb\r\nTarget=" + dir_.Sub("out") +
                          "\r\nLogFile=" + dir_.Sub("run.log") + "\r\n");
  o = cli_.Run({project});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(ReadBytes(dir_.Sub("run.log")),
            "Success => " + Src("a.mdb") + " => " + dir_.Sub("out/a.mdb") + "\r\n");
  EXPECT_EQ(o.err.substr(0, o.err.find(';')), "orvelle: 1 file: 1 compacted, 0 failed, 0 skipped");
}

// The summary's numbers: files by outcome, and the sizes of the compacted files before and
// after as the files on disk have them.
TEST_F(CliTest, SummaryCountsSuccessesFailuresAndSkips) {
  ORVELLE_REQUIRE_DEBIAN(MakeMixedBatch());
  const Outcome o = cli_.Run({MixedOptions()});
  ASSERT_EQ(o.code, 0) << o.err;
  const int64_t before = 2 * sfs::file_size(Src("a.mdb"));
  const int64_t after =
      sfs::file_size(dir_.Sub("out/a.mdb")) + sfs::file_size(dir_.Sub("out/b.mdb"));
  char change[32];
  std::snprintf(change, sizeof(change), "%+.1f", 100.0 * (after - before) / before);
  const std::regex line(
      "orvelle: 4 files: 2 compacted, 1 failed, 1 skipped; ([0-9.]+) kB -> "
      "([0-9.]+) kB \\(([-+][0-9.]+)%\\) in [0-9]+\\.[0-9]{2} s\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(o.err, m, line)) << o.err;
  auto kb = [](int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", bytes / 1000.0);
    return std::string(text);
  };
  EXPECT_EQ(m[1], kb(before));
  EXPECT_EQ(m[2], kb(after));
  EXPECT_EQ(m[3], change);
  EXPECT_EQ(ReadBytes(dir_.Sub("out/skip.mdb")), "the target that is already there");
}

// Each report line parsed back agrees with the log line of the same file and with the files.
TEST_F(CliTest, ReportAgreesWithTheLog) {
  ORVELLE_REQUIRE_DEBIAN(MakeMixedBatch());
  const std::string report = dir_.Sub("run.jsonl");
  const Outcome o = cli_.Run({MixedOptions() + ",Report=" + report + ",ThreadsCount=2"});
  ASSERT_EQ(o.code, 0) << o.err;
  std::map<std::string, std::string> log;  // source -> "Word => message"
  const std::string log_text = ReadBytes(dir_.Sub("run.log"));
  const std::regex log_line("(Success|Failure) => (.*) => (.*)");
  for (size_t at = 0, end; (end = log_text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    std::smatch m;
    const std::string text = log_text.substr(at, end - at);
    ASSERT_TRUE(std::regex_match(text, m, log_line)) << text;
    log[m[2]] = std::string(m[1]) + " => " + std::string(m[3]);
  }
  ASSERT_EQ(log.size(), 4u);

  const std::string text = ReadBytes(report);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::map<std::string, std::string> states;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const nlohmann::json r = nlohmann::json::parse(text.substr(at, end - at));
    const std::string source = r.at("source"), state = r.at("state");
    SCOPED_TRACE(source);
    ASSERT_EQ(log.count(source), 1u);
    states[sfs::path(source).filename().string()] = state;
    const std::string target = dir_.Sub("out/" + sfs::path(source).filename().string());
    EXPECT_EQ(r.at("target"), target);
    EXPECT_TRUE(r.at("ms").is_number_integer());
    if (state != "skipped") {
      EXPECT_EQ(r.at("bytes_before"), sfs::file_size(source));
    }
    if (state == "success") {
      EXPECT_EQ(log[source], "Success => " + target);
      EXPECT_EQ(r.at("message"), "");
      EXPECT_EQ(r.at("bytes_after"), sfs::file_size(target));
      EXPECT_EQ(r.at("engine"), "native");
    } else if (state == "failure") {
      EXPECT_EQ(log[source], "Failure => " + r.at("message").get<std::string>());
      EXPECT_TRUE(r.at("bytes_after").is_null());
      EXPECT_EQ(r.at("engine"), "native");
    } else {
      EXPECT_EQ(state, "skipped");
      EXPECT_EQ(log[source], "Success => ");
      EXPECT_TRUE(r.at("bytes_after").is_null());
      EXPECT_TRUE(r.at("engine").is_null());
    }
  }
  EXPECT_EQ(states, (std::map<std::string, std::string>{{"a.mdb", "success"},
                                                        {"b.mdb", "success"},
                                                        {"bad.mdb", "failure"},
                                                        {"skip.mdb", "skipped"}}));
}

// An existing report is replaced; a file that is no report, a link or a pipe is left as it is
// and the run does not start.
TEST_F(CliTest, ReportNeverReplacesAFileItDidNotWrite) {
  WriteBytes(Src("a.mdb"), "x");
  const std::string options =
      "-P:Source=" + dir_.Sub("src") + "/*.mdb,Target=" + dir_.Sub("out") + ",Report=";
  const std::string report = dir_.Sub("old.jsonl");
  WriteBytes(report, "{\"source\":\"/gone.mdb\",\"state\":\"success\"}\n");
  Outcome o = cli_.Run({options + report});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(ReadBytes(report).find("/gone.mdb"), std::string::npos);
  EXPECT_NE(ReadBytes(report).find("\"source\":\"" + Src("a.mdb") + "\""), std::string::npos);

  const std::string notes = dir_.Sub("notes.txt"), link = dir_.Sub("link.jsonl");
  WriteBytes(notes, "my notes\n");
  sfs::create_symlink(notes, link);
  mkfifo(dir_.Sub("pipe.jsonl").c_str(), 0600);
  struct Case {
    std::string path, why;
  };
  const Case cases[] = {
      {notes, "it exists and holds something other than a report of this program"},
      {link, "it is a link, and a report is never written through one"},
      {dir_.Sub("pipe.jsonl"), "it exists and is not a regular file"},
      {dir_.Sub("missing/r.jsonl"), "No such file or directory"},
  };
  for (const Case& c : cases) {
    o = cli_.Run({options + c.path});
    EXPECT_EQ(o.code, 2) << c.path;
    EXPECT_EQ(o.err, "orvelle: The report file \"" + c.path + "\" cannot be written (" + c.why +
                         "), so no file was processed.\n");
  }
  EXPECT_EQ(ReadBytes(notes), "my notes\n");
  EXPECT_TRUE(sfs::is_symlink(link));
  EXPECT_FALSE(test::Exists(dir_.Sub("out/a.mdb")));
}

// The progress line is drawn on a terminal and cleared before the summary; on a pipe only
// the summary is written.
TEST_F(CliTest, ProgressOnlyOnATerminal) {
  for (const char* name : {"a.mdb", "b.mdb"}) WriteBytes(Src(name), "no database");
  const std::string options =
      "-P:Source=" + dir_.Sub("src") + "/*.mdb,Target=" + dir_.Sub("out") + ",Engine=native";
  const Outcome piped = cli_.Run({options});
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.err.find('\r'), std::string::npos) << piped.err;
  EXPECT_EQ(test::WithoutSummary(piped.err), "");

  const Outcome shown = cli_.Run({options}, true);
  EXPECT_EQ(shown.code, 0);
  const std::string clear = "\r\x1b[K";
  ASSERT_EQ(shown.err.rfind(clear, 0), 0u) << shown.err;
  EXPECT_TRUE(std::regex_search(shown.err, std::regex("\r\x1b\\[Korvelle: [0-2]/[0-2] files, ")))
      << shown.err;
  // The terminal turns the line break into CR LF; the summary stands on a cleared line.
  const size_t last = shown.err.rfind(clear);
  EXPECT_TRUE(std::regex_match(shown.err.substr(last + clear.size()),
                               std::regex("orvelle: 2 files: 0 compacted, 2 failed, 0 skipped; "
                                          "0 B -> 0 B in [0-9.]+ s\r\n")))
      << shown.err;
}

}  // namespace
}  // namespace orvelle
