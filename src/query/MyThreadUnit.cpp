#include "query/MyThreadUnit.h"

#include <charconv>
#include <vector>

#include "http/NetHTTP.h"
#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "runtime/DateUtils.h"
#include "runtime/Exception.h"
#include "tls/NetSSLIOHandlerSocket.h"

namespace {

// What a step does to the page text.
enum TStepKind {
  skBetween,          // TextBetween(text, a, b)
  skBetweenSnapshot,  // TextBetween(text, a + site name + b, c): the start names the site
  skRemove,           // ReplaceAll(text, a, ""): every occurrence, letter case ignored
  skDigitsOnly,       // DigitsOnly(text)
  skRule,             // ExtractByRule(text, a)
};

struct TStep {
  TStepKind Kind;
  std::string A{}, B{}, C{};
};

// One request of the job table: "http://" host path "?" query site-name, fetched in Mode, cut by
// Steps, delivered to Target with Appended after it.
struct TRequestRow {
  std::string TServiceHosts::*Host;
  const char* Path;
  std::string Query;
  int Mode;
  std::vector<TStep> Steps;
  TResultField Target;
  std::string Appended{};
};

using TJobTable = std::vector<std::vector<TRequestRow>>;  // index = job number; job 0 is special

// The requests of jobs 1..10 in the order each job makes them (job 10's thumbnail comes first
// and is not in the table). Built once; never destroyed, since workers may still read it while
// the program exits.
const TJobTable& JobTable() {
  static const TJobTable* table = [] {
    auto g = [](const char8_t* s) { return Gbk(s); };
    // clang-format off
    const std::vector<TStep> baidu = {
        {skBetween, g(u8"百度一下，找到相关网页"), g(u8"篇")},
        {skRemove, g(u8"约")},
        {skDigitsOnly}};
    const std::vector<TStep> google = {
        {skBetween, g(u8"获得约 <b>"), g(u8"</b> 条结果")}, {skDigitsOnly}};
    const std::vector<TStep> soso = {{skBetween, g(u8"搜索到约"), g(u8"项结果")}, {skDigitsOnly}};
    const std::vector<TStep> sogou = {
        {skBetween, g(u8"找到 "), g(u8" <!--resultbarnum:")}, {skDigitsOnly}};
    const std::vector<TStep> youdao = {
        {skBetween, g(u8"<span class=\"fr\">共"), g(u8"条结果</span>")}, {skRemove, g(u8"约")}};
    const std::vector<TStep> bing = {{skBetween, g(u8"1 - 10 条结果"), g(u8"</span>")},
                                     {skRemove, g(u8"（共 ")},
                                     {skRemove, g(u8" 条）")},
                                     {skDigitsOnly}};
    using H = TServiceHosts;
    auto* t = new TJobTable(11);
    (*t)[1] = {
        {&H::Baidu, "/s", "wd=site%3A", 0, baidu, rfSite1},
        {&H::Baidu, "/s", "wd=domain%3A", 0, baidu, rfLink1},
        {&H::Baidu, "/s", "wd=", 0, {{skBetweenSnapshot, "<b>", "</b>/", "</font>"}}, rfAlexa5},
    };
    (*t)[2] = {
        {&H::Google, "/search", "hl=zh-CN&q=site%3A", 1, google, rfSite2},
        {&H::Google, "/search", "hl=zh-CN&q=link%3A", 1,
         {{skBetween, g(u8"约有 <b>"), g(u8"</b> 条链接到 <b>")}, {skDigitsOnly}}, rfLink2},
        {&H::PageRank, "/pr.asp", "weburl=", 0,
         {{skBetween, "images/pr/", ".gif"}, {skDigitsOnly}}, rfAlexa3},
    };
    (*t)[3] = {
        {&H::Yahoo, "/search", "bwm=p&p=", 1,
         {{skBetween, g(u8"<em>被收录的网页： 共 <strong>"), g(u8"</strong> 条")}, {skDigitsOnly}},
         rfSite3},
        {&H::Yahoo, "/search", "bwm=i&p=", 1,
         {{skBetween, g(u8"<em>链向该地址的网页： 共 <strong>"), g(u8"</strong> 条")},
          {skDigitsOnly}},
         rfLink3},
    };
    (*t)[4] = {
        {&H::Soso, "/q", "w=site%3A", 0, soso, rfSite4},
        {&H::Soso, "/q", "pid=s.idx&w=link%3A", 0, soso, rfLink4},
    };
    (*t)[5] = {
        {&H::Sogou, "/web", "query=", 0, sogou, rfSite5},
        {&H::Sogou, "/web", "query=link%3A", 0, sogou, rfLink5},
        {&H::Sogou, "/web", "query=", 0,
         {{skBetween, g(u8"搜狗评级:"), "/100"}, {skDigitsOnly}}, rfAlexa4, "/100"},
    };
    (*t)[6] = {
        {&H::Youdao, "/search", "q=site%3A", 1, youdao, rfSite6},
        {&H::Youdao, "/search", "q=link%3A", 1, youdao, rfLink6},
    };
    (*t)[7] = {
        {&H::Bing, "/search", "q=site%3A", 1, bing, rfSite7},
        {&H::Bing, "/search", "q=link%3A", 1, bing, rfLink7},
    };
    (*t)[8] = {
        {&H::Baidu, "/s", "tn=baiduadv&lm=1&wd=site%3A", 0, baidu, rfDmy1},
        {&H::Baidu, "/s", "tn=baiduadv&lm=30&wd=site%3A", 0, baidu, rfDmy2},
        {&H::Baidu, "/s", "tn=baiduadv&lm=360&wd=site%3A", 0, baidu, rfDmy3},
    };
    const std::string period = "hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3A";
    (*t)[9] = {
        {&H::Google, "/search", period + "d&q=site%3A", 1, google, rfDmy4},
        {&H::Google, "/search", period + "m&q=site%3A", 1, google, rfDmy5},
        {&H::Google, "/search", period + "y&q=site%3A", 1, google, rfDmy6},
    };
    (*t)[10] = {
        {&H::AlexaSearch, "/search", "r=site_screener&p=bigtop&q=", 1,
         {{skRule, g(u8"Alexa Traffic Rank:</span>(*)trafficstats\">\\s+[velmora]</a>")},
          {skDigitsOnly}},
         rfAlexa1},
        {&H::ChinaRank, "/overview/Info.do", "url=", 0,
         {{skBetween, g(u8"当前排名：</span><span class=\"rank_font_y2\">"), "</span>"},
          {skDigitsOnly}},
         rfAlexa2},
    };
    // clang-format on
    return t;
  }();
  return *table;
}

// A memory stream that refuses to grow past a cap, so that a peer streaming without end cannot
// make the thumbnail buffer grow without bound (the write raises; the job swallows it).
class TCappedMemoryStream : public TMemoryStream {
 public:
  explicit TCappedMemoryStream(int64_t cap) : cap_(cap) {}
  int64_t Write(const void* buffer, int64_t count) override {
    if (count > 0 && Position() + count > cap_) throw Exception("Picture too large");
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

// ---- Production services ----

std::string TGetPageFetcher::GetPage(const std::string& url, const std::string& cookie, int mode) {
  return ::GetPage(url, cookie, mode);
}

void TNetImageFetcher::Get(const std::string& url, TStream& destination) {
  TNetHTTP http;
  InstallTlsHandler(http);
  http.SetHandleRedirects(true);
  http.SetReadTimeout(kQueryReadTimeoutMs);
  TNetHTTPLimits limits = http.Limits();
  limits.MaxBodyBytes = kMaxThumbnailBytes;  // the client stops where the picture buffer would
  http.SetLimits(limits);
  http.Request().SetUserAgent(kQueryUserAgent);
  http.Get(url, &destination);
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

std::shared_ptr<TJobOutput> TJobOutput::Create(TJobSink* sink) {
  return std::shared_ptr<TJobOutput>(new TJobOutput(sink));
}

void TJobOutput::SetFieldText(TResultField field, std::string text) {
  QueueOnMainThread([self = shared_from_this(), field, text = std::move(text)] {
    if (self->sink_) self->sink_->SetFieldText(field, text);
  });
}

void TJobOutput::SetPicture(std::shared_ptr<const TRgbImage> picture) {
  QueueOnMainThread([self = shared_from_this(), picture = std::move(picture)] {
    if (self->sink_ && picture) self->sink_->SetPicture(*picture);
  });
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
  // The one look at the termination request: a job that has begun always runs to its end.
  if (Terminated()) return;
  RunJob();
}

void MyThread::RunJob() {
  if (job_number_ == 0) {
    HomePage();
    return;
  }
  if (job_number_ < 1 || job_number_ > 10) return;
  if (job_number_ == 10) Thumbnail();
  const auto& rows = JobTable()[job_number_];
  for (size_t i = 0; i < rows.size(); ++i) FetchRow(job_number_, i);
}

void MyThread::HomePage() {
  auto ticks = [this]() -> uint32_t {
    return services_.Ticks ? services_.Ticks() : GetTickCount();
  };
  start_time_ = ticks();
  request_url_ = "http://" + site_name_;
  page_text_ = services_.Pages ? services_.Pages->GetPage(request_url_, "", 4) : FailureText();
  page_text_ = ExtractByRule(page_text_, "<title>[velmora]</title>");
  end_time_ = ticks();
  output_->SetFieldText(rfWebTitle, page_text_);
  output_->SetFieldText(rfAlexa6, ElapsedSecondsText(static_cast<uint32_t>(start_time_),
                                                     static_cast<uint32_t>(end_time_)));
}

void MyThread::Thumbnail() {
  request_url_ = "http://" + services_.Hosts.Thumbnail + "/image.aspx?url=http://" + site_name_;
  // Any failure keeps the window's current picture; the job goes on with its next request.
  try {
    if (!services_.Images) return;
    TCappedMemoryStream buffer(kMaxThumbnailBytes);
    services_.Images->Get(request_url_, buffer);
    buffer.SetPosition(0);
    auto picture = std::make_shared<TRgbImage>();
    if (!DecodeJpeg(buffer.DataString(), *picture)) return;
    output_->SetPicture(std::move(picture));
  } catch (...) {
  }
}

void MyThread::FetchRow(int job, size_t index) {
  const TRequestRow& row = JobTable()[job][index];
  request_url_ = "http://" + services_.Hosts.*row.Host + row.Path + "?" + row.Query + site_name_;
  page_text_ =
      services_.Pages ? services_.Pages->GetPage(request_url_, "", row.Mode) : FailureText();
  for (const TStep& step : row.Steps) {
    switch (step.Kind) {
      case skBetween:
        page_text_ = TextBetween(page_text_, step.A, step.B);
        break;
      case skBetweenSnapshot:
        page_text_ = TextBetween(page_text_, step.A + site_name_ + step.B, step.C);
        break;
      case skRemove:
        page_text_ = ReplaceAll(page_text_, step.A, "");
        break;
      case skDigitsOnly:
        page_text_ = DigitsOnly(page_text_);
        break;
      case skRule:
        page_text_ = ExtractByRule(page_text_, step.A);
        break;
    }
  }
  output_->SetFieldText(row.Target, page_text_ + row.Appended);
}
