// Whether a server is silent, judged by what arrives from it on any of its
// connections, not by each request: on a narrow line a request that waits
// behind other bodies is waiting its turn, not unanswered. Bytes on any
// connection to the server show it and the line alive for every request
// waiting there; the time-outs hold for a server that sends nothing at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "util/reason.h"

namespace kanade {

using WatchClock = std::chrono::steady_clock;

struct SilenceLimits {
  std::chrono::milliseconds Connect{15'000};    // a connection, TLS included
  std::chrono::milliseconds FirstByte{20'000};  // a request's answer and first body byte
  std::chrono::milliseconds NoData{60'000};     // a body that stops
  std::chrono::milliseconds LowSpeedWindow{60'000};
  std::uint64_t LowSpeedBytes = 60 * 1024;  // what the server must bring in a window
};

/// Where one transfer stands, for the clocks.
struct TransferClock {
  bool Connected = false;    // holds a connection, its request sent
  bool GotResponse = false;  // a status line came
  bool GotBody = false;      // and a byte of the body
  WatchClock::time_point Launched;
  WatchClock::time_point ConnectedAt;
  WatchClock::time_point LastActivity;  // its own last header or body bytes
};

struct Silence {
  Reason Why;
  bool Unreachable = false;  // the server is silent: the run's other requests to it end too
  bool Stalled = true;       // false: a failed connection rather than a stalled transfer
};

/// One server (scheme, host and port) as the transfers to it see it.
class HostWatch {
 public:
  /// Bytes arrived on one of its connections (a TLS record, a frame, a body).
  void Heard(WatchClock::time_point now);
  WatchClock::time_point LastHeard() const { return heard_; }
  /// Body bytes arrived from it.
  void Delivered(std::uint64_t bytes) { delivered_ += bytes; }
  /// Looked at each tick with whether any of its transfers holds a
  /// connection: why they must end when the server brought less than the
  /// low-speed share over a whole window, or nothing.
  std::optional<Reason> TooSlow(bool connected, const SilenceLimits& limits,
                                WatchClock::time_point now);
  /// Its new requests wait until `until` (the server asked to wait).
  void PauseUntil(WatchClock::time_point until);
  /// When its new requests may go, if that is later than `now`.
  std::optional<WatchClock::time_point> PausedAt(WatchClock::time_point now) const;

 private:
  WatchClock::time_point heard_{};
  std::uint64_t delivered_ = 0;
  bool watching_ = false;  // a window runs: some transfer holds a connection
  WatchClock::time_point window_start_{};
  std::uint64_t window_delivered_ = 0;
  WatchClock::time_point paused_until_{};
};

/// Why a transfer in `clock` must end now, or nothing. `heard` is when its
/// server last sent anything on any connection; `host_connected`, whether
/// another transfer to it holds a connection (this one, waiting for a
/// connection, then waits for those).
std::optional<Silence> JudgeSilence(const TransferClock& clock, WatchClock::time_point heard,
                                    bool host_connected, const SilenceLimits& limits,
                                    WatchClock::time_point now);

}  // namespace kanade
