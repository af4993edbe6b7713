#include "support/Fakes.h"

#include <jpeglib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

#include "query/UseFunction.h"
#include "runtime/Exception.h"

void TGate::Open() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
  }
  cv_.notify_all();
}

void TGate::Wait() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return open_; });
}

std::string TScriptedFetcher::Answer(const std::string& url, int mode, bool* found) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({url, mode});
  }
  cv_.notify_all();
  for (const auto& [key, gate] : Holds) {
    if (url.find(key) != std::string::npos) gate->Wait();
  }
  auto it = Pages.find(url);
  *found = it != Pages.end();
  return *found ? it->second : std::string();
}

TPageResult TScriptedFetcher::FetchPage(const std::string& url, const std::string& cookie,
                                        TFetchMode mode, TQueryRun& run) {
  TPageResult result;
  result.Outcome.Url = url;
  bool found = false;
  std::string page = Answer(url, static_cast<int>(mode), &found);
  if (run.StopRequested()) {
    result.Outcome.End = TFetchEnd::Stopped;
  } else if (found && cookie.empty()) {
    result.Text = std::move(page);
    result.Outcome.End = TFetchEnd::Fetched;
    result.Outcome.HttpStatus = 200;
    result.Outcome.FinalUrl = url;
    return result;
  } else {
    result.Outcome.End = TFetchEnd::Refused;
  }
  result.Text = FailureText();
  return result;
}

void TScriptedFetcher::Get(const std::string& url, TStream& destination, TQueryRun&) {
  bool found;
  std::string bytes = Answer(url, -1, &found);
  if (!found) throw Exception("HTTP/1.1 404 Not Found");
  destination.WriteString(bytes);
}

std::vector<TScriptedFetcher::Call> TScriptedFetcher::Calls() {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

int TScriptedFetcher::Entered() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(calls_.size());
}

bool TScriptedFetcher::WaitEntered(int n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return static_cast<int>(calls_.size()) >= n; });
}

TServiceHosts StandInHosts() {
  TServiceHosts h;
  std::string* all[] = {&h.Baidu,     &h.Google,   &h.Yahoo,       &h.Soso,      &h.Sogou,
                        &h.Youdao,    &h.Bing,     &h.AlexaSearch, &h.AlexaInfo, &h.ChinaRank,
                        &h.Thumbnail, &h.PageRank, &h.MakerSite,   &h.MakerTools};
  int port = 8001;
  for (std::string* host : all) *host = "127.0.0.1:" + std::to_string(port++);
  return h;
}

std::map<std::string, std::string> StandInPages(const std::string& site, uint32_t pictureColor) {
  const std::string pre = "<html><body>";
  const std::string post = "</body></html>";
  auto baidu = [&](const char8_t* count) {
    return pre + G(u8"百度一下，找到相关网页约") + G(count) + G(u8"篇") + post;
  };
  auto google = [&](const char* count) {
    return pre + G(u8"获得约 <b>") + count + G(u8"</b> 条结果") + post;
  };
  auto yahoo = [&](const char8_t* what, const char* count) {
    return pre + G(u8"<em>") + G(what) + G(u8"： 共 <strong>") + count + G(u8"</strong> 条") + post;
  };
  auto soso = [&](const char* count) {
    return pre + G(u8"搜索到约") + count + G(u8"项结果") + post;
  };
  auto sogou = [&](const char* count) {
    return pre + G(u8"找到 ") + count + G(u8" <!--resultbarnum:") + count + "-->" + post;
  };
  auto youdao = [&](const char8_t* count) {
    return pre + G(u8"<span class=\"fr\">共") + G(count) + G(u8"条结果</span>") + post;
  };
  auto bing = [&](const char* count) {
    return pre + G(u8"<span>1 - 10 条结果（共 ") + count + G(u8" 条）</span>") + post;
  };
  const TServiceHosts h = StandInHosts();
  const std::string b = "http://" + h.Baidu + "/s?";
  const std::string g = "http://" + h.Google + "/search?";
  const std::string gp = g + "hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3A";
  const std::string y = "http://" + h.Yahoo + "/search?";
  const std::string s4 = "http://" + h.Soso + "/q?";
  const std::string s5 = "http://" + h.Sogou + "/web?";
  const std::string s6 = "http://" + h.Youdao + "/search?";
  const std::string s7 = "http://" + h.Bing + "/search?";
  return {
      {"http://" + site, pre + "<head><TITLE>Stand-in " + G(u8"首页") + "</TITLE></head>" + post},
      {b + "wd=site%3A" + site, baidu(u8"1,230")},
      {b + "wd=domain%3A" + site, baidu(u8"456")},
      {b + "wd=" + site, pre + "<b>" + site + "</b>/ 2010-1-5</font>" + post},
      {g + "hl=zh-CN&q=site%3A" + site, google("7,890")},
      {g + "hl=zh-CN&q=link%3A" + site,
       pre + G(u8"约有 <b>") + "321" + G(u8"</b> 条链接到 <b>") + site + "</b>" + post},
      {"http://" + h.PageRank + "/pr.asp?weburl=" + site, pre + "<img src=images/pr/6.gif>" + post},
      {y + "bwm=p&p=" + site, yahoo(u8"被收录的网页", "1,111")},
      {y + "bwm=i&p=" + site, yahoo(u8"链向该地址的网页", "2,222")},
      {s4 + "w=site%3A" + site, soso("3,333")},
      {s4 + "pid=s.idx&w=link%3A" + site, soso("444")},
      {s5 + "query=" + site, sogou("5,555") + G(u8"搜狗评级:77/100")},
      {s5 + "query=link%3A" + site, sogou("66")},
      {s6 + "q=site%3A" + site, youdao(u8"约 8,888 ")},
      {s6 + "q=link%3A" + site, youdao(u8"99")},
      {s7 + "q=site%3A" + site, bing("12,345")},
      {s7 + "q=link%3A" + site, bing("678")},
      {b + "tn=baiduadv&lm=1&wd=site%3A" + site, baidu(u8"11")},
      {b + "tn=baiduadv&lm=30&wd=site%3A" + site, baidu(u8"22")},
      {b + "tn=baiduadv&lm=360&wd=site%3A" + site, baidu(u8"33")},
      {gp + "d&q=site%3A" + site, google("44")},
      {gp + "m&q=site%3A" + site, google("55")},
      {gp + "y&q=site%3A" + site, google("66")},
      {"http://" + h.Thumbnail + "/image.aspx?url=http://" + site,
       EncodeJpeg(120, 90, pictureColor)},
      {"http://" + h.AlexaSearch + "/search?r=site_screener&p=bigtop&q=" + site,
       pre +
           "<span>Alexa Traffic Rank:</span> <a href=\"/x\" class=\"trafficstats\">\n  98,765</a>" +
           post},
      {"http://" + h.ChinaRank + "/overview/Info.do?url=" + site,
       pre + G(u8"当前排名：</span><span class=\"rank_font_y2\">4321</span>") + post},
  };
}

