#include "cli/QueryTool.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "audit/AuditTarget.h"
#include "cli/AuditMode.h"
#include "cli/AuditWriter.h"
#include "cli/CompletionWords.h"
#include "cli/CrawlMode.h"
#include "cli/QueryMode.h"
#include "cli/QueryReport.h"
#include "cli/SiteList.h"
#include "cli/TimeText.h"
#include "history/HistoryStore.h"
#include "query/UseFunction.h"
#include "regex/RegexEngine.h"
#include "runtime/BatchPipe.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "services/ServiceFile.h"
#include "watch/SiteWatch.h"
#include "watch/WatchLock.h"

namespace {

// How much of a step's text the trace shows.
constexpr size_t kShownBytes = 160;

// At most n bytes of a GBK text, never ending inside a character.
std::string CutAtCharacter(const std::string& gbk, size_t n) {
  if (gbk.size() <= n) return gbk;
  if (ByteType(gbk, n) == mbTrailByte) --n;
  return gbk.substr(0, n);
}

// A GBK text for one line of the terminal: quoted, made safe (TerminalSafe), cut after
// kShownBytes bytes (never inside a character) with the full length noted.
std::string Shown(const std::string& gbk) {
  const std::string cut = CutAtCharacter(gbk, kShownBytes);
  std::string out = "'" + TerminalSafe(GbkToUtf8(cut)) + "'";
  if (cut.size() < gbk.size()) out += "... (" + std::to_string(gbk.size()) + " bytes)";
  return out;
}

std::string Described(const TStep& step) {
  switch (step.Kind) {
    case TStepKind::Between:
      return "between " + Shown(step.A) + " " + Shown(step.B);
    case TStepKind::BetweenSite:
      return "between " + Shown(step.A + "{site}" + step.B) + " " + Shown(step.C);
    case TStepKind::Remove:
      return "remove " + Shown(step.A);
    case TStepKind::DigitsOnly:
      return "digits";
    case TStepKind::Rule:
      return "rule " + Shown(step.A);
    case TStepKind::Append:
      return "append " + Shown(step.A);
    case TStepKind::Json:
      return "json " + Shown(step.A);
    case TStepKind::Newest:
      return "newest " + Shown(step.A) + " " + Shown(step.B);
    case TStepKind::Date:
      return "date " + Shown(step.A);
  }
  return "?";
}

const char* NotFound(TStepKind kind) {
  switch (kind) {
    case TStepKind::DigitsOnly:
      return "not a number (only digits and commas pass)";
    case TStepKind::Rule:
      return "no match";
    default:
      return "not found";
  }
}

std::optional<std::string> ReadFile(const std::string& path, std::ostream& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err << path << ": cannot read the file\n";
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (static_cast<int64_t>(text.size()) > kQueryMaxPageBytes) {
      err << path << ": larger than a page the program accepts (" << kQueryMaxPageBytes
          << " bytes)\n";
      return std::nullopt;
    }
  }
  return text;
}

}  // namespace

