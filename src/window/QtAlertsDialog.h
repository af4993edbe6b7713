// TAlertsDialog: the alerts the watch raised for one site, newest first: when, the rule and what
// it looked at, before -> after, and the sentence; those whose condition still held when the
// site was last compared are marked open.
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

class QTableWidget;

class TAlertsDialog : public QDialog {
 public:
  // `sites`: the names (UTF-8) the site's alerts are kept under (a query's and a check-up's may
  // differ). The store is only read here and need not outlive the dialog.
  TAlertsDialog(THistoryStore& store, const std::vector<std::string>& sites,
                QWidget* parent = nullptr);
  QTableWidget* Table() const { return table_; }

 private:
  QTableWidget* table_;
};
