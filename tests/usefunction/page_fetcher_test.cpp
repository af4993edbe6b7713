// The page fetcher against the stand-in services and scripted peers on loopback: conversions by
// mode, charset detection, failures turned into the failure text, and the request it sends.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>

#include "http/NetFetchSession.h"
#include "http/NetURI.h"
#include "query/UseFunction.h"
#include "runtime/CodePage.h"
#include "support/CodedBodies.h"
#include "support/DnsStandIn.h"
#include "support/PeerDaemons.h"
#include "support/ScriptedServer.h"
#include "support/StandInServices.h"
#include "support/TlsPeers.h"
#include "transport/NetResolver.h"

namespace {

std::string Utf8(std::u8string_view s) { return std::string(s.begin(), s.end()); }

std::string HomeUrl(const StandInServices& s) { return "http://" + s.HostFor(StandIn::Site); }

// The header lines of a recorded head, without the request line and the blank line.
std::vector<std::string> HeadLines(const std::string& head) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t eol = head.find("\r\n", pos);
    if (eol == std::string::npos || eol == pos) break;
    lines.push_back(head.substr(pos, eol - pos));
    pos = eol + 2;
  }
  return lines;
}

TEST(PageFetcher, ModeZeroReturnsTheBytesAsReceived) {
  StandInServices s;
  std::string page = GetPage("http://" + s.HostFor(StandIn::Baidu) + "/s?wd=site%3Ax.test", "", 0);
  EXPECT_NE(page.find(Gbk(u8"百度一下，找到相关网页约1,234篇")), std::string::npos) << page;
}

TEST(PageFetcher, ModeOneConvertsUtf8ToGbkAcrossChunks) {
  StandInServices s;
  std::string url = "http://" + s.HostFor(StandIn::Google) + "/search?hl=zh-CN&q=site%3Ax.test";
  std::string page = GetPage(url, "", 1);
  EXPECT_NE(page.find(Gbk(u8"获得约 <b>4,321</b> 条结果")), std::string::npos) << page;
}

