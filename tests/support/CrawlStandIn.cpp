#include "support/CrawlStandIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>

namespace {

// A port on 127.0.0.1 where nothing listens: bound for a moment, then let go.
int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("crawl stand-in: no free port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

// A page that passes every content rule: a title of proper length, a description, one <h1> and
// text of its own, and the links given.
std::string Page(const std::string& name, const std::string& links,
                 const std::string& head_extra = "") {
  return "<!DOCTYPE html><html lang=en><head><title>Stand-in site: the page called " + name +
         "</title><meta name=description content=\"What the page " + name + " is about.\">" +
         head_extra + "</head><body><h1>" + name + "</h1><p>This is the text of " + name +
         ", written for it alone.</p>" + links + "</body></html>";
}

std::string Ok(const std::string& body, const std::string& type = "text/html; charset=utf-8",
               std::vector<std::string> headers = {}) {
  headers.push_back("Content-Type: " + type);
  return HttpResponse("HTTP/1.1 200 OK", body, headers);
}

std::string Redirect(const std::string& to) {
  return HttpResponse("HTTP/1.1 301 Moved Permanently", "", {"Location: " + to});
}

std::string NotFound() {
  return HttpResponse("HTTP/1.1 404 Not Found", "<html><title>not found</title></html>",
                      {"Content-Type: text/html"});
}

std::string A(const std::string& href) { return "<a href=\"" + href + "\">" + href + "</a> "; }

}  // namespace

CrawlStandInSite::CrawlStandInSite() {
  dead_port_ = UnusedPort();
  other_ = std::make_unique<ScriptedServer>([](ScriptedConnection& c) {
    for (std::string head = c.ReadHead(); !head.empty(); head = c.ReadHead()) {
      if (!c.Send(Ok(Page("elsewhere", "")))) return;
    }
  });
  site_ = std::make_unique<ScriptedServer>([this](ScriptedConnection& c) { Serve(c); });
}

CrawlStandInSite::~CrawlStandInSite() = default;

std::string CrawlStandInSite::Site() const { return site_->HostPort(); }
std::string CrawlStandInSite::Url(const std::string& path) const { return site_->Url(path); }
std::string CrawlStandInSite::OtherUrl(const std::string& path) const { return other_->Url(path); }
std::string CrawlStandInSite::DeadUrl() const {
  return "http://127.0.0.1:" + std::to_string(dead_port_) + "/gone";
}

std::vector<std::string> CrawlStandInSite::Requests() const {
  std::vector<std::string> targets;
  for (const std::string& line : site_->RequestLines()) {
    const size_t a = line.find(' ');
    const size_t b = line.find(' ', a + 1);
    targets.push_back(line.substr(a + 1, b - a - 1));
  }
  return targets;
}

void CrawlStandInSite::Serve(ScriptedConnection& c) {
  for (std::string head = c.ReadHead(); !head.empty(); head = c.ReadHead()) {
    const size_t a = head.find(' ');
    const size_t b = head.find(' ', a + 1);
    if (a == std::string::npos || b == std::string::npos) return;
    if (!c.Send(Answer(head.substr(a + 1, b - a - 1), head))) return;
  }
}

std::string CrawlStandInSite::Answer(const std::string& target, const std::string& head) {
  const std::string site = "http://" + Site();
  if (target == "/robots.txt") {
    return Ok(
        "User-agent: *\nDisallow: /private\nDisallow: /bot-only\n\n"
        "User-agent: VelmoraBot\nDisallow: /private\nAllow: /bot-only\n\n"
        "Sitemap: " +
            site + "/sitemap.xml\n",
        "text/plain");
  }
  if (target == "/sitemap.xml") {
    std::string xml =
        "<?xml version=\"1.0\"?><urlset "
        "xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">";
    for (const char* path : {"/", "/a", "/noindex", "/orphan", "/sitemap-missing"}) {
      xml += "<url><loc>" + site + path + "</loc></url>";
    }
    return Ok(xml + "</urlset>", "application/xml");
  }
  if (target == "/") {
    std::string links;
    for (const char* path : {"/a",
                             "/b",
                             "/missing",
                             "/error",
                             "/redirect1",
                             "/loop1",
                             "/dup1",
                             "/dup2",
                             "/notitle",
                             "/short",
                             "/twoh1",
                             "/canon-broken",
                             "/canon-other",
                             "/hreflang-a",
                             "/img",
                             "/slow",
                             "/heavy",
                             "/deep1",
                             "/throttle",
                             "/bot-only",
                             "/private",
                             "/a#top",
                             "/calendar?m=0",
                             "/noindex",
                             "mailto:webmaster@example.test",
                             "javascript:void(0)",
                             "tel:+861234567"}) {
      links += A(path);
    }
    links += A(DeadUrl()) + A(OtherUrl("/ok"));
    if (changed_) links += A("/new-missing");
    return Ok(Page("home", links));
  }
  if (target == "/a") {
    // Validated: asked again with its ETag, it has not changed.
    if (head.find("If-None-Match: \"a-1\"") != std::string::npos) {
      return HttpHead("HTTP/1.1 304 Not Modified", {"ETag: \"a-1\"", "Content-Length: 0"});
    }
    return Ok(Page("a", A("/")), "text/html; charset=utf-8", {"ETag: \"a-1\""});
  }
  if (target == "/b" || target == "/hreflang-b" || target == "/bot-only" || target == "/orphan" ||
      (target == "/missing" && changed_)) {
    return Ok(Page(target.substr(1), A("/")));
  }
  if (target == "/logo.png") return Ok("\x89PNG\r\n", "image/png");
  if (target == "/error") return HttpResponse("HTTP/1.1 500 Internal Server Error", "oops");
  if (target == "/redirect1") return Redirect("/redirect2");
  if (target == "/redirect2") return Redirect(site + "/a");
  if (target == "/loop1") return Redirect("/loop2");
  if (target == "/loop2") return Redirect("/loop1");
  if (target == "/dup1" || target == "/dup2") return Ok(Page("twin", ""));
  if (target == "/notitle") return Ok("<html><body><p>No head to speak of.</p></body></html>");
  if (target == "/short") {
    return Ok(
        "<html><head><title>Short</title><meta name=description content=\"A short "
        "title.\"></head><body><h1>Short</h1><p>Short page.</p></body></html>");
  }
  if (target == "/twoh1") return Ok(Page("twoh1", "<h1>A second heading</h1>"));
  if (target == "/canon-broken") {
    return Ok(Page("canon-broken", "", "<link rel=canonical href=\"/canon-target-gone\">"));
  }
  if (target == "/canon-other") {
    return Ok(Page("canon-other", "", "<link rel=canonical href=\"" + OtherUrl("/ok") + "\">"));
  }
  if (target == "/hreflang-a") {
    return Ok(Page("hreflang-a", "", "<link rel=alternate hreflang=en href=\"/hreflang-b\">"));
  }
  if (target == "/img") return Ok(Page("img", "<img src=\"/logo.png\">"));
  if (target == "/slow") {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    return Ok(Page("slow", ""));
  }
  if (target == "/heavy") {
    return Ok(Page("heavy", "<p>" + std::string(2'600'000, 'x') + "</p>"));
  }
  if (target.rfind("/deep", 0) == 0 && target.size() == 6) {
    const int n = target[5] - '0';
    return Ok(Page(target.substr(1), n < 5 ? A("/deep" + std::to_string(n + 1)) : ""));
  }
  if (target == "/throttle") {
    if (throttle_asked_++ == 0) {
      return HttpResponse("HTTP/1.1 429 Too Many Requests", "slow down", {"Retry-After: 1"});
    }
    return Ok(Page("throttle", ""));
  }
  if (target.rfind("/calendar?m=", 0) == 0) {
    const int month = std::stoi(target.substr(12));
    return Ok(Page("calendar month " + std::to_string(month),
                   A("/calendar?m=" + std::to_string(month + 1))));
  }
  if (target == "/noindex") {
    return Ok(Page("noindex", "", "<meta name=robots content=\"noindex, follow\">"));
  }
  return NotFound();
}

const std::vector<CrawlStandInFinding>& CrawlStandInFindings() {
  static const std::vector<CrawlStandInFinding> kFindings = {
      {"http-4xx", "/missing", "404"},
      {"http-4xx", "/canon-target-gone", "404"},
      {"http-4xx", "/sitemap-missing", "404"},
      {"http-5xx", "/error", "500"},
      {"broken-link", "/", "/missing"},
      {"broken-link", "/", "/error"},
      {"external-broken", "DEAD", "/"},
      {"redirect-loop", "/loop1", "/loop2"},
      {"canonical-broken", "/canon-broken", "/canon-target-gone"},
      {"sitemap-not-ok", "/sitemap-missing", "404"},
      {"title-missing", "/notitle", ""},
      {"redirect-chain", "/redirect1", "/redirect2"},
      {"title-duplicate", "/dup1", "/dup2"},
      {"title-duplicate", "/dup2", "/dup1"},
      {"description-missing", "/notitle", ""},
      {"description-duplicate", "/dup1", "/dup2"},
      {"description-duplicate", "/dup2", "/dup1"},
      {"h1-missing", "/notitle", ""},
      {"canonical-other-site", "/canon-other", "/ok"},
      {"noindex-in-sitemap", "/noindex", ""},
      {"orphan", "/orphan", ""},
      {"orphan", "/sitemap-missing", ""},
      {"hreflang-no-return", "/hreflang-a", "/hreflang-b"},
      {"duplicate-content", "/dup1", "/dup2"},
      {"duplicate-content", "/dup2", "/dup1"},
      {"slow", "/slow", ""},
      {"heavy", "/heavy", "MiB"},
      {"title-length", "/short", "5"},
      {"h1-multiple", "/twoh1", "2"},
      {"img-alt-missing", "/img", "1"},
      {"deep", "/deep5", "5"},
  };
  return kFindings;
}
