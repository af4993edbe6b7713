// The check-up's own pacing of its requests to a site: at most `parallel` requests to one host
// at once, and each starting at least `delay` after the one before it started. Unlike the
// queries' pacing (one request at a time, the delay counted from the last answer), a check-up
// asks one site a dozen things and may ask a few at once, politely spaced.
//
// A wait ends with ENetFetchStopped when the check-up's deadline passes or `stopped` turns true
// first (looked at every kAuditPacingPollMs).
//
// Thread-safety: Begin and End may be called from any number of threads at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "http/NetFetchSession.h"
#include "transport/NetDeadline.h"

inline constexpr int kAuditPacingPollMs = 100;

class TAuditPacing : public TRequestPacing {
 public:
  TAuditPacing(std::chrono::milliseconds delay, int parallel, TNetDeadline deadline,
               std::function<bool()> stopped);
  void Begin(const std::string& url) override;
  void End(const std::string& url) override;

 private:
  struct THost {
    int busy = 0;
    std::chrono::steady_clock::time_point next{};  // earliest start of the next request
  };
  const std::chrono::milliseconds delay_;
  const int parallel_;
  const TNetDeadline deadline_;
  const std::function<bool()> stopped_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, THost> hosts_;  // by lower-case host name
};
