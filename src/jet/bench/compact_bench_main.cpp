// Compaction benchmark (not a test): times the native compactor against cp of the same input in
// the same run, split into the write phase (up to the flushed temporary file) and the
// verification that follows, and takes each compaction's peak memory from its own process.
//   orvelle-compact-bench FIXTURE-FOLDER WORK-FOLDER [MEGABYTES]
//   orvelle-compact-bench --grown IN WORK-FOLDER MEGABYTES   a file of live rows grown from IN
//   orvelle-compact-bench --one OUT-FOLDER IN...   (used by the above: one timed process)
//   orvelle-compact-bench --grow-one IN OUT MEGABYTES   (likewise: one timed growth)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "jet/compact.h"
#include "jet/compact_plan.h"
#include "jet/database.h"
#include "jet/testtools/bloat.h"
#include "jet/testtools/grow.h"

extern char** environ;

namespace {

using namespace orvelle::jet;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRepeats = 3;  // the best of three, so a stray hiccup does not count

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Run {
  double seconds = 0;  // wall time of the whole process
  double write = 0;    // compaction only: up to the flushed temporary file
  double verify = 0;   // compaction only: checker, comparison and rename
  long peak_kib = 0;   // the process's peak resident memory
};

// Starts argv, waits for it and returns its time; its standard output lands in `out` when
// given.
Run Spawn(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  Run r;
  pid_t pid = 0;
  auto t0 = Clock::now();
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.seconds = Since(t0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(args[0] + " failed: " + text);
  }
  if (out) *out = text;
  return r;
}

// The high-water mark of this process's own memory. (ru_maxrss would also count the memory of
// the process that started it, which a spawned child inherits until it runs its program.)
long PeakKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// --one: compacts every input into the folder and prints the summed phase times and the peak
// memory.
int CompactEach(const std::string& folder, const std::vector<std::string>& inputs) {
  double write = 0, verify = 0;
  for (const std::string& in : inputs) {
    const std::string out = folder + "/" + fs::path(in).filename().string();
    CompactOptions options;
    Clock::time_point t0 = Clock::now(), written;
    options.before_verify = [&](const std::string&) { written = Clock::now(); };
    CompactDatabase(in, out, options);
    write += std::chrono::duration<double>(written - t0).count();
    verify += Since(written);
  }
  std::printf("%.6f %.6f %ld\n", write, verify, PeakKib());
  return 0;
}

uint64_t Bytes(const std::vector<std::string>& files) {
  uint64_t sum = 0;
  for (const std::string& f : files) sum += fs::file_size(f);
  return sum;
}

void Fresh(const std::string& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

struct Row {
  std::string name;
  uint64_t in_bytes = 0, out_bytes = 0;
  Run cp, compact;
  double cp_sync = 0;  // cp, then fsync of the copies (the compactor flushes its output too)
};

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().string());
  return out;
}

Row Measure(const std::string& name, const std::vector<std::string>& inputs,
            const std::string& work, const std::string& self) {
  Row row;
  row.name = name;
  row.in_bytes = Bytes(inputs);
  const std::string out = work + "/out";
  for (int i = 0; i < kRepeats; ++i) {
    Fresh(out);
    std::vector<std::string> cp = {"cp"};
    cp.insert(cp.end(), inputs.begin(), inputs.end());
    cp.push_back(out);
    Run c = Spawn(cp);
    std::vector<std::string> sync = {"sync"};
    for (const std::string& f : FilesIn(out)) sync.push_back(f);
    const double cp_sync = c.seconds + Spawn(sync).seconds;
    if (i == 0 || c.seconds < row.cp.seconds) row.cp = c;
    if (i == 0 || cp_sync < row.cp_sync) row.cp_sync = cp_sync;
    Fresh(out);
    std::vector<std::string> one = {self, "--one", out};
    one.insert(one.end(), inputs.begin(), inputs.end());
    std::string phases;
    Run k = Spawn(one, &phases);
    std::sscanf(phases.c_str(), "%lf %lf %ld", &k.write, &k.verify, &k.peak_kib);
    if (i == 0 || k.seconds < row.compact.seconds) row.compact = k;
  }
  row.out_bytes = Bytes(FilesIn(out));
  fs::remove_all(out);
  return row;
}

