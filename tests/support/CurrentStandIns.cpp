#include "support/CurrentStandIns.h"

#include <cstdlib>
#include <ctime>

#include "support/ScriptedServer.h"
#include "support/StandInServices.h"
#include "support/TlsPeers.h"

namespace {

std::string Page(const std::string& body, std::vector<std::string> extra = {}) {
  extra.insert(extra.begin(), {"Content-Type: text/html; charset=utf-8", "Connection: close"});
  return HttpResponse("HTTP/1.1 200 OK", "<html><body>" + body + "</body></html>", extra);
}

std::string Json(const std::string& body) {
  return HttpResponse("HTTP/1.1 200 OK", body,
                      {"Content-Type: application/json", "Connection: close"});
}

std::string Redirect(const std::string& location, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> headers{"Location: " + location, "Content-Length: 0",
                                   "Connection: close"};
  headers.insert(headers.end(), extra.begin(), extra.end());
  return HttpHead("HTTP/1.1 302 Found", headers);
}

std::string Refused(const std::string& status) {
  return HttpResponse("HTTP/1.1 " + status, "no", {"Connection: close"});
}

// The request target of a head ("/s?wd=..."), and a header's value ("" when absent).
std::string Target(const std::string& head) {
  const size_t from = head.find(' ') + 1;
  return head.substr(from, head.find(' ', from) - from);
}
std::string Header(const std::string& head, const std::string& name) {
  const size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 4;
  return head.substr(from, head.find("\r\n", from) - from);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How many days back a Baidu period query reaches (gpc=stf=FROM,TO|stftype=1); -1 without one.
long PeriodDays(const std::string& target) {
  const size_t at = target.find("gpc=stf%3D");
  if (at == std::string::npos) return -1;
  const char* p = target.c_str() + at + 10;
  char* end = nullptr;
  const long from = std::strtol(p, &end, 10);
  if (std::string(end).rfind("%2C", 0) != 0) return -2;
  const long to = std::strtol(end + 3, nullptr, 10);
  if (to < std::time(nullptr) - 60 || to > std::time(nullptr) + 60) return -2;
  return (to - from) / 86400;
}

}  // namespace

CurrentStandIns::CurrentStandIns() {
  const testpki::Issued& localhost = Pki().localhost_pem;
  for (int s = 0; s < static_cast<int>(CurrentService::kCount); ++s) {
    servers_.push_back(std::make_unique<TlsScriptServer>(localhost, [this, s](auto& peer) {
      const std::string head = peer.ReadHead();
      if (!head.empty()) peer.Send(Answer(static_cast<CurrentService>(s), head));
    }));
  }
}

CurrentStandIns::CurrentStandIns(uint16_t port, const testpki::Issued& certificate) {
  servers_.push_back(std::make_unique<TlsScriptServer>(
      certificate,
      [this](auto& peer) {
        const std::string head = peer.ReadHead();
        std::string host = Header(head, "Host");
        host = host.substr(0, host.find(':'));
        for (int s = 0; s < static_cast<int>(CurrentService::kCount); ++s) {
          if (host == RealHost(static_cast<CurrentService>(s))) {
            peer.Send(Answer(static_cast<CurrentService>(s), head));
            return;
          }
        }
        if (!head.empty()) peer.Send(Refused("404 Not Found"));
      },
      port));
}

CurrentStandIns::~CurrentStandIns() = default;

const char* CurrentStandIns::RealHost(CurrentService service) {
  static const char* const kHosts[] = {"www.baidu.com",   "www.google.com.hk", "www.so.com",
                                       "www.sogou.com",   "cn.bing.com",       "tranco-list.eu",
                                       "openpagerank.com", "web.archive.org",  "s0.wp.com"};
  return kHosts[static_cast<int>(service)];
}

TServiceHosts CurrentStandIns::Hosts(TServiceHosts base) const {
  auto at = [&](CurrentService s) {
    return "localhost:" + std::to_string(servers_[static_cast<int>(s)]->Port());
  };
  base.Baidu = at(CurrentService::Baidu);
  base.Google = at(CurrentService::Google);
  base.So360 = at(CurrentService::So360);
  base.Sogou = at(CurrentService::Sogou);
  base.Bing = at(CurrentService::Bing);
  base.Tranco = at(CurrentService::Tranco);
  base.OpenRank = at(CurrentService::OpenRank);
  base.Archive = at(CurrentService::Archive);
  base.Mshots = at(CurrentService::Mshots);
  return base;
}

void CurrentStandIns::SetVerification(CurrentService service, bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  verification_[static_cast<int>(service)] = on;
}

std::vector<std::string> CurrentStandIns::RequestHeads(CurrentService service) const {
  std::lock_guard<std::mutex> lock(mu_);
  return heads_[static_cast<int>(service)];
}

std::map<std::string, std::string> CurrentStandIns::ExpectedValues() {
  return {{"Site1", "1,234"}, {"Link1", "5,678"}, {"Dmy1", "12"},          {"Dmy2", "0"},
          {"Dmy3", "987"},    {"Site3", "3,456"}, {"Site5", "2,345"},      {"Site7", "4,567"},
          {"Alexa1", "1100"}, {"Alexa3", "4.57"}, {"Alexa5", "2008-01-15"}};
}

std::string CurrentStandIns::Answer(CurrentService service, const std::string& head) {
  const std::string target = Target(head);
  bool verification;
  {
    std::lock_guard<std::mutex> lock(mu_);
    heads_[static_cast<int>(service)].push_back(head);
    verification = verification_[static_cast<int>(service)];
  }
  // Today's engines turn away a client that introduces itself as an old browser.
  if (Header(head, "User-Agent").rfind("Mozilla/5.0", 0) != 0) return Refused("403 Forbidden");
  switch (service) {
    case CurrentService::Baidu: {
      if (Has(target, "/static/captcha/")) return Page("<title>百度安全验证</title>请完成下方验证");
      if (verification) return Redirect("/static/captcha/tuxing.html?ak=1&backurl=x");
      if (Has(target, "wd=domain%3A")) {
        return Page("找到相关结果数约5,678个 <span>数字为估算值</span>");
      }
      switch (PeriodDays(target)) {
        case -1:
          return Page("<div>该网站共有 <b style=\"color:#333\">1,234</b> 个网页被百度收录</div>");
        case 1:
          return Page("百度为您找到相关结果约12个");
        case 30:
          return Page("很抱歉，没有找到与“site:x”相关的网页。");
        case 365:
          return Page("该网站共有<span class=\"n\"><b>987</b></span>个网页被百度收录");
        default:
          return Refused("400 Bad Request");
      }
    }
    case CurrentService::Google:
      if (Has(target, "/httpservice/retry/enablejs")) {
        return Page("Please click <a href=\"/search\">here</a> if you are not redirected");
      }
      return Redirect("/httpservice/retry/enablejs?sei=stand-in");
    case CurrentService::So360:
      if (Header(head, "Referer") != "https://www.so.com/") return Refused("403 Forbidden");
      return Page("<p>该网站约<span class=\"b\">3,456</span>个网页被360搜索收录</p>");
    case CurrentService::Sogou: {
      if (target == "/") {
        return Page("sogou",
                    {"Set-Cookie: SUV=stand-in; path=/", "Set-Cookie: SNUID=stand-in; path=/"});
      }
      if (Has(target, "/antispider")) return Page("请输入验证码");
      const std::string cookie = Header(head, "Cookie");
      if (verification || !Has(cookie, "SUV=") || !Has(cookie, "SNUID=")) {
        return Redirect("/antispider/?from=%2Fweb");
      }
      return Page("<p class=\"num-tips\">搜狗已为您找到约2,345条相关结果</p>");
    }
    case CurrentService::Bing:
      return Page("<span class=\"sb_count\">约 4,567 个结果</span>");
    case CurrentService::Tranco:
      return Json(R"({"ranks":[{"date":"2024-05-01","rank":1200},)"
                  R"({"date":"2024-05-03","rank":1100},{"date":"2024-05-02","rank":1150}]})");
    case CurrentService::OpenRank:
      if (Header(head, "API-OPR") != kKey) return Refused("401 Unauthorized");
      return Json(R"({"status_code":200,"response":[{"status_code":200,)"
                  R"("page_rank_decimal":4.57,"rank":"12345","domain":"site.test"}]})");
    case CurrentService::Archive:
      return Json(R"([["timestamp"],["20080115123456"]])");
    case CurrentService::Mshots: {
      int asked;
      {
        std::lock_guard<std::mutex> lock(mu_);
        asked = ++thumbnail_asked_;
      }
      if (asked <= 2) {  // "being made": a small picture that is no JPEG
        return HttpResponse("HTTP/1.1 200 OK", "GIF89a being made",
                            {"Content-Type: image/gif", "Connection: close"});
      }
      return HttpResponse("HTTP/1.1 200 OK", StandInServices::SampleJpeg(),
                          {"Content-Type: image/jpeg", "Connection: close"});
    }
    case CurrentService::kCount:
      break;
  }
  return Refused("404 Not Found");
}
