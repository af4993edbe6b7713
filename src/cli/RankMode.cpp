#include "cli/RankMode.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/QueryReport.h"
#include "history/HistoryStore.h"
#include "query/SiteName.h"
#include "rank/RankPage.h"
#include "rank/RankRun.h"
#include "runtime/StrUtils.h"
#include "services/ServiceFile.h"

namespace {

enum class TRankFormat { Table, Json, JsonLines, Csv };

// Ctrl-C and SIGTERM while positions are asked: the first stops the runs (what they did not
// reach is "已停止", written and stored), a second ends the program at once.
std::atomic<bool> g_rank_stop{false};
std::atomic<int> g_rank_signals{0};

void OnRankSignal(int signal) {
  g_rank_stop = true;
  if (g_rank_signals.fetch_add(1) > 0) ::_exit(128 + signal);
}

// OnRankSignal for SIGINT and SIGTERM while it lives.
class TRankSignals {
 public:
  TRankSignals() {
    g_rank_stop = false;
    g_rank_signals = 0;
    struct sigaction on = {};
    on.sa_handler = OnRankSignal;
    sigemptyset(&on.sa_mask);
    sigaction(SIGINT, &on, &old_int_);
    sigaction(SIGTERM, &on, &old_term_);
  }
  ~TRankSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }

 private:
  struct sigaction old_int_ = {};
  struct sigaction old_term_ = {};
};

std::optional<std::string> ReadWhole(const std::string& path, std::ostream& err) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  if (!in.good() && !in.eof()) in.setstate(std::ios::failbit);
  if (!in) {
    err << "velmora-query: cannot read " << TerminalSafe(path) << ": " << std::strerror(errno)
        << "\n";
    return std::nullopt;
  }
  return text;
}

// The engine definitions in use (see the header).
std::vector<TRankDef> RankDefinitions(const std::string& services_file, std::ostream& err) {
  const TServiceLoad load = LoadServicesToUse(services_file);
  err << ProblemsReport(load);
  if (!load.Table->Ranks.empty()) return load.Table->Ranks;
  return BuiltInServiceSet(kCurrentSet)->Ranks;
}

const TRankDef* Definition(const std::vector<TRankDef>& ranks, const std::string& engine) {
  for (const TRankDef& def : ranks) {
    if (SameText(def.Engine, engine)) return &def;
  }
  return nullptr;
}

std::string Shown(const std::vector<TRankDef>& ranks, const std::string& engine) {
  const TRankDef* def = Definition(ranks, engine);
  return def != nullptr ? def->Shown() : engine;
}

nlohmann::json PositionJson(const TRankPosition& p, const std::vector<TRankDef>& ranks) {
  nlohmann::json j;
  j["keyword"] = p.Keyword;
  j["engine"] = p.Engine;
  j["caption"] = Shown(ranks, p.Engine);
  j["outcome"] = RankStateWord(p.State);
  j["position"] = p.State == TRankState::Found ? nlohmann::json(p.Position) : nlohmann::json();
  j["url"] = p.Url;
  j["pages"] = p.Pages;
  j["depth"] = p.Depth;
  j["text"] = RankStateText(p);
  j["reason"] = p.Reason;
  j["page_url"] = p.PageUrl;
  return j;
}

nlohmann::json ReportJson(const TRankReport& r, const std::vector<TRankDef>& ranks) {
  nlohmann::json j;
  j["site"] = r.Site;
  j["started"] = IsoTime(r.StartedUnixMs);
  j["elapsed_ms"] = r.ElapsedMs;
  j["positions"] = nlohmann::json::array();
  for (const TRankPosition& p : r.Positions) j["positions"].push_back(PositionJson(p, ranks));
  return j;
}

constexpr const char* kCsvHeader =
    "site,started,keyword,engine,outcome,position,url,pages,depth,reason\r\n";

std::string CsvRow(const std::string& site, int64_t started, const TRankPosition& p) {
  std::string row = CsvCell(site) + "," + IsoTime(started) + "," + CsvCell(p.Keyword) + "," +
                    CsvCell(p.Engine) + "," + RankStateWord(p.State) + ",";
  if (p.State == TRankState::Found) row += std::to_string(p.Position);
  return row + "," + CsvCell(p.Url) + "," + std::to_string(p.Pages) + "," +
         std::to_string(p.Depth) + "," + CsvCell(p.Reason) + "\r\n";
}

