#include "util/clock.h"

#include <chrono>
#include <thread>

namespace kanade {

namespace {

class SystemClock : public Clock {
 public:
  double ElapsedMs() override {
    const auto now = std::chrono::steady_clock::now() - start_;
    return std::chrono::duration<double, std::milli>(now).count();
  }
  std::int64_t WallSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void Pause(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

SystemClock& System() {
  static SystemClock clock;
  return clock;
}

Clock* current = nullptr;

}  // namespace

Clock& GetClock() {
  return current != nullptr ? *current : System();
}

void SetClock(Clock* clock) {
  current = clock;
}

}  // namespace kanade
