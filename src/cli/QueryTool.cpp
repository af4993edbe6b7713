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
#include "cli/AuditWriter.h"
#include "cli/CompletionWords.h"
#include "cli/QueryReport.h"
#include "cli/RankMode.h"
#include "cli/SiteAudits.h"
#include "cli/SiteQueries.h"
#include "cli/UrlMode.h"
#include "history/HistoryStore.h"
#include "query/UseFunction.h"
#include "regex/RegexEngine.h"
#include "runtime/BatchPipe.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "services/ServiceFile.h"

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
    case TStepKind::Between: return "between " + Shown(step.A) + " " + Shown(step.B);
    case TStepKind::BetweenSite: return "between " + Shown(step.A + "{site}" + step.B) + " " + Shown(step.C);
    case TStepKind::Remove: return "remove " + Shown(step.A);
    case TStepKind::DigitsOnly: return "digits";
    case TStepKind::Rule: return "rule " + Shown(step.A);
    case TStepKind::Append: return "append " + Shown(step.A);
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
    case TStepKind::DigitsOnly: return "not a number (only digits and commas pass)";
    case TStepKind::Rule: return "no match";
    default: return "not found";
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
      err << path << ": larger than a page the program accepts (" << kQueryMaxPageBytes << " bytes)\n";
      return std::nullopt;
    }
  }
  return text;
}

// The site name `typed` reads as; nothing, after one line on err, when it is none.
std::optional<TSiteName> SiteNameOf(const std::string& typed, std::ostream& err) {
  TSiteName site = ParseSiteName(typed);
  if (site.Problem.empty()) return site;
  err << "velmora-query: not a site name: \"" << TerminalSafe(typed) << "\" (" << site.Problem
      << ")\n";
  return std::nullopt;
}

}  // namespace

int TryRule(const std::string& field, const std::string& page_path, const std::string& services_file,
            const std::string& site, std::ostream& out, std::ostream& err) {
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

  out << field << ": job " << def->Job << ", mode " << static_cast<int>(def->Mode) << ", " << GbkToUtf8(def->Url)
      << "\n";
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

// The sites of the command line and of a list file (one a line, "#" starts a comment line),
// normalised as the window does; an unusable name stops everything with one line.
// With a shard, only the sites that fall to its part (ShardOfSite).
std::optional<std::vector<TSiteName>> CollectSites(const std::vector<std::string>& typed,
                                                   const std::string& list_file,
                                                   std::optional<std::pair<int, int>> shard,
                                                   std::ostream& err) {
  std::vector<std::string> raw = typed;
  if (!list_file.empty()) {
    std::optional<std::string> text = ReadFile(list_file, err);
    if (!text) return std::nullopt;
    if (text->rfind("\xEF\xBB\xBF", 0) == 0) text->erase(0, 3);  // saved with a byte-order mark
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
      line = Trim(line);
      if (!line.empty() && line[0] != '#') raw.push_back(line);
    }
  }
  std::vector<TSiteName> sites;
  for (const std::string& name : raw) {
    const std::optional<TSiteName> site = SiteNameOf(name, err);
    if (!site) return std::nullopt;
    if (shard && ShardOfSite(site->Request, shard->second) != shard->first) continue;
    sites.push_back(*site);
  }
  return sites;
}

// Ctrl-C and SIGTERM during queries: the first stops the runs as the Stop button does (their
// records still go to the output and the history), a second ends the program at once.
std::atomic<bool> g_stop{false};
std::atomic<int> g_signals{0};
// What ends standard output as valid JSON when the program ends at once; null while a record
// is being written (or the output is not standard output).
std::atomic<const char*> g_closing{nullptr};

void OnStopSignal(int signal) {
  if (g_signals.fetch_add(1) == 0) {
    g_stop = true;
    return;
  }
  if (const char* closing = g_closing.load()) {
    if (::write(1, closing, std::strlen(closing)) < 0) {
      // Nothing more can be done about it.
    }
  }
  ::_exit(128 + signal);
}

// Installs OnStopSignal for SIGINT and SIGTERM for its lifetime.
class TStopSignals {
 public:
  TStopSignals() {
    g_stop = false;
    g_signals = 0;
    struct sigaction on = {};
    on.sa_handler = OnStopSignal;
    sigemptyset(&on.sa_mask);
    sigaction(SIGINT, &on, &old_int_);
    sigaction(SIGTERM, &on, &old_term_);
  }
  ~TStopSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_closing = nullptr;
  }

 private:
  struct sigaction old_int_ = {};
  struct sigaction old_term_ = {};
};