std::string TableLine(const TRankPosition& p, const std::vector<TRankDef>& ranks) {
  std::string line = "  " + TerminalSafe(p.Keyword) + "  " + Shown(ranks, p.Engine) + "  " +
                     TerminalSafe(RankStateText(p));
  if (!p.Url.empty()) line += "  " + TerminalSafe(p.Url);
  return line + "  (" + std::to_string(p.Pages) + " 页)\n";
}

// Writes each site's report as it finishes, in the chosen format.
class TRankWriter {
 public:
  TRankWriter(std::ostream& out, TRankFormat format, const std::vector<TRankDef>& ranks)
      : out_(out), format_(format), ranks_(ranks) {
    if (format_ == TRankFormat::Json) out_ << "[";
    if (format_ == TRankFormat::Csv) out_ << kCsvHeader;
  }
  void Add(const TRankReport& r) {
    switch (format_) {
      case TRankFormat::Json:
        out_ << (count_ ? ",\n" : "\n") << Dumped(ReportJson(r, ranks_), 2);
        break;
      case TRankFormat::JsonLines:
        out_ << Dumped(ReportJson(r, ranks_), -1) << "\n";
        break;
      case TRankFormat::Csv:
        for (const TRankPosition& p : r.Positions) out_ << CsvRow(r.Site, r.StartedUnixMs, p);
        break;
      case TRankFormat::Table:
        out_ << r.Site << "  (" << IsoTime(r.StartedUnixMs) << ")\n";
        for (const TRankPosition& p : r.Positions) out_ << TableLine(p, ranks_);
        break;
    }
    ++count_;
    out_.flush();
  }
  void Finish() {
    if (format_ == TRankFormat::Json) out_ << (count_ ? "\n]\n" : "]\n");
    out_.flush();
  }

 private:
  std::ostream& out_;
  const TRankFormat format_;
  const std::vector<TRankDef>& ranks_;
  int count_ = 0;
};

bool Known(const TRankPosition& p) {
  return p.State == TRankState::Found || p.State == TRankState::NotInDepth;
}

// --try-rank ENGINE PAGE SITE.
int TryRank(const std::vector<TRankDef>& ranks, const std::vector<std::string>& args,
            bool subdomains, std::ostream& out, std::ostream& err) {
  const TRankDef* def = Definition(ranks, args[0]);
  if (def == nullptr) {
    err << "velmora-query: no engine \"" << TerminalSafe(args[0]) << "\" in the definitions\n";
    return kToolError;
  }
  const std::optional<std::string> page = ReadWhole(args[1], err);
  if (!page) return kToolError;
  const TSiteName site = ParseSiteName(args[2]);
  if (!site.Problem.empty()) {
    err << "velmora-query: not a site name: \"" << TerminalSafe(args[2]) << "\" (" << site.Problem
        << ")\n";
    return kToolError;
  }
  const TRankPageReading reading = ReadRankPage(*def, *page, "");
  out << def->Shown() << ": " << TerminalSafe(args[1]) << "\n";
  if (reading.Blocked) {
    out << "  被验证页面拦截\n";
    return kToolNo;
  }
  if (!reading.Problem.empty()) {
    out << "  " << TerminalSafe(reading.Problem) << "\n";
    return kToolNo;
  }
  out << "  " << reading.Results.size() << " 个自然结果，" << reading.Skipped << " 个不计\n";
  int found = 0;
  for (size_t i = 0; i < reading.Results.size(); ++i) {
    const TRankResult& r = reading.Results[i];
    const bool match = SiteMatchesHost(site.Request, r.Host, subdomains);
    if (match && found == 0) found = static_cast<int>(i) + 1;
    out << "  " << (i + 1) << "  " << TerminalSafe(r.Url.empty() ? "(无链接)" : r.Url)
        << (match ? "  <- " + TerminalSafe(site.Shown) : "") << "\n";
  }
  if (found == 0) {
    out << "  " << site.Shown << " 不在此页\n";
    return kToolNo;
  }
  out << "  " << site.Shown << " 在此页第 " << found << " 位\n";
  return kToolDone;
}

