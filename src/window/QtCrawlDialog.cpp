#include "window/QtCrawlDialog.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <fstream>
#include <map>

#include "crawl/CrawlHtmlReport.h"
#include "crawl/CrawlRules.h"
#include "runtime/Thread.h"
#include "window/QtText.h"

namespace {

std::atomic<int> g_running{0};

constexpr int kTickMs = 200;

QString FromView(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QColor SeverityColor(TCrawlSeverity severity) {
  switch (severity) {
    case TCrawlSeverity::Error:
      return QColor(220, 0, 0);
    case TCrawlSeverity::Warning:
      return QColor(210, 120, 0);
    case TCrawlSeverity::Notice:
      break;
  }
  return kGrey;
}

}  // namespace

// One crawl on a thread of its own; the dialog reads its counters and, once it ends, its outcome.
class TCrawlThread : public TThread {
 public:
  TCrawlThread(std::string store_path, std::string site, TCrawlOptions options)
      : store_path_(std::move(store_path)), site_(std::move(site)), options_(std::move(options)) {
    ++g_running;
  }
  std::atomic<int64_t> Asked{0}, Queued{0}, Broken{0};
  TCrawlOutcome Outcome;

 protected:
  void Execute() override {
    TCrawlStore store;
    if (!store.Open(store_path_)) {
      Outcome.State = "failed";
      Outcome.Reason = store.Message();
    } else {
      TCrawlOptions options = options_;
      options.Stopped = [this] { return Terminated(); };
      Outcome = TCrawler(store, options).Run(site_, [this](const TCrawlProgress& p) {
        Asked = p.Asked;
        Queued = p.Queued;
        Broken = p.Broken;
      });
    }
    --g_running;  // nothing the crawl uses is touched from here on
  }

 private:
  const std::string store_path_;
  const std::string site_;
  const TCrawlOptions options_;
};

int TCrawlDialog::RunningCount() { return g_running.load(); }

TCrawlDialog::TCrawlDialog(std::string store_path, QWidget* parent)
    : QDialog(parent), store_path_(std::move(store_path)) {
  setObjectName("CrawlDialog");
  setAttribute(Qt::WA_DeleteOnClose, true);
  setFont(MakeFont(12));
  setWindowTitle(FromUtf8(u8"全站体检"));
  resize(900, 520);

  summary_ = new QLabel(this);
  summary_->setObjectName("CrawlSummary");
  summary_->setTextFormat(Qt::PlainText);
  summary_->setFont(MakeFont(13, true));
  summary_->setWordWrap(true);

  progress_ = new QProgressBar(this);
  progress_->setObjectName("CrawlProgress");
  progress_->setRange(0, 0);

  rules_ = new QTableWidget(0, 4, this);
  rules_->setObjectName("CrawlRules");
  rules_->setHorizontalHeaderLabels(
      {FromUtf8(u8"规则"), FromUtf8(u8"级别"), FromUtf8(u8"数量"), FromUtf8(u8"新出现")});
  pages_ = new QTableWidget(0, 3, this);
  pages_->setObjectName("CrawlPages");
  pages_->setHorizontalHeaderLabels({FromUtf8(u8"变化"), FromUtf8(u8"网址"), FromUtf8(u8"详情")});
  for (QTableWidget* table : {rules_, pages_}) {
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
  }
  connect(rules_, &QTableWidget::currentCellChanged, this,
          [this](int row, int, int, int) { ShowRule(row); });

  save_ = new QPushButton(FromUtf8(u8"保存报告…"), this);
  save_->setObjectName("CrawlSave");
  save_->setEnabled(false);
  connect(save_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, FromUtf8(u8"保存全站体检报告"),
                                                      "crawl-report.html", "HTML (*.html)");
    if (!path.isEmpty()) SaveReport(path.toStdString());
  });

  auto* split = new QSplitter(Qt::Horizontal, this);
  split->addWidget(rules_);
  split->addWidget(pages_);
  split->setStretchFactor(1, 2);
  split->setSizes({360, 540});
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(save_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(summary_);
  layout->addWidget(progress_);
  layout->addWidget(split, 1);
  layout->addLayout(buttons);

  timer_ = new QTimer(this);
  timer_->setInterval(kTickMs);
  connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
}

TCrawlDialog::~TCrawlDialog() {
  // Its end finds the dialog gone and is dropped.
  if (running_ != nullptr) running_->Terminate();
}

void TCrawlDialog::Start(const std::string& site, const std::string& shown, TCrawlOptions options) {
  if (running_ != nullptr) running_->Terminate();
  store_.reset();
  rules_->setRowCount(0);
  pages_->setRowCount(0);
  save_->setEnabled(false);
  progress_->setRange(0, 0);
  progress_->show();
  summary_->setText(FromUtf8(u8"正在抓取 ") + QString::fromStdString(shown) + FromUtf8(u8"…"));
  auto* thread = new TCrawlThread(store_path_, site, std::move(options));
  QPointer<TCrawlDialog> self(this);
  thread->OnTerminate = [self, thread](TThread*) {
    if (self && self->running_ == thread) {
      self->outcome_ = thread->Outcome;
      self->running_ = nullptr;
      self->Finished();
    }
  };
  running_ = thread;
  thread->Start();
  timer_->start();
}

