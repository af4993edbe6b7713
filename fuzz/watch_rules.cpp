// The alert rules file on arbitrary bytes: it never crashes and never half-loads (a file with a
// problem leaves the built-in rules whole), and whatever rules it makes compare any two runs
// without crashing or hanging, their messages filled in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "watch/Watcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const TWatchRulesLoad load = ParseWatchRules(text, "fuzz.toml");
  if (!load.Ok() && load.Rules.size() != DefaultWatchRules().size()) std::abort();
  if (load.Rules.size() < DefaultWatchRules().size()) std::abort();
  for (const TWatchRule& rule : load.Rules) {
    if (rule.Source.empty() || (rule.Kind == TWatchRuleKind::Below && rule.Levels.empty()))
      std::abort();
  }
  // Every rule's source, read before and after with numbers and words taken from the input.
  TWatchSample before, after;
  for (const TWatchRule& rule : load.Rules) {
    const double a = static_cast<double>(size % 97), b = static_cast<double>(size % 13);
    before.Values.push_back({.Source = rule.Source,
                             .Subject = rule.Id,
                             .Caption = text,
                             .Read = true,
                             .Number = a,
                             .Text = "pass",
                             .Shown = text});
    after.Values.push_back({.Source = rule.Source,
                            .Subject = rule.Id,
                            .Caption = text,
                            .Read = size % 2 == 0,
                            .Number = b,
                            .Text = text,
                            .Shown = text});
  }
  TWatchMemory memory;
  memory.Add(before);
  memory.Add(after);
  (void)TWatcher(load.Rules).Compare(after, memory);
  return 0;
}
