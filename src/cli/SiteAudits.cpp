#include "cli/SiteAudits.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

std::vector<std::optional<TAuditReport>> RunSiteAudits(const std::vector<TAuditTarget>& targets,
                                                       const TSiteAuditOptions& options) {
  std::vector<std::optional<TAuditReport>> reports(targets.size());
  std::mutex mu;
  std::condition_variable cv;
  std::deque<size_t> finished;  // indexes not yet handed to OnReport
  size_t next = 0;              // the next site to start
  size_t running = 0;
  auto stop_asked = [&options] { return options.Stop != nullptr && options.Stop->load(); };
  TAuditOptions audit = options.Audit;
  audit.Stopped = [&stop_asked, asked = options.Audit.Stopped] {
    return stop_asked() || (asked && asked());
  };
  auto work = [&] {
    std::unique_lock<std::mutex> lock(mu);
    while (next < targets.size() && !stop_asked()) {
      const size_t index = next++;
      lock.unlock();
      TAuditReport report = RunAudit(targets[index], audit);
      lock.lock();
      reports[index] = std::move(report);
      finished.push_back(index);
      cv.notify_all();
    }
    --running;
    cv.notify_all();
  };
  const size_t jobs = std::min<size_t>(std::max(options.Jobs, 1), targets.size());
  std::vector<std::thread> threads;
  running = jobs;
  for (size_t i = 0; i < jobs; ++i) threads.emplace_back(work);
  {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      cv.wait(lock, [&] { return !finished.empty() || running == 0; });
      if (finished.empty()) break;
      const size_t index = finished.front();
      finished.pop_front();
      lock.unlock();
      if (options.OnReport) options.OnReport(index, *reports[index]);
      lock.lock();
    }
  }
  for (std::thread& t : threads) t.join();
  return reports;
}
