// Keyword positions: the [[rank]] definitions as the loader reads them, the result-page reader
// on the stand-ins of the four engines, and runs against the stand-in server.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "rank/RankPage.h"
#include "rank/RankRun.h"
#include "services/ServiceFile.h"
#include "support/RankStandIns.h"

namespace {

const TRankDef& Engine(const TServiceTable& table, const std::string& name) {
  for (const TRankDef& def : table.Ranks) {
    if (def.Engine == name) return def;
  }
  static const TRankDef kNone;
  ADD_FAILURE() << "no rank " << name;
  return kNone;
}

const TServiceTable& Current() { return *BuiltInServiceSet(kCurrentSet); }

TEST(RankDefinitions, TheCurrentSetDescribesFourEnginesWithoutAFault) {
  const TServiceLoad load =
      ParseServices(BuiltInServicesText(kCurrentSet), "current", TServiceTable{});
  EXPECT_TRUE(load.Ok()) << ProblemsReport(load);
  std::vector<std::string> engines;
  for (const TRankDef& def : load.Table->Ranks) engines.push_back(def.Engine);
  EXPECT_EQ(engines, (std::vector<std::string>{"baidu", "bing", "360", "sogou"}));
  EXPECT_EQ(Engine(*load.Table, "bing").DecodeParam, "u");
  // The set's browser headers go to the rank entries as to the fields.
  EXPECT_FALSE(Engine(*load.Table, "baidu").Headers.empty());
  EXPECT_TRUE(BuiltInServiceSet(kClassicSet)->Ranks.empty());
}

// A user's entry replaces only the keys it gives; a faulty one leaves the set's entry as it
// was, and says where.
TEST(RankDefinitions, AFileMendsAnEngineOrSaysWhereItsEntryIsWrong) {
  struct TCase {
    std::string Entry;
    std::string Problem;  // "" when the entry is taken
  } cases[] = {
      {"engine = \"bing\"\nper_page = 20", ""},
      {"engine = \"bing\"\nresult = '//li[@class='", "file:4:10: not an XPath"},
      {"engine = \"bing\"\nurl = 'https://{Bing}/search?q=x&first={offset+1}'", "needs {keyword}"},
      {"engine = \"bing\"\nurl = 'https://{Bing}/search?q={keyword}'", "to turn the page"},
      {"engine = \"bing\"\nurl = 'https://{Bingo}/search?q={keyword}&first={page}'",
       "unknown host {Bingo}"},
      {"engine = \"bing\"\nper_page = 0", "per_page takes"},
      {"engine = \"bing\"\ndecode = ['u']", "decode takes"},
      {"engine = \"bing\"\nfirst = 1", "unknown key \"first\""},
      {"engine = \"yandex\"\nurl = 'https://y.test/?q={keyword}&p={page}'", "has no result"},
      {"engine = \"bing\"\n[[rank]]\nengine = \"bing\"", "defined twice"},
  };
  for (const TCase& c : cases) {
    const TServiceLoad load =
        ParseServices("base = \"current\"\n[[rank]]\n" + c.Entry + "\n", "file", Current());
    const TRankDef& bing = Engine(*load.Table, "bing");
    if (c.Problem.empty()) {
      EXPECT_TRUE(load.Ok()) << ProblemsReport(load);
      EXPECT_EQ(bing.PerPage, 20);
      EXPECT_EQ(bing.Result, Engine(Current(), "bing").Result);
      continue;
    }
    ASSERT_FALSE(load.Ok()) << c.Entry;
    EXPECT_NE(load.Problems.front().Text().find(c.Problem), std::string::npos)
        << c.Entry << "\n"
        << load.Problems.front().Text();
    EXPECT_EQ(bing, Engine(Current(), "bing")) << c.Entry;
  }
}

TEST(RankPage, ReadsTheOrganicResultsOfEachEngineInOrder) {
  struct TCase {
    std::string Engine, Page;
    std::vector<std::string> Hosts;  // of the organic results, in order
    int Skipped;
  } cases[] = {
      {"baidu",
       RankStandIns::BaiduPage(1),
       {"r1.example.org", "www.baidu.com", "r3.example.org", "blog.velmora.test", "r5.example.org",
        "r6.example.org", "r7.example.org", "r8.example.org", "r9.example.org", "r10.example.org"},
       4},
      {"bing",
       RankStandIns::BingPage(1),
       {"r1.example.org", "r2.example.org", "r3.example.org", "r4.example.org", "r5.example.org",
        "r6.example.org", "velmora.test", "r8.example.org", "r9.example.org", "r10.example.org"},
       1},
      {"360",
       RankStandIns::So360Page(2),
       {"r11.example.org", "r12.example.org", "r13.example.org", "r14.example.org",
        "r15.example.org", "r16.example.org", "r17.example.org", "r18.example.org",
        "r19.example.org", "r20.example.org"},
       2},
      {"sogou",
       RankStandIns::SogouPage(),
       {"r1.example.org", "r2.example.org", "www.velmora.test"},
       1},
  };
  for (const TCase& c : cases) {
    const TRankPageReading reading = ReadRankPage(Engine(Current(), c.Engine), c.Page, "");
    EXPECT_FALSE(reading.Blocked) << c.Engine;
    EXPECT_EQ(reading.Problem, "") << c.Engine;
    std::vector<std::string> hosts;
    for (const TRankResult& r : reading.Results) hosts.push_back(r.Host);
    EXPECT_EQ(hosts, c.Hosts) << c.Engine;
    EXPECT_EQ(reading.Skipped, c.Skipped) << c.Engine;
  }
  const auto bing = ReadRankPage(Engine(Current(), "bing"), RankStandIns::BingPage(1), "");
  EXPECT_EQ(bing.Results[6].Url, "https://velmora.test/page");
}

TEST(RankPage, KnowsAVerificationPageByItsTextNodesOrWhereItLed) {
  struct TCase {
    std::string Engine, Page, FinalUrl;
  } cases[] = {
      {"sogou", RankStandIns::SogouVerificationPage(), ""},
      {"sogou", "<html></html>", "https://www.sogou.com/antispider/?from=x"},
      {"baidu", "<title>百度安全验证</title>", ""},
      {"bing", "<div id=b_captcha></div>", ""},
      {"bing", "<p>Please VERIFY you are human</p>", ""},
      {"360", "<p>访问异常，请稍后</p>", ""},
  };
  for (const TCase& c : cases) {
    EXPECT_TRUE(ReadRankPage(Engine(Current(), c.Engine), c.Page, c.FinalUrl).Blocked)
        << c.Engine << " " << c.Page;
  }
  // Not HTML at all, or a GBK page that says so: read, never a crash.
  EXPECT_TRUE(ReadRankPage(Engine(Current(), "bing"), "", "").Results.empty());
  const std::string gbk =
      "<meta charset=gbk><ol id=b_results><li class=b_algo><h2>"
      "<a href='https://www.velmora.test/\xD6\xD0'>x</a></h2></li></ol>";
  const auto read = ReadRankPage(Engine(Current(), "bing"), gbk, "");
  ASSERT_EQ(read.Results.size(), 1u);
  EXPECT_EQ(read.Results[0].Url, "https://www.velmora.test/中");
}

TEST(RankPage, MatchesTheSiteItsTwinOrWithSubdomainsAnyNameUnderIt) {
  struct TCase {
    std::string Site, Host;
    bool Plain, WithSubdomains;
  } cases[] = {
      {"www.velmora.test", "www.velmora.test", true, true},
      {"www.velmora.test", "velmora.test", true, true},
      {"velmora.test", "www.velmora.test", true, true},
      {"velmora.test:8080", "velmora.test", true, true},
      {"www.velmora.test", "blog.velmora.test", false, true},
      {"www.velmora.test", "a.b.velmora.test", false, true},
      {"www.velmora.test", "notvelmora.test", false, false},
      {"www.velmora.test", "velmora.test.evil.org", false, false},
      {"blog.velmora.test", "velmora.test", false, false},
      {"www.velmora.test", "", false, false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(SiteMatchesHost(c.Site, c.Host, false), c.Plain) << c.Site << " " << c.Host;
    EXPECT_EQ(SiteMatchesHost(c.Site, c.Host, true), c.WithSubdomains) << c.Site << " " << c.Host;
  }
  struct TUrl {
    std::string Url, Host;
  } urls[] = {{"HTTPS://User@Www.Velmora.Test.:443/x", "www.velmora.test"},
              {"//velmora.test?q", "velmora.test"},
              {"http://[::1]:80/", "[::1]"},
              {"/link?url=abc", ""},
              {"javascript:void(0)", ""}};
  for (const TUrl& u : urls) EXPECT_EQ(UrlHostName(u.Url), u.Host) << u.Url;
}

TEST(RankPage, DecodesOnlyARedirectThatCarriesAnAbsoluteUrl) {
  const TRankDef& bing = Engine(Current(), "bing");
  struct TCase {
    std::string Url, Landing;
  } cases[] = {
      {"https://cn.bing.com/ck/a?!&&p=1&u=a1aHR0cHM6Ly92ZWxtb3JhLnRlc3QvcGFnZQ&ntb=1",
       "https://velmora.test/page"},
      {"https://cn.bing.com/ck/a?u=a1aHR0cHM6Ly92ZWxtb3JhLnRlc3QvcGFnZQ%3D%3D",
       "https://velmora.test/page"},
      {"https://cn.bing.com/ck/a?u=b1aHR0cHM6Ly92ZWxtb3JhLnRlc3QvcGFnZQ", ""},  // other kind
      {"https://cn.bing.com/ck/a?u=a1!!!", ""},
      {"https://cn.bing.com/ck/a?u=a1Zm9v", ""},  // "foo": no URL
      {"https://cn.bing.com/ck/a?xu=a1aHR0cHM6Ly92ZWxtb3JhLnRlc3QvcGFnZQ", ""},
  };
  for (const TCase& c : cases) {
    const std::string expected = c.Landing.empty() ? c.Url : c.Landing;
    EXPECT_EQ(DecodedLandingUrl(c.Url, bing), expected) << c.Url;
  }
}

class RankRunTest : public ::testing::Test {
 protected:
  std::vector<TRankDef> Ranks() {
    const TServiceLoad load = ParseServices(stand_ins_.Definitions(), "stand-ins", Current());
    EXPECT_TRUE(load.Ok()) << ProblemsReport(load);
    return load.Table->Ranks;
  }
  RankStandIns stand_ins_;
};

TEST_F(RankRunTest, FindsPositionsPageByPageAndStopsAnEngineAtItsVerificationPage) {
  const std::vector<TRankDef> ranks = Ranks();
  TRankAsk ask{.Site = RankStandIns::kSite, .Keywords = {"站长 工具", "第二"}};
  std::vector<std::string> told;
  const TRankReport report = RunRanks(
      ranks, ask,
      {.DelayMs = 0, .OnPosition = [&](const TRankPosition& p) { told.push_back(p.Engine); }});
  ASSERT_EQ(report.Positions.size(), 8u);
  EXPECT_EQ(told.size(), 8u);
  struct TExpected {
    TRankState State;
    int Position, Pages;
    std::string Url;
  } expected[] = {{TRankState::Found, 13, 2, "https://www.velmora.test/tools"},
                  {TRankState::Found, 7, 1, "https://velmora.test/page"},
                  {TRankState::NotInDepth, 0, 10, ""},
                  {TRankState::Blocked, 0, 1, ""}};
  for (size_t k = 0; k < 2; ++k) {
    for (size_t e = 0; e < 4; ++e) {
      const TRankPosition& p = report.Positions[k * 4 + e];
      EXPECT_EQ(p.Keyword, ask.Keywords[k]);
      EXPECT_EQ(p.State, expected[e].State) << p.Engine << " " << p.Reason;
      EXPECT_EQ(p.Position, expected[e].Position) << p.Engine;
      EXPECT_EQ(p.Url, expected[e].Url) << p.Engine;
      // After its verification page, sogou is not asked again.
      EXPECT_EQ(p.Pages, k == 1 && e == 3 ? 0 : expected[e].Pages) << p.Engine;
    }
  }
  EXPECT_EQ(RankStateText(report.Positions[2]), "不在前 100");
  EXPECT_EQ(RankStateText(report.Positions[3]), "被验证页面拦截");
  EXPECT_EQ(stand_ins_.PagesAsked("sogou"), 1);
  EXPECT_EQ(stand_ins_.PagesAsked("360"), 20);
  EXPECT_NE(report.Positions[0].PageUrl.find("wd=%E7%AB%99%E9%95%BF%20%E5%B7%A5%E5%85%B7&pn=10"),
            std::string::npos)
      << report.Positions[0].PageUrl;
}

TEST_F(RankRunTest, SubdomainsDepthAndEnginesAsAsked) {
  const std::vector<TRankDef> ranks = Ranks();
  TRankAsk ask{.Site = RankStandIns::kSite,
               .Keywords = {"k"},
               .Engines = {"BAIDU", "360"},
               .Depth = 25,
               .Subdomains = true};
  // The pages of one engine keep the delay between them: 360's three pages, two delays.
  const TRankReport report = RunRanks(ranks, ask, {.DelayMs = 150});
  EXPECT_GE(report.ElapsedMs, 300);
  ASSERT_EQ(report.Positions.size(), 2u);
  EXPECT_EQ(report.Positions[0].Position, 4);
  EXPECT_EQ(report.Positions[0].Url, "https://blog.velmora.test/post");
  EXPECT_EQ(report.Positions[1].State, TRankState::NotInDepth);
  EXPECT_EQ(report.Positions[1].Pages, 3);
  EXPECT_EQ(RankStateText(report.Positions[1]), "不在前 25");
  // Depth 12 stops short of baidu's 13th.
  ask = {.Site = RankStandIns::kSite, .Keywords = {"k"}, .Engines = {"baidu"}, .Depth = 12};
  EXPECT_EQ(RunRanks(ranks, ask, {.DelayMs = 0}).Positions[0].State, TRankState::NotInDepth);
  // A stop asked before anything is sent: every position stopped, no page asked.
  std::atomic<bool> stop{true};
  const int asked = stand_ins_.PagesAsked("bing");
  for (const TRankPosition& p :
       RunRanks(ranks, {.Site = "a.test", .Keywords = {"k", "l"}}, {.DelayMs = 0, .Stop = &stop})
           .Positions) {
    EXPECT_EQ(p.State, TRankState::Stopped) << p.Engine;
  }
  EXPECT_EQ(stand_ins_.PagesAsked("bing"), asked);
  std::vector<std::string> unknown;
  EXPECT_EQ(RankEngines(ranks, {"bing", "google", "bing"}, unknown).size(), 1u);
  EXPECT_EQ(unknown, std::vector<std::string>{"google"});
}

TEST_F(RankRunTest, AnEngineThatCannotBeReadOrReachedFailsWithTheReason) {
  std::vector<TRankDef> ranks = Ranks();
  // A first page the definition reads nothing from is no "not in the first 100".
  ranks[0].Result = "//div[@class = 'renamed']";
  const TRankReport unread =
      RunRanks(ranks, {.Site = "a.test", .Keywords = {"k"}, .Engines = {"baidu"}}, {.DelayMs = 0});
  EXPECT_EQ(unread.Positions[0].State, TRankState::Failed);
  EXPECT_EQ(unread.Positions[0].Pages, 1);
  EXPECT_NE(unread.Positions[0].Reason.find("没有读到自然结果"), std::string::npos);
  for (TRankDef& def : ranks) def.Url = "http://127.0.0.1:1/s?q={keyword}&p={page}";
  const TRankReport report =
      RunRanks(ranks, {.Site = "a.test", .Keywords = {"k"}, .Engines = {"bing"}}, {.DelayMs = 0});
  EXPECT_EQ(report.Positions[0].State, TRankState::Failed);
  EXPECT_NE(RankStateText(report.Positions[0]).find("失败："), std::string::npos);
}

}  // namespace
