// The client component: its initial state, the request head it writes, cookie-manager
// ownership, routing (direct, proxy, tunnel, TLS without a handler), authorization decisions
// and the refusal of line breaks in a request.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cookies/NetCookieManager.h"
#include "http/NetHTTP.h"
#include "support/HttpClientHelpers.h"
#include "support/ScriptedServer.h"

namespace {

TEST(HttpClient, FreshClientBehaviour) {
  // What a client shows before anything is set on it, seen on the wire. The scripted server
  // stands in as a proxy so that the target of a URL without a port can be read.
  ScriptedServer proxy(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 200 OK", "one", {"Set-Cookie: sid=7; path=/"})},
       {HttpResponse("HTTP/1.1 302 Found", "moved", {"Location: /elsewhere"})}}));
  TNetHTTP http;
  http.SetReadTimeout(3000);  // only so that a fault cannot hang the suite
  http.ProxyParams().SetProxyServer("127.0.0.1");
  http.ProxyParams().SetProxyPort(proxy.Port());
  EXPECT_EQ(Fetch(http, "http://origin.test/a"), "one");
  // A redirect is not followed: it is the request's failure, with its status and body.
  try {
    http.Get("http://origin.test/b");
    ADD_FAILURE() << "redirect followed or accepted";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode(), 302);
    EXPECT_EQ(e.ErrorBody(), "moved");
  }
  // HTTP/1.1 on one kept-alive connection; no port means 80 (which the Host header leaves
  // out); the cookie from the first answer goes back with the second request.
  EXPECT_EQ(proxy.RequestLines(),
            (std::vector<std::string>{"GET http://origin.test:80/a HTTP/1.1",
                                      "GET http://origin.test:80/b HTTP/1.1"}));
  EXPECT_EQ(proxy.ConnectionCount(), 1);
  const std::vector<std::string> heads = proxy.Heads();
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_NE(heads[0].find("\r\nHost: origin.test\r\n"), std::string::npos) << heads[0];
  EXPECT_EQ(heads[0].find("Cookie"), std::string::npos) << heads[0];
  EXPECT_NE(heads[1].find("\r\nCookie: sid=7\r\n"), std::string::npos) << heads[1];
}

TEST(HttpClient, PrepareTargetResolvesAgainstTheLastRequest) {
  TNetHTTP http;
  TNetHTTPRequest& r = http.Request();
  auto prepare = [&](const std::string& url) {
    r.SetURL(url);
    http.PrepareTarget(r);
    return http.CurrentURI().Protocol + " " + http.CurrentURI().Port + " " + r.Host() + " " +
           r.URL();
  };
  // Host leaves out the scheme's own port only.
  EXPECT_EQ(prepare("https://s.test/a/b.htm"), "https 443 s.test /a/b.htm");
  // Relative references keep the scheme, host and port they are relative to.
  EXPECT_EQ(prepare("c.htm?x=1#f"), "https 443 s.test /a/c.htm?x=1");
  EXPECT_EQ(prepare("/n?u=http://evil.test:80/z"), "https 443 s.test /n?u=http://evil.test:80/z");
  EXPECT_EQ(prepare("https://s.test:80/"), "https 80 s.test:80 /");
  EXPECT_EQ(prepare("http://s.test:443/"), "http 443 s.test:443 /");
  EXPECT_EQ(prepare("https://s.test:8443/p/"), "https 8443 s.test:8443 /p/");
  EXPECT_EQ(prepare("q"), "https 8443 s.test:8443 /p/q");
  EXPECT_EQ(prepare("http://s.test/r"), "http 8443 s.test:8443 /r");  // written out: as written
  EXPECT_EQ(prepare("http://u:p@s.test:8080/d/"), "http 8080 s.test:8080 /d/");
  EXPECT_EQ(r.Username(), "u");
  EXPECT_EQ(prepare("http://other.test/e"), "http 8080 other.test:8080 /e");  // port kept
  r.SetMethod(hmOptions);
  EXPECT_EQ(prepare("http://other.test:80/*"), "http 80 other.test *");
  r.SetMethod(hmGet);
  EXPECT_THROW(prepare("gopher://g.test/"), ENetUnknownProtocol);
}

