// The query controller without a window: normalising the site name, runs, Stop, the shared
// remaining count, what the jobs deliver and in which order, and the click-to-browse table.
// Workers hand their values over through a plain queue that the test pumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "support/Fakes.h"
#include "query/QueryController.h"
#include "query/UseFunction.h"

namespace {

// What a field shows while the query has not reached it.
std::string Pending() { return StateWord(TFieldState::Pending); }

class QueryControllerTest : public ::testing::Test {
 protected:
  QueryControllerTest() {
    previous_ = SetMainThreadQueue(&queue_);
    fetcher_ = std::make_shared<TScriptedFetcher>();
    services_ = ScriptedServices(fetcher_);
    controller_ = std::make_unique<TQueryController>(view_, opener_, services_);
  }
  ~QueryControllerTest() override {
    for (TGate* gate : {&gate_a_, &gate_b_}) gate->Open();
    EXPECT_TRUE(WaitForWorkers());
    controller_.reset();
    SetMainThreadQueue(previous_);
  }

  bool WaitForWorkers() {
    return queue_.PumpUntil([] { return MyThread::LiveCount() == 0; }, 30000);
  }
  bool PumpUntil(const std::function<bool()>& pred) { return queue_.PumpUntil(pred, 30000); }
  bool Idle() const { return view_.Caption == G(u8"查询"); }
  // Starts a run for `site` and returns whether the controller went to Running.
  bool Press(const std::string& site) {
    view_.WebUrl = site;
    controller_->Begin_btnClick();
    return !Idle();
  }

  TPumpQueue& queue_ = TestPumpQueue();
  TMainThreadQueue* previous_;
  TGate gate_a_, gate_b_;
  std::shared_ptr<TScriptedFetcher> fetcher_;
  TQueryServices services_;
  TRecordingView view_;
  TRecordingOpener opener_;
  std::unique_ptr<TQueryController> controller_;
};

TEST_F(QueryControllerTest, CheckWeburlNormalisesAndShortNamesStartNothing) {
  struct Case {
    const char* typed;
    const char* normalised;
    bool runs;
  };
  const Case cases[] = {
      {"http://site.test/index.html", "site.test", true},
      {"HTTP://Site.test", "Site.test", true},
      {"http://http://site.test", "site.test", true},
      {"hTtP://a.b/hTtP://c", "a.b", true},
      {"https://site.test./x", "site.test", true},  // any scheme, a trailing dot
      {"[::1]:8080", "[::1]:8080", true},
      {"\xd6\xd0\xb9\xfa.cn", "\xd6\xd0\xb9\xfa.cn", true},  // 中国.cn, asked as xn--fiqs8s.cn
      // Refused with a reason; the field keeps what was typed.
      {"site.test:8080 ?q=1", "site.test:8080 ?q=1", false},
      {"a.test?x=1&", "a.test?x=1&", false},
      {"a.test#x", "a.test#x", false},
      {"a\tb.test", "a\tb.test", false},
      {"127.0.0.1:83537", "127.0.0.1:83537", false},
      {"127.0.0.1:-47535", "127.0.0.1:-47535", false},
      {"::1", "::1", false},
      {"-a.test", "-a.test", false},
      {" a ", " a ", false},
      {"", "", false},
      {"ab", "ab", false},
      {"http://ab/cd", "http://ab/cd", false},
      {"/site.test", "/site.test", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(Press(c.typed), c.runs);
    EXPECT_EQ(view_.WebUrl, c.normalised);
    if (c.runs) {
      EXPECT_EQ(view_.Caption, G(u8"停止"));
      EXPECT_EQ(controller_->WorkerCount(), 11);
      ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
      ASSERT_TRUE(WaitForWorkers());
    } else {
      EXPECT_TRUE(Idle());
    }
  }
  // The refused names fetched nothing; every run fetched 26 pages and one picture.
  const auto calls = fetcher_->Calls();
  EXPECT_EQ(calls.size(), 7u * 27u);
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const auto& call) {
    return call.Url.find("site%3Axn--fiqs8s.cn") != std::string::npos;
  }));
}

TEST_F(QueryControllerTest, LoadingFillsTheFieldsInItsOrderAndLeavesThePicture) {
  fetcher_->Holds = {{"http://", &gate_a_}};
  ASSERT_TRUE(Press("site.test"));
  const TResultField order[] = {
      rfSite1, rfSite2, rfSite3,    rfSite4,  rfSite5,  rfSite6,  rfSite7,  rfLink1,  rfLink2,
      rfLink3, rfLink4, rfLink5,    rfLink6,  rfLink7,  rfDmy6,   rfDmy5,   rfDmy4,   rfDmy3,
      rfDmy2,  rfDmy1,  rfWebTitle, rfAlexa1, rfAlexa2, rfAlexa3, rfAlexa4, rfAlexa5, rfAlexa6};
  ASSERT_EQ(view_.Log.size(), std::size(order));
  for (size_t i = 0; i < std::size(order); ++i) {
    EXPECT_EQ(view_.Log[i].first, order[i]) << i;
    EXPECT_EQ(view_.Log[i].second, Pending());
  }
}

