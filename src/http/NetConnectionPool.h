// Idle kept-alive connections that clients hand to each other: those of one query, or (one pool
// for the process, TNetFetchSession's shared pool) those of every run of a batch, so that the
// sites of a list reuse their connections to each service host.
//
// A client gives its connection back after a request (TNetCustomHTTP::ReleaseConnection) when
// that connection may carry another one: the server allowed keep-alive and the answer was read
// to its end. The next client bound for the same place takes it (Take) and adopts it
// (TNetCustomHTTP::AdoptConnection). A connection is in the pool or with exactly one client,
// never both, so two requests never share it. Idle connections are closed after the idle limit
// and all of them by Close (the query ended or was stopped).
//
// Keys are made by the caller; they must tell apart everything that makes a connection unfit
// for another request: scheme, host, port and the proxy route.
//
// Thread-safety: every method may be called from any thread; connections are closed outside
// the lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TNetIOHandler;

// A connection between two requests: its I/O handler (connected, nothing unread) and the peer
// it is connected to (the server, or the HTTP proxy it goes through).
struct TNetIdleConnection {
  std::unique_ptr<TNetIOHandler> Handler;
  std::string PeerHost;
  int PeerPort = 0;
  explicit operator bool() const { return Handler != nullptr; }
};

// How long a connection may lie idle before it is closed.
inline constexpr std::chrono::milliseconds kNetPoolIdleLimit{15000};
// Idle connections kept at most, over all keys; the oldest goes first.
inline constexpr size_t kNetPoolMaxIdle = 16;
// A process's pool: idle connections at most, over all keys and for one key (the oldest of that
// key goes first). Requests to a service host are spaced one at a time or a few at once, so a
// few idle connections serve it; the rest are closed rather than held for hosts never met again.
inline constexpr size_t kNetSharedPoolMaxIdle = 64;
inline constexpr size_t kNetSharedPoolMaxIdlePerKey = 8;

class TNetConnectionPool {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  // `now` stands in for the steady clock in tests.
  explicit TNetConnectionPool(std::chrono::milliseconds idle_limit = kNetPoolIdleLimit,
                              size_t max_idle = kNetPoolMaxIdle, TClock now = {},
                              size_t max_idle_per_key = kNetPoolMaxIdle);
  // Closes every idle connection.
  ~TNetConnectionPool();
  TNetConnectionPool(const TNetConnectionPool&) = delete;
  TNetConnectionPool& operator=(const TNetConnectionPool&) = delete;

  // The most recently given idle connection for key, now the caller's alone; empty when there
  // is none (connections past the idle limit are closed on the way).
  TNetIdleConnection Take(const std::string& key);
  // Keeps `connection` for key from now. After Close it is closed at once.
  void Give(const std::string& key, TNetIdleConnection connection);
  // Closes every idle connection; from now on everything given is closed at once.
  void Close();

  size_t IdleCount() const;
  bool Closed() const;

 private:
  struct TEntry {
    std::string Key;
    TNetIdleConnection Connection;
    std::chrono::steady_clock::time_point Since;
  };
  std::chrono::steady_clock::time_point Now() const;
  // Moves the entries past the idle limit into `expired` (closed by the caller, unlocked).
  void TakeExpired(std::chrono::steady_clock::time_point now, std::vector<TEntry>& expired);

  const std::chrono::milliseconds idle_limit_;
  const size_t max_idle_;
  const size_t max_idle_per_key_;
  const TClock now_;
  mutable std::mutex mu_;
  std::vector<TEntry> idle_;  // oldest first
  bool closed_ = false;
};
