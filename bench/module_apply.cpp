// Applies a repository of many small modules into an empty folder and
// compares the time with one curl process fetching the same URLs, eight at
// a time and one after another over one connection, and the processor time
// (user and system) with curl fetching them a hundred at a time; then applies again with everything
// current and compares with "sha256sum -c" over the same files. The runs of each side alternate, so
// that a busy moment of the machine hits both.
//
//   bench_module_apply REPOSITORY_URL WORK_FOLDER [RUNS]
//
// The repository is published as "bench-modules". Prints one "NAME MEDIAN
// BEST" line per figure, in seconds (scripts/bench-network.sh tabulates them).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "repos/install_record.h"
#include "repos/repository_apply.h"
#include "repository_bench.h"

namespace {

constexpr const char* kName = "bench-modules.repo";

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command and returns its wall time, or -1 when it failed.
// User plus system seconds of this process (every thread) or of the
// children it has waited for.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double TimeCommand(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = kanade::bench::Seconds(start);
  return status == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kanade;
  using namespace kanade::bench;
  int status = 0;
  const auto bench = StartRepositoryBench(argc, argv, "bench_module_apply", kName, &status);
  if (!bench) return status;
  const std::string& work = bench->Work;
  const int runs = bench->Runs;
  namespace fs = std::filesystem;

  int modules = 0;
  ForEachModule(kName, [&](const ModuleEntry&) { ++modules; });

  // Every run writes into folders of its own, removed only at the end:
  // deleting thousands of files just before creating as many makes ext4
  // search past the recently freed inodes, which slowed whichever side came
  // next by up to three times.
  std::vector<double> apply_empty, curl_parallel, curl_serial, apply_current, check;
  std::vector<double> apply_cpu, curl_wide_cpu;
  bool failed = false;
  auto add = [&failed](std::vector<double>& times, double seconds) {
    if (seconds < 0) failed = true;
    times.push_back(seconds);
  };
  auto curl = [&](const std::string& folder, const std::string& options) {
    std::ofstream config(work + "/curl.cfg");
    ForEachModule(kName, [&](const ModuleEntry& entry) {
      config << "url = \"" << entry.Url << "\"\noutput = \"" << folder << "/" << entry.RelativePath
             << "\"\n";
    });
    config.close();
    return TimeCommand("curl -sS --no-progress-meter --fail --create-dirs " + options + " -K " +
                       Quoted(work + "/curl.cfg") + " >/dev/null");
  };
  for (int run = 0; run < runs && !failed; ++run) {
    const std::string suffix = std::to_string(run);
    const std::string patcher = work + "/runs/patcher" + suffix;
    fs::create_directories(patcher);
    // The first to create files after deletions pays most for ext4's search
    // past recently freed inodes: take turns.
    if (run % 2 == 1) {
      add(curl_parallel, curl(work + "/runs/parallel" + suffix, "-Z --parallel-max 8"));
    }
    // A first run into an empty folder: the record of installed files
    // names none of the earlier runs' 3,000 files a folder, which it would
    // read and write again with every run.
    fs::remove(fs::path(ReposFolder()) / kInstallRecordName);
    auto start = std::chrono::steady_clock::now();
    const double cpu_before = CpuSeconds(RUSAGE_SELF);
    const bool changed = ApplyRepository(kName, patcher, bench::Reporter()).Modules.Changed();
    add(apply_empty, changed ? Seconds(start) : -1);
    apply_cpu.push_back(CpuSeconds(RUSAGE_SELF) - cpu_before);
    if (run % 2 == 0) {
      add(curl_parallel, curl(work + "/runs/parallel" + suffix, "-Z --parallel-max 8"));
    }
    add(curl_serial, curl(work + "/runs/serial" + suffix, ""));
    const double children_before = CpuSeconds(RUSAGE_CHILDREN);
    add(curl_wide_cpu, curl(work + "/runs/wide" + suffix, "-Z --parallel-max 100 --http2"));
    curl_wide_cpu.back() = CpuSeconds(RUSAGE_CHILDREN) - children_before;

    start = std::chrono::steady_clock::now();
    const bool changed_again = ApplyRepository(kName, patcher, bench::Reporter()).Modules.Changed();
    add(apply_current, changed_again ? -1 : Seconds(start));
    std::ofstream sums(work + "/sums.txt");
    ForEachModule(kName, [&](const ModuleEntry& entry) {
      sums << entry.Sha256 << "  " << patcher << "/" << entry.RelativePath << "\n";
    });
    sums.close();
    add(check, TimeCommand("sha256sum -c --quiet " + Quoted(work + "/sums.txt")));
  }
  fs::remove_all(work + "/runs");
  ReleaseNetworking();

  if (failed) {
    std::fprintf(stderr, "bench_module_apply: a run failed (see %s/program/kanade.log)\n",
                 work.c_str());
    return 1;
  }
  std::printf("modules %d\n", modules);
  PrintFigure("apply_empty", apply_empty);
  PrintFigure("curl_parallel", curl_parallel);
  PrintFigure("curl_serial", curl_serial);
  PrintFigure("apply_current", apply_current);
  PrintFigure("sha256sum", check);
  PrintFigure("apply_cpu", apply_cpu);
  PrintFigure("curl_wide_cpu", curl_wide_cpu);
  return 0;
}
