#include "util/shutdown.h"

#include <cstdlib>
#include <utility>

namespace kanade {

namespace {

struct Hooks {
  std::function<void()> end;
  std::function<void()> release;
  bool ended = false;
  int status = 0;
};

Hooks& Get() {
  static Hooks hooks;
  return hooks;
}

}  // namespace

void EndProgram() {
  Hooks& h = Get();
  if (h.ended) return;
  h.ended = true;
  if (h.release) h.release();
  if (h.end) {
    h.end();
    return;
  }
  std::exit(h.status);
}

void SetExitStatus(int status) {
  Get().status = status;
}

int ExitStatus() {
  return Get().status;
}

bool ProgramEnded() {
  return Get().ended;
}

void SetProcessEnd(std::function<void()> end) {
  Get().end = std::move(end);
  Get().ended = false;
  Get().status = 0;
}

void SetShutdownRelease(std::function<void()> release) {
  Get().release = std::move(release);
}

}  // namespace kanade
