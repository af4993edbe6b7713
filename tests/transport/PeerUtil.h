// Raw loopback peers for the transport tests: a listening socket on 127.0.0.1 and an ephemeral
// port, a script that drives one accepted connection byte by byte on its own thread (sends,
// pauses, closes, resets), a connect that never completes, and a port that refuses connections.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerDaemons.h"
#include "transport/NetTCPClient.h"

namespace peer {

// A listening socket on 127.0.0.1:0.
class Listener {
 public:
  explicit Listener(int backlog = 16);
  ~Listener();
  uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  // Accepts one connection within timeout_ms; -1 when none came.
  int Accept(int timeout_ms = 5000);

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Runs `script(fd)` on the first connection accepted by a fresh listener, on a thread of its
// own; the fd is closed after the script unless the script took it (set it to -1).
class ScriptPeer {
 public:
  using Script = std::function<void(int& fd)>;
  explicit ScriptPeer(Script script);
  ~ScriptPeer();  // joins
  uint16_t Port() const { return listener_.Port(); }
  // Waits for the script to end.
  void Join();

 private:
  Listener listener_;
  std::thread thread_;
};

// Helpers for scripts.
bool SendAll(int fd, const std::string& bytes);
// Reads exactly n bytes (fewer on close or after timeout_ms).
std::string RecvExact(int fd, size_t n, int timeout_ms = 5000);
// Reads until the peer closes or timeout_ms passes.
std::string RecvUntilClose(int fd, int timeout_ms = 5000);
// True when nothing at all arrives within ms.
bool Silent(int fd, int ms);
// Closes with an RST instead of a FIN.
void Reset(int& fd);
void Sleep(int ms);

// Descriptors this process has open right now.
int OpenFdCount();

// A listener whose accept queue is full, so that a further connect hangs (SYNs are dropped).
// Skips (Ok() false) if the queue could not be filled.
class BlackHole {
 public:
  BlackHole();
  ~BlackHole();
  bool Ok() const { return ok_; }
  uint16_t Port() const { return listener_.Port(); }

 private:
  Listener listener_{0};
  std::vector<int> fillers_;
  bool ok_ = false;
};

// A loopback port that refuses connections while the object lives.
using ClosedPort = ::RefusedLoopbackPort;

// A fresh temporary directory.
std::string TempDir();

}  // namespace peer
