// The watch's rules: what change between a site's run and the run of the same kind before it is
// worth telling. Rules are data: a built-in set (DefaultWatchRules), which the user's
// ~/.config/velmora/alerts.toml (or --alerts FILE) changes rule by rule or adds to.
//
// Each rule compares one source's values (TWatchSample), subject by subject, by its kind:
//
//   drop     the number fell by `amount` percent or more                (index counts, sitemaps)
//   rise     the number grew by `amount` or more       (a rank or position: larger is worse)
//   leave    the number went from `amount` or less to more than it (a keyword leaving the top)
//   below    the number went under a level of `levels`, each level told once (days left)
//   atleast  this run's number is `amount` or more (counts the run compared itself: new errors)
//   worse    the word went from "pass" to any other word that was read (a check's mark)
//   changed  the value changed                                       (robots.txt's digest)
//   failing  the value could not be read in `amount` runs in a row (the home page); with the
//            source "*" every value that no other failing rule watches ("could not compare")
//
// The file: a table per rule, named by its id. For a built-in rule any key may be given;
// `enabled = false` switches it off. A new rule needs `kind` and `source`.
//
//   [index-drop]
//   amount = 50
//   [position-top10]
//   enabled = false
//   [my-rank]
//   kind = "rise"
//   source = "rank"
//   amount = 100000
//   message = "{caption}从 {before} 退到了 {after}"
//
// A message may hold {caption}, {subject}, {before}, {after}, {amount}, {level}, {change} (the
// drop in percent) and {count} (failures in a row).
//
// Plain values; loading reads one file.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class TWatchRuleKind { Drop, Rise, Leave, Below, AtLeast, Worse, Changed, Failing };

struct TWatchRule {
  std::string Id = {};
  TWatchRuleKind Kind = TWatchRuleKind::Changed;
  std::string Source = {};  // a source of TWatchSample; "*" only for failing
  double Amount = 0;
  std::vector<double> Levels = {};  // below: in the order given
  std::string Message = {};         // Chinese, with the placeholders above
  bool Enabled = true;
};

// "drop", "rise", ...; and back.
std::string WatchRuleKindName(TWatchRuleKind kind);
std::optional<TWatchRuleKind> WatchRuleKindByName(const std::string& name);

// The rule id a value's failures are told by when no failing rule of its own watches it.
inline constexpr const char* kCouldNotCompare = "could-not-compare";

const std::vector<TWatchRule>& DefaultWatchRules();

struct TWatchRulesLoad {
  std::vector<TWatchRule> Rules = {};      // the built-in ones, changed and added to by the file
  std::vector<std::string> Problems = {};  // "file:line:column: message", in the file's order
  bool Ok() const { return Problems.empty(); }
};
// The rules `path` makes of the built-in ones. A file with any problem is not used (Rules are
// then the built-in ones). An empty path: the built-in rules.
TWatchRulesLoad LoadWatchRules(const std::string& path);
// The same for the text of a file named `name` (in the messages).
TWatchRulesLoad ParseWatchRules(const std::string& text, const std::string& name);
// $XDG_CONFIG_HOME/velmora/alerts.toml (or ~/.config/...) when it exists; "" otherwise.
std::string DefaultWatchRulesPath();