TEST(HttpClient, RedirectLocationsResolveAsBrowsersResolveThem) {
  TNetHTTP http;
  http.Request().SetURL("http://s.test:8080/a/b?q");
  http.PrepareTarget(http.Request());
  const struct {
    const char* location;
    const char* url;  // "" when the location is refused
  } rows[] = {
      {"c?x#f", "http://s.test:8080/a/c?x"},
      {"?y", "http://s.test:8080/a/b?y"},
      {"../../../c/./d", "http://s.test:8080/c/d"},
      {"//O.test/x", "http://o.test:80/x"},          // a host of its own, on its scheme's port
      {"http://o.test/x", "http://o.test/x"},        // no port written: the current one is kept
      {"http://o.test:80/x", "http://o.test:80/x"},  // written: it is the one
      {"https://[0::1]/", "https://[::1]/"},
      {"ftp://o.test/x", "ftp://o.test/x"},  // another scheme: PrepareTarget refuses it
      {"http://a b/", ""},
      {"http://1.2.3.08/", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.location);
    if (row.url[0] == '\0') {
      EXPECT_THROW(http.RedirectURL(row.location), ENetURIException);
    } else {
      EXPECT_EQ(http.RedirectURL(row.location), row.url);
    }
  }
}

// Whether `ref`, with its backslashes turned as the parser turns them, opens with a scheme name
// and "://".
bool StartsWithScheme(std::string ref) {
  for (char& c : ref) c = c == '\\' ? '/' : c;  // the alphabet below has no lead bytes
  size_t i = 0;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (ref.empty() || !letter(ref[0])) return false;
  while (i < ref.size() && (letter(ref[i]) || (ref[i] >= '0' && ref[i] <= '9') || ref[i] == '+' ||
                            ref[i] == '-' || ref[i] == '.')) {
    ++i;
  }
  return ref.compare(i, 3, "://") == 0;
}

TEST(HttpClient, ReferencesWithoutASchemeKeepTheHttpsBase) {
  // Random references over the characters that separate URL parts; every one that does not
  // open with a scheme, resolved against an https base, stays on that base's scheme, host and
  // port, whatever "://", "@", ":" or host-like text it carries further on.
  const std::string alphabet = "ab:/?#=@.\\%+-8 htps";
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
  int checked = 0;
  for (int n = 0; n < 3000; ++n) {
    std::string ref = (n % 3 == 0) ? "http" : "";  // often close to a scheme
    for (size_t len = next() % 24; len > 0; --len) ref += alphabet[next() % alphabet.size()];
    if (StartsWithScheme(ref)) continue;
    for (const char* base : {"https://s.test/a/b", "https://s.test:8443/"}) {
      TNetHTTP http;
      http.Request().SetURL(base);
      http.PrepareTarget(http.Request());
      const std::string port = http.CurrentURI().Port;
      http.Request().SetURL(ref);
      http.PrepareTarget(http.Request());
      const TNetURI& u = http.CurrentURI();
      ASSERT_EQ(u.Protocol + " " + u.Host + " " + u.Port, "https s.test " + port)
          << "reference [" << ref << "] against " << base;
    }
    ++checked;
  }
  EXPECT_GT(checked, 1000);
}

TEST(HttpClient, WritesThePageFetchersHeadInOneBlock) {
  ScriptedServer server(ScriptedServer::Canned({{HttpResponse("HTTP/1.1 200 OK", "abc")}}));
  auto http = Client();
  std::string url = server.Url("/s?wd=site%3Aa.b");
  http->Request().SetUserAgent("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)");
  http->Request().SetReferer(url);
  http->Request().CustomHeaders().SetText("Cookie: ");
  TMemoryStream stream;
  stream.WriteString("pre");
  http->Get(url, &stream);
  EXPECT_EQ(stream.DataString(), "preabc");
  EXPECT_EQ(server.Heads(), std::vector<std::string>{
                                "GET /s?wd=site%3Aa.b HTTP/1.1\r\n"
                                "Content-Type: text/html\r\n"
                                "Cookie: \r\n"
                                "Host: " +
                                server.HostPort() +
                                "\r\n"
                                "Accept: text/html, */*\r\n"
                                "Referer: " +
                                url +
                                "\r\n"
                                "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)\r\n"
                                "\r\n"});
}

