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

#include "LoopbackPeer.h"
#include "transport/NetTCPConnection.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;  // fits the loopback buffers: the peer never blocks

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
  static const fuzzpeer::LoopbackListener listener;
  const uint8_t mode = data[0];
  const std::string sent(reinterpret_cast<const char*>(data) + 1, size - 1);

  listener.DropStale();
  int peer = listener.Connect();
  if (peer < 0) return 0;  // the machine's limit, not a finding

  TNetTCPConnection c;
  auto* io = new TNetIOHandlerSocket;
  c.SetIOHandler(io, true);
  io->Open();
  try {
    if (!io->Binding()->Accept(listener.Fd())) throw ENetException("not accepted");
  } catch (const ENetException&) {
    fuzzpeer::ResetAndClose(peer);  // the machine's limit, not a finding
    return 0;
  }

  Check(fuzzpeer::SendAll(peer, sent.data(), sent.size()));
  // A clean end is a half-close now; the peer's own close, later, is a reset.
  if (mode & 0x80) {
    fuzzpeer::ResetAndClose(peer);
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
  fuzzpeer::ResetAndClose(peer);
  return 0;
}
