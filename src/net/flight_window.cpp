#include "net/flight_window.h"

namespace kanade {

bool MayStartAnother(int in_flight, const std::function<std::uint64_t()>& outstanding,
                     std::optional<double> bytes_per_second) {
  if (in_flight < kMinTransfersInFlight) return true;
  if (in_flight >= kMaxTransfersInFlight) return false;
  if (!bytes_per_second) return true;
  return static_cast<double>(outstanding()) < *bytes_per_second * kSecondsInFlight;
}

}  // namespace kanade
