// The real program compacting the real databases with the native engine, as a separate
// process: a folder into a target folder, the same folder in place, and in place while the
// process is killed at any moment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "engine/testtools/program_copy_posix.h"
#include "jet/checker.h"
#include "jet/compact.h"
#include "jet/compare.h"
#include "jet/database.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/jet_fixtures.h"
#include "jet/testtools/office_fixtures.h"
#include "test_support.h"

namespace orvelle {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ScopedTempDir;
using test::WriteBytes;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> SortedLogLines(const std::string& path) {
  std::string log = ReadBytes(path);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  EXPECT_EQ(start, log.size()) << "text after the last line end";
  std::sort(lines.begin(), lines.end());
  return lines;
}

// "" when the file passes the structural checker and holds what `original` holds; else why not.
std::string WhyNotCompactedFrom(const std::string& original, const std::string& file,
                                const std::string& password = std::string()) {
  try {
    auto in = jet::Database::OpenFile(original, password);
    auto out = jet::Database::OpenFile(file, password);
    jet::CheckReport check = jet::CheckDatabase(*out);
    if (!check.Consistent()) return "inconsistent: " + check.findings.front().Describe();
    jet::CompareReport same = jet::CompareDatabases(*in, *out);
    if (!same.Equivalent()) return "different: " + same.differences.front();
  } catch (const std::exception& e) {
    return std::string("unreadable: ") + e.what();
  }
  return "";
}

class NativeConsoleRun : public ::testing::Test {
 protected:
  ScopedTempDir dir_, program_dir_;
  test::ProgramCopy program_{program_dir_.Path()};
};

TEST_F(NativeConsoleRun, CompactsTheFixtureFolderIntoATargetAndThenInPlace) {
  const std::vector<std::string> fixtures = jet::test::CompactableFixtures();
  ORVELLE_REQUIRE_CORPUS(fixtures);
  const std::string in = dir_.Sub("in"), out = dir_.Sub("out"), log = dir_.Sub("run.log");
  std::map<std::string, std::string> originals;  // name -> fixture path
  std::vector<std::string> names;
  for (const std::string& f : fixtures) {
    const std::string name = fs::path(f).filename().string();
    originals[name] = f;
    names.push_back(name);
    WriteBytes(in + "/" + name, ReadBytes(f));
  }

  ASSERT_EQ(
      program_.Run("-P:Source=" + in + "/*.*db,Target=" + out + ",PureConsole=1,LogFile=" + log),
      0);
  EXPECT_EQ(program_.Told(), "");
  std::vector<std::string> expected;
  for (const std::string& n : names)
    expected.push_back("Success => " + in + "/" + n + " => " + out + "/" + n);
  EXPECT_EQ(SortedLogLines(log), expected);
  EXPECT_EQ(Names(in), names);
  EXPECT_EQ(Names(out), names);
  for (const std::string& n : names) {
    SCOPED_TRACE(n);
    EXPECT_EQ(ReadBytes(in + "/" + n), ReadBytes(originals[n]));
    EXPECT_EQ(WhyNotCompactedFrom(originals[n], out + "/" + n), "");
  }

  // In place, two workers side by side: each file is replaced by exactly what the library
  // makes of the original, and no working copy stays.
  ASSERT_EQ(program_.Run("-P:Source=" + in + "/*.*db,Target=" + in +
                         ",IsOverwrite=1,ThreadsCount=2,PureConsole=1,LogFile=" + log),
            0);
  expected.clear();
  for (const std::string& n : names)
    expected.push_back("Success => " + in + "/" + n + " => " + in + "/" + n);
  EXPECT_EQ(SortedLogLines(log), expected);
  EXPECT_EQ(Names(in), names);
  const std::string direct = dir_.Sub("direct");
  fs::create_directories(direct);
  for (const std::string& n : names) {
    SCOPED_TRACE(n);
    jet::CompactDatabase(originals[n], direct + "/" + n);
    EXPECT_EQ(ReadBytes(in + "/" + n), ReadBytes(direct + "/" + n));
    EXPECT_EQ(ReadBytes(out + "/" + n), ReadBytes(direct + "/" + n));
  }
}

TEST_F(NativeConsoleRun, RefusedInPlaceKeepsTheOriginalUnderItsName) {
  const std::vector<std::string> refused = jet::test::RefusedFixtures();
  ORVELLE_REQUIRE_CORPUS(refused.size() == 2);
  const std::string in = dir_.Sub("in"), log = dir_.Sub("run.log");
  std::vector<std::string> names;
  for (const std::string& f : refused) {
    names.push_back(fs::path(f).filename().string());
    WriteBytes(in + "/" + names.back(), ReadBytes(f));
  }
  std::sort(names.begin(), names.end());
  ASSERT_EQ(program_.Run("-P:Source=" + in + "/*.*db,Target=" + in +
                         ",IsOverwrite=1,PureConsole=1,LogFile=" + log),
            0);
  // The result names the user's database, not the working copy the engine was given.
  EXPECT_EQ(
      SortedLogLines(log),
      (std::vector<std::string>{
          "Failure => " + in + "/V2007-unsupportedFieldsTestV2007.accdb => Cannot compact \"" + in +
              "/V2007-unsupportedFieldsTestV2007.accdb\": the database cannot be compacted: "
              "page 143: table \"Test\" column \"UnknownVar\" has the unknown type 0x46 and "
              "holds data (page 143 row 0); its values might name pages, which cannot be "
              "moved safely",
          "Failure => " + in + "/debian-fp-units-db-testodbc.mdb => Cannot compact \"" + in +
              "/debian-fp-units-db-testodbc.mdb\": the database is damaged: page 19: data "
              "page: row 16: variable offset 0 is 0x6F, outside 0x0..0x69",
      }));
  EXPECT_EQ(Names(in), names);
  for (const std::string& f : refused) {
    EXPECT_EQ(ReadBytes(in + "/" + fs::path(f).filename().string()), ReadBytes(f));
  }
}

// The Debian sample runs anywhere; the fixture folder when it is there.
std::string AnyDatabase() {
  std::string path = jet::test::DebianFixture("Monitor.mdb");
  return path.empty() ? jet::test::Fixture("V2000-delTestV2000.mdb") : path;
}

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st;
}