// --history SITE --rank KEYWORD: the stored positions, oldest first.
int ShowRankHistory(const std::string& typed, const std::vector<std::string>& keywords,
                    const std::vector<TRankDef>& ranks, TRankFormat format,
                    const std::string& location, std::ostream& out, std::ostream& err) {
  const TSiteName site = ParseSiteName(typed);
  if (!site.Problem.empty()) {
    err << "velmora-query: not a site name: \"" << TerminalSafe(typed) << "\" (" << site.Problem
        << ")\n";
    return kToolError;
  }
  std::vector<THistoryStore::TRankPoint> points;
  const bool local = !THistoryStore::IsDatabaseUrl(location);
  if (!local || (!location.empty() && ::access(location.c_str(), F_OK) == 0)) {
    THistoryStore::TOptions read_only;
    read_only.ReadOnly = true;
    const auto history = OpenHistoryStore(location, read_only);
    for (const std::string& keyword : keywords.empty() ? std::vector<std::string>{""} : keywords)
      history->EachRank(site.Request, keyword, [&](const auto& p) { points.push_back(p); });
    if (const std::string trouble = history->TakeMessage(); !trouble.empty()) {
      err << "velmora-query: " << trouble << "\n";
      return kToolError;
    }
  }
  nlohmann::json all = nlohmann::json::array();
  if (format == TRankFormat::Csv) out << kCsvHeader;
  if (format == TRankFormat::Table) out << site.Shown << "\n";
  for (const auto& point : points) {
    switch (format) {
      case TRankFormat::Json:
      case TRankFormat::JsonLines: {
        nlohmann::json j = PositionJson(point.Position, ranks);
        j["started"] = IsoTime(point.StartedUnixMs);
        if (format == TRankFormat::JsonLines)
          out << Dumped(j, -1) << "\n";
        else
          all.push_back(std::move(j));
        break;
      }
      case TRankFormat::Csv:
        out << CsvRow(site.Request, point.StartedUnixMs, point.Position);
        break;
      case TRankFormat::Table:
        out << "  " << IsoTime(point.StartedUnixMs) << TableLine(point.Position, ranks);
        break;
    }
  }
  if (format == TRankFormat::Json) out << Dumped(all, 2) << "\n";
  return kToolDone;
}

}  // namespace

bool IsRankTask(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    for (const char* flag : {"--rank", "--keywords", "--try-rank"}) {
      const size_t n = std::strlen(flag);
      if (std::strncmp(argv[i], flag, n) == 0 && (argv[i][n] == '\0' || argv[i][n] == '='))
        return true;
    }
  }
  return false;
}

