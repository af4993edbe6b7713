// The client against real peers started by the test: nginx serving files and redirects over
// kept-alive connections, and tinyproxy for the proxy route and the CONNECT exchange.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/NetHTTP.h"
#include "support/PeerDaemons.h"

namespace {

class WebServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    web_ = new NginxServer(
        "location = /old { return 302 /files/1.bin; }\n"
        "    location = /loop { return 301 /loop; }\n");
    for (size_t size : Sizes())
      web_->WriteFile("/files/" + std::to_string(size) + ".bin", PatternBytes(size));
    if (!web_->Start()) skip_reason_ = new std::string(web_->SkipReason());
  }
  static void TearDownTestSuite() {
    delete web_;
    web_ = nullptr;
  }
  void SetUp() override {
    if (skip_reason_ != nullptr) GTEST_SKIP() << *skip_reason_;
  }
  static std::vector<size_t> Sizes() {
    return {0, 1, 1023, 32768, 32769, 100000, 1 << 20, 8 << 20};
  }
  static std::string Url(const std::string& path) { return "http://" + web_->HostPort() + path; }

  static inline NginxServer* web_ = nullptr;
  static inline std::string* skip_reason_ = nullptr;
};

TEST_F(WebServerTest, FilesArriveExactlyOverOneKeptConnection) {
  TNetHTTP http;
  http.SetReadTimeout(10000);
  int connects = 0;
  http.OnConnected = [&](TNetComponent*) { ++connects; };
  for (size_t size : Sizes()) {
    SCOPED_TRACE(size);
    std::string body = http.Get(Url("/files/" + std::to_string(size) + ".bin"));
    EXPECT_EQ(body.size(), size);
    EXPECT_TRUE(body == PatternBytes(size));
  }
  EXPECT_EQ(connects, 1);
}

TEST_F(WebServerTest, RedirectsAndErrors) {
  TNetHTTP http;
  http.SetReadTimeout(10000);
  http.SetHandleRedirects(true);
  EXPECT_EQ(http.Get(Url("/old")), PatternBytes(1));
  EXPECT_EQ(http.CurrentURI().Path, "/files/");

  TMemoryStream body;
  http.Get(Url("/loop"), &body);  // ends quietly at the redirect limit
  EXPECT_EQ(http.ResponseCode(), 301);
  EXPECT_EQ(body.Size(), 0);
  try {
    http.Get(Url("/missing.html"));
    ADD_FAILURE() << "no exception";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode(), 404);
    EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
    EXPECT_NE(e.ErrorBody().find("404 Not Found"), std::string::npos);
  }
  EXPECT_EQ(http.Get(Url("/files/1023.bin")), PatternBytes(1023));
}

TEST_F(WebServerTest, ThroughAProxy) {
  TinyproxyServer proxy;
  if (!proxy.Start()) GTEST_SKIP() << proxy.SkipReason();
  for (TNetHTTPProtocolVersion version : {pv1_0, pv1_1}) {
    TNetHTTP http;
    http.SetReadTimeout(10000);
    http.SetProtocolVersion(version);
    http.ProxyParams().SetProxyServer("127.0.0.1");
    http.ProxyParams().SetProxyPort(proxy.Port());
    EXPECT_EQ(http.Get(Url("/files/100000.bin")), PatternBytes(100000)) << proxy.Log();
    EXPECT_EQ(http.Get(Url("/files/32769.bin")), PatternBytes(32769)) << proxy.Log();
  }

  // CONNECT is accepted; this client has no TLS handler to start TLS over the tunnel.
  TNetHTTP http;
  http.SetReadTimeout(10000);
  http.ProxyParams().SetProxyServer("127.0.0.1");
  http.ProxyParams().SetProxyPort(proxy.Port());
  try {
    http.Get("https://" + web_->HostPort() + "/files/1.bin");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid class typecast") << proxy.Log();
  }
}

}  // namespace