void TCrawlDialog::Tick() {
  if (running_ == nullptr) return;
  const int64_t asked = running_->Asked, queued = running_->Queued;
  progress_->setRange(0, static_cast<int>(std::min<int64_t>(asked + queued, INT32_MAX)));
  progress_->setValue(static_cast<int>(std::min<int64_t>(asked, INT32_MAX)));
  progress_->setFormat(
      FromUtf8(u8"已读 %1，待读 %2，出错 %3").arg(asked).arg(queued).arg(running_->Broken.load()));
}

void TCrawlDialog::Finished() {
  timer_->stop();
  progress_->hide();
  if (outcome_.Crawl == 0) {
    summary_->setText(FromUtf8(u8"全站体检没有进行：") + QString::fromStdString(outcome_.Reason));
    return;
  }
  store_ = std::make_unique<TCrawlStore>();
  if (!store_->Open(store_path_)) {
    summary_->setText(QString::fromStdString(store_->Message()));
    store_.reset();
    return;
  }
  const std::optional<TCrawlInfo> info = store_->Crawl(outcome_.Crawl);
  const TCrawlStore::TSummary summary = store_->Summary(outcome_.Crawl);
  QString line = QString::fromStdString(info ? info->Site : std::string()) + "   " +
                 QString::fromUtf8(CrawlStateWord(outcome_.State));
  if (!outcome_.Reason.empty())
    line += FromUtf8(u8"（") + QString::fromStdString(outcome_.Reason) + FromUtf8(u8"）");
  line += FromUtf8(u8"   读了 %1 个网址，发现 %2 个问题")
              .arg(info ? info->Pages : 0)
              .arg(info ? info->Findings : 0);
  if (summary.HasEarlier) {
    line += FromUtf8(u8"（比上一次新出现 %1 个，消失 %2 个）").arg(summary.New).arg(summary.Gone);
  }
  summary_->setText(line);

  std::map<std::string, int64_t> fresh;
  store_->EachFinding(outcome_.Crawl, [&](const TCrawlFinding& f) {
    if (f.Change == TCrawlChange::New) ++fresh[f.Rule];
  });
  rules_->setRowCount(static_cast<int>(summary.PerRule.size()));
  int row = 0;
  for (const auto& [id, count] : summary.PerRule) {
    const TCrawlRule* rule = FindCrawlRule(id);
    auto* name = new QTableWidgetItem(QString::fromStdString(id));
    if (rule) name->setToolTip(FromView(rule->Meaning));
    rules_->setItem(row, 0, name);
    auto* severity =
        new QTableWidgetItem(rule ? FromView(CrawlSeverityName(rule->Severity)) : QString());
    if (rule) severity->setForeground(SeverityColor(rule->Severity));
    rules_->setItem(row, 1, severity);
    rules_->setItem(row, 2, new QTableWidgetItem(QString::number(count)));
    rules_->setItem(row, 3, new QTableWidgetItem(QString::number(fresh[id])));
    ++row;
  }
  rules_->resizeColumnsToContents();
  save_->setEnabled(true);
  if (rules_->rowCount() > 0) rules_->setCurrentCell(0, 0);
}

void TCrawlDialog::ShowRule(int row) {
  pages_->setRowCount(0);
  QTableWidgetItem* item = row >= 0 ? rules_->item(row, 0) : nullptr;
  if (item == nullptr || store_ == nullptr) return;
  const std::string rule = item->text().toStdString();
  store_->EachFinding(outcome_.Crawl, [&](const TCrawlFinding& f) {
    if (f.Rule != rule) return;
    const int at = pages_->rowCount();
    pages_->insertRow(at);
    pages_->setItem(at, 0,
                    new QTableWidgetItem(f.Change == TCrawlChange::New    ? FromUtf8(u8"新")
                                         : f.Change == TCrawlChange::Gone ? FromUtf8(u8"已消失")
                                                                          : FromUtf8(u8"仍在")));
    pages_->setItem(at, 1, new QTableWidgetItem(QString::fromStdString(f.Url)));
    pages_->setItem(at, 2, new QTableWidgetItem(QString::fromStdString(f.Detail)));
  });
  pages_->resizeColumnToContents(0);
  pages_->resizeColumnToContents(1);
}

bool TCrawlDialog::SaveReport(const std::string& path) {
  if (store_ == nullptr) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  WriteCrawlHtmlBegin(out);
  WriteCrawlHtmlSite(out, *store_, outcome_);
  WriteCrawlHtmlEnd(out);
  out.flush();
  if (!out) {
    summary_->setText(summary_->text() + "\n" + FromUtf8(u8"报告没有保存：") +
                      QString::fromStdString(path));
    return false;
  }
  return true;
}