void Print(const std::vector<Row>& rows) {
  std::printf(
      "\n| case | input MB | output MB | cp s | cp+fsync s | compact s (write + verify) | "
      "verified / cp | write only / cp | verified / cp+fsync | peak MiB |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& r : rows) {
    const double cp = r.cp.seconds > 0 ? r.cp.seconds : 1e-9;
    // The write phase as the process saw it: the whole run less the verification.
    const double write_only = r.compact.seconds - r.compact.verify;
    std::printf(
        "| %s | %.1f | %.1f | %.3f | %.3f | %.3f (%.3f + %.3f) | %.2fx | %.2fx | %.2fx | %.1f "
        "|\n",
        r.name.c_str(), r.in_bytes / 1048576.0, r.out_bytes / 1048576.0, r.cp.seconds, r.cp_sync,
        r.compact.seconds, r.compact.write, r.compact.verify, r.compact.seconds / cp,
        write_only / cp, r.compact.seconds / r.cp_sync, r.compact.peak_kib / 1024.0);
  }
}

struct Sample {
  std::string path;
  uint32_t moved = 0;  // live pages that are not fixed
  uint32_t page_size = 0;
  uint32_t GapFor(uint64_t megabytes) const {
    return static_cast<uint32_t>(megabytes * 1048576 / page_size / (moved ? moved : 1));
  }
};

// The fixtures by the bytes compaction has to move, most first.
std::vector<Sample> RichestFirst(const std::vector<std::string>& files) {
  std::vector<Sample> out;
  for (const std::string& f : files) {
    auto db = Database::OpenFile(f);
    PageInventory inv = CollectInventory(*db);
    Sample s{f, 0, db->PageSize()};
    for (uint32_t p = 0; p < inv.page_count; ++p) s.moved += inv.Live(p) && !inv.Fixed(p);
    out.push_back(s);
  }
  std::sort(out.begin(), out.end(), [](const Sample& a, const Sample& b) {
    return uint64_t{a.moved} * a.page_size > uint64_t{b.moved} * b.page_size;
  });
  return out;
}

