// The history in the window, offscreen: a finished run is stored, the right-click menu opens the
// trend of a field (failed runs break the line, every run is a row) or all seven index counts,
// and a history in trouble says so once. The check-up dialog: a row per check as its report
// says, the trend of a check-up's number, and a check-up started from the menu is stored.
#include <gtest/gtest.h>

#include <QAction>
#include <QChart>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScatterSeries>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <set>

#include "QtTestSupport.h"
#include "history/SqliteHistoryStore.h"
#include "http/NetRequestPacer.h"
#include "support/AuditStandIns.h"
#include "support/CrawlStandIn.h"
#include "support/Fakes.h"
#include "support/PeerDaemons.h"
#include "transport/NetResolver.h"
#include "runtime/CodePage.h"
#include "window/Main.h"
#include "window/QtAlertsDialog.h"
#include "window/QtAuditDialog.h"
#include "window/QtCrawlDialog.h"
#include "window/QtMainThreadQueue.h"
#include "window/QtTrendDialog.h"

namespace {

class TrendTest : public ::testing::Test {
 protected:
  TrendTest() {
    previous_ = SetMainThreadQueue(g_qt_queue);
    char tmpl[] = "/tmp/velmora-trend-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    fetcher_ = std::make_shared<TScriptedFetcher>();
  }
  ~TrendTest() override {
    EXPECT_TRUE(QTest::qWaitFor([] { return MyThread::LiveCount() == 0; }, 30000));
    form_.reset();
    SetMainThreadQueue(previous_);
    std::filesystem::remove_all(dir_);
  }
  TMainForm& Form(THistoryStore* history) {
    form_ = std::make_unique<TMainForm>(ScriptedServices(fetcher_), opener_);
    form_->SetHistory(history);
    form_->show();
    return *form_;
  }
  std::string Path() const { return dir_ + "/history.sqlite3"; }

