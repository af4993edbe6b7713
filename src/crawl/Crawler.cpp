#include "crawl/Crawler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "audit/AuditChecks.h"
#include "audit/AuditFetch.h"
#include "audit/PageHead.h"
#include "audit/RobotsTxt.h"
#include "audit/Sitemap.h"
#include "cookies/NetDateTime.h"
#include "encoding/PageCharset.h"
#include "http/NetRequestPacer.h"
#include "http/NetUrl.h"
#include "runtime/DateUtils.h"
#include "runtime/StrUtils.h"

namespace {

using TClock = std::chrono::steady_clock;

// An idle worker looks for new work this often while others are still reading pages.
constexpr auto kIdlePoll = std::chrono::milliseconds(20);
// A site that answered 429 or 5xx this many times in a row is given up.
constexpr int kCrawlGiveUpAfter = 20;
// Each 429/5xx in a row doubles an extra pause before the site's next request, up to this.
constexpr int kCrawlMaxBackoffMs = 30'000;
constexpr int kCrawlFirstBackoffMs = 500;
// External links are only checked: this much of an answer is enough.
constexpr int64_t kCrawlExternalBodyBytes = 64 * 1024;
// Runs of query pages are remembered for at most this many URLs at once.
constexpr size_t kCrawlMaxTrackedUrls = 100'000;
// The most http resources of one https page kept for the report.
constexpr size_t kCrawlMaxMixedKept = 5;
// The most sitemap files read (an index's children included).
constexpr int kCrawlMaxSitemaps = 50;

bool IsResourceLink(TCrawlLinkKind kind) {
  return kind == TCrawlLinkKind::Image || kind == TCrawlLinkKind::Script ||
         kind == TCrawlLinkKind::Style || kind == TCrawlLinkKind::Frame;
}

// The host without a leading "www.", lower case.
std::string BareHost(std::string host) {
  host = LowerCase(host);
  if (host.rfind("www.", 0) == 0) host.erase(0, 4);
  return host;
}

// Milliseconds a Retry-After value asks for (seconds or an HTTP date); -1 when it says nothing.
int RetryAfterMs(const std::string& value) {
  if (value.empty()) return -1;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return value.size() > 6 ? kCrawlRetryWaitMaxMs
                            : std::min(kCrawlRetryWaitMaxMs, std::stoi(value) * 1000);
  }
  // An unreadable date reads as one far in the past: no wait beyond the usual.
  const double seconds = (InternetDateToLocal(value) - Now()) * 86400.0;
  if (seconds < -86400.0 * 365) return -1;
  return std::clamp(static_cast<int>(seconds * 1000), 0, kCrawlRetryWaitMaxMs);
}

// A header's value holds token (noindex in X-Robots-Tag, say).
bool HeaderHasWord(const std::string& value, std::string_view word) {
  return LowerCase(value).find(word) != std::string::npos;
}

}  // namespace

std::string CrawlUserAgent() {
  return std::string("Mozilla/5.0 (compatible; ") + kCrawlProductToken + "/" VELMORA_VERSION ")";
}

// --- One run ------------------------------------------------------------------------------------

class TCrawler::TRun {
 public:
  TRun(TCrawlStore& store, const TCrawlOptions& options) : store_(store), options_(options) {}

