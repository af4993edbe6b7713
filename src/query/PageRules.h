// The rules that cut a value out of a page: the delimiter helpers (TextBetween, DigitsOnly,
// TrimSuffix), extraction rules on the regular-expression engine (ExtractByRule), and the
// runner of a field's step lists (ApplyRules). All texts are GBK byte strings; positions are
// 1-based.
//
// Pure functions of their arguments: safe on any thread, total on any bytes, never raise.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/CodePage.h"  // ReplaceAll, the fourth text helper
#include "services/ServiceTable.h"

// The bytes between the first `start` delimiter and the next `end` after it; "0" when the page
// is empty, or start or end occurs nowhere in it; empty when end follows start directly or
// occurs only before it.
std::string TextBetween(const std::string& page, const std::string& start, const std::string& end);
// The bytes between the first `start` and the next `end` after it; nothing when either is not
// found there (or is empty). TextBetween without its "0" and "" stand-ins.
std::optional<std::string> FindBetween(const std::string& page, const std::string& start,
                                       const std::string& end);
// The text itself when its trimmed bytes are only digits and commas, otherwise "0".
std::string DigitsOnly(const std::string& text);
// Text without one trailing copy of suffix (letter case ignored, never starting on a trail byte).
std::string TrimSuffix(const std::string& text, const std::string& suffix);
// ReplaceAll (every occurrence replaced, case ignored): runtime/CodePage.h.

// Runs an extraction rule ("[velmora]", "(*)", "[参数]" placeholders) over page and returns the
// captured text; never raises. all_matches == 1 collects every match, joined by separator.
std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char all_matches = 0, const std::string& separator = "|||",
                          bool template_mode = false, const std::string& template_rule = "",
                          const std::string& output_template = "");
// ExtractByRule's first match; `error_code` gets the code of the engine's error that ended the
// search (1017: out of steps), 0 when none did.
std::string ExtractByRule(const std::string& page, const std::string& rule, int* error_code);

// One step of ApplyRules as it happened: which list (0 = the first, then the fallbacks), which
// step, and the text after it; `found` is false where the step found nothing and ended the list.
struct TStepTrace {
  size_t List = 0;
  size_t Step = 0;
  bool Found = true;
  bool OverBudget = false;  // a rule found nothing because its search ran out of steps
  std::string Text;
};
// Runs each step list over page in turn (the first, then the fallbacks) and returns the first
// non-empty value one of them finds; nothing when none does. A list ends without a value where
// a delimiter or a rule finds nothing or DigitsOnly meets something that is not a number.
// site_name fills TStepKind::BetweenSite's start. `trace`, when set, sees every step.
std::optional<std::string> ApplyRules(const std::string& page, const std::vector<TStepList>& rules,
                                      const std::string& site_name,
                                      const std::function<void(const TStepTrace&)>& trace = {});
