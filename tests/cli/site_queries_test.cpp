// Many sites without a window against the stand-in services: every site its full set of values,
// requests to one host never closer together than the delay, and the reports read back; the
// check-ups' reports and the servers a site name stands for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "audit/AuditTarget.h"
#include "cli/AuditWriter.h"
#include "cli/QueryMode.h"
#include "cli/QueryReport.h"
#include "cli/SiteList.h"
#include "cli/SiteListRunner.h"
#include "cli/TimeText.h"
#include "runtime/CodePage.h"
#include "support/ScopedTimeZone.h"
#include "support/ScriptedServer.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

TSiteQueryOptions StandInOptions(const StandInServices& s, int delayMs, int jobs) {
  TSiteQueryOptions options;
  options.Hosts = StandInServiceHosts(s);
  options.DelayMs = delayMs;
  options.Jobs = jobs;
  options.ReadTimeoutMs = 5000;
  return options;
}

TEST(SiteQueries, ManySitesAtOnceKeepTheirPaceAndEveryValue) {
  StandInServices s;
  const std::string site = s.HostFor(StandIn::Site);
  const std::vector<std::string> sites(20, site);
  constexpr int kDelayMs = 30;
  size_t progress_calls = 0;
  TSiteQueryOptions options = StandInOptions(s, kDelayMs, 4);
  options.Progress = [&](size_t done, size_t total, const std::string&) {
    EXPECT_EQ(done, ++progress_calls);
    EXPECT_EQ(total, sites.size());
  };
  const auto records = RunSites(sites, options);
  ASSERT_EQ(records.size(), sites.size());
  EXPECT_EQ(progress_calls, sites.size());
  for (const TQueryRecord& r : records) {
    EXPECT_EQ(r.Site, site);
    for (const auto& [name, value] : StandInServices::ExpectedFields(site)) {
      EXPECT_EQ(r.Fields[*ResultFieldByName(name)].Text, value) << name;
    }
    EXPECT_EQ(r.Picture.State, TFieldState::Value);
  }
  EXPECT_EQ(ExitStatusOf(records), 0);

  // Requests to one host, redirects included, arrive at least the delay apart.
  std::map<StandIn, std::chrono::steady_clock::time_point> last;
  size_t requests = 0;
  for (const StandInRequest& r : s.Requests()) {
    ++requests;
    auto it = last.find(r.service);
    if (it != last.end()) {
      EXPECT_GE(r.at - it->second, std::chrono::milliseconds(kDelayMs))
          << static_cast<int>(r.service);
    }
    last[r.service] = r.at;
  }
  EXPECT_EQ(requests, sites.size() * (27 + 3));  // with Sogou's cookie round trips
  // A site's jobs hand their kept-alive connections on to each other.
  EXPECT_LT(s.ConnectionCount(), requests);
}

TEST(SiteQueries, AnIPv6LiteralSiteIsQueriedWhole) {
  StandInServices s;
  ScriptedServer home(
      ScriptedServer::Canned({{HttpResponse("HTTP/1.1 200 OK", "<title>over six</title>")}}), true);
  const auto records = RunSites({home.HostPort()}, StandInOptions(s, 0, 1));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Site, home.HostPort());
  EXPECT_EQ(records[0].Fields[rfWebTitle].Text, "over six");
  EXPECT_EQ(records[0].Fields[rfAlexa6].State, TFieldState::Value);
  EXPECT_EQ(records[0].Fields[rfSite1].State, TFieldState::Value);  // the stand-ins asked for it
}

