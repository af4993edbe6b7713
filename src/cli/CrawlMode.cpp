#include "cli/CrawlMode.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/ExitStatus.h"
#include "cli/ToolFlags.h"
#include "crawl/CrawlHtmlReport.h"
#include "crawl/CrawlRules.h"
#include "history/HistoryStore.h"
#include "watch/SiteWatch.h"

namespace {

// Pages a rule lists in the table before "…".
constexpr int kTablePagesPerRule = 5;

std::string SeverityOf(const std::string& rule) {
  const TCrawlRule* r = FindCrawlRule(rule);
  return std::string(CrawlSeverityName(r ? r->Severity : TCrawlSeverity::Notice));
}

// Writes crawls one by one, each flushed as it is added:
// - Table: the site, its state and counts, then each rule found with its count and first pages;
// - Json: an array of {"site", "crawl", "state", "reason", "started", "pages", "new", "gone",
//   "counts": {RULE: n}, "findings": [{"rule", "severity", "url", "detail", "change"}]}, valid
//   JSON once Finish has run; JsonLines: the same objects, one a line;
// - Csv: a header, then a row per finding: site, rule, severity, url, detail, change.
class TCrawlWriter {
 public:
  TCrawlWriter(std::ostream& out, TReportFormat format, TCrawlStore& store)
      : out_(out), format_(format), store_(store) {
    if (format_ == TReportFormat::Json) out_ << "[" << std::flush;
    if (format_ == TReportFormat::Csv) out_ << "site,rule,severity,url,detail,change\r\n";
  }
  void Add(const TCrawlResult& result) {
    switch (format_) {
      case TReportFormat::Table:
        Table(result);
        break;
      case TReportFormat::Json:
      case TReportFormat::JsonLines:
        if (format_ == TReportFormat::Json && count_ > 0) out_ << ",";
        if (format_ == TReportFormat::Json) out_ << "\n";
        Json(result);
        if (format_ == TReportFormat::JsonLines) out_ << "\n";
        break;
      case TReportFormat::Csv:
        store_.EachFinding(result.Outcome.Crawl, [&](const TCrawlFinding& f) {
          out_ << CsvCell(result.Site) << "," << f.Rule << "," << SeverityOf(f.Rule) << ","
               << CsvCell(f.Url) << "," << CsvCell(f.Detail) << "," << CrawlChangeName(f.Change)
               << "\r\n";
        });
        break;
    }
    ++count_;
    out_.flush();
  }
  const char* Closing() const { return format_ == TReportFormat::Json ? "\n]\n" : ""; }
  void Finish() { out_ << Closing() << std::flush; }

 private:
  void Json(const TCrawlResult& result) {
    const std::optional<TCrawlInfo> info = store_.Crawl(result.Outcome.Crawl);
    nlohmann::json head = {
        {"site", result.Site},
        {"crawl", result.Outcome.Crawl},
        {"state", result.Outcome.State},
        {"reason", result.Outcome.Reason},
        {"started", info ? IsoTime(info->StartedMs) : ""},
        {"pages", info ? info->Pages : 0},
    };
    if (result.Outcome.Crawl != 0) {
      const TCrawlStore::TSummary summary = store_.Summary(result.Outcome.Crawl);
      head["new"] = summary.New;
      head["gone"] = summary.Gone;
      nlohmann::json counts = nlohmann::json::object();
      for (const auto& [rule, n] : summary.PerRule) counts[rule] = n;
      head["counts"] = counts;
    }
    std::string text = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.pop_back();  // the closing brace: the findings follow
    out_ << text << ",\"findings\":[";
    bool first = true;
    store_.EachFinding(result.Outcome.Crawl, [&](const TCrawlFinding& f) {
      const nlohmann::json finding = {{"rule", f.Rule},
                                      {"severity", SeverityOf(f.Rule)},
                                      {"url", f.Url},
                                      {"detail", f.Detail},
                                      {"change", CrawlChangeName(f.Change)}};
      out_ << (first ? "" : ",")
           << finding.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      first = false;
    });
    out_ << "]}";
  }

