// Stand-ins for the outside world of the query layer: scripted page and picture fetchers that can
// hold workers at a gate, a window-less view and a URL recorder, plus the stand-in service table
// on 127.0.0.1 and its answer pages.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "query/Jpeg.h"
#include "query/MyThreadUnit.h"
#include "query/QueryController.h"
#include "runtime/CodePage.h"

// GBK bytes of a UTF-8 literal.
inline std::string G(const char8_t* s) { return Gbk(s); }

// A latch: Wait blocks until Open. Opening twice is harmless.
class TGate {
 public:
  void Open();
  void Wait();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Answers from a URL -> page map (a refused connection for anything else) and records every
// call. Calls whose URL contains a held key first wait at that key's gate; a call that finds
// the query stopped after its gate ends as stopped.
class TScriptedFetcher : public TPageFetcher, public TImageFetcher {
 public:
  std::map<std::string, std::string> Pages;  // also serves picture URLs, as raw bytes
  // Set up before the run starts; not changed while workers call.
  std::vector<std::pair<std::string, TGate*>> Holds;

  TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                        TQueryRun& run) override;
  // Raises for unknown URLs.
  void Get(const std::string& url, TStream& destination, TQueryRun& run) override;

  struct Call {
    std::string Url;
    int Mode;  // -1 for a picture request
  };
  std::vector<Call> Calls();
  int Entered();  // calls begun so far
  // Blocks until at least n calls have begun (or timeout_ms passes); returns whether they did.
  bool WaitEntered(int n, int timeout_ms);

 private:
  std::string Answer(const std::string& url, int mode, bool* found);
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
};

// The controller's window, in plain strings, with a log of every delivery in arrival order.
// A field's text is its value, or the word for its state ("无法访问", "未找到", ...).
class TRecordingView : public TQueryView {
 public:
  std::string WebUrl;
  std::string Caption = Gbk(u8"查询");
  std::string Fields[kTextFieldCount];
  TFieldResult Results[kTextFieldCount];
  std::vector<std::pair<TResultField, std::string>> Log;  // rfPicture marks a picture
  TRgbImage Picture;
  TFieldResult PictureResult;
  std::pair<int, int> Progress{0, 0};

  std::string WebUrlText() const override { return WebUrl; }
  void SetWebUrlText(const std::string& text) override { WebUrl = text; }
  std::string BeginCaption() const override { return Caption; }
  void SetBeginCaption(const std::string& caption) override { Caption = caption; }
  void SetFieldResult(TResultField field, const TFieldResult& result) override {
    Results[field] = result;
    Fields[field] = result.HasValue() ? result.Text : StateWord(result.State);
    Log.emplace_back(field, Fields[field]);
  }
  void SetPicture(const TRgbImage* picture, const TFieldResult& result) override {
    if (picture) Picture = *picture;
    PictureResult = result;
    Log.emplace_back(rfPicture, StateWord(result.State));
  }
  void ShowProgress(int finished, int total) override { Progress = {finished, total}; }
};

class TRecordingOpener : public TUrlOpener {
 public:
  std::vector<std::string> Urls;
  void OpenUrl(const std::string& url) override { Urls.push_back(url); }
};

// Every service on its own 127.0.0.1 port, 8001 (Baidu) to 8014 (the maker's tool site).
TServiceHosts StandInHosts();

// The pages the stand-ins answer for `site` (by URL), each holding the delimiters of its row
// around a known value, and the thumbnail as a JPEG of a solid colour.
std::map<std::string, std::string> StandInPages(const std::string& site, uint32_t pictureColor);
// The value each result field shows after a run against StandInPages (GBK), for a tick source
// that advances 1500 ms during job 0.
std::string ExpectedValue(TResultField field, const std::string& site);
// The fields of each job in the order the job delivers them (job 10's picture is not listed).
const std::vector<std::vector<TResultField>>& FieldsByJob();

// A JPEG of width x height pixels of one colour (0xRRGGBB), encoded with libjpeg.
std::string EncodeJpeg(int width, int height, uint32_t color, bool grey = false);

// The plain main-thread queue of the window-less tests. It lives as long as the process: a worker
// may still be inside Post, waking the pump, when its completion has already been handled.
TPumpQueue& TestPumpQueue();

// A tick source starting at 1000 that advances 1500 per reading after the first.
std::function<uint32_t()> SteppingTicks();

// Services for a run without a network: pages and pictures from `fetcher`, the stand-in hosts
// and SteppingTicks.
TQueryServices ScriptedServices(const std::shared_ptr<TScriptedFetcher>& fetcher);
