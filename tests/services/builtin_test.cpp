// The built-in definitions file: it reproduces the table the program was built with, byte for
// byte, and a whole query driven by it (or by a user's file over it) against the stand-in
// services makes the same requests and shows the same values.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "query/QueryController.h"
#include "runtime/CodePage.h"
#include "services/ServiceFile.h"
#include "support/NotingFetchers.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

// The job table as it was compiled into the program before it became a file.
TServiceTable TableBeforeTheFile() {
    auto g = [](const char8_t* s) { return Gbk(s); };
    // clang-format off
    const TStepList baidu = {
        {TStepKind::Between, g(u8"百度一下，找到相关网页"), g(u8"篇")}, {TStepKind::Remove, g(u8"约")}, {TStepKind::DigitsOnly}};
    const TStepList google = {{TStepKind::Between, g(u8"获得约 <b>"), g(u8"</b> 条结果")}, {TStepKind::DigitsOnly}};
    const TStepList soso = {{TStepKind::Between, g(u8"搜索到约"), g(u8"项结果")}, {TStepKind::DigitsOnly}};
    const TStepList sogou = {{TStepKind::Between, g(u8"找到 "), g(u8" <!--resultbarnum:")}, {TStepKind::DigitsOnly}};
    const TStepList youdao = {
        {TStepKind::Between, g(u8"<span class=\"fr\">共"), g(u8"条结果</span>")}, {TStepKind::Remove, g(u8"约")}};
    const TStepList bing = {{TStepKind::Between, g(u8"1 - 10 条结果"), g(u8"</span>")},
                            {TStepKind::Remove, g(u8"（共 ")}, {TStepKind::Remove, g(u8" 条）")}, {TStepKind::DigitsOnly}};
    const std::string period = "http://{Google}/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3A";
    TServiceTable t;
    t.Requests = {
        {0, "WebTitle", "http://{site}", TFetchMode::Declared, {{{TStepKind::Rule, "<title>[velmora]</title>"}}}},
        {1, "Site1", "http://{Baidu}/s?wd=site%3A{site}", TFetchMode::Raw, {baidu}},
        {1, "Link1", "http://{Baidu}/s?wd=domain%3A{site}", TFetchMode::Raw, {baidu}},
        {1, "Alexa5", "http://{Baidu}/s?wd={site}", TFetchMode::Raw, {{{TStepKind::BetweenSite, "<b>", "</b>/", "</font>"}}}},
        {2, "Site2", "http://{Google}/search?hl=zh-CN&q=site%3A{site}", TFetchMode::Utf8, {google}},
        {2, "Link2", "http://{Google}/search?hl=zh-CN&q=link%3A{site}", TFetchMode::Utf8,
         {{{TStepKind::Between, g(u8"约有 <b>"), g(u8"</b> 条链接到 <b>")}, {TStepKind::DigitsOnly}}}},
        {2, "Alexa3", "http://{PageRank}/pr.asp?weburl={site}", TFetchMode::Raw,
         {{{TStepKind::Between, "images/pr/", ".gif"}, {TStepKind::DigitsOnly}}}},
        {3, "Site3", "http://{Yahoo}/search?bwm=p&p={site}", TFetchMode::Utf8,
         {{{TStepKind::Between, g(u8"<em>被收录的网页： 共 <strong>"), g(u8"</strong> 条")}, {TStepKind::DigitsOnly}}}},
        {3, "Link3", "http://{Yahoo}/search?bwm=i&p={site}", TFetchMode::Utf8,
         {{{TStepKind::Between, g(u8"<em>链向该地址的网页： 共 <strong>"), g(u8"</strong> 条")}, {TStepKind::DigitsOnly}}}},
        {4, "Site4", "http://{Soso}/q?w=site%3A{site}", TFetchMode::Raw, {soso}},
        {4, "Link4", "http://{Soso}/q?pid=s.idx&w=link%3A{site}", TFetchMode::Raw, {soso}},
        {5, "Site5", "http://{Sogou}/web?query={site}", TFetchMode::Raw, {sogou}},
        {5, "Link5", "http://{Sogou}/web?query=link%3A{site}", TFetchMode::Raw, {sogou}},
        {5, "Alexa4", "http://{Sogou}/web?query={site}", TFetchMode::Raw,
         {{{TStepKind::Between, g(u8"搜狗评级:"), "/100"}, {TStepKind::DigitsOnly}, {TStepKind::Append, "/100"}}}},
        {6, "Site6", "http://{Youdao}/search?q=site%3A{site}", TFetchMode::Utf8, {youdao}},
        {6, "Link6", "http://{Youdao}/search?q=link%3A{site}", TFetchMode::Utf8, {youdao}},
        {7, "Site7", "http://{Bing}/search?q=site%3A{site}", TFetchMode::Utf8, {bing}},
        {7, "Link7", "http://{Bing}/search?q=link%3A{site}", TFetchMode::Utf8, {bing}},
        {8, "Dmy1", "http://{Baidu}/s?tn=baiduadv&lm=1&wd=site%3A{site}", TFetchMode::Raw, {baidu}},
        {8, "Dmy2", "http://{Baidu}/s?tn=baiduadv&lm=30&wd=site%3A{site}", TFetchMode::Raw, {baidu}},
        {8, "Dmy3", "http://{Baidu}/s?tn=baiduadv&lm=360&wd=site%3A{site}", TFetchMode::Raw, {baidu}},
        {9, "Dmy4", period + "d&q=site%3A{site}", TFetchMode::Utf8, {google}},
        {9, "Dmy5", period + "m&q=site%3A{site}", TFetchMode::Utf8, {google}},
        {9, "Dmy6", period + "y&q=site%3A{site}", TFetchMode::Utf8, {google}},
        {10, "Image1", "http://{Thumbnail}/image.aspx?url=http://{site}", TFetchMode::Raw, {}},
        {10, "Alexa1", "http://{AlexaSearch}/search?r=site_screener&p=bigtop&q={site}", TFetchMode::Utf8,
         {{{TStepKind::Rule, g(u8"Alexa Traffic Rank:</span>(*)trafficstats\">\\s+[velmora]</a>")}, {TStepKind::DigitsOnly}}}},
        {10, "Alexa2", "http://{ChinaRank}/overview/Info.do?url={site}", TFetchMode::Raw,
         {{{TStepKind::Between, g(u8"当前排名：</span><span class=\"rank_font_y2\">"), "</span>"}, {TStepKind::DigitsOnly}}}},
    };
    // clang-format on
    return t;
}


