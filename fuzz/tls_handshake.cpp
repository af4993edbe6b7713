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

#include "LoopbackPeer.h"
#include "tls/NetSSLIOHandlerSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzzpeer::LoopbackListener listener;
  if (size > 65536) return 0;  // more than the socket buffers hold before the client reads

  TNetSSLIOHandlerSocket handler;
  handler.OnPeerHostName = [](TNetSSLIOHandlerSocket*, std::string& host) { host = "localhost"; };
  int server = -1;
  try {
    handler.Open();
    listener.DropStale();
    handler.ConnectClientTo("127.0.0.1", listener.Port(), -1, 0, 0, 0, "");
    // Whichever side closes first resets, so no run leaves a TIME_WAIT behind: tens of
    // thousands of runs would otherwise use up the local ports.
    linger reset{1, 0};
    handler.Binding()->SetSockOpt(SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    server = listener.Accept();
    if (server < 0) return 0;
    fuzzpeer::SendAll(server, data, size);  // a handler that gave up early may refuse it
    ::shutdown(server, SHUT_WR);
    handler.SetPlainMode(false);
    char buffer[512];
    while (handler.Readable(0)) {
      if (handler.Recv(buffer, sizeof buffer) <= 0) break;
    }
  } catch (const Exception&) {
  }
  fuzzpeer::ResetAndClose(server);
  return 0;
}