int TryRule(const std::string& field, const std::string& page_path,
            const std::string& services_file, const std::string& site, std::ostream& out,
            std::ostream& err) {
  const TServiceLoad load = LoadServicesToUse(services_file.empty() ? kClassicSet : services_file);
  err << ProblemsReport(load);
  const TServiceTable& table = *load.Table;
  const TServiceTable* set = BuiltInServiceSet(table.Name);
  const TRequestDef* def = nullptr;
  bool built_in = true;  // the entry used is the built-in one (the file's is faulty or absent)
  for (const TRequestDef& d : table.Requests) {
    if (d.Field == field) def = &d;
  }
  for (const TRequestDef& d : set != nullptr ? set->Requests : table.Requests) {
    if (def != nullptr && d.Field == field) built_in = d == *def;
  }
  if (def == nullptr) {
    err << "no field \"" << field << "\" in the definitions\n";
    return kToolError;
  }
  if (def->Rules.empty()) {
    err << "\"" << field << "\" has no steps (the thumbnail is a picture)\n";
    return kToolError;
  }
  const std::optional<std::string> saved = ReadFile(page_path, err);
  if (!saved) return kToolError;
  const std::string page = PageByMode(*saved, def->Mode);

  out << field << ": job " << def->Job << ", mode " << static_cast<int>(def->Mode) << ", "
      << GbkToUtf8(def->Url) << "\n";
  out << "definitions: "
      << (built_in ? (table.Name == kClassicSet ? std::string("built in")
                                                : "built in (" + table.Name + ")")
                   : services_file)
      << "\n";
  if (!def->Enabled) out << "switched off: the program sends no request for it\n";
  out << "page: " << page_path << ", " << saved->size() << " bytes, " << page.size()
      << " after mode " << static_cast<int>(def->Mode) << "\n";
  size_t list = SIZE_MAX;
  uint64_t linear = TRegexEngine::LinearSearchCount();  // a rule step's searches that went linear
  const std::optional<std::string> value =
      ApplyRules(page, def->Rules, site, [&](const TStepTrace& t) {
        if (t.List != list) {
          list = t.List;
          if (list == 0)
            out << "steps:\n";
          else
            out << "fallback " << list << ":\n";
        }
        const TStep& step = def->Rules[t.List][t.Step];
        const uint64_t now = TRegexEngine::LinearSearchCount();
        out << "  " << (t.Step + 1) << ". " << Described(step) << " -> "
            << (t.Found        ? Shown(t.Text)
                : t.OverBudget ? std::string("规则超出计算限制")
                               : std::string(NotFound(step.Kind)))
            << (now != linear ? " (answered by the linear matcher)" : "") << "\n";
        linear = now;
      });
  if (value) {
    out << "value: " << Shown(*value) << "\n";
    return kToolDone;
  }
  out << "no value: " << (def->Rules.size() == 1 ? "the steps find none" : "no step list finds one")
      << "\n";
  return kToolNo;
}

int CheckServices(const std::string& path, std::ostream& out) {
  const TServiceLoad load = LoadServicesFile(path);
  if (!load.Ok()) {
    for (const TServiceProblem& p : load.Problems) out << p.Text() << "\n";
    return kToolNo;
  }
  std::vector<std::string> changed;
  const TServiceTable& builtin = *BuiltInServiceSet(load.Table->Name);
  for (size_t i = 0; i < builtin.Requests.size(); ++i) {
    if (!(load.Table->Requests[i] == builtin.Requests[i]))
      changed.push_back(builtin.Requests[i].Field);
  }
  out << path << ": no problems; ";
  if (changed.empty()) {
    out << "it changes no definition\n";
  } else {
    out << "it changes";
    for (const std::string& f : changed) out << " " << f;
    out << "\n";
  }
  return kToolDone;
}

int DumpServices(const std::string& set, std::ostream& out, std::ostream& err) {
  const std::string_view text = BuiltInServicesText(set);
  if (text.empty()) {
    err << "velmora-query: no built-in set \"" << TerminalSafe(set)
        << "\" (the sets are \"classic\" and \"current\")\n";
    return kToolError;
  }
  out << text;
  return kToolDone;
}

namespace {

// Flushes out; false, after one line on err, when anything written to it was lost.
bool OutputWritten(std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) return true;
  err << "velmora-query: the output could not be written\n" << std::flush;
  return false;
}

// Lets `read` read the history at `location`, opened read only: showing the history must not
// change it, so a user who may only read it can still see it (and a missing file is an empty
// history, not one to create). false, after one line on err, when it cannot be read.
bool ReadStored(const std::string& location, const std::function<void(THistoryStore&)>& read,
                std::ostream& err) {
  const bool local = !THistoryStore::IsDatabaseUrl(location);
  if (local && (location.empty() || ::access(location.c_str(), F_OK) != 0)) return true;
  THistoryStore::TOptions read_only;
  read_only.ReadOnly = true;
  const auto history = OpenHistoryStore(location, read_only);
  read(*history);
  const std::string trouble = history->TakeMessage();
  if (trouble.empty()) return true;
  err << "velmora-query: " << trouble << "\n";
  return false;
}

