#include "support/RankStandIns.h"

#include <cstdlib>

#include "support/ScriptedServer.h"

namespace {

std::string Other(int n) { return "https://r" + std::to_string(n) + ".example.org/p"; }

std::string Html(const std::string& body) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>结果</title></head><body>" +
         body + "</body></html>";
}

// The value of `name` in the query of `target` ("" when absent).
std::string Param(const std::string& target, const std::string& name) {
  const size_t q = target.find('?');
  if (q == std::string::npos) return "";
  for (size_t at = q + 1; at < target.size();) {
    size_t end = target.find('&', at);
    if (end == std::string::npos) end = target.size();
    const std::string pair = target.substr(at, end - at);
    if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

std::string Answer(int status, const std::string& extra, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Found") +
         "\r\nContent-Type: text/html; charset=utf-8\r\n" + extra +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

std::string RankStandIns::BaiduPage(int page) {
  std::string body = "<div id=\"content_left\">";
  if (page == 1) {
    body +=
        "<div class=\"c-container result\" tpl=\"www_index\" data-placeid=\"9\" "
        "mu=\"https://www.velmora.test/ad\"><h3><a href=\"https://www.baidu.com/baidu.php?x\">"
        "广告</a></h3></div>"
        "<div class=\"result c-container\" tpl=\"se_com_default\" mu=\"https://velmora.test/a2\">"
        "<h3><a href=\"#\">推广</a></h3><span class=\"tuiguang_3xf\">广告</span></div>"
        "<div class=\"c-container\" tpl=\"recommend_list\"><a href=\"https://www.velmora.test/\">"
        "相关搜索</a></div>"
        "<div class=\"c-container\" tpl=\"short_video\" mu=\"http://nourl.ubs.baidu.com/1\">"
        "<h3>视频</h3></div>";
  }
  for (int i = 1; i <= 10; ++i) {
    const int n = (page - 1) * 10 + i;
    std::string mu = Other(n);
    if (n == 4) mu = "https://blog.velmora.test/post";
    if (n == 13) mu = "https://www.velmora.test/tools";
    // The block id counts every block, so it is no position.
    const std::string attrs = n == 2 ? "" : " mu=\"" + mu + "\"";
    body += "<div class=\"result c-container xpath-log new-pmd\" tpl=\"www_index\" id=\"" +
            std::to_string(n + 4) + "\"" + attrs +
            "><h3 class=\"c-title t\"><a href=\"http://www.baidu.com/link?url=Zx" +
            std::to_string(n) + "\">结果 " + std::to_string(n) +
            "</a></h3><div class=\"summary-text_560AW\">摘要</div>"
            "<div class=\"c-container\" tpl=\"www_inner\" mu=\"https://www.velmora.test/nest\">"
            "</div></div>";
  }
  return Html(body + "</div>");
}

std::string RankStandIns::BingPage(int page) {
  std::string body = "<ol id=\"b_results\">";
  if (page == 1) {
    body +=
        "<li class=\"b_ad\"><h2><a href=\"https://www.velmora.test/\">广告</a></h2></li>"
        "<li class=\"b_algo\"><h2><a href=\"https://cn.bing.com/aclick?ld=e8\">推广</a></h2></li>"
        "<li class=\"b_ans\"><h2><a href=\"https://www.velmora.test/\">相关搜索</a></h2></li>";
  }
  for (int i = 1; i <= 10; ++i) {
    const int n = (page - 1) * 10 + i;
    // base64url of https://velmora.test/page, no padding.
    const std::string href =
        n == 7 ? "https://cn.bing.com/ck/"
                 "a?!&amp;&amp;p=a1b2&amp;u=a1aHR0cHM6Ly92ZWxtb3JhLnRlc3QvcGFnZQ&amp;ntb=1"
               : Other(n);
    body +=
        "<li class=\"b_algo\" data-id=\"\"><div class=\"b_title\"><h2><a target=\"_blank\" "
        "href=\"" +
        href + "\">Bing " + std::to_string(n) + "</a></h2></div><p>摘要</p></li>";
  }
  return Html(body + "</ol>");
}

std::string RankStandIns::So360Page(int page) {
  std::string body =
      "<div class=\"spread\"><ul class=\"result\"><li class=\"res-list\"><h3 class=\"res-title\">"
      "<a href=\"https://www.velmora.test/\">推广</a></h3></li></ul></div><ul class=\"result\">"
      "<li class=\"res-list\"><h3 class=\"res-title\"><a data-mdurl=\"https://www.velmora.test/\" "
      "href=\"https://www.so.com/link?m=ad\">站点</a></h3><span class=\"tag\">广告</span></li>";
  for (int i = 1; i <= 10; ++i) {
    const int n = (page - 1) * 10 + i;
    body +=
        "<li class=\"res-list\" data-lm=\"\"><h3 class=\"res-title \"><a "
        "href=\"https://www.so.com/link?m=b" +
        std::to_string(n) + "\" data-mdurl=\"" + Other(n) + "\">360 " + std::to_string(n) +
        "</a></h3></li>";
  }
  return Html(body + "</ul>");
}

std::string RankStandIns::SogouPage() {
  std::string body =
      "<div class=\"results\"><div class=\"vrwrap special-wrap\" "
      "data-url=\"https://www.velmora.test/\">"
      "<h3 class=\"vr-title\"><a href=\"/link?url=s\">卡片</a></h3></div>"
      "<div class=\"sponsored\"><div class=\"rb\"><h3 class=\"pt\"><a href=\"/link?url=ad\">推广"
      "</a></h3><div data-url=\"https://www.velmora.test/\"></div></div></div>"
      "<div class=\"vrwrap\"><h3 class=\"vr-title\"><a href=\"/link?url=a\">一</a></h3>"
      "<div class=\"r-sech\" data-url=\"https://r1.example.org/\"></div></div>"
      "<div class=\"rb\"><h3 class=\"pt\"><a href=\"/link?url=b\">二</a></h3>"
      "<div class=\"fb\" data-url=\"https://r2.example.org/\"></div></div>"
      "<div class=\"vrwrap\"><h3 class=\"vr-title\"><a href=\"/link?url=c\">三</a></h3>"
      "<div class=\"r-sech\" data-url=\"http://WWW.Velmora.Test./about\"></div></div></div>";
  return Html(body);
}

std::string RankStandIns::SogouVerificationPage() {
  return Html("<div class=\"content\">搜狗搜索验证：请输入验证码</div>");
}

RankStandIns::RankStandIns() {
  server_ = std::make_unique<ScriptedServer>([this](ScriptedConnection& c) {
    for (;;) {
      const std::string head = c.ReadHead();
      if (head.empty()) return;
      const size_t sp = head.find(' ');
      const std::string target = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
      const std::string path = target.substr(0, target.find('?'));
      std::string engine, answer;
      if (path == "/s" && !Param(target, "wd").empty()) {
        engine = "baidu";
        answer = Answer(200, "", BaiduPage(std::atoi(Param(target, "pn").c_str()) / 10 + 1));
      } else if (path == "/s") {
        engine = "360";
        answer = Answer(200, "", So360Page(std::atoi(Param(target, "pn").c_str())));
      } else if (path == "/search") {
        engine = "bing";
        answer =
            Answer(200, "", BingPage((std::atoi(Param(target, "first").c_str()) - 1) / 10 + 1));
      } else if (path == "/web") {
        engine = "sogou";
        answer = Answer(302, "Location: /antispider/?from=%2Fweb\r\n", "");
      } else if (path == "/antispider/") {
        answer = Answer(200, "", SogouVerificationPage());
      } else {
        answer = Answer(200, "Set-Cookie: BAIDUID=1; Path=/\r\n", Html("首页"));
      }
      if (!engine.empty()) {
        std::lock_guard<std::mutex> lock(mu_);
        ++asked_[engine];
      }
      if (!c.Send(answer)) return;
    }
  });
}

RankStandIns::~RankStandIns() = default;

std::string RankStandIns::Host() const { return server_->HostPort(); }

int RankStandIns::PagesAsked(const std::string& engine) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = asked_.find(engine);
  return it == asked_.end() ? 0 : it->second;
}

std::string RankStandIns::Definitions() const {
  const std::string h = "http://" + Host();
  return "base = \"current\"\n"
         "[[rank]]\nengine = \"baidu\"\nurl = \"" +
         h +
         "/s?wd={keyword}&pn={offset}\"\n"
         "first_visit = \"" +
         h +
         "/\"\n"
         "[[rank]]\nengine = \"bing\"\nurl = \"" +
         h +
         "/search?q={keyword}&first={offset+1}\"\n"
         "[[rank]]\nengine = \"360\"\nurl = \"" +
         h +
         "/s?q={keyword}&pn={page}\"\n"
         "[[rank]]\nengine = \"sogou\"\nurl = \"" +
         h +
         "/web?query={keyword}&page={page}\"\n"
         "first_visit = \"" +
         h + "/\"\n";
}
