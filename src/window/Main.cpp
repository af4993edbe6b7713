#include "window/Main.h"

#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <string_view>

#include "audit/AuditTarget.h"
#include "history/HistoryStore.h"
#include "query/Jpeg.h"
#include "query/Outcome.h"
#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "services/ServiceFile.h"
#include "window/QtAlertsDialog.h"
#include "window/QtAuditDialog.h"
#include "window/QtCrawlDialog.h"
#include "window/QtRankDialog.h"
#include "window/QtText.h"
#include "window/QtTrendDialog.h"

namespace {

#include "window/DefaultPicture.inc"  // kDefaultPicture: the 120 x 90 JPEG shown before a run

// The window's two font sizes, in pixels.
constexpr int kFontPixels = 11;
constexpr int kLargeFontPixels = 13;

const QColor kTeal(0, 128, 128);
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
const QColor kSkyBlue(166, 202, 240);
// Behind caption labels and behind value labels.
const QColor kInactiveCaptionText(216, 228, 248);
const QColor kMenu(255, 255, 255);

constexpr const char8_t* kWindowTitle = u8"Velmora站长工具箱 V1.0";


void SetColors(QWidget* w, const QColor* text, const QColor* background) {
  QPalette p = w->palette();
  if (text) {
    p.setColor(QPalette::WindowText, *text);
    p.setColor(QPalette::Text, *text);
  }
  if (background) {
    p.setColor(QPalette::Window, *background);
    w->setAutoFillBackground(true);
  }
  w->setPalette(p);
}

QPixmap ToPixmap(const TRgbImage& picture) {
  if (picture.Empty()) return QPixmap();
  QImage image(picture.Pixels.data(), picture.Width, picture.Height, picture.Width * 3,
               QImage::Format_RGB888);
  return QPixmap::fromImage(image.copy());  // copy: the image must not point into `picture`
}

}  // namespace

TMainForm::TMainForm(TQueryServices services, TUrlOpener& opener, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("MainForm");
  setWindowTitle(FromUtf8(kWindowTitle));
  setFixedSize(765, 472);
  setAttribute(Qt::WA_QuitOnClose, true);
  setFont(MakeFont(kFontPixels, false));
  {
    QPalette p = palette();
    p.setColor(QPalette::Window, p.color(QPalette::Button));  // the button-face colour
    setPalette(p);
    setAutoFillBackground(true);
  }

  Label2 = MakeLabel(this, "Label2", 148, 21, 97, 20, u8"网址：http://", lkPlain);
  Label2->setFont(MakeFont(kLargeFontPixels, true));
  const QColor black(0, 0, 0);
  SetColors(Label2, &black, nullptr);

  WebUrl = new QLineEdit(this);
  WebUrl->setObjectName("WebUrl");
  WebUrl->setGeometry(241, 17, 249, 24);
  WebUrl->setFont(MakeFont(kLargeFontPixels, true));
  SetColors(WebUrl, &kBlue, nullptr);
  WebUrl->setText(FromGbk(services.Hosts.MakerSite));
  WebUrl->setProperty("Tag", 0);

  Begin_btn = new QPushButton(FromUtf8(u8"查询"), this);
  Begin_btn->setObjectName("Begin_btn");
  Begin_btn->setGeometry(511, 16, 91, 25);
  Begin_btn->setDefault(true);
  Begin_btn->setProperty("Tag", 0);
  connect(Begin_btn, &QPushButton::clicked, this, [this] { Begin_btnClick(Begin_btn); });

  BuildSitePanel();
  BuildEnginePanel();
  BuildPeriodPanel();

  Label1 = MakeLabel(this, "Label1", 540, 432, 185, 16, u8"更多网站信息综合查询", lkPlain, 4);
  Label1->setFont(MakeFont(kLargeFontPixels, true));
  SetColors(Label1, &kBlue, nullptr);

  // Focus order: the button first, then the site name.
  setTabOrder(Begin_btn, WebUrl);
  Begin_btn->setFocus();

  fields_ = {Site[1],  Site[2],  Site[3],  Site[4],  Site[5],  Site[6], Site[7],
             Link[1],  Link[2],  Link[3],  Link[4],  Link[5],  Link[6], Link[7],
             Dmy[1],   Dmy[2],   Dmy[3],   Dmy[4],   Dmy[5],   Dmy[6],  WebTitle,
             Alexa[1], Alexa[2], Alexa[3], Alexa[4], Alexa[5], Alexa[6]};

  for (int f = 0; f < kTextFieldCount; ++f) {
    value_colors_[f] = fields_[f]->palette().color(QPalette::WindowText);
    connect(fields_[f], &QWidget::customContextMenuRequested, this, [this, f](const QPoint& at) {
      if (QMenu* menu = HistoryMenu(static_cast<TResultField>(f))) {
        menu->popup(fields_[f]->mapToGlobal(at));
      }
    });
  }

  // Anywhere else in the window, the right-click menu holds the site's check-up.
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    auto* menu = new QMenu(this);
    menu->setObjectName("WindowMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose, true);
    menu->addAction(FromUtf8(u8"关键词排名…"), this, [this] { ShowRanks(); });
    menu->addAction(FromUtf8(u8"站点体检…"), this, [this] { ShowAudit(); });
    menu->addAction(FromUtf8(u8"全站体检…"), this, [this] { ShowCrawl(); });
    if (history_ != nullptr) menu->addAction(FromUtf8(u8"提醒…"), this, [this] { ShowAlerts(); });
    menu->popup(mapToGlobal(at));
  });

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  proxy_ = services.Proxy;
  controller_ = std::make_unique<TQueryController>(*this, opener, std::move(services));
  ShowCaptions();
}

