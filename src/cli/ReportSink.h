// What velmora-query does with each result of a run over a list: stores it in the history as soon
// as its run ends, counts it in the exit status (a running tally: nothing is kept for it), and
// writes it to the report in the order of the list, then lets it go.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "cli/ExitStatus.h"
#include "cli/QueryMode.h"
#include "cli/SiteListRunner.h"

// TWriter: TReportWriter or TAuditWriter (Add, Finish, Closing). The writer is opened before the
// first site starts (so a list that asks nobody writes nothing, not even a CSV header).
template <typename TResult, typename TWriter>
class TReportSink : public TResultSink<TResult> {
 public:
  TReportSink(std::function<void(const TResult&)> store,
              std::function<std::unique_ptr<TWriter>()> open)
      : store_(std::move(store)), open_(std::move(open)) {}
  void Starting() override {
    if (!writer_) writer_ = open_();
  }
  void Ended(const TResult& result) override {
    store_(result);
    status_ = std::max(status_, ExitStatusOf(result));
  }
  void Write(const TResult& result) override { writer_->Add(result); }
  const char* Closing() const override { return writer_ ? writer_->Closing() : ""; }

  // The exit status of a list that ended as `end`, once the report is finished.
  int Finish(TSiteListEnd end) {
    if (writer_) writer_->Finish();
    if (end == TSiteListEnd::ListFailed) return kToolError;
    return end == TSiteListEnd::Stopped ? std::max(status_, kToolSomeFailed) : status_;
  }

 private:
  const std::function<void(const TResult&)> store_;
  const std::function<std::unique_ptr<TWriter>()> open_;
  std::unique_ptr<TWriter> writer_;
  int status_ = kToolDone;
};