// The window as the controller sees it, keeping the last result of every field.
class TRecordingView : public TQueryView {
 public:
  std::string Site;
  std::string Caption = Gbk(u8"查询");
  std::map<std::string, TFieldResult> Fields;
  TFieldResult Picture;

  void SetFieldResult(TResultField field, const TFieldResult& result) override {
    Fields[ResultFieldName(field)] = result;
  }
  void SetPicture(const TRgbImage*, const TFieldResult& result) override { Picture = result; }
  void ShowProgress(int, int) override {}
  std::string WebUrlText() const override { return Site; }
  void SetWebUrlText(const std::string& text) override { Site = text; }
  std::string BeginCaption() const override { return Caption; }
  void SetBeginCaption(const std::string& caption) override { Caption = caption; }
};

class TNoBrowser : public TUrlOpener {
 public:
  void OpenUrl(const std::string&) override {}
};

// One whole query of the stand-ins' site with `table`, on a pumped main-thread queue.
struct TQueryRun {
  TRecordingView View;
  std::vector<std::string> Urls;  // sorted
};

void RunQuery(StandInServices& stand_ins, std::shared_ptr<const TServiceTable> table,
              TQueryRun& run) {
  TPumpQueue queue;
  TMainThreadQueue* previous = SetMainThreadQueue(&queue);
  auto pages = std::make_shared<TNotingPages>();
  TQueryServices services = DefaultQueryServices();
  services.Pages = pages;
  services.Images = std::make_shared<TNotingImages>(pages);
  services.Hosts = StandInServiceHosts(stand_ins);
  services.Table = std::move(table);
  TNoBrowser browser;
  {
    TQueryController controller(run.View, browser, services);
    run.View.Site = stand_ins.HostFor(StandIn::Site);
    controller.Begin_btnClick();
    // The bound only keeps a broken run from hanging the suite.
    EXPECT_TRUE(queue.PumpUntil(
        [&] { return controller.RemainingCount() == 0 && MyThread::LiveCount() == 0; }, 120000));
  }
  queue.Pump();
  SetMainThreadQueue(previous);
  run.Urls = pages->Urls();
  std::sort(run.Urls.begin(), run.Urls.end());
}

