#include "watch/Watcher.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "crawl/CrawlStore.h"
#include "runtime/CodePage.h"

namespace {

// Rules whose condition is a state of the site rather than a change between two runs: told once
// while it lasts, whatever the values say meanwhile.
bool IsStateRule(TWatchRuleKind kind) {
  return kind == TWatchRuleKind::Failing || kind == TWatchRuleKind::AtLeast;
}

std::string SubjectKey(const std::string& rule, const std::string& subject) {
  return rule + '\t' + subject;
}

std::string Amount(double n) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", n);
  return text;
}

// `message` with its placeholders filled in.
std::string Filled(std::string message,
                   const std::vector<std::pair<std::string, std::string>>& with) {
  for (const auto& [name, value] : with) {
    const std::string mark = "{" + name + "}";
    for (size_t at = message.find(mark); at != std::string::npos;
         at = message.find(mark, at + value.size())) {
      message.replace(at, mark.size(), value);
    }
  }
  return message;
}

}  // namespace

void TWatchMemory::Add(const TWatchSample& sample) {
  ++runs_;
  for (const TWatchValue& v : sample.Values) {
    TEntry& e = entries_[{v.Source, v.Subject}];
    if (v.Read) {
      e.LastRead = v;
      e.FailuresInRow = 0;
    } else {
      ++e.FailuresInRow;
    }
  }
}

const TWatchValue* TWatchMemory::LastRead(const TWatchValue& value) const {
  const auto at = entries_.find({value.Source, value.Subject});
  return at != entries_.end() && at->second.LastRead ? &*at->second.LastRead : nullptr;
}

int TWatchMemory::FailuresInRow(const TWatchValue& value) const {
  const auto at = entries_.find({value.Source, value.Subject});
  return at != entries_.end() ? at->second.FailuresInRow : 0;
}

TWatcher::TComparison TWatcher::Compare(const TWatchSample& now, const TWatchMemory& memory) const {
  TComparison out;
  if (memory.Empty()) return out;  // a first run
  // Sources with a failing rule of their own: the catch-all leaves them to it.
  std::set<std::string> watched_failing;
  for (const TWatchRule& r : rules_) {
    if (r.Enabled && r.Kind == TWatchRuleKind::Failing && r.Source != "*")
      watched_failing.insert(r.Source);
  }
  for (const TWatchRule& rule : rules_) {
    if (!rule.Enabled) continue;
    for (const TWatchValue& v : now.Values) {
      const bool any = rule.Source == "*";
      // A failure is told once: robots_shut is read with robots, and a check that could not
      // run is told by what it measures (days left, URLs, the home page).
      if (any ? watched_failing.count(v.Source) != 0 || v.Source == kWatchRobotsShut ||
                    v.Source == kWatchCheck
              : v.Source != rule.Source)
        continue;
      const TWatchValue* before = memory.LastRead(v);
      const auto raise = [&](const std::string& subject, const std::string& before_text,
                             const std::string& after_text,
                             std::vector<std::pair<std::string, std::string>> with) {
        with.insert(with.end(), {{"caption", v.Caption},
                                 {"subject", v.Subject},
                                 {"before", before_text},
                                 {"after", after_text},
                                 {"amount", Amount(rule.Amount)}});
        out.Holding.push_back(THistoryAlert{.Site = now.Site,
                                            .Kind = std::string(WatchKindName(now.Kind)),
                                            .Rule = rule.Id,
                                            .Subject = subject,
                                            .Before = before_text,
                                            .After = after_text,
                                            .Message = Filled(rule.Message, with),
                                            .RunId = now.RunId,
                                            .RaisedUnixMs = now.StartedUnixMs});
      };
      if (rule.Kind == TWatchRuleKind::Failing) {
        out.Judged.push_back(SubjectKey(rule.Id, v.Subject.empty() ? v.Source : v.Subject));
        const int count = v.Read ? 0 : memory.FailuresInRow(v) + 1;
        if (count >= std::max(1.0, rule.Amount)) {
          raise(v.Subject.empty() ? v.Source : v.Subject, before ? before->Shown : "",
                v.Shown.empty() ? "没有取到" : v.Shown, {{"count", std::to_string(count)}});
        }
        continue;
      }
      if (rule.Kind == TWatchRuleKind::Below) {
        for (const double level : rule.Levels)
          out.Judged.push_back(SubjectKey(rule.Id, v.Subject + "<" + Amount(level)));
      } else {
        out.Judged.push_back(SubjectKey(rule.Id, v.Subject));
      }
      if (!v.Read || before == nullptr) continue;
      const std::optional<double> a = v.Number, b = before->Number;
      const bool numbers = a && b;
      switch (rule.Kind) {
        case TWatchRuleKind::Drop:
          if (numbers && *b > 0 && *a <= *b * (1 - rule.Amount / 100)) {
            const double change = std::round((*b - *a) / *b * 100);
            raise(v.Subject, before->Shown, v.Shown, {{"change", Amount(change)}});
          }
          break;
        case TWatchRuleKind::Rise:
          if (numbers && *a - *b >= std::max(rule.Amount, 1e-9))
            raise(v.Subject, before->Shown, v.Shown, {});
          break;
        case TWatchRuleKind::Leave:
          if (numbers && *b <= rule.Amount && *a > rule.Amount)
            raise(v.Subject, before->Shown, v.Shown, {});
          break;
        case TWatchRuleKind::Below: {
          // The lowest level crossed: crossing several at once is one alert.
          std::optional<double> crossed;
          for (const double level : rule.Levels) {
            if (numbers && *b >= level && *a < level && (!crossed || level < *crossed))
              crossed = level;
          }
          if (crossed) {
            raise(v.Subject + "<" + Amount(*crossed), before->Shown, v.Shown,
                  {{"level", Amount(*crossed)}});
          }
          break;
        }
        case TWatchRuleKind::AtLeast:
          if (a && *a >= rule.Amount) raise(v.Subject, before->Shown, v.Shown, {});
          break;
        case TWatchRuleKind::Worse:
          if (before->Text == "pass" && v.Text != "pass")
            raise(v.Subject, before->Shown, v.Shown, {});
          break;
        case TWatchRuleKind::Changed:
          if (numbers ? *a != *b : before->Text != v.Text)
            raise(v.Subject, before->Shown, v.Shown, {});
          break;
        case TWatchRuleKind::Failing:
          break;
      }
    }
  }
  return out;
}