// Flushes out; false, after one line on err, when anything written to it was lost.
bool OutputWritten(std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) return true;
  err << "velmora-query: the output could not be written\n" << std::flush;
  return false;
}

// Hands what a run of many sites finishes to a report writer in the order of the list, each as
// soon as it and those before it are done; while standard output is the writer's, g_closing
// says how to end it between two writes.
template <typename TWriter, typename TItem>
class TInListOrder {
 public:
  TInListOrder(TWriter& writer, size_t count, bool to_stdout)
      : writer_(writer), finished_(count), to_stdout_(to_stdout) {
    if (to_stdout_) g_closing = writer_.Closing();
  }
  ~TInListOrder() { g_closing = nullptr; }
  void Done(size_t index, const TItem& item) {
    finished_[index] = item;
    for (; written_ < finished_.size() && finished_[written_]; ++written_) {
      g_closing = nullptr;
      writer_.Add(*finished_[written_]);
      if (to_stdout_) g_closing = writer_.Closing();
    }
  }

 private:
  TWriter& writer_;
  std::vector<std::optional<TItem>> finished_;
  size_t written_ = 0;
  const bool to_stdout_;
};

// Every message of the store once: a failure, and also a corrupt file set aside on the way.
void TellStoreMessage(THistoryStore& history, const char* prefix, std::ostream& err) {
  const std::string message = history.TakeMessage();
  if (!message.empty()) err << prefix << "velmora-query: " << message << "\n";
}

