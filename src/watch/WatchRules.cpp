#include "watch/WatchRules.h"

#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "services/ServiceFile.h"
#include "watch/WatchSample.h"

namespace {

constexpr const char* kKindNames[] = {"drop",    "rise",  "leave",   "below",
                                      "atleast", "worse", "changed", "failing"};
static_assert(std::size(kKindNames) == static_cast<size_t>(TWatchRuleKind::Failing) + 1);

std::vector<TWatchRule> MakeDefaults() {
  using K = TWatchRuleKind;
  const auto rule = [](const char* id, K kind, std::string_view source, double amount,
                       const char* message) {
    return TWatchRule{.Id = id,
                      .Kind = kind,
                      .Source = std::string(source),
                      .Amount = amount,
                      .Message = message};
  };
  std::vector<TWatchRule> rules = {
      rule("index-drop", K::Drop, kWatchIndex, 30,
           "{caption}从 {before} 降到 {after}，少了 {change}%。"),
      rule("rank-worse", K::Rise, kWatchRank, 10000,
           "{caption}从第 {before} 名退到第 {after} 名。"),
      rule("position-worse", K::Rise, kWatchPosition, 5,
           "关键词“{subject}”的排名从第 {before} 名退到第 {after} 名。"),
      rule("position-top10", K::Leave, kWatchPosition, 10,
           "关键词“{subject}”跌出了前 {amount} 名（第 {before} 名 → 第 {after} 名）。"),
      rule("position-top100", K::Leave, kWatchPosition, 100,
           "关键词“{subject}”跌出了前 {amount} 名（第 {before} 名 → 第 {after} 名）。"),
      rule("certificate-days", K::Below, kWatchCertificate, 0,
           "证书只剩 {after} 天就到期了（不足 {level} 天）。"),
      rule("check-worse", K::Worse, kWatchCheck, 0, "体检项“{caption}”从{before}变成了{after}。"),
      rule("robots-changed", K::Changed, kWatchRobots, 0, "robots.txt 的规则变了。"),
      rule("robots-shut", K::Rise, kWatchRobotsShut, 1, "robots.txt 现在禁止所有爬虫抓取全站。"),
      rule("sitemap-drop", K::Drop, kWatchSitemapUrls, 20,
           "站点地图里的网址从 {before} 个降到 {after} 个，少了 {change}%。"),
      rule("home-unreachable", K::Failing, kWatchHome, 2, "首页连续 {count} 次无法访问。"),
      rule("crawl-new-errors", K::AtLeast, kWatchNewErrors, 1,
           "全站体检发现了 {after} 个新的错误。"),
      rule(kCouldNotCompare, K::Failing, "*", 2, "{caption}连续 {count} 次没有取到，无法比较。"),
  };
  for (TWatchRule& r : rules) {
    if (r.Id == "certificate-days") r.Levels = {21, 14, 7};
  }
  return rules;
}

std::string Place(const std::string& file, const toml::source_region& where) {
  return file + ":" + std::to_string(where.begin.line) + ":" + std::to_string(where.begin.column) +
         ": ";
}

// Reads one rule's table over `rule`; problems go to `problems`.
void ReadRule(const std::string& file, const toml::table& table, TWatchRule& rule,
              std::vector<std::string>& problems) {
  for (const auto& [key, node] : table) {
    const std::string name = TomlFileText(key.str());
    const toml::source_region where = node.source();  // a lambda may not take a binding
    const auto fault = [&](const std::string& message) {
      problems.push_back(Place(file, where) + message);
    };
    if (name == "kind") {
      const std::optional<TWatchRuleKind> kind =
          node.is_string() ? WatchRuleKindByName(TomlFileText(*node.value<std::string_view>()))
                           : std::nullopt;
      if (!kind) {
        fault("kind is one of drop, rise, leave, below, atleast, worse, changed, failing");
      } else {
        rule.Kind = *kind;
      }
    } else if (name == "source") {
      if (!node.is_string() || node.value<std::string_view>()->empty()) {
        fault("source names a kind of value (index, rank, position, ...)");
      } else {
        rule.Source = TomlFileText(*node.value<std::string_view>());
      }
    } else if (name == "amount") {
      const std::optional<double> amount = node.value<double>();
      if (!amount || !(*amount >= 0) || *amount > 1e12) {
        fault("amount is a number, 0 or more");
      } else {
        rule.Amount = *amount;
      }
    } else if (name == "levels") {
      const toml::array* levels = node.as_array();
      std::vector<double> read;
      if (levels != nullptr) {
        for (const toml::node& level : *levels) {
          if (const std::optional<double> n = level.value<double>()) read.push_back(*n);
        }
      }
      if (levels == nullptr || read.size() != levels->size() || read.empty()) {
        fault("levels is a list of numbers");
      } else {
        rule.Levels = std::move(read);
      }
    } else if (name == "message") {
      if (!node.is_string()) {
        fault("message is a text");
      } else {
        rule.Message = TomlFileText(*node.value<std::string_view>());
      }
    } else if (name == "enabled") {
      if (!node.is_boolean()) {
        fault("enabled is true or false");
      } else {
        rule.Enabled = *node.value<bool>();
      }
    } else {
      fault("unknown key \"" + name +
            "\" (a rule has kind, source, amount, levels, message, enabled)");
    }
  }
}

}  // namespace

