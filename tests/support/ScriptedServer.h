// A byte-exact TCP server on 127.0.0.1 and an ephemeral port, for tests that must control every
// byte a peer sends and when: split lines, closes in the middle of a body, silence, resets.
//
// Each accepted connection runs the test's script on a thread of its own; the script reads what
// the client sent and answers through a ScriptedConnection. Everything a script reads with
// ReadHead is recorded, in arrival order, for the test to inspect afterwards.
//
// The server never blocks its owner: every read in a script has a time-out, and destroying the
// server wakes scripts that still wait (their reads return what they have, their sends fail),
// closes every socket and joins every thread.
//
// Thread-safety: the public methods of ScriptedServer may be called from any thread while it
// runs. A ScriptedConnection belongs to the one script thread it was handed to.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class ScriptedServer;

// The server's side of one accepted connection.
class ScriptedConnection {
 public:
  // 0 for the first connection the server accepted, 1 for the next, ...
  int Index() const { return index_; }

  // Reads up to and including the blank line that ends a request head (CR LF CR LF or LF LF).
  // Returns "" when the peer closed or nothing complete arrived within timeout_ms. Bytes after
  // the head stay buffered for ReadBytes.
  std::string ReadHead(int timeout_ms = 5000);
  // Reads exactly n bytes; fewer when the peer closed or the time-out passed.
  std::string ReadBytes(size_t n, int timeout_ms = 5000);
  // Sends all bytes; false when the peer is gone or the server is stopping.
  bool Send(std::string_view bytes);
  // Sends `bytes` in pieces of `piece` bytes with `pause_ms` between them.
  bool SendSlowly(std::string_view bytes, size_t piece, int pause_ms);
  // Sleeps, but returns early (false) when the server is stopping.
  bool Pause(int ms);
  // Half-closes: the client sees the end of the stream; reads here still work.
  void ShutdownWrite();
  // Aborts the connection with a reset (SO_LINGER 0).
  void Reset();
  // Waits until the client closes its side; true when it did within timeout_ms. Data the client
  // sends meanwhile is buffered.
  bool WaitPeerClosed(int timeout_ms);

 private:
  friend class ScriptedServer;
  ScriptedConnection(ScriptedServer* server, int fd, int index)
      : server_(server), fd_(fd), index_(index) {}
  // One receive into pending_ within timeout_ms: >0 bytes, 0 closed, -1 time-out or stopping.
  int ReceiveSome(int timeout_ms);

  ScriptedServer* server_;
  int fd_;
  int index_;
  bool peer_closed_ = false;
  std::string pending_;
};

class ScriptedServer {
 public:
  using Script = std::function<void(ScriptedConnection&)>;

  // One canned answer: the exact bytes, then optionally a close (FIN) of the connection.
  struct Reply {
    std::string bytes;
    bool close_after = false;
  };

  // Listens on 127.0.0.1:0 and runs `script` for every accepted connection. When the script
  // returns, the connection is closed (FIN). Throws std::runtime_error when it cannot listen.
  explicit ScriptedServer(Script script) : ScriptedServer(std::move(script), false) {}
  // The same on [::1] with `ipv6`.
  ScriptedServer(Script script, bool ipv6);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // A script that answers the requests it reads, over all connections together, with `replies`
  // in order: read a head, send the next reply, close when it says so, and so on. Once the
  // replies run out, further requests get their connection closed without an answer.
  static Script Canned(std::vector<Reply> replies);

  uint16_t Port() const { return port_; }
  // "127.0.0.1:PORT" (or "[::1]:PORT").
  std::string HostPort() const;
  // "http://127.0.0.1:PORT" + path.
  std::string Url(const std::string& path) const;

  // Connections accepted so far.
  int ConnectionCount() const { return connections_.load(); }
  // Every request head read by ReadHead so far, over all connections, in arrival order.
  std::vector<std::string> Heads() const;
  // Just the request lines of Heads() (without CR LF).
  std::vector<std::string> RequestLines() const;
  // Waits until at least `count` heads were read; true when that happened within timeout_ms.
  bool WaitForHeads(size_t count, int timeout_ms) const;

  bool Stopping() const { return stopping_.load(); }

 private:
  friend class ScriptedConnection;
  void AcceptLoop();
  void RecordHead(const std::string& head);

  Script script_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  bool ipv6_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;

  mutable std::mutex mu_;
  std::vector<std::thread> workers_;
  std::vector<int> open_fds_;
  std::vector<std::string> heads_;
};

// Builds a response head: the status line, the given header lines, the blank line.
// HttpHead("HTTP/1.1 200 OK", {"Content-Length: 3"}) + "abc".
std::string HttpHead(const std::string& status_line, const std::vector<std::string>& headers);
// A complete response with a Content-Length body.
std::string HttpResponse(const std::string& status_line, const std::string& body,
                         const std::vector<std::string>& extra_headers = {});
// `body` as chunked transfer coding in chunks of at most `chunk` bytes (lower-case hex sizes),
// with the closing zero chunk and blank line.
std::string ChunkedBody(std::string_view body, size_t chunk);
