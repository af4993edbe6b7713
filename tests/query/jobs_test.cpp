// Single workers: the termination request, job numbers outside the table, failures inside a job,
// the thumbnail's failure paths, and job 0's time text.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "support/Fakes.h"
#include "query/UseFunction.h"
#include "support/StandInServices.h"

namespace {

// Records completions; workers deliver to a view through a pumped queue.
class WorkerTest : public ::testing::Test {
 protected:
  WorkerTest() {
    previous_ = SetMainThreadQueue(&queue_);
    fetcher_ = std::make_shared<TScriptedFetcher>();
    services_ = ScriptedServices(fetcher_);
    output_ = TQueryRun::Create(&view_);
  }
  ~WorkerTest() override {
    EXPECT_TRUE(WaitForWorkers());
    output_->Detach();
    SetMainThreadQueue(previous_);
  }
  bool WaitForWorkers() {
    return queue_.PumpUntil([] { return MyThread::LiveCount() == 0; }, 30000);
  }
  MyThread* Start(int job, const std::string& site, bool suspended = false) {
    return new MyThread(
        job, site, services_, output_, [this](TThread*) { ++completions_; }, suspended);
  }
  std::vector<std::pair<TResultField, std::string>> Delivered() const { return view_.Log; }

  TPumpQueue& queue_ = TestPumpQueue();
  TMainThreadQueue* previous_;
  std::shared_ptr<TScriptedFetcher> fetcher_;
  TQueryServices services_;
  TRecordingView view_;
  std::shared_ptr<TQueryRun> output_;
  int completions_ = 0;
};

TEST_F(WorkerTest, TerminatedBeforeItBeginsSkipsTheJobButStillCompletes) {
  MyThread* worker = Start(1, "site.test", /*suspended=*/true);
  worker->Terminate();
  worker->Start();
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(fetcher_->Calls().empty());
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(WorkerTest, JobNumbersOutsideTheTableDoNothing) {
  for (int job : {-1, 11, 1000}) Start(job, "site.test");
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(completions_, 3);
  EXPECT_TRUE(fetcher_->Calls().empty());
}

// A fetcher that breaks its promise never to raise.
class TThrowingFetcher : public TPageFetcher {
 public:
  TPageResult FetchPage(const std::string&, const std::string&, TFetchMode,
                        TQueryRun&) override {
    throw std::runtime_error("boom");
  }
};

TEST_F(WorkerTest, AnUnexpectedFailureEndsTheJobAndStillReportsCompletion) {
  services_.Pages = std::make_shared<TThrowingFetcher>();
  Start(1, "site.test");
  ASSERT_TRUE(WaitForWorkers());
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(WorkerTest, ThumbnailFailuresKeepThePictureAndTheJobGoesOn) {
  const std::string site = "site.test";
  const auto pages = StandInPages(site, 0);
  const std::string picture_url = "http://127.0.0.1:8011/image.aspx?url=http://" + site;
  const std::string good = pages.at(picture_url);
  struct Case {
    const char* what;
    std::string bytes;
    bool known;
    TFieldState state;
    TFetchEnd end;
  };
  const Case cases[] = {
      {"not found", "", false, TFieldState::Failed, TFetchEnd::OtherFailure},
      {"a PNG", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(100, '\0'), true, TFieldState::NoMatch,
       TFetchEnd::Fetched},
      {"a page", "<html>busy</html>", true, TFieldState::NoMatch, TFetchEnd::Fetched},
      {"empty", "", true, TFieldState::NoMatch, TFetchEnd::Fetched},
      {"cut short", good.substr(0, 20), true, TFieldState::NoMatch, TFetchEnd::Fetched},
      {"too big", std::string(9 << 20, '\xFF'), true, TFieldState::Failed, TFetchEnd::TooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    view_.Log.clear();
    fetcher_->Pages = pages;
    if (c.known)
      fetcher_->Pages[picture_url] = c.bytes;
    else
      fetcher_->Pages.erase(picture_url);
    Start(10, site);
    ASSERT_TRUE(WaitForWorkers());
    std::vector<std::pair<TResultField, std::string>> expected = {
        {rfPicture, StateWord(c.state)}, {rfAlexa1, "98,765"}, {rfAlexa2, "4321"}};
    EXPECT_EQ(Delivered(), expected);
    EXPECT_EQ(view_.PictureResult.Fetch.End, c.end);
    EXPECT_EQ(view_.PictureResult.Fetch.Url, picture_url);
  }
}

TEST_F(WorkerTest, HomePageTimeCoversTheFetchAndAMissingTitleIsNoMatch) {
  fetcher_->Pages["http://site.test"] = "<html><body>no title here</body></html>";
  Start(0, "site.test");
  ASSERT_TRUE(WaitForWorkers());
  const auto log = Delivered();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], std::make_pair(rfWebTitle, StateWord(TFieldState::NoMatch)));
  EXPECT_EQ(log[1], std::make_pair(rfAlexa6, ExpectedValue(rfAlexa6, "")));
  ASSERT_EQ(fetcher_->Calls().size(), 1u);
  EXPECT_EQ(fetcher_->Calls()[0].Mode, 4);
}

// The real thumbnail download over loopback, against the stand-in thumbnail service.
TEST_F(WorkerTest, ThumbnailComesThroughTheWorkersOwnClient) {
  StandInServices services;
  services_.Hosts.Thumbnail = services.HostFor(StandIn::Thumbnail);
  services_.Images = std::make_shared<TNetImageFetcher>();
  TRgbImage sample;
  ASSERT_TRUE(DecodeJpeg(StandInServices::SampleJpeg(), sample));

  Start(10, "site.test");
  ASSERT_TRUE(WaitForWorkers());
  ASSERT_FALSE(view_.Log.empty());
  EXPECT_EQ(view_.Log[0].first, rfPicture);  // the picture comes first
  EXPECT_EQ(view_.Picture.Width, sample.Width);
  EXPECT_EQ(view_.Picture.Pixels, sample.Pixels);
  const auto requests = services.RequestsFor(StandIn::Thumbnail);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].head.rfind("GET /image.aspx?url=http://site.test HTTP/1.", 0), 0u)
      << requests[0].head;
  EXPECT_NE(requests[0].head.find("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)"),
            std::string::npos);

