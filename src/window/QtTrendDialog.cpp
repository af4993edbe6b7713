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
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "window/QtText.h"

namespace {

// One colour per line, told apart in the seven-engine view.
const QColor kLineColors[] = {QColor(0, 90, 200), QColor(220, 60, 40), QColor(120, 60, 170),
                              QColor(0, 150, 90), QColor(230, 140, 0), QColor(0, 160, 190),
                              QColor(90, 90, 90)};

}  // namespace

void TTrendDialog::Build(const QString& site, const THistoryStore& store) {
  setObjectName("TrendDialog");
  setAttribute(Qt::WA_DeleteOnClose, true);
  setFont(MakeFont(12));
  QString title = FromUtf8(u8"历史趋势 — ") + site;
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
}

void TTrendDialog::ShowNote(THistoryStore& store, bool nothing) {
  const std::string trouble = store.TakeMessage();
  if (!trouble.empty()) {
    note_->setText(QString::fromStdString(trouble));
    note_->setVisible(true);
  } else if (nothing) {
    note_->setText(FromUtf8(u8"还没有这个站点的历史记录。"));
    note_->setVisible(true);
  }
}

TTrendDialog::TTrendDialog(THistoryStore& store, const std::string& site,
                           std::vector<TResultField> fields, QWidget* parent)
    : QDialog(parent) {
  Build(FromGbk(site), store);
  // One field: read only its column. Several: read every field of each run at once.
  const bool one = fields.size() == 1;
  const std::vector<THistoryQuery> series =
      one ? store.Series(site, fields[0]) : store.Series(site);
  ShowNote(store, series.empty());
  QStringList captions;
  for (TResultField f : fields) captions << FromGbk(ResultFieldCaption(f));
  chart_->setTitle(fields == IndexCountFields() ? FromUtf8(u8"全部收录") : captions.join(" / "));

  std::vector<TLine> lines;
  for (TResultField f : fields) {
    TLine line{FromGbk(ResultFieldCaption(f)), {}};
    const std::string* set = nullptr;  // the definitions the last run used
    for (const THistoryQuery& q : series) {
      // Values of another set of definitions are no continuation of the line before.
      line.Points.push_back(
          {q.Record.StartedUnixMs, q.Numbers[f], set != nullptr && *set != q.Record.ServiceSet});
      set = &q.Record.ServiceSet;
    }
    lines.push_back(std::move(line));
  }
  DrawChart(lines);

  std::vector<int64_t> times;
  std::vector<std::vector<TCell>> rows;
  for (const THistoryQuery& q : series) {
    times.push_back(q.Record.StartedUnixMs);
    std::vector<TCell>& row = rows.emplace_back();
    for (TResultField f : fields) {
      const TFieldResult& r = q.Record.Fields[f];
      if (r.HasValue())
        row.push_back({FromGbk(r.Text)});
      else if (r.State != TFieldState::Pending)  // pending: the run did not store this field
        row.push_back({FromGbk(NoValueReason(r)), true, FromGbk(FieldTooltip(r))});
      else
        row.push_back({});
    }
  }
  FillTable(captions, times, rows);
}

TTrendDialog::TTrendDialog(THistoryStore& store, const std::string& site, TAuditNumber number,
                           QWidget* parent)
    : QDialog(parent) {
  Build(QString::fromStdString(site), store);
  const QString caption = QString::fromUtf8(AuditNumberCaption(number));
  chart_->setTitle(caption);
  TLine line{caption, {}};
  std::vector<int64_t> times;
  std::vector<std::vector<TCell>> rows;
  store.EachAudit({.Site = site}, [&](const TAuditReport& report) {
    const std::optional<double> value = report.Number(number);
    line.Points.push_back({report.StartedUnixMs, value});
    times.push_back(report.StartedUnixMs);
    const TAuditResult* result = report.Find(AuditNumberCheck(number));
    if (value) {
      rows.push_back({{QString::number(*value, 'g', 12)}});
    } else if (result != nullptr) {
      rows.push_back({{QString::fromUtf8(AuditMarkWord(result->Mark)) + FromUtf8(u8"：") +
                           QString::fromStdString(result->Reason),
                       true, QString::fromStdString(result->Url)}});
    } else {
      rows.push_back({{}});
    }
  });
  ShowNote(store, times.empty());
  DrawChart({line});
  FillTable({caption}, times, rows);
}

