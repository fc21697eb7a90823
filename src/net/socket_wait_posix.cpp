#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket_wait.h"

namespace kanade {

SocketWaiter::SocketWaiter() {
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return;
  wake_read_ = ends[0];
  wake_write_ = ends[1];
  usable_ = true;
}

SocketWaiter::~SocketWaiter() {
  if (!usable_) return;
  ::close(wake_read_);
  ::close(wake_write_);
}

void SocketWaiter::Wake() {
  if (!usable_ || wake_pending_.exchange(true)) return;
  const char byte = 1;
  // A full pipe is already a pending wake-up.
  while (::write(wake_write_, &byte, 1) < 0 && errno == EINTR) {
  }
}

bool SocketWaiter::Wait(const std::vector<SocketInterest>& sockets, int timeout_ms,
                        std::vector<SocketReady>* ready) {
  ready->clear();
  std::vector<pollfd> fds;
  fds.reserve(sockets.size() + 1);
  fds.push_back({wake_read_, POLLIN, 0});
  for (const SocketInterest& s : sockets) {
    fds.push_back(
        {s.Socket, static_cast<short>((s.Read ? POLLIN : 0) | (s.Write ? POLLOUT : 0)), 0});
  }
  const int count = ::poll(fds.data(), fds.size(), timeout_ms < 0 ? 0 : timeout_ms);
  if (count <= 0) return false;
  bool woken = false;
  if (fds[0].revents != 0) {
    char drain[64];
    while (::read(wake_read_, drain, sizeof drain) > 0) {
    }
    // Cleared before the caller looks at what the waker left for it.
    wake_pending_ = false;
    woken = true;
  }
  for (std::size_t i = 1; i < fds.size(); ++i) {
    const short events = fds[i].revents;
    if (events == 0) continue;
    ready->push_back({fds[i].fd, (events & POLLIN) != 0, (events & POLLOUT) != 0,
                      (events & (POLLERR | POLLHUP | POLLNVAL)) != 0});
  }
  return woken;
}

}  // namespace kanade