  TMainThreadQueue* previous_;
  std::string dir_;
  std::shared_ptr<TScriptedFetcher> fetcher_;
  TRecordingOpener opener_;
  TSqliteHistoryStore store_;  // outlives the window
  std::unique_ptr<TMainForm> form_;
};

// 30 daily runs of example.com: growing index counts, Baidu's (Site1) failing on days 7 and 8
// (time-out) and 20 (blocked); Yahoo's never answering after day 24; Youdao's a "0" on day 12.
void StoreThirtyRuns(THistoryStore& store) {
  const int64_t day = 24LL * 3600 * 1000;
  const int64_t start = 1793520000000LL;  // 2026-11-01 08:00 UTC
  for (int i = 0; i < 30; ++i) {
    TQueryRecord r;
    r.Site = "example.com";
    r.StartedUnixMs = start + i * day + (i % 3) * 3600 * 1000;
    const int base[7] = {52000, 31000, 9000, 7400, 22000, 4800, 15000};
    for (int e = 0; e < 7; ++e) {
      TFieldResult& f = r.Fields[rfSite1 + e];
      f.State = TFieldState::Value;
      f.Fetch.End = TFetchEnd::Fetched;
      const int n = base[e] + i * (120 + 40 * e) + (i * 37 % 11) * 90 * (e + 1);
      f.Text = std::to_string(n / 1000) + "," + std::to_string(1000 + n % 1000).substr(1);
    }
    TFetchOutcome timeout;
    timeout.End = TFetchEnd::ReadTimeout;
    timeout.ElapsedMs = 20000;
    timeout.Url = "http://www.baidu.com/s?wd=site%3Aexample.com";
    if (i == 7 || i == 8) r.Fields[rfSite1] = FailedField(timeout);
    if (i == 20) {
      TFetchOutcome refused = timeout;
      refused.End = TFetchEnd::HttpStatus;
      refused.HttpStatus = 429;
      r.Fields[rfSite1] = FailedField(refused);
    }
    if (i >= 24) r.Fields[rfSite3] = FailedField(timeout);
    if (i == 12) r.Fields[rfSite6].Text = "0";
    if (i >= 27) r.ServiceSet = "current";  // the last runs asked today's services
    ASSERT_TRUE(store.Record(r));
    TQueryRecord other = r;  // another site's runs stay out of the dialog
    other.Site = "other.org";
    ASSERT_TRUE(store.Record(other));
  }
}

std::vector<QLineSeries*> Lines(QChart* chart, const QString& name) {
  std::vector<QLineSeries*> lines;
  for (QAbstractSeries* s : chart->series()) {
    if (auto* l = qobject_cast<QLineSeries*>(s); l && l->name() == name) lines.push_back(l);
  }
  return lines;
}

TEST_F(TrendTest, FailedRunsAreGapsAndEveryRunIsARow) {
  THistoryStore& store = store_;
  ASSERT_TRUE(store.Open(Path()));
  StoreThirtyRuns(store);
  TMainForm& form = Form(&store);
  form.WebUrl->setText("http://Example.com/about");  // the site as a query would take it

  QMenu* menu = form.HistoryMenu(rfSite1);
  ASSERT_TRUE(menu);
  ASSERT_EQ(menu->actions().size(), 8);  // and a separator
  EXPECT_EQ(menu->actions()[0]->text(), U(u8"历史趋势…"));
  EXPECT_EQ(menu->actions()[1]->text(), U(u8"全部收录"));
  EXPECT_EQ(menu->actions()[2]->text(), U(u8"服务定义"));
  EXPECT_EQ(menu->actions()[4]->text(), U(u8"关键词排名…"));
  EXPECT_EQ(menu->actions()[5]->text(), U(u8"站点体检…"));
  EXPECT_EQ(menu->actions()[6]->text(), U(u8"全站体检…"));
  EXPECT_EQ(menu->actions()[7]->text(), U(u8"提醒…"));
  EXPECT_EQ(form.Field(rfSite1)->contextMenuPolicy(), Qt::CustomContextMenu);
  menu->actions()[0]->trigger();
  delete menu;
  auto* dialog = form.findChild<TTrendDialog*>("TrendDialog");
  ASSERT_TRUE(dialog);

  // Runs 0-6, 9-19 and 21-26 give three stretches of line and 27-29 (another set of
  // definitions) a fourth; the points mark all 27 numbers.
  const QString baidu = FromGbk(ResultFieldCaption(rfSite1));
  std::vector<QLineSeries*> lines = Lines(dialog->Chart(), baidu);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]->count(), 7);
  EXPECT_EQ(lines[1]->count(), 11);
  EXPECT_EQ(lines[2]->count(), 6);
  EXPECT_EQ(lines[3]->count(), 3);
  EXPECT_EQ(lines[0]->at(0).y(), 52000);
  EXPECT_LT(lines[0]->at(6).x(), lines[1]->at(0).x());
  EXPECT_EQ(dialog->Chart()->series().size(), 5);  // one field: four lines and its points

  QTableWidget* table = dialog->Table();
  ASSERT_EQ(table->rowCount(), 30);
  ASSERT_EQ(table->columnCount(), 2);
  EXPECT_EQ(table->horizontalHeaderItem(1)->text(), baidu);
  EXPECT_EQ(table->item(0, 1)->text(), "52,000");
  EXPECT_EQ(table->item(7, 1)->text(), U(u8"无法访问：读取超时"));
  EXPECT_EQ(table->item(20, 1)->text(), U(u8"被拦截（HTTP 429）"));
  EXPECT_NE(table->item(7, 1)->toolTip().indexOf("baidu.com"), -1);
  EXPECT_FALSE(dialog->Note()->isVisible());

  // Not an index count: no "全部收录".
  menu = form.HistoryMenu(rfAlexa1);
  ASSERT_TRUE(menu);
  EXPECT_EQ(menu->actions().size(), 7);
  delete menu;

  // "全部收录": the seven engines in one chart, each broken where it failed.
  dialog->close();  // deletes itself
  menu = form.HistoryMenu(rfSite4);
  menu->actions()[1]->trigger();
  delete menu;
  QTest::qWait(0);
  dialog = form.findChild<TTrendDialog*>("TrendDialog");
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->Chart()->title(), U(u8"全部收录"));
  int points = 0;
  for (QAbstractSeries* s : dialog->Chart()->series()) points += !!qobject_cast<QScatterSeries*>(s);
  EXPECT_EQ(points, 7);
  // Broken where it failed and where the runs changed their set of definitions.
  EXPECT_EQ(Lines(dialog->Chart(), baidu).size(), 4u);
  EXPECT_EQ(Lines(dialog->Chart(), FromGbk(ResultFieldCaption(rfSite3))).size(), 1u);  // ends early
  EXPECT_EQ(Lines(dialog->Chart(), FromGbk(ResultFieldCaption(rfSite6))).size(), 2u);  // "0" counts
  EXPECT_EQ(dialog->Table()->columnCount(), 8);
  EXPECT_EQ(dialog->Table()->rowCount(), 30);
  SaveScreenshot(*dialog, "trend.png");
}

