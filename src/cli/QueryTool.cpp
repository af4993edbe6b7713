#include "cli/QueryTool.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <optional>
#include <ostream>
#include <vector>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <sstream>

#include "cli/QueryReport.h"
#include "cli/SiteQueries.h"
#include "history/HistoryStore.h"
#include "query/UseFunction.h"
#include "regex/RegexEngine.h"
#include "runtime/StrUtils.h"
#include "runtime/CodePage.h"
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
    case skBetween: return "between " + Shown(step.A) + " " + Shown(step.B);
    case skBetweenSite: return "between " + Shown(step.A + "{site}" + step.B) + " " + Shown(step.C);
    case skRemove: return "remove " + Shown(step.A);
    case skDigitsOnly: return "digits";
    case skRule: return "rule " + Shown(step.A);
    case skAppend: return "append " + Shown(step.A);
  }
  return "?";
}

const char* NotFound(TStepKind kind) {
  switch (kind) {
    case skDigitsOnly: return "not a number (only digits and commas pass)";
    case skRule: return "no match";
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

}  // namespace

int TryRule(const std::string& field, const std::string& pagePath, const std::string& servicesFile,
            const std::string& site, std::ostream& out, std::ostream& err) {
  TServiceLoad load;
  if (!servicesFile.empty()) {
    load = LoadServicesFile(servicesFile);
    err << ProblemsReport(load);
  }
  const TServiceTable& table = servicesFile.empty() ? BuiltInServiceTable() : *load.Table;
  const TRequestDef* def = nullptr;
  for (const TRequestDef& d : table.Requests) {
    if (d.Field == field) def = &d;
  }
  if (def == nullptr) {
    err << "no field \"" << field << "\" in the definitions\n";
    return kToolError;
  }
  if (def->Rules.empty()) {
    err << "\"" << field << "\" has no steps (the thumbnail is a picture)\n";
    return kToolError;
  }
  const std::optional<std::string> saved = ReadFile(pagePath, err);
  if (!saved) return kToolError;
  const std::string page = PageByMode(*saved, def->Mode);

  out << field << ": job " << def->Job << ", mode " << def->Mode << ", " << GbkToUtf8(def->Url)
      << "\n";
  out << "definitions: " << (servicesFile.empty() ? std::string("built in") : servicesFile) << "\n";
  if (!def->Enabled) out << "switched off: the program sends no request for it\n";
  out << "page: " << pagePath << ", " << saved->size() << " bytes, " << page.size()
      << " after mode " << def->Mode << "\n";
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
            << (t.Found ? Shown(t.Text) : std::string(NotFound(step.Kind)))
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
  const TServiceTable& builtin = BuiltInServiceTable();
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

int DumpServices(std::ostream& out) {
  out << BuiltInServicesText();
  return kToolDone;
}

namespace {

// The sites of the command line and of a list file (one a line, "#" starts a comment line),
// normalised as the window does; an unusable name stops everything with one line.
std::optional<std::vector<std::string>> CollectSites(const std::vector<std::string>& typed,
                                                     const std::string& listFile,
                                                     std::ostream& err) {
  std::vector<std::string> raw = typed;
  if (!listFile.empty()) {
    const std::optional<std::string> text = ReadFile(listFile, err);
    if (!text) return std::nullopt;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
      line = Trim(line);
      if (!line.empty() && line[0] != '#') raw.push_back(line);
    }
  }
  std::vector<std::string> sites;
  for (const std::string& name : raw) {
    const std::string site = NormaliseSiteName(Utf8ToGbk(name));
    if (site.size() < kMinSiteNameBytes) {
      err << "velmora-query: not a site name: \"" << name << "\"\n";
      return std::nullopt;
    }
    sites.push_back(site);
  }
  return sites;
}

enum class TFormat { Table, Json, Csv };

void Write(TFormat format, std::ostream& out, const std::vector<TQueryRecord>& records,
           const std::vector<TResultField>& fields, bool series) {
  switch (format) {
    case TFormat::Json:
      WriteJson(out, records, fields);
      break;
    case TFormat::Csv:
      WriteCsv(out, records, fields, series);
      break;
    case TFormat::Table:
      WriteTable(out, records, fields);
      break;
  }
}

}  // namespace

int QuerySites(const std::vector<std::string>& sites, TSiteQueryOptions options, TFormat format,
               std::ostream& out, std::ostream& err) {
  THistoryStore history;
  const std::string path = THistoryStore::DefaultPath();
  if (!history.Open(path)) {
    const std::string message = history.TakeMessage();
    if (!message.empty()) err << "velmora-query: " << message << "\n";
  }
  const bool show_progress = sites.size() > 1 && isatty(2);
  const auto started = std::chrono::steady_clock::now();
  options.OnRecord = [&](const TQueryRecord& record) {
    if (!history.Record(record)) {
      const std::string message = history.TakeMessage();
      if (!message.empty()) err << "\rvelmora-query: " << message << "\n";
    }
  };
  if (show_progress) {
    options.Progress = [&](size_t done, size_t total, const std::string& current) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                           started).count();
      char line[64];
      std::snprintf(line, sizeof line, "\r[%zu/%zu] %.1f s  ", done, total, seconds);
      err << line << GbkToUtf8(CutAtCharacter(current, 60)) << "\x1b[K" << std::flush;
    };
  }
  const std::vector<TQueryRecord> records = RunSites(sites, options);
  if (show_progress) err << "\r\x1b[K" << std::flush;
  Write(format, out, records, {}, false);
  return ExitStatusOf(records);
}

