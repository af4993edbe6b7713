#include "support/AuditStandIns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/CodedBodies.h"
#include "support/TlsPeers.h"

// A keep-alive HTTP/1.1 server on 127.0.0.1, plain or TLS, answering each request through its
// handler; or, silent, one that accepts connections and never reads or writes a byte.
class StandInWebServer {
 public:
  // Answers are shared, not copied: a site's large pages are sent from where they lie.
  using Handler = std::function<std::shared_ptr<const StandInAnswer>(const StandInAsk&)>;

  StandInWebServer(const testpki::Issued* certificate, bool silent) : silent_(silent) {
    if (certificate != nullptr && !silent) ctx_ = NewServerContext(*certificate);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 128) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("stand-in site: listen");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }

  ~StandInWebServer() {
    stopping_ = true;
    acceptor_.join();
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : workers_) t.join();
    for (int fd : silent_fds_) ::close(fd);
    ::close(listen_fd_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  }

  int Port() const { return port_; }
  void SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
  }

 private:
  void Accept() {
    while (!stopping_) {
      pollfd p = {listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      if (silent_) {
        silent_fds_.push_back(fd);
        continue;
      }
      fds_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  // Reads and writes of one connection, over TLS or not.
  struct Connection {
    int fd;
    SSL* ssl;
    std::string pending;
    int Read(char* buf, int n) {
      return ssl != nullptr ? SSL_read(ssl, buf, n) : static_cast<int>(::recv(fd, buf, n, 0));
    }
    bool Write(std::string_view bytes) {
      size_t done = 0;
      while (done < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 16));
        const int n = ssl != nullptr
                          ? SSL_write(ssl, bytes.data() + done, chunk)
                          : static_cast<int>(::send(fd, bytes.data() + done, chunk, MSG_NOSIGNAL));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
      }
      return true;
    }
    // The next request head; "" when the client closed or stayed idle too long.
    std::string ReadHead() {
      char buf[4096];
      size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        const int n = Read(buf, sizeof buf);
        if (n <= 0 || pending.size() > 65536) return "";
        pending.append(buf, static_cast<size_t>(n));
      }
      std::string head = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      return head;
    }
  };

  static StandInAsk Parse(const std::string& head) {
    StandInAsk ask;
    const size_t sp1 = head.find(' ');
    const size_t sp2 = head.find(' ', sp1 + 1);
    if (sp1 != std::string::npos && sp2 != std::string::npos) {
      ask.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    }
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const size_t ae = lower.find("\r\naccept-encoding:");
    if (ae != std::string::npos) {
      const size_t eol = lower.find("\r\n", ae + 2);
      ask.accepts_gzip = lower.substr(ae, eol - ae).find("gzip") != std::string::npos;
    }
    return ask;
  }

  // Sends the answer: its head, then its body as it lies, in chunks when it asks for them.
  static bool Send(Connection& c, const StandInAnswer& answer, bool gzip) {
    const std::string& body = gzip ? answer.gzip_body : answer.body;
    std::string head = answer.status + "\r\n";
    for (const std::string& h : answer.headers) head += h + "\r\n";
    if (gzip) head += "Content-Encoding: gzip\r\n";
    if (!answer.gzip_body.empty()) head += "Vary: Accept-Encoding\r\n";
    if (!answer.chunked) {
      head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
      return c.Write(head) && c.Write(body);
    }
    if (!c.Write(head + "Transfer-Encoding: chunked\r\n\r\n")) return false;
    constexpr size_t kPiece = 1 << 16;
    char size[32];
    for (size_t at = 0; at < body.size(); at += kPiece) {
      const size_t n = std::min(kPiece, body.size() - at);
      std::snprintf(size, sizeof size, "%zx\r\n", n);
      if (!c.Write(size) || !c.Write(std::string_view(body).substr(at, n)) || !c.Write("\r\n")) {
        return false;
      }
    }
    return c.Write("0\r\n\r\n");
  }

  void Serve(int fd) {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    timeval tv{5, 0};  // an idle kept-alive connection is closed after this
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // Each answer goes out whole at once, not held back for the ACK of the session tickets.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection c{fd, nullptr, {}};
    bool ok = true;
    if (ctx_ != nullptr) {
      c.ssl = SSL_new(ctx_);
      SSL_set_fd(c.ssl, fd);
      ok = SSL_accept(c.ssl) == 1;
    }
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mu_);
      handler = handler_;
    }
    while (ok && !stopping_ && handler) {
      const std::string head = c.ReadHead();
      if (head.empty()) break;
      const StandInAsk ask = Parse(head);
      const std::shared_ptr<const StandInAnswer> answer = handler(ask);
      ok = Send(c, *answer, ask.accepts_gzip && !answer->gzip_body.empty());
    }
    if (c.ssl != nullptr) SSL_free(c.ssl);
    std::lock_guard<std::mutex> lock(mu_);
    std::erase(fds_, fd);
    ::close(fd);
  }

  const bool silent_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;
  Handler handler_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;
  std::vector<int> silent_fds_;
};

