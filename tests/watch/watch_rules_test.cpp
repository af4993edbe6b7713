// The watch's rules against runs made up here: each rule fires on the change it names and on
// nothing else, first runs and failures are not changes, and (through a real history file) a
// change is told once until its condition clears and comes back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "audit/AuditChecks.h"
#include "history/SqliteHistoryStore.h"
#include "watch/Watcher.h"

namespace fs = std::filesystem;

namespace {

// One value of a made-up run: a number, a word or a digest; `read` false for a failure.
TWatchValue Val(std::string_view source, std::string subject, std::optional<double> number,
                std::string text = "", bool read = true) {
  std::string shown = number ? std::to_string(static_cast<long long>(*number)) : text;
  return TWatchValue{.Source = std::string(source),
                     .Subject = std::move(subject),
                     .Caption = "c",
                     .Read = read,
                     .Number = number,
                     .Text = std::move(text),
                     .Shown = std::move(shown)};
}
TWatchValue Failed(std::string_view source, std::string subject = "") {
  return Val(source, std::move(subject), std::nullopt, "", false);
}

std::vector<std::string> RulesOf(const std::vector<THistoryAlert>& alerts) {
  std::vector<std::string> ids;
  for (const THistoryAlert& a : alerts) ids.push_back(a.Rule);
  return ids;
}

TEST(WatchRules, EachRuleFiresOnTheChangeItNamesAndOnNothingElse) {
  struct Row {
    const char* Name;
    std::vector<TWatchValue> Earlier;  // one run each, oldest first
    TWatchValue Now;
    std::vector<std::string> Rules;
  };
  const Row rows[] = {
      {"first run", {}, Val(kWatchIndex, "Site1", 10), {}},
      {"count down 31 %",
       {Val(kWatchIndex, "Site1", 1000)},
       Val(kWatchIndex, "Site1", 690),
       {"index-drop"}},
      {"count down 29 %", {Val(kWatchIndex, "Site1", 1000)}, Val(kWatchIndex, "Site1", 710), {}},
      {"count up", {Val(kWatchIndex, "Site1", 10)}, Val(kWatchIndex, "Site1", 5000), {}},
      {"compared with the last read, past a failure",
       {Val(kWatchIndex, "Site1", 1000), Failed(kWatchIndex, "Site1")},
       Val(kWatchIndex, "Site1", 500),
       {"index-drop"}},
      {"a failure is no change",
       {Val(kWatchIndex, "Site1", 1000)},
       Failed(kWatchIndex, "Site1"),
       {}},
      {"failed twice in a row",
       {Val(kWatchIndex, "Site1", 1000), Failed(kWatchIndex, "Site1")},
       Failed(kWatchIndex, "Site1"),
       {kCouldNotCompare}},
      {"rank worse by 11,000",
       {Val(kWatchRank, "Alexa1", 5000)},
       Val(kWatchRank, "Alexa1", 16000),
       {"rank-worse"}},
      {"rank worse by 9,000",
       {Val(kWatchRank, "Alexa1", 5000)},
       Val(kWatchRank, "Alexa1", 14000),
       {}},
      {"keyword off the first page",
       {Val(kWatchPosition, "kw", 8)},
       Val(kWatchPosition, "kw", 12),
       {"position-top10"}},
      {"keyword out of the top 100 and 6 worse",
       {Val(kWatchPosition, "kw", 95)},
       Val(kWatchPosition, "kw", 101),
       {"position-worse", "position-top100"}},
      {"check pass to warn",
       {Val(kWatchCheck, "hsts", {}, "pass")},
       Val(kWatchCheck, "hsts", {}, "warn"),
       {"check-worse"}},
      {"check warn to fail",
       {Val(kWatchCheck, "hsts", {}, "warn")},
       Val(kWatchCheck, "hsts", {}, "fail"),
       {}},
      {"robots rules changed",
       {Val(kWatchRobots, "", {}, "aaaa")},
       Val(kWatchRobots, "", {}, "bbbb"),
       {"robots-changed"}},
      {"robots now shuts everyone out",
       {Val(kWatchRobotsShut, "", 0)},
       Val(kWatchRobotsShut, "", 1),
       {"robots-shut"}},
      {"sitemap down 21 %",
       {Val(kWatchSitemapUrls, "", 100)},
       Val(kWatchSitemapUrls, "", 79),
       {"sitemap-drop"}},
      {"home down once", {Val(kWatchHome, "", {}, "up")}, Failed(kWatchHome), {}},
      {"home down twice: its own rule, not could-not-compare",
       {Val(kWatchHome, "", {}, "up"), Failed(kWatchHome)},
       Failed(kWatchHome),
       {"home-unreachable"}},
      {"a crawl with new errors",
       {Val(kWatchNewErrors, "", 0)},
       Val(kWatchNewErrors, "", 2),
       {"crawl-new-errors"}},
      {"a crawl without", {Val(kWatchNewErrors, "", 3)}, Val(kWatchNewErrors, "", 0), {}},
  };
  const TWatcher watcher(DefaultWatchRules());
  for (const Row& row : rows) {
    TWatchMemory memory;
    for (const TWatchValue& v : row.Earlier) memory.Add(TWatchSample{.Values = {v}});
    const TWatchSample now{.Site = "a.example", .RunId = "r", .Values = {row.Now}};
    EXPECT_EQ(RulesOf(watcher.Compare(now, memory).Holding), row.Rules) << row.Name;
  }
  // The alert says what changed, in words.
  TWatchMemory memory;
  memory.Add(TWatchSample{.Values = {Val(kWatchIndex, "Site1", 1000)}});
  const auto alerts = watcher.Compare(
      TWatchSample{.Site = "a.example", .RunId = "r2", .Values = {Val(kWatchIndex, "Site1", 400)}},
      memory);
  ASSERT_EQ(alerts.Holding.size(), 1u);
  EXPECT_EQ(alerts.Holding[0].Subject, "Site1");
  EXPECT_EQ(alerts.Holding[0].Before, "1000");
  EXPECT_EQ(alerts.Holding[0].After, "400");
  EXPECT_EQ(alerts.Holding[0].Message, "c从 1000 降到 400，少了 60%。");
  EXPECT_EQ(alerts.Holding[0].RunId, "r2");
}

class WatchStoreTest : public ::testing::Test {
 protected:
  WatchStoreTest() {
    char tmpl[] = "/tmp/velmora-watch-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    EXPECT_TRUE(store_.Open(dir_ + "/history.sqlite3"));
  }
  ~WatchStoreTest() override { fs::remove_all(dir_); }

