// Feeds arbitrary byte streams to the TCP connection's readers through a loopback socket: the
// first input byte picks the reader and its settings, the rest is what the peer sends before it
// closes (or resets). Checks that nothing crashes or hangs and that the readers lose and invent
// no bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "transport/NetTCPConnection.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;  // fits the loopback buffers: the peer never blocks

int g_listener = -1;
sockaddr_in g_address{};

void Setup() {
  g_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  g_address.sin_family = AF_INET;
  g_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof g_address;
  if (bind(g_listener, reinterpret_cast<sockaddr*>(&g_address), sizeof g_address) != 0 ||
      listen(g_listener, 16) != 0 ||
      getsockname(g_listener, reinterpret_cast<sockaddr*>(&g_address), &len) != 0) {
    abort();
  }
}

#define Check(ok)                                                              \
  do {                                                                         \
    if (!(ok)) {                                                               \
      fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #ok);         \
      abort();                                                                 \
    }                                                                          \
  } while (0)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  if (g_listener < 0) Setup();
  const uint8_t mode = data[0];
  const std::string sent(reinterpret_cast<const char*>(data) + 1, size - 1);

  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(peer, reinterpret_cast<sockaddr*>(&g_address), sizeof g_address) != 0) {
    close(peer);  // out of local ports or the like: the machine's limit, not a finding
    return 0;
  }

  TNetTCPConnection c;
  auto* io = new TNetIOHandlerSocket;
  c.SetIOHandler(io, true);
  io->Open();
  if (!io->Binding()->Accept(g_listener)) {
    close(peer);  // the machine's limit, not a finding
    return 0;
  }

  Check(send(peer, sent.data(), sent.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(sent.size()));
  // Every close of the peer is a reset (linger 0), so no run leaves a TIME_WAIT behind: tens of
  // thousands of runs would otherwise use up the local ports. A clean end is a half-close now
  // and the reset comes once the readers are done.
  linger l{1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  if (mode & 0x80) {
    close(peer);
    peer = -1;
  } else {
    shutdown(peer, SHUT_WR);
  }

  c.SetReadTimeout(2000);  // never hang: the peer has said all it will
  c.SetRecvBufferSize(1 + (mode & 0x07) * 977);
  std::string got;  // every byte the readers delivered, in order
  try {
    switch ((mode >> 3) & 0x03) {
      case 0: {  // whole body up to the close
        TMemoryStream s;
        c.ReadToStream(s, -1, true);
        got = s.DataString();
        break;
      }
      case 1: {  // bodies of counts taken from the stream itself
        for (int i = 0; i < 64; ++i) {
          TMemoryStream s;
          try {
            c.ReadToStream(s, (i * 37 + mode) % 300);
          } catch (const ENetConnClosedGracefully&) {
            got += s.DataString();
            throw;
          }
          got += s.DataString();
        }
        break;
      }
      case 2: {  // lines split at a small limit: the pieces and terminators give back the input
        c.SetMaxLineAction(maSplit);
        c.SetMaxLineLength(1 + (mode & 0x07) * 5);
        const std::string term = (mode & 0x40) ? "\r\n" : "|";
        for (int i = 0; i < 100000; ++i) {
          std::string line = c.ReadLine(term);
          if (c.LineTimedOut()) break;
          got += line;
          if (!c.LineWasSplit()) got += term;
        }
        break;
      }
      default: {  // lines under the default limit, with the CR-before-LF rule
        for (int i = 0; i < 100000; ++i) {
          std::string line = c.ReadLine();
          if (c.LineTimedOut()) break;
          Check(line.find('\n') == std::string::npos);
        }
        break;
      }
    }
  } catch (const ENetException&) {
    // Closes, resets, limits and time-outs end a read; none may crash or hang.
  }
  // Whatever is still queued or unread.
  std::string left;
  try {
    TMemoryStream rest;
    c.ReadToStream(rest, -1, true);
    left = rest.DataString();
  } catch (const ENetException&) {
  }
  if (!(mode & 0x80) && ((mode >> 3) & 0x03) != 3) {
    // After a clean close nothing is lost or invented: delivered + still queued = sent.
    Check(got + left == sent);
  }
  if (peer >= 0) close(peer);
  return 0;
}
