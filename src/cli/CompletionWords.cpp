#include "cli/CompletionWords.h"

#include <CLI/CLI.hpp>
#include <set>
#include <string>
#include <vector>

#include "audit/AuditReport.h"
#include "query/QueryRecord.h"
#include "services/ServiceFile.h"

namespace {

enum class TWords { Sets, Steps, Fields, Checks, Engines };

// Which options take which words. A row whose option the program does not have (yet) is left
// out: a check-up's own selection of checks, the keyword positions' engines.
struct TWordsOf {
  const char* Option;
  TWords Words;
};
constexpr TWordsOf kWordsOf[] = {
    {"--services", TWords::Sets},    {"--dump-services", TWords::Sets},
    {"--try-rule", TWords::Steps},   {"--field", TWords::Fields},
    {"--checks", TWords::Checks},    {"--engines", TWords::Engines},
    {"--try-rank", TWords::Engines},
};

// The engines of keyword positions, until their definitions are there to name them.
constexpr const char* kRankEngines[] = {"baidu", "360", "sogou", "bing"};

std::vector<std::string> Words(TWords words) {
  std::vector<std::string> out;
  switch (words) {
    case TWords::Sets:
      out = {kClassicSet, kCurrentSet};
      break;
    case TWords::Fields:
      for (int field = 0; field < kTextFieldCount; ++field)
        out.emplace_back(ResultFieldName(static_cast<TResultField>(field)));
      break;
    case TWords::Steps: {
      // Every field with steps in either built-in set, in the classic set's order first.
      std::set<std::string> seen;
      for (const char* set : {kClassicSet, kCurrentSet}) {
        for (const TRequestDef& def : BuiltInServiceSet(set)->Requests) {
          if (!def.Rules.empty() && seen.insert(def.Field).second) out.push_back(def.Field);
        }
      }
      break;
    }
    case TWords::Checks:
      for (const TAuditCheck check : kAuditChecks) out.emplace_back(AuditCheckName(check));
      break;
    case TWords::Engines:
      out.assign(std::begin(kRankEngines), std::end(kRankEngines));
      break;
  }
  return out;
}

}  // namespace

void WriteCompletionWords(const CLI::App& app, std::ostream& out) {
  for (const CLI::Option* option : app.get_options()) {
    if (!option->nonpositional() || option->get_group().empty()) continue;
    const std::string name = option->get_name();
    // Without what a check adds to it ("MS:INT in [1 - 3600000]").
    const std::string type = option->get_type_name().substr(0, option->get_type_name().find(':'));
    out << name << '\t' << (type.empty() ? "-" : type);
    for (const TWordsOf& row : kWordsOf) {
      if (name != row.Option) continue;
      for (const std::string& word : Words(row.Words)) out << '\t' << word;
    }
    out << '\n';
  }
}