  TCrawlOutcome Go(const std::string& site,
                   const std::function<void(const TCrawlProgress&)>& progress) {
    progress_ = progress;
    TCrawlOutcome outcome;
    outcome.Crawl = store_.Begin(site, options_.Resume, outcome.Resumed);
    crawl_ = outcome.Crawl;
    if (crawl_ == 0) return Failed(outcome, store_.Message());
    const auto home = TNetUrl::Parse("http://" + site + "/");
    if (!home) return Failed(outcome, "不是可用的站点名：" + home.Error);
    site_host_ = BareHost(home.Url->Hostname());
    site_port_ = home.Url->PortNumber();

    external_ = std::make_unique<TNetFetchSession>(
        options_.Proxies, std::make_shared<TNetRequestPacer>(
                              std::chrono::milliseconds(options_.DelayMs), 1,
                              TNetRequestPacer::TFrom::Answer, TNetRequestPacer::TServer::Host));
    std::string why;
    if (!ReadRobots(home.Url->Href(), why)) {
      store_.Finish(crawl_, "failed", why);
      return Failed(outcome, why);
    }
    const int gap = std::max(options_.DelayMs, crawl_delay_ms_);
    site_ = std::make_unique<TNetFetchSession>(
        options_.Proxies, std::make_shared<TNetRequestPacer>(
                              std::chrono::milliseconds(gap), std::max(1, options_.Connections),
                              TNetRequestPacer::TFrom::Start, TNetRequestPacer::TServer::Host));
    if (!outcome.Resumed) store_.Add(crawl_, home.Url->Href(), true, 0);

    // First the links from the home page outwards, so depths are those of the shortest click
    // path; then the sitemaps' URLs that no link reached.
    RunWorkers();
    if (!Ended()) {
      ReadSitemaps(home.Url->Href());
      RunWorkers();
    }
    Report();
    if (!give_up_reason_.empty()) {
      store_.Finish(crawl_, "stopped", give_up_reason_);
      outcome.State = "stopped";
      outcome.Reason = give_up_reason_;
      return outcome;
    }
    if (Stopped()) {
      store_.Finish(crawl_, "stopped", "已停止");
      outcome.State = "stopped";
      outcome.Reason = "已停止";
      return outcome;
    }
    if (!store_.Judge(crawl_)) return Failed(outcome, store_.Message());
    store_.Finish(crawl_, "done", "");
    outcome.State = "done";
    return outcome;
  }

 private:
  TCrawlOutcome Failed(TCrawlOutcome& outcome, const std::string& reason) {
    outcome.State = "failed";
    outcome.Reason = reason;
    return outcome;
  }
  bool Stopped() const { return options_.Stopped && options_.Stopped(); }
  bool Ended() const { return Stopped() || given_up_.load(); }

  TAuditFetchContext Context() const {
    TAuditFetchContext context;
    context.ReadTimeoutMs = options_.ReadTimeoutMs;
    context.Stopped = [this] { return Ended(); };
    context.UserAgent = CrawlUserAgent();
    return context;
  }

  // Whether url is the site's own: its host or the www./bare twin, on the site's port (or the
  // https port for https).
  bool IsInternal(const TNetUrl& url) const {
    if (BareHost(url.Hostname()) != site_host_) return false;
    const int port = url.PortNumber();
    return url.Scheme() == "https" ? port == options_.HttpsPort || port == site_port_
                                   : port == site_port_;
  }

  // robots.txt of the site, as RFC 9309 reads a missing or failing one.
  bool ReadRobots(const std::string& home, std::string& why) {
    const auto url = TNetUrl::Parse("/robots.txt", home);
    TAuditFetchOptions fetch;
    fetch.MaxBodyBytes = static_cast<int64_t>(kRobotsMaxBytes);
    const TAuditPage page = AuditFetchPage(*external_, url.Url->Href(), fetch, Context());
    if (page.Answered && page.Status >= 200 && page.Status < 300) {
      robots_ = TRobotsTxt::Parse(page.Body);
      crawl_delay_ms_ = static_cast<int>(robots_.CrawlDelaySeconds(kCrawlProductToken) * 1000);
      for (const std::string& sitemap : robots_.Sitemaps()) sitemaps_.push_back(sitemap);
      return true;
    }
    if (page.Answered && page.Status >= 400 && page.Status < 500) return true;  // no rules
    if (Stopped()) {
      why = "已停止";
      return false;
    }
    why = "robots.txt 读不到（" +
          (page.Answered ? "HTTP " + std::to_string(page.Status) : page.Failure) +
          "），按 robots.txt 的约定不抓取这个站点";
    return false;
  }

  void RunWorkers() {
    std::vector<std::thread> workers;
    for (int i = 0; i < std::max(1, options_.Connections); ++i) {
      workers.emplace_back([this] { Work(); });
    }
    for (std::thread& w : workers) w.join();
  }

  void Work() {
    for (;;) {
      if (Ended()) return;
      ++in_flight_;
      const bool may_take_internal = asked_internal_.load() < options_.MaxPages;
      std::optional<TCrawlTarget> target = store_.Take(crawl_, may_take_internal);
      if (!target) {
        // Nobody left who could queue more: the crawl is through. Else wait for them.
        if (--in_flight_ == 0) return;
        std::this_thread::sleep_for(kIdlePoll);
        continue;
      }
      if (target->Internal) ++asked_internal_;
      Visit(*target);
      --in_flight_;
      Report(false);
    }
  }

