// The history in the window, offscreen: a finished run is stored, the right-click menu opens the
// trend of a field (failed runs break the line, every run is a row) or all seven index counts,
// and a history in trouble says so once.
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

#include "support/Fakes.h"
#include "QtTestSupport.h"
#include "history/SqliteHistoryStore.h"
#include "window/Main.h"
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
  ASSERT_EQ(menu->actions().size(), 3);
  EXPECT_EQ(menu->actions()[0]->text(), U(u8"历史趋势…"));
  EXPECT_EQ(menu->actions()[1]->text(), U(u8"全部收录"));
  EXPECT_EQ(menu->actions()[2]->text(), U(u8"服务定义"));
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
  EXPECT_EQ(menu->actions().size(), 2);
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

}  // namespace
