// The main window, offscreen: its layout against the window's tables, a run through the Qt event
// loop that fills every field and the picture, clicks, Enter, and text that GBK cannot hold.
#include <gtest/gtest.h>

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "support/Fakes.h"
#include "QtTestSupport.h"
#include "support/PeerDaemons.h"
#include "support/ScriptedServer.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"
#include "support/TlsPeers.h"
#include "window/Main.h"
#include "window/QtMainThreadQueue.h"

namespace {

class MainFormTest : public ::testing::Test {
 protected:
  MainFormTest() {
    previous_ = SetMainThreadQueue(g_qt_queue);
    fetcher_ = std::make_shared<TScriptedFetcher>();
    services_ = ScriptedServices(fetcher_);
  }
  ~MainFormTest() override {
    gate_.Open();
    EXPECT_TRUE(QTest::qWaitFor([] { return MyThread::LiveCount() == 0; }, 30000));
    form_.reset();
    SetMainThreadQueue(previous_);
  }
  TMainForm& Form() {
    if (!form_) {
      form_ = std::make_unique<TMainForm>(services_, opener_);
      form_->show();
    }
    return *form_;
  }
  QLabel* L(const char* name) {
    auto* label = Form().findChild<QLabel*>(name);
    EXPECT_TRUE(label) << name;
    return label;
  }
  bool Idle() { return Form().Begin_btn->text() == U(u8"查询"); }
  bool WaitIdle() {
    return QTest::qWaitFor([&] { return Idle(); }, 30000);
  }

