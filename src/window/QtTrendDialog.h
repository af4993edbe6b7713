// TTrendDialog: one site's stored values over time. A line chart of the chosen fields' numbers
// (one line per field; a run that gave no number breaks its line, so failures show as gaps) and
// below it a table of every stored run: its time, then per field the value or, in grey, why
// there was none.
//
// The same for one number of the site's check-ups (certificate days left, time to first byte,
// ...).
//
// The dialog reads the history once, when it is made; it never writes. It is modeless and
// deletes itself when closed.
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

class QChart;
class QLabel;
class QTableWidget;

class TTrendDialog : public QDialog {
 public:
  // site is GBK, as typed in the window; fields are drawn in the order given. The store is only
  // read here and need not outlive the dialog.
  TTrendDialog(THistoryStore& store, const std::string& site, std::vector<TResultField> fields,
               QWidget* parent = nullptr);
  // One number of the site's stored check-ups (site UTF-8, as the check-up names it): a line
  // broken where a check-up measured none, and a row per check-up with the value or, in grey,
  // the check's mark and reason.
  TTrendDialog(THistoryStore& store, const std::string& site, TAuditNumber number,
               QWidget* parent = nullptr);

  // One keyword's positions on each engine over the stored runs of `site` (ASCII, as requests
  // carry it): a line per engine, drawn with 1 at the top and broken where the site was not
  // found, and a row per run with each engine's position or, in grey, why there is none.
  TTrendDialog(THistoryStore& store, const std::string& site, const std::string& keyword,
               const std::vector<TRankDef>& engines, QWidget* parent = nullptr);

  QChart* Chart() const { return chart_; }
  QTableWidget* Table() const { return table_; }
  // What the dialog says about the history: nothing stored, or that it could not be read.
  QLabel* Note() const { return note_; }

 private:
  // A line's point per stored run, in their order: a run without a number is a gap, and Break
  // ends the stretch before it (the values are no continuation of those before).
  struct TPoint {
    int64_t At = 0;
    std::optional<double> Value;
    bool Break = false;
  };
  struct TLine {
    QString Name;
    std::vector<TPoint> Points;
  };
  // A cell of the table: a value, or in grey why there is none (Tip: the details).
  struct TCell {
    QString Text;
    bool Missing = false;
    QString Tip;
  };
  // The widgets, titled for `site`.
  void Build(const QString& site, const THistoryStore& store);
  // After reading: the store's trouble, or that nothing is stored.
  void ShowNote(THistoryStore& store, bool nothing);
  void DrawChart(const std::vector<TLine>& lines);
  // A row per run (its time, then a cell per line), oldest first like the chart.
  void FillTable(const QStringList& captions, const std::vector<int64_t>& times,
                 const std::vector<std::vector<TCell>>& rows);

  QChart* chart_;
  bool positions_ = false;  // the values are positions: 1 is drawn at the top
  QTableWidget* table_;
  QLabel* note_;
};