TEST(HttpClient, CookieManagerOwnership) {
  std::string reply = HttpResponse("HTTP/1.1 200 OK", "", {"SET-COOKIE: a=1; path=/"});
  ScriptedServer server(ScriptedServer::Canned({{reply}, {reply}, {reply}}));
  bool made_destroyed = false;
  {
    auto http = Client();
    http->Get(server.Url("/"));
    ASSERT_NE(http->CookieManager(), nullptr);  // made on the first response head
    EXPECT_TRUE(http->OwnsCookieManager());
    EXPECT_EQ(http->CookieManager()->CookieHeaderFor(server.HostPort().substr(0, 9), "/", false),
              "a=1");
    http->CookieManager()->OnDestroy = [&](TNetCookieManager*, TNetCookies*) {
      made_destroyed = true;
    };
    TNetCookieManager outside;
    http->SetCookieManager(&outside);  // replacing the client's own frees it
    EXPECT_TRUE(made_destroyed);
    EXPECT_FALSE(http->OwnsCookieManager());
    http->Get(server.Url("/"));
    EXPECT_EQ(outside.CookieHeaderFor("127.0.0.1", "/", false), "a=1");
  }  // `outside` dies first: the client must forget it, not use it at its own end
  TNetCookieManager survivor;
  {
    auto http = Client();
    http->SetCookieManager(&survivor);
    http->SetAllowCookies(false);
    http->Get(server.Url("/"));
  }
  EXPECT_EQ(survivor.CookieHeaderFor("127.0.0.1", "/", false), "a=1");
  auto http = Client();
  {
    TNetCookieManager short_lived;
    http->SetCookieManager(&short_lived);
  }
  EXPECT_EQ(http->CookieManager(), nullptr);
}

TEST(HttpClient, ReusesTheConnectionUntilHostOrPortChanges) {
  std::string ok = HttpResponse("HTTP/1.1 200 OK", "ok");
  ScriptedServer a(ScriptedServer::Canned({{ok}, {ok}, {ok}}));
  ScriptedServer b(ScriptedServer::Canned({{ok}}));
  auto http = Client();
  EXPECT_EQ(Fetch(*http, a.Url("/1")), "ok");
  EXPECT_EQ(Fetch(*http, "/2"), "ok");  // relative: continues from the last request
  EXPECT_EQ(Fetch(*http, b.Url("/3")), "ok");
  EXPECT_EQ(Fetch(*http, a.Url("/4")), "ok");
  EXPECT_EQ(a.ConnectionCount(), 2);
  EXPECT_EQ(a.RequestLines(),
            (std::vector<std::string>{"GET /1 HTTP/1.1", "GET /2 HTTP/1.1", "GET /4 HTTP/1.1"}));
}

TEST(HttpClient, RequestsThatCannotBeSentFailBeforeConnecting) {
  ScriptedServer server(ScriptedServer::Canned({}));
  std::string line_break = std::string("!") + kNetLineBreakInRequest;
  struct Case {
    std::string url;
    std::string error;
  } cases[] = {
      {server.Url("/a\r\nX-Injected: 1"), line_break},
      {server.Url("/a\rb"), line_break},
      {"http://127.0.0.1\n:" + std::to_string(server.Port()) + "/", line_break},
      {"https://" + server.HostPort() + "/", "!IOHandler value is not valid"},
      {"ftp://" + server.HostPort().substr(0, 9) + "/x", "!"},  // ENetUnknownProtocol
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Fetch(*Client(), c.url), c.error) << c.url;
  }
  auto http = Client();
  http->Request().SetReferer("http://x/\r\nX-Injected: 1");
  EXPECT_EQ(Fetch(*http, server.Url("/")), line_break);
  http = Client();
  http->SetProtocolVersion(pv1_0);
  try {
    http->PerformRequest(hmPut, server.Url("/"), nullptr, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "This request method is supported in HTTP 1.1");
  }
  EXPECT_EQ(server.ConnectionCount(), 0);

  // A location's bare CR is dropped as browsers drop it (and its space encoded): no header
  // comes of it.
  ScriptedServer redirect(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 302 Found", "", {"Location: /n\rX-Injected: 1"})},
       {HttpResponse("HTTP/1.1 200 OK", "ok")}}));
  http = Client();
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, redirect.Url("/")), "ok");
  ASSERT_EQ(redirect.Heads().size(), 2u);
  EXPECT_EQ(redirect.RequestLines()[1], "GET /nX-Injected:%201 HTTP/1.1");
  EXPECT_EQ(redirect.Heads()[1].find("\r\nX-Injected"), std::string::npos);
}

