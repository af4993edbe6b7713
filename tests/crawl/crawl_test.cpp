// The crawl against the stand-in site: exactly the planted findings, new and gone ones after the
// site changed, a stopped crawl resumed without asking a page again, and the page reader's
// table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "audit/PageHead.h"
#include "crawl/CrawlHtmlReport.h"
#include "crawl/CrawlRules.h"
#include "crawl/Crawler.h"
#include "support/CrawlStandIn.h"

namespace {

class CrawlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velmora-crawl-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    ASSERT_TRUE(store_.Open((dir_ / "history.sqlite3").string())) << store_.Message();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  TCrawlOutcome Crawl(TCrawlOptions options = {}) {
    options.ReadTimeoutMs = 5000;
    return TCrawler(store_, options).Run(site_.Site());
  }
  std::vector<TCrawlFinding> Findings(int64_t crawl) {
    std::vector<TCrawlFinding> findings;
    EXPECT_TRUE(store_.EachFinding(crawl, [&](const TCrawlFinding& f) { findings.push_back(f); }));
    return findings;
  }
  std::string UrlOf(const char* path) {
    return std::string(path) == "DEAD" ? site_.DeadUrl() : site_.Url(path);
  }
  // The finding of rule about path whose detail holds `detail`, if any.
  const TCrawlFinding* Find(const std::vector<TCrawlFinding>& findings, const std::string& rule,
                            const std::string& url, const std::string& detail = "") {
    for (const TCrawlFinding& f : findings) {
      if (f.Rule == rule && f.Url == url && f.Detail.find(detail) != std::string::npos) return &f;
    }
    return nullptr;
  }
  // Request targets the site was asked more than once.
  std::vector<std::string> AskedTwice() {
    std::map<std::string, int> asked;
    for (const std::string& target : site_.Requests()) ++asked[target];
    std::vector<std::string> twice;
    for (const auto& [target, n] : asked) {
      // A 429 is asked again; robots.txt is read again when a stopped crawl goes on.
      if (n > 1 && target != "/throttle" && target != "/robots.txt") twice.push_back(target);
    }
    return twice;
  }

  std::filesystem::path dir_;
  CrawlStandInSite site_;
  TCrawlStore store_;
};

TEST_F(CrawlTest, FindsExactlyThePlantedFaults) {
  const TCrawlOutcome outcome = Crawl();
  ASSERT_EQ(outcome.State, "done") << outcome.Reason;
  const std::vector<TCrawlFinding> findings = Findings(outcome.Crawl);
  for (const CrawlStandInFinding& want : CrawlStandInFindings()) {
    EXPECT_NE(Find(findings, want.Rule, UrlOf(want.Path), want.Detail), nullptr)
        << want.Rule << " " << want.Path << " " << want.Detail;
  }
  for (const TCrawlFinding& f : findings) {
    // A loaded machine may make any page slow; only the planted faults are asserted otherwise.
    if (f.Rule == "slow") continue;
    const bool planted = std::any_of(CrawlStandInFindings().begin(), CrawlStandInFindings().end(),
                                     [&](const CrawlStandInFinding& want) {
                                       return want.Rule == f.Rule && UrlOf(want.Path) == f.Url;
                                     });
    EXPECT_TRUE(planted) << "not planted: " << f.Rule << " " << f.Url << " " << f.Detail;
    EXPECT_EQ(f.Change, TCrawlChange::New);
  }
  const std::vector<std::string> asked = site_.Requests();
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "/private"), 0) << "robots.txt shuts it";
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "/bot-only"), 1) << "VelmoraBot may read it";
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "/throttle"), 2) << "429, then 200";
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "/calendar?m=4"), 0) << "the trap is cut";
  EXPECT_TRUE(AskedTwice().empty()) << AskedTwice().front();

  // The report holds every rule found and draws its charts inline.
  std::ostringstream html;
  WriteCrawlHtmlBegin(html);
  WriteCrawlHtmlSite(html, store_, outcome);
  WriteCrawlHtmlEnd(html);
  EXPECT_NE(html.str().find("<svg"), std::string::npos);
  EXPECT_NE(html.str().find("redirect-loop"), std::string::npos);
  EXPECT_EQ(html.str().find("<script"), std::string::npos);
}