  void Visit(const TCrawlTarget& target) {
    TCrawlPage page;
    page.Id = target.Id;
    page.Url = target.Url;
    page.Internal = target.Internal;
    page.Depth = target.Depth;
    const auto url = TNetUrl::Parse(target.Url);
    if (!url) {
      page.Failure = url.Error;
      Store(page);
      return;
    }
    if (target.Internal && !robots_.Allowed(kCrawlProductToken, url.Url->PathAndQuery())) {
      store_.Skip(crawl_, target.Id, "robots.txt 不允许抓取");
      return;
    }
    if (!target.Internal) {
      Check(page);
      return;
    }
    const std::optional<TCrawlPage> earlier = store_.Earlier(crawl_, target.Url);
    TAuditPage answer = Fetch(target.Url, earlier);
    if (Ended() && !answer.Answered) return;  // asked again when the crawl is resumed
    if (answer.Answered && answer.Status == 304 && earlier) {
      TCrawlPage reused = *earlier;
      reused.Id = page.Id;
      reused.Internal = true;
      reused.Depth = page.Depth;
      reused.NotModified = true;
      reused.FirstByteMs = answer.FirstByteMs;
      Store(reused);
      return;
    }
    Read(answer, *url.Url, page);
    Store(page);
  }

  // GETs one of the site's URLs, waiting out 429 and 503 as the server asks.
  TAuditPage Fetch(const std::string& url, const std::optional<TCrawlPage>& earlier) {
    TAuditFetchOptions fetch;
    fetch.FollowRedirects = false;
    fetch.MaxBodyBytes = kCrawlMaxBodyBytes;
    if (earlier) {
      if (!earlier->ETag.empty()) fetch.Headers.emplace_back("If-None-Match", earlier->ETag);
      if (!earlier->LastModified.empty()) {
        fetch.Headers.emplace_back("If-Modified-Since", earlier->LastModified);
      }
    }
    TAuditPage answer;
    for (int attempt = 0;; ++attempt) {
      Pause(backoff_ms_.load());
      answer = AuditFetchPage(*site_, url, fetch, Context());
      const bool throttled = answer.Answered && (answer.Status == 429 || answer.Status == 503);
      const bool failing = throttled || (answer.Answered && answer.Status >= 500);
      Judge(failing);
      if (!throttled || attempt >= kCrawlRetries || Ended()) return answer;
      const int wait = RetryAfterMs(answer.Header("Retry-After"));
      Pause(wait >= 0 ? wait : kCrawlFirstBackoffMs << attempt);
    }
  }

  // A site that keeps failing slows the crawl down, then stops it.
  void Judge(bool failing) {
    if (!failing) {
      failures_in_a_row_ = 0;
      backoff_ms_ = backoff_ms_.load() / 2;
      return;
    }
    const int now = ++failures_in_a_row_;
    backoff_ms_ = std::min(kCrawlMaxBackoffMs, std::max(kCrawlFirstBackoffMs, backoff_ms_ * 2));
    if (now >= kCrawlGiveUpAfter && !given_up_.exchange(true)) {
      std::lock_guard lock(mu_);
      give_up_reason_ = "站点连续 " + std::to_string(now) + " 次返回 429 或 5xx，爬取已停止";
    }
  }

  // Waits ms, or less when the crawl ends.
  void Pause(int ms) {
    if (ms <= 0) return;
    const auto until = TClock::now() + std::chrono::milliseconds(ms);
    while (!Ended() && TClock::now() < until) {
      std::this_thread::sleep_for(
          std::min<TClock::duration>(std::chrono::milliseconds(100), until - TClock::now()));
    }
  }

  // Checks an external URL: its answer only, never its links.
  void Check(TCrawlPage& page) {
    TAuditFetchOptions fetch;
    fetch.MaxBodyBytes = kCrawlExternalBodyBytes;
    fetch.AcceptCompressed = false;
    const TAuditPage answer = AuditFetchPage(*external_, page.Url, fetch, Context());
    if (Ended() && !answer.Answered) return;
    page.Status = answer.Answered ? answer.Status : 0;
    page.Failure = answer.Answered ? "" : answer.Failure;
    page.FirstByteMs = answer.FirstByteMs;
    page.ContentType = answer.Header("Content-Type");
    Store(page);
  }

