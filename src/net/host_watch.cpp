#include "net/host_watch.h"

#include <algorithm>
#include <string>

namespace kanade {

namespace {

std::string Seconds(std::chrono::milliseconds span) {
  return std::to_string(span.count() / 1000) + " s";
}

}  // namespace

void HostWatch::Heard(WatchClock::time_point now) {
  heard_ = std::max(heard_, now);
}

std::optional<Reason> HostWatch::TooSlow(bool connected, const SilenceLimits& limits,
                                         WatchClock::time_point now) {
  // Only the time in which something waited on the server counts.
  if (!connected) {
    watching_ = false;
    return std::nullopt;
  }
  if (!watching_) {
    watching_ = true;
    window_start_ = now;
    window_delivered_ = delivered_;
    return std::nullopt;
  }
  if (now - window_start_ < limits.LowSpeedWindow) return std::nullopt;
  const std::uint64_t brought = delivered_ - window_delivered_;
  window_start_ = now;
  window_delivered_ = delivered_;
  if (brought >= limits.LowSpeedBytes) return std::nullopt;
  watching_ = false;
  return Reason(std::to_string(brought) + " bytes from the server in " +
                Seconds(limits.LowSpeedWindow) + ", below the low-speed limit");
}

void HostWatch::PauseUntil(WatchClock::time_point until) {
  paused_until_ = std::max(paused_until_, until);
}

std::optional<WatchClock::time_point> HostWatch::PausedAt(WatchClock::time_point now) const {
  if (now >= paused_until_) return std::nullopt;
  return paused_until_;
}

std::optional<Silence> JudgeSilence(const TransferClock& clock, WatchClock::time_point heard,
                                    bool host_connected, const SilenceLimits& limits,
                                    WatchClock::time_point now) {
  // How long its server has sent nothing since this transfer's phase began.
  const auto since = !clock.Connected ? clock.Launched
                     : !clock.GotBody ? clock.ConnectedAt
                                      : clock.LastActivity;
  const auto quiet = now - std::max(since, heard);
  if (!clock.Connected) {
    // Waiting in line behind the transfers that hold the connections: as
    // long as those make progress, which frees them.
    if (host_connected) {
      if (quiet <= limits.NoData) return std::nullopt;
      return Silence{"no connection for " + Seconds(limits.NoData) +
                     " while the others to its server made no progress"};
    }
    // Connecting, its handshake perhaps behind the server's own bytes on
    // another connection: too long only when nothing comes at all.
    if (quiet > limits.Connect && limits.Connect <= limits.NoData) {
      return Silence{"no connection within " + Seconds(limits.Connect) +
                         ", TLS handshake included, and nothing else from the server",
                     true, false};
    }
  } else if (!clock.GotBody && quiet > limits.FirstByte && limits.FirstByte <= limits.NoData) {
    // A server that took the request and sends nothing at all is as good
    // as unreachable.
    return Silence{
        std::string(clock.GotResponse ? "no byte of the body within " : "no answer within ") +
            Seconds(limits.FirstByte) + " of the request",
        true};
  }
  if (quiet <= limits.NoData) return std::nullopt;
  return Silence{"nothing arrived for " + Seconds(limits.NoData)};
}

}  // namespace kanade
