// The main window's logic without any widget: normalising the site name, starting a run of the
// eleven workers, showing the placeholders, Stop, counting completions, and the click-to-browse
// table. TMainForm (window/Main) forwards its events here and implements TQueryView.
//
// Threads: every method runs on the UI thread, and so do the view's methods. The run registry
// needs no lock. Workers reach the controller only through the main-thread queue, and only while
// the controller exists: values and completions that arrive after it is destroyed are dropped.
//
// Runs: each run has its own hand-over (TQueryRun). Starting a run detaches the one before, so
// a stopped run's late values never land in the fields of the next site, and only the latest
// run's completions count towards its end.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "query/MyThreadUnit.h"
#include "query/SiteName.h"
#include "runtime/CodePage.h"
#include "services/ServiceHosts.h"

// The window as the controller sees it. Texts are GBK.
class TQueryView : public TJobSink {
 public:
  // How many of a run's jobs have finished; total 0 when no run is under way.
  virtual void ShowProgress(int finished, int total) = 0;
  virtual std::string WebUrlText() const = 0;
  virtual void SetWebUrlText(const std::string& text) = 0;
  // The Query button's caption is the controller's state: "查询" idle, "停止" running.
  virtual std::string BeginCaption() const = 0;
  virtual void SetBeginCaption(const std::string& caption) = 0;
  // The site-name field in UTF-8, for a view that holds characters GBK lacks.
  virtual std::string TypedSite() const { return GbkToUtf8(WebUrlText()); }
  virtual void ShowTypedSite(const std::string& utf8) { SetWebUrlText(Utf8ToGbk(utf8)); }
  // What the user typed is not a site name: why (UTF-8). Nothing was started.
  virtual void ShowSiteProblem(const std::string& /*reason*/) {}
};

// Hands a URL to the user's web browser; the outcome is ignored. UI thread.
class TUrlOpener {
 public:
  virtual ~TUrlOpener() = default;
  virtual void OpenUrl(const std::string& url) = 0;
};

// The window as a query without one needs it: the site name and the button's state, results
// dropped (they reach the caller through OnRunFinished). For the command line and benchmarks.
class THeadlessView : public TQueryView {
 public:
  std::string Site;  // the site-name field
  std::string WebUrlText() const override { return Site; }
  void SetWebUrlText(const std::string& text) override { Site = text; }
  std::string BeginCaption() const override { return caption_; }
  void SetBeginCaption(const std::string& caption) override { caption_ = caption; }
  void SetFieldResult(TResultField, const TFieldResult&) override {}
  void SetPicture(const TRgbImage*, const TFieldResult&) override {}
  void ShowProgress(int, int) override {}
  // Whether a run is under way (the button says "停止").
  bool Running() const;

 private:
  std::string caption_ = IdleCaption();
  static std::string IdleCaption();
};

// A browser that opens nothing.
class TNoUrlOpener : public TUrlOpener {
 public:
  void OpenUrl(const std::string&) override {}
};

// The search page behind a clickable label: "http://" host path "?" query-prefix site_name for
// the Tag's row, the tool site's home page for Tag 4, "" for a Tag that is not in the table.
// site_name (TSiteName::Request) is percent-encoded in a query.
std::string BrowseUrl(int tag, const std::string& site_name, const TServiceHosts& hosts);


class TQueryController : private TJobSink {
 public:
  // view and opener are not owned and must outlive the controller.
  TQueryController(TQueryView& view, TUrlOpener& opener, TQueryServices services);
  // Running workers are not waited for; what they still deliver is dropped.
  ~TQueryController();
  TQueryController(const TQueryController&) = delete;
  TQueryController& operator=(const TQueryController&) = delete;

  // The definitions the next run uses (a run under way keeps its own); null: the built-in ones.
  void SetServiceTable(std::shared_ptr<const TServiceTable> table) {
    services_.Table = std::move(table);
  }
  const std::shared_ptr<const TServiceTable>& ServiceTable() const { return services_.Table; }

  // The Query/Stop button: starts a run when idle, stops the latest run otherwise.
  void Begin_btnClick();
  // The site name in the field, parsed (ParseSiteName); a usable one replaces what was typed.
  TSiteName CheckWeburl();
  // The pending mark into the 27 result fields.
  void Loading();
  // A worker of the latest run completed: one less remaining; at 0 the button says "查询"
  // again.
  void ThreadDone(TThread* sender);
  // A click on a label carrying `tag`: opens its search page for the current site name.
  void Alexa1Click(int tag);
  // A click on the picture: opens the maker's home page.
  void Image1Click();

  // The run registry, for inspection.
  int32_t WorkerCount() const { return worker_count_; }
  int32_t RemainingCount() const { return remaining_count_; }
  // What each field of the latest run holds so far.
  const TFieldResult& FieldResult(TResultField field) const { return record_.Fields[field]; }

  // Called on the UI thread when every worker of the latest run has ended (stopped runs
  // included), with what the run found.
  std::function<void(const TQueryRecord&)> OnRunFinished;

 private:
  // Reaches the controller from completions posted by workers; Controller is null once the
  // controller is gone.
  struct TLink {
    TQueryController* Controller;
  };
  // A worker ended and is about to dispose of itself: forget it; a worker of the latest run
  // then counts as done.
  void WorkerEnded(TThread* sender, int run);
  // Stop: the latest run sends no further request, and what it had not yet delivered shows
  // as stopped.
  void Stop();

  // TJobSink: the latest run's results on their way to the view.
  void SetFieldResult(TResultField field, const TFieldResult& result) override;
  void SetPicture(const TRgbImage* picture, const TFieldResult& result) override;

  TQueryView& view_;
  TUrlOpener& opener_;
  TQueryServices services_;
  std::shared_ptr<TQueryRun> latest_;  // the latest run; null before the first
  std::shared_ptr<TLink> link_;

  int run_ = 0;                     // number of the latest run
  int32_t worker_count_ = 0;        // workers of the latest run
  std::vector<MyThread*> workers_;  // the latest run's workers by job number; null once disposed
  int32_t remaining_count_ = 0;     // the latest run's completions not yet reported
  TQueryRecord record_;  // the latest run: its site, start, fields and picture
};