TEST(HttpClient, SendsBodiesOfPostAndPut) {
  ScriptedServer server([](ScriptedConnection& c) {
    for (;;) {
      std::string head = c.ReadHead();
      if (head.empty()) return;
      std::string body = c.ReadBytes(5);
      c.Send(HttpResponse("HTTP/1.1 200 OK", head.substr(0, head.find(' ')) + ":" + body));
    }
  });
  auto http = Client();
  TMemoryStream source;
  source.WriteString("12345");
  for (TNetHTTPMethod method : {hmPost, hmPut}) {
    TMemoryStream answer;
    http->PerformRequest(method, server.Url("/up"), &answer, &source);
    EXPECT_EQ(answer.DataString(), (method == hmPost ? "POST:" : "PUT:") + std::string("12345"));
  }
  EXPECT_NE(server.Heads()[0].find("\r\nContent-Length: 5\r\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------

TEST(HttpProxy, PlainRequestsGoOutWithAnAbsoluteTarget) {
  ScriptedServer proxy(ScriptedServer::Canned({{HttpResponse("HTTP/1.1 200 OK", "via")}}));
  auto http = Client();
  http->SetProtocolVersion(pv1_0);
  http->ProxyParams().SetProxyServer("127.0.0.1");
  http->ProxyParams().SetProxyPort(proxy.Port());
  EXPECT_EQ(Fetch(*http, "http://user:pw@origin.test:81/p/q.htm?x=1#frag"), "via");
  ASSERT_EQ(proxy.Heads().size(), 1u);
  const std::string head = proxy.Heads()[0];
  EXPECT_EQ(proxy.RequestLines()[0], "GET http://origin.test:81/p/q.htm?x=1 HTTP/1.0");
  EXPECT_NE(head.find("\r\nProxy-Connection: keep-alive\r\n"), std::string::npos);
  EXPECT_NE(head.find("\r\nHost: origin.test:81\r\n"), std::string::npos);
  EXPECT_EQ(http->CurrentURI().Host, "origin.test");
}

TEST(HttpProxy, ConnectTunnel) {
  struct Case {
    const char* answer;
    std::string expected;
  } cases[] = {
      // Accepted, but this client has no TLS handler to switch on.
      {"HTTP/1.1 200 Connection established\r\n\r\n", "!Invalid class typecast"},
      {"\r\n", "!Invalid class typecast"},  // an empty answer counts as 200
      {"HTTP/1.1 403 Forbidden\r\nContent-Length: 2\r\n\r\nno", "!HTTP/1.1 403 Forbidden"},
      // Neither a tunnel nor an error: refused rather than asked again and again.
      {"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n", "!HTTP/1.1 201 Created"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    ScriptedServer proxy(ScriptedServer::Canned({{c.answer}, {c.answer}}));
    auto http = Client();
    http->ProxyParams().SetProxyServer("127.0.0.1");
    http->ProxyParams().SetProxyPort(proxy.Port());
    EXPECT_EQ(Fetch(*http, "https://secure.test/a"), c.expected);
    ASSERT_GE(proxy.Heads().size(), 1u);
    EXPECT_EQ(proxy.Heads().size(), 1u);
    const std::string head = proxy.Heads()[0];
    EXPECT_EQ(proxy.RequestLines()[0], "CONNECT secure.test:443 HTTP/1.1");
    EXPECT_NE(head.find("\r\nProxy-Connection: keep-alive\r\n"), std::string::npos);
    EXPECT_NE(head.find("\r\nPragma: no-cache\r\n"), std::string::npos);
    EXPECT_NE(head.find("\r\nHost: secure.test:443\r\n"), std::string::npos);
  }
}

// ---------------------------------------------------------------------------------------------

std::string Challenge(bool proxy, bool close) {
  std::vector<std::string> h = {
      proxy ? "Proxy-Authenticate: Digest x=1" : "WWW-Authenticate: Digest x=1",
      proxy ? "Proxy-Authenticate: Basic realm=\"site\""
            : "WWW-Authenticate: Basic realm=\"site\""};
  std::string status =
      proxy ? "HTTP/1.1 407 Proxy Authentication Required" : "HTTP/1.1 401 Unauthorized";
  // Closed before the head ends: the client sees the close while reading the challenge.
  if (close) return HttpHead(status, h).substr(0, HttpHead(status, h).size() - 2);
  return HttpResponse(
      proxy ? "HTTP/1.1 407 Proxy Authentication Required" : "HTTP/1.1 401 Unauthorized", "denied",
      h);
}

TEST(HttpAuth, BasicCredentialsAfterAChallenge) {
  for (bool proxy : {false, true}) {
    SCOPED_TRACE(proxy ? "proxy" : "server");
    ScriptedServer server(ScriptedServer::Canned(
        {{Challenge(proxy, false)}, {HttpResponse("HTTP/1.1 200 OK", "welcome")}}));
    auto http = Client();
    http->SetHTTPOptions(hoInProcessAuth);
    int asked = 0;
    TNetOnAuthorization fill = [&](TComponent*, TNetAuthentication* auth, bool& handled) {
      ++asked;
      auth->SetUsername("user");
      auth->SetPassword("pass");
      handled = true;
    };
    std::string url = server.Url("/private");
    if (proxy) {
      http->ProxyParams().SetProxyServer("127.0.0.1");
      http->ProxyParams().SetProxyPort(server.Port());
      http->OnProxyAuthorization = fill;
      url = "http://origin.test/private";
    } else {
      http->OnAuthorization = fill;
    }
    EXPECT_EQ(Fetch(*http, url), "welcome");
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(server.Heads().size(), 2u);
    std::string header = proxy ? "Proxy-Authorization" : "Authorization";
    EXPECT_EQ(server.Heads()[0].find(header), std::string::npos);
    EXPECT_NE(server.Heads()[1].find("\r\n" + header + ": Basic dXNlcjpwYXNz\r\n"),
              std::string::npos);
    EXPECT_EQ(server.ConnectionCount(), 1);
  }
}

TEST(HttpAuth, RefusedOrEndlessChallengesEndInTheStatus) {
  // No handler: the 401 is the answer.
  ScriptedServer plain(ScriptedServer::Canned({{Challenge(false, false)}}));
  EXPECT_EQ(Fetch(*Client(), plain.Url("/")), "!HTTP/1.1 401 Unauthorized");

  // A handler that always accepts, against a server that always refuses and closes: each
  // accepted challenge is asked again on a new connection, but only AuthRetries times (the
  // attempt counters used to restart with every new try).
  for (bool proxy : {false, true}) {
    std::vector<ScriptedServer::Reply> replies(10, {Challenge(proxy, true), true});
    ScriptedServer server(ScriptedServer::Canned(replies));
    auto http = Client();
    TNetOnAuthorization accept = [](TComponent*, TNetAuthentication* auth, bool& handled) {
      auth->SetUsername("u");
      handled = true;
    };
    if (proxy) {
      http->ProxyParams().SetProxyServer("127.0.0.1");
      http->ProxyParams().SetProxyPort(server.Port());
      http->OnProxyAuthorization = accept;
    } else {
      http->OnAuthorization = accept;
    }
    std::string result = Fetch(*http, proxy ? "http://origin.test/" : server.Url("/"));
    EXPECT_EQ(result.substr(0, 13), "!HTTP/1.1 40" + std::string(proxy ? "7" : "1"));
    EXPECT_EQ(server.Heads().size(), 4u);  // the first try and three accepted challenges
  }
}

// A one-step scheme that is complete as soon as it has sent its credentials once.
class TTokenAuthentication : public TNetBasicAuthentication {
 public:
  int StepCount() const override { return 0; }
  std::string Credentials() override { return "Token " + Username(); }
};

TEST(HttpAuth, CompletedAuthenticationIsFiledOnDisconnect) {
  static const TNetAuthenticationClassInfo kToken = {
      "TTokenAuthentication",
      [] { return std::unique_ptr<TNetAuthentication>(std::make_unique<TTokenAuthentication>()); }};
  if (FindAuthScheme("Token") == nullptr) RegisterAuthScheme("Token", &kToken);
  ScriptedServer server(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 401 Unauthorized", "", {"WWW-Authenticate: Token"})},
       {HttpResponse("HTTP/1.1 200 OK", "in")}}));
  auto http = Client();
  http->SetHTTPOptions(hoInProcessAuth);
  http->Request().SetUsername("t0k");
  http->OnAuthorization = [](TComponent*, TNetAuthentication*, bool& handled) { handled = true; };
  TNetAuthenticationManager store;
  http->SetAuthenticationManager(&store);
  EXPECT_EQ(Fetch(*http, server.Url("/area/page")), "in");
  EXPECT_NE(server.Heads()[1].find("\r\nAuthorization: Token t0k\r\n"), std::string::npos);
  ASSERT_NE(http->Request().Authentication(), nullptr);
  http->CloseConnection();
  EXPECT_EQ(http->Request().Authentication(), nullptr);
  ASSERT_EQ(store.Count(), 1);
  EXPECT_EQ(store.Items(0).URI().Path, "/area/");
  {
    TNetAuthenticationManager gone;
    http->SetAuthenticationManager(&gone);
  }
  EXPECT_EQ(http->AuthenticationManager(), nullptr);
}

}  // namespace