// How far a list of sites has come, on one line of a terminal's stderr rewritten in place
// ("[12/50] 8.3 s  a.com, b.com"); nothing for one site or when stderr is not a terminal.
// Other lines on stderr begin with "\r", so that they write over it.
class TProgressLine {
 public:
  TProgressLine(size_t total, std::ostream& err)
      : err_(err), total_(total), shown_(total > 1 && isatty(2)) {}
  // `names` (GBK): the sites under way, or the one just finished.
  void Show(size_t done, const std::string& names) {
    if (!shown_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    char line[64];
    std::snprintf(line, sizeof line, "\r[%zu/%zu] %.1f s  ", done, total_, seconds);
    err_ << line << GbkToUtf8(CutAtCharacter(names, 60)) << "\x1b[K" << std::flush;
  }
  // Takes the line away, once the list is done.
  void End() {
    if (shown_) err_ << "\r\x1b[K" << std::flush;
  }
  bool Shown() const { return shown_; }

 private:
  std::ostream& err_;
  const size_t total_;
  const bool shown_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace

int QuerySites(const std::vector<std::string>& sites, TSiteQueryOptions options,
               TReportFormat format, const std::string& history_location, std::ostream& out,
               std::ostream& err) {
  const std::unique_ptr<THistoryStore> history = OpenHistoryStore(history_location);
  TellStoreMessage(*history, "", err);
  TStopSignals signals;
  options.Stop = &g_stop;
  TReportWriter writer(out, format);
  writer.SetCaptions(options.Table);
  TInListOrder<TReportWriter, TQueryRecord> in_order(writer, sites.size(), &out == &std::cout);
  options.OnRecord = [&](size_t index, const TQueryRecord& record) {
    history->Record(record);
    TellStoreMessage(*history, "\r", err);
    in_order.Done(index, record);
  };
  TProgressLine progress(sites.size(), err);
  if (progress.Shown()) {
    options.Progress = [&](size_t done, size_t, const std::string& current) {
      progress.Show(done, current);
    };
  }
  const std::vector<TQueryRecord> records = RunSites(sites, options);
  progress.End();
  g_closing = nullptr;
  writer.Finish();
  // Runs the database did not take wait in the spool for the next start: the run is not whole.
  const THistoryStore::TUnstored unstored = history->WriteSpooled();
  if (!unstored.Message.empty()) err << "\rvelmora-query: " << unstored.Message << "\n";
  const int status = ExitStatusOf(records);
  return unstored.Message.empty() || status != kToolDone ? status : kToolSomeFailed;
}

// --audit: checks up on every site, `jobs` at once, writes each report in the order given and
// stores it in the history.
int AuditSites(const std::vector<TSiteName>& sites, TSiteAuditOptions options, int https_port,
               TReportFormat format, const std::string& history_location, std::ostream& out,
               std::ostream& err) {
  std::vector<TAuditTarget> targets;
  for (const TSiteName& site : sites)
    targets.push_back(AuditTargetOf(site.Shown, site.Request, https_port));
  const std::unique_ptr<THistoryStore> history = OpenHistoryStore(history_location);
  TellStoreMessage(*history, "", err);
  TStopSignals signals;
  options.Stop = &g_stop;
  TAuditWriter writer(out, format);
  TInListOrder<TAuditWriter, TAuditReport> in_order(writer, sites.size(), &out == &std::cout);
  TProgressLine progress(sites.size(), err);
  size_t done = 0;
  options.OnReport = [&](size_t index, const TAuditReport& report) {
    history->RecordAudit(report);
    TellStoreMessage(*history, "\r", err);
    in_order.Done(index, report);
    progress.Show(++done, Utf8ToGbk(report.Site));
  };
  const auto reports = RunSiteAudits(targets, options);
  progress.End();
  g_closing = nullptr;
  writer.Finish();
  return ExitStatusOf(reports);
}

namespace {

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

// The sites that have no run in the history since `since_ms`; nothing (after one line on err)
// when the history cannot be read, so that nothing is asked twice by mistake.
std::optional<std::vector<std::string>> SitesToResume(const std::vector<std::string>& sites,
                                                      const std::string& history_location,
                                                      int64_t since_ms, std::ostream& err) {
  std::set<std::string> done;
  const auto visit = [&](const THistoryQuery& q) { done.insert(SiteKey(q.Record.Site)); };
  if (!ReadStored(
          history_location,
          [&](THistoryStore& h) { h.EachRun({.NoFields = true, .SinceUnixMs = since_ms}, visit); },
          err)) {
    return std::nullopt;
  }
  std::vector<std::string> left;
  for (const std::string& site : sites) {
    if (done.count(SiteKey(site)) == 0) left.push_back(site);
  }
  return left;
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
    read = ReadStored(location, [&](THistoryStore& h) { h.EachRun(filter, visit); }, trouble);
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

int RunTask(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (IsUrlMode(argc, argv)) return RunUrlMode(argc, argv, out, err);
  CLI::App app{"velmora-query: the site toolbox without the window: query sites, show their "
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
      "failed or could not run, or the check-ups were stopped), 4 the output could not be "
      "written.\n"
      "Ctrl-C (or SIGTERM) stops the queries under way as the window's Stop button does; what "
      "they found is written and stored. A second one ends the program at once.\n"
      "Keyword positions on the engines: velmora-query --rank KEYWORD SITE...; "
      "velmora-query --rank KEYWORD --help lists their options.");
  DescribeUrlMode(app);
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
                   "machine that stopped without asking twice)")
          ->needs(since_opt);
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
  const std::optional<std::pair<int, int>> shard = ParseShard(shard_text);
  const auto names = CollectSites(typed_sites, list_file, shard, err);
  if (!names) return kToolError;
  if (names->empty() && !shard) {
    err << app.help();
    return kToolError;
  }
  if (audit) {
    if (names->empty()) return kToolDone;  // nothing falls to this machine
    TSiteAuditOptions checkup;
    checkup.Jobs = query.Jobs;
    checkup.Audit.TimeoutMs = query.ReadTimeoutMs;
    checkup.Audit.Proxies = TProxySettings::ForQuery(query.Proxy);
    return AuditSites(*names, checkup, https_port, format, history_location, out, err);
  }
  std::optional<std::vector<std::string>> sites(std::in_place);
  for (const TSiteName& name : *names) sites->push_back(name.Site);
  if (resume) {
    sites = SitesToResume(*sites, history_location, *since_ms, err);
    if (!sites) {
      err << "velmora-query: --resume " << Utf8Bytes(u8"读不到已存的查询，没有查询任何站点。")
          << "\n";
      return kToolError;
    }
  }
  if (sites->empty()) return kToolDone;  // nothing falls to this machine, or all is done
  const TServiceLoad load = LoadServicesToUse(services_file);
  err << ProblemsReport(load);
  query.Table = load.Table;
  return QuerySites(*sites, query, format, history_location, out, err);
}

}  // namespace

int RunQueryTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  const int status = IsRankTask(argc, argv) ? RunRankTask(argc, argv, out, err)
                                            : RunTask(argc, argv, out, err);
  return OutputWritten(out, err) ? status : kToolOutputFailed;
}
