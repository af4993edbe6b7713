#include "window/QtTrendDialog.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QScatterSeries>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>
#include <limits>

#include "window/QtText.h"

namespace {

// One colour per line, told apart in the seven-engine view.
const QColor kLineColors[] = {QColor(0, 90, 200),  QColor(220, 60, 40),  QColor(120, 60, 170),
                              QColor(0, 150, 90),  QColor(230, 140, 0),  QColor(0, 160, 190),
                              QColor(90, 90, 90)};

}  // namespace

TTrendDialog::TTrendDialog(THistoryStore& store, const std::string& site,
                           std::vector<TResultField> fields, QWidget* parent)
    : QDialog(parent), fields_(std::move(fields)) {
  setObjectName("TrendDialog");
  setAttribute(Qt::WA_DeleteOnClose, true);
  setFont(MakeFont(12));
  QString title = FromUtf8(u8"历史趋势 — ") + FromGbk(site);
  // A store the team shares is named: its runs are not only this machine's.
  if (THistoryStore::IsDatabaseUrl(store.Path()))
    title += " (" + QString::fromStdString(store.Path()) + ")";
  setWindowTitle(title);
  resize(780, 600);

  chart_ = new QChart;
  chart_->setTitleFont(MakeFont(14, true));
  chart_->legend()->setFont(MakeFont(12));
  chart_->legend()->setAlignment(Qt::AlignBottom);
  chart_->setMargins(QMargins(4, 4, 4, 4));
  auto* view = new QChartView(chart_, this);  // owns the chart
  view->setObjectName("TrendChart");
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumHeight(320);

  note_ = new QLabel(this);
  note_->setObjectName("TrendNote");
  note_->setTextFormat(Qt::PlainText);
  note_->setVisible(false);

  table_ = new QTableWidget(this);
  table_->setObjectName("TrendTable");
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->setVisible(false);
  table_->verticalHeader()->setDefaultSectionSize(22);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view, 3);
  layout->addWidget(note_);
  layout->addWidget(table_, 2);

  // One field: read only its column. Several: read every field of each run at once.
  const bool one = fields_.size() == 1;
  std::vector<THistoryQuery> series = one ? store.Series(site, fields_[0]) : store.Series(site);
  const std::string trouble = store.TakeMessage();
  if (!trouble.empty()) {
    note_->setText(QString::fromStdString(trouble));
    note_->setVisible(true);
  } else if (series.empty()) {
    note_->setText(FromUtf8(u8"还没有这个站点的历史记录。"));
    note_->setVisible(true);
  }
  QStringList captions;
  for (TResultField f : fields_) captions << FromGbk(ResultFieldCaption(f));
  chart_->setTitle(fields_ == IndexCountFields() ? FromUtf8(u8"全部收录") : captions.join(" / "));
  Fill(series);
}