void TMainForm::ShowCaptions() {
  const std::shared_ptr<const TServiceTable>& table = controller_->ServiceTable();
  auto caption_of = [&](TResultField field) -> std::string {
    if (!table) return "";
    for (const TRequestDef& def : table->Requests) {
      if (def.Field == ResultFieldName(field)) return def.Caption;
    }
    return "";
  };
  // An engine's column and a site-panel cell: the set's caption, else the window's own.
  auto show = [&](QLabel* label, TResultField field, const QString& before, const QString& after) {
    if (!label->property("OwnCaption").isValid()) label->setProperty("OwnCaption", label->text());
    const std::string caption = caption_of(field);
    label->setText(caption.empty() ? label->property("OwnCaption").toString()
                                   : before + FromGbk(caption) + after);
  };
  for (int col = 1; col <= 7; ++col)
    show(SName[col], static_cast<TResultField>(rfSite1 + col - 1), "", "");
  for (int i = 1; i <= 5; ++i) {
    show(ZHTool[i], static_cast<TResultField>(rfAlexa1 + i - 1), " ", FromUtf8(u8"："));
  }
}

void TMainForm::UseServiceSet(const char* name) {
  // The built-in sets live as long as the program: shared without an owner.
  controller_->SetServiceTable(
      std::shared_ptr<const TServiceTable>(std::shared_ptr<void>(), BuiltInServiceSet(name)));
  QSettings().setValue("services/set", QString::fromUtf8(name));
  ShowCaptions();
}

TMainForm::~TMainForm() {
  // Before any label goes: values still on their way are dropped from here on.
  controller_.reset();
}

QLabel* TMainForm::MakeLabel(QWidget* parent, const char* name, int left, int top, int width,
                             int height, const char8_t* text, TLook look, int tag) {
  auto* label = new QLabel(FromUtf8(text), parent);
  label->setObjectName(name);
  label->setGeometry(left, top, width, height);
  // Texts come from the network: never let the label read them as markup.
  label->setTextFormat(Qt::PlainText);
  label->setProperty("Tag", tag);
  switch (look) {
    case lkPlain:
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      break;
    case lkCaption:
    case lkCaptionLeft:
      label->setAlignment((look == lkCaption ? Qt::AlignHCenter : Qt::AlignLeft) |
                          Qt::AlignVCenter);
      label->setFont(MakeFont(kFontPixels, true));
      SetColors(label, &kTeal, &kInactiveCaptionText);
      break;
    case lkValue:
      label->setAlignment(Qt::AlignCenter);
      label->setFont(MakeFont(kFontPixels, true));
      SetColors(label, &kBlue, &kMenu);
      break;
  }
  if (tag != 0) {
    label->setCursor(Qt::PointingHandCursor);
    label->installEventFilter(this);
  }
  return label;
}

