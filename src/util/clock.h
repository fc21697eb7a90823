// The clocks seam: elapsed milliseconds, wall-clock seconds and a pause, so
// that tests of countdowns and hover timing do not wait in real time.
#pragma once

#include <cstdint>

namespace kanade {

class Clock {
 public:
  virtual ~Clock() = default;
  /// Milliseconds since an arbitrary fixed point; never goes back.
  virtual double ElapsedMs() = 0;
  /// Wall-clock time in whole seconds.
  virtual std::int64_t WallSeconds() = 0;
  /// Blocks the calling thread for `ms` milliseconds.
  virtual void Pause(int ms) = 0;
};

/// The clock in use: the system clock unless a test installed another.
Clock& GetClock();
/// Installs `clock` (not owned); nullptr restores the system clock.
void SetClock(Clock* clock);

/// A clock that moves only when told to; Pause advances it.
class ManualClock : public Clock {
 public:
  double ElapsedMs() override { return elapsed_ms_; }
  std::int64_t WallSeconds() override {
    return wall_base_ + static_cast<std::int64_t>(elapsed_ms_ / 1000);
  }
  void Pause(int ms) override { Advance(ms); }
  void Advance(double ms) { elapsed_ms_ += ms; }
  void SetWallBase(std::int64_t seconds) { wall_base_ = seconds; }

 private:
  double elapsed_ms_ = 1000.0;
  std::int64_t wall_base_ = 1'700'000'000;
};

}  // namespace kanade
