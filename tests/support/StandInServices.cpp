#include "support/StandInServices.h"

#include <arpa/inet.h>
#include <jpeglib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "support/CodedBodies.h"

namespace {

constexpr int kServiceCount = static_cast<int>(StandIn::kCount);
constexpr size_t kMaxHead = 64 * 1024;
constexpr int kIdleMs = 10000;  // a kept-alive connection with no next request is closed

enum class Framing { ContentLength, Chunked, ToClose };

struct Page {
  int status = 200;
  std::string reason = "OK";
  std::vector<std::string> headers;  // extra header lines, without CR LF
  std::string content_type;
  std::string body;
  Framing framing = Framing::ContentLength;
};

std::string Utf8(std::u8string_view s) { return std::string(s.begin(), s.end()); }

// The query string of a request target ("" when there is none).
std::string QueryOf(const std::string& target) {
  size_t q = target.find('?');
  return q == std::string::npos ? std::string() : target.substr(q + 1);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string Html(const std::string& title_and_body) {
  return "<html><head><meta name=\"robots\" content=\"noindex\"></head><body>\r\n" +
         title_and_body + "\r\n</body></html>\r\n";
}

std::string EncodeChunked(const std::string& body) {
  std::string out;
  // Two chunks of uneven size, the second with an extension, so chunk parsing is exercised.
  size_t half = body.size() / 3;
  std::string parts[2] = {body.substr(0, half), body.substr(half)};
  bool first = true;
  for (const std::string& p : parts) {
    if (p.empty()) continue;
    out += Format("%zx", p.size());
    if (!first) out += ";ext=1";
    out += "\r\n" + p + "\r\n";
    first = false;
  }
  out += "0\r\n\r\n";
  return out;
}

std::string Render(const Page& page) {
  std::string head = Format("HTTP/1.1 %d %s\r\n", page.status, page.reason.c_str());
  head += "Server: stand-in\r\n";
  if (!page.content_type.empty()) head += "Content-Type: " + page.content_type + "\r\n";
  for (const auto& h : page.headers) head += h + "\r\n";
  switch (page.framing) {
    case Framing::ContentLength:
      head += Format("Content-Length: %zu\r\n\r\n", page.body.size());
      return head + page.body;
    case Framing::Chunked:
      head += "Transfer-Encoding: chunked\r\n\r\n";
      return head + EncodeChunked(page.body);
    case Framing::ToClose:
      head += "Connection: close\r\n\r\n";
      return head + page.body;
  }
  return head;
}

bool SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

std::string MakeJpeg(int w, int h) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buf, &size);
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(h);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<unsigned char> row(static_cast<size_t>(w) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    for (int x = 0; x < w; ++x) {
      // A green field with a darker left half: easy to tell from the window's default picture.
      row[x * 3 + 0] = 20;
      row[x * 3 + 1] = x < w / 2 ? 120 : 200;
      row[x * 3 + 2] = 60;
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::string out(reinterpret_cast<char*>(buf), size);
  jpeg_destroy_compress(&cinfo);
  free(buf);
  return out;
}

}  // namespace

const std::string& StandInServices::SampleJpeg() {
  static const std::string jpeg = MakeJpeg(120, 90);
  return jpeg;
}

std::string StandInServices::ExpectedTitle() { return Gbk(u8"站长 Home 首页"); }

std::map<std::string, std::string> StandInServices::ExpectedFields(const std::string& site) {
  return {
      {"Site1", "1,234"},  {"Link1", "5,678"},  {"Alexa5", "2026-12-1"},
      {"Site2", "4,321"},  {"Link2", "765"},    {"Alexa3", "6"},
      {"Site3", "3,210"},  {"Link3", "654"},    {"Site4", "9,876"},
      {"Link4", "543"},    {"Site5", "8,765"},  {"Link5", "432"},
      {"Alexa4", "72/100"}, {"Site6", " 1,111 "}, {"Link6", " 222 "},
      {"Site7", "7,777"},  {"Link7", "888"},    {"Dmy1", "11"},
      {"Dmy2", "2,222"},   {"Dmy3", "33,333"},  {"Dmy4", "4"},
      {"Dmy5", "44"},      {"Dmy6", "444"},     {"Alexa1", "12,345"},
      {"Alexa2", "567"},   {"WebTitle", ExpectedTitle()},
  };
}

const char* StandInServices::RealHost(StandIn service) {
  switch (service) {
    case StandIn::Baidu: return "www.baidu.com";
    case StandIn::Google: return "www.google.com.hk";
    case StandIn::PageRank: return "pr.velmora.com";
    case StandIn::Yahoo: return "sitemap.cn.yahoo.com";
    case StandIn::Soso: return "www.soso.com";
    case StandIn::Sogou: return "www.sogou.com";
    case StandIn::Youdao: return "www.youdao.com";
    case StandIn::Bing: return "cn.bing.com";
    case StandIn::Alexa: return "www.alexa.com";
    case StandIn::ChinaRank: return "www.chinarank.org.cn";
    case StandIn::Thumbnail: return "open.thumbshots.org";
    default: return "";
  }
}

StandInServices::StandInServices() {
  home_body_ = Utf8(u8"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                    u8"charset=utf-8\"><TITLE>站长 Home 首页</TITLE></head><body>hi</body></html>");
  home_type_ = "text/html";
  thumbnail_ = SampleJpeg();
  Start("127.0.0.1", std::vector<uint16_t>(kServiceCount, 0));
}

StandInServices::StandInServices(const std::string& address, uint16_t port) {
  shared_port_ = true;
  home_body_ = Utf8(u8"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                    u8"charset=utf-8\"><TITLE>站长 Home 首页</TITLE></head><body>hi</body></html>");
  home_type_ = "text/html";
  thumbnail_ = SampleJpeg();
  Start(address, {port});
}

void StandInServices::Start(const std::string& address, const std::vector<uint16_t>& ports) {
  if (::pipe(stop_pipe_) != 0) throw std::runtime_error("pipe failed");
  for (uint16_t port : ports) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
      ::close(fd);
      throw std::runtime_error(Format("stand-in: cannot listen on %s:%u: %s", address.c_str(),
                                      port, std::strerror(errno)));
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    listen_fds_.push_back(fd);
    ports_.push_back(ntohs(sa.sin_port));
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

StandInServices::~StandInServices() {
  stopping_ = true;
  if (stop_pipe_[1] >= 0) (void)!::write(stop_pipe_[1], "x", 1);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  for (int fd : listen_fds_) ::close(fd);
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

std::string StandInServices::HostFor(StandIn service) const {
  return Format("127.0.0.1:%u", PortFor(service));
}

uint16_t StandInServices::PortFor(StandIn service) const {
  return shared_port_ ? ports_[0] : ports_[static_cast<size_t>(service)];
}

void StandInServices::SetFault(StandIn service, StandInFault fault) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_[static_cast<int>(service)] = fault;
}

void StandInServices::SetHomePage(const std::string& body, const std::string& content_type) {
  std::lock_guard<std::mutex> lock(mu_);
  home_body_ = body;
  home_type_ = content_type;
}

void StandInServices::SetPageSize(size_t bytes) { page_size_ = bytes; }

void StandInServices::SetCompression(bool on) { compression_ = on; }

void StandInServices::SetLatency(std::chrono::milliseconds delay) {
  latency_ms_ = static_cast<int>(delay.count());
}

bool StandInServices::Delay() const {
  const int ms = latency_ms_.load();
  if (ms <= 0) return !stopping_;
  pollfd p = {stop_pipe_[0], POLLIN, 0};
  return ::poll(&p, 1, ms) == 0;
}

void StandInServices::SetThumbnail(const std::string& jpeg) {
  std::lock_guard<std::mutex> lock(mu_);
  thumbnail_ = jpeg;
}

std::vector<StandInRequest> StandInServices::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<StandInRequest> StandInServices::RequestsFor(StandIn service) const {
  std::vector<StandInRequest> out;
  for (auto& r : Requests())
    if (r.service == service) out.push_back(r);
  return out;
}

size_t StandInServices::RequestCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_.size();
}

void StandInServices::AcceptLoop() {
  std::vector<pollfd> fds;
  for (int fd : listen_fds_) fds.push_back({fd, POLLIN, 0});
  fds.push_back({stop_pipe_[0], POLLIN, 0});
  while (!stopping_) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds.back().revents) return;
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      int c = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      ++connections_;
      std::lock_guard<std::mutex> lock(mu_);
      open_fds_.push_back(c);
      workers_.emplace_back([this, c, i] { Serve(c, static_cast<int>(i)); });
    }
  }
}

