#include "net/rate_meter.h"

namespace kanade {

namespace {

// Arrivals closer than this share one mark, so that a fast line's many
// small reads keep the list short.
constexpr double kMarkSeconds = 0.01;

double Seconds(std::chrono::milliseconds span) {
  return std::chrono::duration<double>(span).count();
}

}  // namespace

RateMeter::RateMeter(std::chrono::milliseconds window, std::chrono::milliseconds least)
    : window_(Seconds(window)), least_(Seconds(least)) {}

void RateMeter::Start(TimePoint now) {
  if (started_) return;
  started_ = true;
  since_ = now;
  marks_.push_back({0, 0});
}

double RateMeter::Counted(TimePoint now) const {
  if (!started_) return 0;
  if (!counting_ || now < since_) return before_;
  return before_ + std::chrono::duration<double>(now - since_).count();
}

void RateMeter::Count(bool counting, TimePoint now) {
  Start(now);
  if (counting == counting_) return;
  if (counting) {
    since_ = now;
  } else {
    before_ = Counted(now);
  }
  counting_ = counting;
}

void RateMeter::Add(std::uint64_t bytes, TimePoint now) {
  Start(now);
  bytes_ += bytes;
  const double at = Counted(now);
  if (marks_.size() > 1 && at - marks_.back().seconds < kMarkSeconds) {
    marks_.back().bytes = bytes_;
  } else {
    marks_.push_back({at, bytes_});
  }
  // The first mark stays at or before the window's start.
  while (marks_.size() > 2 && marks_[1].seconds <= at - window_) marks_.pop_front();
}

std::optional<double> RateMeter::BytesPerSecond(TimePoint now) const {
  if (marks_.empty()) return std::nullopt;
  const double at = Counted(now);
  // The newest mark at or before the window's start is the base.
  std::size_t base = 0;
  while (base + 1 < marks_.size() && marks_[base + 1].seconds <= at - window_) ++base;
  const double span = at - marks_[base].seconds;
  if (span < least_ || span <= 0) return std::nullopt;
  return static_cast<double>(bytes_ - marks_[base].bytes) / span;
}

}  // namespace kanade