void TMainForm::BuildSitePanel() {
  Panel2 = new QFrame(this);
  Panel2->setObjectName("Panel2");
  Panel2->setGeometry(7, 58, 748, 105);
  Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel2->setLineWidth(1);
  Panel2->setProperty("Tag", 0);

  Panel3 = new QFrame(Panel2);
  Panel3->setObjectName("Panel3");
  Panel3->setGeometry(1, 1, 746, 103);
  Panel3->setProperty("Tag", 0);

  Image1 = new QLabel(Panel3);
  Image1->setObjectName("Image1");
  Image1->setGeometry(6, 7, 120, 90);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Image1->setCursor(Qt::PointingHandCursor);
  Image1->setProperty("Tag", 0);
  Image1->installEventFilter(this);
  TRgbImage picture;
  if (DecodeJpeg(
          std::string_view(reinterpret_cast<const char*>(kDefaultPicture), sizeof kDefaultPicture),
          picture)) {
    Image1->setPixmap(ToPixmap(picture));
  }

  WebTitle = MakeLabel(Panel3, "WebTitle", 137, 15, 597, 16, u8"站点名称", lkPlain);
  WebTitle->setFont(MakeFont(kFontPixels, true));
  SetColors(WebTitle, &kRed, nullptr);

  struct Cell {
    const char* caption_name;
    const char8_t* caption;
    const char* value_name;
    int left, top, tag;
  };
  static const Cell kCells[6] = {
      {"ZHTool1", u8" Alexa排名：", "Alexa1", 139, 41, 1},
      {"ZHTool2", u8" 国内排名：", "Alexa2", 347, 41, 2},
      {"ZHTool3", u8" Google PR：", "Alexa3", 555, 41, 0},
      {"ZHTool4", u8" 搜狗评级：", "Alexa4", 139, 71, 3},
      {"ZHTool5", u8" 百度快照：", "Alexa5", 347, 71, 0},
      {"ZHTool6", u8" 访问速度：", "Alexa6", 555, 71, 0},
  };
  ZHTool[0] = Alexa[0] = nullptr;
  for (int i = 0; i < 6; ++i) {
    const Cell& c = kCells[i];
    ZHTool[i + 1] =
        MakeLabel(Panel3, c.caption_name, c.left, c.top, 77, 26, c.caption, lkCaptionLeft);
    Alexa[i + 1] =
        MakeLabel(Panel3, c.value_name, c.left + 81, c.top, 95, 26, u8"0", lkValue, c.tag);
  }
}

void TMainForm::BuildEnginePanel() {
  GroupBox1 = new QGroupBox(FromUtf8(u8"搜索引擎收录情况"), this);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setGeometry(7, 191, 748, 117);
  GroupBox1->setProperty("Tag", 0);

  Panel1 = new QFrame(GroupBox1);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(4, 18, 739, 91);
  Panel1->setFrameStyle(QFrame::NoFrame);
  Panel1->setProperty("Tag", 0);
  SetColors(Panel1, nullptr, &kSkyBlue);

  for (int col = 0; col < 8; ++col) {
    const int left = 3 + 92 * col;
    const std::string n = std::to_string(col);
    SName[col] =
        MakeLabel(Panel1, ("SName" + n).c_str(), left, 3, 89, 26,
                  col == 0 ? u8"搜索引擎" : kEngineNames[col - 1], lkCaption);
    if (col == 0) {
      Site[0] = MakeLabel(Panel1, "Site0", left, 32, 89, 26, u8"收录情况", lkCaption);
      Link[0] = MakeLabel(Panel1, "Link0", left, 61, 89, 26, u8"反向链接", lkCaption);
    } else {
      Site[col] =
          MakeLabel(Panel1, ("Site" + n).c_str(), left, 32, 89, 26, u8"0", lkValue, 10 + col);
      Link[col] =
          MakeLabel(Panel1, ("Link" + n).c_str(), left, 61, 89, 26, u8"0", lkValue, 20 + col);
    }
  }
}

void TMainForm::BuildPeriodPanel() {
  GroupBox2 = new QGroupBox(FromUtf8(u8"按时段收录信息"), this);
  GroupBox2->setObjectName("GroupBox2");
  GroupBox2->setGeometry(8, 329, 748, 83);
  GroupBox2->setProperty("Tag", 0);

  static const int kLeft[7] = {0, 7, 129, 252, 375, 498, 621};
  SNameP[0] = Dmy[0] = nullptr;
  for (int i = 1; i <= 6; ++i) {
    const std::string n = std::to_string(i);
    SNameP[i] =
        MakeLabel(GroupBox2, ("SName0" + n).c_str(), kLeft[i], 19, 119, 26, kPeriodNames[i - 1], lkCaption);
    Dmy[i] =
        MakeLabel(GroupBox2, ("Dmy" + n).c_str(), kLeft[i], 48, 119, 26, u8"0", lkValue, 30 + i);
  }
}

void TMainForm::SetHistory(THistoryStore* history) {
  history_ = history;
  for (QLabel* label : fields_) {
    label->setContextMenuPolicy(history ? Qt::CustomContextMenu : Qt::DefaultContextMenu);
  }
  controller_->OnRunFinished = [this](const TQueryRecord& record) { RecordRun(record); };
  ShowHistoryMessage();
}

