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
#include "cli/RankMode.h"
#include "cli/SiteList.h"
#include "cli/TimeText.h"
#include "cli/ToolFlags.h"
#include "cli/UrlMode.h"
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

// The definitions tools' flags: --try-rule, --check-services, --dump-services, --site.
struct TDefinitionsFlags {
  std::vector<std::string> TryRule;
  std::string CheckFile, Site, DumpSet;
  CLI::Option* TryFlag = nullptr;
  CLI::Option* CheckFlag = nullptr;
  CLI::Option* DumpFlag = nullptr;
  CLI::Option* SiteFlag = nullptr;
};

void AddDefinitionsFlags(CLI::App& app, TDefinitionsFlags& flags, TToolFlags& tool) {
  flags.TryFlag = app.add_option("--try-rule", flags.TryRule,
                                 "run FIELD's steps and fallbacks on PAGE (saved from a browser) "
                                 "and print each step's result")
                      ->expected(2)
                      ->type_name("FIELD PAGE");
  flags.CheckFlag = app.add_option("--check-services", flags.CheckFile,
                                   "report the faults of a definitions file as the program does")
                        ->type_name("FILE");
  flags.DumpFlag =
      app.add_option("--dump-services", flags.DumpSet,
                     "print a built-in definitions file: classic (the default) or current")
          ->expected(0, 1)
          ->type_name("[SET]");
  tool.ServicesFlag =
      app.add_option("--services", tool.ServicesFile,
                     "the built-in set \"classic\" or \"current\", or a definitions file to use "
                     "over the classic set (or the set its base names); default: the user's "
                     "~/.config/velmora/services.toml when it exists, else classic")
          ->type_name("SET|FILE");
  flags.SiteFlag =
      app.add_option("--site", flags.Site, "the site name {site} stands for in a between step")
          ->type_name("NAME");
}

// The stored history's flags: --history, --field, --history-export (--since is the queries').
struct THistoryFlags {
  std::string Site, Field;
  bool Export = false;
  CLI::Option* HistoryFlag = nullptr;
  CLI::Option* FieldFlag = nullptr;
  CLI::Option* ExportFlag = nullptr;
};

void AddHistoryFlags(CLI::App& app, THistoryFlags& flags) {
  flags.HistoryFlag = app.add_option("--history", flags.Site, "print the stored results of SITE")
                          ->type_name("SITE");
  flags.FieldFlag = app.add_option("--field", flags.Field,
                                   "with --history: only this field (Site1, WebTitle, ...)")
                        ->type_name("NAME")
                        ->needs(flags.HistoryFlag);
  flags.ExportFlag = app.add_flag(
      "--history-export", flags.Export,
      "print every stored run of every site (since --since), one row per site and run");
}

// --watch, --alerts and --notify.
void AddWatchFlags(CLI::App& app, TToolFlags& flags) {
  flags.WatchFlag = app.add_flag(
      "--watch", flags.Watch,
      "after each site's run is stored (queries, --audit, --crawl), compare it with the site's "
      "run of the same kind before it and tell what changed, once per change (the alerts are "
      "kept in the history); runs of one list never overlap");
  const std::vector<CLI::Option*> watch_only = {
      app.add_option("--alerts", flags.AlertsFile,
                     "with --watch: the alert rules to use (default: the built-in ones, changed "
                     "by ~/.config/velmora/alerts.toml when it exists)")
          ->type_name("FILE"),
      app.add_option("--notify", flags.Notify,
                     "with --watch: where alerts go, repeatable: an http:// or https:// webhook "
                     "(JSON POST; signed when VELMORA_WEBHOOK_SECRET is set), mailto:ADDRESS "
                     "(through sendmail -t), desktop, or - for a line per alert on standard output "
                     "(the default)")
          ->type_name("TARGET")
          ->take_all()
          ->allow_extra_args(false),
  };
  for (CLI::Option* option : watch_only) option->needs(flags.WatchFlag);
}

// The flags no two of which go together, and those the check-ups refuse.
void ExcludeFlags(const TDefinitionsFlags& d, const THistoryFlags& h, const TToolFlags& tool) {
  for (CLI::Option* query_only :
       {tool.ServicesFlag, d.SiteFlag, tool.DelayFlag, h.FieldFlag, tool.ResumeFlag, tool.SinceFlag,
        h.ExportFlag, d.TryFlag, d.CheckFlag, d.DumpFlag}) {
    tool.AuditFlag->excludes(query_only);
  }
  for (CLI::Option* query_only : {tool.ServicesFlag, d.SiteFlag, h.FieldFlag, tool.SinceFlag,
                                  h.ExportFlag, d.TryFlag, d.CheckFlag, d.DumpFlag}) {
    tool.CrawlFlag->excludes(query_only);
  }
  tool.CrawlFlag->excludes(tool.AuditFlag);
  for (CLI::Option* not_watched : {h.HistoryFlag, h.ExportFlag, d.TryFlag, d.CheckFlag, d.DumpFlag})
    tool.WatchFlag->excludes(not_watched);
  d.TryFlag->excludes(d.CheckFlag)
      ->excludes(d.DumpFlag)
      ->excludes(h.HistoryFlag)
      ->excludes(h.ExportFlag);
  d.CheckFlag->excludes(d.DumpFlag)->excludes(h.HistoryFlag)->excludes(h.ExportFlag);
  d.DumpFlag->excludes(h.HistoryFlag)->excludes(h.ExportFlag);
  h.HistoryFlag->excludes(h.ExportFlag);
}

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

