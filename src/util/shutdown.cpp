#include "util/shutdown.h"

#include <cstdlib>
#include <utility>

namespace kanade {

namespace {

struct Hooks {
  std::function<void()> end;
  std::function<void()> release;
  bool ended = false;
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
  std::exit(0);
}

bool ProgramEnded() {
  return Get().ended;
}

void SetProcessEnd(std::function<void()> end) {
  Get().end = std::move(end);
  Get().ended = false;
}

void SetShutdownRelease(std::function<void()> release) {
  Get().release = std::move(release);
}

}  // namespace kanade