// Writes the runs `filter` picks as they are read (one field or all: `fields`). The store reads
// on a thread of its own while this one writes, so a long series takes the longer of the two
// rather than both; a trouble reading is told after what was read.
int WriteStored(const std::string& location, const THistoryFilter& filter, TReportFormat format,
                const std::vector<TResultField>& fields, std::ostream& out, std::ostream& err) {
  constexpr size_t kRunsPerBatch = 128;
  TReportWriter writer(out, format, fields, true, TFlush::WhenFull);
  TBatchPipe<TQueryRecord> runs(kRunsPerBatch);
  std::ostringstream trouble;
  bool read = false;
  std::thread reader([&] {
    const auto visit = [&](const THistoryQuery& q) { runs.Put(q.Record); };
    read = ReadStored(
        location, [&](THistoryStore& h) { h.EachRun(filter, visit); }, trouble);
    runs.Close();
  });
  const TQueryRecord* batch = nullptr;
  size_t count = 0;
  try {
    while (runs.Take(batch, count)) {
      for (size_t i = 0; i < count; ++i) writer.Add(batch[i]);
    }
  } catch (...) {  // the reader is let finish before the trouble goes on
    while (runs.Take(batch, count)) {
    }
    reader.join();
    throw;
  }
  reader.join();
  writer.Finish();
  err << trouble.str();
  return read ? kToolDone : kToolError;
}

}  // namespace

int ShowHistory(const std::string& site, const std::string& field_name, TReportFormat format,
                const std::string& history_location, std::ostream& out, std::ostream& err) {
  std::vector<TResultField> fields;
  if (!field_name.empty()) {
    const std::optional<TResultField> field = ResultFieldByName(field_name);
    if (!field || *field == rfPicture) {
      err << "velmora-query: no field \"" << field_name << "\"\n";
      return kToolError;
    }
    fields.push_back(*field);
  }
  const std::optional<TSiteName> name = SiteNameOf(site, err);
  if (!name) return kToolError;
  // With one field, also what every report of a run shows (its thumbnail and load time), so
  // that a run reads the same either way.
  THistoryFilter filter{.Site = name->Site};
  if (!fields.empty()) filter.Fields = {fields[0], rfAlexa6, rfPicture};
  return WriteStored(history_location, filter, format, fields, out, err);
}

// --history SITE --audit: the stored check-ups of SITE, oldest first.
int ShowAuditHistory(const std::string& site, TReportFormat format,
                     const std::string& history_location, std::ostream& out, std::ostream& err) {
  const std::optional<TSiteName> name = SiteNameOf(site, err);
  if (!name) return kToolError;
  TAuditWriter writer(out, format, true);
  const auto visit = [&](const TAuditReport& report) { writer.Add(report); };
  const bool read = ReadStored(
      history_location, [&](THistoryStore& h) { h.EachAudit({.Site = name->Shown}, visit); }, err);
  writer.Finish();
  return read ? kToolDone : kToolError;
}

int ExportHistory(std::optional<int64_t> since_ms, TReportFormat format,
                  const std::string& history_location, std::ostream& out, std::ostream& err) {
  return WriteStored(history_location, {.SinceUnixMs = since_ms}, format, {}, out, err);
}