  TMainThreadQueue* previous_;
  TGate gate_;
  std::shared_ptr<TScriptedFetcher> fetcher_;
  TQueryServices services_;
  TRecordingOpener opener_;
  std::unique_ptr<TMainForm> form_;
};

struct Place {
  const char* name;
  const char* parent;
  int left, top, width, height;
  const char8_t* text;
  int tag;
};

// Every control's place, text and Tag.
const Place kPlaces[] = {
    {"Label2", "MainForm", 148, 21, 97, 20, u8"网址：http://", 0},
    {"Begin_btn", "MainForm", 511, 16, 91, 25, u8"查询", 0},
    {"Panel2", "MainForm", 7, 58, 748, 105, nullptr, 0},
    {"GroupBox1", "MainForm", 7, 191, 748, 117, u8"搜索引擎收录情况", 0},
    {"GroupBox2", "MainForm", 8, 329, 748, 83, u8"按时段收录信息", 0},
    {"Label1", "MainForm", 540, 432, 185, 16, u8"更多网站信息综合查询", 4},
    {"Panel3", "Panel2", 1, 1, 746, 103, nullptr, 0},
    {"Image1", "Panel3", 6, 7, 120, 90, nullptr, 0},
    {"WebTitle", "Panel3", 137, 15, 597, 16, u8"站点名称", 0},
    {"ZHTool1", "Panel3", 139, 41, 77, 26, u8" Alexa排名：", 0},
    {"Alexa1", "Panel3", 220, 41, 95, 26, u8"0", 1},
    {"ZHTool2", "Panel3", 347, 41, 77, 26, u8" 国内排名：", 0},
    {"Alexa2", "Panel3", 428, 41, 95, 26, u8"0", 2},
    {"ZHTool3", "Panel3", 555, 41, 77, 26, u8" Google PR：", 0},
    {"Alexa3", "Panel3", 636, 41, 95, 26, u8"0", 0},
    {"ZHTool4", "Panel3", 139, 71, 77, 26, u8" 搜狗评级：", 0},
    {"Alexa4", "Panel3", 220, 71, 95, 26, u8"0", 3},
    {"ZHTool5", "Panel3", 347, 71, 77, 26, u8" 百度快照：", 0},
    {"Alexa5", "Panel3", 428, 71, 95, 26, u8"0", 0},
    {"ZHTool6", "Panel3", 555, 71, 77, 26, u8" 访问速度：", 0},
    {"Alexa6", "Panel3", 636, 71, 95, 26, u8"0", 0},
    {"Panel1", "GroupBox1", 4, 18, 739, 91, nullptr, 0},
    {"SName0", "Panel1", 3, 3, 89, 26, u8"搜索引擎", 0},
    {"SName1", "Panel1", 95, 3, 89, 26, u8"百度", 0},
    {"SName2", "Panel1", 187, 3, 89, 26, u8"谷歌", 0},
    {"SName3", "Panel1", 279, 3, 89, 26, u8"雅虎", 0},
    {"SName4", "Panel1", 371, 3, 89, 26, u8"搜搜", 0},
    {"SName5", "Panel1", 463, 3, 89, 26, u8"搜狗", 0},
    {"SName6", "Panel1", 555, 3, 89, 26, u8"有道", 0},
    {"SName7", "Panel1", 647, 3, 89, 26, u8"必应", 0},
    {"Site0", "Panel1", 3, 32, 89, 26, u8"收录情况", 0},
    {"Site1", "Panel1", 95, 32, 89, 26, u8"0", 11},
    {"Site2", "Panel1", 187, 32, 89, 26, u8"0", 12},
    {"Site3", "Panel1", 279, 32, 89, 26, u8"0", 13},
    {"Site4", "Panel1", 371, 32, 89, 26, u8"0", 14},
    {"Site5", "Panel1", 463, 32, 89, 26, u8"0", 15},
    {"Site6", "Panel1", 555, 32, 89, 26, u8"0", 16},
    {"Site7", "Panel1", 647, 32, 89, 26, u8"0", 17},
    {"Link0", "Panel1", 3, 61, 89, 26, u8"反向链接", 0},
    {"Link1", "Panel1", 95, 61, 89, 26, u8"0", 21},
    {"Link2", "Panel1", 187, 61, 89, 26, u8"0", 22},
    {"Link3", "Panel1", 279, 61, 89, 26, u8"0", 23},
    {"Link4", "Panel1", 371, 61, 89, 26, u8"0", 24},
    {"Link5", "Panel1", 463, 61, 89, 26, u8"0", 25},
    {"Link6", "Panel1", 555, 61, 89, 26, u8"0", 26},
    {"Link7", "Panel1", 647, 61, 89, 26, u8"0", 27},
    {"SName01", "GroupBox2", 7, 19, 119, 26, u8"百度当天收录", 0},
    {"SName02", "GroupBox2", 129, 19, 119, 26, u8"百度本月收录", 0},
    {"SName03", "GroupBox2", 252, 19, 119, 26, u8"百度一年收录", 0},
    {"SName04", "GroupBox2", 375, 19, 119, 26, u8"谷歌当天收录", 0},
    {"SName05", "GroupBox2", 498, 19, 119, 26, u8"谷歌本月收录", 0},
    {"SName06", "GroupBox2", 621, 19, 119, 26, u8"谷歌一年收录", 0},
    {"Dmy1", "GroupBox2", 7, 48, 119, 26, u8"0", 31},
    {"Dmy2", "GroupBox2", 129, 48, 119, 26, u8"0", 32},
    {"Dmy3", "GroupBox2", 252, 48, 119, 26, u8"0", 33},
    {"Dmy4", "GroupBox2", 375, 48, 119, 26, u8"0", 34},
    {"Dmy5", "GroupBox2", 498, 48, 119, 26, u8"0", 35},
    {"Dmy6", "GroupBox2", 621, 48, 119, 26, u8"0", 36},
};

TEST_F(MainFormTest, WindowMatchesItsLayout) {
  TMainForm& form = Form();
  EXPECT_EQ(form.windowTitle(), U(u8"Velmora站长工具箱 V1.0"));
  EXPECT_EQ(form.size(), QSize(765, 472));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form.Begin_btn->isDefault());
  EXPECT_EQ(form.WebUrl->geometry(), QRect(241, 17, 249, 24));
  EXPECT_EQ(form.WebUrl->text(), "127.0.0.1:8013");  // the maker's site
  EXPECT_TRUE(form.WebUrl->font().bold());
  EXPECT_EQ(form.WebUrl->font().pixelSize(), 13);
  EXPECT_EQ(form.WebUrl->palette().color(QPalette::Text), QColor(0, 0, 255));
  EXPECT_EQ(form.Panel2->frameShadow(), QFrame::Sunken);
  EXPECT_EQ(form.Panel1->palette().color(QPalette::Window), QColor(166, 202, 240));