std::string WatchRuleKindName(TWatchRuleKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::optional<TWatchRuleKind> WatchRuleKindByName(const std::string& name) {
  for (size_t i = 0; i < std::size(kKindNames); ++i) {
    if (name == kKindNames[i]) return static_cast<TWatchRuleKind>(i);
  }
  return std::nullopt;
}

const std::vector<TWatchRule>& DefaultWatchRules() {
  static const std::vector<TWatchRule> rules = MakeDefaults();
  return rules;
}

TWatchRulesLoad LoadWatchRules(const std::string& path) {
  if (path.empty()) return TWatchRulesLoad{.Rules = DefaultWatchRules(), .Problems = {}};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return TWatchRulesLoad{.Rules = DefaultWatchRules(),
                           .Problems = {path + ": cannot read the file"}};
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseWatchRules(text.str(), path);
}

TWatchRulesLoad ParseWatchRules(const std::string& text, const std::string& path) {
  TWatchRulesLoad load{.Rules = DefaultWatchRules(), .Problems = {}};
  std::vector<TWatchRule> rules = load.Rules;
  try {
    const toml::table root = toml::parse(TomlParserText(text), path);
    for (const auto& [key, node] : root) {
      const std::string id = TomlFileText(key.str());
      const toml::table* table = node.as_table();
      if (table == nullptr) {
        load.Problems.push_back(Place(path, node.source()) + "\"" + id +
                                "\" is not a rule: each rule is a table, [" + id + "]");
        continue;
      }
      auto at =
          std::find_if(rules.begin(), rules.end(), [&](const TWatchRule& r) { return r.Id == id; });
      const bool added = at == rules.end();
      TWatchRule rule = added ? TWatchRule{.Id = id, .Source = ""} : *at;
      const size_t before = load.Problems.size();
      ReadRule(path, *table, rule, load.Problems);
      if (load.Problems.size() != before) continue;
      const auto missing = [&](const char* what) {
        load.Problems.push_back(Place(path, table->source()) + "the new rule \"" + id +
                                "\" needs " + what);
      };
      if (added && !table->contains("kind")) {
        missing("a kind");
      } else if (added && !table->contains("source")) {
        missing("a source");
      } else if (rule.Kind == TWatchRuleKind::Below && rule.Levels.empty()) {
        missing("levels");
      } else if (rule.Source == "*" && rule.Kind != TWatchRuleKind::Failing) {
        load.Problems.push_back(Place(path, table->source()) +
                                "only a failing rule watches every source (\"*\")");
      } else if (added) {
        if (rule.Message.empty()) rule.Message = "{caption}：{before} → {after}。";
        rules.push_back(std::move(rule));
      } else {
        *at = std::move(rule);
      }
    }
  } catch (const toml::parse_error& e) {
    load.Problems.push_back(Place(path, e.source()) +
                            "not a valid TOML file: " + std::string(e.description()));
  }
  if (load.Problems.empty()) load.Rules = std::move(rules);
  return load;
}

std::string DefaultWatchRulesPath() {
  std::string path;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    path = std::string(xdg) + "/velmora/alerts.toml";
  } else if (home != nullptr && home[0] != '\0') {
    path = std::string(home) + "/.config/velmora/alerts.toml";
  }
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 ? path : "";
}