// In place the compacted database keeps its mode, owner and group; a named pipe among the
// databases never blocks the run and is neither renamed nor opened.
TEST_F(NativeConsoleRun, InPlaceKeepsPermissionsAndNeverOpensANamedPipe) {
  const std::string fixture = AnyDatabase();
  ORVELLE_REQUIRE_DEBIAN(fixture);
  const std::string in = dir_.Sub("in"), log = dir_.Sub("run.log");
  const std::string bytes = jet::test::Bloat("x.mdb", ReadBytes(fixture), 8);
  gid_t groups[64];
  const int n = getgroups(64, groups);
  gid_t group = getegid();
  for (int i = 0; i < n; ++i) {
    if (groups[i] != getegid()) group = groups[i];
  }
  if (geteuid() == 0) group = 65534;
  const std::vector<std::pair<std::string, mode_t>> cases = {
      {"private.mdb", 0600}, {"readonly.mdb", 0444}, {"shared.mdb", 0660}};
  for (const auto& [name, mode] : cases) {
    WriteBytes(in + "/" + name, bytes);
    ASSERT_EQ(chown((in + "/" + name).c_str(), geteuid(), group), 0);
    ASSERT_EQ(chmod((in + "/" + name).c_str(), mode), 0);
  }
  ASSERT_EQ(mkfifo((in + "/pipe.mdb").c_str(), 0600), 0);
  const pid_t pid = program_.Start("-P:Source=" + in + "/*.mdb,Target=" + in +
                                   ",IsOverwrite=1,PureConsole=1,LogFile=" + log);
  int status = 0;
  for (int i = 0; i < 600 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(100000);
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the run hung";
  }
  for (const std::string& line : SortedLogLines(log)) {
    if (line.find("pipe.mdb") != std::string::npos) {
      // The search may leave the pipe out; a job that gets it refuses it.
      EXPECT_EQ(line, "Failure => " + in + "/pipe.mdb => Cannot compact \"" + in +
                          "/pipe.mdb\": it is a named pipe, not a database file");
    } else {
      EXPECT_EQ(line.substr(0, 11), "Success => ") << line;
    }
  }
  EXPECT_EQ(Names(in),
            (std::vector<std::string>{"pipe.mdb", "private.mdb", "readonly.mdb", "shared.mdb"}));
  EXPECT_TRUE(S_ISFIFO(StatOf(in + "/pipe.mdb").st_mode));
  WriteBytes(dir_.Sub("original.mdb"), bytes);
  for (const auto& [name, mode] : cases) {
    SCOPED_TRACE(name);
    const struct stat st = StatOf(in + "/" + name);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_gid, group);
    EXPECT_NE(ReadBytes(in + "/" + name), bytes);
    EXPECT_EQ(WhyNotCompactedFrom(dir_.Sub("original.mdb"), in + "/" + name), "");
  }
}