  for (const Place& p : kPlaces) {
    SCOPED_TRACE(p.name);
    auto* w = form.findChild<QWidget*>(p.name);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->parentWidget()->objectName(), p.parent);
    EXPECT_EQ(w->geometry(), QRect(p.left, p.top, p.width, p.height));
    EXPECT_EQ(w->property("Tag").toInt(), p.tag);
    if (!p.text) continue;
    QString text;
    if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
    if (auto* b = qobject_cast<QPushButton*>(w)) text = b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) text = g->title();
    EXPECT_EQ(text, U(p.text));
  }

  // The two looks: caption labels teal and bold, value labels blue and bold, hand cursor only
  // where a click opens something.
  const QColor teal(0, 128, 128), blue(0, 0, 255);
  for (const char* name : {"ZHTool1", "ZHTool6", "SName0", "SName7", "Site0", "Link0", "SName01"}) {
    SCOPED_TRACE(name);
    QLabel* l = L(name);
    EXPECT_EQ(l->palette().color(QPalette::WindowText), teal);
    EXPECT_TRUE(l->font().bold());
    EXPECT_TRUE(l->autoFillBackground());
    EXPECT_EQ(l->cursor().shape(), Qt::ArrowCursor);
  }
  EXPECT_EQ(L("ZHTool1")->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
  EXPECT_EQ(L("SName1")->alignment(), Qt::AlignCenter);
  for (const Place& p : kPlaces) {
    if (!p.text || std::u8string_view(p.text) != u8"0") continue;
    SCOPED_TRACE(p.name);
    QLabel* l = L(p.name);
    EXPECT_EQ(l->palette().color(QPalette::WindowText), blue);
    EXPECT_TRUE(l->font().bold());
    EXPECT_EQ(l->alignment(), Qt::AlignCenter);
    EXPECT_EQ(l->textFormat(), Qt::PlainText);
    EXPECT_EQ(l->cursor().shape(), p.tag ? Qt::PointingHandCursor : Qt::ArrowCursor);
  }
  EXPECT_EQ(L("WebTitle")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(L("Label1")->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(L("Label1")->font().pixelSize(), 13);
  EXPECT_EQ(L("Label2")->font().pixelSize(), 13);
  EXPECT_EQ(form.Image1->cursor().shape(), Qt::PointingHandCursor);
  ASSERT_FALSE(form.Image1->pixmap().isNull());
  EXPECT_EQ(form.Image1->pixmap().size(), QSize(120, 90));
}

// What a user sees of the layout, whatever the numbers: no control covers another, every
// control lies inside the one that holds it, and every caption and stand-in value fits its
// label in the window's font (a Chinese caption cut off is the usual way a layout goes wrong).
TEST_F(MainFormTest, EveryControlIsWhollyVisibleAndItsTextFits) {
  TMainForm& form = Form();
  std::vector<QWidget*> controls;
  for (const Place& p : kPlaces) controls.push_back(form.findChild<QWidget*>(p.name));
  for (QWidget* w : controls) {
    ASSERT_TRUE(w);
    SCOPED_TRACE(w->objectName().toStdString());
    EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << "outside its parent";
    for (QWidget* other : controls) {
      if (other != w && other->parentWidget() == w->parentWidget()) {
        EXPECT_FALSE(w->geometry().intersects(other->geometry()))
            << "overlaps " << other->objectName().toStdString();
      }
    }
    if (auto* l = qobject_cast<QLabel*>(w)) {
      EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << "text cut off";
    }
  }
  // The widest values the stand-ins give (and the marks) fit as well.
  fetcher_->Pages = StandInPages("site.test", 0);
  form.WebUrl->setText("site.test");
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());
  for (int f = 0; f < kTextFieldCount; ++f) {
    QLabel* l = form.Field(static_cast<TResultField>(f));
    EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << f;
  }
}

TEST_F(MainFormTest, DefaultSiteIsTheMakersHost) {
  services_.Hosts = DefaultServiceHosts();
  EXPECT_EQ(Form().WebUrl->text(), "www.velmora.com");
}

TEST_F(MainFormTest, RunFillsAllFieldsAndThePicture) {
  const std::string site = "site.test";
  fetcher_->Pages = StandInPages(site, 0x0000FF);
  TMainForm& form = Form();
  const QImage before = form.Image1->pixmap().toImage();
  form.WebUrl->setText("http://site.test/index.html");
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  EXPECT_EQ(form.WebUrl->text(), "site.test");
  EXPECT_EQ(form.Begin_btn->text(), U(u8"停止"));
  ASSERT_TRUE(WaitIdle());
  for (int f = 0; f < kTextFieldCount; ++f) {
    const auto field = static_cast<TResultField>(f);
    EXPECT_EQ(form.Field(field)->text(), FromGbk(ExpectedValue(field, site)))
        << ResultFieldName(field);
    EXPECT_EQ(form.Field(field)->objectName(), ResultFieldName(field));
  }
  const QImage after = form.Image1->pixmap().toImage();
  EXPECT_NE(after, before);
  const QColor px = after.pixelColor(60, 45);
  EXPECT_LT(px.red(), 16);
  EXPECT_GT(px.blue(), 240);
}

TEST_F(MainFormTest, FailedThumbnailKeepsThePictureWhileTheValuesArrive) {
  const std::string site = "site.test";
  fetcher_->Pages = StandInPages(site, 0);
  fetcher_->Pages.erase("http://127.0.0.1:8011/image.aspx?url=http://" + site);
  TMainForm& form = Form();
  const QImage before = form.Image1->pixmap().toImage();
  form.WebUrl->setText(QString::fromStdString(site));
  QTest::keyClick(form.WebUrl, Qt::Key_Enter);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.Image1->pixmap().toImage(), before);
  EXPECT_EQ(form.Alexa[1]->text(), "98,765");
  EXPECT_EQ(form.Alexa[2]->text(), "4321");
  SaveScreenshot(form, "window.png");
}