// "提醒…" lists the site's alerts, newest first, those of its queries and its check-ups alike.
TEST_F(TrendTest, TheAlertsMenuShowsTheSitesAlertsNewestFirst) {
  ASSERT_TRUE(store_.Open(Path()));
  const auto alert = [](std::string site, std::string rule, std::string run) {
    return THistoryAlert{.Site = std::move(site), .Kind = "query", .Rule = std::move(rule),
                         .Subject = "Site1", .Before = "1000", .After = "400",
                         .Message = Utf8Bytes(u8"百度收录从 1000 降到 400，少了 60%。"),
                         .RunId = std::move(run), .RaisedUnixMs = 1765100000000};
  };
  ASSERT_TRUE(store_.UpdateAlerts({alert("example.com", "index-drop", "r1"),
                                   alert("other.org", "index-drop", "r1")}, {}));
  ASSERT_TRUE(store_.UpdateAlerts({alert("Example.com", "home-unreachable", "r2")}, {1}));
  TMainForm& form = Form(&store_);
  form.WebUrl->setText("http://Example.com/about");
  QMenu* menu = form.HistoryMenu(rfSite1);
  ASSERT_TRUE(menu);
  for (QAction* action : menu->actions()) {
    if (action->text() == QString::fromUtf8(u8"提醒…")) action->trigger();
  }
  delete menu;
  auto* dialog = form.findChild<TAlertsDialog*>("AlertsDialog");
  ASSERT_TRUE(dialog);
  QTableWidget* table = dialog->Table();
  ASSERT_EQ(table->rowCount(), 2);
  EXPECT_EQ(table->item(0, 1)->text(), "home-unreachable (Site1)");
  EXPECT_EQ(table->item(1, 2)->text(), U(u8"1000 → 400"));
  EXPECT_EQ(table->item(1, 4)->text(), U(u8"已消除"));
  EXPECT_EQ(table->item(0, 4)->text(), U(u8"仍然存在"));
  SaveScreenshot(*dialog, "alerts.png");
}

TEST_F(TrendTest, AFinishedRunIsStoredAndTroubleIsShownOnce) {
  TMainForm& bare = Form(nullptr);  // without a history: no menu, no trend
  EXPECT_EQ(bare.HistoryMenu(rfSite1), nullptr);
  EXPECT_EQ(bare.ShowTrend({rfSite1}), nullptr);
  EXPECT_NE(bare.Field(rfSite1)->contextMenuPolicy(), Qt::CustomContextMenu);

  // A corrupt history: set aside when opened, and the window says so once.
  std::ofstream(Path()) << "not a database";
  THistoryStore& store = store_;
  ASSERT_TRUE(store.Open(Path()));
  const std::string site = "site.test";
  fetcher_->Pages = StandInPages(site, 0x00FF00);
  TMainForm& form = Form(&store);
  auto boxes = [&] { return form.findChildren<QMessageBox*>("HistoryMessage").size(); };
  ASSERT_EQ(boxes(), 1);
  EXPECT_NE(form.findChild<QMessageBox*>("HistoryMessage")->text().indexOf(U(u8"已损坏")), -1);

  form.WebUrl->setText(QString::fromStdString(site));
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.Begin_btn->text() == U(u8"查询"); }, 30000));
  EXPECT_EQ(boxes(), 1);  // nothing new to say
  const std::vector<THistoryQuery> runs = store.Series(site);
  ASSERT_EQ(runs.size(), 1u);
  for (int f = 0; f < kTextFieldCount; ++f) {
    const auto field = static_cast<TResultField>(f);
    EXPECT_EQ(runs[0].Record.Fields[f].Text, ExpectedValue(field, site)) << ResultFieldName(field);
  }
  EXPECT_EQ(runs[0].Numbers[rfSite1], FieldNumber(rfSite1, ExpectedValue(rfSite1, site)));
  EXPECT_EQ(runs[0].Record.Picture.State, TFieldState::Value);
}