namespace {

int RunList(TSiteList& list, TSiteQueryOptions& query, TReportFormat format,
            const std::string& history_location, bool audit, int https_port, bool crawl,
            TSiteCrawlOptions& crawling, bool no_external, const std::string& fail_on,
            const std::string& html_path, bool resume, bool delay_given,
            std::optional<int64_t> since_ms, const std::string& services_file, std::ostream& out,
            std::ostream& err);

// --watch: the rules, the deliveries and the list's lock. -1 when the list may run (`watcher`
// and `lock` set), else the exit status to end with: 2 for rules or targets that cannot be used,
// 0 when another run of the same list holds the lock.
int StartWatch(const std::string& alerts_file, const std::vector<std::string>& notify,
               const std::vector<std::string>& typed_sites, const std::string& list_file,
               const TSiteQueryOptions& query, TReportFormat format, std::ostream& out,
               std::ostream& err, std::shared_ptr<TSiteWatch>& watcher,
               std::optional<TWatchLock>& lock) {
  const TWatchRulesLoad rules =
      LoadWatchRules(alerts_file.empty() ? DefaultWatchRulesPath() : alerts_file);
  if (!rules.Ok()) {
    for (const std::string& problem : rules.Problems) err << problem << "\n";
    return kToolError;
  }
  TAlertDeliveryOptions options;
  options.Proxies = TProxySettings::ForQuery(query.Proxy);
  options.TimeoutMs = query.ReadTimeoutMs;
  if (const char* secret = std::getenv("VELMORA_WEBHOOK_SECRET")) options.WebhookSecret = secret;
  if (const char* wait = std::getenv("VELMORA_WEBHOOK_RETRY_MS"))  // tests wait less
    options.RetryBaseMs = std::max(1, std::atoi(wait));
  std::vector<std::unique_ptr<TAlertDelivery>> deliveries;
  for (const std::string& target : notify) {
    if (target == "-") {  // standard output beside other targets
      deliveries.push_back(std::make_unique<TLineDelivery>(out));
      continue;
    }
    std::string problem;
    std::unique_ptr<TAlertDelivery> delivery = MakeAlertDelivery(target, options, problem);
    if (!delivery) {
      err << "velmora-query: " << problem << "\n";
      return kToolError;
    }
    deliveries.push_back(std::move(delivery));
  }
  // By default a line per alert on standard output, unless the report there is JSON or CSV,
  // which a line between its rows would spoil: then on the error stream.
  if (deliveries.empty())
    deliveries.push_back(
        std::make_unique<TLineDelivery>(format == TReportFormat::Table ? out : err));
  std::string list_name = list_file;
  if (!list_file.empty() && list_file != "-") {
    if (char* real = ::realpath(list_file.c_str(), nullptr)) {
      list_name = real;
      std::free(real);
    }
  }
  for (const std::string& site : typed_sites) list_name += "\n" + site;
  std::string lock_path, problem;
  lock = TWatchLock::Take(list_name, lock_path, problem);
  if (!lock) {
    if (!problem.empty()) {
      err << "velmora-query: " << problem << "\n";
      return kToolError;
    }
    err << "velmora-query: another watch of this list is still running (" << lock_path
        << "); this one does not start\n";
    return kToolDone;
  }
  watcher = std::make_shared<TSiteWatch>(TWatcher(rules.Rules), std::move(deliveries));
  watcher->OnTrouble = [&err](const std::string& trouble) {
    err << "\rvelmora-query: --watch: " << trouble << "\n";
  };
  return -1;
}

int RunTask(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "velmora-query: the site toolbox without the window: query sites, show their "
      "history, try and check the service definitions"};
  app.name("velmora-query");
  app.set_version_flag("--version", "velmora-query " VELMORA_VERSION);
  bool completion_words = false;  // hidden: for the shell's Tab completion
  app.add_flag("--completion-words", completion_words)->group("");
  app.footer(
      "Exit status: 0 done (every field has a value; --try-rule: a value was found; --audit: "
      "every check of every site passed), 1 no value or problems in the file, 2 the command line "
      "or a file could not be used, 3 some field has no value (or the queries were stopped; "
      "fields switched off, retired or waiting for a key do not count; --audit: a check warned, "
      "failed or could not run, or the check-ups were stopped; --watch: an alert could not be "
      "delivered or a run not compared), 4 the output could not be written.\n"
      "Ctrl-C (or SIGTERM) stops the queries under way as the window's Stop button does; what "
      "they found is written and stored. A second one ends the program at once.");
  std::vector<std::string> try_rule;
  std::string check_file, services_file, site, dump_set;
  CLI::Option* try_opt =
      app.add_option("--try-rule", try_rule,
                     "run FIELD's steps and fallbacks on PAGE (saved from a browser) and print "
                     "each step's result")
          ->expected(2)
          ->type_name("FIELD PAGE");
  CLI::Option* check_opt =
      app.add_option("--check-services", check_file,
                     "report the faults of a definitions file as the program does")
          ->type_name("FILE");
  CLI::Option* dump_opt =
      app.add_option("--dump-services", dump_set,
                     "print a built-in definitions file: classic (the default) or current")
          ->expected(0, 1)
          ->type_name("[SET]");
  CLI::Option* services_opt =
      app.add_option("--services", services_file,
                     "the built-in set \"classic\" or \"current\", or a definitions file to use "
                     "over the classic set (or the set its base names); default: the user's "
                     "~/.config/velmora/services.toml when it exists, else classic")
          ->type_name("SET|FILE");
  CLI::Option* site_opt =
      app.add_option("--site", site, "the site name {site} stands for in a between step")
          ->type_name("NAME");
  std::vector<std::string> typed_sites;
  std::string list_file, history_site, field_name;
  bool json = false, jsonl = false, csv = false;
  TSiteQueryOptions query;
  app.add_option("sites", typed_sites, "the sites to query")->type_name("SITE...");
  app.add_option("--file", list_file, "query the sites listed in FILE (one a line, # comments)")
      ->type_name("LIST");
  CLI::Option* json_opt = app.add_flag("--json", json, "write JSON (an array, closed at the end)");
  CLI::Option* jsonl_opt =
      app.add_flag("--jsonl", jsonl, "write JSON Lines (one object a line, as each site ends)");
  CLI::Option* csv_opt = app.add_flag("--csv", csv, "write CSV");
  json_opt->excludes(csv_opt)->excludes(jsonl_opt);
  jsonl_opt->excludes(csv_opt);
  app.add_option("--timeout", query.ReadTimeoutMs,
                 "time-out of a request's connect and of each read; a whole request, "
                 "redirects included, ends within twice this time")
      ->type_name("MS")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();
  CLI::Option* delay_opt =
      app.add_option("--delay", query.DelayMs,
                     "least time between two requests to one service host (services block "
                     "clients that ask too fast)")
          ->type_name("MS")
          ->check(CLI::Range(0, 3600000))
          ->capture_default_str();
  app.add_option("--proxy", query.Proxy,
                 "the proxy for every request (http://, socks4://, socks4a://, socks5://, "
                 "socks5h://, with user:password@); default: http_proxy, https_proxy, all_proxy "
                 "and no_proxy from the environment")
      ->type_name("URL")
      ->check(CLI::Validator(
          [](std::string& url) {
            std::string why;
            return url.empty() || ParseProxyUrl(url, &why) ? std::string() : why;
          },
          ""));
  app.add_option("--jobs", query.Jobs, "sites in flight at once")
      ->type_name("N")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  CLI::Option* history_opt =
      app.add_option("--history", history_site, "print the stored results of SITE")
          ->type_name("SITE");
  CLI::Option* field_opt = app.add_option("--field", field_name,
                                          "with --history: only this field (Site1, WebTitle, ...)")
                               ->type_name("NAME")
                               ->needs(history_opt);
  std::string history_db, since_text, shard_text;
  std::optional<int64_t> since_ms;
  bool resume = false, export_history = false;
  app.add_option("--history-db", history_db,
                 "where the history is kept: a SQLite file, or postgresql://user@host/db for a "
                 "database the team shares (default: VELMORA_HISTORY_DB, else "
                 "~/.local/share/velmora/history.sqlite3)")
      ->type_name("LOCATION");
  app.add_option("--shard", shard_text,
                 "query only the sites of the list that fall to part K of N (1 <= K <= N): "
                 "machines given the same list split it between them without talking (the "
                 "part is the FNV-1a hash of the lower-case ASCII name, modulo N, plus 1)")
      ->type_name("K/N")
      ->check(CLI::Validator(
          [](std::string& text) {
            return ParseShard(text) ? std::string() : "K/N with 1 <= K <= N <= 1000";
          },
          ""));
  CLI::Option* since_opt =
      app.add_option("--since", since_text,
                     "with --resume or --history-export: from this time on (2026-12-08T00:00; "
                     "local time unless it ends in Z or an offset such as +08:00)")
          ->type_name("TIME")
          ->check(CLI::Validator(
              [](std::string& text) {
                return ParseTimeText(text) ? std::string()
                                           : "a time such as 2026-12-08T00:00 or 2026-12-08";
              },
              ""));
  CLI::Option* resume_opt =
      app.add_flag("--resume", resume,
                   "skip the sites that have a run in the history since --since (to restart a "
                   "machine that stopped without asking twice); with --crawl: go on with each "
                   "site's crawl that did not finish")
          ;
  CLI::Option* export_opt = app.add_flag(
      "--history-export", export_history,
      "print every stored run of every site (since --since), one row per site and run");
  bool audit = false;
  int https_port = 443;
  CLI::Option* audit_opt = app.add_flag(
      "--audit", audit,
      "check up on each SITE itself instead of querying the services: https and its redirect, "
      "the certificate, HSTS, robots.txt, the sitemaps, the home page's head, compression, speed "
      "and weight, the addresses; each check passes (通过), warns (注意), fails (未通过) or "
      "could not run (无法检查). With --history SITE: its stored check-ups");
  app.add_option("--https-port", https_port,
                 "with --audit: the port of the sites' https server, for servers on other ports")
      ->type_name("N")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str()
      ->needs(audit_opt);
  bool crawl = false, list_rules = false, no_external = false;
  TSiteCrawlOptions crawling;
  std::string fail_on, html_path;
  CLI::Option* crawl_opt = app.add_flag(
      "--crawl", crawl,
      "crawl each SITE whole, politely (robots.txt for VelmoraBot, its Crawl-delay, 429/503 "
      "waited out), and list what is broken on every page by rule; the crawl is kept in the "
      "history and the next one says what is new and what is gone. With --history SITE: its "
      "stored crawls");
  std::vector<CLI::Option*> crawl_only = {
      app.add_flag("--rules", list_rules, "with --crawl: list the rules and what they mean"),
      app.add_option("--max-pages", crawling.Crawl.MaxPages, "with --crawl: pages of a site asked, at most")
          ->type_name("N")->check(CLI::Range(1, 10'000'000))->capture_default_str(),
      app.add_option("--max-depth", crawling.Crawl.MaxDepth,
                     "with --crawl: clicks from the home page (depth 0), at most")
          ->type_name("N")->check(CLI::Range(0, 1000))->capture_default_str(),
      app.add_option("--connections", crawling.Crawl.Connections,
                     "with --crawl: requests to a site at once")
          ->type_name("N")->check(CLI::Range(1, 64))->capture_default_str(),
      app.add_flag("--no-external", no_external, "with --crawl: do not check external links"),
      app.add_option("--fail-on", fail_on,
                     "with --crawl: exit 3 when a finding of this severity (error, warning) or "
                     "any new one (new) is there")
          ->type_name("error|warning|new")->check(CLI::IsMember({"error", "warning", "new"})),
      app.add_option("--html", html_path, "with --crawl: also write the HTML report to FILE")
          ->type_name("FILE"),
  };
  for (CLI::Option* option : crawl_only) option->needs(crawl_opt);
  bool watch = false;
  std::string alerts_file;
  std::vector<std::string> notify;
  CLI::Option* watch_opt = app.add_flag(
      "--watch", watch,
      "after each site's run is stored (queries, --audit, --crawl), compare it with the site's "
      "run of the same kind before it and tell what changed, once per change (the alerts are "
      "kept in the history); runs of one list never overlap");
  std::vector<CLI::Option*> watch_only = {
      app.add_option("--alerts", alerts_file,
                     "with --watch: the alert rules to use (default: the built-in ones, changed "
                     "by ~/.config/velmora/alerts.toml when it exists)")
          ->type_name("FILE"),
      app.add_option("--notify", notify,
                     "with --watch: where alerts go, repeatable: an http:// or https:// webhook "
                     "(JSON POST; signed when VELMORA_WEBHOOK_SECRET is set), mailto:ADDRESS "
                     "(through sendmail -t), desktop, or - for a line per alert on standard output "
                     "(the default)")
          ->type_name("TARGET")
          ->take_all()
          ->allow_extra_args(false),
  };
  for (CLI::Option* option : watch_only) option->needs(watch_opt);
  for (CLI::Option* not_watched : {history_opt, export_opt, try_opt, check_opt, dump_opt})
    watch_opt->excludes(not_watched);
  crawl_opt->excludes(audit_opt);
  for (CLI::Option* query_only : {services_opt, site_opt, field_opt, since_opt, export_opt,
                                  try_opt, check_opt, dump_opt}) {
    crawl_opt->excludes(query_only);
  }
  for (CLI::Option* query_only : {services_opt, site_opt, delay_opt, field_opt, resume_opt,
                                  since_opt, export_opt, try_opt, check_opt, dump_opt}) {
    audit_opt->excludes(query_only);
  }
  try_opt->excludes(check_opt)->excludes(dump_opt)->excludes(history_opt)->excludes(export_opt);
  check_opt->excludes(dump_opt)->excludes(history_opt)->excludes(export_opt);
  dump_opt->excludes(history_opt)->excludes(export_opt);
  history_opt->excludes(export_opt);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? kToolDone : kToolError;
  }
  if (completion_words) {
    WriteCompletionWords(app, out);
    return kToolDone;
  }
  if (dump_opt->count() > 0)
    return DumpServices(dump_set.empty() ? kClassicSet : dump_set, out, err);
  if (!check_file.empty()) return CheckServices(check_file, out);
  if (try_rule.size() == 2) {
    return TryRule(try_rule[0], try_rule[1], ServicesFileToUse(services_file), site, out, err);
  }
  const TReportFormat format = json    ? TReportFormat::Json
                               : jsonl ? TReportFormat::JsonLines
                               : csv   ? TReportFormat::Csv
                                       : TReportFormat::Table;
  const std::string history_location = HistoryLocation(history_db);
  if (!since_text.empty()) since_ms = ParseTimeText(since_text);
  if (crawl && list_rules) {
    WriteCrawlRules(out);
    return kToolDone;
  }
  if (resume && !crawl && !since_ms) {
    err << "velmora-query: --resume needs --since (or goes with --crawl)\n";
    return kToolError;
  }
  if (crawl && !history_site.empty()) {
    return ShowCrawlHistory(history_site, format, CrawlStorePath(history_location, err), out, err);
  }
  if (since_ms && !resume && !export_history) {
    err << "velmora-query: --since goes with --resume or --history-export\n";
    return kToolError;
  }
  if (audit && !history_site.empty())
    return ShowAuditHistory(history_site, format, history_location, out, err);
  if (!history_site.empty()) {
    return ShowHistory(history_site, field_name, format, history_location, out, err);
  }
  if (export_history) return ExportHistory(since_ms, format, history_location, out, err);
  std::vector<TSiteName> named;
  for (const std::string& typed : typed_sites) {
    std::optional<TSiteName> site = SiteNameOf(typed, err);
    if (!site) return kToolError;
    named.push_back(std::move(*site));
  }
  const std::optional<std::pair<int, int>> shard = ParseShard(shard_text);
  TSiteList list(std::move(named), list_file, shard);
  if (!list.Check(err)) return kToolError;
  if (list.Count() == 0 && list_file != "-") {
    if (shard) return kToolDone;  // nothing falls to this machine
    err << app.help();
    return kToolError;
  }
  std::shared_ptr<TSiteWatch> watcher;
  std::optional<TWatchLock> lock;
  if (watch) {
    const int ready = StartWatch(alerts_file, notify, typed_sites, list_file, query, format, out,
                                 err, watcher, lock);
    if (ready >= 0) return ready;
    query.Watch = watcher;
  }
  const int status = RunList(list, query, format, history_location, audit, https_port, crawl,
                             crawling, no_external, fail_on, html_path, resume,
                             delay_opt->count() > 0, since_ms, services_file, out, err);
  return watcher && watcher->Failed() ? std::max(status, kToolSomeFailed) : status;
}