TEST(SiteQueries, ReportsReadBackAndFailuresSetTheExitStatus) {
  StandInServices s;
  s.SetFault(StandIn::Yahoo, StandInFault::NotFound);
  const std::string site = s.HostFor(StandIn::Site);
  const auto records = RunSites({site, site}, StandInOptions(s, 0, 2));
  EXPECT_EQ(ExitStatusOf(records), 3);
  // A field switched off, retired or waiting for a key does not count; a failed thumbnail does.
  std::vector<TQueryRecord> one{records[0]};
  for (TFieldResult& r : one[0].Fields)
    r.State = r.HasValue() ? TFieldState::Value : TFieldState::Disabled;
  one[0].Fields[rfLink2].State = TFieldState::Retired;
  one[0].Fields[rfAlexa3].State = TFieldState::KeyNeeded;
  EXPECT_EQ(ExitStatusOf(one), 0);
  one[0].Picture.State = TFieldState::Failed;
  EXPECT_EQ(ExitStatusOf(one), 3);

  std::ostringstream json_text;
  WriteJson(json_text, records);
  const auto json = nlohmann::json::parse(json_text.str());
  ASSERT_EQ(json.size(), 2u);
  const auto& fields = json[0]["fields"];
  EXPECT_EQ(json[0]["site"], site);
  EXPECT_EQ(fields["Site1"]["text"], GbkToUtf8(StandInServices::ExpectedFields(site)["Site1"]));
  EXPECT_EQ(fields["Site1"]["outcome"], "value");
  EXPECT_EQ(fields["Site3"]["text"], "");
  EXPECT_EQ(fields["Site3"]["outcome"], "failed");
  EXPECT_EQ(fields["Site3"]["http_status"], 404);
  EXPECT_GT(fields["Site1"]["bytes"], 0);
  EXPECT_GT(fields["Site1"]["wire_bytes"], fields["Site1"]["bytes"]);  // heads too, not coded
  EXPECT_TRUE(fields["Site3"]["number"].is_null());
  EXPECT_TRUE(json[0]["load_time"].is_number());
  EXPECT_EQ(json[0]["thumbnail"]["outcome"], "value");

  std::ostringstream csv;
  WriteCsv(csv, records);
  std::vector<std::string> lines;
  std::istringstream in(csv.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("site,Site1,Site1 outcome,Site2,Site2 outcome,", 0), 0u) << lines[0];
  EXPECT_NE(lines[1].find(",failed,"), std::string::npos);  // Yahoo's rows
  const std::string site1 = StandInServices::ExpectedFields(site)["Site1"];
  EXPECT_EQ(lines[1].rfind(site + ",\"" + site1 + "\",value,", 0), 0u) << lines[1];

  // A page's text cannot steer the terminal the table goes to.
  std::vector<TQueryRecord> hostile{records[0]};
  hostile[0].Fields[rfWebTitle].Text = "a\x1b]0;x\x07\r\nb";
  std::ostringstream table;
  WriteTable(table, hostile, {rfWebTitle});
  EXPECT_NE(table.str().find("WebTitle 网站标题  a\\x1B]0;x\\x07\\r\\nb\n"), std::string::npos)
      << table.str();
  // Nor steer a spreadsheet the CSV goes to: no formula, no raw control byte.
  std::ostringstream cells;
  for (const char* text : {"=HYPERLINK(\"x\")", "+1", "-1", "@SUM(A1)", "\tx", "a\x1b[2Jb"}) {
    hostile[0].Fields[rfWebTitle].Text = text;
    WriteCsv(cells, hostile, {rfWebTitle});
  }
  EXPECT_EQ(cells.str(), "site,WebTitle,WebTitle outcome\r\n" + site +
                             ",\"'=HYPERLINK(\"\"x\"\")\",value\r\n"
                             "site,WebTitle,WebTitle outcome\r\n" +
                             site +
                             ",\"'+1\",value\r\n"
                             "site,WebTitle,WebTitle outcome\r\n" +
                             site +
                             ",\"'-1\",value\r\n"
                             "site,WebTitle,WebTitle outcome\r\n" +
                             site +
                             ",\"'@SUM(A1)\",value\r\n"
                             "site,WebTitle,WebTitle outcome\r\n" +
                             site +
                             ",\\tx,value\r\n"
                             "site,WebTitle,WebTitle outcome\r\n" +
                             site + ",a\\x1B[2Jb,value\r\n");
}

TEST(SiteName, InternationalNamesAreAskedInAsciiAndShownAsTyped) {
  struct Row {
    const char* typed;
    const char* shown;
    const char* request;
    std::string site;  // GBK
  };
  for (const Row& row :
       {Row{"\xEF\xBB\xBF https://www.example.com/ ", "www.example.com", "www.example.com",
            "www.example.com"},
        Row{"straße.de", "straße.de", "xn--strae-oqa.de", "xn--strae-oqa.de"},
        Row{"한국.kr:8080", "한국.kr:8080", "xn--3e0b707e.kr:8080", "xn--3e0b707e.kr:8080"},
        Row{"http://中国.cn/x", "中国.cn", "xn--fiqs8s.cn", Utf8ToGbk("中国.cn")},
        Row{"[::1]:8080", "[::1]:8080", "[::1]:8080", "[::1]:8080"},
        // A Cyrillic "а" among Latin letters: the ASCII form beside it, read back the same.
        Row{"аpple.com", "аpple.com (xn--pple-43d.com)", "xn--pple-43d.com",
            Utf8ToGbk("аpple.com (xn--pple-43d.com)")},
        Row{"аpple.com:81 (xn--pple-43d.com:81)", "аpple.com:81 (xn--pple-43d.com:81)",
            "xn--pple-43d.com:81", Utf8ToGbk("аpple.com:81 (xn--pple-43d.com:81)")},
        Row{"中国abc.cn", "中国abc.cn", "xn--abc-u68dy61b.cn", Utf8ToGbk("中国abc.cn")}}) {
    const TSiteName name = ParseSiteName(row.typed);
    EXPECT_EQ(name.Problem, "") << row.typed;
    EXPECT_EQ(name.Shown, row.shown);
    EXPECT_EQ(name.Request, row.request);
    EXPECT_EQ(name.Site, row.site);
  }
  EXPECT_NE(ParseSiteName("a\xE2\x80\xAE.com").Problem, "");            // no name IDNA allows
  EXPECT_NE(ParseSiteName(std::string("[::\0\0001]", 7)).Problem, "");  // a NUL in brackets
}