void TTrendDialog::Fill(const std::vector<THistoryQuery>& series) {
  // The chart: per field, a line for each stretch of runs with a number under one set of
  // definitions, and the points (also the legend's entry, and visible where a stretch is a
  // single run).
  double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
  for (size_t i = 0; i < fields_.size(); ++i) {
    const TResultField f = fields_[i];
    const QColor color = kLineColors[i % std::size(kLineColors)];
    std::vector<QLineSeries*> lines;
    QLineSeries* line = nullptr;
    auto* points = new QScatterSeries;
    points->setName(FromGbk(ResultFieldCaption(f)));
    points->setColor(color);
    points->setBorderColor(color);
    points->setMarkerSize(7);
    const std::string* set = nullptr;  // the definitions the last run used
    for (const THistoryQuery& q : series) {
      // Values of another set of definitions are no continuation of the line before.
      if (set != nullptr && *set != q.Record.ServiceSet) line = nullptr;
      set = &q.Record.ServiceSet;
      if (!q.Numbers[f]) {
        line = nullptr;  // a gap
        continue;
      }
      const double x = static_cast<double>(q.Record.StartedUnixMs), y = *q.Numbers[f];
      if (line == nullptr) {
        line = new QLineSeries;
        line->setName(FromGbk(ResultFieldCaption(f)));
        line->setPen(QPen(color, 2));
        lines.push_back(line);
      }
      line->append(x, y);
      points->append(x, y);
      low = std::min(low, y);
      high = std::max(high, y);
    }
    for (QLineSeries* l : lines) chart_->addSeries(l);
    chart_->addSeries(points);
    for (QLineSeries* l : lines) {
      for (QLegendMarker* m : chart_->legend()->markers(l)) m->setVisible(false);
    }
  }

  if (!series.empty()) {
    auto* time = new QDateTimeAxis;
    const bool days = series.back().Record.StartedUnixMs - series.front().Record.StartedUnixMs >=
                      2LL * 24 * 3600 * 1000;
    time->setFormat(days ? "MM-dd" : "MM-dd HH:mm");
    time->setLabelsFont(MakeFont(11));
    time->setTitleText(FromUtf8(u8"查询时间"));
    time->setTitleFont(MakeFont(11));
    const qint64 first = series.front().Record.StartedUnixMs;
    const qint64 last = series.back().Record.StartedUnixMs;
    const qint64 pad = std::max<qint64>((last - first) / 40, 30 * 60 * 1000);
    time->setRange(QDateTime::fromMSecsSinceEpoch(first - pad),
                   QDateTime::fromMSecsSinceEpoch(last + pad));
    time->setTickCount(std::min<int>(7, static_cast<int>(series.size()) + 1));
    auto* value = new QValueAxis;
    value->setLabelsFont(MakeFont(11));
    value->setLabelFormat("%.10g");
    if (high >= low) {
      // Several lines share the axis from 0; one line gets the room to show its changes.
      double bottom = std::min(0.0, low), top = high;
      if (fields_.size() == 1) {
        const double margin = high > low ? (high - low) * 0.2 : std::max(1.0, high * 0.1);
        bottom = low >= 0 ? std::max(0.0, low - margin) : low - margin;
        top = high + margin;
      }
      value->setRange(bottom, top > bottom ? top : bottom + 1);
      value->applyNiceNumbers();
    } else {
      value->setRange(0, 1);  // nothing to draw: every run failed, or the field is text
    }
    chart_->addAxis(time, Qt::AlignBottom);
    chart_->addAxis(value, Qt::AlignLeft);
    for (QAbstractSeries* s : chart_->series()) {
      s->attachAxis(time);
      s->attachAxis(value);
    }
  }

  // The table: a row per run, oldest first, like the chart.
  table_->setColumnCount(static_cast<int>(fields_.size()) + 1);
  QStringList headers{FromUtf8(u8"查询时间")};
  for (TResultField f : fields_) headers << FromGbk(ResultFieldCaption(f));
  table_->setHorizontalHeaderLabels(headers);
  table_->setRowCount(static_cast<int>(series.size()));
  for (int row = 0; row < static_cast<int>(series.size()); ++row) {
    const THistoryQuery& q = series[row];
    table_->setItem(row, 0,
                    new QTableWidgetItem(QDateTime::fromMSecsSinceEpoch(q.Record.StartedUnixMs)
                                             .toString("yyyy-MM-dd HH:mm:ss")));
    for (size_t i = 0; i < fields_.size(); ++i) {
      const TFieldResult& r = q.Record.Fields[fields_[i]];
      auto* item = new QTableWidgetItem;
      if (r.HasValue()) {
        item->setText(FromGbk(r.Text));
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      } else if (r.State != TFieldState::Pending) {  // pending: the run did not store this field
        item->setText(FromGbk(NoValueReason(r)));
        item->setForeground(kGrey);
        item->setToolTip(FromGbk(FieldTooltip(r)));
      }
      table_->setItem(row, static_cast<int>(i) + 1, item);
    }
  }
  table_->resizeColumnsToContents();
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->scrollToBottom();
}
