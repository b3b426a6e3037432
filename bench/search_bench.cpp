// Speed of the search and of the hand-out, measured on one machine in one run:
//  1. searching and filtering a generated tree against `find -iname` over the same tree;
//  2. files per second through 1, 2 and 4 workers with an engine that does nothing;
//  3. CPU time that idle workers use while the search is slow.
// Usage: orvelle-bench [work-folder]
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/app.h"
#include "batch/batch.h"
#include "jobs/tessoly.h"
#include "platform/automation.h"
#include "platform/fs.h"
#include "project/match.h"
#include "project/project.h"

namespace orvelle {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// `folders` leaf folders under ten parents, `per_folder` files each, half of them matching
// the default mask.
void MakeTree(const std::string& root, int folders, int per_folder) {
  const char* exts[] = {".mdb", ".accdb", ".txt", ".doc"};
  for (int f = 0; f < folders; ++f) {
    std::string dir = root + "/p" + std::to_string(f % 10) + "/d" + std::to_string(f) + "/";
    fs::ForceDirectories(dir);
    for (int i = 0; i < per_folder; ++i) {
      fs::WriteAll(dir + "file" + std::to_string(i) + exts[i % 4], "0123456789abcdef");
    }
  }
}

struct Timing {
  double wall = 0;
  double cpu = 0;
};

double CpuOf(int who) {
  struct rusage ru;
  getrusage(who, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

Timing TimeFind(const std::string& root) {
  std::string cmd = "find '" + root + "' -iname '*.*db' > /dev/null";
  double cpu = CpuOf(RUSAGE_CHILDREN);
  auto start = Clock::now();
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "find failed\n");
  return {Seconds(start), CpuOf(RUSAGE_CHILDREN) - cpu};
}

// The search thread alone: enumeration, attribute rules, filter and node list.
Timing TimeSearch(const std::string& root, const std::string& out, int* found) {
  double cpu = CpuOf(RUSAGE_SELF);
  auto start = Clock::now();
  TkxBatch batch;
  batch.Setup(root + "/*.*db", out, true);
  batch.WaitFor();
  Timing t{Seconds(start), CpuOf(RUSAGE_SELF) - cpu};
  *found = batch.Count();
  return t;
}

class NullEngine : public automation::Object {
 public:
  // Leaves an empty target, the least a compaction can do.
  void Invoke(const std::string&, const automation::Args& args) override {
    fs::WriteAll(*args[1], "");
  }
};

double FilesPerSecond(const std::string& root, const std::string& out, int workers, int* files) {
  kxProject->Options().SetValue("ThreadsCount", std::to_string(workers));
  kxProject->Options().SetValue("IsOverwrite", "1");
  auto start = Clock::now();
  TkxBatch batch;
  batch.Setup(root + "/*.*db", out, true);
  auto jobs = TkxConvertor::CreateJobs(&batch, out, nullptr);
  jobs.Start();
  jobs.WaitFor();
  double seconds = Seconds(start);
  *files = batch.Successes();
  if (batch.Failures() > 0) std::fprintf(stderr, "failures: %d\n", batch.Failures());
  return *files / seconds;
}

// Four workers wait while nodes arrive one every 50 ms; returns the CPU seconds the whole
// process used over that time (the feeding thread itself only sleeps).
double IdleCpu(int nodes) {
  kxProject->Options().SetValue("ThreadsCount", "4");
  TkxBatch batch;
  auto jobs = TkxConvertor::CreateJobs(&batch, "/nonexistent-target/", nullptr);
  // The base convertor does nothing with a node: only the waiting is measured.
  double cpu_before = CpuOf(RUSAGE_SELF);
  jobs.Start();
  for (int i = 0; i < nodes; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    batch.AddFile("/slow/" + std::to_string(i));
  }
  batch.AddListedFile("/slow/last");
  jobs.WaitFor();
  return CpuOf(RUSAGE_SELF) - cpu_before;
}

TkxWorkBase* NothingJob(TkxBatch* batch, int count, const TkxNodeEvent& on_done) {
  return TkxConvertor::Create(batch, count, on_done);
}

int Main(int argc, char** argv) {
  std::string work = argc > 1 ? argv[1] : "/tmp/orvelle-bench";
  std::string tree = work + "/tree";
  std::string small = work + "/small";
  if (!fs::DirectoryExists(tree)) {
    std::printf("Generating 100,000 files in 1,000 folders under %s ...\n", tree.c_str());
    MakeTree(tree, 1000, 100);
  }
  if (!fs::DirectoryExists(small)) MakeTree(small, 100, 100);

  TkxProject project(work + "/orvelle", "");
  project.JobClass = &TkxTessoly::Create;
  project.ShortName = "tessoly";
  project.TargetDelimiter = '/';
  TkxMatch match;
  kxProject = &project;
  kxMatch = &match;

  TimeFind(tree);  // warm the cache for both
  Timing find_best{1e9, 1e9}, search_best{1e9, 1e9};
  int found = 0;
  for (int round = 0; round < 5; ++round) {
    Timing f = TimeFind(tree);
    Timing s = TimeSearch(tree, work + "/out", &found);
    find_best = {std::min(find_best.wall, f.wall), std::min(find_best.cpu, f.cpu)};
    search_best = {std::min(search_best.wall, s.wall), std::min(search_best.cpu, s.cpu)};
  }
  std::printf(
      "1. search + filter of 100,000 files: %d accepted in %.3f s (CPU %.3f s); "
      "find -iname: %.3f s (CPU %.3f s); ratio %.2f (CPU %.2f)\n",
      found, search_best.wall, search_best.cpu, find_best.wall, find_best.cpu,
      search_best.wall / find_best.wall, search_best.cpu / find_best.cpu);

  automation::RegisterProvider("DAO.DBEngine.120", [] { return std::make_unique<NullEngine>(); });
  for (int workers : {1, 2, 4}) {
    int files = 0;
    double rate = FilesPerSecond(small, work + "/out" + std::to_string(workers), workers, &files);
    std::printf("2. %d worker(s): %d files, %.0f files/s\n", workers, files, rate);
  }
  automation::UnregisterProvider("DAO.DBEngine.120");

  project.JobClass = &NothingJob;
  const int nodes = 40;
  double cpu = IdleCpu(nodes);
  std::printf("3. 4 idle workers over %.1f s of slow search: %.4f s CPU (whole process)\n",
              nodes * 0.05, cpu);
  kxProject = nullptr;
  kxMatch = nullptr;
  return 0;
}

}  // namespace
}  // namespace orvelle

int main(int argc, char** argv) { return orvelle::Main(argc, argv); }