TEST(PageFetcher, ModeTwoConvertsBig5) {
  StandInServices s;
  // 國 中 in Big5 inside an otherwise ASCII page.
  s.SetHomePage(std::string("<p>\xB0\xEA\xA4\xA4</p>"), "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 2), "<p>\xB9\xFA\xD6\xD0</p>");
}

TEST(PageFetcher, ModeFourFindsTheEncodingAsBrowsersDo) {
  StandInServices s;
  const std::string zhong_utf8 = Utf8(u8"中");
  const std::string zhong_gbk = Gbk(u8"中");
  const std::string html = "text/html";
  struct Case {
    std::string meta;
    std::string body;
    std::string expected;
    std::string content_type = "text/html";
  } cases[] = {
      {"<META http-equiv=\"Content-Type\" content=\"text/html; CHARSET=UTF-8\">", zhong_utf8,
       zhong_gbk},
      {"<meta http-equiv=Content-Type content=\"text/html; charset=big5\">", "\xA4\xA4",
       "\xD6\xD0"},
      {"<meta content=\"text/html; charset=gb2312\" http-equiv=\"Content-Type\">", zhong_gbk,
       zhong_gbk},
      {"", zhong_utf8, zhong_utf8},
      // Labels are names, not parts of names; one that names none of the three is no answer.
      {"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=x-big5-utf\">", zhong_utf8,
       zhong_utf8},
      {"<meta charset=\"utf-8\">", zhong_utf8, zhong_gbk},
      {"<meta charset=utf-8>", zhong_utf8, zhong_gbk},
      {"<meta name=x charset='UTF8' />", zhong_utf8, zhong_gbk},
      {"<meta http-equiv='content-type' content='text/html; charset=\"big5-hkscs\"'>", "\xA4\xA4",
       "\xD6\xD0"},
      {"<meta charset=gb18030>", zhong_gbk, zhong_gbk},
      // A content without http-equiv declares nothing; comments and other tags are passed over.
      {"<meta content=\"text/html; charset=utf-8\">", zhong_utf8, zhong_utf8},
      {"<!-- <meta charset=utf-8> --><p title='<meta charset=utf-8>'>", zhong_utf8, zhong_utf8},
      {"<meta charset=gbk><meta charset=utf-8>", zhong_utf8, zhong_utf8},
      {"<!--" + std::string(1100, ' ') + "--><meta charset=utf-8>", zhong_utf8, zhong_utf8},
      // The header comes before the page's own declaration.
      {"", zhong_utf8, zhong_gbk, "text/html; charset=UTF-8"},
      {"<meta charset=utf-8>", zhong_gbk, zhong_gbk, "text/html;charset=\"gbk\""},
      {"<meta charset=utf-8>", zhong_utf8, zhong_gbk, "text/html; charset=unknown"},
      // Every label of the Encoding Standard, read through iconv where GBK is not the page's.
      {"", "Caf\xE9", Gbk(u8"Café"), "text/html; charset=windows-1252"},
      {"<meta charset=\"Shift_JIS\">", "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x79\x81\x5B\x83\x57",
       Gbk(u8"日本語のページ")},
      {"<meta http-equiv=content-type content='text/html; charset=KOI8-R'>",
       "\xF0\xD2\xC9\xD7\xC5\xD4", Gbk(u8"Привет")},
      {"", "\xC6\xFC\xCB\xDC", Gbk(u8"日本"), "text/html; charset=\"euc-jp\""},
      {"", "\xC6\xFC\xCB\xDC", Gbk(u8"日本"), "text/html; charset=\" EUC-JP \""},
      // The first valid label wins, however little of it GBK can hold.
      {"<meta charset=\"ISO-8859-1\"><meta charset=\"gbk\">", "Caf\xE9", Gbk(u8"Café")},
      {"<meta charset=latin2>", "\xF5 \xFB", "? ?"},                // ő and ű: none in GBK
      {"<meta charset=x-user-defined>", "Caf\xE9", Gbk(u8"Café")},  // windows-1252
      {"<meta charset=utf-16le>", zhong_utf8, zhong_gbk},           // read as UTF-8
      {"", "\xFF", "?", "text/html; charset=iso-8859-8-i"},         // a hole in the code page
  };
  for (const Case& c : cases) {
    s.SetHomePage("<html><head>" + c.meta + "</head><body>" + c.body + "</body></html>",
                  c.content_type);
    std::string page = GetPage(HomeUrl(s), "", 4);
    EXPECT_NE(page.find("<body>" + c.expected + "</body>"), std::string::npos)
        << "declaration: " << c.meta << ", " << c.content_type;
  }
  // A byte-order mark comes before all else, and is not part of the text.
  s.SetHomePage("\xEF\xBB\xBF" + zhong_utf8, "text/html; charset=big5");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 4), zhong_gbk);
  s.SetHomePage(std::string("\xFF\xFE-N\x00\xD8", 6),
                "text/html");  // UTF-16LE: 中 and a lone surrogate
  EXPECT_EQ(GetPage(HomeUrl(s), "", 4), zhong_gbk + "?");
  // Encodings that are never decoded: the page is one replacement character.
  s.SetHomePage("~{<:Ky2;S{#,NpJ)l6HK!#~}", "text/html; charset=hz-gb-2312");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 4), "?");
}

