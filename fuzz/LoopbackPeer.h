// The loopback plumbing of the socket fuzz targets: one listener for the whole run and one fresh
// connection to it per input. A run must get its own connection and nobody else's: libFuzzer's
// alarm signal can cut a blocking connect short while the kernel completes it anyway, and a
// connection left queued that way would be accepted by the next run in place of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace fuzzpeer {

// Closes with a reset: no run leaves a TIME_WAIT behind, so tens of thousands of runs do not
// use up the local ports.
inline void ResetAndClose(int fd) {
  if (fd < 0) return;
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
}

// Sends every byte, resuming after signals; false when the connection fails.
inline bool SendAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address_;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 ||
        ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &len) != 0) {
      abort();
    }
  }

  int Fd() const { return fd_; }
  uint16_t Port() const { return ntohs(address_.sin_port); }

  // Resets every connection still queued from an earlier run. Call before connecting.
  void DropStale() const {
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0) {
      int stale = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (stale < 0) break;
      ResetAndClose(stale);
    }
  }

  // A new connection to the listener, waiting out signals; -1 when the machine has no port or
  // descriptor left (not a finding).
  int Connect() const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0)
      return fd;
    if (errno == EINTR) {
      // The signal cut the wait short, not the connect: wait for its outcome.
      pollfd p{fd, POLLOUT, 0};
      int ready;
      do ready = ::poll(&p, 1, -1);
      while (ready < 0 && errno == EINTR);
      int error = 0;
      socklen_t len = sizeof error;
      if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
        return fd;
    }
    ResetAndClose(fd);
    return -1;
  }

  // Accepts the next connection, waiting out signals; -1 on failure.
  int Accept() const {
    int fd;
    do fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
  }

 private:
  int fd_ = -1;
  sockaddr_in address_{};
};

}  // namespace fuzzpeer
