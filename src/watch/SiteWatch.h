// TSiteWatch: what --watch does after each site's run is stored (and what the window does after
// a query it ran): compare the run with the site's run of the same kind before it (TWatcher),
// keep what changed in the history once per change, and deliver the alerts newly raised to every
// target. A trouble (the history could not be read, a delivery failed) is told through OnTrouble
// and remembered (Failed); the run itself is never held up by it beyond the deliveries' waits.
//
// Threads: one thread at a time (the site-list runner's, or the window's).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "watch/AlertDelivery.h"
#include "watch/Watcher.h"

class TSiteWatch {
 public:
  TSiteWatch(TWatcher watcher, std::vector<std::unique_ptr<TAlertDelivery>> deliveries)
      : watcher_(std::move(watcher)), deliveries_(std::move(deliveries)) {}

  // Each compares the run just stored under run_id and returns the alerts it raised (delivered).
  std::vector<THistoryAlert> AfterQuery(THistoryStore& history, const TQueryRecord& record,
                                        const std::string& run_id);
  std::vector<THistoryAlert> AfterAudit(THistoryStore& history, const TAuditReport& report,
                                        const std::string& run_id);
  std::vector<THistoryAlert> AfterCrawl(THistoryStore& history, TCrawlStore& crawls, int64_t crawl);

  // Told each trouble (UTF-8, one line); empty: not told.
  std::function<void(const std::string&)> OnTrouble;
  // Whether any trouble came.
  bool Failed() const { return failed_; }

 private:
  std::vector<THistoryAlert> After(THistoryStore& history, const TWatchSample& now,
                                   TCrawlStore* crawls);
  void Trouble(const std::string& what);

  const TWatcher watcher_;
  std::vector<std::unique_ptr<TAlertDelivery>> deliveries_;
  bool failed_ = false;
};