int RunRankTask(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"velmora-query --rank: where sites stand for keywords on each engine"};
  app.name("velmora-query");
  std::vector<std::string> keywords, typed_sites, try_rank;
  std::string keyword_file, engines_text, services_file, history_site, history_db, list_file, proxy;
  int depth = kDefaultRankDepth, delay_ms = kDefaultRankDelayMs, timeout_ms = kQueryReadTimeoutMs;
  bool subdomains = false, json = false, jsonl = false, csv = false;
  app.add_option("sites", typed_sites, "the sites to look for")->type_name("SITE...");
  app.add_option("--rank", keywords, "a keyword to ask (may be given again)")
      ->type_name("KEYWORD")
      ->allow_extra_args(false);
  app.add_option("--keywords", keyword_file, "the keywords listed in FILE (one a line, # comments)")
      ->type_name("FILE");
  app.add_option("--file", list_file, "the sites listed in FILE (one a line, # comments)")
      ->type_name("LIST");
  app.add_option("--engines", engines_text,
                 "the engines to ask, apart by commas (default: every engine defined: baidu, "
                 "bing, 360, sogou)")
      ->type_name("LIST");
  app.add_option("--depth", depth, "how many organic results to look through")
      ->check(CLI::Range(1, kMaxRankDepth))
      ->capture_default_str();
  app.add_flag("--rank-subdomains", subdomains, "any subdomain of the site counts as the site");
  CLI::Option* try_opt =
      app.add_option("--try-rank", try_rank,
                     "read a saved result PAGE as ENGINE's definition does and show where SITE "
                     "stands on it")
          ->expected(3)
          ->type_name("ENGINE PAGE SITE");
  CLI::Option* json_opt = app.add_flag("--json", json, "write JSON (an array, closed at the end)");
  CLI::Option* jsonl_opt = app.add_flag("--jsonl", jsonl, "write JSON Lines (a site a line)");
  CLI::Option* csv_opt = app.add_flag("--csv", csv, "write CSV");
  json_opt->excludes(csv_opt)->excludes(jsonl_opt);
  jsonl_opt->excludes(csv_opt);
  app.add_option("--services", services_file, "the definitions to use (as for the queries)")
      ->type_name("SET|FILE");
  CLI::Option* history_opt =
      app.add_option("--history", history_site, "print the stored positions of SITE")
          ->type_name("SITE");
  app.add_option("--history-db", history_db, "where the history is kept (as for the queries)")
      ->type_name("LOCATION");
  app.add_option("--delay", delay_ms, "least time between two requests to one engine")
      ->type_name("MS")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();
  app.add_option("--timeout", timeout_ms, "time-out of a connect and of each read")
      ->type_name("MS")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();
  app.add_option("--proxy", proxy, "the proxy for every request (as for the queries)")
      ->type_name("URL");
  try_opt->excludes(history_opt);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? kToolDone : kToolError;
  }
  const TRankFormat format = json    ? TRankFormat::Json
                             : jsonl ? TRankFormat::JsonLines
                             : csv   ? TRankFormat::Csv
                                     : TRankFormat::Table;
  const std::vector<TRankDef> ranks = RankDefinitions(services_file, err);
  if (!try_rank.empty()) return TryRank(ranks, try_rank, subdomains, out, err);

  // Keywords and sites from the command line and their files.
  auto add_lines = [&](const std::string& path, std::vector<std::string>& to) {
    std::optional<std::string> text = ReadWhole(path, err);
    if (!text) return false;
    if (text->rfind("\xEF\xBB\xBF", 0) == 0) text->erase(0, 3);
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
      line = Trim(line);
      if (!line.empty() && line[0] != '#') to.push_back(line);
    }
    return true;
  };
  if (!keyword_file.empty() && !add_lines(keyword_file, keywords)) return kToolError;
  if (!list_file.empty() && !add_lines(list_file, typed_sites)) return kToolError;
  for (std::string& k : keywords) k = Trim(k);
  std::erase(keywords, std::string());

  const std::string location = HistoryLocation(history_db);
  if (!history_site.empty())
    return ShowRankHistory(history_site, keywords, ranks, format, location, out, err);
  if (keywords.empty() || typed_sites.empty()) {
    err << "velmora-query: --rank needs a keyword (--rank KEYWORD or --keywords FILE) and a "
           "site\n";
    return kToolError;
  }
  std::vector<std::string> engines, unknown;
  std::istringstream names(engines_text);
  for (std::string name; std::getline(names, name, ',');) {
    if (!Trim(name).empty()) engines.push_back(Trim(name));
  }
  RankEngines(ranks, engines, unknown);
  if (!unknown.empty()) {
    std::string known;
    for (const TRankDef& def : ranks) known += (known.empty() ? "" : ", ") + def.Engine;
    err << "velmora-query: no engine \"" << TerminalSafe(unknown.front())
        << "\" in the definitions (known: " << known << ")\n";
    return kToolError;
  }
  std::vector<TSiteName> sites;
  for (const std::string& typed : typed_sites) {
    sites.push_back(ParseSiteName(typed));
    if (!sites.back().Problem.empty()) {
      err << "velmora-query: not a site name: \"" << TerminalSafe(typed) << "\" ("
          << sites.back().Problem << ")\n";
      return kToolError;
    }
  }

  const auto history = OpenHistoryStore(location);
  const TRankSignals signals;
  TRankWriter writer(out, format, ranks);
  int status = kToolDone;
  for (const TSiteName& site : sites) {
    if (g_rank_stop) break;  // no further site starts
    const TRankAsk ask{.Site = site.Request,
                       .Keywords = keywords,
                       .Engines = engines,
                       .Depth = depth,
                       .Subdomains = subdomains};
    const TRankReport report = RunRanks(ranks, ask,
                                        {.ReadTimeoutMs = timeout_ms,
                                         .DelayMs = delay_ms,
                                         .Proxies = TProxySettings::ForQuery(proxy)});
    writer.Add(report);
    history->RecordRanks(report);
    if (const std::string trouble = history->TakeMessage(); !trouble.empty())
      err << "velmora-query: " << trouble << "\n";
    for (const TRankPosition& p : report.Positions) {
      if (!Known(p)) status = kToolSomeFailed;
    }
  }
  writer.Finish();
  return status;
}
