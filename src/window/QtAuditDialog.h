// TAuditDialog: a site's check-up in the window. A row per check: its mark (通过 / 注意 / 未通过 /
// 无法检查, coloured), the check's caption, the value it measured and the one-line reason; the
// row's tooltip names the URL the value came from and the check's further lines. A row whose
// check measures a number kept for trends (certificate days left, time to first byte, page
// weight, sitemap URLs) opens the trend of that number on a double-click, or of either of its
// numbers from its right-click menu.
//
// The check-up runs on a thread of its own and never holds up the window; closing the dialog
// asks it to stop and drops what it finds. A finished check-up is stored in the history.
// The dialog is modeless and deletes itself when closed.
//
// Threads: GUI thread only. The check-up's thread reaches the dialog through the main-thread
// queue.
#pragma once

#include <QDialog>
#include <string>

#include "audit/SiteAudit.h"

class QLabel;
class QTableWidget;
class THistoryStore;
class TAuditThread;

class TAuditDialog : public QDialog {
 public:
  // The history check-ups go into and trends are read from: not owned, it must outlive the
  // dialog; null stores nothing and offers no trends.
  explicit TAuditDialog(THistoryStore* history, QWidget* parent = nullptr);
  // Asks a check-up still running to stop.
  ~TAuditDialog() override;

  // Checks up on `target`; the rows wait, and fill when it ends.
  void Start(const TAuditTarget& target, TAuditOptions options);
  bool Running() const { return running_ != nullptr; }
  // Shows `report`: the end of a check-up, or any report (a stored one, a test's).
  void Fill(const TAuditReport& report);
  // The trend dialog of `number` for the site shown; null without a history or a report.
  QDialog* ShowTrend(TAuditNumber number);

  QTableWidget* Table() const { return table_; }
  // The line above the rows: the site, when it was checked, its worst mark, or what runs.
  QLabel* Summary() const { return summary_; }

  // Check-ups still running in the process, the dialogs' closed ones included: the program
  // leaves without tearing down what they use while this is not 0.
  static int RunningCount();

 private:
  void Finished(const TAuditReport& report);
  void ShowHistoryMessage();

  THistoryStore* history_;
  TAuditThread* running_ = nullptr;  // deletes itself once its end has been handled
  std::string site_;                 // UTF-8: the site of the report shown
  QTableWidget* table_;
  QLabel* summary_;
};
