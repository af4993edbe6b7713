// TCrawlDialog: a whole-site crawl in the window. While it runs, a progress bar and a line say
// how many URLs were read, how many wait and how many answered with an error; when it ends, the
// findings are grouped by rule (rule, severity, count, how many are new) and choosing a rule
// lists its pages with their details; "保存报告…" writes the self-contained HTML report.
//
// The crawl runs on a thread of its own and never holds up the window; closing the dialog stops
// it (the stopped crawl can be resumed from the command line with --resume). The dialog is
// modeless and deletes itself when closed.
//
// Threads: GUI thread only. The crawl's progress is read from its thread's counters by a timer.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "crawl/Crawler.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;
class TCrawlThread;

class TCrawlDialog : public QDialog {
 public:
  // Crawls are kept in the SQLite file at store_path (the history's file).
  explicit TCrawlDialog(std::string store_path, QWidget* parent = nullptr);
  // Asks a crawl still running to stop.
  ~TCrawlDialog() override;

  // Crawls `site` (an ASCII host name, ":port" when not 80); shown as `shown`.
  void Start(const std::string& site, const std::string& shown, TCrawlOptions options);
  bool Running() const { return running_ != nullptr; }
  // Writes the HTML report of the crawl shown to `path`; false (with the reason in the summary
  // line) when it could not.
  bool SaveReport(const std::string& path);

  QTableWidget* Rules() const { return rules_; }
  QTableWidget* Pages() const { return pages_; }
  QLabel* Summary() const { return summary_; }
  QProgressBar* Progress() const { return progress_; }

  // Crawls still running in the process, closed dialogs' included: the program leaves without
  // tearing down what they use while this is not 0.
  static int RunningCount();

 private:
  void Tick();
  void Finished();
  void ShowRule(int row);

  const std::string store_path_;
  std::unique_ptr<TCrawlStore> store_;  // the crawl shown's store, once it ended
  TCrawlOutcome outcome_;
  TCrawlThread* running_ = nullptr;  // deletes itself once its end has been handled
  QLabel* summary_;
  QProgressBar* progress_;
  QTableWidget* rules_;
  QTableWidget* pages_;
  QPushButton* save_;
  QTimer* timer_;
};
