// One GET over libcurl with the patcher's request behaviour, and the libcurl
// session that all transfers share (connections, TLS sessions, DNS cache).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kanade {

enum class TransferOutcome {
  kCompleted,  // the whole body arrived (any HTTP status)
  kFailed,     // connection, TLS, protocol or sink failure
  kStalled,    // no byte arrived within NoDataAbortMs()
  kCancelled,  // the cancel flag was raised
};

/// Where the body of a transfer goes.
class TransferSink {
 public:
  virtual ~TransferSink() = default;
  /// The Content-Length of the final response, when it has one, before its
  /// first body byte. The server's word only: never trust it for more than a
  /// hint.
  virtual void ExpectLength(std::uint64_t /*length*/) {}
  /// Takes the next body bytes; false stops the transfer as failed.
  virtual bool Write(const char* data, std::size_t size) = 0;
  /// Called on the transferring thread while the transfer runs, at least
  /// about once a second, also while nothing arrives.
  virtual void Progress() {}
};

/// Initialises libcurl and the shared session once; true when ready.
bool StartCurlSession();
/// Drops the shared session and libcurl. No transfer may be running.
void StopCurlSession();

/// Runs one GET of `url` into `sink` on the calling thread. `cancel` (may be
/// null) is checked about once a second and whenever data arrives.
TransferOutcome RunTransfer(std::string_view url, TransferSink& sink,
                            const std::atomic<bool>* cancel = nullptr);

}  // namespace kanade