void TMainForm::RecordRun(const TQueryRecord& record) {
  if (history_ == nullptr) return;
  const std::string run_id = THistoryStore::NewRunId();
  history_->Record(record, run_id);  // a failure leaves a message and never stops the window
  ShowHistoryMessage();
  if (watch_) watch_->AfterQuery(*history_, record, run_id);
}

namespace {

// A warning beside the window (it does not block it) that closes itself.
void ShowWarning(QWidget* parent, const char* name, const QString& title, const std::string& utf8) {
  auto* box = new QMessageBox(QMessageBox::Warning, title, QString::fromStdString(utf8),
                              QMessageBox::Ok, parent);
  box->setObjectName(name);
  box->setAttribute(Qt::WA_DeleteOnClose, true);
  box->setModal(false);
  box->show();
}

}  // namespace

void TMainForm::ShowHistoryMessage() {
  if (history_ == nullptr) return;
  const std::string message = history_->TakeMessage();
  if (message.empty()) return;
  ShowWarning(this, "HistoryMessage", FromUtf8(u8"历史记录"), message);
}

void TMainForm::SetWatch(std::unique_ptr<TSiteWatch> watch) {
  watch_ = std::move(watch);
  if (!watch_) return;
  watch_->OnTrouble = [this](const std::string& trouble) {
    if (watch_trouble_shown_) return;
    watch_trouble_shown_ = true;
    ShowWarning(this, "WatchMessage", FromUtf8(u8"提醒"), trouble);
  };
}

QDialog* TMainForm::ShowAlerts() {
  const TSiteName name = ParseSiteName(TypedSite());
  if (history_ == nullptr || !name.Problem.empty()) return nullptr;
  // A query keeps its alerts under the site it asked about, a check-up under the name typed.
  auto* dialog = new TAlertsDialog(*history_, {GbkToUtf8(name.Site), name.Shown}, this);
  dialog->show();
  return dialog;
}

QMenu* TMainForm::HistoryMenu(TResultField field) {
  if (history_ == nullptr || field < 0 || field >= kTextFieldCount) return nullptr;
  auto* menu = new QMenu(this);
  menu->setObjectName("HistoryMenu");
  menu->setAttribute(Qt::WA_DeleteOnClose, true);
  menu->addAction(FromUtf8(u8"历史趋势…"), this, [this, field] { ShowTrend({field}); });
  if (field >= rfSite1 && field <= rfSite7) {
    menu->addAction(FromUtf8(u8"全部收录"), this, [this] { ShowTrend(IndexCountFields()); });
  }
  QMenu* sets = menu->addMenu(FromUtf8(u8"服务定义"));
  const std::shared_ptr<const TServiceTable>& table = controller_->ServiceTable();
  const std::string in_use = table ? table->Name : kClassicSet;
  for (const auto& [name, caption] : {std::pair{kClassicSet, u8"经典"}, {kCurrentSet, u8"当前"}}) {
    QAction* action =
        sets->addAction(FromUtf8(caption), this, [this, name] { UseServiceSet(name); });
    action->setCheckable(true);
    action->setChecked(in_use == name);
  }
  menu->addSeparator();
  menu->addAction(FromUtf8(u8"关键词排名…"), this, [this] { ShowRanks(); });
  menu->addAction(FromUtf8(u8"站点体检…"), this, [this] { ShowAudit(); });
  menu->addAction(FromUtf8(u8"全站体检…"), this, [this] { ShowCrawl(); });
  menu->addAction(FromUtf8(u8"提醒…"), this, [this] { ShowAlerts(); });
  return menu;
}

QDialog* TMainForm::ShowAudit() {
  const TSiteName name = ParseSiteName(TypedSite());
  if (!name.Problem.empty()) {
    ShowSiteProblem(name.Problem);
    return nullptr;
  }
  auto* dialog = new TAuditDialog(history_, this);
  TAuditOptions options;
  options.TimeoutMs = kQueryReadTimeoutMs;
  options.Proxies = TProxySettings::ForQuery(proxy_);  // as the window's queries go
  dialog->Start(AuditTargetOf(name.Shown, name.Request), options);
  dialog->show();
  return dialog;
}

QDialog* TMainForm::ShowCrawl() {
  const TSiteName name = ParseSiteName(TypedSite());
  if (!name.Problem.empty()) {
    ShowSiteProblem(name.Problem);
    return nullptr;
  }
  // Crawls are kept in the history's SQLite file; a history in a shared database keeps none yet,
  // so they go to the user's own file.
  const std::string store = history_ != nullptr && !THistoryStore::IsDatabaseUrl(history_->Path())
                                ? history_->Path()
                                : THistoryStore::DefaultPath();
  auto* dialog = new TCrawlDialog(store, this);
  TCrawlOptions options;
  options.ReadTimeoutMs = kQueryReadTimeoutMs;
  options.Proxies = TProxySettings::ForQuery(proxy_);  // as the window's queries go
  dialog->Start(name.Request, name.Shown, options);
  dialog->show();
  return dialog;
}