  // An error status or a picture that is not JPEG keeps the picture; the job goes on.
  for (StandInFault fault : {StandInFault::NotFound, StandInFault::NotJpeg}) {
    services.SetFault(StandIn::Thumbnail, fault);
    view_.Log.clear();
    Start(10, "site.test");
    ASSERT_TRUE(WaitForWorkers());
    ASSERT_EQ(view_.Log.size(), 3u);
    EXPECT_EQ(view_.Log[0].first, rfPicture);
    EXPECT_EQ(view_.Log[1].first, rfAlexa1);
    EXPECT_EQ(view_.Log[2].first, rfAlexa2);
  }
}

TEST(ElapsedSecondsTextTest, ShortestDecimalWithLocaleSeparator) {
  const std::string sec = G(u8" 秒");
  const std::string dot(1, DecimalSeparator());
  EXPECT_EQ(ElapsedSecondsText(1000, 2500), "1" + dot + "5" + sec);
  EXPECT_EQ(ElapsedSecondsText(0, 2000), "2" + sec);
  EXPECT_EQ(ElapsedSecondsText(7, 7), "0" + sec);
  EXPECT_EQ(ElapsedSecondsText(0, 1), "0" + dot + "001" + sec);
  EXPECT_EQ(ElapsedSecondsText(0, 123), "0" + dot + "123" + sec);
  EXPECT_EQ(ElapsedSecondsText(0, 20010), "20" + dot + "01" + sec);
  EXPECT_EQ(ElapsedSecondsText(0, 0xFFFFFFFFu), "4294967" + dot + "295" + sec);
  // The counter wrapped between the readings: still the 512 ms that passed.
  EXPECT_EQ(ElapsedSecondsText(0xFFFFFF00u, 0x100u), "0" + dot + "512" + sec);
}

}  // namespace
