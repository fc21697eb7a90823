// Applies a repository of many small modules into an empty folder and
// compares the time with one curl process fetching the same URLs over one
// connection; then applies again with everything current and compares with
// "sha256sum -c" over the same files. Prints the best of three runs each.
// scripts/bench-downloads.sh serves the repository over TLS and runs this.
//
//   bench_module_apply REPOSITORY_URL WORK_FOLDER
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "repos/http_client.h"
#include "repos/repository_apply.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "state/patcher_state.h"
#include "ui/console.h"

namespace {

constexpr const char* kName = "bench-modules.repo";
constexpr int kRuns = 3;

double Seconds(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command and returns its wall time, or -1 when it failed.
double TimeCommand(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = Seconds(start);
  return status == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kanade;
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_module_apply REPOSITORY_URL WORK_FOLDER\n");
    return 2;
  }
  const std::string url = argv[1];
  const std::string work = argv[2];
  namespace fs = std::filesystem;
  fs::remove_all(work + "/program");
  fs::create_directories(work + "/program");
  ProgramFolder = work + "/program/";
  CreateConsole();
  ResetConsole();
  if (!InitNetworking() || !FetchRepository(url, kName)) {
    std::fprintf(stderr, "bench_module_apply: cannot fetch %s\n", url.c_str());
    return 1;
  }

  // The same files for curl and for sha256sum.
  std::ofstream curl_config(work + "/curl.cfg");
  std::ofstream sums(work + "/sums.txt");
  int modules = 0;
  ForEachRepositoryLine(LocalRepositoryPath(kName), [&](const RepositoryLine& line) {
    const auto entry = ParseModuleLine(line);
    if (!entry) return true;
    ++modules;
    curl_config << "url = \"" << entry->Url << "\"\noutput = \"" << work << "/curl/"
                << entry->RelativePath << "\"\n";
    sums << entry->Sha256 << "  " << work << "/patcher/" << entry->RelativePath << "\n";
    return true;
  });
  curl_config.close();
  sums.close();

  // Best of several runs each: file creation times vary a lot from run to
  // run, for curl as much as for the patcher.
  double apply_empty = 1e9;
  double curl = 1e9;
  double apply_current = 1e9;
  double check = 1e9;
  bool changed = true;
  bool changed_again = false;
  for (int run = 0; run < kRuns; ++run) {
    fs::remove_all(work + "/patcher");
    fs::remove_all(work + "/curl");
    fs::create_directories(work + "/patcher");
    auto start = std::chrono::steady_clock::now();
    changed = ApplyRepository(kName, work + "/patcher") && changed;
    apply_empty = std::min(apply_empty, Seconds(start));
    const double curl_seconds = TimeCommand("curl -sS --fail --create-dirs -K " +
                                            Quoted(work + "/curl.cfg") + " >/dev/null");
    curl = curl_seconds < 0 ? -1e9 : std::min(curl, curl_seconds);

    start = std::chrono::steady_clock::now();
    changed_again = ApplyRepository(kName, work + "/patcher") || changed_again;
    apply_current = std::min(apply_current, Seconds(start));
    const double check_seconds = TimeCommand("sha256sum -c --quiet " + Quoted(work + "/sums.txt"));
    check = check_seconds < 0 ? -1e9 : std::min(check, check_seconds);
  }
  ReleaseNetworking();

  if (!changed || changed_again || curl < 0 || check < 0) {
    std::fprintf(stderr, "bench_module_apply: a run failed (see %s/program/kanade.log)\n",
                 work.c_str());
    return 1;
  }
  std::printf("modules                      %d\n", modules);
  std::printf("apply into empty folder      %.3f s\n", apply_empty);
  std::printf("curl, one connection         %.3f s\n", curl);
  std::printf("ratio apply/curl             %.2f (goal <= 1.5)\n", apply_empty / curl);
  std::printf("apply, everything current    %.3f s\n", apply_current);
  std::printf("sha256sum -c                 %.3f s\n", check);
  std::printf("ratio apply/sha256sum        %.2f (goal <= 1.2)\n", apply_current / check);
  return 0;
}