// Check-ups kept in memory, as a store hands them over.
class TAuditShelf : public THistoryStore {
 public:
  std::vector<TAuditReport> Audits;
  bool Open(const std::string&, const TOptions&) override { return true; }
  bool IsOpen() const override { return true; }
  bool Record(const TQueryRecord&, const std::string&) override { return true; }
  bool EachRun(const THistoryFilter&, const std::function<void(const THistoryQuery&)>&) override {
    return true;
  }
  int64_t QueryCount() override { return 0; }
  bool RecordAudit(const TAuditReport& report, const std::string&) override {
    Audits.push_back(report);
    return true;
  }
  bool EachAudit(const THistoryFilter& filter,
                 const std::function<void(const TAuditReport&)>& visit) override {
    for (const TAuditReport& r : Audits)
      if (!filter.Site || *filter.Site == r.Site) visit(r);
    return true;
  }
  bool RecordRanks(const TRankReport&, const std::string&) override { return true; }
  bool EachRank(const std::string&, const std::string&,
                const std::function<void(const TRankPoint&)>&) override {
    return true;
  }
  bool SetRankKeywords(const std::string&, const std::vector<std::string>&) override {
    return true;
  }
  std::vector<std::string> RankKeywords(const std::string&) override { return {}; }
  bool UpdateAlerts(const std::vector<THistoryAlert>&, const std::vector<int64_t>&) override {
    return true;
  }
  bool EachAlert(const std::string&, bool,
                 const std::function<void(const THistoryAlert&)>&) override {
    return true;
  }
};

struct TAuditRow {
  TAuditResult Result;
  const char8_t* Mark;
  const char8_t* Tooltip;  // "" when it is markup made plain: must not show as a tag
};

// A report of every mark, with texts from a site that must stay plain text.
std::vector<TAuditRow> AuditRows() {
  using N = TAuditNumber;
  auto r = [](TAuditCheck check, TAuditMark mark, std::string value, std::string reason,
              std::string url, std::vector<std::string> details,
              std::vector<std::pair<N, double>> numbers = {}) {
    return TAuditResult{check, mark, value, reason, url, details, numbers};
  };
  return {
      {r(TAuditCheck::Https, TAuditMark::Pass, "301 → https://a.example/", "一次永久跳转到 https",
         "http://a.example/", {"http://a.example/ → 301 → https://a.example/"}),
       u8"通过", u8"http://a.example/\nhttp://a.example/ → 301 → https://a.example/"},
      {r(TAuditCheck::Certificate, TAuditMark::Warn, "15 天", "证书将在 21 天内到期",
         "https://a.example/", {"颁发者：Test CA", "TLS 1.3"}, {{N::CertificateDaysLeft, 15}}),
       u8"注意", u8"https://a.example/\n颁发者：Test CA\nTLS 1.3"},
      {r(TAuditCheck::Hsts, TAuditMark::Fail, "无", "https 的回答没有 Strict-Transport-Security",
         "https://a.example/", {}),
       u8"未通过", u8"https://a.example/"},
      {r(TAuditCheck::Robots, TAuditMark::Unable, "", "robots.txt 读取超时",
         "https://a.example/robots.txt", {}),
       u8"无法检查", u8"https://a.example/robots.txt"},
      {r(TAuditCheck::Sitemap, TAuditMark::Pass, "1200 个 URL", "3 个文件", "",
         {"https://a.example/sitemap.xml"}, {{N::SitemapUrls, 1200}}),
       u8"通过", u8"https://a.example/sitemap.xml"},
      {r(TAuditCheck::Head, TAuditMark::Warn, "<h1> ×2", "有 2 个 <h1>", "", {"<b>标题</b> 太短"}),
       u8"注意", u8""},
      {r(TAuditCheck::Compression, TAuditMark::Pass, "gzip 12 KiB / 48 KiB", "压缩传输",
         "https://a.example/", {}),
       u8"通过", u8"https://a.example/"},
      {r(TAuditCheck::Speed, TAuditMark::Pass, "首字节 120 ms", "首字节时间在 600 ms 以内",
         "https://a.example/", {}, {{N::FirstByteMs, 120}, {N::PageBytes, 49152}}),
       u8"通过", u8"https://a.example/"},
      {r(TAuditCheck::Addresses, TAuditMark::Pass, "A 2，AAAA 1", "有 IPv6 地址", "", {}), u8"通过",
       u8""},
  };
}

TAuditReport AuditReport(int64_t started_ms) {
  TAuditReport report{"a.example", started_ms, 2300, {}};
  for (const TAuditRow& row : AuditRows()) report.Results.push_back(row.Result);
  return report;
}

