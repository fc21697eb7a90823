// When a repository's downloads are worth a progress line, and what it
// says: shown once they will take more than a few seconds at the measured
// speed, with the bytes done and to come, a speed smoothed over the last
// seconds, and the time left once that speed has settled; rewritten a few
// times a second at most.
#pragma once

#include <cstdint>
#include <optional>

#include "net/rate_meter.h"
#include "repos/engine_sink.h"

namespace kanade {

class DownloadPace {
 public:
  /// The downloads began at `started_ms` (GetClock's milliseconds).
  explicit DownloadPace(double started_ms);
  /// Whether a look at the totals is due at `now_ms`: the caller then
  /// gathers them and calls Look.
  bool Due(double now_ms) const;
  /// The totals to show now, or nothing while the downloads are no matter
  /// of seconds.
  std::optional<DownloadTotals> Look(std::uint64_t done, std::uint64_t total, double now_ms);
  bool Shown() const { return shown_at_.has_value(); }

 private:
  RateMeter meter_;
  double started_ms_;
  double looked_ms_;
  std::uint64_t done_ = 0;
  std::optional<double> shown_at_;
};

}  // namespace kanade