AuditStandInSite::AuditStandInSite() = default;
AuditStandInSite::~AuditStandInSite() = default;
AuditStandInSite::AuditStandInSite(AuditStandInSite&&) noexcept = default;

namespace {

using Routes = std::map<std::string, std::shared_ptr<const StandInAnswer>>;

StandInAnswer NotFound() {
  StandInAnswer a;
  a.status = "HTTP/1.1 404 Not Found";
  a.headers = {"Content-Type: text/plain"};
  a.body = "no";
  return a;
}

// A gzip file of `xml_head`, then about `padding` bytes of short comments (many small nodes, so
// a reader meets its size cap rather than a limit on one node), then `xml_tail`; made in pieces
// so the inflated size never sits in memory.
std::string GzipPadded(const std::string& xml_head, int64_t padding, const std::string& xml_tail) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  std::string out;
  char buf[1 << 16];
  auto feed = [&](const std::string& in, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    do {
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      deflate(&z, flush);
      out.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && z.avail_in > 0));
  };
  feed(xml_head, Z_NO_FLUSH);
  std::string block;
  while (block.size() < (1 << 20)) block += "<!-- padding, nothing but padding -->\n";
  for (int64_t left = padding; left > 0; left -= static_cast<int64_t>(block.size())) {
    feed(block, Z_NO_FLUSH);
  }
  feed(xml_tail, Z_FINISH);
  deflateEnd(&z);
  return out;
}

