#include "window/QtAuditDialog.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QTableWidget>
#include <QTextDocument>
#include <QVBoxLayout>
#include <atomic>

#include "history/HistoryStore.h"
#include "runtime/Thread.h"
#include "window/QtText.h"
#include "window/QtTrendDialog.h"

namespace {

std::atomic<int> g_running{0};

enum TColumn { kMarkColumn, kCheckColumn, kValueColumn, kReasonColumn, kColumnCount };

QColor MarkColor(TAuditMark mark) {
  switch (mark) {
    case TAuditMark::Pass:
      return QColor(0, 140, 60);
    case TAuditMark::Warn:
      return QColor(210, 120, 0);
    case TAuditMark::Fail:
      return QColor(220, 0, 0);
    case TAuditMark::Unable:
      break;
  }
  return kGrey;
}

QString FromView(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// The row's tooltip: where the value came from, then the check's further lines. The texts come
// from the site: a tooltip that Qt would read as markup is shown as the plain text it is.
QString Tooltip(const TAuditResult& result) {
  QStringList lines;
  if (!result.Url.empty()) lines << QString::fromStdString(result.Url);
  for (const std::string& line : result.Details) lines << QString::fromStdString(line);
  const QString tip = lines.join('\n');
  return Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal) : tip;
}

// The first trend number `check` measures, if any.
std::optional<TAuditNumber> FirstNumber(TAuditCheck check) {
  for (int n = 0; n < kAuditNumberCount; ++n)
    if (AuditNumberCheck(static_cast<TAuditNumber>(n)) == check)
      return static_cast<TAuditNumber>(n);
  return std::nullopt;
}

}  // namespace

// One check-up on a thread of its own; its report is read on the main thread once it ends.
class TAuditThread : public TThread {
 public:
  TAuditThread(TAuditTarget target, TAuditOptions options)
      : target_(std::move(target)), options_(std::move(options)) {
    ++g_running;
  }
  TAuditReport Report;

 protected:
  void Execute() override {
    TAuditOptions options = options_;
    options.Stopped = [this, asked = options_.Stopped] {
      return Terminated() || (asked && asked());
    };
    Report = RunAudit(target_, options);
    --g_running;  // nothing the check-up uses is touched from here on
  }

 private:
  const TAuditTarget target_;
  const TAuditOptions options_;
};

int TAuditDialog::RunningCount() { return g_running.load(); }

TAuditDialog::TAuditDialog(THistoryStore* history, QWidget* parent)
    : QDialog(parent), history_(history) {
  setObjectName("AuditDialog");
  setAttribute(Qt::WA_DeleteOnClose, true);
  setFont(MakeFont(12));
  setWindowTitle(FromUtf8(u8"站点体检"));
  resize(820, 340);

  summary_ = new QLabel(this);
  summary_->setObjectName("AuditSummary");
  summary_->setTextFormat(Qt::PlainText);
  summary_->setFont(MakeFont(13, true));

  table_ = new QTableWidget(0, kColumnCount, this);
  table_->setObjectName("AuditTable");
  table_->setHorizontalHeaderLabels(
      {FromUtf8(u8"结果"), FromUtf8(u8"检查项"), FromUtf8(u8"测得值"), FromUtf8(u8"说明")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->setVisible(false);
  table_->verticalHeader()->setDefaultSectionSize(26);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);

  auto check_of = [this](int row) -> std::optional<TAuditCheck> {
    QTableWidgetItem* item = row >= 0 ? table_->item(row, kCheckColumn) : nullptr;
    if (item == nullptr || !item->data(Qt::UserRole).isValid()) return std::nullopt;
    return static_cast<TAuditCheck>(item->data(Qt::UserRole).toInt());
  };
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this, check_of](int row, int) {
    if (auto check = check_of(row))
      if (auto number = FirstNumber(*check)) ShowTrend(*number);
  });
  connect(table_, &QWidget::customContextMenuRequested, this, [this, check_of](const QPoint& at) {
    const std::optional<TAuditCheck> check = check_of(table_->rowAt(at.y()));
    if (!check || history_ == nullptr || site_.empty()) return;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose, true);
    for (int n = 0; n < kAuditNumberCount; ++n) {
      const auto number = static_cast<TAuditNumber>(n);
      if (AuditNumberCheck(number) != *check) continue;
      menu->addAction(FromUtf8(u8"历史趋势：") + FromView(AuditNumberCaption(number)), this,
                      [this, number] { ShowTrend(number); });
    }
    if (menu->isEmpty()) {
      delete menu;
      return;
    }
    menu->popup(table_->viewport()->mapToGlobal(at));
  });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(summary_);
  layout->addWidget(table_);
}

