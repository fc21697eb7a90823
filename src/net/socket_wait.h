// Waiting on exactly the sockets that libcurl names, and being woken from
// another thread: poll() on POSIX, WSAPoll() on Windows, each with a
// wake-up channel of its own among the sockets.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace kanade {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;  // SOCKET
#else
using NativeSocket = int;
#endif

struct SocketInterest {
  NativeSocket Socket{};
  bool Read = false;
  bool Write = false;
};

struct SocketReady {
  NativeSocket Socket{};
  bool Read = false;
  bool Write = false;
  bool Error = false;  // an error or a hang-up: the owner must look at it
};

class SocketWaiter {
 public:
  SocketWaiter();
  ~SocketWaiter();
  SocketWaiter(const SocketWaiter&) = delete;
  SocketWaiter& operator=(const SocketWaiter&) = delete;

  /// False when the wake-up channel could not be made.
  bool Usable() const { return usable_; }
  /// Ends a Wait that runs now or comes next; from any thread. Wakes that
  /// come before the Wait has seen the first cost nothing more.
  void Wake();
  /// Waits up to `timeout_ms` (0: only looks) for one of `sockets` to be
  /// ready as asked, or for Wake. `ready` receives the sockets that are;
  /// true when Wake was called (its signal is used up).
  bool Wait(const std::vector<SocketInterest>& sockets, int timeout_ms,
            std::vector<SocketReady>* ready);

 private:
  bool usable_ = false;
  std::atomic<bool> wake_pending_{false};
  NativeSocket wake_read_{};
  NativeSocket wake_write_{};
};

}  // namespace kanade
