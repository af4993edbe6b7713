#include "rank/RankRun.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "query/Outcome.h"
#include "rank/RankPage.h"
#include "runtime/CodePage.h"
#include "runtime/Exception.h"
#include "runtime/StrUtils.h"

namespace {

int64_t NowUnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Every `from` in `text` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

constexpr const char* kNoResultsRead = "结果页上没有读到自然结果（页面可能已改版）";

// One engine's share of a run: its keywords one after another, its pages one after another.
class TEngineRun {
 public:
  TEngineRun(const TRankDef& def, const TRankAsk& ask, const TRankRunOptions& options,
             TNetFetchSession& session)
      : def_(def), ask_(ask), options_(options), session_(session) {}

  // The position of `keyword`; after a verification page, every later keyword is blocked
  // without a request.
  TRankPosition Ask(const std::string& keyword) {
    TRankPosition p{.Keyword = keyword, .Engine = def_.Engine, .Depth = ask_.Depth};
    if (blocked_) {
      p.State = TRankState::Blocked;
      p.Reason = "之前的页面已被拦截，本次不再请求";
      p.PageUrl = blocked_page_;
      return p;
    }
    const int pages = (ask_.Depth + def_.PerPage - 1) / def_.PerPage;
    int counted = 0;  // organic results before this page
    for (int page = 1; page <= pages; ++page) {
      if (!Paced()) {
        p.State = TRankState::Stopped;
        return p;
      }
      TFetchOptions fetch;
      fetch.ReadTimeoutMs = options_.ReadTimeoutMs;
      fetch.Stop = options_.Stop;
      fetch.Session = &session_;
      fetch.Request.Headers = def_.Headers;
      try {
        p.PageUrl = RankPageUrl(def_, keyword, page, options_.Hosts);
        if (!def_.FirstVisit.empty())
          fetch.Request.FirstVisit = ExpandUrl(def_.FirstVisit, ask_.Site, options_.Hosts);
      } catch (const Exception& e) {
        p.State = TRankState::Failed;
        p.Reason = "定义有误：" + GbkToUtf8(e.what());
        return p;
      }
      const TPageResult answer = FetchPage(p.PageUrl, "", TFetchMode::Raw, fetch);
      last_answer_ = std::chrono::steady_clock::now();
      asked_ = true;
      if (answer.Outcome.End == TFetchEnd::Stopped) {
        p.State = TRankState::Stopped;
        return p;
      }
      if (!answer.Outcome.Fetched() && IsBlockingStatus(answer.Outcome.HttpStatus)) {
        return Blocked(p, "HTTP " + std::to_string(answer.Outcome.HttpStatus));
      }
      if (!answer.Outcome.Fetched()) {
        p.State = TRankState::Failed;
        p.Reason = GbkToUtf8(FetchReason(answer.Outcome));
        return p;
      }
      ++p.Pages;
      const TRankPageReading reading = ReadRankPage(def_, answer.Text, answer.Outcome.FinalUrl);
      if (reading.Blocked) return Blocked(p, "");
      if (!reading.Problem.empty()) {
        p.State = TRankState::Failed;
        p.Reason = reading.Problem;
        return p;
      }
      for (const TRankResult& result : reading.Results) {
        if (++counted > ask_.Depth) break;
        if (SiteMatchesHost(ask_.Site, result.Host, ask_.Subdomains)) {
          p.State = TRankState::Found;
          p.Position = counted;
          p.Url = result.Url;
          return p;
        }
      }
      // A first page without organic results is one the definition no longer reads (an answer
      // without any result is no position to report); a later one is past the last result.
      if (reading.Results.empty() && page == 1) {
        p.State = TRankState::Failed;
        p.Reason = kNoResultsRead;
        return p;
      }
      if (reading.Results.empty() || counted >= ask_.Depth) break;
    }
    p.State = TRankState::NotInDepth;
    return p;
  }

