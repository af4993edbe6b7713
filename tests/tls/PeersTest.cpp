// The client with its TLS handler against real peers the test starts: nginx speaking https with
// certificates from the test's own authority (good, for another name, expired, from an
// authority nobody trusts, TLS 1.0 only), a plain server that redirects to it, and tinyproxy for
// the CONNECT tunnel.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/PeerDaemons.h"
#include "support/ScriptedServer.h"
#include "tls/TlsClient.h"

namespace {

const char kHome[] = "<html><head><title>Velmora home</title></head><body>hi</body></html>";

// One nginx on https://localhost:PORT with the trusted certificate, started for the suite.
class HttpsPeers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    web_ = new NginxServer(
        // Sets a Secure and a plain cookie, then redirects to ?next=.
        "location = /login { add_header Set-Cookie \"sid=1; Secure; Path=/\";\n"
        "      add_header Set-Cookie \"plain=2; Path=/\"; return 302 $arg_next; }\n"
        "    location = /echo { return 200 \"cookie=[$http_cookie]\"; }\n");
    web_->UseTls(Pki().localhost.first, Pki().localhost.second);
    web_->WriteFile("/home.html", kHome);
    for (size_t size : Sizes()) web_->WriteFile("/" + std::to_string(size), PatternBytes(size));
    if (!web_->Start()) skip_reason_ = new std::string(web_->SkipReason());
  }
  static void TearDownTestSuite() {
    delete web_;
    web_ = nullptr;
  }
  void SetUp() override {
    if (skip_reason_ != nullptr) GTEST_SKIP() << *skip_reason_;
  }
  static std::vector<size_t> Sizes() { return {0, 1, 1024, 16384, 16385, 1 << 20}; }
  static std::string Url(const std::string& path) {
    return "https://localhost:" + std::to_string(web_->Port()) + path;
  }

  static inline NginxServer* web_ = nullptr;
  static inline std::string* skip_reason_ = nullptr;
};

TEST_F(HttpsPeers, PagesArriveExactlyOverOneConnection) {
  auto http = TlsClient();
  int connects = 0;
  http->OnConnected = [&](TNetComponent*) { ++connects; };
  for (size_t size : Sizes()) {
    SCOPED_TRACE(size);
    std::string body = Fetch(*http, Url("/" + std::to_string(size)));
    EXPECT_EQ(body.size(), size);
    EXPECT_TRUE(body == PatternBytes(size));
  }
  EXPECT_EQ(connects, 1);
  EXPECT_TRUE(http->SpeaksTLS());
}

TEST_F(HttpsPeers, PlainPageThatMovedToHttpsIsFollowedAndBack) {
  ScriptedServer plain(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 301 Moved Permanently", "", {"Location: " + Url("/home.html")})},
       {HttpResponse("HTTP/1.1 200 OK", "plain again")}}));
  auto http = TlsClient();
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, plain.Url("/")), kHome);
  // The same client goes back to plain http: that connection carries no TLS.
  EXPECT_EQ(Fetch(*http, plain.Url("/x")), "plain again");
  EXPECT_FALSE(http->SpeaksTLS());
  EXPECT_EQ(plain.ConnectionCount(), 2);
}

TEST(HttpsRedirect, RelativeLocationStaysOnTheSameTlsServer) {
  // Relative locations, one with a URL inside its query, must neither fall back to plain http
  // (port 80, in clear text) nor wander off to the host named in the query.
  TlsScriptServer server(Pki().localhost_pem, [](TlsScriptServer::Peer& p) {
    for (std::string head = p.ReadHead(); !head.empty(); head = p.ReadHead()) {
      if (head.rfind("GET /rel ", 0) == 0) {
        p.Send(HttpResponse("HTTP/1.1 302 Found", "",
                            {"Location: /page?u=http://elsewhere.invalid/z"}));
      } else if (head.rfind("GET /page?u=http://elsewhere.invalid/z ", 0) == 0) {
        p.Send(HttpResponse("HTTP/1.1 302 Found", "", {"Location: end"}));
      } else {
        p.Send(HttpResponse("HTTP/1.1 200 OK", head.substr(0, head.find('\r'))));
      }
    }
  });
  auto http = TlsClient();
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, server.Url("/rel")), "GET /end HTTP/1.1");
  EXPECT_TRUE(http->SpeaksTLS());
  EXPECT_EQ(http->CurrentURI().Port, std::to_string(server.Port()));
}

