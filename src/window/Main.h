// TMainForm, the program's only window: the site-name field, the Query button, the picture and
// the 27 result fields in three panels. It lays out its controls and forwards their events to
// TQueryController, which holds the logic; as the controller's TQueryView it converts texts
// between GBK and Qt at this boundary (characters GBK cannot hold become "?").
//
// Threads: GUI thread only. Workers reach the window through the main-thread queue, which the
// program (or test) installs before the first run.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <memory>

#include "query/QueryController.h"
#include "watch/SiteWatch.h"

class QDialog;
class QEvent;
class QFrame;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class THistoryStore;

class TMainForm : public QWidget, public TQueryView {
 public:
  // opener is not owned and must outlive the window. services.Hosts.MakerSite is the initial
  // site name.
  TMainForm(TQueryServices services, TUrlOpener& opener, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Event handlers, named after the controls that raise them.
  void Begin_btnClick(QObject* Sender);
  void Alexa1Click(QObject* Sender);  // every label whose Tag is not 0
  void Image1Click(QObject* Sender);
  // The controller's operations, reachable from the window too.
  void CheckWeburl() { controller_->CheckWeburl(); }
  void Loading() { controller_->Loading(); }
  void ThreadDone(TThread* Sender) { controller_->ThreadDone(Sender); }
  TQueryController& Controller() { return *controller_; }

  // The label of a result field.
  QLabel* Field(TResultField field) const { return fields_[field]; }

  // The history that every finished run goes into and the trend dialog reads. Not owned; it
  // must outlive the window. Null (the default) stores nothing and offers no trend menu. The
  // store's messages (it could not be opened or written, a corrupt file was set aside) are
  // shown once each, in a message box that does not hold up the window.
  void SetHistory(THistoryStore* history);
  // The right-click menu of a result field: "历史趋势…", and for the seven index counts also
  // "全部收录"; the definitions in use; "站点体检…". Null without a history. The caller shows it
  // (popup) or triggers its actions.
  QMenu* HistoryMenu(TResultField field);
  // Opens the trend dialog for the site in the site-name field: a line per field, in the order
  // given. Null without a history.
  QDialog* ShowTrend(std::vector<TResultField> fields);
  // Opens the check-up dialog for the site in the site-name field and starts its check-up (the
  // menu's "站点体检…"); null, after the site-name message, when the field holds no site name.
  // The check-up goes into the history when there is one.
  QDialog* ShowAudit();
  // Opens the crawl dialog for the site in the site-name field and starts its whole-site crawl
  // (the menu's "全站体检…"); null, after the site-name message, when the field holds no site.
  QDialog* ShowCrawl();
  // Opens the keyword positions dialog for the site in the site-name field (the menus'
  // "关键词排名…"); null, after the site-name message, when the field holds no site name.
  QDialog* ShowRanks();
  // Opens the alerts of the site in the site-name field (the menus' "提醒…"); null without a
  // history or a site name.
  QDialog* ShowAlerts();
  // Each finished run stored in the history is then compared with the site's run before it,
  // and what changed is delivered as `watch` says (the program: desktop notifications). Null
  // (the default): no watching. A trouble is shown once.
  void SetWatch(std::unique_ptr<TSiteWatch> watch);

  // TQueryView (texts in GBK).
  std::string WebUrlText() const override;
  void SetWebUrlText(const std::string& text) override;
  std::string TypedSite() const override;
  void ShowTypedSite(const std::string& utf8) override;
  void ShowSiteProblem(const std::string& reason) override;
  std::string BeginCaption() const override;
  void SetBeginCaption(const std::string& caption) override;
  void SetFieldResult(TResultField field, const TFieldResult& result) override;
  void SetPicture(const TRgbImage* picture, const TFieldResult& result) override;
  void ShowProgress(int finished, int total) override;

  // The controls, by name (also their object names).
  QLabel* Label2;
  QLineEdit* WebUrl;
  QPushButton* Begin_btn;
  QFrame* Panel2;
  QFrame* Panel3;
  QLabel* Image1;
  QLabel* WebTitle;
  std::array<QLabel*, 7> ZHTool;  // [1..6] used: ZHTool1..ZHTool6
  std::array<QLabel*, 7> Alexa;   // [1..6]: Alexa1..Alexa6
  QGroupBox* GroupBox1;
  QFrame* Panel1;
  std::array<QLabel*, 8> SName;  // [0..7]: SName0..SName7
  std::array<QLabel*, 8> Site;   // [0..7]: Site0 (caption), Site1..Site7
  std::array<QLabel*, 8> Link;   // [0..7]: Link0 (caption), Link1..Link7
  QGroupBox* GroupBox2;
  std::array<QLabel*, 7> SNameP;  // [1..6]: SName01..SName06
  std::array<QLabel*, 7> Dmy;     // [1..6]: Dmy1..Dmy6
  QLabel* Label1;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  enum TLook { lkPlain, lkCaption, lkCaptionLeft, lkValue };
  QLabel* MakeLabel(QWidget* parent, const char* name, int left, int top, int width, int height,
                    const char8_t* text, TLook look, int tag = 0);
  void BuildSitePanel();
  void BuildEnginePanel();
  void BuildPeriodPanel();
  void RecordRun(const TQueryRecord& record);
  // The caption cells as the definitions in use name their services.
  void ShowCaptions();
  // The built-in set `name` for the next runs, remembered between runs.
  void UseServiceSet(const char* name);
  void ShowHistoryMessage();

  std::array<QLabel*, kTextFieldCount> fields_{};
  std::array<QColor, kTextFieldCount> value_colors_{};  // each field's colour for a value
  THistoryStore* history_ = nullptr;
  std::unique_ptr<TSiteWatch> watch_;  // null: runs are not compared
  bool watch_trouble_shown_ = false;
  std::string proxy_;                             // the queries' proxy URL, for the check-ups too
  std::unique_ptr<TQueryController> controller_;  // created last, destroyed first
};