TAuditDialog::~TAuditDialog() {
  // Its end finds the dialog gone and is dropped.
  if (running_ != nullptr) running_->Terminate();
}

void TAuditDialog::Start(const TAuditTarget& target, TAuditOptions options) {
  if (running_ != nullptr) running_->Terminate();
  site_ = target.Shown.empty() ? target.Host : target.Shown;
  summary_->setText(FromUtf8(u8"正在检查 ") + QString::fromStdString(site_) + FromUtf8(u8"…"));
  table_->setRowCount(kAuditCheckCount);
  for (int row = 0; row < kAuditCheckCount; ++row) {
    table_->setItem(row, kMarkColumn, new QTableWidgetItem(FromUtf8(u8"…")));
    table_->setItem(row, kCheckColumn,
                    new QTableWidgetItem(FromView(AuditCheckCaption(kAuditChecks[row]))));
    table_->setItem(row, kValueColumn, new QTableWidgetItem);
    table_->setItem(row, kReasonColumn, new QTableWidgetItem);
  }
  auto* thread = new TAuditThread(target, std::move(options));
  QPointer<TAuditDialog> self(this);
  thread->OnTerminate = [self, thread](TThread*) {
    if (self && self->running_ == thread) {
      self->running_ = nullptr;
      self->Finished(thread->Report);
    }
  };
  running_ = thread;
  thread->Start();
}

void TAuditDialog::Finished(const TAuditReport& report) {
  Fill(report);
  if (history_ == nullptr) return;
  history_->RecordAudit(report);  // a failure is told beside the rows and changes nothing else
  const std::string trouble = history_->TakeMessage();
  if (!trouble.empty())
    summary_->setText(summary_->text() + "\n" + QString::fromStdString(trouble));
}

void TAuditDialog::Fill(const TAuditReport& report) {
  site_ = report.Site;
  const TAuditMark worst = report.Worst();
  summary_->setText(
      QString::fromStdString(report.Site) + "   " +
      QDateTime::fromMSecsSinceEpoch(report.StartedUnixMs).toString("yyyy-MM-dd HH:mm:ss") +
      FromUtf8(u8"   用时 ") + QString::number(report.ElapsedMs / 1000.0, 'f', 1) +
      FromUtf8(u8" 秒   ") + FromView(AuditMarkWord(worst)));
  QPalette palette = summary_->palette();
  palette.setColor(QPalette::WindowText, MarkColor(worst));
  summary_->setPalette(palette);

  table_->setRowCount(static_cast<int>(report.Results.size()));
  QFont bold = font();
  bold.setBold(true);
  for (int row = 0; row < static_cast<int>(report.Results.size()); ++row) {
    const TAuditResult& r = report.Results[row];
    const QString tip = Tooltip(r);
    auto cell = [&](TColumn column, const QString& text) {
      auto* item = new QTableWidgetItem(text);
      item->setToolTip(tip);
      table_->setItem(row, column, item);
      return item;
    };
    QTableWidgetItem* mark = cell(kMarkColumn, FromView(AuditMarkWord(r.Mark)));
    mark->setForeground(MarkColor(r.Mark));
    mark->setFont(bold);
    mark->setTextAlignment(Qt::AlignCenter);
    cell(kCheckColumn, FromView(AuditCheckCaption(r.Check)))
        ->setData(Qt::UserRole, static_cast<int>(r.Check));
    cell(kValueColumn, QString::fromStdString(r.Value));
    cell(kReasonColumn, QString::fromStdString(r.Reason));
  }
  table_->resizeColumnsToContents();
  for (int column = kMarkColumn; column < kReasonColumn; ++column)
    table_->setColumnWidth(column, table_->columnWidth(column) + 12);  // room between columns
  table_->horizontalHeader()->setStretchLastSection(true);
}

QDialog* TAuditDialog::ShowTrend(TAuditNumber number) {
  if (history_ == nullptr || site_.empty()) return nullptr;
  auto* dialog = new TTrendDialog(*history_, site_, number, this);
  dialog->show();
  return dialog;
}
