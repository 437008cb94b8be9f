// Loopback sockets for tests: a connection to a local port, and a server that
// takes connections (into the kernel's backlog) and never says a word, for
// clients that must give up by their own time-outs.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "platform/base/unique_fd.h"

namespace quor::test {

// A connected socket, or an invalid one when nothing listens. A
// `receiveBuffer` (bytes) is set before the connect, so that the window the
// peer sees stays that small.
inline UniqueFd ConnectLoopback(int port, int receiveBuffer = 0) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.valid() && receiveBuffer > 0 &&
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
    return UniqueFd();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return UniqueFd();
  return fd;
}

// Waits up to 50 ms for bytes on `fd` and appends what came; false once the
// peer closed or the socket failed.
inline bool ReadSome(int fd, std::string& in) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 50) <= 0) return true;
  char buffer[65536];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  in.append(buffer, static_cast<size_t>(n));
  return true;
}

class SilentListener {
 public:
  SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd_.valid() || ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_.get(), 8) != 0 || ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
  }

  // 0 when the socket could not be made.
  int Port() const { return port_; }

  // Whether a client connected since the last look.
  bool Contacted() const {
    const UniqueFd accepted(::accept(fd_.get(), nullptr, nullptr));
    return accepted.valid();
  }

 private:
  UniqueFd fd_;
  int port_ = 0;
};

}  // namespace quor::test