StandIn StandInServices::Classify(const std::string& host_header, int listener_index) const {
  if (!shared_port_) return static_cast<StandIn>(listener_index);
  std::string name = LowerCase(host_header.substr(0, host_header.find(':')));
  for (int s = 0; s < kServiceCount; ++s) {
    const char* real = RealHost(static_cast<StandIn>(s));
    if (*real && name == real) return static_cast<StandIn>(s);
  }
  return StandIn::Site;
}

void StandInServices::Serve(int fd, int listener_index) {
  std::string in;
  char buf[8192];
  if (!Delay()) goto done;
  for (;;) {
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      if (in.size() > kMaxHead) goto done;
      pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      int r = ::poll(p, 2, kIdleMs);
      if (r <= 0 || p[1].revents) goto done;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) goto done;
      in.append(buf, static_cast<size_t>(n));
    }
    {
      std::string head = in.substr(0, end + 4);
      in.erase(0, end + 4);
      // Request line: METHOD SP TARGET SP VERSION.
      size_t sp1 = head.find(' ');
      size_t sp2 = head.find(' ', sp1 + 1);
      std::string target =
          (sp1 == std::string::npos || sp2 == std::string::npos) ? "/" : head.substr(sp1 + 1, sp2 - sp1 - 1);
      std::string host, cookie, accept_encoding;
      size_t pos = head.find("\r\n") + 2;
      while (pos < head.size()) {
        size_t eol = head.find("\r\n", pos);
        std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = LowerCase(line.substr(0, colon));
        std::string value = Trim(line.substr(colon + 1));
        if (name == "host") host = value;
        if (name == "cookie") cookie = value;
        if (name == "accept-encoding") accept_encoding = LowerCase(value);
      }
      StandIn service = Classify(host, listener_index);
      StandInFault fault;
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back({service, head, std::chrono::steady_clock::now()});
        fault = faults_[static_cast<int>(service)];
      }
      if (fault == StandInFault::Silent) {
        pollfd p = {stop_pipe_[0], POLLIN, 0};
        ::poll(&p, 1, -1);
        goto done;
      }
      bool close_after = false;
      std::string answer = Answer(service, target, cookie, accept_encoding, &close_after);
      if (!Delay() || !SendAll(fd, answer) || close_after) goto done;
    }
  }
