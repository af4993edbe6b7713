// What velmora-query's command line said, flag by flag, as each kind of run reads it. Each kind
// of run adds its own flags (QueryMode, AuditMode, CrawlMode; positions and watching beside
// them) over those every run over a list shares (AddListFlags).
#pragma once

#include <string>
#include <vector>

#include "cli/CrawlMode.h"
#include "cli/QueryMode.h"
#include "cli/QueryReport.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

struct TToolFlags {
  // Every run over a list: the sites, the list file, the report's format, the history.
  std::vector<std::string> Sites;
  std::string ListFile;
  std::string Shard;  // "K/N"
  bool Json = false, JsonLines = false, Csv = false;
  std::string HistoryDb;
  // The queries' (--timeout, --proxy and --jobs also the check-ups').
  TSiteQueryOptions Query;
  std::string ServicesFile;
  bool Resume = false;
  std::string Since;
  // The check-ups'.
  bool Audit = false;
  int HttpsPort = 443;
  // The crawl's (--resume too, without --since).
  bool Crawl = false;
  bool CrawlRules = false;  // --crawl --rules: list the rules
  bool NoExternal = false;
  std::string FailOn;
  TSiteCrawlOptions Crawling;
  // The watch's.
  bool Watch = false;
  std::string AlertsFile;
  std::vector<std::string> Notify;
  // The flags the kinds of run refuse of each other.
  CLI::Option* DelayFlag = nullptr;
  CLI::Option* ServicesFlag = nullptr;
  CLI::Option* ResumeFlag = nullptr;
  CLI::Option* SinceFlag = nullptr;
  CLI::Option* AuditFlag = nullptr;
  CLI::Option* CrawlFlag = nullptr;
  CLI::Option* WatchFlag = nullptr;

  TReportFormat Format() const {
    return Json        ? TReportFormat::Json
           : JsonLines ? TReportFormat::JsonLines
           : Csv       ? TReportFormat::Csv
                       : TReportFormat::Table;
  }
};

// The sites, --file, --json/--jsonl/--csv, --timeout, --proxy, --jobs, --shard, --history-db.
void AddListFlags(CLI::App& app, TToolFlags& flags);
