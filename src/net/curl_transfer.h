// Every transfer of the program runs on one libcurl multi handle, driven by
// one worker thread: connections, TLS sessions and HTTP/2 streams are shared,
// and several transfers run at once. Callers start a transfer with a sink
// for its body and wait for it; the sink is called on the worker thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/reason.h"

namespace kanade {

inline constexpr std::string_view kUserAgent = "Mozilla/5.0 Gecko/41.0 Firefox/41.0";
inline constexpr long kMaxRedirects = 20;

enum class TransferOutcome {
  kCompleted,  // the whole body arrived (any HTTP status)
  kFailed,     // connection, TLS, protocol or sink failure
  kTooLarge,   // more body bytes than the request allows
  kStalled,    // no byte within the no-data limit, or slower than the low-speed limit
  kCancelled,  // ended by the caller
};

/// Where the body of a transfer goes. Called on the worker thread only.
class TransferSink {
 public:
  virtual ~TransferSink() = default;
  /// Takes the next decoded body bytes; false stops the transfer as failed.
  virtual bool Write(const char* data, std::size_t size) = 0;
  /// Forgets every byte written so far, before a retry starts the body
  /// again; false when it cannot (the transfer is then not retried).
  virtual bool Restart() { return false; }
};

/// A response's validators, or those of a copy held: ETag and
/// Last-Modified, each empty when there is none.
struct HttpValidators {
  std::string ETag;
  std::string LastModified;
  bool Empty() const { return ETag.empty() && LastModified.empty(); }
  bool operator==(const HttpValidators&) const = default;
};

/// Longer validators are not taken from a response (real servers send a few
/// dozen bytes).
inline constexpr std::size_t kMaxETagBytes = 1024;
inline constexpr std::size_t kMaxLastModifiedBytes = 64;

/// True for a validator that may be sent back: visible ASCII and spaces
/// only (no line break could start another header), within its limit.
bool IsSendableValidator(std::string_view value, std::size_t limit);

struct TransferRequest {
  std::string Url;
  std::uint64_t MaxBytes = 0;  // decoded body bytes, counted as they arrive
  bool HttpsOnly = false;      // https for the request and every redirect
  // Sent as If-None-Match and If-Modified-Since when set: the server may
  // then answer 304 without a body. Unsendable values fail the transfer.
  HttpValidators IfChanged;
  // Asks again what an earlier transfer failed to get: its retry was taken
  // from the server's budget (TakeRetry), so it is no new request there.
  bool Retry = false;
};

/// What the last response (after redirects) said beside its status and body.
struct TransferResponse {
  HttpValidators Validators;  // those fit to send back
  std::string Refused;        // why a validator of the response was not taken
  bool ExcessBody = false;    // bytes came after a response that has no body (304)
};

using TransferId = std::uint64_t;

struct TransferState {
  bool Done = false;
  TransferOutcome Outcome = TransferOutcome::kFailed;  // once Done
  std::uint64_t Received = 0;                          // decoded body bytes so far
  long HttpStatus = 0;                                 // of the last response, once Done
  kanade::Reason Reason;                               // why it did not complete, once Done
  std::vector<kanade::Reason> Retries;                 // why each earlier attempt was given up
  TransferResponse Response;                           // of the last response, once Done
  std::chrono::steady_clock::time_point EndedAt;       // once Done
};

/// Streams of one HTTP/2 connection at most (fewer when the server says
/// so). Transfers beyond what the connections take wait in libcurl's queue.
inline constexpr int kMaxStreamsPerConnection = 100;
/// Connections to one host once answers came over HTTP/2. Up to eight
/// before the first answer, and once any came over HTTP/1.x, which takes a
/// connection for each transfer.
inline constexpr int kMultiplexedConnectionsPerHost = 2;

/// Attempts of one transfer at most: the first and two retries. A retry
/// follows a failure of the connection (reset, GOAWAY, a stream error, a
/// partial body) or HTTP 5xx or 429, on a new connection, from the start,
/// after a random pause up to 0.5 s and 2 s, or the Retry-After that the
/// server gave, up to the longest retry pause (10 s); for that long the
/// server's new requests wait too. Each origin allows retries for a tenth
/// of the requests sent to it in a run, plus three; the transfers that one
/// broken connection takes with it cost one retry together.
inline constexpr int kTransferAttempts = 3;
void SetLongestRetryPauseMs(int ms);

// The clocks below are a server's, not each request's: bytes arriving on
// any connection to it show it and the line alive for every transfer
// waiting there (on a narrow line a request waits behind other bodies).

/// A transfer whose server sends nothing for this long while its body is
/// under way is aborted (default 60 s).
void SetNoDataAbortMs(int ms);
int NoDataAbortMs();
/// The transfers to a server that brings less than `bytes_per_second` on
/// average over a window of `window_ms` are aborted (default 1 KiB/s over
/// 60 s).
void SetLowSpeedLimit(int bytes_per_second, int window_ms);
int LowSpeedBytesPerSecond();
int LowSpeedWindowMs();
/// Connecting plus the TLS handshake may take this long with nothing from
/// the server on any connection (default 15 s).
void SetConnectTimeoutMs(int ms);
int ConnectTimeoutMs();
/// From the request to the first byte of the answer's body, with nothing
/// from the server meanwhile (default 20 s): past it the server counts as
/// unreachable, as after a connect time-out.
void SetFirstByteTimeoutMs(int ms);
/// A host that did not connect within the connect time-out, or did not
/// answer within the first-byte time-out, fails every later transfer at
/// once with the same reason, until this is called (at the start of each
/// patch run), which also renews every origin's retries.
void ForgetUnreachableHosts();
/// What the line delivered over the last seconds in which bodies arrived,
/// in bytes a second; nothing until enough such time was seen.
std::optional<double> LineBytesPerSecond();
/// Takes one retry from the budget of `url`'s server for this run; false
/// when none is left.
bool TakeRetry(std::string_view url);

/// Starts a transfer; nothing when libcurl or the worker cannot start. The
/// sink must outlive the transfer (until EndTransfer).
std::optional<TransferId> StartTransfer(const TransferRequest& request, TransferSink& sink);
/// Where the transfer stands; an unknown id reads as done and failed.
TransferState TransferStatus(TransferId id);
/// Blocks until the transfer is done or `max_ms` passed; true when done.
bool WaitForTransfer(TransferId id, int max_ms);
/// Cancels the transfer if it still runs and forgets it. Afterwards the
/// worker no longer touches its sink.
void EndTransfer(TransferId id);

/// Initialises libcurl once; true when ready.
bool StartCurlSession();
/// Cancels every transfer, ends the worker and releases libcurl.
void StopCurlSession();

}  // namespace kanade
