// The program: starts the GUI, shows the main window and runs the message loop until the window
// is closed. It wires the window to the real page fetcher and the browser.
#include "window/Main.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QSettings>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "history/HistoryStore.h"
#include "watch/DesktopDelivery.h"
#include "query/MyThreadUnit.h"
#include "services/ServiceFile.h"
#include "window/ProgramOptions.h"
#include "window/QtAuditDialog.h"
#include "window/QtCrawlDialog.h"
#include "window/QtMainThreadQueue.h"
#include "window/QtUrlOpener.h"

namespace {

// Until the application object exists, Qt's complaints about a missing display are replaced by
// one line of our own, and its fatal error by a clean exit.
void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) return;
  std::fprintf(stderr, "Cannot open the window: no usable display (%s)\n",
               message.section('\n', 0, 0).toLocal8Bit().constData());
  std::fflush(stderr);
  std::_Exit(1);
}

#include "window/VelmoraIcon.inc"  // kVelmoraIcon: packaging/velmora.svg as a 128x128 PNG

// The program's icon from the installed icon theme, else the one built into the program (a
// build tree, or a prefix the theme search does not cover).
QIcon ProgramIcon() {
  QPixmap built_in;
  built_in.loadFromData(kVelmoraIcon, sizeof kVelmoraIcon, "PNG");
  return QIcon::fromTheme("velmora", QIcon(built_in));
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  TProgramOptions options;
  if (AsksForHelpOrVersion(argc, argv))
    return ReadProgramOptions(argc, argv, options, std::cout, std::cerr).value_or(0);
  QtMessageHandler previous = qInstallMessageHandler(StartupMessages);
  QApplication app(argc, argv);
  qInstallMessageHandler(previous);
  QCoreApplication::setApplicationName(QString::fromUtf8("站长工具"));
  if (const std::optional<int> rc = ReadProgramOptions(argc, argv, options, std::cout, std::cerr))
    return *rc;
  QGuiApplication::setDesktopFileName("velmora");
  QApplication::setWindowIcon(ProgramIcon());

  // Never freed: workers may post until the process is gone.
  auto* queue = new TQtMainThreadQueue;
  SetMainThreadQueue(queue);

  TQueryServices services = DefaultQueryServices();
  TQtUrlOpener opener;
  // The user's definitions over the built-in ones; a faulty entry keeps the built-in one.
  // --services, else the set last chosen in the window (服务定义 ▸ 经典 / 当前), else the
  // user's file or the classic set.
  std::string requested = options.Services;
  if (requested.empty()) {
    const std::string remembered = QSettings().value("services/set").toString().toStdString();
    if (BuiltInServiceSet(remembered) != nullptr) requested = remembered;
  }
  const TServiceLoad load = LoadServicesToUse(requested);
  services.Table = load.Table;
  const std::string services_problems = ProblemsReport(load);
  std::fputs(services_problems.c_str(), stderr);
  // Every finished run goes into the history; a history that cannot be used says so once and
  // the window works on without it. VELMORA_HISTORY_DB may name a store the team shares.
  const std::unique_ptr<THistoryStore> history = OpenHistoryStore(HistoryLocation(""));

  int rc;
  {
    TMainForm form(services, opener);
    form.SetHistory(history.get());
    // A query that changed something since the site's last one says so on the desktop, by the
    // user's alert rules (a rules file with faults: the built-in ones).
    std::vector<std::unique_ptr<TAlertDelivery>> desktop;
    desktop.push_back(std::make_unique<TDesktopDelivery>());
    form.SetWatch(std::make_unique<TSiteWatch>(
        TWatcher(LoadWatchRules(DefaultWatchRulesPath()).Rules), std::move(desktop)));
    form.show();
    if (!options.Site.empty()) {
      form.ShowTypedSite(options.Site);
      form.Begin_btnClick(nullptr);
    }
    if (!services_problems.empty()) {
      QMessageBox::warning(&form, QCoreApplication::applicationName(),
                           QString::fromStdString(services_problems));
    }
    rc = app.exec();
    queue->Close();
  }
  // Workers and check-ups still running are not waited for. Leave without running static
  // destructors, which could pull shared state from under them.
  if (MyThread::LiveCount() > 0 || TAuditDialog::RunningCount() > 0 ||
      TCrawlDialog::RunningCount() > 0) {
    std::fflush(nullptr);
    std::_Exit(rc);
  }
  return rc;
}
