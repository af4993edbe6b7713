// Whole queries through real proxies (tinyproxy for HTTP, microsocks for SOCKS 5) against the
// stand-in services, named by the query's proxy option or by the environment, and a proxy that
// cannot be reached.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "cli/QueryMode.h"
#include "runtime/CodePage.h"
#include "support/PeerDaemons.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"

namespace {

// Sets (or, with nullptr, removes) environment variables for the life of the object and puts
// back what was there. The proxy variables of the machine running the tests are cleared, so
// that its own no_proxy cannot exempt the stand-ins.
class ScopedProxyEnvironment {
 public:
  explicit ScopedProxyEnvironment(const std::map<std::string, const char*>& values) {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                             "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"}) {
      if (const char* old = std::getenv(name))
        saved_[name] = old;
      else
        saved_[name] = std::nullopt;
      unsetenv(name);
    }
    for (const auto& [name, value] : values) {
      if (!saved_.count(name)) saved_[name] = std::nullopt;
      if (value) setenv(name.c_str(), value, 1);
    }
  }
  ~ScopedProxyEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

std::vector<TQueryRecord> QueryThrough(const StandInServices& s, const std::string& proxy) {
  TSiteQueryOptions options;
  options.Hosts = StandInServiceHosts(s);
  options.DelayMs = 0;
  options.ReadTimeoutMs = 5000;
  options.Proxy = proxy;
  return RunSites({s.HostFor(StandIn::Site)}, options);
}

// Every value and the picture, as a query straight to the stand-ins gives them.
void ExpectEveryValue(const TQueryRecord& r, const std::string& site) {
  for (const auto& [name, value] : StandInServices::ExpectedFields(site)) {
    const TFieldResult& field = r.Fields[*ResultFieldByName(name)];
    EXPECT_EQ(field.Text, value) << name << ": " << FetchReason(field.Fetch);
  }
  EXPECT_EQ(r.Picture.State, TFieldState::Value) << FetchReason(r.Picture.Fetch);
}

// Every field and the picture failed because the proxy could not be reached.
void ExpectProxyFailedEverywhere(const TQueryRecord& r) {
  for (const auto& [name, value] : StandInServices::ExpectedFields(r.Site)) {
    const TFieldResult& field = r.Fields[*ResultFieldByName(name)];
    EXPECT_EQ(field.Fetch.End, TFetchEnd::ProxyFailed) << name << ": " << field.Fetch.Detail;
    EXPECT_EQ(FetchReason(field.Fetch), Gbk(u8"代理无法连接")) << name;
  }
  EXPECT_EQ(r.Picture.Fetch.End, TFetchEnd::ProxyFailed) << r.Picture.Fetch.Detail;
}

TEST(QueryThroughProxy, TinyproxyCarriesTheWholeQuery) {
  ScopedProxyEnvironment env({});
  TinyproxyServer proxy;
  if (!proxy.Start()) GTEST_SKIP() << proxy.SkipReason();
  StandInServices s;
  const auto records = QueryThrough(s, "http://" + proxy.HostPort());
  ASSERT_EQ(records.size(), 1u);
  ExpectEveryValue(records[0], s.HostFor(StandIn::Site));
  // The proxy saw the requests (the absolute form of the home page's address among them).
  EXPECT_NE(proxy.Log().find("http://" + s.HostFor(StandIn::Site) + "/"), std::string::npos)
      << proxy.Log();
}

TEST(QueryThroughProxy, MicrosocksFromTheEnvironmentWithCredentials) {
  MicrosocksServer proxy("velmora", "s3cret:@");
  if (!proxy.Start()) GTEST_SKIP() << proxy.SkipReason();
  StandInServices s;
  const std::string site = s.HostFor(StandIn::Site);
  for (const char* scheme : {"socks5h", "socks5"}) {
    SCOPED_TRACE(scheme);
    const std::string url = std::string(scheme) + "://velmora:s3cret%3A%40@" + proxy.HostPort();
    ScopedProxyEnvironment env({{std::string("ALL_PROXY"), url.c_str()}});
    const auto records = QueryThrough(s, "");
    ASSERT_EQ(records.size(), 1u);
    ExpectEveryValue(records[0], site);
  }
  // The wrong password proves the requests went through the proxy at all.
  const std::string wrong = "socks5h://velmora:wrong@" + proxy.HostPort();
  ScopedProxyEnvironment env({{std::string("all_proxy"), wrong.c_str()}});
  const auto refused = QueryThrough(s, "");
  ASSERT_EQ(refused.size(), 1u);
  for (const auto& [name, value] : StandInServices::ExpectedFields(site)) {
    EXPECT_EQ(refused[0].Fields[*ResultFieldByName(name)].Fetch.End, TFetchEnd::ProxyFailed)
        << name;
  }
}

TEST(QueryThroughProxy, AProxyThatCannotBeReachedFailsEveryRequestWithItsOwnReason) {
  ScopedProxyEnvironment env({});
  RefusedLoopbackPort refused;
  StandInServices s;
  for (const std::string& proxy :
       {"http://127.0.0.1:" + std::to_string(refused.Port()),
        "socks4://127.0.0.1:" + std::to_string(refused.Port()),
        std::string("https://127.0.0.1:1")}) {  // unusable: never bypassed
    SCOPED_TRACE(proxy);
    const auto records = QueryThrough(s, proxy);
    ASSERT_EQ(records.size(), 1u);
    ExpectProxyFailedEverywhere(records[0]);
  }
  EXPECT_EQ(s.RequestCount(), 0u);
}

}  // namespace