// False when the sample's maps cannot describe pages spread that far apart.
bool Spread(const Sample& sample, uint32_t gap, const std::string& path) {
  auto db = Database::OpenFile(sample.path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  try {
    test::WriteBloated(*db, gap, out);
  } catch (const JetError&) {
    fs::remove(path);
    return false;
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  return true;
}

// --grow-one: grows in to out and prints the time and the peak memory.
int GrowOne(const std::string& in, const std::string& out, uint64_t megabytes) {
  test::GrowOptions o;
  o.size = megabytes << 20;
  const Clock::time_point t0 = Clock::now();
  test::GrowReport r = test::GrowToFile(in, out, o);
  std::printf("%.6f %ld %llu\n", Since(t0), PeakKib(),
              static_cast<unsigned long long>(r.rows_before + r.rows_added));
  return 0;
}

// --grown: the grower's time and memory at a tenth of the size and at the size (its memory must
// not grow with the size), then the compactor on the large file of live rows against cp.
int GrownCase(const std::string& in, const std::string& work, uint64_t megabytes,
              const std::string& self) {
  Fresh(work);
  std::string big;
  std::printf(
      "\n| grown file | MB | rows | grow s | grower peak MiB |\n|---|---:|---:|---:|---:|\n");
  for (uint64_t mb : {std::max<uint64_t>(megabytes / 10, 1), megabytes}) {
    const std::string out = work + "/grown-" + std::to_string(mb) + ".mdb";
    std::string text;
    Spawn({self, "--grow-one", in, out, std::to_string(mb)}, &text);
    double seconds = 0;
    long peak = 0;
    unsigned long long rows = 0;
    std::sscanf(text.c_str(), "%lf %ld %llu", &seconds, &peak, &rows);
    std::printf("| %s | %.1f | %llu | %.3f | %.1f |\n", fs::path(out).filename().c_str(),
                fs::file_size(out) / 1048576.0, rows, seconds, peak / 1024.0);
    if (mb == megabytes) {
      big = out;
    } else {
      fs::remove(out);
    }
  }
  std::vector<Row> rows = {
      Measure(fs::path(in).filename().string() + " grown to " + std::to_string(megabytes) + " MB",
              {big}, work, self)};
  Print(rows);
  fs::remove_all(work);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 3 && std::string(argv[1]) == "--one") {
      return CompactEach(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    }
    if (argc == 5 && std::string(argv[1]) == "--grow-one") {
      return GrowOne(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
    }
    if (argc == 5 && std::string(argv[1]) == "--grown") {
      return GrownCase(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10),
                       fs::canonical("/proc/self/exe").string());
    }
    if (argc < 3) {
      std::fprintf(stderr, "usage: orvelle-compact-bench FIXTURE-FOLDER WORK-FOLDER [MEGABYTES]\n");
      return 2;
    }
    const std::string fixtures = argv[1], work = argv[2];
    const uint64_t megabytes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200;
    const std::string self = fs::canonical("/proc/self/exe").string();
    Fresh(work);

    // The folder: every plain fixture the compactor accepts, each to a fresh target.
    const std::string folder = work + "/folder";
    Fresh(folder);
    std::vector<std::string> accepted;
    int refused = 0;
    for (const auto& e : fs::directory_iterator(fixtures)) {
      const std::string ext = e.path().extension().string();
      if (ext != ".mdb" && ext != ".accdb") continue;
      const std::string copy = folder + "/" + e.path().filename().string();
      fs::copy_file(e.path(), copy);
      fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
      try {
        CompactDatabase(copy, work + "/probe");
        fs::remove(work + "/probe");
        accepted.push_back(copy);
      } catch (const CompactError&) {
        fs::remove(copy);
        ++refused;
      }
    }
    std::sort(accepted.begin(), accepted.end());

    // The richest sample that can be spread to the full size.
    std::vector<Sample> samples = RichestFirst(accepted);
    const std::string big = work + "/spread-big", small = work + "/spread-small";
    auto it = std::find_if(samples.begin(), samples.end(),
                           [&](const Sample& s) { return Spread(s, s.GapFor(megabytes), big); });
    if (it == samples.end()) throw std::runtime_error("no fixture can be spread that far");
    const Sample& sample = *it;
    std::printf("sample: %s (%u pages of %u bytes to move)\n", sample.path.c_str(), sample.moved,
                sample.page_size);
    std::printf("folder: %zu fixtures (%d refused as damaged or unsupported)\n", accepted.size(),
                refused);

    std::vector<Row> rows;
    auto spread_row = [&](const std::string& path, uint32_t gap) {
      rows.push_back(Measure(
          fs::path(sample.path).filename().string() + " spread out, gap " + std::to_string(gap),
          {path}, work, self));
      fs::remove(path);
    };
    spread_row(big, sample.GapFor(megabytes));
    const uint32_t small_gap = sample.GapFor(std::max<uint64_t>(megabytes / 10, 1));
    if (Spread(sample, small_gap, small)) spread_row(small, small_gap);
    // More data to move: the richest fixture, as far apart as its maps allow up to the size.
    const Sample& rich = samples.front();
    for (uint32_t gap = rich.GapFor(megabytes); gap >= 1; gap /= 2) {
      if (!Spread(rich, gap, small)) continue;
      rows.push_back(Measure(
          fs::path(rich.path).filename().string() + " spread out, gap " + std::to_string(gap),
          {small}, work, self));
      fs::remove(small);
      break;
    }
    rows.push_back(Measure("fixture folder (" + std::to_string(accepted.size()) + " files)",
                           accepted, work, self));
    Print(rows);
    fs::remove_all(work);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvelle-compact-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
