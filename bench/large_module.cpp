// Downloads one large module (512 MiB in scripts/bench-downloads.sh) and
// compares the throughput with "curl -o /dev/null" on the same URL: first the
// HTTP layer's memory download alone, then the whole apply (download, digest,
// write). Prints the process's peak memory against the body size.
//
//   bench_large_module REPOSITORY_URL WORK_FOLDER
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "repos/http_client.h"
#include "repos/repository_apply.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "state/patcher_state.h"
#include "ui/console.h"

namespace {

constexpr const char* kName = "bench-large.repo";
constexpr int kRuns = 3;

double Seconds(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

class DiscardSink : public kanade::DownloadSink {
 public:
  bool Write(const char*, std::size_t) override { return true; }
};

// The HTTP layer alone, body discarded; returns the seconds, or -1 on failure.
double LayerDownload(const std::string& url, std::size_t* size) {
  using namespace kanade;
  const auto start = std::chrono::steady_clock::now();
  DiscardSink sink;
  const auto handle = StartDownload(url, DownloadLimits{}, sink);
  if (!handle) return -1;
  while (!WaitForDownload(*handle, 100)) {
  }
  *size = PollDownload(*handle).BytesReceived;
  const DownloadStatus status = FinishDownload(*handle);
  const double seconds = Seconds(start);
  return status == DownloadStatus::Succeeded ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kanade;
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_large_module REPOSITORY_URL WORK_FOLDER\n");
    return 2;
  }
  const std::string work = argv[2];
  namespace fs = std::filesystem;
  fs::remove_all(work + "/program");
  fs::create_directories(work + "/program");
  ProgramFolder = work + "/program/";
  CreateConsole();
  ResetConsole();
  if (!InitNetworking() || !FetchRepository(argv[1], kName)) {
    std::fprintf(stderr, "bench_large_module: cannot fetch %s\n", argv[1]);
    return 1;
  }
  std::string module_url;
  ForEachRepositoryLine(LocalRepositoryPath(kName), [&](const RepositoryLine& line) {
    if (const auto entry = ParseModuleLine(line)) module_url = entry->Url;
    return true;
  });

  double layer = 1e9;
  double curl = 1e9;
  std::size_t size = 0;
  for (int run = 0; run < kRuns; ++run) {
    const double seconds = LayerDownload(module_url, &size);
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(("curl -sS --fail -o /dev/null '" + module_url + "'").c_str());
    const double curl_seconds = Seconds(start);
    if (seconds < 0 || status != 0) {
      std::fprintf(stderr, "bench_large_module: a download failed\n");
      return 1;
    }
    layer = std::min(layer, seconds);
    curl = std::min(curl, curl_seconds);
  }

  double apply = 1e9;
  for (int run = 0; run < kRuns; ++run) {
    fs::remove_all(work + "/patcher");
    fs::create_directories(work + "/patcher");
    const auto start = std::chrono::steady_clock::now();
    if (!ApplyRepository(kName, work + "/patcher")) {
      std::fprintf(stderr, "bench_large_module: apply failed\n");
      return 1;
    }
    apply = std::min(apply, Seconds(start));
  }
  ReleaseNetworking();

  const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  std::printf("body                         %.0f MiB\n", mib);
  std::printf("curl -o /dev/null            %.3f s  %.0f MiB/s\n", curl, mib / curl);
  std::printf("HTTP layer, body discarded   %.3f s  %.0f MiB/s\n", layer, mib / layer);
  std::printf("ratio download/curl          %.2f of curl's throughput (goal >= 0.8)\n",
              curl / layer);
  std::printf("apply (download, digest, write) %.3f s  %.0f MiB/s, %.2f of curl's\n", apply,
              mib / apply, curl / apply);
  std::printf("peak memory                  %.0f MiB (goal <= %.0f MiB)\n", PeakMiB(), mib + 64.0);
  return 0;
}
