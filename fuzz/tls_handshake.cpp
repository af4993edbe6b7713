// Arbitrary server bytes in place of a TLS answer, through the TLS handler's handshake over a
// live loopback connection (the path a proxy tunnel takes) and, should it ever complete, the
// first reads. Whatever the bytes, the handler must end in ENetSSLProtocolReplyError or a
// socket error: no crash, no hang (the server's side is closed after the bytes), no leak.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "tls/NetSSLIOHandlerSocket.h"

namespace {

int Listener(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, 16);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint16_t port = 0;
  static int listener = Listener(port);
  if (size > 65536) return 0;  // more than the socket buffers hold before the client reads

  TNetSSLIOHandlerSocket handler;
  handler.OnPeerHostName = [](TNetSSLIOHandlerSocket*, std::string& host) { host = "localhost"; };
  int server = -1;
  try {
    handler.Open();
    handler.ConnectClientTo("127.0.0.1", port, -1, 0, 0, 0, "");
    // Whichever side closes first resets, so no run leaves a TIME_WAIT behind: tens of
    // thousands of runs would otherwise use up the local ports.
    linger reset{1, 0};
    handler.Binding()->SetSockOpt(SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0) return 0;
    if (size > 0) ::send(server, data, size, MSG_NOSIGNAL);
    ::shutdown(server, SHUT_WR);
    handler.SetPlainMode(false);
    char buffer[512];
    while (handler.Readable(0)) {
      if (handler.Recv(buffer, sizeof buffer) <= 0) break;
    }
  } catch (const Exception&) {
  }
  if (server >= 0) {
    linger l{1, 0};  // a reset leaves no TIME_WAIT behind to use up the local ports
    ::setsockopt(server, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(server);
  }
  return 0;
}
