#include "query/QueryController.h"

#include <arpa/inet.h>
#include <idn2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

constexpr int kJobCount = 11;

const std::string& QueryCaption() {
  static const std::string* s = new std::string(Gbk(u8"查询"));
  return *s;
}

const std::string& StopCaption() {
  static const std::string* s = new std::string(Gbk(u8"停止"));
  return *s;
}

// The click-to-browse table: service host, path and query prefix per Tag.
struct TBrowseRow {
  int Tag;
  std::string TServiceHosts::*Host;
  const char* Path;
  const char* Query;  // nullptr: no "?" and no query
};

using H = TServiceHosts;
constexpr const char* kGoogleDay = "hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Ad&q=site%3A";
constexpr const char* kGoogleMonth = "hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Am&q=site%3A";
constexpr const char* kGoogleYear = "hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3Ay&q=site%3A";

const TBrowseRow kBrowseTable[] = {
    {2, &H::ChinaRank, "/overview/Info.do", "url="},
    {3, &H::Sogou, "/web", "query="},
    {11, &H::Baidu, "/s", "wd=site:"},
    {12, &H::Google, "/search", "hl=zh-CN&q=site:"},
    {13, &H::Yahoo, "/search", "bwm=p&p="},
    {14, &H::Soso, "/q", "w=site:"},
    {15, &H::Sogou, "/web", "query="},
    {16, &H::Youdao, "/search", "q=site:"},
    {17, &H::Bing, "/search", "q=site:"},
    {21, &H::Baidu, "/s", "wd=domain:"},
    {22, &H::Google, "/search", "hl=zh-CN&q=link:"},
    {23, &H::Yahoo, "/search", "bwm=i&p="},
    {24, &H::Soso, "/q", "pid=s.idx&w=link:"},
    {25, &H::Sogou, "/web", "query=link:"},
    {26, &H::Youdao, "/search", "q=link:"},
    {27, &H::Bing, "/search", "q=link:"},
    {31, &H::Baidu, "/s", "tn=baiduadv&lm=1&wd=site:"},
    {32, &H::Baidu, "/s", "tn=baiduadv&lm=30&wd=site:"},
    {33, &H::Baidu, "/s", "tn=baiduadv&lm=360&wd=site:"},
    {34, &H::Google, "/search", kGoogleDay},
    {35, &H::Google, "/search", kGoogleMonth},
    {36, &H::Google, "/search", kGoogleYear},
};

// The placeholder order of Loading.
constexpr TResultField kLoadingOrder[] = {
    rfSite1, rfSite2, rfSite3,    rfSite4,  rfSite5,  rfSite6,  rfSite7,  rfLink1,  rfLink2,
    rfLink3, rfLink4, rfLink5,    rfLink6,  rfLink7,  rfDmy6,   rfDmy5,   rfDmy4,   rfDmy3,
    rfDmy2,  rfDmy1,  rfWebTitle, rfAlexa1, rfAlexa2, rfAlexa3, rfAlexa4, rfAlexa5, rfAlexa6};
static_assert(std::size(kLoadingOrder) == rfFieldCount, "every result field gets a placeholder");

}  // namespace

std::string THeadlessView::IdleCaption() { return QueryCaption(); }

bool THeadlessView::Running() const { return caption_ != QueryCaption(); }

std::string BrowseUrl(int tag, const std::string& siteName, const TServiceHosts& hosts) {
  switch (tag) {
    case 1:  // site information: the name is part of the path
      return "http://" + hosts.AlexaInfo + "/siteinfo/" + siteName;
    case 4:  // the tool site's home page, nothing appended
      return "http://" + hosts.MakerTools;
    default:
      break;
  }
  for (const TBrowseRow& row : kBrowseTable) {
    if (row.Tag == tag) {
      return "http://" + hosts.*row.Host + row.Path + "?" + row.Query + QueryText(siteName);
    }
  }
  return "";
}

TQueryController::TQueryController(TQueryView& view, TUrlOpener& opener, TQueryServices services)
    : view_(view),
      opener_(opener),
      services_(std::move(services)),
      link_(std::make_shared<TLink>(TLink{this})) {}

TQueryController::~TQueryController() {
  if (output_) output_->Detach();
  link_->Controller = nullptr;
}