// The whole spine with nothing faked: the real page fetcher and thumbnail client against the
// stand-in services on loopback, each with its own charset and framing.
TEST_F(MainFormTest, WholeQueryAgainstTheStandInServices) {
  StandInServices stand_ins;
  services_ = DefaultQueryServices();
  services_.Hosts = StandInServiceHosts(stand_ins);
  const std::string site = stand_ins.HostFor(StandIn::Site);

  TMainForm& form = Form();
  form.WebUrl->setText(QString::fromStdString("http://" + site + "/"));
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());
  for (const auto& [name, value] : StandInServices::ExpectedFields(site)) {
    EXPECT_EQ(L(name.c_str())->text(), FromGbk(value)) << name;
  }
  EXPECT_TRUE(L("Alexa6")->text().endsWith(U(u8" 秒")));
  TRgbImage sample;
  ASSERT_TRUE(DecodeJpeg(StandInServices::SampleJpeg(), sample));
  const QImage shown = form.Image1->pixmap().toImage();
  ASSERT_EQ(shown.size(), QSize(sample.Width, sample.Height));
  EXPECT_EQ(shown.pixelColor(3, 3).rgb() & 0xFFFFFF, sample.PixelAt(3, 3));
  EXPECT_EQ(stand_ins.RequestCount(), 27u + stand_ins.RequestsFor(StandIn::Sogou).size() - 3u);
}

