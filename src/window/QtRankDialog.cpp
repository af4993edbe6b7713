#include "window/QtRankDialog.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>

#include "history/HistoryStore.h"
#include "runtime/StrUtils.h"
#include "runtime/Thread.h"
#include "window/QtText.h"
#include "window/QtTrendDialog.h"

namespace {

std::atomic<int> g_running{0};

const QColor kBetter(0, 140, 60), kWorse(220, 0, 0);

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

// One run of positions on a thread of its own. Its positions and its end reach the dialog on the
// main thread, in that order, while the thread still lives.
class TRankThread : public TThread {
 public:
  TRankThread(TRankDialog* dialog, std::vector<TRankDef> ranks, TRankAsk ask,
              TRankRunOptions options)
      : dialog_(dialog), ranks_(std::move(ranks)), ask_(std::move(ask)), options_(options) {
    ++g_running;
  }
  TRankReport Report;

  // Asks the run to stop at its next step.
  void Stop() {
    stop_ = true;
    Terminate();
  }

 protected:
  void Execute() override {
    TRankRunOptions options = options_;
    options.Stop = &stop_;
    options.OnPosition = [this](const TRankPosition& p) {
      QueueOnMainThread([this, p] {
        if (dialog_ && dialog_->running_ == this) dialog_->ShowPosition(p);
      });
    };
    Report = RunRanks(ranks_, ask_, options);
    --g_running;  // nothing the run uses is touched from here on
  }

 public:
  QPointer<TRankDialog> dialog_;  // main thread only

 private:
  const std::vector<TRankDef> ranks_;
  const TRankAsk ask_;
  const TRankRunOptions options_;
  std::atomic<bool> stop_{false};
};

int TRankDialog::RunningCount() { return g_running.load(); }

TRankDialog::TRankDialog(THistoryStore* history, std::vector<TRankDef> ranks,
                         const std::string& site, const std::string& shown, QWidget* parent)
    : QDialog(parent), history_(history), ranks_(std::move(ranks)), site_(site), shown_(shown) {
  setObjectName("RankDialog");
  setAttribute(Qt::WA_DeleteOnClose, true);
  setFont(MakeFont(12));
  setWindowTitle(FromUtf8(u8"关键词排名 — ") + Q(shown_));
  resize(760, 420);

  summary_ = new QLabel(this);
  summary_->setObjectName("RankSummary");
  summary_->setTextFormat(Qt::PlainText);
  summary_->setFont(MakeFont(13, true));

  keywords_ = new QPlainTextEdit(this);
  keywords_->setObjectName("RankKeywords");
  keywords_->setPlaceholderText(FromUtf8(u8"关键词，每行一个"));
  keywords_->setFixedWidth(200);
  ask_ = new QPushButton(FromUtf8(u8"查询排名"), this);
  ask_->setObjectName("RankAsk");
  ask_->setDefault(true);
  connect(ask_, &QPushButton::clicked, this, [this] { Start(); });

  table_ = new QTableWidget(0, static_cast<int>(ranks_.size()), this);
  table_->setObjectName("RankTable");
  QStringList captions;
  for (const TRankDef& def : ranks_) captions << Q(def.Shown());
  table_->setHorizontalHeaderLabels(captions);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->setDefaultSectionSize(26);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
    if (row >= 0 && row < static_cast<int>(rows_.size())) ShowTrend(rows_[row]);
  });

  auto* left = new QVBoxLayout;
  left->addWidget(keywords_, 1);
  left->addWidget(ask_);
  auto* body = new QHBoxLayout;
  body->addLayout(left);
  body->addWidget(table_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(summary_);
  layout->addLayout(body, 1);

  std::vector<std::string> kept;
  if (history_ != nullptr) kept = history_->RankKeywords(site_);
  QStringList lines;
  for (const std::string& k : kept) lines << Q(k);
  keywords_->setPlainText(lines.join('\n'));
  summary_->setText(Q(shown_) + FromUtf8(u8" 的关键词排名"));
  ShowStored(kept);
}

TRankDialog::~TRankDialog() {
  // Its positions and its end find the dialog gone and are dropped.
  if (running_ != nullptr) running_->Stop();
}

std::vector<std::string> TRankDialog::TypedKeywords() const {
  std::vector<std::string> keywords;
  for (const QString& line : keywords_->toPlainText().split('\n')) {
    const std::string k = Trim(line.toStdString());
    if (!k.empty() && std::find(keywords.begin(), keywords.end(), k) == keywords.end())
      keywords.push_back(k);
  }
  return keywords;
}

void TRankDialog::ShowStored(const std::vector<std::string>& keywords) {
  rows_ = keywords;
  before_.clear();
  table_->setRowCount(static_cast<int>(rows_.size()));
  QStringList labels;
  for (const std::string& k : rows_) labels << Q(k);
  table_->setVerticalHeaderLabels(labels);
  for (int row = 0; row < static_cast<int>(rows_.size()); ++row) {
    // The last two stored positions of each engine.
    std::map<std::string, std::vector<TRankPosition>> seen;
    if (history_ != nullptr) {
      history_->EachRank(site_, rows_[row], [&](const THistoryStore::TRankPoint& point) {
        seen[point.Position.Engine].push_back(point.Position);
      });
    }
    for (int column = 0; column < static_cast<int>(ranks_.size()); ++column) {
      table_->setItem(row, column, new QTableWidgetItem);
      const auto it = seen.find(ranks_[column].Engine);
      if (it == seen.end()) continue;
      const std::vector<TRankPosition>& points = it->second;
      const TRankPosition* before = points.size() >= 2 ? &points[points.size() - 2] : nullptr;
      SetCell(row, column, points.back(), before);
      before_[{rows_[row], ranks_[column].Engine}] = points.back();
    }
  }
  if (history_ != nullptr) {
    const std::string trouble = history_->TakeMessage();
    if (!trouble.empty()) summary_->setText(summary_->text() + "\n" + Q(trouble));
  }
}