// Two programs compacting one folder in place at once: each database is compacted by one of
// them, the other reports it in use; no failure of any other kind, and nothing is lost.
TEST_F(NativeConsoleRun, TwoProgramsInPlaceOnOneFolderSeeEachOthersLocks) {
  const std::string fixture = AnyDatabase();
  ORVELLE_REQUIRE_DEBIAN(fixture);
  ScopedTempDir other_dir;
  test::ProgramCopy other(other_dir.Path());
  const std::string in = dir_.Sub("in");
  const std::string bytes = jet::test::Bloat("x.mdb", ReadBytes(fixture), 40);
  WriteBytes(dir_.Sub("original.mdb"), bytes);
  std::vector<std::string> names;
  for (int i = 0; i < 8; ++i) {
    names.push_back("db" + std::to_string(i) + ".mdb");
    WriteBytes(in + "/" + names.back(), bytes);
  }
  const std::string args =
      "-P:Source=" + in + "/*.mdb,Target=" + in + ",IsOverwrite=1,ThreadsCount=2,PureConsole=1";
  const pid_t first = program_.Start(args + ",LogFile=" + dir_.Sub("1.log"));
  const pid_t second = other.Start(args + ",LogFile=" + dir_.Sub("2.log"));
  ASSERT_EQ(test::ProgramCopy::Wait(first), 0);
  ASSERT_EQ(test::ProgramCopy::Wait(second), 0);
  int successes = 0;
  for (const char* log : {"1.log", "2.log"}) {
    for (const std::string& line : SortedLogLines(dir_.Sub(log))) {
      if (line.rfind("Success => ", 0) == 0) {
        ++successes;
        continue;
      }
      EXPECT_TRUE(std::regex_match(line, std::regex("Failure => (.*) => Cannot compact \"\\1\": "
                                                    "the database is in use \\(lock file .*")))
          << line;
    }
  }
  EXPECT_GE(successes, 8);
  std::printf("[ in use   ] %d of %d results\n", 16 - successes, 16);
  EXPECT_EQ(Names(in), names);
  for (const std::string& n : names) {
    EXPECT_EQ(WhyNotCompactedFrom(dir_.Sub("original.mdb"), in + "/" + n), "") << n;
  }
}

// One database of the kill test: its name, its working copy's name and its original bytes.
struct KillCase {
  std::string name, working, original_path, bytes;
};