  void Table(const TCrawlResult& result) {
    const TCrawlOutcome& outcome = result.Outcome;
    out_ << TerminalSafe(result.Site) << "  " << CrawlStateWord(outcome.State);
    if (!outcome.Reason.empty()) out_ << "（" << TerminalSafe(outcome.Reason) << "）";
    const std::optional<TCrawlInfo> info = store_.Crawl(outcome.Crawl);
    if (!info) {
      out_ << "\n";
      return;
    }
    const TCrawlStore::TSummary summary = store_.Summary(outcome.Crawl);
    out_ << "  读了 " << info->Pages << " 个网址，发现 " << info->Findings << " 个问题";
    if (summary.HasEarlier) out_ << "（新 " << summary.New << "，消失 " << summary.Gone << "）";
    out_ << "\n";
    std::map<std::string, int> listed;
    std::string rule;
    store_.EachFinding(outcome.Crawl, [&](const TCrawlFinding& f) {
      if (f.Change == TCrawlChange::Gone) return;
      if (f.Rule != rule) {
        rule = f.Rule;
        const auto count = std::find_if(summary.PerRule.begin(), summary.PerRule.end(),
                                        [&](const auto& p) { return p.first == rule; });
        out_ << "  " << SeverityOf(rule) << "  " << rule << "  "
             << (count != summary.PerRule.end() ? count->second : 0) << "\n";
      }
      int& n = listed[f.Rule];
      if (++n > kTablePagesPerRule) {
        if (n == kTablePagesPerRule + 1) out_ << "      …\n";
        return;
      }
      out_ << "      " << TerminalSafe(f.Url);
      if (!f.Detail.empty()) out_ << "  " << TerminalSafe(f.Detail);
      // Against a crawl before, the new ones are marked.
      if (f.Change == TCrawlChange::New && summary.HasEarlier) out_ << "  [新]";
      out_ << "\n";
    });
  }

  std::ostream& out_;
  const TReportFormat format_;
  TCrawlStore& store_;
  size_t count_ = 0;
};

// Stores nothing itself (the crawl is stored as it runs), counts the exit status, writes the
// report and the HTML report in the order of the list.
class TCrawlSink : public TResultSink<TCrawlResult> {
 public:
  TCrawlSink(std::ostream& out, TReportFormat format, TCrawlStore& store,
             const TSiteCrawlOptions& options, std::ostream& err)
      : out_(out), format_(format), store_(store), options_(options), err_(err) {}

  void Starting() override {
    if (!writer_) writer_ = std::make_unique<TCrawlWriter>(out_, format_, store_);
    if (!options_.HtmlPath.empty() && !html_) {
      html_ =
          std::make_unique<std::ofstream>(options_.HtmlPath, std::ios::binary | std::ios::trunc);
      WriteCrawlHtmlBegin(*html_);
    }
  }
  void Ended(const TCrawlResult& result) override {
    status_ = std::max(status_, StatusOf(result.Outcome));
    if (options_.Watch && history_)
      options_.Watch->AfterCrawl(*history_, store_, result.Outcome.Crawl);
  }
  // Where --watch keeps the alerts: the history the crawls are kept beside.
  void SetHistory(THistoryStore* history) { history_ = history; }
  void Write(const TCrawlResult& result) override {
    writer_->Add(result);
    if (html_) WriteCrawlHtmlSite(*html_, store_, result.Outcome);
  }
  const char* Closing() const override { return writer_ ? writer_->Closing() : ""; }

  int Finish(TSiteListEnd end) {
    if (writer_) writer_->Finish();
    if (html_) {
      WriteCrawlHtmlEnd(*html_);
      html_->flush();
      if (!*html_) {
        err_ << "\rvelmora-query: 报告没有写进 " << options_.HtmlPath << "\n";
        status_ = std::max(status_, kToolOutputFailed);
      }
    }
    if (end == TSiteListEnd::ListFailed) return kToolError;
    return end == TSiteListEnd::Stopped ? std::max(status_, kToolSomeFailed) : status_;
  }

 private:
  int StatusOf(const TCrawlOutcome& outcome) {
    if (outcome.State != "done") {
      err_ << "\rvelmora-query: " << outcome.Reason << "\n";
      return kToolSomeFailed;
    }
    bool hit = false;
    store_.EachFinding(outcome.Crawl, [&](const TCrawlFinding& f) {
      if (f.Change == TCrawlChange::Gone || options_.FailOn == TCrawlFailOn::Nothing) return;
      const TCrawlRule* rule = FindCrawlRule(f.Rule);
      const TCrawlSeverity severity = rule ? rule->Severity : TCrawlSeverity::Notice;
      switch (options_.FailOn) {
        case TCrawlFailOn::Error:
          hit = hit || severity == TCrawlSeverity::Error;
          break;
        case TCrawlFailOn::Warning:
          hit = hit || severity != TCrawlSeverity::Notice;
          break;
        case TCrawlFailOn::New:
          hit = hit || f.Change == TCrawlChange::New;
          break;
        case TCrawlFailOn::Nothing:
          break;
      }
    });
    return hit ? kToolSomeFailed : kToolDone;
  }