TEST_F(MainFormTest, EnterPressesTheQueryButtonOnce) {
  fetcher_->Holds = {{"http://", &gate_}};
  TMainForm& form = Form();
  form.WebUrl->setFocus();
  QTest::keyClick(form.WebUrl, Qt::Key_Return);
  EXPECT_EQ(form.Begin_btn->text(), U(u8"停止"));
  EXPECT_EQ(form.Controller().RemainingCount(), 11);
  // Enter again, now on the focused button: Stop, exactly once.
  form.Begin_btn->setFocus();
  QTest::keyClick(form.Begin_btn, Qt::Key_Enter);
  EXPECT_TRUE(Idle());
}

TEST_F(MainFormTest, ClickingValuesOpensTheirSearchForTheFieldAsItIsNow) {
  fetcher_->Holds = {{"http://", &gate_}};
  TMainForm& form = Form();
  form.WebUrl->setText("site.test");
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_EQ(L("Site1")->text(), U(u8"…"));
  QTest::mouseClick(L("Site1"), Qt::LeftButton);  // opens even while loading
  form.WebUrl->setText("edited.test");            // edited, no new run
  QTest::mouseClick(L("Site1"), Qt::LeftButton);
  for (const char* dead :
       {"Alexa3", "Alexa5", "Alexa6", "ZHTool1", "WebTitle", "SName1", "Site0"}) {
    QTest::mouseClick(L(dead), Qt::LeftButton);
  }
  QTest::mouseClick(L("Alexa1"), Qt::LeftButton);
  QTest::mouseClick(L("Dmy6"), Qt::LeftButton);
  QTest::mouseClick(L("Label1"), Qt::LeftButton);
  QTest::mouseClick(form.Image1, Qt::LeftButton);
  EXPECT_EQ(opener_.Urls,
            (std::vector<std::string>{
                "http://127.0.0.1:8001/s?wd=site:site.test",
                "http://127.0.0.1:8001/s?wd=site:edited.test",
                "http://127.0.0.1:8009/siteinfo/edited.test",
                "http://127.0.0.1:8002/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Ay"
                "&q=site%3Aedited.test",
                "http://127.0.0.1:8014",
                "http://127.0.0.1:8013",
            }));
}

TEST_F(MainFormTest, SiteNamesAreAskedInAsciiShownAsTypedOrRefusedWithAMessage) {
  TMainForm& form = Form();
  form.WebUrl->setText(U(u8"a b.test"));
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  EXPECT_NE(form.findChild<QMessageBox*>("SiteMessage"), nullptr);
  EXPECT_EQ(fetcher_->Entered(), 0);
  // Korean has no GBK form: the requests carry the ASCII form, the field what was typed.
  form.WebUrl->setText(U(u8"https://한국.中文.test/"));
  fetcher_->Holds = {{"http://", &gate_}};
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  EXPECT_EQ(form.WebUrl->text(), U(u8"한국.中文.test"));
  ASSERT_TRUE(fetcher_->WaitEntered(11, 30000));
  for (const auto& call : fetcher_->Calls()) {
    EXPECT_NE(call.Url.find("xn--3e0b707e.xn--fiq228c.test"), std::string::npos) << call.Url;
  }
}

TEST_F(MainFormTest, LongNamesAndMarkupStayPlainText) {
  TMainForm& form = Form();
  const std::string title = "<b>bold?</b><img src=x>";
  const std::string name = std::string(63, 'w') + "." + std::string(63, 'w') + ".test";
  fetcher_->Pages["http://" + name] = "<title>" + title + "</title>";
  form.WebUrl->setText(QString::fromStdString(name));
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.WebTitle->text(), QString::fromStdString(title));
  EXPECT_EQ(form.WebTitle->textFormat(), Qt::PlainText);
}