TEST_F(QueryControllerTest, RunFillsEveryFieldFromItsOwnPageInTheJobsOrder) {
  const std::string site = "site.test";
  fetcher_->Pages = StandInPages(site, 0xFF0000);
  std::vector<TQueryRecord> finished;
  controller_->OnRunFinished = [&](const TQueryRecord& r) { finished.push_back(r); };
  ASSERT_TRUE(Press(site));
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
  ASSERT_TRUE(WaitForWorkers());
  ASSERT_EQ(finished.size(), 1u);  // the run is reported once, with everything it found
  EXPECT_EQ(finished[0].Site, site);
  EXPECT_GT(finished[0].StartedUnixMs, 1700000000000);
  EXPECT_EQ(finished[0].Picture.State, TFieldState::Value);
  for (int f = 0; f < kTextFieldCount; ++f) {
    EXPECT_EQ(finished[0].Fields[f].Text, view_.Results[f].Text);
    EXPECT_EQ(finished[0].Fields[f].State, TFieldState::Value);
  }

  for (int f = 0; f < kTextFieldCount; ++f) {
    auto field = static_cast<TResultField>(f);
    EXPECT_EQ(view_.Fields[f], ExpectedValue(field, site)) << ResultFieldName(field);
  }
  ASSERT_EQ(view_.Picture.Width, 120);
  ASSERT_EQ(view_.Picture.Height, 90);
  const uint32_t px = view_.Picture.PixelAt(60, 45);
  EXPECT_GT(px >> 16, 0xF0u);
  EXPECT_LT((px >> 8) & 0xFF, 0x10u);

  // Each job's values arrive one by one in the order of its requests.
  for (size_t job = 0; job < FieldsByJob().size(); ++job) {
    const auto& mine = FieldsByJob()[job];
    std::vector<TResultField> seen;
    for (const auto& [field, text] : view_.Log) {
      if (text != Pending() && std::count(mine.begin(), mine.end(), field)) {
        seen.push_back(field);
      }
    }
    EXPECT_EQ(seen, mine) << "job " << job;
  }
  // Job 10's picture comes before its two values.
  auto at = [&](TResultField f) {
    return std::find_if(view_.Log.begin(), view_.Log.end(),
                        [&](const auto& e) { return e.first == f && e.second != Pending(); });
  };
  EXPECT_LT(at(rfPicture), at(rfAlexa1));

  // Exactly the stand-ins' URLs, each in its fetch mode (-1: the picture request).
  std::map<std::string, int> modes;
  for (const auto& call : fetcher_->Calls()) {
    EXPECT_TRUE(fetcher_->Pages.count(call.Url)) << "unexpected URL " << call.Url;
    modes[call.Url] = call.Mode;
  }
  EXPECT_EQ(fetcher_->Calls().size(), 27u);  // the Sogou page is fetched twice
  EXPECT_EQ(modes.size(), fetcher_->Pages.size());
  const std::map<std::string, int> kModeByHost = {
      {"127.0.0.1:8001", 0}, {"127.0.0.1:8002", 1},  {"127.0.0.1:8003", 1}, {"127.0.0.1:8004", 0},
      {"127.0.0.1:8005", 0}, {"127.0.0.1:8006", 1},  {"127.0.0.1:8007", 1}, {"127.0.0.1:8008", 1},
      {"127.0.0.1:8010", 0}, {"127.0.0.1:8011", -1}, {"127.0.0.1:8012", 0}, {"site.test", 4}};
  for (const auto& [url, mode] : modes) {
    const std::string host = url.substr(7, url.find_first_of("/?", 7) - 7);
    ASSERT_TRUE(kModeByHost.count(host)) << url;
    EXPECT_EQ(mode, kModeByHost.at(host)) << url;
  }
}

TEST_F(QueryControllerTest, ValuesArriveWhileTheJobStillWorks) {
  fetcher_->Pages = StandInPages("site.test", 0);
  fetcher_->Holds = {{"wd=domain%3A", &gate_a_}};  // job 1's second request
  ASSERT_TRUE(Press("site.test"));
  ASSERT_TRUE(PumpUntil([&] { return view_.Fields[rfSite1] == "1,230"; }));
  EXPECT_EQ(view_.Fields[rfLink1], Pending());
  EXPECT_FALSE(Idle());
  gate_a_.Open();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
  EXPECT_EQ(view_.Fields[rfLink1], "456");
}