// A run over the list the command line names, by the kind of run it asks for.
int RunList(TToolFlags& flags, const std::string& help, std::ostream& out, std::ostream& err) {
  std::vector<TSiteName> named;
  for (const std::string& typed : flags.Sites) {
    std::optional<TSiteName> site = SiteNameOf(typed, err);
    if (!site) return kToolError;
    named.push_back(std::move(*site));
  }
  const std::optional<std::pair<int, int>> shard = ParseShard(flags.Shard);
  TSiteList list(std::move(named), flags.ListFile, shard);
  if (!list.Check(err)) return kToolError;
  if (list.Count() == 0 && flags.ListFile != "-") {
    if (shard) return kToolDone;  // nothing falls to this machine
    err << help;
    return kToolError;
  }
  const std::string history_location = HistoryLocation(flags.HistoryDb);
  std::shared_ptr<TSiteWatch> watcher;
  std::optional<TWatchLock> lock;
  if (flags.Watch) {
    const int ready = StartWatch(flags.AlertsFile, flags.Notify, flags.Sites, flags.ListFile,
                                 flags.Query, flags.Format(), out, err, watcher, lock);
    if (ready >= 0) return ready;
    flags.Query.Watch = watcher;
  }
  const int status = flags.Audit   ? AuditTask(flags, list, history_location, out, err)
                     : flags.Crawl ? CrawlTask(flags, list, history_location, out, err)
                                   : QueryTask(flags, list, history_location, out, err);
  return watcher && watcher->Failed() ? std::max(status, kToolSomeFailed) : status;
}

int RunTask(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (IsUrlMode(argc, argv)) return RunUrlMode(argc, argv, out, err);
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
      "they found is written and stored. A second one ends the program at once.\n"
      "Keyword positions on the engines: velmora-query --rank KEYWORD SITE...; "
      "velmora-query --rank KEYWORD --help lists their options.");
  DescribeUrlMode(app);
  TToolFlags tool;
  TDefinitionsFlags definitions;
  THistoryFlags history;
  AddDefinitionsFlags(app, definitions, tool);
  AddListFlags(app, tool);
  AddHistoryFlags(app, history);
  AddQueryFlags(app, tool);
  AddAuditFlags(app, tool);
  AddCrawlFlags(app, tool);
  AddWatchFlags(app, tool);
  ExcludeFlags(definitions, history, tool);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? kToolDone : kToolError;
  }
  if (completion_words) {
    WriteCompletionWords(app, out);
    return kToolDone;
  }
  if (definitions.DumpFlag->count() > 0) {
    return DumpServices(definitions.DumpSet.empty() ? kClassicSet : definitions.DumpSet, out, err);
  }
  if (!definitions.CheckFile.empty()) return CheckServices(definitions.CheckFile, out);
  if (definitions.TryRule.size() == 2) {
    return TryRule(definitions.TryRule[0], definitions.TryRule[1],
                   ServicesFileToUse(tool.ServicesFile), definitions.Site, out, err);
  }
  const TReportFormat format = tool.Format();
  const std::string history_location = HistoryLocation(tool.HistoryDb);
  const std::optional<int64_t> since_ms =
      tool.Since.empty() ? std::nullopt : ParseTimeText(tool.Since);
  if (tool.Crawl && tool.CrawlRules) {
    WriteCrawlRules(out);
    return kToolDone;
  }
  if (tool.Resume && !tool.Crawl && !since_ms) {
    err << "velmora-query: --resume needs --since (or goes with --crawl)\n";
    return kToolError;
  }
  if (since_ms && !tool.Resume && !history.Export) {
    err << "velmora-query: --since goes with --resume or --history-export\n";
    return kToolError;
  }
  if (tool.Audit && !history.Site.empty())
    return ShowAuditHistory(history.Site, format, history_location, out, err);
  if (tool.Crawl && !history.Site.empty()) {
    return ShowCrawlHistory(history.Site, format, CrawlStorePath(history_location, err), out,
                            err);
  }
  if (!history.Site.empty()) {
    return ShowHistory(history.Site, history.Field, format, history_location, out, err);
  }
  if (history.Export) return ExportHistory(since_ms, format, history_location, out, err);
  return RunList(tool, app.help(), out, err);
}

}  // namespace

int RunQueryTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  // An output its reader closed (`| head -1`) is a write that fails, told once by the exit
  // status, not a signal that ends the program before what it found is stored.
  struct sigaction ignore = {}, old_pipe = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe);
  const int status = IsRankTask(argc, argv) ? RunRankTask(argc, argv, out, err)
                                            : RunTask(argc, argv, out, err);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  return OutputWritten(out, err) ? status : kToolOutputFailed;
}
