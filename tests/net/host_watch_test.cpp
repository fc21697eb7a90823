#include "net/host_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "net/flight_window.h"
#include "net/rate_meter.h"

namespace kanade {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const WatchClock::time_point kStart{seconds(1000)};

// Silence is the server's, not each request's: a request that waits behind
// other bodies is waiting its turn; a server that sends nothing at all is
// given up on within its time-out, and counts as unreachable.
TEST(HostWatchTest, ARequestWaitingItsTurnIsNoSilentServer) {
  enum Phase { kQueued, kConnecting, kAsked, kHeaders, kBody };
  const struct {
    const char* what;
    Phase phase;
    int started_s;     // seconds ago: launched, connected, or its own last bytes
    int heard_s;       // seconds ago that anything came from its server
    const char* ends;  // the reason's start, or nullptr: it waits on
    bool unreachable;
  } rows[] = {
      {"queued behind busy connections", kQueued, 300, 59, nullptr, false},
      {"queued, the others stuck", kQueued, 300, 61, "no connection for 60 s", false},
      {"handshake behind the server's own bytes", kConnecting, 40, 1, nullptr, false},
      {"a server that never shakes hands", kConnecting, 16, 100, "no connection within 15 s", true},
      {"its answer behind a hundred bodies", kAsked, 100, 1, nullptr, false},
      {"a server that takes the request and says nothing", kAsked, 21, 21,
       "no answer within 20 s of the request", true},
      {"headers, then nothing", kHeaders, 21, 21, "no byte of the body within 20 s", true},
      {"its body paused while others arrive", kBody, 90, 2, nullptr, false},
      {"a body that stops", kBody, 61, 61, "nothing arrived for 60 s", false},
  };
  const SilenceLimits limits;
  const WatchClock::time_point now = kStart + seconds(400);
  for (const auto& row : rows) {
    TransferClock clock;
    clock.Connected = row.phase >= kAsked;
    clock.GotResponse = row.phase >= kHeaders;
    clock.GotBody = row.phase == kBody;
    clock.Launched = clock.ConnectedAt = clock.LastActivity = now - seconds(row.started_s);
    const bool others_connected = row.phase == kQueued;
    const auto silence =
        JudgeSilence(clock, now - seconds(row.heard_s), others_connected, limits, now);
    ASSERT_EQ(silence.has_value(), row.ends != nullptr) << row.what;
    if (!silence) continue;
    EXPECT_EQ(silence->Why.Line().rfind(row.ends, 0), 0u) << row.what << ": " << silence->Why;
    EXPECT_EQ(silence->Unreachable, row.unreachable) << row.what;
  }
  // A shorter no-data limit ends a silent request first, without giving
  // the server up.
  SilenceLimits short_limits;
  short_limits.NoData = seconds(1);
  TransferClock asked;
  asked.Connected = true;
  asked.ConnectedAt = now - seconds(2);
  const auto silence = JudgeSilence(asked, asked.ConnectedAt, false, short_limits, now);
  ASSERT_TRUE(silence.has_value());
  EXPECT_FALSE(silence->Unreachable);
}

// The low-speed limit is the server's too: a drip ends after one window of
// the time in which a transfer held a connection, a narrow but steady line
// does not.
TEST(HostWatchTest, TheLowSpeedLimitCountsWhatTheServerBrings) {
  SilenceLimits limits;  // 60 KiB a minute
  HostWatch host;
  auto now = kStart;
  EXPECT_FALSE(host.TooSlow(true, limits, now));
  // 4,000 bytes a second for a minute: slow, yet enough.
  host.Delivered(240'000);
  now += seconds(60);
  EXPECT_FALSE(host.TooSlow(true, limits, now));
  // Idle for ten minutes, then a drip: the idle time counts for nothing.
  EXPECT_FALSE(host.TooSlow(false, limits, now + seconds(600)));
  now += seconds(600);
  EXPECT_FALSE(host.TooSlow(true, limits, now));
  host.Delivered(3);
  EXPECT_FALSE(host.TooSlow(true, limits, now + seconds(59)));
  const auto reason = host.TooSlow(true, limits, now + seconds(60));
  ASSERT_TRUE(reason.has_value());
  EXPECT_EQ(reason->Line(), "3 bytes from the server in 60 s, below the low-speed limit");

  // A pause the server asked for holds its new requests until then.
  host.PauseUntil(now + seconds(10));
  host.PauseUntil(now + seconds(5));
  EXPECT_EQ(host.PausedAt(now), now + seconds(10));
  EXPECT_FALSE(host.PausedAt(now + seconds(10)));
}

// The line's rate counts only the time in which something was under way,
// and decides how many downloads run: all the engine may start until the
// line has shown its rate, then what it brings in a few seconds.
TEST(HostWatchTest, TheLineShowsItsRateAndTheDownloadsFollowIt) {
  RateMeter meter(seconds(3), milliseconds(500));
  auto now = kStart;
  meter.Count(true, now);
  meter.Add(4000, now + milliseconds(250));
  EXPECT_FALSE(meter.BytesPerSecond(now + milliseconds(250)));  // too soon to tell
  // 16,000 bytes a second while busy, with idle minutes between.
  for (int second = 0; second < 5; ++second) {
    meter.Count(true, now);
    for (int tick = 1; tick <= 4; ++tick) meter.Add(4000, now + milliseconds(250 * tick));
    now += seconds(1);
    meter.Count(false, now);
    now += seconds(120);
  }
  const std::optional<double> rate = meter.BytesPerSecond(now);
  ASSERT_TRUE(rate.has_value());
  EXPECT_NEAR(*rate, 16'000, 500);

  const struct {
    int in_flight;
    std::uint64_t owed;
    std::optional<double> rate;
    bool may_start;
  } rows[] = {
      {150, 0, std::nullopt, true},  // not measured yet: as many as ever
      {kMaxTransfersInFlight, 0, std::nullopt, false},
      {kMinTransfersInFlight - 1, 1 << 30, 16'000, true},  // a few however narrow
      {kMinTransfersInFlight, 40'000, 16'000, true},       // 2.5 s of the line
      {kMinTransfersInFlight, 50'000, 16'000, false},      // more than 3 s
      {100, 50'000'000, 20e6, true},                       // a fast line
  };
  for (const auto& row : rows) {
    int asked = 0;
    const auto owed = [&] {
      ++asked;
      return row.owed;
    };
    EXPECT_EQ(MayStartAnother(row.in_flight, owed, row.rate), row.may_start)
        << row.in_flight << " in flight, " << row.owed << " owed";
    EXPECT_LE(asked, row.rate ? 1 : 0);  // the engine is asked only when it matters
  }
}

}  // namespace
}  // namespace kanade