TEST_F(QueryControllerTest, FailedFetchesShowTheirFailureNeverAValue) {
  // No page is known: every fetch is refused, the picture request raises.
  ASSERT_TRUE(Press("down.test"));
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
  for (int f = 0; f < kTextFieldCount; ++f) {
    const TFieldResult& r = view_.Results[f];
    EXPECT_EQ(r.State, TFieldState::Failed) << ResultFieldName(static_cast<TResultField>(f));
    EXPECT_EQ(r.Fetch.End, TFetchEnd::Refused);
    EXPECT_NE(r.Fetch.Url.find("down.test"), std::string::npos) << r.Fetch.Url;
    EXPECT_TRUE(r.Text.empty());
  }
  EXPECT_EQ(view_.Results[rfWebTitle].Fetch.Url, "http://down.test");
  EXPECT_TRUE(view_.Picture.Empty());
  EXPECT_EQ(view_.PictureResult.State, TFieldState::Failed);
}

TEST_F(QueryControllerTest, StopEndsTheRunAndMarksWhatItCancelled) {
  fetcher_->Pages = StandInPages("site.test", 0x00FF00);
  fetcher_->Holds = {{"http://", &gate_a_}};
  ASSERT_TRUE(Press("site.test"));
  ASSERT_TRUE(fetcher_->WaitEntered(11, 30000));  // every job is inside its first request
  EXPECT_EQ(view_.Progress, std::make_pair(0, 11));
  controller_->Begin_btnClick();                  // Stop
  EXPECT_TRUE(Idle());
  EXPECT_EQ(view_.Progress, std::make_pair(0, 0));
  for (int f = 0; f < kTextFieldCount; ++f) EXPECT_EQ(view_.Results[f].State, TFieldState::Stopped);
  gate_a_.Open();
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(controller_->RemainingCount(), 0);
  EXPECT_TRUE(Idle());
  // The eleven requests under way end as stopped at their next step; nothing further was
  // asked.
  EXPECT_EQ(fetcher_->Calls().size(), 11u);
  for (int f = 0; f < kTextFieldCount; ++f) {
    EXPECT_EQ(view_.Results[f].State, TFieldState::Stopped) << ResultFieldName(static_cast<TResultField>(f));
    EXPECT_EQ(view_.Fields[f], G(u8"已停止"));
  }
}

TEST_F(QueryControllerTest, StopAfterSomeWorkersAreGoneTouchesOnlyTheLiving) {
  fetcher_->Holds = {{"127.0.0.1:8001", &gate_a_}};  // Baidu: jobs 1 and 8 stay
  ASSERT_TRUE(Press("site.test"));
  ASSERT_TRUE(PumpUntil([] { return MyThread::LiveCount() == 2; }));
  EXPECT_EQ(controller_->RemainingCount(), 2);
  EXPECT_EQ(view_.Progress, std::make_pair(9, 11));
  controller_->Begin_btnClick();  // Stop reaches the two living workers only
  EXPECT_TRUE(Idle());
  gate_a_.Open();
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(controller_->RemainingCount(), 0);
}

TEST_F(QueryControllerTest, AStoppedRunNeitherEndsNorFillsTheNextOne) {
  fetcher_->Pages = StandInPages("one.test", 0);
  for (auto& [url, page] : StandInPages("two.test", 0)) fetcher_->Pages[url] = page;
  fetcher_->Holds = {{"one.test", &gate_a_}, {"two.test", &gate_b_}};

  ASSERT_TRUE(Press("one.test"));
  ASSERT_TRUE(fetcher_->WaitEntered(11, 30000));
  controller_->Begin_btnClick();  // Stop
  ASSERT_TRUE(Idle());
  ASSERT_TRUE(Press("two.test"));
  ASSERT_TRUE(fetcher_->WaitEntered(22, 30000));
  EXPECT_EQ(controller_->RemainingCount(), 11);

  // The first run's workers end; their values belong to another site and are dropped, and
  // their completions do not count for the second run.
  gate_a_.Open();
  ASSERT_TRUE(PumpUntil([] { return MyThread::LiveCount() == 11; }));
  EXPECT_FALSE(Idle());
  EXPECT_EQ(controller_->RemainingCount(), 11);
  for (int f = 0; f < kTextFieldCount; ++f) EXPECT_EQ(view_.Fields[f], Pending());

  gate_b_.Open();
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(controller_->RemainingCount(), 0);
  EXPECT_TRUE(Idle());
  for (int f = 0; f < rfAlexa6; ++f) {  // the load time depends on how the runs interleaved
    const auto field = static_cast<TResultField>(f);
    EXPECT_EQ(view_.Fields[f], ExpectedValue(field, "two.test")) << ResultFieldName(field);
  }
}