  // What an answer of the site's says: status, redirect, validators and, for HTML, the markup.
  void Read(const TAuditPage& answer, const TNetUrl& url, TCrawlPage& page) {
    if (!answer.Answered) {
      page.Failure = answer.Failure;
      return;
    }
    page.Status = answer.Status;
    page.Throttled = answer.Status == 429 || answer.Status == 503;
    page.ContentType = answer.Header("Content-Type");
    page.FirstByteMs = answer.FirstByteMs;
    page.Bytes = static_cast<int64_t>(answer.Body.size());
    page.ETag = answer.Header("ETag");
    page.LastModified = answer.Header("Last-Modified");
    page.NoIndex = HeaderHasWord(answer.Header("X-Robots-Tag"), "noindex");
    if (answer.Status >= 300 && answer.Status < 400) {
      const auto location = TNetUrl::Parse(answer.Header("Location"), &url);
      if (location) {
        page.Location = location.Url->HrefWithoutFragment();
        page.Links.push_back({page.Location, TCrawlLinkKind::Redirect});
      }
      return;
    }
    const std::string type = LowerCase(page.ContentType);
    if (answer.Status != 200 || (type.find("html") == std::string::npos && !type.empty())) return;
    page.Html = true;
    const TSniffedCharset charset = SniffPageCharset(answer.Body, page.ContentType);
    // Read within the read time-out and the stop, under the reader's limits on hostile markup.
    const TPageHead head = ReadPageHead(
        PageTextToUtf8(answer.Body, charset.Charset), TNetDeadline::In(options_.ReadTimeoutMs),
        [this] { return Ended(); }, true);
    if (head.Title) {
      page.Title = head.Title->Text;
      page.TitleChars = static_cast<int>(head.Title->Chars);
    }
    if (head.Description) page.Description = head.Description->Text;
    page.H1Count = head.H1Count;
    page.NoIndex =
        page.NoIndex || std::any_of(head.RobotsMetas.begin(), head.RobotsMetas.end(),
                                    [](const std::string& m) { return RobotsSaysNoindex(m); });
    const TPageBody& body = *head.Body;
    page.TextHash = body.TextHash;
    page.ImagesWithoutAlt = body.ImagesWithoutAlt;
    // Links resolve against <base href> when the page has one (itself resolved against the
    // page), else against the page.
    TNetUrl base = url;
    if (!body.BaseHref.empty()) {
      if (auto b = TNetUrl::Parse(body.BaseHref, &url)) base = *b.Url;
    }
    std::set<std::pair<std::string, TCrawlLinkKind>> seen;
    for (const TPageLink& link : body.Links) {
      const auto to = TNetUrl::Parse(link.Url, &base);
      if (!to) continue;  // mailto:, javascript:, tel:, data: and what does not parse
      const std::string href = to.Url->HrefWithoutFragment();
      const TCrawlLinkKind kind = CrawlLinkKindOf(link.Kind);
      if (kind == TCrawlLinkKind::Canonical && page.Canonical.empty()) page.Canonical = href;
      if (url.Scheme() == "https" && to.Url->Scheme() == "http" && IsResourceLink(kind) &&
          page.MixedContent.size() < kCrawlMaxMixedKept) {
        page.MixedContent.push_back(href);
      }
      if (seen.emplace(href, kind).second) page.Links.push_back({href, kind});
    }
  }

  // Stores a page; its links are queued as the crawl's limits say.
  void Store(const TCrawlPage& page) {
    const auto from = TNetUrl::Parse(page.Url);
    if (page.Status >= 400 || (page.Status == 0 && !page.Failure.empty())) ++broken_;
    store_.Store(
        crawl_, page,
        [&](const TCrawlLink& link, bool& internal, std::optional<int>& depth,
            TCrawlUrlState& state) {
          const auto to = TNetUrl::Parse(link.Url);
          internal = to && IsInternal(*to.Url);
          if (!internal) {
            state = options_.CheckExternal ? TCrawlUrlState::Queued : TCrawlUrlState::Skipped;
            return;
          }
          if (page.Depth) {
            depth = link.Kind == TCrawlLinkKind::Redirect || IsResourceLink(link.Kind)
                        ? *page.Depth
                        : *page.Depth + 1;
          }
          if ((depth && *depth > options_.MaxDepth) || (from && IsTrap(*from.Url, *to.Url))) {
            state = TCrawlUrlState::Skipped;
          }
        });
  }

