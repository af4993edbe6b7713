// Queries for many sites without a window: the same controller and workers as the window, each
// site a run of its own, several sites in flight at once, and every request to one service host
// at least a given time after the one before (services block clients that ask too fast).
//
// Threads: RunSites runs on the calling thread, which serves as the workers' main thread for
// the duration (it installs its own main-thread queue and restores the previous one).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "query/QueryController.h"
#include "query/UseFunction.h"

// Spaces the requests to each host: one request at a time per host and port, and each begins
// at least `delay` after the answer to the one before was read (so a service never sees two of
// our requests closer together than that, however its own clock runs). Safe from any thread.
class TRequestPacer : public TRequestPacing {
 public:
  explicit TRequestPacer(std::chrono::milliseconds delay) : delay_(delay) {}
  void Begin(const std::string& url) override;
  void End(const std::string& url) override;
  // "host:port" of an absolute URL, letter case ignored ("" when the URL names no host).
  static std::string HostKey(const std::string& url);

 private:
  struct THost {
    bool busy = false;
    std::chrono::steady_clock::time_point next{};  // earliest start of the next request
  };
  const std::chrono::milliseconds delay_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, THost> hosts_;
};

struct TSiteQueryOptions {
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  int DelayMs = 1000;  // least time between two requests to one host; 0: no pacing
  int Jobs = 1;        // sites in flight at once
  TServiceHosts Hosts = DefaultServiceHosts();
  std::shared_ptr<const TServiceTable> Table;  // empty: the built-in definitions
  // A proxy URL for every request (http://, socks4://, socks4a://, socks5://, socks5h://, with
  // user:password@); "": as http_proxy, https_proxy, all_proxy and no_proxy say. no_proxy
  // applies either way; a URL that is not a usable proxy fails every request (TFetchEnd::ProxyFailed).
  std::string Proxy;
  // After each site, on the calling thread: sites done, total, the sites still running.
  std::function<void(size_t done, size_t total, const std::string& current)> Progress;
  // Each finished site (its place in the list and its record), on the calling thread, in the
  // order they finish.
  std::function<void(size_t index, const TQueryRecord&)> OnRecord;
  // When it turns true (from any thread, a signal handler included): the runs under way stop as
  // the window's Stop button stops a run (what they did not yet know shows as stopped) and
  // still finish; no further site starts. Looked at every kStopPollMs.
  const std::atomic<bool>* Stop = nullptr;
};
inline constexpr int kStopPollMs = 100;

// Queries every site (names as ParseSiteName's Site) and returns their records in the order
// given; a site that never started (a stop came first) has an empty record.
std::vector<TQueryRecord> RunSites(const std::vector<std::string>& sites,
                                   const TSiteQueryOptions& options);

// Splitting a list across machines: the part (1 .. count) a site falls to. Every machine given
// the same list and count agrees without talking: the part is the 64-bit FNV-1a hash of the
// site's request name (TSiteName::Request: ASCII, an internationalised name in its xn-- form)
// in lower case, modulo count, plus one.
int ShardOfSite(const std::string& request_name, int count);
// "K/N" with 1 <= K <= N <= 1000 as {K, N}; nothing for any other text.
std::optional<std::pair<int, int>> ParseShard(const std::string& text);

// A time as --since takes it: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" (a
// space in place of the T), in local time unless it ends in "Z" or an offset ("+08:00",
// "-0500"); Unix milliseconds, nothing for a text that is none.
std::optional<int64_t> ParseTimeText(const std::string& text);