const char kUrlsetOpen[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<urlset xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">\n";
const char kIndexOpen[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<sitemapindex xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">\n";

std::string Urlset(const std::string& base, int first, int count) {
  std::string xml = kUrlsetOpen;
  for (int i = first; i < first + count; ++i) {
    xml += "<url><loc>" + base + "page/" + std::to_string(i) + ".html</loc></url>\n";
  }
  return xml + "</urlset>\n";
}

std::string Index(const std::vector<std::string>& locations) {
  std::string xml = kIndexOpen;
  for (const std::string& loc : locations) xml += "<sitemap><loc>" + loc + "</loc></sitemap>\n";
  return xml + "</sitemapindex>\n";
}

// An http server that sends every path to the same path on `https_base` with `status`.
StandInWebServer::Handler RedirectAll(const std::string& https_base) {
  return [https_base](const StandInAsk& ask) {
    StandInAnswer a;
    a.status = "HTTP/1.1 301 Moved Permanently";
    a.headers = {"Location: " + https_base + ask.path.substr(ask.path.empty() ? 0 : 1)};
    return std::make_shared<const StandInAnswer>(std::move(a));
  };
}

StandInWebServer::Handler Serve(std::shared_ptr<const Routes> routes) {
  static const auto not_found = std::make_shared<const StandInAnswer>(NotFound());
  return [routes](const StandInAsk& ask) {
    const auto it = routes->find(ask.path);
    return it == routes->end() ? not_found : it->second;
  };
}

std::shared_ptr<StandInAnswer> Html(std::string body, std::vector<std::string> extra = {},
                                    bool gzip = true) {
  auto answer = std::make_shared<StandInAnswer>();
  StandInAnswer& a = *answer;
  a.headers = {"Content-Type: text/html; charset=utf-8"};
  for (std::string& h : extra) a.headers.push_back(std::move(h));
  if (gzip) a.gzip_body = GzipCoded(body);
  a.body = std::move(body);
  return answer;
}

// A redirect to `location` with `status` ("301 Moved Permanently").
std::shared_ptr<StandInAnswer> MovedTo(std::string location,
                                       std::string status = "301 Moved Permanently") {
  auto answer = std::make_shared<StandInAnswer>();
  answer->status = "HTTP/1.1 " + std::move(status);
  answer->headers = {"Location: " + std::move(location)};
  return answer;
}

std::shared_ptr<StandInAnswer> Text(std::string body, std::string type = "text/plain") {
  auto answer = std::make_shared<StandInAnswer>();
  StandInAnswer& a = *answer;
  a.headers = {"Content-Type: " + type};
  a.body = std::move(body);
  return answer;
}

std::unique_ptr<AuditStandInSite> NewSite(const std::string& host, const testpki::Issued& cert,
                                          DnsStandIn& dns, bool silent = false) {
  auto site = std::make_unique<AuditStandInSite>();
  site->host = host;
  site->http = std::make_unique<StandInWebServer>(nullptr, silent);
  site->https = std::make_unique<StandInWebServer>(&cert, silent);
  site->http_port = site->http->Port();
  site->https_port = site->https->Port();
  dns.Add(host, {"127.0.0.1"});
  return site;
}

constexpr const char* kHsts =
    "Strict-Transport-Security: max-age=63072000; includeSubDomains; preload";

}  // namespace

std::string GoodHomePage(const std::string& host, int https_port) {
  const std::string base = "https://" + host + ":" + std::to_string(https_port) + "/";
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>站长工具箱示例站点：网站体检、收录查询、排名查询与安全检查的演示首页</title>\n"
      "<meta name=\"description\" "
      "content=\"这是一个用来测试站点体检的示例站点。它的首页有合适长度的标题"
      "和描述，只有一个一级标题，声明了语言和字符集，并给出了指向自己的规范链接，供检查逐项核对。"
      "页面内容足够长，值得压缩传送。体检的每一项都能在这里得到通过的结果：永久跳转、有效证书、一年"
      "以上的 HSTS、"
      "合规的抓取规则与站点地图。\">\n"
      "<link rel=\"canonical\" href=\"" +
      base + "\">\n</head>\n<body>\n<h1>示例站点首页</h1>\n";
  for (int i = 0; i < 40; ++i) {
    html += "<p>第 " + std::to_string(i) +
            " 段：站点体检逐项检查跳转、证书、HSTS、robots."
            "txt、站点地图、首页头部、压缩、速度与地址。</p>\n";
  }
  return html + "</body>\n</html>\n";
}

std::unique_ptr<AuditStandInSite> AuditStandIns::MakeGood(const std::string& host) {
  auto site = NewSite(host, IssueTrusted("DNS:" + host, -1, 90), dns_);
  const std::string base = site->HomeUrl();
  auto routes = std::make_shared<Routes>();
  (*routes)["/"] = Html(GoodHomePage(host, site->https_port), {kHsts});
  (*routes)["/robots.txt"] =
      Text("User-agent: *\nDisallow: /private/\n\nSitemap: " + base + "sitemap.xml\n");
  (*routes)["/sitemap.xml"] = Text(Urlset(base, 1, 5), "application/xml");
  site->http->SetHandler(RedirectAll(base));
  site->https->SetHandler(Serve(routes));
  return site;
}

AuditStandIns::AuditStandIns() {
  Pki();  // the trusted authority, and SSL_CERT_FILE pointing at it
  good_ = MakeGood("good.test");

  // bad.test: an expired certificate, a loop on http, everything else wrong as well.
  bad_ = NewSite("bad.test", IssueTrusted("DNS:bad.test", -90, -2), dns_);
  {
    const std::string http_base = "http://bad.test:" + std::to_string(bad_->http_port) + "/";
    bad_->http->SetHandler([http_base](const StandInAsk& ask) {
      StandInAnswer a;
      a.status = "HTTP/1.1 302 Found";
      a.headers = {"Location: " + http_base + (ask.path == "/" ? "loop" : "")};
      return std::make_shared<const StandInAnswer>(std::move(a));
    });
    const std::string base = bad_->HomeUrl();
    auto routes = std::make_shared<Routes>();
    std::string home = GoodHomePage("bad.test", bad_->https_port);
    home.insert(home.find("</h1>") + 5, "\n<h1>第二个一级标题</h1>");
    home.insert(home.find("</body>"), "<div>" + ResultRows(3 * 1024 * 1024) + "</div>\n");
    auto page = Html(std::move(home), {"X-Robots-Tag: noindex"}, false);
    (*routes)["/"] = std::move(page);
    (*routes)["/robots.txt"] =
        Text("User-agent: *\nDisallow: /\n\nSitemap: " + base + "sitemap_index.xml.gz\n");
    // 120,000 URLs in three files, the first past the 50,000 one file may hold.
    std::vector<std::string> parts;
    int first = 0;
    for (int count : {60000, 30000, 30000}) {
      const std::string name = "sitemap-" + std::to_string(parts.size() + 1) + ".xml.gz";
      parts.push_back(base + name);
      (*routes)["/" + name] = Text(GzipCoded(Urlset(base, first, count)), "application/gzip");
      first += count;
    }
    (*routes)["/sitemap_index.xml.gz"] = Text(GzipCoded(Index(parts)), "application/gzip");
    bad_->https->SetHandler(Serve(routes));
  }

  // hostile.test: good, but for a robots.txt of 10 MB and sitemaps made to hit the limits.
  hostile_ = MakeGood("hostile.test");
  {
    const std::string base = hostile_->HomeUrl();
    auto routes = std::make_shared<Routes>();
    (*routes)["/"] = Html(GoodHomePage("hostile.test", hostile_->https_port), {kHsts});
    std::string robots = "User-agent: *\nDisallow: /private/\nSitemap: " + base + "sitemap.xml\n";
    const std::string filler = "# a comment line to make the file large, as some generators do\n";
    while (robots.size() < 10 * 1000 * 1000) robots += filler;
    auto big = Text(std::move(robots));
    big->chunked = true;
    (*routes)["/robots.txt"] = std::move(big);
    (*routes)["/sitemap.xml"] =
        Text(Index({base + "sitemap.xml", base + "bomb.xml.gz"}), "application/xml");
    (*routes)["/bomb.xml.gz"] =
        Text(GzipPadded(kUrlsetOpen, int64_t{64} << 20, "</urlset>\n"), "application/gzip");
    hostile_->https->SetHandler(Serve(routes));
  }

  silent_ = NewSite("silent.test", IssueTrusted("DNS:silent.test", -1, 90), dns_, true);
  MakeHostile();
}

// Sites that played a hostile or unusual part against the check-up, one fault or a few
// unrelated ones each.
void AuditStandIns::MakeHostile() {
  // deep.test: a home page of 100,000 nested <div> then 100,000 </b> (0.9 MB) after a proper
  // head; a 3 MiB robots.txt with a length, shutting everyone out on its first lines; an index
  // whose second and third children redirect to its first; HSTS with max-age given twice.
  deep_ = MakeGood("deep.test");
  {
    const std::string base = deep_->HomeUrl();
    auto routes = std::make_shared<Routes>();
    std::string home = GoodHomePage("deep.test", deep_->https_port);
    std::string nest;
    for (int i = 0; i < 100'000; ++i) nest += "<div>";
    for (int i = 0; i < 100'000; ++i) nest += "</b>";
    home.insert(home.find("</body>"), nest);
    (*routes)["/"] =
        Html(std::move(home), {"Strict-Transport-Security: max-age=0; max-age=31536000"});
    std::string robots = "User-agent: *\nDisallow: /\nSitemap: " + base + "index.xml\n";
    while (robots.size() < 3 * 1024 * 1024) {
      robots += "# a comment line to make the file large, as some generators do\n";
    }
    (*routes)["/robots.txt"] = Text(std::move(robots));
    (*routes)["/index.xml"] =
        Text(Index({base + "1.xml", base + "old.xml", base + "older.xml"}), "application/xml");
    (*routes)["/1.xml"] = Text(Urlset(base, 1, 1000), "application/xml");
    (*routes)["/old.xml"] = MovedTo(base + "1.xml");
    (*routes)["/older.xml"] = MovedTo(base + "old.xml");
    deep_->https->SetHandler(Serve(routes));
  }

  // large.test: a 12 MiB home page and a 60 MiB sitemap, both with a length, never compressed.
  large_ = MakeGood("large.test");
  {
    const std::string base = large_->HomeUrl();
    auto routes = std::make_shared<Routes>();
    std::string home = GoodHomePage("large.test", large_->https_port);
    home.insert(home.find("</body>"), "<div>" + ResultRows(12 * 1024 * 1024) + "</div>\n");
    (*routes)["/"] = Html(std::move(home), {kHsts}, false);
    (*routes)["/robots.txt"] = Text("User-agent: *\nSitemap: " + base + "sitemap.xml\n");
    std::string sitemap = Urlset(base, 1, 10);
    sitemap.erase(sitemap.rfind("</urlset>"));
    const std::string filler = "<!-- padding, nothing but padding -->\n";
    sitemap.reserve(60 * 1024 * 1024 + 64);
    while (sitemap.size() < 60 * 1024 * 1024) sitemap += filler;
    (*routes)["/sitemap.xml"] = Text(std::move(sitemap) + "</urlset>\n", "application/xml");
    large_->https->SetHandler(Serve(routes));
  }

  // broken.test: http moves to an https home page that answers 500.
  broken_ = MakeGood("broken.test");
  {
    auto routes = std::make_shared<Routes>();
    auto error = Html("<html><title>500</title></html>", {}, false);
    error->status = "HTTP/1.1 500 Internal Server Error";
    (*routes)["/"] = std::move(error);
    broken_->https->SetHandler(Serve(routes));
  }

  // back.test: the https home page moves back to http, whose page sends HSTS with preload.
  back_ = MakeGood("back.test");
  {
    const std::string http_base = "http://back.test:" + std::to_string(back_->http_port) + "/";
    auto https_routes = std::make_shared<Routes>();
    (*https_routes)["/"] = MovedTo(http_base + "plain");
    back_->https->SetHandler(Serve(https_routes));
    auto http_routes = std::make_shared<Routes>();
    (*http_routes)["/"] = MovedTo(back_->HomeUrl());
    (*http_routes)["/plain"] = Html(GoodHomePage("back.test", back_->https_port), {kHsts});
    back_->http->SetHandler(Serve(http_routes));
  }
}

AuditStandIns::~AuditStandIns() = default;

std::vector<const AuditStandInSite*> AuditStandIns::MoreGood(int count) {
  std::vector<const AuditStandInSite*> sites;
  for (int i = 0; i < count; ++i) {
    more_.push_back(MakeGood("good-" + std::to_string(more_.size() + 1) + ".test"));
    sites.push_back(more_.back().get());
  }
  return sites;
}

const std::vector<AuditStandInRow>& AuditStandInRows() {
  using M = TAuditMark;
  static const std::vector<AuditStandInRow> rows = {
      {"good", TAuditCheck::Https, {M::Pass}, "301 → https://good.test:"},
      {"good", TAuditCheck::Certificate, {M::Pass}, "TLSv1.3"},
      {"good", TAuditCheck::Hsts, {M::Pass}, "max-age=63072000; includeSubDomains; preload"},
      {"good", TAuditCheck::Robots, {M::Pass}, ""},
      {"good", TAuditCheck::Sitemap, {M::Pass}, "5"},
      {"good", TAuditCheck::Head, {M::Pass}, ""},
      {"good", TAuditCheck::Compression, {M::Pass}, "gzip"},
      {"good", TAuditCheck::Speed, {M::Pass}, "首字节"},
      {"good", TAuditCheck::Addresses, {M::Pass}, "A 1 · AAAA 0"},
      {"bad", TAuditCheck::Https, {M::Fail}, "重定向循环"},
      {"bad", TAuditCheck::Certificate, {M::Fail}, "certificate expired"},
      {"bad", TAuditCheck::Hsts, {M::Fail}, "没有 Strict-Transport-Security"},
      {"bad", TAuditCheck::Robots, {M::Fail}, ""},
      {"bad", TAuditCheck::Sitemap, {M::Warn}, "120"},
      {"bad", TAuditCheck::Head, {M::Fail}, ""},
      {"bad", TAuditCheck::Compression, {M::Fail}, "未压缩"},
      {"bad", TAuditCheck::Speed, {M::Warn}, "HTML 超过 2 MiB"},
      {"bad", TAuditCheck::Addresses, {M::Pass}, ""},
      {"hostile", TAuditCheck::Https, {M::Pass}, "301"},
      {"hostile", TAuditCheck::Robots, {M::Warn}, "爬虫只读前 500.0 KiB"},
      {"hostile", TAuditCheck::Sitemap, {M::Warn}, "50.0 MiB 的上限（解压后）"},
      {"hostile", TAuditCheck::Sitemap, {M::Warn}, "不再重复读取"},
      {"deep", TAuditCheck::Https, {M::Pass}, "301"},
      {"deep", TAuditCheck::Head, {M::Warn}, "嵌套超过 512 层"},
      {"deep", TAuditCheck::Robots, {M::Fail}, "所有爬虫都不能抓取全站"},
      {"deep", TAuditCheck::Robots, {M::Fail}, "超过 2.0 MiB"},
      {"deep", TAuditCheck::Sitemap, {M::Warn}, "1000 个 URL"},
      {"deep", TAuditCheck::Hsts, {M::Fail}, "出现了不止一次"},
      {"large", TAuditCheck::Head, {M::Pass}, "标题 "},
      {"large", TAuditCheck::Compression, {M::Fail}, "未压缩"},
      {"large", TAuditCheck::Speed, {M::Warn}, "10.0 MiB"},
      {"large", TAuditCheck::Sitemap, {M::Warn}, "只读到上限为止"},
      {"broken", TAuditCheck::Https, {M::Fail}, "不可用：HTTP 500"},
      {"back", TAuditCheck::Https, {M::Fail}, "跳转没有到达 https"},
      {"back", TAuditCheck::Hsts, {M::Fail}, "跳转到了 http"},
      {"silent", TAuditCheck::Https, {M::Unable}, "读取超时"},
      {"silent", TAuditCheck::Certificate, {M::Unable}, ""},
      {"silent", TAuditCheck::Hsts, {M::Unable}, ""},
      {"silent", TAuditCheck::Robots, {M::Unable}, ""},
      {"silent", TAuditCheck::Sitemap, {M::Unable}, ""},
      {"silent", TAuditCheck::Head, {M::Unable}, ""},
      {"silent", TAuditCheck::Compression, {M::Unable}, ""},
      {"silent", TAuditCheck::Speed, {M::Unable}, ""},
      // The name resolves; that much the site's DNS does answer.
      {"silent", TAuditCheck::Addresses, {M::Pass}, ""},
  };
  return rows;
}

const AuditStandInSite& AuditStandIns::Site(const std::string& name) const {
  if (name == "good") return Good();
  if (name == "bad") return Bad();
  if (name == "hostile") return Hostile();
  if (name == "silent") return Silent();
  if (name == "deep") return *deep_;
  if (name == "large") return *large_;
  if (name == "broken") return *broken_;
  if (name == "back") return *back_;
  throw std::invalid_argument("no stand-in site " + name);
}