// The 27 URLs of a query of `site` with every definition built in, sorted.
std::vector<std::string> BuiltInUrls(const StandInServices& s, const std::string& site) {
  auto h = [&](StandIn service) { return "http://" + s.HostFor(service); };
  const std::string period =
      h(StandIn::Google) + "/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3A";
  std::vector<std::string> urls = {
      "http://" + site,
      h(StandIn::Baidu) + "/s?wd=site%3A" + site,
      h(StandIn::Baidu) + "/s?wd=domain%3A" + site,
      h(StandIn::Baidu) + "/s?wd=" + site,
      h(StandIn::Google) + "/search?hl=zh-CN&q=site%3A" + site,
      h(StandIn::Google) + "/search?hl=zh-CN&q=link%3A" + site,
      h(StandIn::PageRank) + "/pr.asp?weburl=" + site,
      h(StandIn::Yahoo) + "/search?bwm=p&p=" + site,
      h(StandIn::Yahoo) + "/search?bwm=i&p=" + site,
      h(StandIn::Soso) + "/q?w=site%3A" + site,
      h(StandIn::Soso) + "/q?pid=s.idx&w=link%3A" + site,
      h(StandIn::Sogou) + "/web?query=" + site,
      h(StandIn::Sogou) + "/web?query=link%3A" + site,
      h(StandIn::Sogou) + "/web?query=" + site,
      h(StandIn::Youdao) + "/search?q=site%3A" + site,
      h(StandIn::Youdao) + "/search?q=link%3A" + site,
      h(StandIn::Bing) + "/search?q=site%3A" + site,
      h(StandIn::Bing) + "/search?q=link%3A" + site,
      h(StandIn::Baidu) + "/s?tn=baiduadv&lm=1&wd=site%3A" + site,
      h(StandIn::Baidu) + "/s?tn=baiduadv&lm=30&wd=site%3A" + site,
      h(StandIn::Baidu) + "/s?tn=baiduadv&lm=360&wd=site%3A" + site,
      period + "d&q=site%3A" + site,
      period + "m&q=site%3A" + site,
      period + "y&q=site%3A" + site,
      h(StandIn::Thumbnail) + "/image.aspx?url=http://" + site,
      h(StandIn::Alexa) + "/search?r=site_screener&p=bigtop&q=" + site,
      h(StandIn::ChinaRank) + "/overview/Info.do?url=" + site,
  };
  std::sort(urls.begin(), urls.end());
  return urls;
}

TEST(BuiltInServices, TheFileReproducesTheTableTheProgramWasBuiltWith) {
  const TServiceLoad load = ParseServices(BuiltInServicesText(), "builtin", TServiceTable{});
  EXPECT_TRUE(load.Ok()) << ProblemsReport(load);
  const TServiceTable before = TableBeforeTheFile();
  ASSERT_EQ(load.Table->Requests.size(), before.Requests.size());
  for (size_t i = 0; i < before.Requests.size(); ++i) {
    EXPECT_EQ(load.Table->Requests[i], before.Requests[i]) << before.Requests[i].Field;
  }
  EXPECT_EQ(BuiltInServiceTable(), before);
  // The three delimiters with double quotes, at their known byte lengths.
  EXPECT_EQ(before.Requests[14].Rules[0][0].A.size(), 19u);  // Youdao
  EXPECT_EQ(before.Requests[26].Rules[0][0].A.size(), 44u);  // ChinaRank
  // Every field of the window once, and the thumbnail.
  for (int f = 0; f < kTextFieldCount; ++f) {
    if (f == rfAlexa6) continue;  // job 0's load time, delivered with the title
    const std::string name = ResultFieldName(static_cast<TResultField>(f));
    EXPECT_EQ(std::count_if(before.Requests.begin(), before.Requests.end(),
                            [&](const TRequestDef& d) { return d.Field == name; }),
              1)
        << name;
  }
}

// The current set reads without a fault and defines every field once; a user's file laid over it
// by base = "current" changes only what it names, its [defaults] going to its own entries.
TEST(BuiltInServices, TheCurrentSetIsCompleteAndAFileCanLayOverIt) {
  const TServiceLoad load =
      ParseServices(BuiltInServicesText(kCurrentSet), "current", TServiceTable{});
  EXPECT_TRUE(load.Ok()) << ProblemsReport(load);
  const TServiceTable& current = *BuiltInServiceSet(kCurrentSet);
  EXPECT_EQ(current.Name, kCurrentSet);
  EXPECT_EQ(current.Requests.size(), BuiltInServiceTable().Requests.size());
  for (const TRequestDef& classic : BuiltInServiceTable().Requests) {
    EXPECT_EQ(std::count_if(current.Requests.begin(), current.Requests.end(),
                            [&](const TRequestDef& d) { return d.Field == classic.Field; }),
              1)
        << classic.Field;
  }
  const TServiceLoad user = ParseServices(
      "base = \"current\"\n[defaults]\nheaders = { User-Agent = 'mine' }\n"
      "[[field]]\nname = \"Site6\"\nenabled = false\n",
      "user.toml", BuiltInServiceTable());
  ASSERT_TRUE(user.Ok()) << ProblemsReport(user);
  EXPECT_EQ(user.Table->Name, kCurrentSet);
  for (size_t i = 0; i < current.Requests.size(); ++i) {
    TRequestDef expected = current.Requests[i];
    if (expected.Field == "Site6") {
      expected.Enabled = false;
      expected.Headers = {{"User-Agent", "mine"}};
    }
    EXPECT_EQ(user.Table->Requests[i], expected) << expected.Field;
  }
}