TEST(SiteShards, EveryNameFallsToOnePartAndTheHashIsTheDocumentedOne) {
  // FNV-1a of "a" is 0xaf63dc4c8601ec8c; letter case is ignored.
  EXPECT_EQ(ShardOfSite("a", 1000), static_cast<int>(0xaf63dc4c8601ec8cull % 1000) + 1);
  EXPECT_EQ(ShardOfSite("WWW.Example.COM", 7), ShardOfSite("www.example.com", 7));
  int counts[5] = {};
  for (int i = 0; i < 400; ++i) ++counts[ShardOfSite("s" + std::to_string(i) + ".test", 4)];
  for (int k = 1; k <= 4; ++k) EXPECT_GT(counts[k], 60) << k;  // none starved
  EXPECT_EQ(counts[0], 0);

  EXPECT_EQ(ParseShard("2/4"), std::make_pair(2, 4));
  for (const char* bad : {"0/4", "5/4", "1/0", "1/1001", "-1/4", "1/4x", "1", "/4", "a/b", ""}) {
    EXPECT_FALSE(ParseShard(bad)) << bad;
  }
}

TEST(SiteShards, TimesTheSinceFlagTakes) {
  const ScopedTimeZone zone(SHANGHAI);
  const int64_t midnight_utc = 1796688000000;  // 2026-12-08T00:00Z
  struct Row {
    const char* text;
    std::optional<int64_t> ms;
  } rows[] = {
      {"2026-12-08T00:00Z", midnight_utc},
      {"2026-12-08T08:00", midnight_utc},  // local time, 8 hours east
      {"2026-12-08 08:00:30", midnight_utc + 30000},
      {"2026-12-08", midnight_utc - 8 * 3600000},
      {"2026-12-08T05:30+05:30", midnight_utc},
      {"2026-12-07T19:00-0500", midnight_utc},
      {"2026-02-30", std::nullopt},
      {"2026-12-08T24:00Z", std::nullopt},
      {"2026-12-08T00:00Y", std::nullopt},
      {"2026-12-8", std::nullopt},
      {"2026-12-08T0:00", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(ParseTimeText(row.text), row.ms) << row.text;
}

// A check-up as each format writes it: every check's mark, its numbers in their own columns and
// texts from the site made inert; the exit status asks every check of every site to pass.
TEST(SiteAudits, ReportsInEveryFormatAndTheirExitStatus) {
  TAuditReport report{"a.example", 1796688000000LL, 1500, {}};  // 2026-12-08T00:00:00Z
  for (TAuditCheck check : kAuditChecks) report.Results.push_back({check, TAuditMark::Pass});
  report.Results[1] = {TAuditCheck::Certificate,
                       TAuditMark::Warn,
                       "15 天",
                       "将到期",
                       "https://a.example/",
                       {"TLS 1.3"},
                       {{TAuditNumber::CertificateDaysLeft, 15}}};
  report.Results[7].Numbers = {{TAuditNumber::FirstByteMs, 120.5}, {TAuditNumber::PageBytes, 4096}};
  report.Results[5].Value = "=1+1\x1b[2J";
  using TReports = std::vector<std::optional<TAuditReport>>;
  EXPECT_EQ(ExitStatusOf(TReports{}), 0);
  EXPECT_EQ(ExitStatusOf(TReports{report}), 3);
  report.Results[1].Mark = TAuditMark::Pass;
  EXPECT_EQ(ExitStatusOf(TReports{report}), 0);
  EXPECT_EQ(ExitStatusOf(TReports{report, std::nullopt}), 3);  // a site never checked
  report.Results[1].Mark = TAuditMark::Warn;

  std::ostringstream json_text, csv, table;
  for (auto [format, out] : {std::pair{TReportFormat::Json, &json_text},
                             {TReportFormat::Csv, &csv},
                             {TReportFormat::Table, &table}}) {
    TAuditWriter writer(*out, format);
    writer.Add(report);
    writer.Add(report);
    writer.Finish();
  }
  const auto json = nlohmann::json::parse(json_text.str());
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["started"], "2026-12-08T00:00:00Z");
  EXPECT_EQ(json[0]["worst"], "warn");
  ASSERT_EQ(json[0]["checks"].size(), 9u);
  EXPECT_EQ(json[0]["checks"][1], nlohmann::json::parse(R"({"check": "certificate",
      "mark": "warn", "value": "15 天", "reason": "将到期", "url": "https://a.example/",
      "details": ["TLS 1.3"], "numbers": {"certificate_days_left": 15}})"));
  EXPECT_EQ(json[0]["checks"][7]["numbers"]["first_byte_ms"], 120.5);

  std::vector<std::string> rows;
  std::istringstream in(csv.str());
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 19u);
  EXPECT_EQ(rows[0],
            "site,check,mark,value,reason,url,certificate_days_left,first_byte_ms,"
            "page_bytes,sitemap_urls\r");
  EXPECT_EQ(rows[2], "a.example,certificate,warn,15 天,将到期,https://a.example/,15,,,\r");
  EXPECT_EQ(rows[6], "a.example,head,pass,\"'=1+1\\x1B[2J\",,,,,,\r");
  EXPECT_EQ(rows[8], "a.example,speed,pass,,,,,120.5,4096,\r");

  EXPECT_EQ(table.str().rfind("a.example  (2026-12-08T00:00:00Z, 1500 ms)  注意\n"
                              "  HTTPS 跳转  通过      \n"
                              "  证书        注意      15 天  将到期\n"
                              "      TLS 1.3\n",
                              0),
            0u)
      << table.str();
  EXPECT_NE(table.str().find("  首页头部    通过      =1+1\\x1B[2J\n"), std::string::npos);
}

