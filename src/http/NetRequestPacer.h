// TNetRequestPacer: the one pacer of the requests a process sends, shared by all its runs. Per
// server (host and port, or the host alone), at most `parallel` requests at once, and each
// request starts at least `delay` after the one before it (counted from that one's answer, or
// from its start). Services block clients that ask too fast; a site's own servers are asked
// politely.
//
// A wait for one's turn ends at once with ENetFetchStopped when the request's stop turns true
// (looked at every kNetPacerPollMs) or Stop was called: a stop never waits out a long delay.
//
// Memory: an entry per server with a request under way or a delay still running; the others are
// let go, so a batch of any number of sites holds only those of the sites in flight.
//
// Thread-safety: every method may be called from any number of threads at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "http/NetFetchSession.h"

inline constexpr int kNetPacerPollMs = 100;

class TNetRequestPacer : public TRequestPacing {
 public:
  // Where the delay is counted from.
  enum class TFrom {
    Answer,  // the end of the request before (one server never sees two closer than delay)
    Start,   // the start of the request before (several may be under way at once)
  };
  // What one server is.
  enum class TServer {
    HostAndPort,  // each port apart: a service's stand-ins on one address are several services
    Host,         // a site's http and https servers are usually one machine
  };
  TNetRequestPacer(std::chrono::milliseconds delay, int parallel = 1, TFrom from = TFrom::Answer,
                   TServer server = TServer::HostAndPort);

  void Begin(const std::string& url, const std::function<bool()>& stopped) override;
  void End(const std::string& url) override;
  // Ends every wait now and later with ENetFetchStopped (the process is stopping).
  void Stop();

  // The server of an absolute URL as `server` counts it: "host:port" (the scheme's default port
  // when it names none) or "host", in lower case; "" when the URL names no host.
  static std::string ServerKey(const std::string& url, TServer server = TServer::HostAndPort);

  // Servers with an entry (see Memory above), for tests.
  size_t EntryCount() const;

 private:
  struct TEntry {
    int busy = 0;
    std::chrono::steady_clock::time_point next{};  // earliest start of the next request
  };
  // Lets go of the entries nobody needs (nothing under way, delay over).
  void Prune(std::chrono::steady_clock::time_point now);

  const std::chrono::milliseconds delay_;
  const int parallel_;
  const TFrom from_;
  const TServer server_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::unordered_map<std::string, TEntry> servers_;
  bool stopped_ = false;
  size_t begun_ = 0;  // Begins since the last Prune
};