TEST_F(CrawlTest, TheNextCrawlTellsNewGoneAndStillThere) {
  ASSERT_EQ(Crawl().State, "done");
  site_.Change();
  const TCrawlOutcome second = Crawl();
  ASSERT_EQ(second.State, "done") << second.Reason;
  const std::vector<TCrawlFinding> findings = Findings(second.Crawl);
  struct TRow {
    const char* Rule;
    const char* Path;
    const char* Detail;
    TCrawlChange Change;
  };
  for (const TRow& row : std::vector<TRow>{
           {"http-4xx", "/missing", "", TCrawlChange::Gone},
           {"broken-link", "/", "/missing", TCrawlChange::Gone},
           {"http-4xx", "/new-missing", "", TCrawlChange::New},
           {"broken-link", "/", "/new-missing", TCrawlChange::New},
           {"title-missing", "/notitle", "", TCrawlChange::Still},
       }) {
    const TCrawlFinding* f = Find(findings, row.Rule, UrlOf(row.Path), row.Detail);
    ASSERT_NE(f, nullptr) << row.Rule << " " << row.Path;
    EXPECT_EQ(f->Change, row.Change) << row.Rule << " " << row.Path;
  }
  ASSERT_EQ(store_.Crawls(site_.Site()).size(), 2u);
  // The page with an ETag was asked with it and its stored reading reused: still clean.
  const std::vector<std::string> heads = site_.Heads();
  EXPECT_EQ(std::count_if(heads.begin(), heads.end(),
                          [](const std::string& h) {
                            return h.rfind("GET /a ", 0) == 0 &&
                                   h.find("If-None-Match: \"a-1\"") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(std::count_if(findings.begin(), findings.end(),
                          [&](const TCrawlFinding& f) { return f.Url == site_.Url("/a"); }),
            0);
}

TEST_F(CrawlTest, AStoppedCrawlGoesOnWithoutAskingAPageAgain) {
  TCrawlOptions options;
  options.Connections = 1;
  options.Stopped = [&] { return site_.Requests().size() >= 12; };
  const TCrawlOutcome first = Crawl(options);
  ASSERT_EQ(first.State, "stopped");
  options.Stopped = nullptr;
  options.Resume = true;
  const TCrawlOutcome resumed = Crawl(options);
  ASSERT_EQ(resumed.State, "done") << resumed.Reason;
  EXPECT_TRUE(resumed.Resumed);
  EXPECT_EQ(resumed.Crawl, first.Crawl);
  // The one request under way when the crawl stopped had no answer stored: it is asked again.
  EXPECT_LE(AskedTwice().size(), 1u) << ::testing::PrintToString(AskedTwice());
  EXPECT_NE(Find(Findings(resumed.Crawl), "redirect-loop", site_.Url("/loop1")), nullptr);
}

TEST(CrawlRulesTest, EveryRuleIsKnownByItsIdAndSaysWhatItMeans) {
  std::set<std::string_view> ids;
  for (const TCrawlRule& rule : CrawlRules()) {
    EXPECT_TRUE(ids.insert(rule.Id).second) << rule.Id;
    EXPECT_EQ(FindCrawlRule(rule.Id), &rule);
    EXPECT_FALSE(rule.Meaning.empty()) << rule.Id;
  }
  EXPECT_EQ(FindCrawlRule("no-such-rule"), nullptr);
}

struct TReaderRow {
  const char* Html;
  const char* Title;  // "(none)" for no title
  int H1s;
  bool NoIndex;
  int ImagesWithoutAlt;
  const char* BaseHref;
  std::vector<std::pair<std::string, TPageLinkKind>> Links;
};

// What the page reader reads of a body for the crawl.
TPageBody BodyOf(std::string_view html) {
  return *ReadPageHead(html, TNetDeadline::Never(), {}, true).Body;
}

TEST(PageBodyTest, ReadsWhatACrawlerNeeds) {
  using enum TPageLinkKind;
  const std::vector<TReaderRow> rows = {
      {"<title>  A \n title </title><h1>x</h1><h1>y</h1>", "A title", 2, false, 0, "", {}},
      {"<p>no head</p>", "(none)", 0, false, 0, "", {}},
      {"<base href=/sub/><a href=p>p</a><a href=' q '>q</a><a>none</a><a href=''>e</a>",
       "(none)",
       0,
       false,
       0,
       "/sub/",
       {{"p", Anchor}, {"q", Anchor}}},
      {"<link rel='Canonical' href=/c><link rel=alternate hreflang=en href=/en>"
       "<link rel=alternate href=/feed><link rel=stylesheet href=/s.css>",
       "(none)",
       0,
       false,
       0,
       "",
       {{"/c", Canonical}, {"/en", Alternate}, {"/s.css", Style}}},
      {"<img src=a.png alt=''><img src=b.png><script src=j.js></script><iframe src=f></iframe>",
       "(none)",
       0,
       false,
       1,
       "",
       {{"a.png", Image}, {"b.png", Image}, {"j.js", Script}, {"f", Frame}}},
      {"<meta name=ROBOTS content='NOINDEX,follow'>", "(none)", 0, true, 0, "", {}},
      {"<meta name=robots content=' none '>", "(none)", 0, true, 0, "", {}},
  };
  for (const TReaderRow& row : rows) {
    const TPageHead head = ReadPageHead(row.Html, TNetDeadline::Never(), {}, true);
    EXPECT_EQ(head.Title ? head.Title->Text : "(none)", row.Title) << row.Html;
    EXPECT_EQ(head.H1Count, row.H1s) << row.Html;
    EXPECT_EQ(std::any_of(head.RobotsMetas.begin(), head.RobotsMetas.end(),
                          [](const std::string& m) { return RobotsSaysNoindex(m); }),
              row.NoIndex)
        << row.Html;
    EXPECT_EQ(head.Body->ImagesWithoutAlt, row.ImagesWithoutAlt) << row.Html;
    EXPECT_EQ(head.Body->BaseHref, row.BaseHref) << row.Html;
    std::vector<std::pair<std::string, TPageLinkKind>> links;
    for (const TPageLink& l : head.Body->Links) links.emplace_back(l.Url, l.Kind);
    EXPECT_EQ(links, row.Links) << row.Html;
  }
  // The same visible text hashes the same however it is laid out; scripts do not count.
  EXPECT_EQ(BodyOf("<p>one  two</p>").TextHash,
            BodyOf("<div>one\n<b>two</b></div><script>x=1</script>").TextHash);
  EXPECT_NE(BodyOf("<p>one</p>").TextHash, BodyOf("<p>two</p>").TextHash);
  EXPECT_EQ(BodyOf("<script>only</script>").TextHash, "");
}

}  // namespace

// Rules that need an https site, judged from pages stored as a crawl would store them.
TEST(CrawlStoreTest, JudgesWhatAnHttpsSiteGetsWrong) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("velmora-crawl-store-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  {
    TCrawlStore store;
    ASSERT_TRUE(store.Open((dir / "h.sqlite3").string())) << store.Message();
    bool resumed = false;
    const int64_t crawl = store.Begin("s.example", false, resumed);
    ASSERT_NE(crawl, 0);
    auto page = [&](const std::string& url, int status, auto&& fill) {
      TCrawlPage p;
      p.Id = store.Add(crawl, url, true, 1);
      ASSERT_TRUE(store.Take(crawl, true).has_value());
      p.Url = url;
      p.Depth = 1;
      p.Status = status;
      fill(p);
      store.Store(crawl, p,
                  [](const TCrawlLink&, bool&, std::optional<int>&, TCrawlUrlState& state) {
                    state = TCrawlUrlState::Skipped;
                  });
    };
    page("https://s.example/a", 200, [](TCrawlPage& p) {
      p.Html = true;
      p.Title = "A page whose title is long enough to pass";
      p.TitleChars = 41;
      p.Description = "a";
      p.H1Count = 1;
      p.MixedContent = {"http://s.example/i.png", "http://cdn.example/s.js"};
    });
    page("https://s.example/old", 301, [](TCrawlPage& p) { p.Location = "http://s.example/a"; });
    ASSERT_TRUE(store.Judge(crawl));
    std::vector<TCrawlFinding> findings;
    store.EachFinding(crawl, [&](const TCrawlFinding& f) { findings.push_back(f); });
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_EQ(findings[0].Rule, "redirect-to-http");
    EXPECT_EQ(findings[0].Url, "https://s.example/old");
    EXPECT_EQ(findings[1].Rule, "mixed-content");
    EXPECT_NE(findings[1].Detail.find("http://cdn.example/s.js"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}
