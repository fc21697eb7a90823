#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/socket_wait.h"

namespace kanade {

// The wake-up channel is a UDP socket on the loopback that sends to itself:
// WSAPoll waits on sockets only. Winsock is started by libcurl's global
// initialisation, which comes first.
SocketWaiter::SocketWaiter() {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long nonblocking = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    ::closesocket(s);
    return;
  }
  wake_read_ = s;
  wake_write_ = s;
  usable_ = true;
}

SocketWaiter::~SocketWaiter() {
  if (usable_) ::closesocket(static_cast<SOCKET>(wake_read_));
}

void SocketWaiter::Wake() {
  if (!usable_ || wake_pending_.exchange(true)) return;
  const char byte = 1;
  ::send(static_cast<SOCKET>(wake_write_), &byte, 1, 0);
}

bool SocketWaiter::Wait(const std::vector<SocketInterest>& sockets, int timeout_ms,
                        std::vector<SocketReady>* ready) {
  ready->clear();
  std::vector<WSAPOLLFD> fds;
  fds.reserve(sockets.size() + 1);
  fds.push_back({static_cast<SOCKET>(wake_read_), POLLRDNORM, 0});
  for (const SocketInterest& s : sockets) {
    // WSAPoll refuses POLLPRI and the other bands: normal data only.
    fds.push_back({static_cast<SOCKET>(s.Socket),
                   static_cast<SHORT>((s.Read ? POLLRDNORM : 0) | (s.Write ? POLLWRNORM : 0)), 0});
  }
  const int count =
      ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms < 0 ? 0 : timeout_ms);
  if (count <= 0) return false;
  bool woken = false;
  if (fds[0].revents != 0) {
    char drain[64];
    while (::recv(static_cast<SOCKET>(wake_read_), drain, sizeof drain, 0) > 0) {
    }
    // Cleared before the caller looks at what the waker left for it.
    wake_pending_ = false;
    woken = true;
  }
  for (std::size_t i = 1; i < fds.size(); ++i) {
    const SHORT events = fds[i].revents;
    if (events == 0) continue;
    ready->push_back({static_cast<NativeSocket>(fds[i].fd), (events & POLLRDNORM) != 0,
                      (events & POLLWRNORM) != 0, (events & (POLLERR | POLLHUP | POLLNVAL)) != 0});
  }
  return woken;
}

}  // namespace kanade