TEST_F(TrendTest, TheAuditDialogShowsEachCheckAsItsReportSays) {
  TAuditShelf shelf;
  const int64_t day = 24LL * 3600 * 1000, start = 1793520000000LL;
  for (int i = 0; i < 3; ++i) shelf.Audits.push_back(AuditReport(start + i * day));
  shelf.Audits[1].Results[1] = {TAuditCheck::Certificate, TAuditMark::Unable, "", "连接被拒绝",
                                "https://a.example/"};
  auto* dialog = new TAuditDialog(&shelf);
  const TAuditReport report = AuditReport(start + 3 * day);
  dialog->Fill(report);
  dialog->show();
  QTableWidget* table = dialog->Table();
  const std::vector<TAuditRow> rows = AuditRows();
  ASSERT_EQ(table->rowCount(), static_cast<int>(rows.size()));
  for (int i = 0; i < table->rowCount(); ++i) {
    const TAuditResult& r = rows[i].Result;
    EXPECT_EQ(table->item(i, 0)->text(), U(rows[i].Mark)) << i;
    EXPECT_EQ(table->item(i, 1)->text(), QString::fromUtf8(AuditCheckCaption(r.Check))) << i;
    EXPECT_EQ(table->item(i, 2)->text(), QString::fromStdString(r.Value)) << i;
    EXPECT_EQ(table->item(i, 3)->text(), QString::fromStdString(r.Reason)) << i;
    const QString tip = table->item(i, 2)->toolTip();
    if (*rows[i].Tooltip != 0 || r.Details.empty()) {
      EXPECT_EQ(tip, U(rows[i].Tooltip)) << i;
    } else {  // markup from the site is shown as text
      EXPECT_NE(tip.indexOf("&lt;b&gt;"), -1) << tip.toStdString();
    }
  }
  EXPECT_NE(table->item(0, 0)->foreground().color(), table->item(2, 0)->foreground().color());
  EXPECT_EQ(table->item(3, 0)->foreground().color(), kGrey);
  EXPECT_NE(dialog->Summary()->text().indexOf(U(u8"未通过")), -1);  // the worst mark

  // A double-click on the certificate's row: its days left over the stored check-ups, the one
  // that could not measure them a gap that says why.
  emit table->cellDoubleClicked(1, 2);
  auto* trend = dialog->findChild<TTrendDialog*>("TrendDialog");
  ASSERT_TRUE(trend);
  EXPECT_EQ(trend->Chart()->title(),
            QString::fromUtf8(AuditNumberCaption(TAuditNumber::CertificateDaysLeft)));
  ASSERT_EQ(trend->Table()->rowCount(), 3);
  EXPECT_EQ(trend->Table()->item(0, 1)->text(), "15");
  EXPECT_EQ(trend->Table()->item(1, 1)->text(), U(u8"无法检查：连接被拒绝"));
  EXPECT_EQ(Lines(trend->Chart(), trend->Chart()->title()).size(), 2u);
  EXPECT_EQ(dialog->ShowTrend(TAuditNumber::PageBytes) != nullptr, true);
  dialog->close();
}

TEST_F(TrendTest, ACheckUpFromTheMenuRunsBesideTheWindowAndIsStored) {
  TAuditShelf shelf;
  TMainForm& form = Form(&shelf);
  form.WebUrl->setText("ab");  // no site name: said, nothing runs
  EXPECT_EQ(form.ShowAudit(), nullptr);
  EXPECT_EQ(form.findChildren<QMessageBox*>("SiteMessage").size(), 1);

  RefusedLoopbackPort gone;
  const std::string site = "127.0.0.1:" + std::to_string(gone.Port());
  form.WebUrl->setText(QString::fromStdString(site));
  // Closed at once: its end is dropped, and nothing is stored.
  auto* dropped = static_cast<TAuditDialog*>(form.ShowAudit());
  ASSERT_TRUE(dropped);
  delete dropped;
  QMenu* menu = form.HistoryMenu(rfSite1);
  for (QAction* action : menu->actions()) {
    if (action->text() == QString::fromUtf8(u8"站点体检…")) action->trigger();
  }
  delete menu;
  auto* dialog = form.findChild<TAuditDialog*>("AuditDialog");
  ASSERT_TRUE(dialog);
  EXPECT_TRUE(dialog->Running());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Running(); }, 60000));
  EXPECT_TRUE(QTest::qWaitFor([] { return TAuditDialog::RunningCount() == 0; }, 60000));
  EXPECT_EQ(dialog->Table()->rowCount(), kAuditCheckCount);
  ASSERT_EQ(shelf.Audits.size(), 1u);
  EXPECT_EQ(shelf.Audits[0].Site, site);
  EXPECT_EQ(shelf.Audits[0].Results.size(), static_cast<size_t>(kAuditCheckCount));
  SaveScreenshot(*dialog, "audit-run.png");
}