  std::ostream& out_;
  const TReportFormat format_;
  TCrawlStore& store_;
  const TSiteCrawlOptions& options_;
  std::ostream& err_;
  std::unique_ptr<TCrawlWriter> writer_;
  std::unique_ptr<std::ofstream> html_;
  THistoryStore* history_ = nullptr;
  int status_ = kToolDone;
};

}  // namespace

TCrawlMode::TCrawlMode(const TSiteCrawlOptions& options, TCrawlStore& store,
                       TResultSink<TCrawlResult>& sink)
    : store_(store), sink_(sink), crawl_(options.Crawl) {
  crawl_.Stopped = [this, stop = options.Stop, asked = options.Crawl.Stopped] {
    return stop_.load() || (stop != nullptr && stop->load()) || (asked && asked());
  };
}

TCrawlMode::~TCrawlMode() {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

void TCrawlMode::Start(size_t slot, const TSiteName& site, TEnded ended) {
  if (threads_.size() <= slot) threads_.resize(slot + 1);
  if (threads_[slot].joinable()) threads_[slot].join();
  sink_.Starting();
  threads_[slot] = std::thread([this, site, ended = std::move(ended)] {
    TCrawlResult result{site.Shown, TCrawler(store_, crawl_).Run(site.Request)};
    QueueOnMainThread([this, ended, result = std::move(result)] {
      sink_.Ended(result);
      ended([this, result] { sink_.Write(result); });
    });
  });
}

void TCrawlMode::Finish(TPumpQueue&) {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

std::string CrawlStorePath(const std::string& history_location, std::ostream& err) {
  if (!THistoryStore::IsDatabaseUrl(history_location)) return history_location;
  const std::string path = THistoryStore::DefaultPath();
  err << "velmora-query: 全站体检记在 " << path << "（PostgreSQL 数据库还不存全站体检）\n";
  return path;
}

int CrawlList(TSiteList& list, const TSiteCrawlOptions& options, TReportFormat format,
              const std::string& store_path, std::ostream& out, std::ostream& err) {
  TCrawlStore store;
  if (!store.Open(store_path)) {
    err << "velmora-query: " << store.Message() << "\n";
    return kToolError;
  }
  TCrawlSink sink(out, format, store, options, err);
  std::unique_ptr<THistoryStore> history;
  if (options.Watch) {
    history = OpenHistoryStore(store_path);
    TellStoreMessage(*history, "", err);
    sink.SetHistory(history.get());
  }
  TSiteListEnd end;
  {
    TCrawlMode mode(options, store, sink);
    end = RunSiteListOfTool(list, mode, options.Jobs, out, err);
  }
  return sink.Finish(end);
}

int ShowCrawlHistory(const std::string& site, TReportFormat format, const std::string& store_path,
                     std::ostream& out, std::ostream& err) {
  TCrawlStore store;
  if (!store.Open(store_path)) {
    err << "velmora-query: " << store.Message() << "\n";
    return kToolError;
  }
  const std::vector<TCrawlInfo> crawls = store.Crawls(site);
  nlohmann::json rows = nlohmann::json::array();
  if (format == TReportFormat::Csv) out << "site,crawl,started,state,reason,pages,findings\r\n";
  for (const TCrawlInfo& c : crawls) {
    switch (format) {
      case TReportFormat::Table:
        out << IsoTime(c.StartedMs) << "  " << CrawlStateWord(c.State) << "  " << c.Pages
            << " 个网址  " << c.Findings << " 个问题";
        if (!c.Reason.empty()) out << "  " << TerminalSafe(c.Reason);
        out << "\n";
        break;
      case TReportFormat::Csv:
        out << CsvCell(c.Site) << "," << c.Id << "," << IsoTime(c.StartedMs) << "," << c.State
            << "," << CsvCell(c.Reason) << "," << c.Pages << "," << c.Findings << "\r\n";
        break;
      case TReportFormat::Json:
      case TReportFormat::JsonLines: {
        const nlohmann::json row = {
            {"site", c.Site},        {"crawl", c.Id},      {"started", IsoTime(c.StartedMs)},
            {"state", c.State},      {"reason", c.Reason}, {"pages", c.Pages},
            {"findings", c.Findings}};
        if (format == TReportFormat::JsonLines) {
          out << row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        } else {
          rows.push_back(row);
        }
        break;
      }
    }
  }
  if (format == TReportFormat::Json) {
    out << rows.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  }
  return kToolDone;
}

void WriteCrawlRules(std::ostream& out) {
  for (const TCrawlRule& rule : CrawlRules()) {
    out << rule.Id << std::string(rule.Id.size() < 24 ? 24 - rule.Id.size() : 1, ' ')
        << CrawlSeverityName(rule.Severity)
        << std::string(9 - CrawlSeverityName(rule.Severity).size(), ' ') << rule.Meaning << "\n";
  }
}

void AddCrawlFlags(CLI::App& app, TToolFlags& flags) {
  flags.CrawlFlag = app.add_flag(
      "--crawl", flags.Crawl,
      "crawl each SITE whole, politely (robots.txt for VelmoraBot and its Crawl-delay, 429/503 "
      "waited out), and list what is broken on every page by rule; the crawl is kept in the "
      "history and the next one says what is new and what is gone. With --history SITE: its "
      "stored crawls");
  TCrawlOptions& crawl = flags.Crawling.Crawl;
  const std::vector<CLI::Option*> crawl_only = {
      app.add_flag("--rules", flags.CrawlRules, "with --crawl: list the rules and what they mean"),
      app.add_option("--max-pages", crawl.MaxPages, "with --crawl: pages of a site asked, at most")
          ->type_name("N")
          ->check(CLI::Range(1, 10'000'000))
          ->capture_default_str(),
      app.add_option("--max-depth", crawl.MaxDepth,
                     "with --crawl: clicks from the home page (depth 0), at most")
          ->type_name("N")
          ->check(CLI::Range(0, 1000))
          ->capture_default_str(),
      app.add_option("--connections", crawl.Connections, "with --crawl: requests to a site at once")
          ->type_name("N")
          ->check(CLI::Range(1, 64))
          ->capture_default_str(),
      app.add_flag("--no-external", flags.NoExternal, "with --crawl: do not check external links"),
      app.add_option("--fail-on", flags.FailOn,
                     "with --crawl: exit 3 when a finding of this severity (error, warning) or any "
                     "new one (new) is there")
          ->type_name("error|warning|new")
          ->check(CLI::IsMember({"error", "warning", "new"})),
      app.add_option("--html", flags.Crawling.HtmlPath,
                     "with --crawl: also write the self-contained HTML report to FILE")
          ->type_name("FILE"),
  };
  for (CLI::Option* option : crawl_only) option->needs(flags.CrawlFlag);
}

int CrawlTask(TToolFlags& flags, TSiteList& list, const std::string& history_location,
              std::ostream& out, std::ostream& err) {
  const std::string store_path = CrawlStorePath(history_location, err);
  if (store_path.empty()) return kToolError;
  TSiteCrawlOptions& crawling = flags.Crawling;
  crawling.Jobs = flags.Query.Jobs;
  crawling.Crawl.ReadTimeoutMs = flags.Query.ReadTimeoutMs;
  // A crawl waits no more than robots.txt asks unless --delay says more.
  crawling.Crawl.DelayMs = flags.DelayFlag->count() > 0 ? flags.Query.DelayMs : 0;
  crawling.Watch = flags.Query.Watch;
  crawling.Crawl.CheckExternal = !flags.NoExternal;
  crawling.Crawl.Resume = flags.Resume;
  crawling.Crawl.Proxies = TProxySettings::ForQuery(flags.Query.Proxy);
  crawling.FailOn = CrawlFailOnOf(flags.FailOn).value_or(TCrawlFailOn::Nothing);
  return CrawlList(list, crawling, flags.Format(), store_path, out, err);
}

std::optional<TCrawlFailOn> CrawlFailOnOf(const std::string& word) {
  if (word == "error") return TCrawlFailOn::Error;
  if (word == "warning") return TCrawlFailOn::Warning;
  if (word == "new") return TCrawlFailOn::New;
  return std::nullopt;
}
