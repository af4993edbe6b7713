#include "audit/AuditPacing.h"

#include <algorithm>

#include "http/NetURI.h"
#include "runtime/StrUtils.h"

namespace {

// Requests are spaced per host, whatever the port: the site's http and https servers are
// usually one machine.
std::string HostOf(const std::string& url) { return LowerCase(TNetURI(url).Host); }

}  // namespace

TAuditPacing::TAuditPacing(std::chrono::milliseconds delay, int parallel, TNetDeadline deadline,
                           std::function<bool()> stopped)
    : delay_(delay),
      parallel_(std::max(parallel, 1)),
      deadline_(deadline),
      stopped_(std::move(stopped)) {}

void TAuditPacing::Begin(const std::string& url) {
  const std::string key = HostOf(url);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (deadline_.Passed() || (stopped_ && stopped_())) throw ENetFetchStopped();
    THost& host = hosts_[key];
    const auto now = std::chrono::steady_clock::now();
    if (host.busy < parallel_ && now >= host.next) {
      ++host.busy;
      host.next = now + delay_;
      return;
    }
    auto until = now + std::chrono::milliseconds(kAuditPacingPollMs);
    if (host.busy < parallel_) until = std::min(until, host.next);
    cv_.wait_until(lock, until);
  }
}

void TAuditPacing::End(const std::string& url) {
  const std::string key = HostOf(url);
  {
    std::lock_guard<std::mutex> lock(mu_);
    THost& host = hosts_[key];
    if (host.busy > 0) --host.busy;
  }
  cv_.notify_all();
}
