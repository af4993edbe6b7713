#include "http/NetRequestPacer.h"

#include <algorithm>

#include "http/NetURI.h"
#include "runtime/StrUtils.h"

namespace {

// Entries are looked over for letting go once per this many Begins: the cost stays a constant
// per request however many servers a batch has met.
constexpr size_t kPruneEvery = 64;

}  // namespace

TNetRequestPacer::TNetRequestPacer(std::chrono::milliseconds delay, int parallel, TFrom from,
                                   TServer server)
    : delay_(delay), parallel_(std::max(parallel, 1)), from_(from), server_(server) {}

std::string TNetRequestPacer::ServerKey(const std::string& url, TServer server) {
  const TNetURI uri(url);
  if (uri.Host.empty()) return "";
  if (server == TServer::Host) return LowerCase(uri.Host);
  return LowerCase(uri.Host) + ":" + std::to_string(ServerPort(uri));
}

void TNetRequestPacer::Prune(std::chrono::steady_clock::time_point now) {
  std::erase_if(servers_, [now](const auto& entry) {
    return entry.second.busy == 0 && entry.second.next <= now;
  });
}

void TNetRequestPacer::Begin(const std::string& url, const std::function<bool()>& stopped) {
  const std::string key = ServerKey(url, server_);
  std::unique_lock<std::mutex> lock(mu_);
  if (++begun_ >= kPruneEvery) {
    begun_ = 0;
    Prune(std::chrono::steady_clock::now());
  }
  for (;;) {
    if (stopped_ || (stopped && stopped())) throw ENetFetchStopped();
    // Looked up again after every wait: a Prune may have let the entry go meanwhile (only once
    // its delay was over, so a new one is the same).
    TEntry& entry = servers_[key];
    const auto now = std::chrono::steady_clock::now();
    if (entry.busy < parallel_ && now >= entry.next) {
      ++entry.busy;
      if (from_ == TFrom::Start) entry.next = now + delay_;
      return;
    }
    auto until = now + std::chrono::milliseconds(kNetPacerPollMs);
    if (entry.busy < parallel_) until = std::min(until, entry.next);
    cv_.wait_until(lock, until);
  }
}

void TNetRequestPacer::End(const std::string& url) {
  const std::string key = ServerKey(url, server_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    TEntry& entry = servers_[key];
    if (entry.busy > 0) --entry.busy;
    if (from_ == TFrom::Answer) entry.next = std::chrono::steady_clock::now() + delay_;
  }
  cv_.notify_all();
}

void TNetRequestPacer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  cv_.notify_all();
}

size_t TNetRequestPacer::EntryCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return servers_.size();
}
