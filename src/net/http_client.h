// The HTTP layer: plain GETs over libcurl. Every request follows redirects
// (at most 20), sends the fixed User-Agent, asks for compressed bodies,
// keeps TLS verification on (CURL_CA_BUNDLE names an extra CA file) and
// saves HTTP error pages like any other body. Every download has a byte
// limit counted as the decoded body arrives, and ends when nothing arrives
// for the no-data limit or when it stays slower than the low-speed limit.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/curl_transfer.h"

#include "util/reason.h"

namespace kanade {

/// A repository file is never larger than this.
inline constexpr std::uint64_t kMaxRepositoryBytes = std::uint64_t{16} << 20;
/// Nor is a module whose line gives no size.
inline constexpr std::uint64_t kMaxModuleBytes = std::uint64_t{2} << 30;

struct DownloadLimits {
  std::uint64_t MaxBytes = kMaxModuleBytes;
  bool HttpsOnly = false;  // https for the request and every redirect
};

/// Identifies one download; valid until FinishDownload.
using DownloadHandle = std::uint64_t;

enum class DownloadStatus {
  InProgress,
  Succeeded,  // ended without error and the body is not empty
  Failed,     // transfer error, too many bytes, a sink that refused, or an empty body
  Aborted,    // cancelled, nothing arrived within the no-data limit, or too slow
};

struct DownloadProgress {
  DownloadStatus Status = DownloadStatus::Failed;
  std::uint64_t BytesReceived = 0;  // decoded body bytes so far
};

/// What a finished download says about itself, for the log.
struct DownloadReport {
  long HttpStatus = 0;                  // of the last response; 0 without one
  kanade::Reason Reason;                // why it did not succeed (empty when it did)
  std::vector<kanade::Reason> Retries;  // why each earlier attempt was given up
  TransferResponse Response;            // the last response's validators
};

/// The body of a download goes to a sink, on the transfer thread.
using DownloadSink = TransferSink;

/// A sink that keeps the body in memory (a retry starts it afresh), for
/// bodies known to be small: repositories.
class MemorySink : public DownloadSink {
 public:
  bool Write(const char* data, std::size_t size) override {
    bytes.append(data, size);
    return true;
  }
  bool Restart() override {
    bytes.clear();
    return true;
  }
  std::string bytes;
};

/// The seam between the download users and libcurl; tests may install
/// another implementation with SetHttpLayer.
class HttpLayer {
 public:
  virtual ~HttpLayer() = default;
  virtual bool DownloadToSink(std::string_view url, const DownloadLimits& limits,
                              DownloadSink& sink, DownloadReport* report,
                              const HttpValidators& if_changed) = 0;
  virtual std::optional<DownloadHandle> StartDownload(std::string_view url,
                                                      const DownloadLimits& limits,
                                                      DownloadSink& sink) = 0;
  virtual DownloadProgress PollDownload(DownloadHandle handle) = 0;
  virtual bool WaitForDownload(DownloadHandle handle, int max_ms) = 0;
  virtual DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report) = 0;
  /// Starts the request that a later download with the same URL and
  /// limits will make, so that it is under way while other work goes on.
  virtual void Prefetch(std::string_view /*url*/, const DownloadLimits& /*limits*/,
                        const HttpValidators& /*if_changed*/) {}
  /// What the line delivers while bodies arrive, in bytes a second;
  /// nothing while unknown.
  virtual std::optional<double> LineRate() { return std::nullopt; }
};

/// The libcurl implementation (the default).
HttpLayer& LibcurlHttpLayer();
/// The layer in use.
HttpLayer& GetHttpLayer();
/// Installs `layer` (not owned); nullptr restores libcurl.
void SetHttpLayer(HttpLayer* layer);

/// Sets up libcurl once at start-up; false when it cannot be initialised.
/// Downloads also initialise it on first use.
bool InitNetworking();
/// Cancels the downloads in flight, ends the transfer thread and releases
/// libcurl with its cached connections. Called once at shutdown.
void ReleaseNetworking();

/// Called between short waits while a download is waited for on the calling
/// thread: the program keeps its window alive there. Empty: nothing.
void SetDownloadWaitHook(std::function<void()> hook);

/// An answer to a request started early (PrefetchDownload) serves the
/// fetch that takes it over only when it succeeded and arrived at most this
/// long before (default 10 s); otherwise the fetch asks again.
void SetPrefetchFreshnessMs(int ms);
int PrefetchFreshnessMs();

/// GET `url` into `sink` and wait for it on the calling thread, keeping the
/// window responsive. True when the transfer completed: an HTTP error status
/// or an empty body is no failure. `report`, when given, receives the status,
/// the reasons and the validators. With `if_changed` (the validators of a
/// copy held) the server may answer 304 without a body.
bool DownloadToSink(std::string_view url, const DownloadLimits& limits, DownloadSink& sink,
                    DownloadReport* report = nullptr, const HttpValidators& if_changed = {});

/// The same into a new file at `path` (created only if nothing is there). On
/// failure the file is deleted and the result is false.
bool DownloadToFile(std::string_view url, std::string_view path, const DownloadLimits& limits,
                    DownloadReport* report = nullptr, const HttpValidators& if_changed = {});

/// Starts now the GET that a later DownloadToSink (or DownloadToFile) of `url` with the same
/// limits makes; that call then only waits for it. A body the prefetch
/// cannot hold in memory is fetched again by that call.
void PrefetchDownload(std::string_view url, const DownloadLimits& limits,
                      const HttpValidators& if_changed = {});
/// The most a prefetched body may hold in memory.
inline constexpr std::uint64_t kMaxPrefetchBytes = std::uint64_t{4} << 20;

/// Starts a GET of `url` whose body goes to `sink` (which must outlive the
/// download). Nothing when it cannot be started.
std::optional<DownloadHandle> StartDownload(std::string_view url, const DownloadLimits& limits,
                                            DownloadSink& sink);

/// Whether a download may start beside `in_flight` others whose bodies still
/// owe `outstanding` bytes: as many as the line carries (flight_window.h).
bool MayStartDownload(int in_flight, const std::function<std::uint64_t()>& outstanding);

/// Where the download stands; an unknown handle reads as Failed.
DownloadProgress PollDownload(DownloadHandle handle);

/// Blocks until the download has ended or `max_ms` have passed; true when it
/// has ended. Wakes as soon as the transfer ends.
bool WaitForDownload(DownloadHandle handle, int max_ms);

/// How the download ended, releasing the handle; a download still in flight
/// is cancelled first (Aborted). The sink is no longer used afterwards.
/// `report`, when given, receives the status and reasons.
DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report = nullptr);

}  // namespace kanade
