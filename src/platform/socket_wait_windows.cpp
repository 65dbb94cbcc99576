// Waiting for sockets on Windows: the main loop waits for handles, so each socket is tied to an
// event object (WSAEventSelect) that the main loop polls. Tying it again before each wait also
// records that a writable socket is writable, which Windows otherwise reports only once.
#include <winsock2.h>

#include <map>

#include "platform/platform.h"

namespace platform {

struct SocketWait::Impl {
  std::map<Socket, WSAEVENT> events;
  std::vector<SocketState> wanted;

  void forget(Socket socket) {
    WSAEventSelect(static_cast<SOCKET>(socket), nullptr, 0);
    WSACloseEvent(events[socket]);
    events.erase(socket);
  }
};

SocketWait::SocketWait() : impl_(std::make_unique<Impl>()) {}

SocketWait::~SocketWait() {
  while (!impl_->events.empty()) impl_->forget(impl_->events.begin()->first);
}

std::vector<GPollFD> SocketWait::prepare(const std::vector<SocketState>& wanted) {
  for (auto it = impl_->events.begin(); it != impl_->events.end();) {
    const Socket socket = (it++)->first;
    bool still = false;
    for (const SocketState& s : wanted) still = still || s.socket == socket;
    if (!still) impl_->forget(socket);
  }
  impl_->wanted = wanted;
  std::vector<GPollFD> fds;
  for (const SocketState& s : wanted) {
    WSAEVENT& event = impl_->events[s.socket];
    if (!event) event = WSACreateEvent();
    const long mask =
        FD_CLOSE | (s.read ? FD_READ | FD_ACCEPT : 0) | (s.write ? FD_WRITE | FD_CONNECT : 0);
    WSAEventSelect(static_cast<SOCKET>(s.socket), event, mask);
    GPollFD fd{};
    fd.fd = reinterpret_cast<gintptr>(event);
    fd.events = G_IO_IN;
    fds.push_back(fd);
  }
  return fds;
}

std::vector<SocketState> SocketWait::ready(const std::vector<GPollFD>& polled) {
  std::vector<SocketState> result;
  for (std::size_t i = 0; i < polled.size() && i < impl_->wanted.size(); ++i) {
    if (!polled[i].revents) continue;
    const Socket socket = impl_->wanted[i].socket;
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(static_cast<SOCKET>(socket), impl_->events[socket], &happened) != 0) {
      result.push_back({socket, true, true, true});  // let the reader or writer find out
      continue;
    }
    const long e = happened.lNetworkEvents;
    const bool read = e & (FD_READ | FD_ACCEPT | FD_CLOSE);
    const bool write = e & (FD_WRITE | FD_CONNECT);
    // A connection refused or reset, or closed with an error.
    const bool error = ((e & FD_CONNECT) && happened.iErrorCode[FD_CONNECT_BIT] != 0) ||
                       ((e & FD_CLOSE) && happened.iErrorCode[FD_CLOSE_BIT] != 0);
    if (read || write) result.push_back({socket, read, write, error});
  }
  return result;
}

}  // namespace platform