int ShowHistory(const std::string& site, const std::string& fieldName, TFormat format,
                std::ostream& out, std::ostream& err) {
  std::vector<TResultField> fields;
  if (!fieldName.empty()) {
    const TResultField field = ResultFieldByName(fieldName);
    if (field == rfFieldCount) {
      err << "velmora-query: no field \"" << fieldName << "\"\n";
      return kToolError;
    }
    fields.push_back(field);
  }
  THistoryStore history;
  const std::string path = THistoryStore::DefaultPath();
  if (!history.Open(path)) {
    err << "velmora-query: " << history.TakeMessage() << "\n";
    return kToolError;
  }
  const std::string gbk_site = NormaliseSiteName(Utf8ToGbk(site));
  std::vector<TQueryRecord> records;
  for (const THistoryQuery& q : fields.empty() ? history.Series(gbk_site)
                                               : history.Series(gbk_site, fields[0])) {
    records.push_back(q.Record);
  }
  Write(format, out, records, fields, true);
  return kToolDone;
}

int RunQueryTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"velmora-query: the site toolbox without the window: query sites, show their "
                "history, try and check the service definitions"};
  app.name("velmora-query");
  std::vector<std::string> try_rule;
  std::string check_file, services_file, site;
  bool dump = false;
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
      app.add_flag("--dump-services", dump, "print the built-in definitions file");
  app.add_option("--services", services_file,
                 "the definitions file to use over the built-in one (default: the user's "
                 "~/.config/velmora/services.toml when it exists)")
      ->type_name("FILE");
  app.add_option("--site", site, "the site name {site} stands for in a between step")
      ->type_name("NAME");
  std::vector<std::string> typed_sites;
  std::string list_file, history_site, field_name;
  bool json = false, csv = false;
  TSiteQueryOptions query;
  app.add_option("sites", typed_sites, "the sites to query")->type_name("SITE...");
  app.add_option("--file", list_file, "query the sites listed in FILE (one a line, # comments)")
      ->type_name("LIST");
  CLI::Option* json_opt = app.add_flag("--json", json, "write JSON");
  CLI::Option* csv_opt = app.add_flag("--csv", csv, "write CSV");
  json_opt->excludes(csv_opt);
  app.add_option("--timeout", query.ReadTimeoutMs, "read (and connect) time-out of a request")
      ->type_name("MS")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();
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
      ->type_name("URL");
  app.add_option("--jobs", query.Jobs, "sites in flight at once")
      ->type_name("N")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  CLI::Option* history_opt =
      app.add_option("--history", history_site, "print the stored results of SITE")
          ->type_name("SITE");
  app.add_option("--field", field_name, "with --history: only this field (Site1, WebTitle, ...)")
      ->type_name("NAME")
      ->needs(history_opt);
  try_opt->excludes(check_opt)->excludes(dump_opt)->excludes(history_opt);
  check_opt->excludes(dump_opt)->excludes(history_opt);
  dump_opt->excludes(history_opt);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? kToolDone : kToolError;
  }
  if (dump) return DumpServices(out);
  if (!check_file.empty()) return CheckServices(check_file, out);
  if (try_rule.size() == 2) {
    return TryRule(try_rule[0], try_rule[1], ServicesFileToUse(services_file), site, out, err);
  }
  const TFormat format = json ? TFormat::Json : csv ? TFormat::Csv : TFormat::Table;
  if (!history_site.empty()) return ShowHistory(history_site, field_name, format, out, err);
  const auto sites = CollectSites(typed_sites, list_file, err);
  if (!sites) return kToolError;
  if (sites->empty()) {
    err << app.help();
    return kToolError;
  }
  const TServiceLoad load = LoadServicesToUse(services_file);
  err << ProblemsReport(load);
  query.Table = load.Table;
  return QuerySites(*sites, query, format, out, err);
}
