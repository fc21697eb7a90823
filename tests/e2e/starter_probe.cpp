// Started through the launcher by tests/upgrade/programs_test.cpp: waits for
// the program that started it to end, as the upgrade copy's countdown does,
// and writes "starter.txt" in its folder: whether the starter still ran at
// the first look, whether it was seen to end, and when (CLOCK_MONOTONIC,
// nanoseconds).
#include <time.h>

#include <cstdio>

#include "upgrade/programs.h"

namespace {

long long Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main() {
  const bool running_at_first = !kanade::StartingProgramEnded();
  const long long deadline = Now() + 10000000000LL;
  bool ended = false;
  while (!(ended = kanade::StartingProgramEnded()) && Now() < deadline) {
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  const long long seen = Now();
  std::FILE* file = std::fopen("starter.txt", "w");
  if (file == nullptr) return 1;
  std::fprintf(file, "%d %d %lld\n", running_at_first ? 1 : 0, ended ? 1 : 0, seen);
  return std::fclose(file) == 0 ? 0 : 1;
}