done:
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  std::lock_guard<std::mutex> lock(mu_);
  std::erase(open_fds_, fd);
}

std::string StandInServices::Answer(StandIn service, const std::string& target,
                                    const std::string& cookie, const std::string& accept_encoding,
                                    bool* close_after) {
  StandInFault fault;
  std::string home_body, home_type, thumbnail;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fault = faults_[static_cast<int>(service)];
    home_body = home_body_;
    home_type = home_type_;
    thumbnail = thumbnail_;
  }
  const std::string q = QueryOf(target);
  const std::string gbk_html = "text/html; charset=gb2312";
  const std::string utf8_html = "text/html; charset=utf-8";
  Page page;

  if (fault == StandInFault::NotFound) {
    page.status = 404;
    page.reason = "Not Found";
    page.content_type = "text/html";
    page.body = "<html><title>404</title><body>no such page</body></html>";
    return Render(page);
  }
  if (fault == StandInFault::RedirectLoop) {
    page.status = 302;
    page.reason = "Found";
    page.headers = {"Location: " + target};
    return Render(page);
  }

  // The site name is everything after the query key's "=" and an optional "site%3A"-style
  // operator; the stand-ins only need it for the Baidu snapshot row.
  auto after = [&](const std::string& prefix) {
    return StartsWith(q, prefix) ? q.substr(prefix.size()) : std::string();
  };

  switch (service) {
    case StandIn::Site:
      page.content_type = home_type;
      page.body = home_body;
      break;

    case StandIn::Baidu: {
      page.content_type = gbk_html;
      std::string count;
      if (StartsWith(q, "wd=site%3A")) count = "1,234";
      else if (StartsWith(q, "wd=domain%3A")) count = "5,678";
      else if (StartsWith(q, "tn=baiduadv&lm=1&")) count = "11";
      else if (StartsWith(q, "tn=baiduadv&lm=30&")) count = "2,222";
      else if (StartsWith(q, "tn=baiduadv&lm=360&")) count = "33,333";
      if (!count.empty()) {
        page.body = Html(Gbk(u8"<p>百度一下，找到相关网页约") + count + Gbk(u8"篇，用时0.001秒</p>"));
      } else {
        std::string site = after("wd=");
        page.body = Html("<div><b>" + site + "</b>/2026-12-1</font> <a>" + Gbk(u8"百度快照") + "</a></div>");
      }
      break;
    }

    case StandIn::Google: {
      page.content_type = utf8_html;
      page.framing = Framing::Chunked;
      if (q.find("qdr%3Ad") != std::string::npos) page.body = Utf8(u8"获得约 <b>4</b> 条结果");
      else if (q.find("qdr%3Am") != std::string::npos) page.body = Utf8(u8"获得约 <b>44</b> 条结果");
      else if (q.find("qdr%3Ay") != std::string::npos) page.body = Utf8(u8"获得约 <b>444</b> 条结果");
      else if (StartsWith(q, "hl=zh-CN&q=site%3A")) page.body = Utf8(u8"<div>获得约 <b>4,321</b> 条结果（用时 0.1 秒）</div>");
      else if (StartsWith(q, "hl=zh-CN&q=link%3A")) page.body = Utf8(u8"<div>约有 <b>765</b> 条链接到 <b>站</b></div>");
      page.body = Html(page.body);
      break;
    }

    case StandIn::PageRank:
      page.content_type = gbk_html;
      page.body = Html("<img src=\"images/pr/6.gif\" alt=\"PR\">");
      break;

    case StandIn::Yahoo:
      page.content_type = utf8_html;
      page.framing = Framing::ToClose;
      if (StartsWith(q, "bwm=p&p="))
        page.body = Html(Utf8(u8"<em>被收录的网页： 共 <strong>3,210</strong> 条</em>"));
      else
        page.body = Html(Utf8(u8"<em>链向该地址的网页： 共 <strong>654</strong> 条</em>"));
      break;

    case StandIn::Soso:
      page.content_type = gbk_html;
      page.framing = Framing::Chunked;
      page.body = Html(Gbk(u8"<div>搜索到约") + (StartsWith(q, "w=site%3A") ? "9,876" : "543") +
                       Gbk(u8"项结果</div>"));
      break;

    case StandIn::Sogou:
      // The first visit is sent round a redirect that sets a cookie; only a request carrying
      // it gets the page.
      if (cookie.find("SUID=velmora42") == std::string::npos) {
        page.status = 302;
        page.reason = "Found";
        page.headers = {"Location: " + target, "Set-Cookie: SUID=velmora42; path=/"};
        page.content_type = "text/html";
        page.body = "<html>moved</html>";
        break;
      }
      page.content_type = gbk_html;
      if (StartsWith(q, "query=link%3A"))
        page.body = Html(Gbk(u8"<div>找到 432 <!--resultbarnum:432--> 条</div>"));
      else
        page.body = Html(Gbk(u8"<div>找到 8,765 <!--resultbarnum:8765--> 条</div><p>搜狗评级:72/100</p>"));
      break;

    case StandIn::Youdao:
      page.content_type = utf8_html;
      page.body = Html(std::string("<span class=\"fr\">") +
                       Utf8(u8"共约") + (StartsWith(q, "q=site%3A") ? " 1,111 " : " 222 ") +
                       Utf8(u8"条结果</span>"));
      break;

    case StandIn::Bing:
      page.content_type = utf8_html;
      page.framing = Framing::Chunked;
      page.body = Html(Utf8(u8"<span class=\"sb_count\">1 - 10 条结果（共 ") +
                       (StartsWith(q, "q=site%3A") ? "7,777" : "888") +
                       Utf8(u8" 条）</span>"));
      break;

    case StandIn::Alexa:
      page.content_type = utf8_html;
      page.body = Html(
          "<span>Alexa Traffic Rank:</span> <a href=\"/siteinfo/x\" class=\"trafficstats\">\r\n"
          "    12,345</a> <span>Alexa Traffic Rank:</span>");
      break;

    case StandIn::ChinaRank:
      page.content_type = gbk_html;
      page.framing = Framing::ToClose;
      page.body = Html(Gbk(u8"<span>当前排名：</span><span class=\"rank_font_y2\">567</span>"));
      break;

    case StandIn::Thumbnail:
      page.content_type = "image/jpeg";
      page.body = fault == StandInFault::NotJpeg
                      ? std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR not a jpeg", 28)
                      : thumbnail;
      break;

    case StandIn::kCount:
      break;
  }

  const bool text = page.status == 200 && StartsWith(page.content_type, "text/");
  if (text && page_size_ > 0) page.body += ResultRows(page_size_);
  if (fault == StandInFault::CutUtf8) {
    // Cut inside the three-byte sequence of a Chinese character.
    std::string body = page.body + Utf8(u8"中");
    page.body = body.substr(0, body.size() - 1);
  }
  const bool brotli = page.framing == Framing::Chunked;
  if (text && compression_ && accept_encoding.find(brotli ? "br" : "gzip") != std::string::npos) {
    page.body = brotli ? BrotliCoded(page.body) : GzipCoded(page.body);
    page.headers.push_back(brotli ? "Content-Encoding: br" : "Content-Encoding: gzip");
  }
  *close_after = page.framing == Framing::ToClose;
  return Render(page);
}
