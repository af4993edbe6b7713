#include "query/QueryController.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

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
static_assert(std::size(kLoadingOrder) == kTextFieldCount, "every result field gets a placeholder");

}  // namespace

std::string THeadlessView::IdleCaption() { return QueryCaption(); }

bool THeadlessView::Running() const { return caption_ != QueryCaption(); }

std::string BrowseUrl(int tag, const std::string& site_name, const TServiceHosts& hosts) {
  switch (tag) {
    case 1:  // site information: the name is part of the path
      return "http://" + hosts.AlexaInfo + "/siteinfo/" + site_name;
    case 4:  // the tool site's home page, nothing appended
      return "http://" + hosts.MakerTools;
    default:
      break;
  }
  for (const TBrowseRow& row : kBrowseTable) {
    if (row.Tag == tag) {
      return "http://" + hosts.*row.Host + row.Path + "?" + row.Query + QueryText(site_name);
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
  if (latest_) latest_->Detach();
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
  if (latest_) latest_->Detach();  // what the previous run still sends is for another site
  latest_ = TQueryRun::Create(this, TProxySettings::ForQuery(services_.Proxy), services_.Pacing,
                              services_.Connections);
  const int run = ++run_;
  record_ = TQueryRecord{};
  record_.Site = site;
  if (services_.Table) record_.ServiceSet = services_.Table->Name;
  record_.StartedUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  worker_count_ = kQueryJobCount;
  workers_.assign(kQueryJobCount, nullptr);
  remaining_count_ = worker_count_;
  Loading();
  std::shared_ptr<TLink> link = link_;
  for (int job = 0; job < kQueryJobCount; ++job) {
    workers_[job] =
        new MyThread(job, name.Request, services_, latest_, [link, run](TThread* sender) {
          if (link->Controller) link->Controller->WorkerEnded(sender, run);
        });
  }
  view_.SetBeginCaption(StopCaption());
  view_.ShowProgress(0, worker_count_);
}

void TQueryController::Stop() {
  // Workers that have not begun skip their job; those under way send no further request, and
  // a fetch in progress ends at its next step.
  if (latest_) latest_->Stop();
  for (MyThread* worker : workers_) {
    if (worker && !worker->Finished()) worker->Terminate();
  }
  for (TResultField field : AllTextFields()) {
    if (record_.Fields[field].State != TFieldState::Pending) continue;
    TFieldResult stopped;
    stopped.State = TFieldState::Stopped;
    stopped.Fetch.End = TFetchEnd::Stopped;
    SetFieldResult(field, stopped);
  }
  view_.SetBeginCaption(QueryCaption());
  view_.ShowProgress(0, 0);
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
    if (latest_) latest_->Finish();
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
  if (field < 0 || field >= kTextFieldCount) return;
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
