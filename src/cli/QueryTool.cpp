#include "cli/QueryTool.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <optional>
#include <ostream>
#include <vector>

#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "services/ServiceFile.h"

namespace {

// How much of a step's text the trace shows.
constexpr size_t kShownBytes = 160;

// A GBK text for one line of the terminal: quoted, line breaks and tabs written as \r \n \t,
// cut after kShownBytes bytes (never inside a character) with the full length noted.
std::string Shown(const std::string& gbk) {
  std::string cut = gbk;
  if (cut.size() > kShownBytes) {
    size_t n = kShownBytes;
    if (ByteType(gbk, n) == mbTrailByte) --n;
    cut.resize(n);
  }
  std::string out = "'";
  for (char c : GbkToUtf8(cut)) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  out += "'";
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
  if (servicesFile.empty()) {
    load.Table = std::make_shared<TServiceTable>(BuiltInServiceTable());
  } else {
    load = LoadServicesFile(servicesFile);
    err << ProblemsReport(load);
  }
  const TRequestDef* def = nullptr;
  for (const TRequestDef& d : load.Table->Requests) {
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
        out << "  " << (t.Step + 1) << ". " << Described(step) << " -> "
            << (t.Found ? Shown(t.Text) : std::string(NotFound(step.Kind))) << "\n";
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

int RunQueryTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"velmora-query: the site toolbox's definitions without the window"};
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
  try_opt->excludes(check_opt)->excludes(dump_opt);
  check_opt->excludes(dump_opt);
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
  err << app.help();
  return kToolError;
}
