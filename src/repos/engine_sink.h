// What the engine tells about its work while it goes: the one seam between
// fetch, apply, uninstall and the module engine on one side and whoever
// shows the work (the program's reporter, a test) on the other. The engine
// words nothing itself; every event carries a typed outcome.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repos/outcomes.h"

namespace kanade {

/// One module's events, from its start to its end.
class ModuleEvents {
 public:
  virtual ~ModuleEvents() = default;
  /// Body bytes so far, while they arrive.
  virtual void Downloading(std::uint64_t bytes) = 0;
  /// Why each earlier attempt of the download was given up.
  virtual void Retried(const std::vector<Reason>& reasons) = 0;
  /// The body holds, before it is put in place.
  virtual void Verified(std::uint64_t size) = 0;
  /// How the module ended; kCurrent when nothing was done after all.
  virtual void Ended(const ModuleOutcome& outcome) = 0;
};

/// How a repository's downloads stand.
struct DownloadTotals {
  std::uint64_t Done = 0;                // body bytes arrived
  std::uint64_t Total = 0;               // those and the ones still to come, as far as known
  std::optional<double> BytesPerSecond;  // smoothed over the last seconds
  std::optional<double> SecondsLeft;     // once the speed has settled
};

class EngineSink {
 public:
  virtual ~EngineSink() = default;
  virtual void FetchStarted(std::string_view url) = 0;
  virtual void FetchEnded(std::string_view url, const FetchOutcome& outcome) = 0;
  virtual void RepositoryStarted(std::string_view name, PatchAction action) = 0;
  virtual void RepositoryEnded(std::string_view name, PatchAction action,
                               const RepositoryOutcome& outcome) = 0;
  /// A module about to be worked on; its events go to what this returns.
  virtual std::unique_ptr<ModuleEvents> ModuleStarted(PatchAction action,
                                                      std::string_view full_path) = 0;
  /// A module refused before anything was done.
  virtual void ModuleRefused(PatchAction action, std::string_view full_path,
                             std::string_view reason) = 0;
  /// Called between short waits: whoever shows the work stays alive.
  virtual void KeepAlive() {}
  /// A repository's downloads, while they take more than a few seconds at
  /// the measured speed: called again as they go, a few times a second.
  virtual void DownloadsUnderWay(const DownloadTotals& /*totals*/) {}
  /// The downloads told of by DownloadsUnderWay have ended.
  virtual void DownloadsEnded() {}
};

}  // namespace kanade
