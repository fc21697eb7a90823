// How fast bytes arrive: a moving average over the last seconds of the time
// that counts. The transfers count only the time in which some body is
// arriving, so that waiting for an answer never reads as a slow line; the
// progress line counts all of the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace kanade {

class RateMeter {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  /// Averages over the last `window` of counted time, and gives no rate
  /// before `least` of it has been counted. Time counts from the first
  /// call that names one, unless Count(false) stops it.
  RateMeter(std::chrono::milliseconds window, std::chrono::milliseconds least);

  /// Starts or stops counting time.
  void Count(bool counting, TimePoint now);
  /// `bytes` arrived at `now`.
  void Add(std::uint64_t bytes, TimePoint now);
  /// Bytes a second over the window; nothing while too little time counted.
  std::optional<double> BytesPerSecond(TimePoint now) const;

 private:
  struct Mark {
    double seconds;       // counted time
    std::uint64_t bytes;  // arrived by then
  };
  double Counted(TimePoint now) const;
  void Start(TimePoint now);

  const double window_;
  const double least_;
  bool started_ = false;
  bool counting_ = true;
  TimePoint since_;    // while counting: when this stretch began
  double before_ = 0;  // counted seconds before this stretch
  std::uint64_t bytes_ = 0;
  std::deque<Mark> marks_;  // oldest first; the first lies at or before the window
};

}  // namespace kanade
