#include "window/QtAlertsDialog.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "window/QtText.h"

TAlertsDialog::TAlertsDialog(THistoryStore& store, const std::vector<std::string>& sites,
                             QWidget* parent)
    : QDialog(parent) {
  setObjectName("AlertsDialog");
  setAttribute(Qt::WA_DeleteOnClose, true);
  setWindowTitle(FromUtf8(u8"提醒 - ") + QString::fromStdString(sites.empty() ? "" : sites[0]));
  std::vector<THistoryAlert> alerts;
  for (const std::string& site : sites) {
    store.EachAlert(site, false, [&](const THistoryAlert& a) {
      const bool seen = std::any_of(alerts.begin(), alerts.end(),
                                    [&](const THistoryAlert& b) { return b.Id == a.Id; });
      if (!seen) alerts.push_back(a);
    });
  }
  std::sort(alerts.begin(), alerts.end(),
            [](const THistoryAlert& a, const THistoryAlert& b) { return a.Id > b.Id; });

  auto* layout = new QVBoxLayout(this);
  if (alerts.empty()) {
    const std::string trouble = store.TakeMessage();
    layout->addWidget(new QLabel(trouble.empty() ? FromUtf8(u8"这个站点还没有提醒。")
                                                 : QString::fromStdString(trouble)));
  }
  table_ = new QTableWidget(static_cast<int>(alerts.size()), 5, this);
  table_->setHorizontalHeaderLabels({FromUtf8(u8"时间"), FromUtf8(u8"规则"), FromUtf8(u8"变化"),
                                     FromUtf8(u8"说明"), FromUtf8(u8"状态")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  for (int row = 0; row < static_cast<int>(alerts.size()); ++row) {
    const THistoryAlert& a = alerts[row];
    const QString when =
        QDateTime::fromMSecsSinceEpoch(a.RaisedUnixMs).toString("yyyy-MM-dd HH:mm");
    const std::string rule = a.Subject.empty() ? a.Rule : a.Rule + " (" + a.Subject + ")";
    const std::string change =
        (a.Before.empty() ? "-" : a.Before) + " → " + (a.After.empty() ? "-" : a.After);
    const QString texts[] = {when, QString::fromStdString(rule), QString::fromStdString(change),
                             QString::fromStdString(a.Message),
                             a.Open ? FromUtf8(u8"仍然存在") : FromUtf8(u8"已消除")};
    for (int column = 0; column < 5; ++column)
      table_->setItem(row, column, new QTableWidgetItem(texts[column]));
  }
  table_->resizeColumnsToContents();
  table_->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(table_);
  resize(760, 360);
}