TEST_F(HttpsPeers, SecureCookiesTravelOnlyOverTls) {
  ScriptedServer landing(ScriptedServer::Canned({{HttpResponse("HTTP/1.1 200 OK", "landed")}}));
  auto http = TlsClient();
  http->SetHandleRedirects(true);
  // https sets both cookies, then sends the browser on to plain http on the same host.
  EXPECT_EQ(Fetch(*http, Url("/login?next=http://localhost:" + std::to_string(landing.Port()) +
                             "/landing")),
            "landed");
  ASSERT_EQ(landing.Heads().size(), 1u);
  const std::string head = landing.Heads()[0];
  EXPECT_NE(head.find("\r\nCookie: plain=2\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("sid=1"), std::string::npos) << head;

  // Staying on https, both come back.
  http = TlsClient();
  http->SetHandleRedirects(true);
  std::string echo = Fetch(*http, Url("/login?next=" + Url("/echo")));
  EXPECT_NE(echo.find("sid=1"), std::string::npos) << echo;
  EXPECT_NE(echo.find("plain=2"), std::string::npos) << echo;
}

TEST_F(HttpsPeers, TunnelThroughProxyChecksTheServersName) {
  TinyproxyServer proxy;
  if (!proxy.Start()) GTEST_SKIP() << proxy.SkipReason();
  NginxServer wrong_name;
  wrong_name.UseTls(Pki().other_name.first, Pki().other_name.second);
  ASSERT_TRUE(wrong_name.Start()) << wrong_name.SkipReason();

  auto http = TlsClient();
  http->ProxyParams().SetProxyServer("127.0.0.1");
  http->ProxyParams().SetProxyPort(proxy.Port());
  // The certificate names localhost only: checked against the proxy's 127.0.0.1 it would fail.
  EXPECT_EQ(Fetch(*http, Url("/home.html")), kHome);
  EXPECT_EQ(Handler(*http)->PeerHostName(), "localhost");
  EXPECT_EQ(Fetch(*http, Url("/1024")), PatternBytes(1024));  // a tunnel of its own
  EXPECT_EQ(Fetch(*http, "https://localhost:" + std::to_string(wrong_name.Port()) + "/"),
            "!TLS handshake failed: host name mismatch (the certificate is not for localhost)");
  EXPECT_FALSE(http->IsConnected());
}

TEST(HttpsRefusals, CertificatesThatDoNotCheckOutFailClosed) {
  struct Case {
    const char* name;
    TlsPki::Files files;
    std::string ssl_directives;
    std::string expected;  // the message, or its start when it ends in "("
  } cases[] = {
      {"untrusted", Pki().untrusted, "",
       "TLS handshake failed: certificate not trusted (unable to get local issuer certificate)"},
      {"other name", Pki().other_name, "",
       "TLS handshake failed: host name mismatch (the certificate is not for localhost)"},
      {"address only", Pki().address, "",
       "TLS handshake failed: host name mismatch (the certificate is not for localhost)"},
      {"expired", Pki().expired, "", "TLS handshake failed: certificate expired"},
      {"TLS 1.0 only", Pki().localhost, "ssl_protocols TLSv1; ssl_ciphers DEFAULT:@SECLEVEL=0;",
       "TLS handshake failed: protocol error ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NginxServer web;
    web.UseTls(c.files.first, c.files.second, c.ssl_directives);
    web.WriteFile("/index.html", "must not be read");
    if (!web.Start()) GTEST_SKIP() << web.SkipReason();
    auto http = TlsClient();
    std::string got = Fetch(*http, "https://localhost:" + std::to_string(web.Port()) + "/");
    if (c.expected.back() == '(') {
      EXPECT_EQ(got.substr(0, c.expected.size() + 1), "!" + c.expected) << got;
    } else {
      EXPECT_EQ(got, "!" + c.expected);
    }
    EXPECT_FALSE(http->IsConnected());
  }
  // An address is checked against the certificate's address entries.
  NginxServer by_address;
  by_address.UseTls(Pki().address.first, Pki().address.second);
  by_address.WriteFile("/index.html", "by address");
  ASSERT_TRUE(by_address.Start()) << by_address.SkipReason();
  EXPECT_EQ(Fetch(*TlsClient(), "https://127.0.0.1:" + std::to_string(by_address.Port()) + "/"),
            "by address");
}

TEST_F(HttpsPeers, ClientsOnManyThreadsShareNothingButTheSettings) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        if (Fetch(*TlsClient(), Url("/16385")) == PatternBytes(16385)) ++good;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good, 30);
}

}  // namespace
