#include "query/MyThreadUnit.h"

#include <charconv>
#include <chrono>
#include <vector>

#include "http/NetHTTP.h"
#include "http/NetHTTPTls.h"
#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "runtime/DateUtils.h"
#include "runtime/Exception.h"

namespace {

// A memory stream that refuses to grow past a cap, so that a peer streaming without end cannot
// make the thumbnail buffer grow without bound (the write raises; the job swallows it).
class TCappedMemoryStream : public TMemoryStream {
 public:
  explicit TCappedMemoryStream(int64_t cap) : cap_(cap) {}
  int64_t Write(const void* buffer, int64_t count) override {
    if (count > 0 && Position() + count > cap_) {
      throw ENetHTTPLimitExceeded(kNetResponseBodyTooLarge);
    }
    return TMemoryStream::Write(buffer, count);
  }

 private:
  int64_t cap_;
};

// A thumbnail is a few kilobytes; anything past this is not one.
constexpr int64_t kMaxThumbnailBytes = 8 << 20;

}  // namespace

const char* ResultFieldName(TResultField field) {
  static const char* const kNames[rfFieldCount] = {
      "Site1", "Site2", "Site3",    "Site4",  "Site5",  "Site6",  "Site7",  "Link1",  "Link2",
      "Link3", "Link4", "Link5",    "Link6",  "Link7",  "Dmy1",   "Dmy2",   "Dmy3",   "Dmy4",
      "Dmy5",  "Dmy6",  "WebTitle", "Alexa1", "Alexa2", "Alexa3", "Alexa4", "Alexa5", "Alexa6"};
  if (field < 0 || field >= rfFieldCount) return "";
  return kNames[field];
}

TResultField ResultFieldByName(const std::string& name) {
  for (int f = 0; f < rfFieldCount; ++f) {
    if (name == ResultFieldName(static_cast<TResultField>(f))) return static_cast<TResultField>(f);
  }
  return rfFieldCount;
}

// ---- Production services ----

TPageResult TGetPageFetcher::FetchPage(const std::string& url, const std::string& cookie, int mode,
                                       const TFetchRun& run) {
  TFetchOptions options;
  options.ReadTimeoutMs = ReadTimeoutMs;
  options.Stop = run.Stop;
  options.Pacing = Pacing.get();
  options.Proxies = run.Proxies;
  options.Pool = run.Pool;
  return ::FetchPage(url, cookie, mode, options);
}

void TNetImageFetcher::Get(const std::string& url, TStream& destination, const TFetchRun& run) {
  TNetHTTP http;
  InstallTlsHandler(http);
  http.SetHandleRedirects(true);
  http.SetAcceptCompression(true);
  http.SetReadTimeout(ReadTimeoutMs);
  TNetHTTPLimits limits = http.Limits();
  limits.MaxBodyBytes = kMaxThumbnailBytes;  // the client stops where the picture buffer would
  http.SetLimits(limits);
  http.Request().SetUserAgent(kQueryUserAgent);
  RoutedRequests(http, url, ProxyRouteFor(url, run.Proxies), [&] {
    PacedRequests(http, url, Pacing.get(), [&] { http.Get(url, &destination); });
  });
}

TQueryServices DefaultQueryServices() {
  TQueryServices services;
  services.Pages = std::make_shared<TGetPageFetcher>();
  services.Images = std::make_shared<TNetImageFetcher>();
  services.Hosts = DefaultServiceHosts();
  services.Ticks = GetTickCount;
  return services;
}

// ---- TJobOutput ----

TJobOutput::TJobOutput(TJobSink* sink, TProxySettings proxies)
    : sink_(sink), proxies_(std::move(proxies)) {
  run_.Stop = &stop_;
  run_.Proxies = &proxies_;
  run_.Pool = &pool_;
}

std::shared_ptr<TJobOutput> TJobOutput::Create(TJobSink* sink, TProxySettings proxies) {
  return std::shared_ptr<TJobOutput>(new TJobOutput(sink, std::move(proxies)));
}

void TJobOutput::SetFieldResult(TResultField field, TFieldResult result) {
  QueueOnMainThread([self = shared_from_this(), field, result = std::move(result)] {
    if (self->sink_) self->sink_->SetFieldResult(field, result);
  });
}

void TJobOutput::SetPicture(std::shared_ptr<const TRgbImage> picture, TFieldResult result) {
  QueueOnMainThread(
      [self = shared_from_this(), picture = std::move(picture), result = std::move(result)] {
        if (self->sink_) self->sink_->SetPicture(picture.get(), result);
      });
}

// ---- Results of a fetched page ----

TFieldResult FieldFromPage(const TPageResult& page, const std::vector<TStepList>& rules,
                           const std::string& siteName) {
  if (!page.Outcome.Fetched()) return FailedField(page.Outcome);
  TFieldResult result;
  result.Fetch = page.Outcome;
  if (auto value = ApplyRules(page.Text, rules, siteName)) {
    result.State = fsValue;
    result.Text = std::move(*value);
  } else {
    result.State = LooksBlocked(page.Text) ? fsBlocked : fsNoMatch;
  }
  return result;
}