// Where a site name's servers are: its host as requests carry it, the http port it names.
TEST(SiteAudits, TargetsOfSiteNames) {
  const struct {
    const char* typed;
    const char* host;
    int http_port;
  } kCases[] = {
      {"a.example", "a.example", 80},
      {"http://A.example:8080/x", "a.example", 8080},
      {"[::1]", "[::1]", 80},
      {"[::1]:8443", "[::1]", 8443},
      {"bücher.example", "xn--bcher-kva.example", 80},
  };
  for (const auto& c : kCases) {
    const TSiteName name = ParseSiteName(c.typed);
    const TAuditTarget target = AuditTargetOf(name.Shown, name.Request, 8443);
    EXPECT_EQ(target.Host, c.host) << c.typed;
    EXPECT_EQ(target.HttpPort, c.http_port) << c.typed;
    EXPECT_EQ(target.HttpsPort, 8443);
    EXPECT_EQ(target.Shown, name.Shown);
  }
}

}  // namespace

namespace {

// A kind of run whose first site ends only when let go (from another thread, after a while) and
// whose others end at once: the runner starts no more than its window ahead of the first, and
// writes every result in list order.
class HeldFirstSite : public TSiteRunMode {
 public:
  void Start(size_t, const TSiteName& site, TEnded ended) override {
    ++started;
    if (site.Site != "s0.test") {
      if (held) most_while_held = std::max(most_while_held, started);
      ended([this, name = site.Site] { written.push_back(name); });
      return;
    }
    held = true;
    letting_go = std::thread([this, ended = std::move(ended)] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      QueueOnMainThread([this, ended] {
        held = false;
        ended([this] { written.push_back("s0.test"); });
      });
    });
  }
  void Stop() override {}
  void Finish(TPumpQueue&) override { letting_go.join(); }

  size_t started = 0, most_while_held = 0;
  bool held = false;
  std::vector<std::string> written;
  std::thread letting_go;
};

TEST(SiteListRunner, NoSiteStartsMoreThanTheWindowAheadOfTheOneItWaitsFor) {
  std::vector<TSiteName> names;
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    expected.push_back("s" + std::to_string(i) + ".test");
    names.push_back(
        {.Shown = expected.back(), .Request = expected.back(), .Site = expected.back()});
  }
  TSiteList list(names, "");
  HeldFirstSite mode;
  TSiteListOptions options;
  options.Jobs = 2;
  options.Window = 4;
  std::ostringstream err;
  EXPECT_EQ(RunSiteList(list, mode, options, err), TSiteListEnd::Done);
  EXPECT_EQ(mode.most_while_held, 4u);  // the held one and three after it
  EXPECT_EQ(mode.written, expected);
}

}  // namespace
