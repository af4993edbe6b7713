// TWatcher: compares a site's run with the runs of the same kind before it, by the watch's rules
// (WatchRules.h), and keeps what it raised in the history, so that each change is told once.
//
// What a run is compared with: for each value, the last run before it that read that value (a
// value that failed in between is skipped, not taken for a change), and how many runs in a row
// before it could not read it. A site's first run of a kind has nothing to compare: it raises
// nothing.
//
// Once per change: an alert is stored open. While its condition still holds (the home page still
// unreachable, the same change compared again) it is not raised again; once the rule finds it no
// longer holds, it is closed, and raised anew when it comes back. A rule that could not judge a
// value (it was not read this time) leaves its alerts as they are.
//
// Threads: a TWatcher is immutable after construction; Watch may be called from any thread with
// a store of the caller's.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/HistoryStore.h"
#include "watch/WatchRules.h"
#include "watch/WatchSample.h"

class TCrawlStore;

// What the runs before the one compared left to compare with.
class TWatchMemory {
 public:
  // Folds in one run, older runs first.
  void Add(const TWatchSample& sample);
  bool Empty() const { return runs_ == 0; }
  // The value as the last run that read it had it; none when no run did.
  const TWatchValue* LastRead(const TWatchValue& value) const;
  // How many runs in a row, up to the last one, could not read the value.
  int FailuresInRow(const TWatchValue& value) const;

 private:
  struct TEntry {
    std::optional<TWatchValue> LastRead;
    int FailuresInRow = 0;
  };
  std::map<std::pair<std::string, std::string>, TEntry> entries_;  // by source and subject
  int runs_ = 0;
};

class TWatcher {
 public:
  explicit TWatcher(std::vector<TWatchRule> rules) : rules_(std::move(rules)) {}
  const std::vector<TWatchRule>& Rules() const { return rules_; }

  // The alerts whose conditions hold for `now` against `memory`, and the keys (AlertKey) of
  // every rule and subject the rules could judge. Pure: neither reads nor writes anything.
  struct TComparison {
    std::vector<THistoryAlert> Holding;
    std::vector<std::string> Judged;
  };
  TComparison Compare(const TWatchSample& now, const TWatchMemory& memory) const;

  // Compares `now` with the runs before it stored in `history` (and, for a crawl, in `crawls`),
  // stores what changed once per change, and returns the alerts newly raised. On a trouble with
  // the history, nothing is raised and `trouble` says why (UTF-8).
  std::vector<THistoryAlert> Watch(THistoryStore& history, const TWatchSample& now,
                                   std::string& trouble, TCrawlStore* crawls = nullptr) const;

  // The runs before `now` of its site and kind (and series), read from the stores; false, with
  // `trouble`, when they cannot be read.
  static bool Remember(THistoryStore& history, TCrawlStore* crawls, const TWatchSample& now,
                       TWatchMemory& memory, std::string& trouble);

  // What makes two alerts the same one: rule and subject, and for a rule comparing two runs'
  // values also the values (another change is another alert).
  std::string AlertKey(const THistoryAlert& alert) const;

 private:
  std::vector<TWatchRule> rules_;
};