TEST_F(QueryControllerTest, SiteNameGoesIntoQueriesPercentEncoded) {
  const std::string site = "[::1]:8080";
  ASSERT_TRUE(Press(site));
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
  for (const auto& call : fetcher_->Calls()) {
    const bool in_query = call.Url.find('?') != std::string::npos;
    EXPECT_NE(call.Url.find(in_query ? "%5B::1%5D:8080" : "/[::1]:8080"), std::string::npos)
        << call.Url;
  }
}

TEST_F(QueryControllerTest, SnapshotDelimiterComparesTheNameByteForByte) {
  fetcher_->Pages = StandInPages("site.test", 0);
  // The same pages served for a name in other letter case: the snapshot's start delimiter
  // holds "Site.Test" and the page only "site.test".
  std::map<std::string, std::string> pages;
  for (const auto& [url, page] : fetcher_->Pages) {
    pages[ReplaceAll(url, "site.test", "Site.Test")] = page;
  }
  fetcher_->Pages = pages;
  ASSERT_TRUE(Press("Site.Test"));
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
  EXPECT_EQ(view_.Results[rfAlexa5].State, TFieldState::NoMatch);
  EXPECT_EQ(view_.Fields[rfSite1], "1,230");
}

TEST_F(QueryControllerTest, ValuesAfterTheControllerIsGoneAreDropped) {
  fetcher_->Pages = StandInPages("site.test", 0);
  fetcher_->Holds = {{"http://", &gate_a_}};
  ASSERT_TRUE(Press("site.test"));
  ASSERT_TRUE(fetcher_->WaitEntered(11, 30000));
  const size_t logged = view_.Log.size();
  controller_.reset();  // the window closes while every worker is busy
  gate_a_.Open();
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(view_.Log.size(), logged);
}

TEST(BrowseUrlTest, EveryTagOpensItsSearchForTheSiteName) {
  const TServiceHosts h = StandInHosts();
  const std::string s = "site.test";
  const std::map<int, std::string> expected = {
      {1, "http://127.0.0.1:8009/siteinfo/site.test"},
      {2, "http://127.0.0.1:8010/overview/Info.do?url=site.test"},
      {3, "http://127.0.0.1:8005/web?query=site.test"},
      {4, "http://127.0.0.1:8014"},
      {11, "http://127.0.0.1:8001/s?wd=site:site.test"},
      {12, "http://127.0.0.1:8002/search?hl=zh-CN&q=site:site.test"},
      {13, "http://127.0.0.1:8003/search?bwm=p&p=site.test"},
      {14, "http://127.0.0.1:8004/q?w=site:site.test"},
      {15, "http://127.0.0.1:8005/web?query=site.test"},
      {16, "http://127.0.0.1:8006/search?q=site:site.test"},
      {17, "http://127.0.0.1:8007/search?q=site:site.test"},
      {21, "http://127.0.0.1:8001/s?wd=domain:site.test"},
      {22, "http://127.0.0.1:8002/search?hl=zh-CN&q=link:site.test"},
      {23, "http://127.0.0.1:8003/search?bwm=i&p=site.test"},
      {24, "http://127.0.0.1:8004/q?pid=s.idx&w=link:site.test"},
      {25, "http://127.0.0.1:8005/web?query=link:site.test"},
      {26, "http://127.0.0.1:8006/search?q=link:site.test"},
      {27, "http://127.0.0.1:8007/search?q=link:site.test"},
      {31, "http://127.0.0.1:8001/s?tn=baiduadv&lm=1&wd=site:site.test"},
      {32, "http://127.0.0.1:8001/s?tn=baiduadv&lm=30&wd=site:site.test"},
      {33, "http://127.0.0.1:8001/s?tn=baiduadv&lm=360&wd=site:site.test"},
      {34,
       "http://127.0.0.1:8002/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Ad&q="
       "site%3Asite.test"},
      {35,
       "http://127.0.0.1:8002/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Am&q="
       "site%3Asite.test"},
      {36,
       "http://127.0.0.1:8002/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Ay&q="
       "site%3Asite.test"},
  };
  for (int tag = -1; tag <= 40; ++tag) {
    auto it = expected.find(tag);
    EXPECT_EQ(BrowseUrl(tag, s, h), it == expected.end() ? "" : it->second) << "Tag " << tag;
  }
  EXPECT_EQ(BrowseUrl(4, "ignored", h), "http://127.0.0.1:8014");
  EXPECT_EQ(BrowseUrl(11, "[::1]:80", h), "http://127.0.0.1:8001/s?wd=site:%5B::1%5D:80");
}

}  // namespace