  // Stores a check-up started at `minute` and watches it: the rules of the alerts it raised.
  std::vector<std::string> Audit(int minute, const std::vector<TAuditResult>& results) {
    TAuditReport report;
    report.Site = "a.example";
    report.StartedUnixMs = minute * 60000LL;
    report.Results = results;
    const std::string run = "run-" + std::to_string(minute);
    EXPECT_TRUE(store_.RecordAudit(report, run));
    std::string trouble;
    const auto raised = watcher_.Watch(store_, AuditSample(report, run), trouble);
    EXPECT_EQ(trouble, "");
    return RulesOf(raised);
  }
  static TAuditResult Certificate(std::optional<double> days) {
    TAuditResult r;
    r.Check = TAuditCheck::Certificate;
    r.Mark = days ? TAuditMark::Pass : TAuditMark::Unable;
    if (days) r.Numbers = {{TAuditNumber::CertificateDaysLeft, *days}};
    return r;
  }
  static TAuditResult Home(bool up) {
    TAuditResult r;
    r.Check = TAuditCheck::Head;
    r.Mark = up ? TAuditMark::Pass : TAuditMark::Unable;
    return r;
  }

  std::string dir_;
  TSqliteHistoryStore store_;
  TWatcher watcher_{DefaultWatchRules()};
};

// Certificate thresholds fire once each (and again after a renewal); the home page unreachable
// twice is told once until it answers again.
TEST_F(WatchStoreTest, StatesAreToldOncePerChange) {
  const struct {
    std::optional<double> Days;  // none: not read, which is no change
    bool Up;
    std::vector<std::string> Rules;
  } steps[] = {
      {30, true, {}},
      {22, false, {}},
      {20, false, {"certificate-days", "home-unreachable"}},  // under 21
      {19, false, {}},
      {std::nullopt, false, {}},
      {13, true, {"certificate-days"}},  // under 14
      {8, false, {}},
      {6, false, {"certificate-days", "home-unreachable"}},  // under 7
      {5, true, {}},
      {90, true, {}},  // renewed
      {20, true, {"certificate-days"}},
  };
  int minute = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(Audit(++minute, {Certificate(step.Days), Home(step.Up)}), step.Rules)
        << "minute " << minute;
  }
  std::vector<std::string> subjects;
  store_.EachAlert("a.example", false,
                   [&](const THistoryAlert& a) { subjects.push_back(a.Subject); });
  EXPECT_EQ(subjects, (std::vector<std::string>{"<21", "home", "<14", "<7", "home", "<21"}));
}

