// TTrendDialog: one site's stored values over time. A line chart of the chosen fields' numbers
// (one line per field; a run that gave no number breaks its line, so failures show as gaps) and
// below it a table of every stored run: its time, then per field the value or, in grey, why
// there was none.
//
// The dialog reads the history once, when it is made; it never writes. It is modeless and
// deletes itself when closed.
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>
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


  QChart* Chart() const { return chart_; }
  QTableWidget* Table() const { return table_; }
  // What the dialog says about the history: nothing stored, or that it could not be read.
  QLabel* Note() const { return note_; }

 private:
  void Fill(const std::vector<THistoryQuery>& series);

  std::vector<TResultField> fields_;
  QChart* chart_;
  QTableWidget* table_;
  QLabel* note_;
};