void TQueryController::Begin_btnClick() {
  if (view_.BeginCaption() != QueryCaption()) {
    Stop();
    return;
  }
  const TSiteName name = CheckWeburl();
  if (!name.Problem.empty()) {
    view_.ShowSiteProblem(name.Problem);
    return;
  }
  const std::string& site = name.Site;
  if (output_) output_->Detach();  // what the previous run still sends is for another site
  output_ = TJobOutput::Create(this, TProxySettings::ForQuery(services_.Proxy));
  const int run = ++run_;
  record_ = TQueryRecord{};
  record_.Site = site;
  record_.StartedUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  worker_count_ = kJobCount;
  workers_.assign(kJobCount, nullptr);
  remaining_count_ = worker_count_;
  Loading();
  std::shared_ptr<TLink> link = link_;
  for (int job = 0; job < kJobCount; ++job) {
    workers_[job] =
        new MyThread(job, name.Request, services_, output_, [link, run](TThread* sender) {
          if (link->Controller) link->Controller->WorkerEnded(sender, run);
        });
  }
  view_.SetBeginCaption(StopCaption());
  view_.ShowProgress(0, worker_count_);
}

void TQueryController::Stop() {
  // Workers that have not begun skip their job; those under way send no further request, and
  // a fetch in progress ends at its next step.
  if (output_) output_->Stop();
  for (MyThread* worker : workers_) {
    if (worker && !worker->Finished()) worker->Terminate();
  }
  for (int f = 0; f < rfFieldCount; ++f) {
    if (record_.Fields[f].State != fsPending) continue;
    TFieldResult stopped;
    stopped.State = fsStopped;
    stopped.Fetch.End = feStopped;
    SetFieldResult(static_cast<TResultField>(f), stopped);
  }
  view_.SetBeginCaption(QueryCaption());
  view_.ShowProgress(0, 0);
}

namespace {

std::string U(const char8_t* s) { return reinterpret_cast<const char*>(s); }

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Why an ASCII host name is not one ("" when it is): dot-separated labels of letters, digits
// and inner hyphens, at most 63 bytes each and 253 in all.
std::string HostProblem(const std::string& host) {
  if (host.size() > 253) return U(u8"站点名长于 253 个字符");
  size_t start = 0;
  for (;;) {
    const size_t dot = std::min(host.find('.', start), host.size());
    const std::string label = host.substr(start, dot - start);
    if (label.empty() || label.size() > 63) return U(u8"站点名中有空的或长于 63 个字符的一段");
    for (char c : label) {
      if (IsAsciiAlnum(c) || c == '-') continue;
      char shown[8];
      if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
        std::snprintf(shown, sizeof shown, "\\x%02X", static_cast<unsigned char>(c));
      } else {
        std::snprintf(shown, sizeof shown, "%c", c);
      }
      return U(u8"站点名含有不允许的字符“") + shown + U(u8"”");
    }
    if (label.front() == '-' || label.back() == '-') return U(u8"站点名的一段不能以“-”开头或结尾");
    if (dot == host.size()) return "";
    start = dot + 1;
  }
}

}  // namespace