int RunList(TSiteList& list, TSiteQueryOptions& query, TReportFormat format,
            const std::string& history_location, bool audit, int https_port, bool crawl,
            TSiteCrawlOptions& crawling, bool no_external, const std::string& fail_on,
            const std::string& html_path, bool resume, bool delay_given,
            std::optional<int64_t> since_ms, const std::string& services_file, std::ostream& out,
            std::ostream& err) {
  if (audit) {
    TSiteAuditOptions checkup;
    checkup.Watch = query.Watch;
    checkup.Jobs = query.Jobs;
    checkup.HttpsPort = https_port;
    checkup.Audit.TimeoutMs = query.ReadTimeoutMs;
    checkup.Audit.Proxies = TProxySettings::ForQuery(query.Proxy);
    return AuditList(list, checkup, format, history_location, out, err);
  }
  if (crawl) {
    const std::string store_path = CrawlStorePath(history_location, err);
    if (store_path.empty()) return kToolError;
    crawling.Jobs = query.Jobs;
    crawling.Crawl.ReadTimeoutMs = query.ReadTimeoutMs;
    crawling.Crawl.DelayMs = delay_given ? query.DelayMs : 0;
    crawling.Watch = query.Watch;
    crawling.Crawl.CheckExternal = !no_external;
    crawling.Crawl.Resume = resume;
    crawling.Crawl.Proxies = TProxySettings::ForQuery(query.Proxy);
    crawling.FailOn = CrawlFailOnOf(fail_on).value_or(TCrawlFailOn::Nothing);
    crawling.HtmlPath = html_path;
    return CrawlList(list, crawling, format, store_path, out, err);
  }
  if (resume) list.SetSkip(StoredSince(history_location, *since_ms, err));
  const TServiceLoad load = LoadServicesToUse(services_file);
  err << ProblemsReport(load);
  query.Table = load.Table;
  return QueryList(list, query, format, history_location, out, err);
}

}  // namespace

int RunQueryTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  // An output its reader closed (`| head -1`) is a write that fails, told once by the exit
  // status, not a signal that ends the program before what it found is stored.
  struct sigaction ignore = {}, old_pipe = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe);
  const int status = RunTask(argc, argv, out, err);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  return OutputWritten(out, err) ? status : kToolOutputFailed;
}
