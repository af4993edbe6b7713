// Proxy URLs, which environment variable serves which request, and no_proxy.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/NetProxyRoute.h"

namespace {

TEST(ProxyUrl, SchemesCredentialsAndPorts) {
  struct Case {
    const char* text;
    bool ok;
    const char* name;  // TProxyServer::Name()
    const char* password;
  };
  const Case cases[] = {
      {"proxy.test", true, "http://proxy.test:1080", ""},
      {"http://proxy.test:3128/", true, "http://proxy.test:3128", ""},
      {"  HTTP://Proxy.test:3128/ignored?x#y ", true, "http://Proxy.test:3128", ""},
      {"socks4://10.0.0.1:1081", true, "socks4://10.0.0.1:1081", ""},
      {"socks4a://h:1", true, "socks4a://h:1", ""},
      {"socks5://u%40x:p%3Aw@h:9050", true, "socks5://u@x@h:9050", "p:w"},
      {"socks5h://user:pa@ss@h", true, "socks5h://user@h:1080", "pa@ss"},
      {"http://[::1]:8080", true, "http://[::1]:8080", ""},
      {"https://proxy.test:443", false, "", ""},  // TLS to the proxy is not spoken
      {"ftp://proxy.test", false, "", ""},
      {"http://proxy.test:0", false, "", ""},
      {"http://proxy.test:65536", false, "", ""},
      {"http://proxy.test:80x", false, "", ""},
      {"http://user@:80", false, "", ""},
      {"http://[::1", false, "", ""},
      {"http://pro\nxy.test", false, "", ""},
  };
  for (const Case& c : cases) {
    const auto server = ParseProxyUrl(c.text);
    ASSERT_EQ(server.has_value(), c.ok) << c.text;
    if (!server) continue;
    EXPECT_EQ(server->Name(), c.name) << c.text;
    EXPECT_EQ(server->Password, c.password) << c.text;
  }
}

TEST(ProxyEnvironment, WhichVariableServesWhichScheme) {
  struct Case {
    std::map<std::string, std::string> env;
    const char* http;   // Name() of the route for http://a.test/, "" for straight
    const char* https;  // the same for https://a.test/
  };
  const Case cases[] = {
      {{}, "", ""},
      {{{"http_proxy", "p:1"}}, "http://p:1", ""},
      // The upper-case name of the http proxy is not trusted; the others are accepted.
      {{{"HTTP_PROXY", "p:1"}}, "", ""},
      {{{"HTTPS_PROXY", "p:2"}}, "", "http://p:2"},
      {{{"https_proxy", "p:2"}, {"HTTPS_PROXY", "p:3"}}, "", "http://p:2"},
      {{{"ALL_PROXY", "socks5h://s:9"}, {"http_proxy", "p:1"}}, "http://p:1", "socks5h://s:9"},
      {{{"all_proxy", "socks5://s:9"}, {"ALL_PROXY", "socks4://t:9"}}, "socks5://s:9",
       "socks5://s:9"},
      {{{"http_proxy", ""}, {"all_proxy", "s:9"}}, "http://s:9", "http://s:9"},  // empty: unset
      {{{"all_proxy", "s:9"}, {"NO_PROXY", "a.test"}}, "", ""},
      {{{"all_proxy", "s:9"}, {"no_proxy", "b.test"}, {"NO_PROXY", "a.test"}}, "http://s:9",
       "http://s:9"},
  };
  for (const Case& c : cases) {
    auto getenv = [&](const char* name) -> const char* {
      auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    };
    const TProxySettings settings = TProxySettings::FromEnvironment(getenv);
    for (const auto& [scheme, expected] : {std::pair{"http", c.http}, {"https", c.https}}) {
      const TProxyRoute route = settings.RouteFor(scheme, "a.test", 80);
      EXPECT_TRUE(route.Unusable.empty());
      EXPECT_EQ(route.Proxy ? route.Proxy->Name() : "", expected)
          << scheme << " with " << c.env.size() << " variables, first "
          << (c.env.empty() ? "" : c.env.begin()->first);
    }
  }
}

TEST(ProxyEnvironment, AGivenProxyWinsButNoProxyStillAppliesAndBadSettingsNeverGoAround) {
  const std::map<std::string, std::string> env = {{"http_proxy", "socks5://old:1"},
                                                  {"no_proxy", "local.test"}};
  auto getenv = [&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  const TProxySettings given = TProxySettings::ForQuery("socks5h://new:2", getenv);
  EXPECT_EQ(given.RouteFor("HTTPS", "a.test", 443).Proxy->Name(), "socks5h://new:2");
  EXPECT_FALSE(given.RouteFor("http", "local.test", 80).Proxy);
  EXPECT_EQ(TProxySettings::ForQuery("", getenv).RouteFor("http", "a.test", 80).Proxy->Name(),
            "socks5://old:1");

  // An unusable URL fails the request, naming where it came from but not its password.
  const TProxyRoute bad =
      TProxySettings::ForQuery("https://u:secret@p", getenv).RouteFor("http", "a.test", 80);
  EXPECT_FALSE(bad.Proxy);
  EXPECT_NE(bad.Unusable.find("--proxy"), std::string::npos);
  EXPECT_EQ(bad.Unusable.find("secret"), std::string::npos);
}

TEST(NoProxy, DomainsAddressesBlocksAndPorts) {
  struct Case {
    const char* list;
    const char* host;
    int port;
    bool exempt;
  };
  const Case cases[] = {
      {"*", "anything.test", 80, true},
      {"example.com", "example.com", 80, true},
      {"example.com", "WWW.Example.COM.", 80, true},
      {".example.com", "example.com", 80, true},
      {".example.com", "a.b.example.com", 80, true},
      {"example.com", "badexample.com", 80, false},
      {"example.com", "example.com.evil.test", 80, false},
      {"a.test, example.com b.test", "example.com", 80, true},
      {"example.com:8080", "example.com", 8080, true},
      {"example.com:8080", "example.com", 80, false},
      {"127.0.0.1", "127.0.0.1", 80, true},
      {"127.0.0.1", "127.0.0.10", 80, false},
      {"1.0.0.1", "11.0.0.1", 80, false},  // an address is never a domain suffix
      {"10.0.0.0/8", "10.200.3.4", 80, true},
      {"10.0.0.0/8", "11.0.0.1", 80, false},
      {"192.168.1.0/25", "192.168.1.127", 80, true},
      {"192.168.1.0/25", "192.168.1.128", 80, false},
      {"0.0.0.0/0", "8.8.8.8", 80, true},
      {"10.0.0.0/8", "ten.test", 80, false},
      {"[::1]", "[::1]", 80, true},
      {"::1", "::1", 80, true},
      {"[::1]:81", "::1", 80, false},
      {"", "example.com", 80, false},
      {" , ,", "example.com", 80, false},
      {"*.example.com", "a.example.com", 80, false},  // no wildcards inside names
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NoProxyExempts(c.list, c.host, c.port), c.exempt)
        << "'" << c.list << "' " << c.host << ":" << c.port;
  }
}

}  // namespace