TEST_F(TrendTest, TheStandInSitesCheckedUpInTheDialogShowTheirMarksAndAreStored) {
  AuditStandIns sites;
  SetNetNameServers(sites.Dns().Server());
  ASSERT_TRUE(store_.Open(Path()));
  for (const std::string name : {"good", "bad", "silent"}) {
    SCOPED_TRACE(name);
    const AuditStandInSite& site = sites.Site(name);
    auto* dialog = new TAuditDialog(&store_);
    dialog->show();
    TAuditOptions options;
    options.TimeoutMs = name == "silent" ? 1500 : 5000;
    options.Pacing = std::make_shared<TNetRequestPacer>(std::chrono::milliseconds(5), 4,
                                                        TNetRequestPacer::TFrom::Start,
                                                        TNetRequestPacer::TServer::Host);
    dialog->Start({site.host, site.host, site.http_port, site.https_port}, options);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Running(); }, 30000));
    for (const AuditStandInRow& row : AuditStandInRows()) {
      if (row.Site != name) continue;
      const int i = static_cast<int>(row.Check);
      const QString mark = dialog->Table()->item(i, 0)->text();
      EXPECT_TRUE(
          std::any_of(row.Marks.begin(), row.Marks.end(),
                      [&](TAuditMark m) { return mark == QString::fromUtf8(AuditMarkWord(m)); }))
          << AuditCheckName(row.Check) << ": " << mark.toStdString();
      const QString said =
          dialog->Table()->item(i, 2)->text() + " " + dialog->Table()->item(i, 3)->text();
      EXPECT_TRUE(said.contains(QString::fromUtf8(row.Text))) << said.toStdString();
    }
    if (name == "bad") SaveScreenshot(*dialog, "audit.png");
    dialog->close();
  }
  // Each check-up is in the history as the dialog showed it.
  for (const std::string name : {"good", "bad", "silent"}) {
    std::vector<TAuditReport> stored;
    EXPECT_TRUE(store_.EachAudit({.Site = sites.Site(name).host},
                                 [&](const TAuditReport& r) { stored.push_back(r); }));
    ASSERT_EQ(stored.size(), 1u) << name;
    for (const AuditStandInRow& row : AuditStandInRows()) {
      if (row.Site != name) continue;
      const TAuditResult* result = stored[0].Find(row.Check);
      ASSERT_NE(result, nullptr);
      EXPECT_NE(std::find(row.Marks.begin(), row.Marks.end(), result->Mark), row.Marks.end())
          << name << " " << AuditCheckName(row.Check);
    }
  }
  SetNetNameServers("");
}

}  // namespace

TEST_F(TrendTest, TheCrawlDialogGroupsTheStandInSitesFindingsAndSavesItsReport) {
  CrawlStandInSite site;
  auto* dialog = new TCrawlDialog(Path());
  TCrawlOptions options;
  options.ReadTimeoutMs = 5000;
  dialog->Start(site.Site(), site.Site(), options);
  dialog->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Running(); }, 120000));
  EXPECT_TRUE(QTest::qWaitFor([] { return TCrawlDialog::RunningCount() == 0; }, 60000));
  std::set<std::string> planted;
  for (const CrawlStandInFinding& f : CrawlStandInFindings()) planted.insert(f.Rule);
  std::set<std::string> shown;
  int broken_row = -1;
  for (int row = 0; row < dialog->Rules()->rowCount(); ++row) {
    shown.insert(dialog->Rules()->item(row, 0)->text().toStdString());
    if (dialog->Rules()->item(row, 0)->text() == "broken-link") broken_row = row;
  }
  shown.erase("slow");  // a loaded machine may make any page slow
  planted.erase("slow");
  EXPECT_EQ(shown, planted);
  ASSERT_GE(broken_row, 0);
  dialog->Rules()->setCurrentCell(broken_row, 0);
  EXPECT_EQ(dialog->Pages()->rowCount(), 2);  // the home page's links to /missing and /error
  const std::string report = dir_ + "/crawl.html";
  ASSERT_TRUE(dialog->SaveReport(report));
  std::ifstream in(report);
  const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(html.find("<svg"), std::string::npos);
  SaveScreenshot(*dialog, "crawl.png");
  if (const char* dir = std::getenv("VELMORA_SCREENSHOTS")) {
    std::filesystem::copy_file(report, std::string(dir) + "/crawl-report.html",
                               std::filesystem::copy_options::overwrite_existing);
  }
  delete dialog;
}