// True when `orvelle-jet info` calls the file consistent (its exit status says so).
bool InfoSaysConsistent(const std::string& path) {
  std::string command =
      "\"" + test::BuiltProgram("orvelle-jet") + "\" info \"" + path + "\" >/dev/null";
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

bool IsPrivateFolder(const std::string& name) { return name.rfind(".orvelle-", 0) == 0; }

// After a kill, for every database: its own name holds the original or a verified compaction
// of it, or it is missing and its working copy holds the original byte for byte; a working
// copy beside the database is the original too. Nothing else lies in the folder but the
// job's private folders with unfinished output and the lock file a job held. Returns a short
// word for the state found.
std::string ExpectRecoverable(const std::string& folder, const std::vector<KillCase>& cases) {
  std::vector<std::string> allowed;
  std::string states;
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder + "/" + c.name, working = folder + "/" + c.working;
    allowed.insert(allowed.end(),
                   {c.name, c.working, fs::path(jet::LockFileFor(path)).filename().string()});
    const bool has = test::Exists(path), has_working = test::Exists(working);
    std::string state = "-";
    if (has) {
      if (ReadBytes(path) == c.bytes) {
        state = "o";
      } else {
        state = "c";
        EXPECT_EQ(WhyNotCompactedFrom(c.original_path, path), "");
      }
    } else {
      EXPECT_TRUE(has_working) << c.name << " is gone and has no working copy";
    }
    if (has_working) {
      state += "w";
      EXPECT_TRUE(ReadBytes(working) == c.bytes) << c.working << " is not the original";
    }
    if (test::Exists(jet::LockFileFor(path))) state += "l";
    states += state + " ";
  }
  for (const std::string& n : Names(folder)) {
    if (IsPrivateFolder(n)) {
      states += "t ";
      continue;
    }
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), n), allowed.end()) << "stray file " << n;
  }
  return states;
}

// The recovery the README gives for a killed in-place run.
void Recover(const std::string& folder, const std::vector<KillCase>& cases) {
  for (const KillCase& c : cases) {
    const std::string path = folder + "/" + c.name, working = folder + "/" + c.working;
    if (test::Exists(working)) {
      if (!test::Exists(path) || !InfoSaysConsistent(path)) {
        fs::rename(working, path);
      } else {
        fs::remove(working);
      }
    }
    // The killed program held it; nobody holds it now.
    fs::remove(jet::LockFileFor(path));
  }
  for (const std::string& n : Names(folder)) {
    if (IsPrivateFolder(n)) fs::remove_all(folder + "/" + n);
  }
}

