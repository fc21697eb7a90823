#include "repos/download_pace.h"

#include <chrono>

namespace kanade {

namespace {

// The first look, and how often the line is rewritten.
constexpr double kFirstLookMs = 1000;
constexpr double kLookEveryMs = 500;
// Downloads that end within this at the measured speed get no line; nor do
// those that have taken this long when no speed shows yet.
constexpr double kFewSeconds = 3;
// The time left shows once the line has been up this long.
constexpr double kSettleMs = 2000;
// The speed is the mean of the last seconds (a narrow line's TLS records
// bring a body in steps of a second or more), and not given before one.
constexpr std::chrono::milliseconds kSpeedWindow{8000};
constexpr std::chrono::milliseconds kSpeedLeast{1000};

RateMeter::TimePoint At(double ms) {
  return RateMeter::TimePoint(std::chrono::duration_cast<RateMeter::TimePoint::duration>(
      std::chrono::duration<double, std::milli>(ms)));
}

}  // namespace

DownloadPace::DownloadPace(double started_ms)
    : meter_(kSpeedWindow, kSpeedLeast),
      started_ms_(started_ms),
      looked_ms_(started_ms + kFirstLookMs - kLookEveryMs) {
  meter_.Add(0, At(started_ms));
}

bool DownloadPace::Due(double now_ms) const {
  return now_ms - looked_ms_ >= kLookEveryMs;
}

std::optional<DownloadTotals> DownloadPace::Look(std::uint64_t done, std::uint64_t total,
                                                 double now_ms) {
  looked_ms_ = now_ms;
  if (done > done_) meter_.Add(done - done_, At(now_ms));
  done_ = done;
  DownloadTotals totals{done, total < done ? done : total, meter_.BytesPerSecond(At(now_ms)), {}};
  const double left = static_cast<double>(totals.Total - done);
  if (!shown_at_) {
    const bool long_at_this_speed = totals.BytesPerSecond && *totals.BytesPerSecond > 0
                                        ? left / *totals.BytesPerSecond > kFewSeconds
                                        : now_ms - started_ms_ >= kFewSeconds * 1000;
    if (left <= 0 || !long_at_this_speed) return std::nullopt;
    shown_at_ = now_ms;
  }
  if (now_ms - *shown_at_ >= kSettleMs && totals.BytesPerSecond && *totals.BytesPerSecond > 0) {
    totals.SecondsLeft = left / *totals.BytesPerSecond;
  }
  return totals;
}

}  // namespace kanade