 private:
  bool Stopped() const { return options_.Stop != nullptr && options_.Stop->load(); }
  // Waits until DelayMs have passed since the engine's last answer; false when the run was
  // stopped meanwhile (looked at every 50 ms).
  bool Paced() const {
    constexpr auto kStopPoll = std::chrono::milliseconds(50);
    const auto due = last_answer_ + std::chrono::milliseconds(options_.DelayMs);
    while (asked_ && !Stopped() && std::chrono::steady_clock::now() < due) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          kStopPoll, due - std::chrono::steady_clock::now()));
    }
    return !Stopped();
  }

  TRankPosition& Blocked(TRankPosition& p, const std::string& why) {
    blocked_ = true;
    blocked_page_ = p.PageUrl;
    p.State = TRankState::Blocked;
    p.Reason = why;
    return p;
  }

  const TRankDef& def_;
  const TRankAsk& ask_;
  const TRankRunOptions& options_;
  TNetFetchSession& session_;
  bool blocked_ = false;
  std::string blocked_page_;
  bool asked_ = false;  // a page of the engine was asked; last_answer_ is when its answer came
  std::chrono::steady_clock::time_point last_answer_{};
};

}  // namespace

std::string RankPageUrl(const TRankDef& def, const std::string& keyword, int page,
                        const TServiceHosts& hosts) {
  const int offset = (page - 1) * def.PerPage;
  std::string url = Replaced(def.Url, kRankKeyword, QueryText(keyword));
  url = Replaced(url, kRankFirst, std::to_string(offset + 1));
  url = Replaced(url, kRankOffset, std::to_string(offset));
  url = Replaced(url, kRankPage, std::to_string(page));
  return ExpandUrl(url, "", hosts);
}

std::vector<const TRankDef*> RankEngines(const std::vector<TRankDef>& ranks,
                                         const std::vector<std::string>& names,
                                         std::vector<std::string>& unknown) {
  std::vector<const TRankDef*> engines;
  if (names.empty()) {
    for (const TRankDef& def : ranks) {
      if (def.Enabled) engines.push_back(&def);
    }
    return engines;
  }
  for (const std::string& name : names) {
    auto it = std::find_if(ranks.begin(), ranks.end(), [&](const TRankDef& d) {
      return d.Enabled && SameText(d.Engine, name);
    });
    if (it == ranks.end())
      unknown.push_back(name);
    else if (std::find(engines.begin(), engines.end(), &*it) == engines.end())
      engines.push_back(&*it);
  }
  return engines;
}

TRankReport RunRanks(const std::vector<TRankDef>& ranks, const TRankAsk& ask,
                     const TRankRunOptions& options) {
  TRankReport report{.Site = ask.Site, .StartedUnixMs = NowUnixMs()};
  std::vector<std::string> unknown;
  const std::vector<const TRankDef*> engines = RankEngines(ranks, ask.Engines, unknown);
  report.Positions.resize(ask.Keywords.size() * engines.size());
  std::mutex mu;  // one OnPosition call at a time
  TNetFetchSession session(options.Proxies);
  std::vector<std::thread> threads;
  for (size_t e = 0; e < engines.size(); ++e) {
    threads.emplace_back([&, e] {
      TEngineRun run(*engines[e], ask, options, session);
      for (size_t k = 0; k < ask.Keywords.size(); ++k) {
        TRankPosition p = run.Ask(ask.Keywords[k]);
        std::lock_guard<std::mutex> lock(mu);
        report.Positions[k * engines.size() + e] = p;
        if (options.OnPosition) options.OnPosition(p);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  report.ElapsedMs = NowUnixMs() - report.StartedUnixMs;
  return report;
}

std::string RankStateText(const TRankPosition& p) {
  switch (p.State) {
    case TRankState::Found:
      return "第 " + std::to_string(p.Position) + " 位";
    case TRankState::NotInDepth:
      return "不在前 " + std::to_string(p.Depth);
    case TRankState::Blocked:
      return "被验证页面拦截";
    case TRankState::Failed:
      return "失败：" + p.Reason;
    case TRankState::Stopped:
      return "已停止";
  }
  return "";
}

namespace {
constexpr const char* kRankStateWords[] = {"found", "not-in-depth", "blocked", "failed", "stopped"};
static_assert(std::size(kRankStateWords) == static_cast<size_t>(TRankState::Stopped) + 1);
}  // namespace

const char* RankStateWord(TRankState state) { return kRankStateWords[static_cast<size_t>(state)]; }

TRankState RankStateOfWord(const std::string& word) {
  for (size_t i = 0; i < std::size(kRankStateWords); ++i) {
    if (word == kRankStateWords[i]) return static_cast<TRankState>(i);
  }
  return TRankState::Failed;
}
