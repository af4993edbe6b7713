#include "http/NetConnectionPool.h"

#include <algorithm>

#include "transport/NetIOHandlerSocket.h"

TNetConnectionPool::TNetConnectionPool(std::chrono::milliseconds idle_limit, size_t max_idle,
                                       TClock now, size_t max_idle_per_key)
    : idle_limit_(idle_limit),
      max_idle_(max_idle),
      max_idle_per_key_(max_idle_per_key),
      now_(std::move(now)) {}

TNetConnectionPool::~TNetConnectionPool() { Close(); }

std::chrono::steady_clock::time_point TNetConnectionPool::Now() const {
  return now_ ? now_() : std::chrono::steady_clock::now();
}

void TNetConnectionPool::TakeExpired(std::chrono::steady_clock::time_point now,
                                     std::vector<TEntry>& expired) {
  // Oldest first: the expired ones are a run at the front.
  auto fresh = std::find_if(idle_.begin(), idle_.end(),
                            [&](const TEntry& e) { return now - e.Since < idle_limit_; });
  std::move(idle_.begin(), fresh, std::back_inserter(expired));
  idle_.erase(idle_.begin(), fresh);
}

TNetIdleConnection TNetConnectionPool::Take(const std::string& key) {
  std::vector<TEntry> expired;  // closed after the lock is let go
  TNetIdleConnection taken;
  {
    std::lock_guard<std::mutex> lock(mu_);
    TakeExpired(Now(), expired);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->Key != key) continue;
      taken = std::move(it->Connection);
      idle_.erase(std::next(it).base());
      break;
    }
  }
  return taken;
}

void TNetConnectionPool::Give(const std::string& key, TNetIdleConnection connection) {
  if (!connection) return;
  std::vector<TEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_ || max_idle_ == 0) {
      dropped.push_back(TEntry{key, std::move(connection), {}});
    } else {
      const auto now = Now();
      TakeExpired(now, dropped);
      idle_.push_back(TEntry{key, std::move(connection), now});
      auto drop = [&](std::vector<TEntry>::iterator it) {
        dropped.push_back(std::move(*it));
        idle_.erase(it);
      };
      if (static_cast<size_t>(std::count_if(idle_.begin(), idle_.end(), [&](const TEntry& e) {
            return e.Key == key;
          })) > max_idle_per_key_) {
        drop(std::find_if(idle_.begin(), idle_.end(),
                          [&](const TEntry& e) { return e.Key == key; }));
      }
      if (idle_.size() > max_idle_) drop(idle_.begin());
    }
  }
}

void TNetConnectionPool::Close() {
  std::vector<TEntry> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    all.swap(idle_);
  }
}

size_t TNetConnectionPool::IdleCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return idle_.size();
}

bool TNetConnectionPool::Closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}
