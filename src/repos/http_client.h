// The HTTP layer: plain GETs over libcurl, either into a file on the calling
// thread or into memory on a worker thread that the caller polls. Every
// request follows redirects (at most 20), sends the fixed User-Agent, keeps
// TLS verification on (CURL_CA_BUNDLE names an extra CA file) and saves HTTP
// error pages like any other body. Connections are reused between downloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kanade {

inline constexpr std::string_view kUserAgent = "Mozilla/5.0 Gecko/41.0 Firefox/41.0";
inline constexpr long kMaxRedirects = 20;

/// Identifies one memory download; valid until FinishDownload.
using DownloadHandle = std::uint64_t;

enum class DownloadStatus {
  InProgress,
  Succeeded,  // ended without error and the body is not empty
  Failed,     // transfer error, or an empty body
  Aborted,    // cancelled, or no byte arrived within the no-data limit
};

struct DownloadProgress {
  DownloadStatus Status = DownloadStatus::Failed;
  std::uint64_t BytesReceived = 0;  // body bytes so far
};

/// The seam between the download users and libcurl; tests may install
/// another implementation with SetHttpLayer.
class HttpLayer {
 public:
  virtual ~HttpLayer() = default;
  virtual bool DownloadToFile(std::string_view url, std::string_view path) = 0;
  virtual std::optional<DownloadHandle> StartMemoryDownload(std::string_view url) = 0;
  virtual DownloadProgress PollDownload(DownloadHandle handle) = 0;
  virtual bool WaitForDownload(DownloadHandle handle, int max_ms) = 0;
  virtual std::optional<std::string> FinishDownload(DownloadHandle handle) = 0;
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
/// Cancels a download in flight, waits for its worker and releases libcurl
/// with its cached connections. Called once at shutdown.
void ReleaseNetworking();

/// A transfer that receives no byte for this long is aborted (default 60 s).
void SetNoDataAbortMs(int ms);
int NoDataAbortMs();

/// GET `url` on the calling thread into the file at `path`, which is created
/// or truncated when the transfer begins. On failure the file is deleted and
/// the result is false. An HTTP error status is no failure.
bool DownloadToFile(std::string_view url, std::string_view path);

/// Starts a GET of `url` into memory on a worker thread. Nothing when it
/// cannot be started (another download is still in flight, or no thread).
std::optional<DownloadHandle> StartMemoryDownload(std::string_view url);

/// Where the download stands; an unknown handle reads as Failed.
DownloadProgress PollDownload(DownloadHandle handle);

/// Blocks until the download has ended or `max_ms` have passed; true when it
/// has ended. Wakes as soon as the transfer ends.
bool WaitForDownload(DownloadHandle handle, int max_ms);

/// The body when the download succeeded, else nothing. Releases the handle
/// in every case; a download still in flight is cancelled first.
std::optional<std::string> FinishDownload(DownloadHandle handle);

}  // namespace kanade
