#include "audit/SiteAudit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "audit/AuditChecks.h"
#include "audit/AuditFetch.h"
#include "audit/RobotsTxt.h"
#include "http/NetRequestPacer.h"

namespace {

// What the check-up may take beyond the fetch time-out: the pacing's spacing of the first few
// requests and the checks' own work.
constexpr int kAuditGraceMs = 1000;
// robots.txt is read well past the size crawlers read, so a large one is still judged on what
// they see; a larger one is cut here.
constexpr int64_t kRobotsFetchBytes = 4 * static_cast<int64_t>(kRobotsMaxBytes);
// Said in the Details of every check that read the site past a refused certificate.
constexpr const char* kReadUnverified = "证书未通过验证，内容在不验证证书的情况下读取";

int64_t UnixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The site's pages as the content checks read them. Fetches check the certificate until one
// is refused; from then on the site is read without the check (so its content is still judged)
// and each page keeps the refusal in CertProblem.
class TContentFetch {
 public:
  TContentFetch(TNetFetchSession& session, TAuditFetchContext context)
      : session_(session), verified_(context), unverified_(std::move(context)) {
    unverified_.VerifyCertificate = false;
  }

  TAuditPage operator()(const std::string& url, const TAuditFetchOptions& options) {
    if (!Refused()) {
      TAuditPage page = AuditFetchPage(session_, url, options, verified_);
      if (page.CertProblem.empty()) return page;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (problem_.empty()) problem_ = page.CertProblem;
      }
      TAuditPage again = AuditFetchPage(session_, url, options, unverified_);
      again.CertProblem = page.CertProblem;
      return again;
    }
    TAuditPage page = AuditFetchPage(session_, url, options, unverified_);
    page.CertProblem = Problem();
    return page;
  }

  bool Refused() const {
    std::lock_guard<std::mutex> lock(mu_);
    return !problem_.empty();
  }

 private:
  std::string Problem() const {
    std::lock_guard<std::mutex> lock(mu_);
    return problem_;
  }

  TNetFetchSession& session_;
  TAuditFetchContext verified_;
  TAuditFetchContext unverified_;
  mutable std::mutex mu_;
  std::string problem_;  // the first refusal; "" while every certificate was accepted
};

}  // namespace

TAuditReport RunAudit(const TAuditTarget& target, const TAuditOptions& options) {
  TAuditReport report;
  report.Site = target.Shown.empty() ? target.Host : target.Shown;
  report.StartedUnixMs = UnixMsNow();
  const auto started = std::chrono::steady_clock::now();
  const TNetDeadline deadline = TNetDeadline::In(std::max(options.TimeoutMs, 0) + kAuditGraceMs);
  const std::function<bool()> stopped = [&options, deadline] {
    return deadline.Passed() || (options.Stopped && options.Stopped());
  };
  std::shared_ptr<TRequestPacing> pacing = options.Pacing;
  if (!pacing) {
    pacing = std::make_shared<TNetRequestPacer>(std::chrono::milliseconds(kAuditPolitenessMs),
                                                options.MaxParallel, TNetRequestPacer::TFrom::Start,
                                                TNetRequestPacer::TServer::Host);
  }
  TNetFetchSession session(options.Proxies, pacing);
  TAuditFetchContext context;
  context.ReadTimeoutMs = options.TimeoutMs;
  context.Deadline = deadline;
  context.Stopped = stopped;
  context.UserAgent = options.UserAgent;
  TContentFetch content(session, context);
  const TAuditFetch fetch = [&content](const std::string& url, const TAuditFetchOptions& o) {
    return content(url, o);
  };

  std::vector<TAuditResult> results(kAuditCheckCount);
  for (int i = 0; i < kAuditCheckCount; ++i) {
    results[i] = TAuditResult{};
    results[i].Check = kAuditChecks[i];
  }
  auto put = [&results](TAuditResult result) {
    results[static_cast<int>(result.Check)] = std::move(result);
  };
  const std::string home_url = AuditHomeUrl(target);

  // Each task asks the site one thing after another; the tasks run side by side, so at most
  // that many requests go to the site at once.
  std::vector<std::function<void()>> tasks = {
      [&] {
        // The home page on a connection of its own, read once for five checks.
        TAuditFetchOptions fresh;
        fresh.FreshConnection = true;
        const TAuditPage home = fetch(home_url, fresh);
        put(CheckCertificate(home));
        put(CheckHsts(home));
        put(CheckHead(home, deadline, options.Stopped));
        put(CheckCompression(home));
        put(CheckSpeed(home, fetch));
      },
      [&] {
        TAuditFetchOptions text;
        text.MaxBodyBytes = kRobotsFetchBytes;
        const TAuditPage robots = fetch(home_url + "robots.txt", text);
        put(CheckRobots(robots));
        put(CheckSitemap(target, robots, fetch));
      },
      [&] { put(CheckHttps(target, fetch)); },
      [&] {
        put(CheckAddresses(target, TNetDeadline::ForConnect(options.TimeoutMs).Sooner(deadline)));
      },
  };
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < tasks.size();) {
      if (stopped()) continue;
      try {
        tasks[i]();
      } catch (...) {
        // The checks never raise; a failure here (out of memory) leaves their results Unable.
      }
    }
  };
  const size_t helpers = std::min<size_t>(std::max(options.MaxParallel, 1), tasks.size()) - 1;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < helpers; ++i) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  session.Close();

  const bool user_stopped = options.Stopped && options.Stopped();
  for (TAuditResult& result : results) {
    if (result.Mark == TAuditMark::Unable && result.Reason.empty()) {
      result.Reason = user_stopped ? "已停止" : "超出检查时限";
    }
  }
  if (content.Refused()) {
    for (TAuditCheck check : {TAuditCheck::Hsts, TAuditCheck::Robots, TAuditCheck::Sitemap,
                              TAuditCheck::Head, TAuditCheck::Compression, TAuditCheck::Speed}) {
      TAuditResult& result = results[static_cast<int>(check)];
      if (result.Mark != TAuditMark::Unable) result.Details.push_back(kReadUnverified);
    }
  }
  report.Results = std::move(results);
  report.ElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count();
  return report;
}
