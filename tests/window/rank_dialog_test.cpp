// The keyword positions dialog, offscreen, against the stand-in engines: the menus open it, the
// keywords are kept, the cells fill with each engine's position (or why there is none) and the
// change since the run before, the run is stored, and a keyword's trend draws 1 at the top.
#include <gtest/gtest.h>

#include <QAction>
#include <QChart>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QValueAxis>
#include <filesystem>

#include "QtTestSupport.h"
#include "history/SqliteHistoryStore.h"
#include "services/ServiceFile.h"
#include "support/Fakes.h"
#include "support/RankStandIns.h"
#include "window/Main.h"
#include "window/QtMainThreadQueue.h"
#include "window/QtRankDialog.h"
#include "window/QtTrendDialog.h"

namespace {

class RankDialogTest : public ::testing::Test {
 protected:
  RankDialogTest() {
    previous_ = SetMainThreadQueue(g_qt_queue);
    char tmpl[] = "/tmp/velmora-rankdlg-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    EXPECT_TRUE(store_.Open(dir_ + "/history.sqlite3"));
    const TServiceLoad load =
        ParseServices(stand_ins_.Definitions(), "stand-ins", *BuiltInServiceSet(kCurrentSet));
    ranks_ = load.Table->Ranks;
  }
  ~RankDialogTest() override {
    EXPECT_TRUE(QTest::qWaitFor([] { return TRankDialog::RunningCount() == 0; }, 30000));
    SetMainThreadQueue(previous_);
    std::filesystem::remove_all(dir_);
  }
  TRankDialog* Dialog() {
    auto* dialog = new TRankDialog(&store_, ranks_, RankStandIns::kSite, RankStandIns::kSite);
    dialog->SetRunOptions({.DelayMs = 0});
    dialog->show();
    return dialog;
  }
  QString Cell(TRankDialog* d, int row, int column) {
    return d->Table()->item(row, column) ? d->Table()->item(row, column)->text() : QString();
  }

  TMainThreadQueue* previous_;
  std::string dir_;
  RankStandIns stand_ins_;
  TSqliteHistoryStore store_;
  std::vector<TRankDef> ranks_;
};

TEST_F(RankDialogTest, AsksTheKeptKeywordsShowsEachEngineAndTheChangeAndStoresTheRun) {
  // Two runs from before: baidu at 20 then 15, bing not found then found at 9.
  const int64_t day = 24LL * 3600 * 1000, start = 1793520000000LL;
  for (int i = 0; i < 2; ++i) {
    TRankReport old{.Site = RankStandIns::kSite, .StartedUnixMs = start + i * day};
    old.Positions = {
        {.Keyword = "站长工具",
         .Engine = "baidu",
         .State = TRankState::Found,
         .Position = i == 0 ? 20 : 15,
         .Url = "https://www.velmora.test/"},
        {.Keyword = "站长工具",
         .Engine = "bing",
         .State = i == 0 ? TRankState::NotInDepth : TRankState::Found,
         .Position = i == 0 ? 0 : 9},
        {.Keyword = "站长工具", .Engine = "360", .State = TRankState::Found, .Position = 3},
    };
    ASSERT_TRUE(store_.RecordRanks(old));
  }
  ASSERT_TRUE(store_.SetRankKeywords(RankStandIns::kSite, {"站长工具"}));

  TRankDialog* dialog = Dialog();
  ASSERT_EQ(dialog->Table()->rowCount(), 1);
  EXPECT_EQ(dialog->Keywords()->toPlainText(), U(u8"站长工具"));
  EXPECT_EQ(Cell(dialog, 0, 0), U(u8"15  ↑5"));  // the stored run, against the one before
  EXPECT_EQ(Cell(dialog, 0, 1), U(u8"9  新"));

  dialog->Keywords()->setPlainText(U(u8"站长工具\n\n seo \n站长工具"));
  QTest::mouseClick(dialog->AskButton(), Qt::LeftButton);
  ASSERT_TRUE(dialog->Running());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Running(); }, 60000));
  ASSERT_EQ(dialog->Table()->rowCount(), 2);
  EXPECT_EQ(Cell(dialog, 0, 0), U(u8"13  ↑2"));
  EXPECT_EQ(Cell(dialog, 0, 1), U(u8"7  ↑2"));
  EXPECT_EQ(Cell(dialog, 0, 2), U(u8"不在前 100"));
  EXPECT_EQ(Cell(dialog, 0, 3), U(u8"被验证页面拦截"));
  EXPECT_EQ(Cell(dialog, 1, 0), "13");
  EXPECT_EQ(dialog->Table()->item(0, 0)->toolTip().split('\n')[0],
            "https://www.velmora.test/tools");
  EXPECT_EQ(stand_ins_.PagesAsked("sogou"), 1);  // blocked: the second keyword is not asked
  EXPECT_EQ(store_.RankKeywords(RankStandIns::kSite),
            (std::vector<std::string>{"站长工具", "seo"}));
  int stored = 0;
  store_.EachRank(RankStandIns::kSite, "seo", [&](const auto&) { ++stored; });
  EXPECT_EQ(stored, 4);
  SaveScreenshot(*dialog, "ranks.png");

  // The trend of a keyword: a line per engine, 1 drawn at the top, a row per run.
  auto* trend = static_cast<TTrendDialog*>(dialog->ShowTrend("站长工具"));
  ASSERT_TRUE(trend);
  EXPECT_EQ(trend->Table()->rowCount(), 3);
  EXPECT_EQ(trend->Table()->item(2, 1)->text(), "13");
  EXPECT_EQ(trend->Table()->item(0, 2)->text(), U(u8"不在前 100"));
  const auto axes = trend->Chart()->axes(Qt::Vertical);
  ASSERT_EQ(axes.size(), 1);
  EXPECT_TRUE(static_cast<QValueAxis*>(axes[0])->isReverse());
  EXPECT_EQ(static_cast<QValueAxis*>(axes[0])->min(), 1);
  SaveScreenshot(*trend, "ranks-trend.png");
  dialog->close();
}

TEST_F(RankDialogTest, TheMenusOpenItForTheTypedSiteAndClosingDropsTheRun) {
  auto fetcher = std::make_shared<TScriptedFetcher>();
  TRecordingOpener opener;
  TMainForm form(ScriptedServices(fetcher), opener);
  form.SetHistory(&store_);
  form.WebUrl->setText("ab");  // no site name: said, nothing opens
  EXPECT_EQ(form.ShowRanks(), nullptr);
  form.WebUrl->setText(U(u8"HTTPS://WWW.Velmora.Test/"));
  QMenu* menu = form.HistoryMenu(rfSite1);
  QAction* ranks = nullptr;
  for (QAction* action : menu->actions()) {
    if (action->text() == U(u8"关键词排名…")) ranks = action;
  }
  ASSERT_TRUE(ranks);
  ranks->trigger();
  delete menu;
  auto* dialog = form.findChild<TRankDialog*>("RankDialog");
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->Table()->columnCount(), 4);
  EXPECT_FALSE(dialog->Start());  // no keywords
  // Closed while asking: its end finds the dialog gone.
  TRankDialog* running = Dialog();
  running->Keywords()->setPlainText("k");
  EXPECT_TRUE(running->Start());
  delete running;
}

}  // namespace