void TRankDialog::SetCell(int row, int column, const TRankPosition& p,
                          const TRankPosition* before) {
  auto* item = new QTableWidgetItem;
  item->setTextAlignment(Qt::AlignCenter);
  QString text, tip;
  if (p.State == TRankState::Found) {
    text = QString::number(p.Position);
    if (before != nullptr && before->State == TRankState::Found) {
      const int change = before->Position - p.Position;
      if (change != 0) {
        text += change > 0 ? FromUtf8(u8"  ↑") + QString::number(change)
                           : FromUtf8(u8"  ↓") + QString::number(-change);
        item->setForeground(change > 0 ? kBetter : kWorse);
      }
    } else if (before != nullptr) {
      text += FromUtf8(u8"  新");
      item->setForeground(kBetter);
    }
    tip = Q(p.Url) + "\n" + FromUtf8(u8"读了 ") + QString::number(p.Pages) + FromUtf8(u8" 页");
  } else {
    text = p.State == TRankState::Failed ? FromUtf8(u8"失败") : Q(RankStateText(p));
    item->setForeground(kGrey);
    tip = Q(RankStateText(p));
    if (!p.PageUrl.empty()) tip += "\n" + Q(p.PageUrl);
  }
  item->setText(text);
  item->setToolTip(tip);
  table_->setItem(row, column, item);
}

bool TRankDialog::Start() {
  const std::vector<std::string> keywords = TypedKeywords();
  if (keywords.empty()) {
    summary_->setText(FromUtf8(u8"请输入关键词，每行一个。"));
    return false;
  }
  if (running_ != nullptr) running_->Stop();
  if (history_ != nullptr) history_->SetRankKeywords(site_, keywords);
  QStringList lines;
  for (const std::string& k : keywords) lines << Q(k);
  keywords_->setPlainText(lines.join('\n'));  // as kept: trimmed, once each
  ShowStored(keywords);
  for (int row = 0; row < table_->rowCount(); ++row) {
    for (int column = 0; column < table_->columnCount(); ++column) {
      auto* waiting = new QTableWidgetItem(FromUtf8(u8"…"));
      waiting->setForeground(kGrey);
      waiting->setTextAlignment(Qt::AlignCenter);
      table_->setItem(row, column, waiting);
    }
  }
  summary_->setText(FromUtf8(u8"正在查询 ") + Q(shown_) + FromUtf8(u8" 的关键词排名…"));
  std::vector<std::string> engines;
  for (const TRankDef& def : ranks_) engines.push_back(def.Engine);
  auto* thread = new TRankThread(
      this, ranks_, {.Site = site_, .Keywords = keywords, .Engines = engines}, options_);
  thread->OnTerminate = [thread](TThread*) {
    if (thread->dialog_ && thread->dialog_->running_ == thread) {
      thread->dialog_->running_ = nullptr;
      thread->dialog_->Finished(thread->Report);
    }
  };
  running_ = thread;
  thread->Start();
  return true;
}

void TRankDialog::ShowPosition(const TRankPosition& p) {
  const auto row = std::find(rows_.begin(), rows_.end(), p.Keyword) - rows_.begin();
  const auto column = std::find_if(ranks_.begin(), ranks_.end(),
                                   [&](const TRankDef& d) { return d.Engine == p.Engine; }) -
                      ranks_.begin();
  if (row >= static_cast<long>(rows_.size()) || column >= static_cast<long>(ranks_.size())) return;
  const auto before = before_.find({p.Keyword, p.Engine});
  SetCell(static_cast<int>(row), static_cast<int>(column), p,
          before == before_.end() ? nullptr : &before->second);
}

void TRankDialog::Finished(const TRankReport& report) {
  for (const TRankPosition& p : report.Positions) ShowPosition(p);
  summary_->setText(
      Q(shown_) + "   " +
      QDateTime::fromMSecsSinceEpoch(report.StartedUnixMs).toString("yyyy-MM-dd HH:mm:ss") +
      FromUtf8(u8"   用时 ") + QString::number(report.ElapsedMs / 1000.0, 'f', 1) +
      FromUtf8(u8" 秒"));
  if (history_ == nullptr) return;
  history_->RecordRanks(report);  // a failure is told beside the table and changes nothing else
  const std::string trouble = history_->TakeMessage();
  if (!trouble.empty()) summary_->setText(summary_->text() + "\n" + Q(trouble));
}

QDialog* TRankDialog::ShowTrend(const std::string& keyword) {
  if (history_ == nullptr) return nullptr;
  auto* dialog = new TTrendDialog(*history_, site_, keyword, ranks_, this);
  dialog->show();
  return dialog;
}
