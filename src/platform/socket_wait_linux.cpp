// Waiting for sockets on Linux: a socket is a descriptor the main loop polls as it is.
#include "platform/platform.h"

namespace platform {

struct SocketWait::Impl {
  std::vector<SocketState> wanted;
};

SocketWait::SocketWait() : impl_(std::make_unique<Impl>()) {}
SocketWait::~SocketWait() = default;

std::vector<GPollFD> SocketWait::prepare(const std::vector<SocketState>& wanted) {
  impl_->wanted = wanted;
  std::vector<GPollFD> fds;
  for (const SocketState& s : wanted) {
    const gushort events = (s.read ? G_IO_IN : 0) | (s.write ? G_IO_OUT : 0);
    fds.push_back({static_cast<gint>(s.socket), events, 0});
  }
  return fds;
}

std::vector<SocketState> SocketWait::ready(const std::vector<GPollFD>& polled) {
  std::vector<SocketState> result;
  for (std::size_t i = 0; i < polled.size() && i < impl_->wanted.size(); ++i) {
    const gushort r = polled[i].revents;
    // A hang-up or an error is said as such, and is for the reader (or writer) to find out.
    const bool error = r & (G_IO_HUP | G_IO_ERR | G_IO_NVAL);
    const bool read = r & (G_IO_IN | G_IO_HUP | G_IO_ERR);
    const bool write = r & (G_IO_OUT | G_IO_ERR);
    if (read || write || error) result.push_back({impl_->wanted[i].socket, read, write, error});
  }
  return result;
}

}  // namespace platform