TEST_F(WatchStoreTest, ARobotsTxtWhoseCommentsAloneChangedRaisesNothing) {
  const auto robots = [](const std::string& body) {
    TAuditPage page;
    page.Answered = true;
    page.Status = 200;
    page.Body = body;
    return CheckRobots(page);
  };
  EXPECT_EQ(Audit(1, {robots("User-agent: *\nDisallow: /admin\n")}), std::vector<std::string>{});
  EXPECT_EQ(Audit(2, {robots("# updated 2026-12-08\n\nUser-agent: *   # all\nDisallow: /admin\n")}),
            std::vector<std::string>{});
  EXPECT_EQ(Audit(3, {robots("User-agent: *\nDisallow: /\n")}),
            (std::vector<std::string>{"check-worse", "robots-changed", "robots-shut"}));
  EXPECT_EQ(Audit(4, {robots("User-agent: *\nDisallow: /\n# still shut\n")}),
            std::vector<std::string>{});
}

TEST(WatchRulesFile, ChangesAndAddsRulesAndPointsAtItsFaults) {
  char tmpl[] = "/tmp/velmora-alerts-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir + "/" + name) << text;
    return dir + "/" + name;
  };
  const TWatchRulesLoad good = LoadWatchRules(write("good.toml", R"([index-drop]
amount = 50
[position-top10]
enabled = false
[my-rank]
kind = "rise"
source = "rank"
amount = 100
)"));
  ASSERT_TRUE(good.Ok()) << good.Problems[0];
  ASSERT_EQ(good.Rules.size(), DefaultWatchRules().size() + 1);
  EXPECT_EQ(good.Rules[0].Amount, 50);
  EXPECT_EQ(good.Rules.back().Id, "my-rank");
  EXPECT_EQ(good.Rules.back().Kind, TWatchRuleKind::Rise);

  const struct {
    const char* Text;
    std::string Problem;
  } faults[] = {
      {"[index-drop]\namount = \"lots\"\n", ":2:10: amount is a number, 0 or more"},
      {"[index-drop]\nkind = \"fall\"\n", ":2:8: kind is one of"},
      {"[index-drop]\npercent = 40\n", ":2:11: unknown key \"percent\""},
      {"[new-rule]\nsource = \"rank\"\n", ":1:1: the new rule \"new-rule\" needs a kind"},
      {"index-drop = 40\n", ":1:14: \"index-drop\" is not a rule"},
      {"[index-drop\n", ":1:"},  // not TOML
  };
  for (const auto& fault : faults) {
    const std::string path = write("bad.toml", fault.Text);
    const TWatchRulesLoad bad = LoadWatchRules(path);
    ASSERT_EQ(bad.Problems.size(), 1u) << fault.Text;
    EXPECT_EQ(bad.Problems[0].rfind(path + fault.Problem, 0), 0u) << bad.Problems[0];
    EXPECT_EQ(bad.Rules.size(), DefaultWatchRules().size());  // a faulty file is not used
  }
  EXPECT_FALSE(LoadWatchRules(dir + "/none.toml").Ok());
  fs::remove_all(dir);
}

}  // namespace