TEST(PageFetcher, EachBadUtf8SequenceBecomesOneDefaultCharacter) {
  StandInServices s;
  s.SetHomePage("ok " + Utf8(u8"中").substr(0, 2), "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 1), "ok ?");
  // A byte outside 0x80..0xBF where a continuation byte belongs.
  s.SetHomePage("ok \xE4\xB8" "A", "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 1), "ok ?A");
  s.SetHomePage("<html>\xFF" + Utf8(u8"<p>获得约 <b>4,321</b> 条结果</p>"), "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 1), "<html>?" + Gbk(u8"<p>获得约 <b>4,321</b> 条结果</p>"));
  // Characters GBK lacks become the default character.
  s.SetHomePage(Utf8(u8"a\u00E9b\u0E01c"), "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 1), Gbk(u8"a\u00E9b") + "?c");
}

TEST(PageFetcher, FourByteSequencesBecomeOneDefaultCharacter) {
  // An emoji used to be read as a three-byte sequence and its fourth byte then emptied the page.
  StandInServices s;
  s.SetHomePage(Utf8(u8"<title>Hi \U0001F600 中</title>"), "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 1), "<title>Hi ? " + Gbk(u8"中") + "</title>");
  s.SetHomePage("x\xF0\x9F\x98", "text/html");
  EXPECT_EQ(GetPage(HomeUrl(s), "", 1), "x?");
}

TEST(PageFetcher, EveryFailureBecomesTheFailureText) {
  EXPECT_EQ(FailureText().size(), 12u);
  {
    StandInServices s;
    s.SetFault(StandIn::Site, StandInFault::NotFound);
    EXPECT_EQ(GetPage(HomeUrl(s), "", 0), FailureText());
  }
  {
    RefusedLoopbackPort gone;
    EXPECT_EQ(GetPage("http://127.0.0.1:" + std::to_string(gone.Port()) + "/", "", 4),
              FailureText());
  }
  // A URL that carries a line break never reaches the wire.
  StandInServices s;
  EXPECT_EQ(GetPage(HomeUrl(s) + "/\r\nX-Injected: 1", "", 0), FailureText());
  EXPECT_EQ(s.RequestCount(), 0u);
  EXPECT_EQ(GetPage("gopher://127.0.0.1/", "", 0), FailureText());

  // A name that does not exist, and a name server that never answers within the time-out.
  DnsStandIn dns;
  SetNetNameServers(dns.Server());
  TFetchOptions quick;
  quick.ReadTimeoutMs = 400;
  EXPECT_EQ(FetchReason(FetchPage("http://nowhere.test/", "", TFetchMode::Raw, quick).Outcome),
            Gbk(u8"找不到主机"));
  dns.SetSilent(true);
  EXPECT_EQ(FetchReason(FetchPage("http://nowhere.test/", "", TFetchMode::Raw, quick).Outcome),
            Gbk(u8"域名解析超时"));
  SetNetNameServers("");
}

TEST(PageFetcher, TheOutcomeSaysHowTheFetchEnded) {
  StandInServices s;
  // Sogou sends a first visit round a cookie-setting redirect: the final URL is where it led.
  const std::string url = "http://" + s.HostFor(StandIn::Sogou) + "/web?query=x.test";
  TPageResult page = FetchPage(url, "", TFetchMode::Raw);
  EXPECT_EQ(page.Outcome.End, TFetchEnd::Fetched);
  EXPECT_EQ(page.Outcome.HttpStatus, 200);
  EXPECT_EQ(page.Outcome.Url, url);
  EXPECT_EQ(page.Outcome.FinalUrl.rfind("http://" + s.HostFor(StandIn::Sogou) + "/", 0), 0u);
  EXPECT_NE(page.Text.find(Gbk(u8"搜狗评级:")), std::string::npos);

  s.SetFault(StandIn::Site, StandInFault::NotFound);
  page = FetchPage(HomeUrl(s), "", TFetchMode::Declared);
  EXPECT_EQ(page.Outcome.End, TFetchEnd::HttpStatus);
  EXPECT_EQ(page.Outcome.HttpStatus, 404);
  EXPECT_EQ(page.Text, FailureText());

  // A stopped query sends nothing more; a fetch under way that then fails was stopped too.
  const size_t asked = s.RequestCount();
  std::atomic<bool> stop{true};
  TFetchOptions options;
  options.Stop = &stop;
  page = FetchPage(HomeUrl(s), "", TFetchMode::Declared, options);
  EXPECT_EQ(page.Outcome.End, TFetchEnd::Stopped);
  EXPECT_EQ(page.Text, FailureText());
  EXPECT_EQ(s.RequestCount(), asked);
}

// Servers and URLs that go wrong: each ends the fetch with a reason of its own, in words a user
// reads (never "HTTP -1" or the network layers' English), and nothing of the page is kept.
TEST(PageFetcher, MisbehavingServersAndBadUrlsEndWithAReasonOfTheirOwn) {
  struct Case {
    const char* name;
    ScriptedServer::Script serve;
    std::string path;
    TFetchEnd end;
    std::string reason;
  } cases[] = {
      {"body cut short of its length",
       [](ScriptedConnection& c) {
         c.ReadHead();
         c.Send(HttpHead("HTTP/1.1 200 OK", {"Content-Length: 1000"}) + "<html><v>1,23");
       },
       "/", TFetchEnd::Reset, Gbk(u8"连接被重置")},
      {"not HTTP", ScriptedServer::Canned({{"SPEAK FRIEND\r\n\r\nbody", true}}), "/", TFetchEnd::BadAnswer,
       Gbk(u8"服务器的回应不是有效的 HTTP")},
      {"header line past every limit",
       ScriptedServer::Canned(
           {{"HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a') + "\r\n", true}}),
       "/", TFetchEnd::BadAnswer, Gbk(u8"服务器的回应不是有效的 HTTP")},
      {"redirect loop",
       [](ScriptedConnection& c) {
         while (!c.ReadHead().empty()) {
           c.Send(HttpHead("HTTP/1.1 302 Found", {"Location: /loop", "Content-Length: 0"}));
         }
       },
       "/loop", TFetchEnd::TooManyRedirects, Gbk(u8"重定向过多：") + "http://{}/loop -> http://{}/loop"},
      {"port past 65535", ScriptedServer::Canned({}), ":83537/x", TFetchEnd::BadUrl, Gbk(u8"网址无效")},
      {"port not a number", ScriptedServer::Canned({}), ":abc/x", TFetchEnd::BadUrl, Gbk(u8"网址无效")},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.serve);
    const std::string url = c.path[0] == ':' ? "http://127.0.0.1" + c.path : server.Url(c.path);
    const TPageResult page = FetchPage(url, "", TFetchMode::Raw);
    std::string reason = c.reason;
    for (size_t at; (at = reason.find("{}")) != std::string::npos;) {
      reason.replace(at, 2, server.HostPort());
    }
    EXPECT_EQ(page.Outcome.End, c.end) << c.name << ": " << page.Outcome.Detail;
    EXPECT_EQ(FetchReason(page.Outcome), reason) << c.name;
    EXPECT_EQ(page.Text, FailureText()) << c.name;
  }
}

// Each hop of a redirect goes the way the proxy settings say for its own server: onto the proxy
// for a name no_proxy does not exempt, off it for one it does.
TEST(PageFetcher, EveryRedirectHopChoosesItsRouteAgain) {
  std::atomic<int> port{0};  // one server is both the service and the proxy
  ScriptedServer server([&](ScriptedConnection& c) {
    for (std::string head; !(head = c.ReadHead()).empty();) {
      const std::string line = head.substr(0, head.find("\r\n")), at = std::to_string(port);
      const std::string to = line.find("/start") != std::string::npos  ? "localhost:" + at + "/next"
                             : line.find("/back") != std::string::npos ? "127.0.0.1:" + at + "/home"
                                                                       : "";
      const std::string text = line.rfind("GET http://", 0) == 0 ? "proxied" : "direct!";
      if (!c.Send(to.empty() ? HttpHead("HTTP/1.1 200 OK", {"Content-Length: 7"}) + text
                             : HttpHead("HTTP/1.1 302 Found",
                                        {"Location: http://" + to, "Content-Length: 0"}))) {
        return;
      }
    }
  });
  port = server.Port();
  const std::string proxy_url = server.Url("");
  const TProxySettings settings = TProxySettings::FromEnvironment([&](const char* name) {
    const std::string n = name;
    return n == "http_proxy" ? proxy_url.c_str() : n == "no_proxy" ? "127.0.0.1" : nullptr;
  });
  TNetFetchSession session(settings);
  TFetchOptions options;
  options.Session = &session;
  const std::string at = std::to_string(server.Port());
  EXPECT_EQ(FetchPage("http://127.0.0.1:" + at + "/start", "", TFetchMode::Raw, options).Text, "proxied");
  EXPECT_EQ(FetchPage("http://localhost:" + at + "/back", "", TFetchMode::Raw, options).Text, "direct!");
}

// The whole fetch, not only each read, ends by the read time-out: here twice it.
TEST(PageFetcher, ATricklingServerEndsByTwiceTheReadTimeout) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.ReadHead();
    c.Send(HttpHead("HTTP/1.1 200 OK", {"Content-Length: 100000"}));
    while (c.Pause(20) && c.Send("t")) {
    }
  });
  TFetchOptions options;
  options.ReadTimeoutMs = 300;
  const TPageResult page = FetchPage(server.Url("/"), "", TFetchMode::Raw, options);
  EXPECT_EQ(page.Outcome.End, TFetchEnd::ReadTimeout);
  EXPECT_LT(page.Outcome.ElapsedMs, 5000u);  // 120 s before the deadline followed the time-out
}

TEST(PageFetcher, PageBodiesStopAtTheCap) {
  // A body of exactly the cap arrives whole; one byte more fails the fetch.
  for (int64_t size : {kQueryMaxPageBytes, kQueryMaxPageBytes + 1}) {
    ScriptedServer server(ScriptedServer::Canned(
        {{HttpHead("HTTP/1.1 200 OK", {"Connection: close"}) + std::string(size, 'p'), true}}));
    std::string page = GetPage(server.Url("/"), "", 0);
    if (size == kQueryMaxPageBytes) {
      EXPECT_EQ(page.size(), static_cast<size_t>(size));
    } else {
      EXPECT_TRUE(page == FailureText()) << page.size() << " bytes";
    }
  }
  // 1-byte chunks without end: the fetch gives up at the cap, not at the client's general
  // limit far beyond it.
  std::string chunks;
  for (int i = 0; i < 4096; ++i) chunks += "1\r\nx\r\n";
  std::atomic<int64_t> sent{0};
  ScriptedServer endless([&](ScriptedConnection& c) {
    c.ReadHead();
    c.Send(HttpHead("HTTP/1.1 200 OK", {"Transfer-Encoding: chunked"}));
    while (c.Send(chunks)) sent += 4096;
  });
  EXPECT_EQ(GetPage(endless.Url("/"), "", 0), FailureText());
  EXPECT_LT(sent.load(), 2 * kQueryMaxPageBytes);
}

TEST(PageFetcher, CodedPagesArriveDecodedAndTheOutcomeCountsBothSizes) {
  StandInServices s;
  s.SetPageSize(300000);
  s.SetCompression(true);
  const std::string google =
      "http://" + s.HostFor(StandIn::Google) + "/search?hl=zh-CN&q=site%3Ax.test";
  const std::string baidu = "http://" + s.HostFor(StandIn::Baidu) + "/s?wd=site%3Ax.test";
  struct Row {
    std::string url;
    TFetchMode mode;
    std::string expected;
  } rows[] = {
      {google, TFetchMode::Utf8, Gbk(u8"获得约 <b>4,321</b> 条结果")},  // Brotli in chunks, UTF-8
      {baidu, TFetchMode::Raw, Gbk(u8"百度一下，找到相关网页约1,234篇")},  // gzip, GBK
      {HomeUrl(s), TFetchMode::Declared, StandInServices::ExpectedTitle()},  // gzip, declared
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    TPageResult page = FetchPage(row.url, "", row.mode);
    ASSERT_EQ(page.Outcome.End, TFetchEnd::Fetched) << page.Outcome.Detail;
    EXPECT_NE(page.Text.find(row.expected), std::string::npos);
    EXPECT_GT(page.Outcome.Bytes, 300000);
    EXPECT_LT(page.Outcome.WireBytes * 3, page.Outcome.Bytes);
  }
  // A page that inflates far past the cap ends there; a corrupt one fails with its reason.
  ScriptedServer bomb(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 200 OK", GzipBomb(int64_t{1} << 30), {"Content-Encoding: gzip"})}}));
  TPageResult page = FetchPage(bomb.Url("/"), "", TFetchMode::Raw);
  EXPECT_EQ(FetchReason(page.Outcome), Gbk(u8"页面过大"));
  EXPECT_EQ(page.Text, FailureText());
  ScriptedServer corrupt(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 200 OK", "not gzip at all", {"Content-Encoding: gzip"})}}));
  page = FetchPage(corrupt.Url("/"), "", TFetchMode::Raw);
  EXPECT_EQ(page.Outcome.End, TFetchEnd::BadCoding);
  EXPECT_EQ(FetchReason(page.Outcome), Gbk(u8"压缩的页面无法解开"));
  EXPECT_EQ(page.Outcome.Detail.rfind("Invalid gzip body", 0), 0u);
}

TEST(PageFetcher, IPv6LiteralSitesAreFetchedAndKeptApartFromIPv4Ones) {
  ScriptedServer v6(ScriptedServer::Canned({{HttpResponse("HTTP/1.1 200 OK", "over six")}}), true);
  TPageResult page = FetchPage(v6.Url("/"), "", TFetchMode::Raw);
  EXPECT_EQ(page.Outcome.End, TFetchEnd::Fetched) << page.Outcome.Detail;
  EXPECT_EQ(page.Text, "over six");
  ASSERT_EQ(v6.Heads().size(), 1u);
  EXPECT_NE(v6.Heads()[0].find("\r\nHost: " + v6.HostPort() + "\r\n"), std::string::npos);
  EXPECT_NE(ConnectionPoolKey(TNetURI("http://[::1]:80/"), {}),
            ConnectionPoolKey(TNetURI("http://127.0.0.1:80/"), {}));
}

TEST(PageFetcher, ASilentServerTimesOutAfterTwentySeconds_Slow) {
  StandInServices s;
  s.SetFault(StandIn::Site, StandInFault::Silent);
  EXPECT_EQ(GetPage(HomeUrl(s), "", 4), FailureText());
}

TEST(PageFetcher, SendsItsOwnHeadAndCarriesCookiesOnlyWithinOneCall) {
  StandInServices s;
  std::string url = "http://" + s.HostFor(StandIn::Sogou) + "/web?query=x.test";
  for (int call = 0; call < 2; ++call) {
    std::string page = GetPage(url, "", 0);
    EXPECT_NE(page.find(Gbk(u8"搜狗评级:72/100")), std::string::npos);
  }
  // Each call is sent round the redirect again: the cookie of the first call is not kept.
  auto heads = s.RequestsFor(StandIn::Sogou);
  ASSERT_EQ(heads.size(), 4u);
  const std::string host = s.HostFor(StandIn::Sogou);
  for (int i = 0; i < 4; ++i) {
    std::vector<std::string> lines = HeadLines(heads[i].head);
    const bool after_redirect = i % 2 == 1;
    // Entity lines first, the custom Cookie line (replaced where it stands by the stored
    // cookie after the redirect), then the request's own lines.
    std::vector<std::string> expected = {
        "GET /web?query=x.test HTTP/1.1",
        "Content-Type: text/html",
        after_redirect ? "Cookie: SUID=velmora42" : "Cookie: ",
        "Host: " + host,
        "Accept: text/html, */*",
        "Referer: " + url,
        "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)",
        "Accept-Encoding: gzip, deflate, br",
    };
    EXPECT_EQ(lines, expected) << "request " << i;
  }
}

}  // namespace

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A plain-http server whose every answer sends the client to `location`.
ScriptedServer::Script RedirectTo(const std::string& location) {
  return [location](ScriptedConnection& c) {
    while (!c.ReadHead().empty())
      c.Send("HTTP/1.1 301 Moved Permanently\r\nLocation: " + location +
             "\r\nContent-Length: 0\r\n\r\n");
  };
}

TEST(PageFetcherTls, FollowsARedirectToHttpsAndChecksTheCertificate) {
  const TlsPki& pki = Pki();  // trust the test authority in this process only
  const std::string page = "<html><head><meta charset=utf-8><title>Secure " + Utf8(u8"首页") +
                           "</title></head></html>";
  auto serve_page = [&](TlsScriptServer::Peer& p) {
    if (!p.ReadHead().empty())
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) +
             "\r\nConnection: close\r\n\r\n" + page);
  };
  {
    TlsScriptServer https(pki.localhost_pem, serve_page);
    ScriptedServer http(RedirectTo(https.Url("/")));
    EXPECT_EQ(GetPage(http.Url("/"), "", 0), page);
  }
  {
    // A certificate for another name fails closed, whatever the page would have held.
    TlsScriptServer https({ReadFile(pki.other_name.first), ReadFile(pki.other_name.second)},
                          serve_page);
    ScriptedServer http(RedirectTo(https.Url("/")));
    EXPECT_EQ(GetPage(http.Url("/"), "", 0), FailureText());
  }
}

TEST(PageFetcherTls, FetchesOfOneQueryShareAKeptAliveConnectionUntilThePoolCloses) {
  const TlsPki& pki = Pki();
  std::atomic<int> connections{0};
  TlsScriptServer https(pki.localhost_pem, [&](TlsScriptServer::Peer& p) {
    ++connections;
    while (!p.ReadHead().empty()) p.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  TNetFetchSession session;
  TFetchOptions options;
  options.Session = &session;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(FetchPage(https.Url("/" + std::to_string(i)), "", TFetchMode::Raw, options).Text, "ok");
  }
  EXPECT_EQ(connections.load(), 1);  // one handshake; the later clients adopted its connection
  session.Close();
  EXPECT_EQ(FetchPage(https.Url("/"), "", TFetchMode::Raw, options).Text, "ok");
  EXPECT_EQ(connections.load(), 2);
}

}  // namespace
