// Queries for many sites without a window: the same controller and workers as the window, each
// site a run of its own, several sites in flight at once, and every request to one service host
// at least a given time after the one before (services block clients that ask too fast).
//
// Threads: RunSites runs on the calling thread, which serves as the workers' main thread for
// the duration (it installs its own main-thread queue and restores the previous one).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "query/QueryController.h"

// Spaces the requests to each host: Wait(url) returns once at least `delay` has passed since
// the previous request to the same host and port began. Safe from any thread; callers waiting
// for one host queue up in their order of arrival.
class TRequestPacer {
 public:
  explicit TRequestPacer(std::chrono::milliseconds delay) : delay_(delay) {}
  void Wait(const std::string& url);
  // "host:port" of an absolute URL, letter case ignored ("" when the URL names no host).
  static std::string HostKey(const std::string& url);

 private:
  const std::chrono::milliseconds delay_;
  std::mutex mu_;
  std::map<std::string, std::chrono::steady_clock::time_point> next_;  // earliest next start
};

struct TSiteQueryOptions {
  int ReadTimeoutMs = 20000;
  int DelayMs = 1000;  // least time between two requests to one host; 0: no pacing
  int Jobs = 1;        // sites in flight at once
  TServiceHosts Hosts = DefaultServiceHosts();
  std::shared_ptr<const TServiceTable> Table;  // empty: the built-in definitions
  // After each site, on the calling thread: sites done, total, the sites still running.
  std::function<void(size_t done, size_t total, const std::string& current)> Progress;
  // Each finished site, on the calling thread, in the order they finish.
  std::function<void(const TQueryRecord&)> OnRecord;
};

// Queries every site (normalised with NormaliseSiteName, at least kMinSiteNameBytes long) and returns their records in the order given.
std::vector<TQueryRecord> RunSites(const std::vector<std::string>& sites,
                                   const TSiteQueryOptions& options);