QDialog* TMainForm::ShowRanks() {
  const TSiteName name = ParseSiteName(TypedSite());
  if (!name.Problem.empty()) {
    ShowSiteProblem(name.Problem);
    return nullptr;
  }
  // The engines of the definitions in use, else those of the current set.
  const std::shared_ptr<const TServiceTable>& table = controller_->ServiceTable();
  std::vector<TRankDef> ranks;
  for (const TRankDef& def :
       table && !table->Ranks.empty() ? table->Ranks : BuiltInServiceSet(kCurrentSet)->Ranks) {
    if (def.Enabled) ranks.push_back(def);
  }
  auto* dialog = new TRankDialog(history_, std::move(ranks), name.Request, name.Shown, this);
  TRankRunOptions options;
  options.Proxies = TProxySettings::ForQuery(proxy_);  // as the window's queries go
  dialog->SetRunOptions(options);
  dialog->show();
  return dialog;
}

QDialog* TMainForm::ShowTrend(std::vector<TResultField> fields) {
  if (history_ == nullptr) return nullptr;
  // The site as a query would take it from the field, without changing the field.
  auto* dialog =
      new TTrendDialog(*history_, ParseSiteName(TypedSite()).Site, std::move(fields), this);
  dialog->show();
  return dialog;
}

void TMainForm::Begin_btnClick(QObject* /*Sender*/) { controller_->Begin_btnClick(); }

void TMainForm::Alexa1Click(QObject* Sender) {
  if (Sender) controller_->Alexa1Click(Sender->property("Tag").toInt());
}

void TMainForm::Image1Click(QObject* /*Sender*/) { controller_->Image1Click(); }

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // A click is a left-button release over the control that saw the press.
  if (event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (mouse->button() == Qt::LeftButton && widget &&
        widget->rect().contains(mouse->position().toPoint())) {
      if (watched == Image1) {
        Image1Click(watched);
      } else {
        Alexa1Click(watched);
      }
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
  // Enter anywhere in the window presses the default button (the focused button handles Enter
  // itself and never gets here).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    Begin_btn->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

std::string TMainForm::WebUrlText() const { return ToGbk(WebUrl->text()); }

void TMainForm::SetWebUrlText(const std::string& text) { WebUrl->setText(FromGbk(text)); }

std::string TMainForm::TypedSite() const { return WebUrl->text().toStdString(); }

void TMainForm::ShowTypedSite(const std::string& utf8) {
  WebUrl->setText(QString::fromStdString(utf8));
}

void TMainForm::ShowSiteProblem(const std::string& reason) {
  ShowWarning(this, "SiteMessage", FromUtf8(u8"站点名"), reason);
}

std::string TMainForm::BeginCaption() const { return ToGbk(Begin_btn->text()); }

void TMainForm::SetBeginCaption(const std::string& caption) {
  Begin_btn->setText(FromGbk(caption));
}

void TMainForm::SetFieldResult(TResultField field, const TFieldResult& result) {
  if (field < 0 || field >= kTextFieldCount) return;
  QLabel* label = fields_[field];
  QString text;
  switch (result.State) {
    case TFieldState::Value:
      text = FromGbk(result.Text);
      break;
    case TFieldState::Pending:
      text = FromUtf8(u8"…");
      break;
    default:
      // The title has room to say it in words; the narrow value labels show a dash.
      text = field == rfWebTitle && result.State == TFieldState::Failed ? FromUtf8(u8"无法访问")
                                                             : FromUtf8(u8"—");
      break;
  }
  label->setText(text);
  SetColors(label, result.HasValue() ? &value_colors_[field] : &kGrey, nullptr);
  label->setToolTip(FromGbk(FieldTooltip(result)));
}

void TMainForm::SetPicture(const TRgbImage* picture, const TFieldResult& result) {
  if (picture != nullptr && !picture->Empty()) Image1->setPixmap(ToPixmap(*picture));
  Image1->setToolTip(FromGbk(FieldTooltip(result)));
}

void TMainForm::ShowProgress(int finished, int total) {
  QString title = FromUtf8(kWindowTitle);
  if (total > 0) {
    title += FromUtf8(u8" — 查询中 ") + QString::number(finished) + "/" + QString::number(total);
  }
  setWindowTitle(title);
}
