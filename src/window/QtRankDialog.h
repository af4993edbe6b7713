// TRankDialog: where a site stands for its keywords on each engine. The keywords kept for the
// site (one a line, stored in the history), a button that asks them on every engine the
// definitions describe, and a table of keyword rows by engine columns: the position (1 is the
// top), or in grey why there is none (不在前 100, 被验证页面拦截, the failure), with the change
// since the run before (↑ better, ↓ worse, 新 newly found) and, in the tooltip, the URL that
// ranked. A double-click on a row opens the keyword's trend, positions drawn with 1 at the top.
//
// The positions are asked on a thread of their own and never hold up the window; the cells fill
// as they come. Closing the dialog asks the run to stop and drops what it finds. A finished run
// is stored in the history. The dialog is modeless and deletes itself when closed.
//
// Threads: GUI thread only. The run's thread reaches the dialog through the main-thread queue.
#pragma once

#include <QDialog>
#include <map>
#include <string>
#include <vector>

#include "rank/RankRun.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class THistoryStore;
class TRankThread;

class TRankDialog : public QDialog {
 public:
  // `site` as requests carry it (ASCII), `shown` as the user typed it. The history keeps the
  // keywords and the runs and gives the changes: not owned, it must outlive the dialog; null
  // keeps nothing. `ranks` describe the engines asked, in their column order.
  TRankDialog(THistoryStore* history, std::vector<TRankDef> ranks, const std::string& site,
              const std::string& shown, QWidget* parent = nullptr);
  // Asks a run still going to stop.
  ~TRankDialog() override;

  // How runs go (time-out, delay, proxies' session, hosts); Stop and OnPosition are the
  // dialog's own.
  void SetRunOptions(const TRankRunOptions& options) { options_ = options; }
  // Keeps the keywords in the box and asks them on every engine; false (and a word in the
  // summary) when the box holds none.
  bool Start();
  bool Running() const { return running_ != nullptr; }
  // The keyword's trend over the stored runs; null without a history.
  QDialog* ShowTrend(const std::string& keyword);

  QPlainTextEdit* Keywords() const { return keywords_; }
  QPushButton* AskButton() const { return ask_; }
  QTableWidget* Table() const { return table_; }
  QLabel* Summary() const { return summary_; }

  // Runs still going in the process, the closed dialogs' included.
  static int RunningCount();

 private:
  friend class TRankThread;
  // The keywords in the box, trimmed, without empty lines or repeats.
  std::vector<std::string> TypedKeywords() const;
  // A row per keyword, the cells from the last two stored runs (or empty).
  void ShowStored(const std::vector<std::string>& keywords);
  void ShowPosition(const TRankPosition& p);
  void Finished(const TRankReport& report);
  void SetCell(int row, int column, const TRankPosition& p, const TRankPosition* before);

  THistoryStore* history_;
  const std::vector<TRankDef> ranks_;
  const std::string site_, shown_;
  TRankRunOptions options_;
  std::vector<std::string> rows_;  // the keyword of each row
  // The position of the run before the one shown, by keyword and engine (for the changes).
  std::map<std::pair<std::string, std::string>, TRankPosition> before_;
  TRankThread* running_ = nullptr;  // deletes itself once its end has been handled
  QLabel* summary_;
  QPlainTextEdit* keywords_;
  QPushButton* ask_;
  QTableWidget* table_;
};