TEST_F(MainFormTest, ClosingTheWindowWhileWorkersRunDropsTheirValues) {
  fetcher_->Pages = StandInPages("site.test", 0);
  fetcher_->Holds = {{"http://", &gate_}};
  TMainForm& form = Form();
  form.WebUrl->setText("site.test");
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(fetcher_->WaitEntered(11, 30000));
  form_.reset();
  gate_.Open();
  EXPECT_TRUE(QTest::qWaitFor([] { return MyThread::LiveCount() == 0; }, 30000));
}

}  // namespace

namespace {

std::vector<std::string> Lines(const std::string& head) {
  std::vector<std::string> out;
  for (size_t pos = 0; pos < head.size();) {
    size_t eol = head.find("\r\n", pos);
    if (eol == std::string::npos || eol == pos) break;
    out.push_back(head.substr(pos, eol - pos));
    pos = eol + 2;
  }
  return out;
}

}  // namespace

TEST_F(MainFormTest, RequestHeadsOnTheWireAreThePagesAndTheThumbnailsOwn) {
  StandInServices stand_ins;
  services_ = DefaultQueryServices();
  services_.Hosts = StandInServiceHosts(stand_ins);
  const std::string site = stand_ins.HostFor(StandIn::Site);
  Form().WebUrl->setText(QString::fromStdString(site));
  QTest::mouseClick(Form().Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(WaitIdle());

  const std::string ua = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
  // A page request: the site name goes into the target as typed; the fetcher names the page as
  // its own referer and sends its empty Cookie line.
  auto baidu = stand_ins.RequestsFor(StandIn::Baidu);
  ASSERT_EQ(baidu.size(), 6u);
  const std::string snapshot_url = "http://" + stand_ins.HostFor(StandIn::Baidu) + "/s?wd=" + site;
  bool seen_snapshot = false;
  for (const auto& r : baidu) {
    std::vector<std::string> lines = Lines(r.head);
    if (lines[0] != "GET /s?wd=" + site + " HTTP/1.1") continue;
    seen_snapshot = true;
    EXPECT_EQ(lines, (std::vector<std::string>{lines[0], "Content-Type: text/html", "Cookie: ",
                                               "Host: " + stand_ins.HostFor(StandIn::Baidu),
                                               "Accept: text/html, */*",
                                               "Referer: " + snapshot_url, ua,
                                               "Accept-Encoding: gzip, deflate, br"}));
  }
  EXPECT_TRUE(seen_snapshot);
  // The thumbnail goes through the worker's own client: no referer, no Cookie line.
  auto thumbs = stand_ins.RequestsFor(StandIn::Thumbnail);
  ASSERT_EQ(thumbs.size(), 1u);
  EXPECT_EQ(Lines(thumbs[0].head),
            (std::vector<std::string>{"GET /image.aspx?url=http://" + site + " HTTP/1.1",
                                      "Content-Type: text/html",
                                      "Host: " + stand_ins.HostFor(StandIn::Thumbnail),
                                      "Accept: text/html, */*", ua,
                                      "Accept-Encoding: gzip, deflate, br"}));
}

// Every way a field can end, through the real fetcher against scripted peers: the label's text,
// its colour and its tooltip. Soso's first request (Site4) is the field under test; every other
// service refuses.
TEST_F(MainFormTest, EachOutcomeShowsAsItselfNeverAsAValue) {
  Pki();  // only the test authority is trusted
  testpki::Authority stranger("nobody trusts this authority");
  TlsScriptServer untrusted(stranger.Issue("DNS:localhost"), [](TlsScriptServer::Peer&) {});
  RefusedLoopbackPort refused;
  auto answer = [](const std::string& reply) {
    return ScriptedServer::Canned({{reply, true}, {reply, true}});
  };
  auto page = [&](const std::string& status, const std::u8string& body) {
    return answer(HttpResponse(status, G(body.c_str())));
  };
  struct Row {
    const char* what;
    std::function<ScriptedServer::Script()> peer;  // null: Host says where to go
    std::string host;
    const char8_t* text;  // the label's text
    bool value;           // shown in the value colour
    const char8_t* tip;   // the tooltip's first line begins so
    int status;           // the HTTP status named in the tooltip, 0 for none
  };
  const std::string gone = "127.0.0.1:" + std::to_string(refused.Port());
  const Row rows[] = {
      {"unknown host", nullptr, "no..such.invalid", u8"—", false, u8"无法访问：找不到主机", 0},
      {"refused", nullptr, gone, u8"—", false, u8"无法访问：连接被拒绝", 0},
      {"silent", [] { return ScriptedServer::Script([](ScriptedConnection& c) {
                        c.ReadHead();
                        c.WaitPeerClosed(10000);
                      }); },
       "", u8"—", false, u8"无法访问：读取超时", 0},
      {"403", [&] { return page("HTTP/1.1 403 Forbidden", u8"no"); }, "", u8"—", false,
       u8"被拦截", 403},
      {"429", [&] { return page("HTTP/1.1 429 Too Many Requests", u8"slow down"); }, "", u8"—",
       false, u8"被拦截", 429},
      {"captcha", [&] { return page("HTTP/1.1 200 OK", u8"<p>请输入验证码</p>"); }, "", u8"—",
       false, u8"被拦截", 200},
      {"no delimiters", [&] { return page("HTTP/1.1 200 OK", u8"<p>new layout</p>"); }, "",
       u8"—", false, u8"未找到", 200},
      {"a stated 0", [&] { return page("HTTP/1.1 200 OK", u8"搜索到约0项结果"); }, "", u8"0",
       true, u8"来源：", 200},
      {"untrusted certificate",
       [&] {
         return answer(HttpHead("HTTP/1.1 302 Found",
                                {"Location: https://localhost:" + std::to_string(untrusted.Port()) +
                                     "/", "Content-Length: 0"}));
       },
       "", u8"—", false, u8"无法访问：安全连接失败", 302},
  };
  auto fetcher = std::make_shared<TGetPageFetcher>();
  fetcher->ReadTimeoutMs = 300;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::unique_ptr<ScriptedServer> server;
    if (row.peer) server = std::make_unique<ScriptedServer>(row.peer());
    services_ = DefaultQueryServices();
    services_.Pages = fetcher;
    TServiceHosts hosts;
    for (std::string* host : {&hosts.Baidu, &hosts.Google, &hosts.Yahoo, &hosts.Sogou,
                              &hosts.Youdao, &hosts.Bing, &hosts.AlexaSearch, &hosts.ChinaRank,
                              &hosts.Thumbnail, &hosts.PageRank}) {
      *host = gone;
    }
    hosts.Soso = server ? server->HostPort() : row.host;
    services_.Hosts = hosts;
    form_.reset();
    Form().WebUrl->setText(QString::fromStdString(gone));
    QTest::mouseClick(Form().Begin_btn, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    QLabel* label = L("Site4");
    EXPECT_EQ(label->text(), U(row.text));
    EXPECT_EQ(label->palette().color(QPalette::WindowText),
              row.value ? QColor(0, 0, 255) : QColor(128, 128, 128));
    const QString tip = label->toolTip();
    EXPECT_TRUE(tip.startsWith(U(row.tip))) << tip.toStdString();
    EXPECT_TRUE(tip.contains("/q?w=site%3A")) << tip.toStdString();
    EXPECT_EQ(tip.contains(U(u8"HTTP 状态：") + QString::number(row.status)), row.status != 0)
        << tip.toStdString();
    EXPECT_TRUE(tip.contains(U(u8" 秒"))) << tip.toStdString();
    // Nothing else passes for a value either: the home page failed, so the title says so and
    // the load time is a dash.
    EXPECT_EQ(L("WebTitle")->text(), U(u8"无法访问"));
    EXPECT_EQ(L("Alexa6")->text(), U(u8"—"));
    EXPECT_EQ(Form().windowTitle(), U(u8"Velmora站长工具箱 V1.0"));
  }
}

TEST_F(MainFormTest, StopMarksWhatItCancelledAndTheTitleCountsJobs) {
  fetcher_->Pages = StandInPages("site.test", 0);
  fetcher_->Holds = {{"127.0.0.1:8001", &gate_}};  // Baidu: jobs 1 and 8 wait
  // Beside values and stops: Bing cannot be reached, Yahoo asks for a captcha, Soso changed its
  // page.
  for (auto it = fetcher_->Pages.begin(); it != fetcher_->Pages.end();) {
    const std::string& url = it->first;
    if (url.find(":8007/") != std::string::npos) {
      it = fetcher_->Pages.erase(it);
      continue;
    }
    if (url.find(":8003/") != std::string::npos) it->second = G(u8"<p>请输入验证码</p>");
    if (url.find(":8004/") != std::string::npos) it->second = "<p>a new layout</p>";
    ++it;
  }
  TMainForm& form = Form();
  form.WebUrl->setText("site.test");
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([] { return MyThread::LiveCount() == 2; }, 30000));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return form.windowTitle() == U(u8"Velmora站长工具箱 V1.0 — 查询中 9/11"); }, 30000))
      << form.windowTitle().toStdString();
  EXPECT_EQ(L("Site1")->text(), U(u8"…"));
  EXPECT_EQ(L("Site1")->palette().color(QPalette::WindowText), QColor(128, 128, 128));
  EXPECT_EQ(L("Site2")->text(), "7,890");
  EXPECT_TRUE(L("Site2")->toolTip().startsWith(U(u8"来源：http://127.0.0.1:8002/search?")));
  QTest::mouseClick(form.Begin_btn, Qt::LeftButton);  // Stop
  EXPECT_TRUE(Idle());
  EXPECT_EQ(form.windowTitle(), U(u8"Velmora站长工具箱 V1.0"));
  for (const char* name : {"Site1", "Link1", "Alexa5", "Dmy1", "Dmy2", "Dmy3"}) {
    EXPECT_EQ(L(name)->text(), U(u8"—")) << name;
    EXPECT_EQ(L(name)->toolTip(), U(u8"已停止")) << name;
  }
  EXPECT_EQ(L("Site2")->text(), "7,890");
  const std::pair<const char*, const char8_t*> marks[] = {
      {"Site7", u8"无法访问：连接被拒绝"}, {"Site3", u8"被拦截"}, {"Link4", u8"未找到"}};
  for (const auto& [name, tip] : marks) {
    EXPECT_EQ(L(name)->text(), U(u8"—")) << name;
    EXPECT_TRUE(L(name)->toolTip().startsWith(U(tip))) << name;
  }
  SaveScreenshot(form, "outcomes.png");
}

TEST_F(MainFormTest, ASilentHomePageEndsAfterTheTimeOut_Slow) {
  StandInServices stand_ins;
  services_ = DefaultQueryServices();
  services_.Hosts = StandInServiceHosts(stand_ins);
  stand_ins.SetFault(StandIn::Site, StandInFault::Silent);
  Form().WebUrl->setText(QString::fromStdString(stand_ins.HostFor(StandIn::Site)));
  QTest::mouseClick(Form().Begin_btn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(); }, 60000));
  EXPECT_EQ(L("WebTitle")->text(), U(u8"无法访问"));
  EXPECT_EQ(L("Alexa6")->text(), U(u8"—"));
  // About twenty seconds, in the reason's words.
  const QString tip = L("WebTitle")->toolTip();
  EXPECT_TRUE(tip.startsWith(U(u8"无法访问：读取超时（20."))) << tip.toStdString();
}