std::string ExpectedValue(TResultField field, const std::string& site) {
  switch (field) {
    case rfSite1:
      return "1,230";
    case rfSite2:
      return "7,890";
    case rfSite3:
      return "1,111";
    case rfSite4:
      return "3,333";
    case rfSite5:
      return "5,555";
    case rfSite6:
      return " 8,888 ";  // no filter after the Youdao rows: the blanks stay
    case rfSite7:
      return "12,345";
    case rfLink1:
      return "456";
    case rfLink2:
      return "321";
    case rfLink3:
      return "2,222";
    case rfLink4:
      return "444";
    case rfLink5:
      return "66";
    case rfLink6:
      return "99";
    case rfLink7:
      return "678";
    case rfDmy1:
      return "11";
    case rfDmy2:
      return "22";
    case rfDmy3:
      return "33";
    case rfDmy4:
      return "44";
    case rfDmy5:
      return "55";
    case rfDmy6:
      return "66";
    case rfWebTitle:
      return "Stand-in " + G(u8"首页");
    case rfAlexa1:
      return "98,765";
    case rfAlexa2:
      return "4321";
    case rfAlexa3:
      return "6";
    case rfAlexa4:
      return "77/100";
    case rfAlexa5:
      return " 2010-1-5";
    case rfAlexa6:
      return std::string("1") + DecimalSeparator() + "5" + G(u8" 秒");
    default:
      return "";
  }
}

const std::vector<std::vector<TResultField>>& FieldsByJob() {
  static const std::vector<std::vector<TResultField>> kJobs = {
      {rfWebTitle, rfAlexa6},   {rfSite1, rfLink1, rfAlexa5}, {rfSite2, rfLink2, rfAlexa3},
      {rfSite3, rfLink3},       {rfSite4, rfLink4},           {rfSite5, rfLink5, rfAlexa4},
      {rfSite6, rfLink6},       {rfSite7, rfLink7},           {rfDmy1, rfDmy2, rfDmy3},
      {rfDmy4, rfDmy5, rfDmy6}, {rfAlexa1, rfAlexa2}};
  return kJobs;
}

std::string EncodeJpeg(int width, int height, uint32_t color, bool grey) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = grey ? 1 : 3;
  cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<unsigned char> row(static_cast<size_t>(width) * cinfo.input_components);
  for (int x = 0; x < width; ++x) {
    if (grey) {
      row[x] = color & 0xFF;
    } else {
      row[x * 3] = (color >> 16) & 0xFF;
      row[x * 3 + 1] = (color >> 8) & 0xFF;
      row[x * 3 + 2] = color & 0xFF;
    }
  }
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string bytes(reinterpret_cast<char*>(out), size);
  free(out);
  return bytes;
}

std::function<uint32_t()> SteppingTicks() {
  auto readings = std::make_shared<std::atomic<uint32_t>>(0);
  return [readings] { return 1000 + 1500 * readings->fetch_add(1); };
}

TQueryServices ScriptedServices(const std::shared_ptr<TScriptedFetcher>& fetcher) {
  TQueryServices services;
  services.Pages = fetcher;
  services.Images = fetcher;
  services.Hosts = StandInHosts();
  services.Ticks = SteppingTicks();
  return services;
}

TPumpQueue& TestPumpQueue() {
  static TPumpQueue* queue = new TPumpQueue;
  return *queue;
}