// The program is killed (SIGKILL) at moments spread over a whole in-place run over a folder
// with a large spread-out database and smaller ones; whatever the moment, every database is
// either in place and sound or, untouched, in its working copy, and the README's recovery
// brings back a folder of sound databases.
TEST_F(NativeConsoleRun, KilledInPlaceLeavesEachDatabaseOrItsUntouchedWorkingCopy) {
  std::vector<std::string> fixtures = jet::test::CompactableFixtures();
  ORVELLE_REQUIRE_CORPUS(fixtures);
  const std::string originals = dir_.Sub("originals"), folder = dir_.Sub("db");
  std::vector<KillCase> cases;
  auto add = [&](const std::string& fixture, uint32_t gap) {
    const std::string name = fs::path(fixture).filename().string();
    KillCase c{name, name + ".orvelle.bak", originals + "/" + name,
               jet::test::Bloat(name, ReadBytes(fixture), gap)};
    WriteBytes(c.original_path, c.bytes);
    cases.push_back(c);
  };
  add(jet::test::Fixture("V2000-testRefGlobalV2000.mdb"), 200);  // about 34 MB
  for (size_t i = 0; i < fixtures.size() && cases.size() < 12; i += 5) {
    if (fixtures[i].find("RefGlobal") == std::string::npos) add(fixtures[i], 4);
  }
  const std::string args = "-P:Source=" + folder + "/*.*db,Target=" + folder +
                           ",IsOverwrite=1,PureConsole=1,LogFile=" + dir_.Sub("run.log");
  auto reset = [&] {
    fs::remove_all(folder);
    for (const KillCase& c : cases) WriteBytes(folder + "/" + c.name, c.bytes);
  };

  // A whole run first: its length spreads the kills, and it must compact everything.
  reset();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(program_.Run(args), 0);
  const auto whole = std::chrono::steady_clock::now() - t0;
  for (const std::string& line : SortedLogLines(dir_.Sub("run.log"))) {
    EXPECT_EQ(line.substr(0, 11), "Success => ");
  }
  for (const KillCase& c : cases) {
    EXPECT_EQ(WhyNotCompactedFrom(c.original_path, folder + "/" + c.name), "") << c.name;
  }
  EXPECT_EQ(SortedLogLines(dir_.Sub("run.log")).size(), cases.size());

  // Moments: fractions of the whole run, and the first sight of a working copy, of unfinished
  // output and of the large database's name missing.
  const std::string big = folder + "/" + cases[0].name;
  using Clock = std::chrono::steady_clock;
  std::vector<std::function<bool()>> moments;
  for (int i = 0; i <= 12; ++i) {
    // Counted from the first question, asked right after the start.
    moments.push_back([&, i, start = Clock::time_point()]() mutable {
      if (start == Clock::time_point()) start = Clock::now();
      return Clock::now() - start >= whole * i / 10;
    });
  }
  auto any_ending = [&](const std::string& ending) {
    return [&, ending] {
      for (const auto& e : fs::directory_iterator(folder)) {
        const std::string n = e.path().filename().string();
        if (n.size() > ending.size() && n.substr(n.size() - ending.size()) == ending) return true;
      }
      return false;
    };
  };
  moments.push_back(any_ending(".orvelle.bak"));
  moments.push_back([&] {
    for (const auto& e : fs::directory_iterator(folder)) {
      if (IsPrivateFolder(e.path().filename().string())) return true;
    }
    return false;
  });
  moments.push_back([&] { return !test::Exists(big); });

  std::string seen;
  for (size_t m = 0; m < moments.size(); ++m) {
    SCOPED_TRACE("moment " + std::to_string(m));
    reset();
    const pid_t pid = program_.Start(args);
    ASSERT_GT(pid, 0);
    // Polls until the moment comes or the program ends by itself; the bound only guards
    // against a hang.
    const auto limit = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    bool ended = false;
    while (!moments[m]() && Clock::now() < limit) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        break;
      }
    }
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    seen += ExpectRecoverable(folder, cases) + "| ";
    Recover(folder, cases);
    std::vector<std::string> names;
    for (const KillCase& c : cases) {
      names.push_back(c.name);
      const std::string path = folder + "/" + c.name;
      if (ReadBytes(path) != c.bytes) {
        EXPECT_EQ(WhyNotCompactedFrom(c.original_path, path), "") << c.name;
      }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Names(folder), names);
  }
  // o original, c compacted, w working copy, l lock file, t a private folder with unfinished
  // output; one group per kill.
  std::printf("[ killed   ] %s\n", seen.c_str());
}

// The option "Password" reaches the native engine as ";pwd=": a password-encrypted database
// compacts with it, and without it fails with Access's words and stays as it was.
TEST_F(NativeConsoleRun, CompactsAnEncryptedDatabaseWithThePasswordOption) {
  const std::string fixture = jet::test::EncryptedFixture("db2013-enc.accdb");
  ORVELLE_REQUIRE_CORPUS(fixture);
  const std::string in = dir_.Sub("in"), log = dir_.Sub("run.log");
  WriteBytes(in + "/secret.accdb", ReadBytes(fixture));
  const std::string run = "-P:Source=" + in + "/*.*db,PureConsole=1,LogFile=" + log + ",Target=";

  ASSERT_EQ(program_.Run(run + dir_.Sub("refused")), 0);
  EXPECT_EQ(
      SortedLogLines(log),
      (std::vector<std::string>{"Failure => " + in + "/secret.accdb => Not a valid password"}));
  EXPECT_EQ(Names(dir_.Sub("refused")), std::vector<std::string>{});

  ASSERT_EQ(program_.Run(run + dir_.Sub("out") + ",Password=1234"), 0);
  EXPECT_EQ(SortedLogLines(log),
            (std::vector<std::string>{"Success => " + in + "/secret.accdb => " + dir_.Sub("out") +
                                      "/secret.accdb"}));
  EXPECT_EQ(WhyNotCompactedFrom(fixture, dir_.Sub("out/secret.accdb"), "1234"), "");
  EXPECT_EQ(Names(in), std::vector<std::string>{"secret.accdb"});
  EXPECT_EQ(ReadBytes(in + "/secret.accdb"), ReadBytes(fixture));
}

}  // namespace
}  // namespace orvelle
