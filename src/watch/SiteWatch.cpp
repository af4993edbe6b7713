#include "watch/SiteWatch.h"

#include "crawl/CrawlStore.h"

std::vector<THistoryAlert> TSiteWatch::AfterQuery(THistoryStore& history,
                                                  const TQueryRecord& record,
                                                  const std::string& run_id) {
  if (record.StartedUnixMs == 0) return {};  // nothing started: nothing to compare
  return After(history, QuerySample(record, run_id), nullptr);
}

std::vector<THistoryAlert> TSiteWatch::AfterAudit(THistoryStore& history,
                                                  const TAuditReport& report,
                                                  const std::string& run_id) {
  return After(history, AuditSample(report, run_id), nullptr);
}

std::vector<THistoryAlert> TSiteWatch::AfterCrawl(THistoryStore& history, TCrawlStore& crawls,
                                                  int64_t crawl) {
  if (crawl == 0) return {};  // the store could not begin it
  return After(history, CrawlSample(crawls, crawl, true), &crawls);
}

std::vector<THistoryAlert> TSiteWatch::After(THistoryStore& history, const TWatchSample& now,
                                             TCrawlStore* crawls) {
  std::string trouble;
  std::vector<THistoryAlert> raised = watcher_.Watch(history, now, trouble, crawls);
  if (!trouble.empty()) Trouble(now.Site + ": " + trouble);
  if (raised.empty()) return raised;
  for (const std::unique_ptr<TAlertDelivery>& delivery : deliveries_) {
    std::string why;
    if (!delivery->Deliver(raised, why)) Trouble(why);
  }
  return raised;
}

void TSiteWatch::Trouble(const std::string& what) {
  failed_ = true;
  if (OnTrouble) OnTrouble(what);
}
