// What the benchmarks that apply a served repository share: their command
// line, a program folder with the repository fetched, the module lines, and
// the figures they print.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/run_report.h"
#include "net/http_client.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "state/patcher_state.h"
#include "ui/console.h"

namespace kanade::bench {

/// The program's own reporter, so that a bench pays for its console and log
/// lines as the program does.
inline RunReporter& Reporter() {
  static RunReporter reporter;
  return reporter;
}

struct RepositoryBench {
  std::string Url;
  std::string Work;  // the work folder; WORK/program is the program folder
  int Runs = 3;
};

/// Reads "REPOSITORY_URL WORK_FOLDER [RUNS]", makes WORK/program afresh as
/// the program folder, opens the console and the network, and fetches the
/// repository `name`. Nothing, after a message on stderr, when any of it
/// fails; `status` then holds the exit status.
inline std::optional<RepositoryBench> StartRepositoryBench(int argc, char** argv,
                                                           const char* program, const char* name,
                                                           int* status) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s REPOSITORY_URL WORK_FOLDER [RUNS]\n", program);
    *status = 2;
    return std::nullopt;
  }
  RepositoryBench bench{argv[1], argv[2], argc == 4 ? std::max(1, std::atoi(argv[3])) : 3};
  std::filesystem::remove_all(bench.Work + "/program");
  std::filesystem::create_directories(bench.Work + "/program");
  ProgramFolder = bench.Work + "/program/";
  CreateConsole();
  ResetConsole();
  if (!InitNetworking() || !FetchRepository(bench.Url, name, Reporter()).Fetched()) {
    std::fprintf(stderr, "%s: cannot fetch %s\n", program, bench.Url.c_str());
    *status = 1;
    return std::nullopt;
  }
  return bench;
}

/// Calls `each` with every module line of the fetched repository `name`.
inline void ForEachModule(const char* name, const std::function<void(const ModuleEntry&)>& each) {
  ForEachRepositoryLine(LocalRepositoryPath(name), [&](const RepositoryLine& line) {
    if (const auto entry = ParseModuleLine(line)) each(*entry);
    return true;
  });
}

inline double Seconds(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// "NAME MEDIAN BEST" in seconds.
inline void PrintFigure(const char* name, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%s %.4f %.4f\n", name, times[times.size() / 2], times.front());
}

}  // namespace kanade::bench
