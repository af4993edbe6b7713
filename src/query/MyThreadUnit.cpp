#include "query/MyThreadUnit.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "http/NetHTTP.h"
#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "runtime/DateUtils.h"
#include "runtime/Exception.h"
#include "services/ServiceFile.h"

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

// ---- Production services ----

TPageResult TGetPageFetcher::FetchPage(const std::string& url, const std::string& cookie,
                                       TFetchMode mode, TQueryRun& run) {
  TFetchOptions options;
  options.ReadTimeoutMs = ReadTimeoutMs;
  options.Stop = run.StopFlag();
  options.Session = &run.Session();
  return ::FetchPage(url, cookie, mode, options);
}

TPageResult TGetPageFetcher::FetchRequest(const std::string& url, const TPageRequest& request,
                                          TFetchMode mode, TQueryRun& run) {
  TFetchOptions options;
  options.ReadTimeoutMs = ReadTimeoutMs;
  options.Stop = run.StopFlag();
  options.Session = &run.Session();
  options.Request = request;
  return ::FetchPage(url, "", mode, options);
}

void TNetImageFetcher::Get(const std::string& url, TStream& destination, TQueryRun& run) {
  GetWith(url, {}, destination, run);
}

void TNetImageFetcher::GetWith(const std::string& url, const std::vector<THeader>& headers,
                               TStream& destination, TQueryRun& run) {
  TNetFetchRequest request;
  request.ReadTimeoutMs = ReadTimeoutMs;
  request.MaxBodyBytes = kMaxThumbnailBytes;  // the client stops where the picture buffer would
  request.UserAgent = kQueryUserAgent;
  for (const THeader& h : headers) request.Headers.emplace_back(h.Name, h.Value);
  TNetFetchAnswer answer;
  run.Session().Get(url, request, answer, destination);
}

TQueryServices DefaultQueryServices() {
  TQueryServices services;
  services.Pages = std::make_shared<TGetPageFetcher>();
  services.Images = std::make_shared<TNetImageFetcher>();
  services.Hosts = DefaultServiceHosts();
  services.Ticks = GetTickCount;
  return services;
}

// ---- TQueryRun ----

TQueryRun::TQueryRun(TJobSink* sink, TProxySettings proxies, std::shared_ptr<TRequestPacing> pacing,
                     std::shared_ptr<TNetConnectionPool> connections)
    : sink_(sink), session_(std::move(proxies), std::move(pacing), std::move(connections)) {}

std::shared_ptr<TQueryRun> TQueryRun::Create(TJobSink* sink, TProxySettings proxies,
                                             std::shared_ptr<TRequestPacing> pacing,
                                             std::shared_ptr<TNetConnectionPool> connections) {
  return std::shared_ptr<TQueryRun>(
      new TQueryRun(sink, std::move(proxies), std::move(pacing), std::move(connections)));
}

void TQueryRun::SetFieldResult(TResultField field, TFieldResult result) {
  QueueOnMainThread([self = shared_from_this(), field, result = std::move(result)] {
    if (self->sink_) self->sink_->SetFieldResult(field, result);
  });
}

void TQueryRun::SetPicture(std::shared_ptr<const TRgbImage> picture, TFieldResult result) {
  QueueOnMainThread(
      [self = shared_from_this(), picture = std::move(picture), result = std::move(result)] {
        if (self->sink_) self->sink_->SetPicture(picture.get(), result);
      });
}

// ---- Results of a fetched page ----

namespace {

// A value as it is shown and stored: at most kMaxValueCharacters characters; a longer one is cut
// and ends in "…". A page can make a value of any length (a <title> of megabytes).
std::string BoundedValue(std::string gbk) {
  size_t end = 0;
  for (size_t chars = 0; end < gbk.size() && chars < kMaxValueCharacters; ++chars) {
    end += IsLeadByte(static_cast<unsigned char>(gbk[end])) && end + 1 < gbk.size() ? 2 : 1;
  }
  if (end >= gbk.size()) return gbk;
  static const std::string* const kCut = new std::string(Gbk(u8"…"));
  gbk.resize(end);
  return gbk + *kCut;
}

bool TooManyDigits(const std::vector<TStepList>& rules, const std::string& text) {
  bool number = false;
  for (const TStepList& list : rules) {
    for (const TStep& step : list) number = number || step.Kind == TStepKind::DigitsOnly;
  }
  return number && static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
                     return c >= '0' && c <= '9';
                   })) > kMaxNumberDigits;
}

}  // namespace