TTrendDialog::TTrendDialog(THistoryStore& store, const std::string& site,
                           const std::string& keyword, const std::vector<TRankDef>& engines,
                           QWidget* parent)
    : QDialog(parent), positions_(true) {
  Build(QString::fromStdString(site), store);
  chart_->setTitle(FromUtf8(u8"关键词排名：") + QString::fromStdString(keyword));
  // A run's positions share its start: one row per start.
  std::vector<int64_t> times;
  std::vector<std::vector<TCell>> rows;
  std::vector<TLine> lines;
  QStringList captions;
  for (const TRankDef& def : engines) {
    lines.push_back({QString::fromStdString(def.Shown()), {}});
    captions << QString::fromStdString(def.Shown());
  }
  store.EachRank(site, keyword, [&](const THistoryStore::TRankPoint& point) {
    if (times.empty() || times.back() != point.StartedUnixMs) {
      times.push_back(point.StartedUnixMs);
      rows.emplace_back(engines.size());
    }
    const TRankPosition& p = point.Position;
    const auto e = std::find_if(engines.begin(), engines.end(),
                                [&](const TRankDef& d) { return d.Engine == p.Engine; }) -
                   engines.begin();
    if (e >= static_cast<long>(engines.size())) return;  // an engine no longer defined
    const bool found = p.State == TRankState::Found;
    lines[e].Points.push_back({point.StartedUnixMs,
                               found ? std::optional<double>(p.Position) : std::nullopt});
    rows.back()[e] =
        found ? TCell{QString::number(p.Position), false, QString::fromStdString(p.Url)}
              : TCell{QString::fromStdString(RankStateText(p)), true,
                      QString::fromStdString(p.PageUrl)};
  });
  ShowNote(store, times.empty());
  DrawChart(lines);
  FillTable(captions, times, rows);
}

void TTrendDialog::DrawChart(const std::vector<TLine>& lines) {
  // Per line, a line series for each stretch of runs with a number, and the points (also the
  // legend's entry, and visible where a stretch is a single run).
  double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
  int64_t first = std::numeric_limits<int64_t>::max(), last = std::numeric_limits<int64_t>::min();
  size_t runs = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const QColor color = kLineColors[i % std::size(kLineColors)];
    std::vector<QLineSeries*> stretches;
    QLineSeries* stretch = nullptr;
    auto* points = new QScatterSeries;
    points->setName(lines[i].Name);
    points->setColor(color);
    points->setBorderColor(color);
    points->setMarkerSize(7);
    runs = std::max(runs, lines[i].Points.size());
    for (const TPoint& p : lines[i].Points) {
      first = std::min(first, p.At);
      last = std::max(last, p.At);
      if (p.Break || !p.Value) stretch = nullptr;  // a gap
      if (!p.Value) continue;
      const double x = static_cast<double>(p.At), y = *p.Value;
      if (stretch == nullptr) {
        stretch = new QLineSeries;
        stretch->setName(lines[i].Name);
        stretch->setPen(QPen(color, 2));
        stretches.push_back(stretch);
      }
      stretch->append(x, y);
      points->append(x, y);
      low = std::min(low, y);
      high = std::max(high, y);
    }
    for (QLineSeries* l : stretches) chart_->addSeries(l);
    chart_->addSeries(points);
    for (QLineSeries* l : stretches) {
      for (QLegendMarker* m : chart_->legend()->markers(l)) m->setVisible(false);
    }
  }
  if (runs == 0) return;

  auto* time = new QDateTimeAxis;
  const bool days = last - first >= 2LL * 24 * 3600 * 1000;
  time->setFormat(days ? "MM-dd" : "MM-dd HH:mm");
  time->setLabelsFont(MakeFont(11));
  time->setTitleText(FromUtf8(u8"查询时间"));
  time->setTitleFont(MakeFont(11));
  const qint64 pad = std::max<qint64>((last - first) / 40, 30 * 60 * 1000);
  time->setRange(QDateTime::fromMSecsSinceEpoch(first - pad),
                 QDateTime::fromMSecsSinceEpoch(last + pad));
  time->setTickCount(std::min<int>(7, static_cast<int>(runs) + 1));
  auto* value = new QValueAxis;
  value->setLabelsFont(MakeFont(11));
  value->setLabelFormat("%.10g");
  if (positions_) {
    // Position 1 at the top, room for the lowest one drawn.
    value->setReverse(true);
    value->setLabelFormat("%d");
    const double lowest = high >= low ? high : 10;
    value->setRange(1, std::max(10.0, std::ceil(lowest * 1.1)));
    value->setTickType(QValueAxis::TicksDynamic);
    value->setTickAnchor(1);
    value->setTickInterval(std::max(1.0, std::ceil(std::max(10.0, lowest) / 10)));
  } else if (high >= low) {
    // Several lines share the axis from 0; one line gets the room to show its changes.
    double bottom = std::min(0.0, low), top = high;
    if (lines.size() == 1) {
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

void TTrendDialog::FillTable(const QStringList& captions, const std::vector<int64_t>& times,
                             const std::vector<std::vector<TCell>>& rows) {
  table_->setColumnCount(static_cast<int>(captions.size()) + 1);
  table_->setHorizontalHeaderLabels(QStringList{FromUtf8(u8"查询时间")} + captions);
  table_->setRowCount(static_cast<int>(rows.size()));
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    table_->setItem(
        row, 0,
        new QTableWidgetItem(
            QDateTime::fromMSecsSinceEpoch(times[row]).toString("yyyy-MM-dd HH:mm:ss")));
    for (size_t i = 0; i < rows[row].size(); ++i) {
      const TCell& cell = rows[row][i];
      auto* item = new QTableWidgetItem(cell.Text);
      if (cell.Missing) {
        item->setForeground(kGrey);
        item->setToolTip(cell.Tip);
      } else {
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      }
      table_->setItem(row, static_cast<int>(i) + 1, item);
    }
  }
  table_->resizeColumnsToContents();
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->scrollToBottom();
}
