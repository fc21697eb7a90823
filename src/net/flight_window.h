// How many downloads run at once: as many as the line carries. Until a
// delivery rate is measured, as many as two HTTP/2 connections carry (a
// fast line's first bodies come after one round trip). Once the line has
// shown its rate, new downloads start only while the bytes asked for and
// not yet arrived would take the line a few seconds: on a narrow line a
// full queue of requests only makes every body late, and a body that waits
// behind two hundred others waits minutes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "net/curl_transfer.h"

namespace kanade {

/// Downloads in flight at most: as many as two HTTP/2 connections carry.
/// With one connection's worth, every hundred modules cost a round trip of
/// their own (300 modules across 80 ms: 0.48 s, against 0.40 s with two).
/// Over HTTP/1.1 the host's eight connections take eight of them and the
/// rest wait their turn.
inline constexpr int kMaxTransfersInFlight =
    kMultiplexedConnectionsPerHost * kMaxStreamsPerConnection;
/// Downloads in flight at least, however narrow the line: enough for the
/// next body to be on its way while one ends.
inline constexpr int kMinTransfersInFlight = 4;
/// The bytes in flight on a measured line: what it brings in this long,
/// which covers any round trip a player has and keeps the line full.
inline constexpr double kSecondsInFlight = 3.0;

/// Whether one more download may start, with `in_flight` running whose
/// bodies still owe `outstanding()` bytes (asked only when it matters), on
/// a line that delivers `bytes_per_second` (nothing: not measured yet).
bool MayStartAnother(int in_flight, const std::function<std::uint64_t()>& outstanding,
                     std::optional<double> bytes_per_second);

}  // namespace kanade
