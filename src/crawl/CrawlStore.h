// TCrawlStore: a crawl's frontier, pages, links and findings on disk, in the history's SQLite
// file beside the queries and check-ups, so that a crawl of any size runs in bounded memory and
// a crawl that was stopped (Ctrl-C, a crash, a reboot) goes on where it was.
//
// Tables (UTF-8 texts, times in Unix milliseconds):
//   crawls          a row per crawl: site, run id, start, end, state, the reason it ended
//   crawl_pages     a row per URL a crawl met: its place in the frontier (TCrawlUrlState), its
//                   depth, whether a sitemap lists it, the answer and the markup's facts
//   crawl_links     (source, target, kind): every link of every crawled page, by page row
//   crawl_findings  (rule, url, detail): what the rules found, once the crawl is judged
// Only the last kCrawlsKept crawls of a site keep their pages and links (the next crawl compares
// with and revalidates against the last one); every crawl keeps its findings.
//
// Writes are gathered into one transaction that is committed every kCrawlCommitMs, so a crash
// loses at most that much work (those pages are asked again on --resume).
//
// Failures: no method raises. A method that fails leaves a message (Message()) and answers
// "nothing"; the crawler ends the crawl with that message.
//
// Threads: every method may be called from any thread; calls take turns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "crawl/CrawlPage.h"

struct sqlite3;
class TCrawlStatements;

inline constexpr int kCrawlsKept = 2;
inline constexpr int kCrawlCommitMs = 200;

// A URL handed to a worker.
struct TCrawlTarget {
  int64_t Id = 0;
  std::string Url;
  bool Internal = true;
  std::optional<int> Depth;
  bool InSitemap = false;
};

// One finding, with how it stands against the crawl before.
enum class TCrawlChange { New, Still, Gone };
struct TCrawlFinding {
  std::string Rule;
  std::string Url;
  std::string Detail;
  TCrawlChange Change = TCrawlChange::New;
};

// A stored crawl.
struct TCrawlInfo {
  int64_t Id = 0;
  std::string Site;
  std::string RunId;
  int64_t StartedMs = 0;
  int64_t FinishedMs = 0;  // 0 while running (or stopped before its end)
  std::string State;       // "running", "done", "stopped", "failed"
  std::string Reason;      // why it ended early; "" when it did not
  int64_t Pages = 0;       // URLs asked (the site's and external ones)
  int64_t Findings = 0;
};

class TCrawlStore {
 public:
  TCrawlStore();
  ~TCrawlStore();
  TCrawlStore(const TCrawlStore&) = delete;
  TCrawlStore& operator=(const TCrawlStore&) = delete;

  // Opens the file at path (creating it, its folders and the crawl tables as needed).
  bool Open(const std::string& path);
  const std::string& Message() const { return message_; }

  // A new crawl of site (0 on failure). With resume, the newest crawl of the site that did not
  // finish instead, its URLs handed out but not stored queued again; a new one when there is
  // none (resumed says which).
  int64_t Begin(const std::string& site, bool resume, bool& resumed);
  // Ends the crawl: its state ("done", "stopped", "failed") and reason. The pages and links of
  // the site's crawls before the last kCrawlsKept go.
  void Finish(int64_t crawl, const std::string& state, const std::string& reason);

  // Adds url to the frontier when the crawl has not met it yet (queued, or with `state`), and
  // gives its row. A depth smaller than the stored one (or a first one) replaces it.
  int64_t Add(int64_t crawl, const std::string& url, bool internal, std::optional<int> depth,
              TCrawlUrlState state = TCrawlUrlState::Queued);
  // Marks url as listed by a sitemap (adding it, without a depth, when new).
  int64_t AddFromSitemap(int64_t crawl, const std::string& url, bool internal);
  // The next queued URL, now Taken: the site's in the order they were met (only while
  // internal_allowed), then external ones; none when nothing is queued.
  std::optional<TCrawlTarget> Take(int64_t crawl, bool internal_allowed);
  // A Taken URL that is not asked after all (robots.txt), with the reason.
  void Skip(int64_t crawl, int64_t id, const std::string& reason);
  // URLs asked so far (Taken or Done) and URLs waiting, for progress.
  int64_t Asked(int64_t crawl);
  int64_t Queued(int64_t crawl);