TEST(BuiltInServices, AWholeQueryMakesTodaysRequestsAndShowsTodaysValues) {
  StandInServices stand_ins;
  auto table = ParseServices(BuiltInServicesText(), "builtin", TServiceTable{}).Table;
  TQueryRun run;
  RunQuery(stand_ins, table, run);
  const std::string site = stand_ins.HostFor(StandIn::Site);
  EXPECT_EQ(run.Urls, BuiltInUrls(stand_ins, site));
  for (const auto& [name, value] : StandInServices::ExpectedFields(site)) {
    EXPECT_EQ(run.View.Fields[name].State, TFieldState::Value) << name;
    EXPECT_EQ(run.View.Fields[name].Text, value) << name;
  }
  EXPECT_EQ(run.View.Picture.State, TFieldState::Value);
  // 27 requests, and the first visits Sogou's cookie redirect sends round.
  EXPECT_EQ(stand_ins.RequestCount(), 27u + stand_ins.RequestsFor(StandIn::Sogou).size() - 3u);
}

// A user's file that moves one URL, mends one rule with a fallback and switches one request
// off; every other field keeps its built-in definition.
TEST(BuiltInServices, AUsersFileChangesOnlyWhatItNames) {
  const std::string file = R"(
[[field]]
name = "Site1"
job = 1
url = "http://{Baidu}/s?wd=domain%3A{site}"
mode = 0
steps = [{ between = ['百度一下，找到相关网页', '篇'] }, { remove = '约' }, 'digits']

[[field]]
name = "Alexa2"
job = 10
url = "http://{ChinaRank}/overview/Info.do?url={site}"
mode = 0
steps = [{ between = ['排名已改版', '</span>'] }, 'digits']
fallbacks = [[{ rule = '当前排名：</span><span class="rank_font_y2">[velmora]</span>' }, 'digits']]

[[field]]
name = "Site3"
enabled = false
)";
  const TServiceLoad load = ParseServices(file, "user.toml", BuiltInServiceTable());
  ASSERT_TRUE(load.Ok()) << ProblemsReport(load);
  const TServiceTable& builtin = BuiltInServiceTable();
  ASSERT_EQ(load.Table->Requests.size(), builtin.Requests.size());
  for (size_t i = 0; i < builtin.Requests.size(); ++i) {
    const TRequestDef& got = load.Table->Requests[i];
    const TRequestDef& was = builtin.Requests[i];
    EXPECT_EQ(got.Field, was.Field);
    if (was.Field == "Site1") {
      EXPECT_EQ(got.Url, "http://{Baidu}/s?wd=domain%3A{site}");
    } else if (was.Field == "Alexa2") {
      EXPECT_EQ(got.Rules.size(), 2u);
    } else if (was.Field == "Site3") {
      EXPECT_FALSE(got.Enabled);
      EXPECT_EQ(got.Url, was.Url);
    } else {
      EXPECT_EQ(got, was) << was.Field;
    }
  }

  StandInServices stand_ins;
  TQueryRun run;
  RunQuery(stand_ins, load.Table, run);
  const std::string site = stand_ins.HostFor(StandIn::Site);
  auto expected = StandInServices::ExpectedFields(site);
  expected["Site1"] = expected["Link1"];  // asked as Link1 is
  expected.erase("Site3");
  for (const auto& [name, value] : expected) EXPECT_EQ(run.View.Fields[name].Text, value) << name;
  EXPECT_EQ(run.View.Fields["Site3"].State, TFieldState::Disabled);
  EXPECT_EQ(run.Urls.size(), 26u);
  EXPECT_EQ(std::count(run.Urls.begin(), run.Urls.end(),
                       "http://" + stand_ins.HostFor(StandIn::Baidu) + "/s?wd=domain%3A" + site),
            2);
}

}  // namespace

// A GBK character whose second byte is '{' (憑) or '}' (倉) is text, not a placeholder.
TEST(BuiltInServices, UrlTemplatesReadWholeCharacters) {
  const std::string text = Gbk(u8"憑倉");
  const std::string url = ExpandUrl("http://{Baidu}/s?q=" + text + "&wd={site}", "s.test",
                                    DefaultServiceHosts());
  EXPECT_EQ(url, "http://" + *FindServiceHost(DefaultServiceHosts(), "Baidu") + "/s?q=" + text +
                     "&wd=s.test");
  // The site in a query is percent-encoded; in a path it stands as it is.
  EXPECT_EQ(ExpandUrl("http://h/{site}/?q={site}", "[::1]:8080", DefaultServiceHosts()),
            "http://h/[::1]:8080/?q=%5B::1%5D:8080");
}