TSiteName ParseSiteName(const std::string& typed) {
  TSiteName name;
  std::string text = typed;
  static const std::string kBom = "\xEF\xBB\xBF";
  if (text.compare(0, kBom.size(), kBom) == 0) text.erase(0, kBom.size());
  text = Trim(text);
  // Any scheme, as often as it is repeated ("http://http://a.b"), then any path.
  for (;;) {
    size_t i = 0;
    while (i < text.size() &&
           (IsAsciiAlnum(text[i]) || (i > 0 && text[i] != 0 && std::strchr("+-.", text[i]))))
      ++i;
    if (i == 0 || text.compare(i, 3, "://") != 0) break;
    text.erase(0, i + 3);
  }
  text = text.substr(0, text.find('/'));

  // Host and port: "[v6]", "[v6]:port", "host", "host:port".
  std::string host, port;
  bool v6 = false, has_port = false;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    in6_addr address;
    const std::string inside = close == std::string::npos ? "" : text.substr(1, close - 1);
    if (inside.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
        inet_pton(AF_INET6, inside.c_str(), &address) != 1) {
      name.Problem = U(u8"方括号中不是 IPv6 地址");
      return name;
    }
    v6 = true;
    host = text.substr(0, close + 1);
    has_port = close + 1 < text.size();
    if (has_port) {
      if (text[close + 1] != ':') {
        name.Problem = U(u8"IPv6 地址的方括号后只能有“:端口”");
        return name;
      }
      port = text.substr(close + 2);
    }
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
      name.Problem = U(u8"IPv6 地址须写在方括号中，如 [::1]:8080");
      return name;
    }
    host = text.substr(0, colon);
    has_port = colon != std::string::npos;
    if (has_port) port = text.substr(colon + 1);
    if (!host.empty() && host.back() == '.') host.pop_back();
  }
  if (has_port && (port.empty() || port.size() > 5 ||
                   port.find_first_not_of("0123456789") != std::string::npos ||
                   std::stoi(port) < 1 || std::stoi(port) > 65535)) {
    name.Problem = U(u8"端口须是 1 到 65535 之间的数字");
    return name;
  }
  if (host.empty()) {
    name.Problem = U(u8"没有站点名");
    return name;
  }
  std::string ascii = host;
  if (!v6 && std::any_of(host.begin(), host.end(), [](char c) { return c & 0x80; })) {
    char* converted = nullptr;
    const int rc =
        idn2_to_ascii_8z(host.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK) {
      name.Problem = U(u8"国际化域名无法转换为 ASCII 形式：") + idn2_strerror(rc);
      return name;
    }
    ascii = converted;
    idn2_free(converted);
  }
  if (!v6) {
    name.Problem = HostProblem(ascii);
    if (!name.Problem.empty()) return name;
  }
  const std::string suffix = port.empty() ? "" : ":" + port;
  if (ascii.size() + suffix.size() < kMinSiteNameBytes) {
    name.Problem = U(u8"站点名太短");
    return name;
  }
  name.Shown = host + suffix;
  name.Request = ascii + suffix;
  const std::string gbk = Utf8ToGbk(name.Shown);
  name.Site = GbkToUtf8(gbk) == name.Shown ? gbk : name.Request;
  return name;
}

std::string NormaliseSiteName(const std::string& typed) {
  return ParseSiteName(GbkToUtf8(typed)).Site;
}

TSiteName TQueryController::CheckWeburl() {
  TSiteName name = ParseSiteName(view_.TypedSite());
  if (name.Problem.empty()) view_.ShowTypedSite(name.Shown);
  return name;
}

void TQueryController::Loading() {
  for (TResultField field : kLoadingOrder) SetFieldResult(field, TFieldResult{});
}

void TQueryController::ThreadDone(TThread* /*sender*/) {
  --remaining_count_;
  const bool running = view_.BeginCaption() != QueryCaption();
  if (remaining_count_ == 0) {
    if (output_) output_->Finish();
    view_.SetBeginCaption(QueryCaption());
    view_.ShowProgress(0, 0);
    if (OnRunFinished) OnRunFinished(record_);
  } else if (running && remaining_count_ > 0) {
    view_.ShowProgress(worker_count_ - remaining_count_, worker_count_);
  }
}

void TQueryController::WorkerEnded(TThread* sender, int run) {
  // The worker deletes itself right after this handler returns; Stop must not reach it then.
  std::replace(workers_.begin(), workers_.end(), static_cast<MyThread*>(sender),
               static_cast<MyThread*>(nullptr));
  if (run == run_) ThreadDone(sender);
}

void TQueryController::SetFieldResult(TResultField field, const TFieldResult& result) {
  if (field < 0 || field >= rfFieldCount) return;
  record_.Fields[field] = result;
  view_.SetFieldResult(field, result);
}

void TQueryController::SetPicture(const TRgbImage* picture, const TFieldResult& result) {
  record_.Picture = result;
  view_.SetPicture(picture, result);
}

void TQueryController::Alexa1Click(int tag) {
  const TSiteName name = ParseSiteName(view_.TypedSite());
  if (!name.Problem.empty()) return;
  const std::string url = BrowseUrl(tag, name.Request, services_.Hosts);
  if (!url.empty()) opener_.OpenUrl(url);
}

void TQueryController::Image1Click() { opener_.OpenUrl("http://" + services_.Hosts.MakerSite); }