TFieldResult FieldFromPage(const TPageResult& page, const std::vector<TStepList>& rules,
                           const std::string& site_name, const std::vector<std::string>& markers,
                           const std::string& no_match_note) {
  if (!page.Outcome.Fetched()) return FailedField(page.Outcome);
  TFieldResult result;
  result.Fetch = page.Outcome;
  // A service's own verification page may still hold a number that is not the answer.
  if (HoldsMarker(page.Outcome.FinalUrl, markers) || HoldsMarker(page.Text, markers)) {
    result.State = TFieldState::Blocked;
    return result;
  }
  auto value = ApplyRules(page.Text, rules, site_name);
  if (value && !TooManyDigits(rules, *value)) {
    result.State = TFieldState::Value;
    result.Text = BoundedValue(std::move(*value));
  } else if (LooksBlocked(page.Text)) {
    result.State = TFieldState::Blocked;
  } else {
    result.State = TFieldState::NoMatch;
    result.Note = no_match_note;
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

MyThread::MyThread(int job_number, std::string site_name, TQueryServices services,
                   std::shared_ptr<TQueryRun> run, std::function<void(TThread*)> on_terminate,
                   bool create_suspended)
    : job_number_(job_number),
      site_name_(std::move(site_name)),
      services_(std::move(services)),
      run_(std::move(run)) {
  ++live_count_;
  SetFreeOnTerminate(true);
  OnTerminate = std::move(on_terminate);
  if (!create_suspended) Start();
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
  if (job_number_ < 0 || job_number_ >= kQueryJobCount) return;
  const TServiceTable& table = services_.Table ? *services_.Table : BuiltInServiceTable();
  for (const TRequestDef& request : table.Requests) {
    if (request.Job != job_number_) continue;
    const std::optional<TResultField> field = ResultFieldByName(request.Field);
    if (!field) continue;  // not a field of this window
    key_.clear();
    bool key_unusable = false;
    if (!request.KeyEnv.empty()) {
      const char* key = std::getenv(request.KeyEnv.c_str());
      if (key != nullptr) key_ = key;
      // A key goes into a header line: one with a line break or another control character
      // could add lines of its own, and is taken as none (and said to be unusable).
      if (std::any_of(key_.begin(), key_.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        key_.clear();
        key_unusable = true;
      }
    }
    // The URL shown never holds the key itself.
    request_url_ = ExpandUrl(WithKey(request.Url, "KEY", true), site_name_, services_.Hosts);
    const bool key_missing = !request.KeyEnv.empty() && key_.empty();
    if (request.Enabled && request.Retired.empty() && !key_missing && !run_->StopRequested()) {
      if (*field == rfPicture)
        Thumbnail(request);
      else
        Perform(request, *field);
      continue;
    }
    // Switched off, retired, waiting for a key, or the query was stopped: no request.
    TFieldResult skipped;
    skipped.Fetch.Url = request_url_;
    if (!request.Enabled) {
      skipped.State = TFieldState::Disabled;
    } else if (!request.Retired.empty()) {
      skipped.State = TFieldState::Retired;
      if (request.Retired != kRetiredWhenUnknown) skipped.Note = request.Retired;
    } else if (key_missing) {
      skipped.State = TFieldState::KeyNeeded;
      skipped.Note = request.KeyEnv;
      if (key_unusable) skipped.Note += Gbk(u8" 含有换行等控制字符，不能用作密钥");
    } else {
      skipped.State = TFieldState::Stopped;
      skipped.Fetch.End = TFetchEnd::Stopped;
    }
    Skip(*field, skipped);
  }
}

void MyThread::Skip(TResultField field, TFieldResult result) {
  if (field == rfPicture) {
    run_->SetPicture(nullptr, std::move(result));
    return;
  }
  if (field == rfWebTitle) run_->SetFieldResult(rfAlexa6, result);
  run_->SetFieldResult(field, std::move(result));
}

void MyThread::Perform(const TRequestDef& request, TResultField field) {
  // The home page's request also times the page: the whole fetch, its conversion and the
  // title's extraction.
  const bool home = field == rfWebTitle;
  if (home) start_time_ = Ticks();
  if (services_.Pages) {
    const std::string url =
        ExpandUrl(WithKey(request.Url, key_, true), site_name_, services_.Hosts);
    if (request.Headers.empty() && request.FirstVisit.empty()) {
      page_ = services_.Pages->FetchPage(url, "", request.Mode, *run_);
    } else {
      TPageRequest extras{FieldHeaders(request)};
      if (!request.FirstVisit.empty()) {
        extras.FirstVisit = ExpandUrl(request.FirstVisit, site_name_, services_.Hosts);
      }
      page_ = services_.Pages->FetchRequest(url, extras, request.Mode, *run_);
    }
    page_.Outcome.Url = request_url_;
    if (!key_.empty()) {  // nor does where it ended, or a redirect chain
      for (std::string* text : {&page_.Outcome.FinalUrl, &page_.Outcome.Detail}) {
        *text = ReplaceAll(ReplaceAll(*text, QueryText(key_), "KEY"), key_, "KEY");
      }
    }
  } else {
    page_ = TPageResult{FailureText(), TFetchOutcome{}};
    page_.Outcome.Url = request_url_;
  }
  TFieldResult result =
      FieldFromPage(page_, request.Rules, site_name_, request.BlockedMarkers, request.NoMatchNote);
  if (!home) {
    run_->SetFieldResult(field, std::move(result));
    return;
  }
  end_time_ = Ticks();
  TFieldResult time;
  time.Fetch = result.Fetch;
  if (result.Fetch.Fetched()) {
    time.State = TFieldState::Value;
    time.Text =
        ElapsedSecondsText(static_cast<uint32_t>(start_time_), static_cast<uint32_t>(end_time_));
  } else {
    time.State = result.State;
  }
  run_->SetFieldResult(rfWebTitle, std::move(result));
  run_->SetFieldResult(rfAlexa6, std::move(time));
}

bool MyThread::WaitUnlessStopped(std::chrono::milliseconds span) const {
  // In short slices: the stop request is a flag, not an event a worker can sleep on.
  const auto until = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < until) {
    if (run_->StopRequested()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(50), until - std::chrono::steady_clock::now()));
  }
  return !run_->StopRequested();
}

std::vector<THeader> MyThread::FieldHeaders(const TRequestDef& request) const {
  std::vector<THeader> headers = request.Headers;
  for (THeader& h : headers) h.Value = WithKey(h.Value, key_, false);
  return headers;
}

void MyThread::Thumbnail(const TRequestDef& request) {
  // Any failure keeps the window's current picture; the job goes on with its next request.
  TFieldResult result;
  result.Fetch.Url = request_url_;
  const auto started = std::chrono::steady_clock::now();
  std::shared_ptr<TRgbImage> picture;
  try {
    if (!services_.Images) throw Exception("No picture service");
    const std::string url =
        ExpandUrl(WithKey(request.Url, key_, true), site_name_, services_.Hosts);
    const std::vector<THeader> headers = FieldHeaders(request);
    // A service that makes the picture on demand answers something else first: asked again
    // while the whole fetch's time lasts.
    const auto wait = std::chrono::milliseconds(request.AgainAfterMs);
    const auto deadline =
        started + std::chrono::milliseconds(WholeFetchDeadlineMs(kQueryReadTimeoutMs));
    for (;;) {
      TCappedMemoryStream buffer(kMaxThumbnailBytes);
      if (headers.empty())
        services_.Images->Get(url, buffer, *run_);
      else
        services_.Images->GetWith(url, headers, buffer, *run_);
      buffer.SetPosition(0);
      picture = std::make_shared<TRgbImage>();
      result.Fetch.End = TFetchEnd::Fetched;
      if (DecodeJpeg(buffer.DataString(), *picture)) {
        result.State = TFieldState::Value;
        break;
      }
      picture.reset();
      result.State = TFieldState::NoMatch;  // an answer, but not a JPEG picture
      if (request.AgainAfterMs <= 0 || std::chrono::steady_clock::now() + wait > deadline ||
          !WaitUnlessStopped(wait)) {
        break;
      }
    }
  } catch (...) {
    picture.reset();
    RecordFetchFailure(result.Fetch);
    result = FailedField(result.Fetch);
  }
  result.Fetch.ElapsedMs =
      static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count());
  run_->SetPicture(std::move(picture), std::move(result));
}