std::string TWatcher::AlertKey(const THistoryAlert& alert) const {
  std::string key = SubjectKey(alert.Rule, alert.Subject);
  const auto rule = std::find_if(rules_.begin(), rules_.end(),
                                 [&](const TWatchRule& r) { return r.Id == alert.Rule; });
  if (rule == rules_.end() || !IsStateRule(rule->Kind))
    key += '\t' + alert.Before + '\t' + alert.After;
  return key;
}

bool TWatcher::Remember(THistoryStore& history, TCrawlStore* crawls, const TWatchSample& now,
                        TWatchMemory& memory, std::string& trouble) {
  bool read = true;
  switch (now.Kind) {
    case TWatchKind::Query:
      read = history.EachRun({.Site = Utf8ToGbk(now.Site)}, [&](const THistoryQuery& q) {
        if (q.Record.StartedUnixMs < now.StartedUnixMs && q.Record.ServiceSet == now.Series)
          memory.Add(QuerySample(q.Record, ""));
      });
      break;
    case TWatchKind::Audit:
      read = history.EachAudit({.Site = now.Site}, [&](const TAuditReport& report) {
        if (report.StartedUnixMs < now.StartedUnixMs) memory.Add(AuditSample(report, ""));
      });
      break;
    case TWatchKind::Crawl:
      if (crawls == nullptr) return false;
      for (const TCrawlInfo& c : crawls->Crawls(now.Site)) {
        if (c.StartedMs < now.StartedUnixMs && c.RunId != now.RunId)
          memory.Add(CrawlSample(*crawls, c.Id, false));
      }
      break;
  }
  if (!read) trouble = history.TakeMessage();
  return read;
}

std::vector<THistoryAlert> TWatcher::Watch(THistoryStore& history, const TWatchSample& now,
                                           std::string& trouble, TCrawlStore* crawls) const {
  TWatchMemory memory;
  if (!Remember(history, crawls, now, memory, trouble)) return {};
  const TComparison comparison = Compare(now, memory);
  std::vector<THistoryAlert> open;
  const bool read = history.EachAlert(now.Site, true, [&](const THistoryAlert& a) {
    if (a.Kind == WatchKindName(now.Kind)) open.push_back(a);
  });
  if (!read) {
    trouble = history.TakeMessage();
    return {};
  }
  std::set<std::string> open_keys, holding_keys;
  for (const THistoryAlert& a : open) open_keys.insert(AlertKey(a));
  std::vector<THistoryAlert> raised;
  for (const THistoryAlert& a : comparison.Holding) {
    const std::string key = AlertKey(a);
    holding_keys.insert(key);
    if (!open_keys.count(key)) raised.push_back(a);
  }
  const std::set<std::string> judged(comparison.Judged.begin(), comparison.Judged.end());
  std::vector<int64_t> closed;
  for (const THistoryAlert& a : open) {
    if (judged.count(SubjectKey(a.Rule, a.Subject)) && !holding_keys.count(AlertKey(a)))
      closed.push_back(a.Id);
  }
  if ((!raised.empty() || !closed.empty()) && !history.UpdateAlerts(raised, closed)) {
    // Told all the same: an alert lost is worse than one told twice.
    trouble = history.TakeMessage();
  }
  return raised;
}