// ---- Job 0's time text ----

std::string ElapsedSecondsText(uint32_t start, uint32_t end) {
  // Unsigned subtraction: a counter that wrapped between the readings still gives the time.
  const double seconds = static_cast<uint32_t>(end - start) / 1000.0;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::general, 15);
  std::string text(buf, res.ptr);
  const char separator = DecimalSeparator();
  for (char& c : text) {
    if (c == '.') c = separator;
  }
  static const std::string* const kSeconds = new std::string(Gbk(u8" 秒"));
  return text + *kSeconds;
}

// ---- MyThread ----

std::atomic<int> MyThread::live_count_{0};

MyThread::MyThread(int jobNumber, std::string siteName, TQueryServices services,
                   std::shared_ptr<TJobOutput> output, std::function<void(TThread*)> onTerminate,
                   bool createSuspended)
    : job_number_(jobNumber),
      site_name_(std::move(siteName)),
      services_(std::move(services)),
      output_(std::move(output)) {
  ++live_count_;
  SetFreeOnTerminate(true);
  OnTerminate = std::move(onTerminate);
  if (!createSuspended) Start();
}

MyThread::~MyThread() { --live_count_; }

void MyThread::Execute() {
  // The one look at the termination request: a job that has begun runs through its requests,
  // though a stopped query sends no further one.
  if (Terminated()) return;
  RunJob();
}

uint32_t MyThread::Ticks() const { return services_.Ticks ? services_.Ticks() : GetTickCount(); }

void MyThread::RunJob() {
  if (job_number_ < 0 || job_number_ > 10) return;
  const TServiceTable& table = services_.Table ? *services_.Table : BuiltInServiceTable();
  for (const TRequestDef& request : table.Requests) {
    if (request.Job != job_number_) continue;
    const bool picture = request.Field == "Image1";
    const TResultField field = picture ? rfFieldCount : ResultFieldByName(request.Field);
    if (!picture && field == rfFieldCount) continue;  // not a field of this window
    request_url_ = ExpandUrl(request.Url, site_name_, services_.Hosts);
    if (request.Enabled && !output_->StopRequested()) {
      if (picture) Thumbnail();
      else Perform(request, field);
      continue;
    }
    TFieldResult skipped;  // switched off, or the query was stopped: no request
    skipped.Fetch.Url = request_url_;
    skipped.State = request.Enabled ? fsStopped : fsDisabled;
    if (request.Enabled) skipped.Fetch.End = feStopped;
    Skip(field, skipped);
  }
}

void MyThread::Skip(TResultField field, TFieldResult result) {
  if (field == rfFieldCount) {
    output_->SetPicture(nullptr, std::move(result));
    return;
  }
  if (field == rfWebTitle) output_->SetFieldResult(rfAlexa6, result);
  output_->SetFieldResult(field, std::move(result));
}

void MyThread::Perform(const TRequestDef& request, TResultField field) {
  // The home page's request also times the page: the whole fetch, its conversion and the
  // title's extraction.
  const bool home = field == rfWebTitle;
  if (home) start_time_ = Ticks();
  if (services_.Pages) {
    page_ = services_.Pages->FetchPage(request_url_, "", request.Mode, output_->Run());
  } else {
    page_ = TPageResult{FailureText(), TFetchOutcome{}};
    page_.Outcome.Url = request_url_;
  }
  TFieldResult result = FieldFromPage(page_, request.Rules, site_name_);
  if (!home) {
    output_->SetFieldResult(field, std::move(result));
    return;
  }
  end_time_ = Ticks();
  TFieldResult time;
  time.Fetch = result.Fetch;
  if (result.Fetch.Fetched()) {
    time.State = fsValue;
    time.Text = ElapsedSecondsText(static_cast<uint32_t>(start_time_),
                                   static_cast<uint32_t>(end_time_));
  } else {
    time.State = result.State;
  }
  output_->SetFieldResult(rfWebTitle, std::move(result));
  output_->SetFieldResult(rfAlexa6, std::move(time));
}

void MyThread::Thumbnail() {
  // Any failure keeps the window's current picture; the job goes on with its next request.
  TFieldResult result;
  result.Fetch.Url = request_url_;
  const auto started = std::chrono::steady_clock::now();
  std::shared_ptr<TRgbImage> picture;
  try {
    if (!services_.Images) throw Exception("No picture service");
    TCappedMemoryStream buffer(kMaxThumbnailBytes);
    services_.Images->Get(request_url_, buffer, output_->Run());
    buffer.SetPosition(0);
    picture = std::make_shared<TRgbImage>();
    if (DecodeJpeg(buffer.DataString(), *picture)) {
      result.State = fsValue;
      result.Fetch.End = feFetched;
    } else {
      picture.reset();
      result.State = fsNoMatch;  // an answer, but not a JPEG picture
      result.Fetch.End = feFetched;
    }
  } catch (...) {
    picture.reset();
    RecordFetchFailure(result.Fetch);
    result = FailedField(result.Fetch);
  }
  result.Fetch.ElapsedMs = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                            started)
          .count());
  output_->SetPicture(std::move(picture), std::move(result));
}
