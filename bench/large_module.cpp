// Applies a repository of one large module (512 MiB in
// scripts/bench-network.sh) into an empty folder and compares the time with
// "curl -o FILE" followed by "openssl dgst -sha256 FILE", the same work done
// by two tools one after the other. Prints the process's peak resident
// memory (VmHWM) before and after the applies: ru_maxrss would also count
// the peak of the process that started this one, which Linux carries
// across exec.
//
//   bench_large_module REPOSITORY_URL WORK_FOLDER [RUNS]
//
// The repository is published as "bench-large". Prints one "NAME MEDIAN BEST"
// line per time in seconds, and "body_bytes" and "peak_rss_kib_*" lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "repos/repository_apply.h"
#include "repository_bench.h"

namespace {

constexpr const char* kName = "bench-large.repo";

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmHWM:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kanade;
  using namespace kanade::bench;
  int status = 0;
  const auto bench = StartRepositoryBench(argc, argv, "bench_large_module", kName, &status);
  if (!bench) return status;
  const std::string& work = bench->Work;
  const int runs = bench->Runs;
  namespace fs = std::filesystem;
  std::string module_url;
  std::uint64_t size = 0;
  ForEachModule(kName, [&](const ModuleEntry& entry) {
    module_url = entry.Url;
    size = entry.Size.value_or(0);
  });
  const long peak_before = PeakKiB();

  const std::string file = work + "/curl.bin";
  const std::string curl = "curl -sS --fail -o '" + file + "' '" + module_url +
                           "' && openssl dgst -sha256 '" + file + "' >/dev/null";
  std::vector<double> apply, reference;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(work + "/patcher");
    fs::create_directories(work + "/patcher");
    auto start = std::chrono::steady_clock::now();
    if (!ApplyRepository(kName, work + "/patcher", bench::Reporter()).Changed()) {
      std::fprintf(stderr, "bench_large_module: apply failed (see %s/program/kanade.log)\n",
                   work.c_str());
      return 1;
    }
    apply.push_back(Seconds(start));
    fs::remove_all(work + "/patcher");

    fs::remove(file);
    start = std::chrono::steady_clock::now();
    if (std::system(curl.c_str()) != 0) {
      std::fprintf(stderr, "bench_large_module: curl or openssl failed\n");
      return 1;
    }
    reference.push_back(Seconds(start));
    fs::remove(file);
  }
  ReleaseNetworking();

  std::printf("body_bytes %llu\n", static_cast<unsigned long long>(size));
  PrintFigure("apply", apply);
  PrintFigure("curl_openssl", reference);
  std::printf("peak_rss_kib_before %ld\n", peak_before);
  std::printf("peak_rss_kib %ld\n", PeakKiB());
  return 0;
}