  // Stores a page's answer and facts and its links (each link's target added as Add does, with
  // the state and depth `target` gives it). The page is then Done.
  using TLinkTarget = std::function<void(const TCrawlLink& link, bool& internal,
                                         std::optional<int>& depth, TCrawlUrlState& state)>;
  void Store(int64_t crawl, const TCrawlPage& page, const TLinkTarget& target);

  // The reading of url by the site's last finished crawl before `crawl` (its validators, facts
  // and links), for a conditional GET; none when it had none.
  std::optional<TCrawlPage> Earlier(int64_t crawl, const std::string& url);

  // Runs every rule over the stored crawl and stores its findings (replacing any from before).
  bool Judge(int64_t crawl);
  // The crawl's findings, then those of the site's crawl before that are gone, in rule order.
  bool EachFinding(int64_t crawl, const std::function<void(const TCrawlFinding&)>& visit);
  // Counts for the report: findings per rule, pages per status, per depth and per band of time
  // to first byte (kCrawlFirstByteBands).
  struct TSummary {
    std::vector<std::pair<std::string, int64_t>> PerRule;     // rule order; only rules found
    std::vector<std::pair<std::string, int64_t>> Statuses;    // "200", "301", "404", "失败"...
    std::vector<std::pair<std::string, int64_t>> Depths;      // "0", "1", ..., "无"
    std::vector<std::pair<std::string, int64_t>> FirstBytes;  // "<100ms", ...
    int64_t New = 0, Gone = 0;
    bool HasEarlier = false;  // the site has a finished crawl before this one
  };
  TSummary Summary(int64_t crawl);
  // The pages of the crawl, in the order they were met (for the report's page list).
  bool EachPage(int64_t crawl, const std::function<void(const TCrawlPage&)>& visit);

  std::optional<TCrawlInfo> Crawl(int64_t crawl);
  // The site's crawls, oldest first.
  std::vector<TCrawlInfo> Crawls(const std::string& site);

 private:
  bool Exec(const char* sql);
  bool Fail(const char* what);
  // Commits the open transaction when it is older than kCrawlCommitMs (or always when `now`).
  void CommitIfDue(bool now = false);
  void BeginWrites();
  int64_t AddLocked(int64_t crawl, const std::string& url, bool internal, std::optional<int> depth,
                    TCrawlUrlState state, bool in_sitemap);
  int64_t PreviousCrawl(int64_t crawl);
  // Judge's steps, with mu_ held inside its transaction.
  void AddFinding(int64_t crawl, const std::string& rule, const std::string& url,
                  const std::string& partner, const std::string& detail);
  bool JudgeByQueries(int64_t crawl);  // false (with a message) when a rule's query is faulty
  void JudgeDuplicates(int64_t crawl);
  void JudgeHeavyPages(int64_t crawl);
  void JudgeRedirects(int64_t crawl);

  std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<TCrawlStatements> statements_;   // while db_ is open
  std::unordered_map<int64_t, int64_t> previous_;  // crawl -> the site's crawl before it
  std::string message_;
  bool in_transaction_ = false;
  int64_t transaction_started_ms_ = 0;
  // URL -> row (and depth) of the crawl being written, to spare a lookup for the links every page
  // repeats; cleared when it grows past kUrlCacheSize, so memory stays bounded.
  struct TKnownUrl {
    int64_t Id = 0;
    std::optional<int> Depth;  // as stored
  };
  std::unordered_map<std::string, TKnownUrl> url_rows_;
  int64_t cached_crawl_ = 0;
};