  // A URL a crawler should not follow: too long, a path that repeats one segment three times
  // running (a relative link that grows the path at every page), or the next of a run of pages of
  // one path that each link the next query (a calendar's "next month" for ever).
  bool IsTrap(const TNetUrl& from, const TNetUrl& url) {
    if (url.Href().size() > static_cast<size_t>(kCrawlMaxUrlBytes)) return true;
    const std::string& path = url.Pathname();
    std::vector<std::string_view> segments;
    for (size_t start = 1; start <= path.size();) {
      const size_t end = std::min(path.find('/', start), path.size());
      segments.emplace_back(path.data() + start, end - start);
      start = end + 1;
    }
    for (size_t i = 0; i + 2 < segments.size(); ++i) {
      if (!segments[i].empty() && segments[i] == segments[i + 1] &&
          segments[i] == segments[i + 2]) {
        return true;
      }
    }
    if (!url.HasQuery() || url.Pathname() != from.Pathname() || url.Hostname() != from.Hostname()) {
      return false;
    }
    std::lock_guard lock(mu_);
    if (query_runs_.size() >= kCrawlMaxTrackedUrls) query_runs_.clear();
    const auto source = query_runs_.find(from.Href());
    const int run = (source == query_runs_.end() ? 0 : source->second) + 1;
    if (run > kCrawlMaxQueryRun) return true;
    query_runs_.emplace(url.Href(), run);
    return false;
  }

  // The sitemaps robots.txt names (else /sitemap.xml): their URLs of the site are added.
  void ReadSitemaps(const std::string& home) {
    if (sitemaps_.empty()) sitemaps_.push_back(TNetUrl::Parse("/sitemap.xml", home).Url->Href());
    std::set<std::string> read;
    std::vector<std::string> todo(sitemaps_.rbegin(), sitemaps_.rend());
    while (!todo.empty() && static_cast<int>(read.size()) < kCrawlMaxSitemaps && !Ended()) {
      const std::string at = todo.back();
      todo.pop_back();
      if (!read.insert(at).second) continue;
      const auto url = TNetUrl::Parse(at);
      if (!url) continue;
      const bool internal = IsInternal(*url.Url);
      TAuditFetchOptions fetch;
      fetch.MaxBodyBytes = static_cast<int64_t>(kSitemapMaxBytes);
      const TAuditPage page =
          AuditFetchPage(internal ? *site_ : *external_, url.Url->Href(), fetch, Context());
      if (!page.Answered || page.Status != 200) continue;
      const TSitemap sitemap = ReadFetchedSitemap(page, [&](std::string_view loc) {
        const auto u = TNetUrl::Parse(loc, &*url.Url);
        if (!u) return;
        if (IsInternal(*u.Url)) store_.AddFromSitemap(crawl_, u.Url->HrefWithoutFragment(), true);
      });
      for (const std::string& child : sitemap.ChildSitemaps) {
        if (auto c = TNetUrl::Parse(child, &*url.Url)) todo.push_back(c.Url->Href());
      }
    }
  }

  void Report(bool always = true) {
    if (!progress_) return;
    const auto now = TClock::now();
    {
      std::lock_guard lock(mu_);
      if (!always && now - last_report_ < std::chrono::milliseconds(200)) return;
      last_report_ = now;
    }
    progress_(TCrawlProgress{store_.Asked(crawl_), store_.Queued(crawl_), broken_.load()});
  }

  TCrawlStore& store_;
  const TCrawlOptions& options_;
  std::function<void(const TCrawlProgress&)> progress_;
  int64_t crawl_ = 0;
  std::string site_host_;  // without "www.", lower case
  int site_port_ = 80;
  std::unique_ptr<TNetFetchSession> site_;      // the site's requests, politely spaced
  std::unique_ptr<TNetFetchSession> external_;  // the external checks, one per host at a time
  TRobotsTxt robots_ = TRobotsTxt::Parse("");
  int crawl_delay_ms_ = 0;
  std::vector<std::string> sitemaps_;
  std::atomic<int> in_flight_{0};
  std::atomic<int64_t> asked_internal_{0};
  std::atomic<int64_t> broken_{0};
  std::atomic<int> failures_in_a_row_{0};
  std::atomic<int> backoff_ms_{0};
  std::atomic<bool> given_up_{false};
  std::mutex mu_;
  std::string give_up_reason_;
  // URL -> how many pages of its path, each linking the next query, led to it (see IsTrap).
  std::unordered_map<std::string, int> query_runs_;
  TClock::time_point last_report_{};
};

TCrawler::TCrawler(TCrawlStore& store, TCrawlOptions options)
    : store_(store), options_(std::move(options)) {}

TCrawlOutcome TCrawler::Run(const std::string& site,
                            const std::function<void(const TCrawlProgress&)>& progress) {
  TRun run(store_, options_);
  return run.Go(site, progress);
}
