// The page fetcher: one HTTP GET of a result page, with the query's time-outs, stop request,
// pacing, proxies and kept-alive connections, converted to GBK text by the request's fetch mode,
// and how the fetch ended beside it. It never raises: a failure is an outcome (query/Outcome.h)
// with the failure text in place of the page.
//
// Threads: any number of workers fetch at once. A fetch makes and frees its own client and
// cookie manager; what fetches share (the pacing, the proxies, the pool of idle connections)
// is handed in through TFetchOptions and is safe to use from many threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "query/Outcome.h"
#include "query/ProxyRoute.h"
#include "runtime/Exception.h"
#include "services/ServiceTable.h"

// Spaces the requests a fetch sends. Begin is called before each request goes out (the first and
// every redirect) with a URL naming its server, and may wait; End when that request's answer has
// been read or it failed. A fetch holds at most one request between Begin and End. Called from
// many workers at once.
class TRequestPacing {
 public:
  virtual ~TRequestPacing() = default;
  virtual void Begin(const std::string& url) = 0;
  virtual void End(const std::string& url) = 0;
};

// What every request of a query sends as its user agent, and the read (and connect) time-out
// that bounds each of them.
inline constexpr const char* kQueryUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
inline constexpr int kQueryReadTimeoutMs = 20000;
// The largest page body GetPage takes (8 MiB); a longer one is a failed fetch.
inline constexpr int64_t kQueryMaxPageBytes = int64_t{8} << 20;

// Fetches one page with an HTTP GET and returns its text converted by mode (a TFetchMode's
// number; any other value reads as Raw), or the failure text on any failure.
std::string GetPage(const std::string& url, const std::string& cookie, int mode);
// The fetch mode a number names; Raw for a number that names none.
inline TFetchMode FetchModeOf(int mode) {
  switch (mode) {
    case 1:
    case 2:
    case 4:
      return static_cast<TFetchMode>(mode);
    default:
      return TFetchMode::Raw;
  }
}
// What a field's request sends beyond its URL (its definition's headers and first visit).
struct TPageRequest {
  // Sent with the request, over the query's own User-Agent and Referer (GBK texts as written).
  std::vector<THeader> Headers;
  // Fetched first, with the same headers; the request then carries the cookies its answer set.
  // "": none.
  std::string FirstVisit;
};
// How FetchPage goes about a fetch.
class TNetConnectionPool;
struct TFetchOptions {
  // Bounds the connect and every read; twice it bounds the whole fetch (WholeFetchDeadlineMs).
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  // The query's stop request: set before the fetch begins, nothing is sent and the outcome is
  // TFetchEnd::Stopped; set while the fetch is under way, it ends at its next step as stopped.
  const std::atomic<bool>* Stop = nullptr;
  // Spaces the requests to each server (not owned; null: no pacing).
  TRequestPacing* Pacing = nullptr;
  // The query's proxies (not owned; null: straight to every server). The route is chosen for
  // the URL asked and again for every redirect. A proxy that cannot be reached, or a setting
  // that is not a usable proxy URL, ends the fetch as TFetchEnd::ProxyFailed.
  const TProxySettings* Proxies = nullptr;
  // The query's idle kept-alive connections (not owned; null: every fetch connects afresh). A
  // fetch takes one bound for its server and route when there is one, and gives its own back
  // when it may carry another request.
  TNetConnectionPool* Pool = nullptr;
  // The field's own headers and first visit.
  TPageRequest Request;
};
// GetPage with how the fetch ended beside the text (the failure text when it failed). Never
// raises.
TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                      const TFetchOptions& options = {});
class TNetCustomHTTP;
class TNetURI;
// Sets `headers` on http's next requests: User-Agent, Referer and Accept-Language in their own
// places, any other as a header line of its own.
void ApplyHeaders(TNetCustomHTTP& http, const std::vector<THeader>& headers);
// Runs fetch() (which asks `http` for url) under `pacing`: each request, redirects included,
// between a Begin and an End. Without pacing, just fetch().
void PacedRequests(TNetCustomHTTP& http, const std::string& url, TRequestPacing* pacing,
                   const std::function<void()>& fetch);
// The query's proxy could not be reached, or the setting that applies is not a usable proxy
// URL (a fetch then ends as TFetchEnd::ProxyFailed).
class EProxyFailed : public Exception {
 public:
  using Exception::Exception;
};
// The redirects of a fetch did not end within the client's limit; the message is the chain of
// URLs, up to where it loops.
class ETooManyRedirects : public Exception {
 public:
  using Exception::Exception;
};
// The route `proxies` choose for url; straight when proxies is null.
TProxyRoute ProxyRouteFor(const std::string& url, const TProxySettings* proxies);
TProxyRoute ProxyRouteFor(const TNetURI& target, const TProxySettings* proxies);
// Runs fetch() (which asks `http` for url, following redirects) with each request along the
// route `proxies` choose for its own server (null: straight to every server), the first and
// every redirect alike. Raises EProxyFailed for an unusable setting (before that request is
// sent) and for a proxy that cannot be reached, and ETooManyRedirects when the client's
// redirect limit ended the chain.
void RoutedRequests(TNetCustomHTTP& http, const std::string& url, const TProxySettings* proxies,
                    const std::function<void()>& fetch);
// uri's port, or its scheme's default (443 for https, else 80) when it names none; 0 for a port
// that is not one (outside 1..65535, or not all digits).
int ServerPort(const TNetURI& uri);
// The whole-fetch deadline (connects, reads and redirects together) for a read time-out: twice
// that time-out; the client's own default for no read time-out (0 or less).
int WholeFetchDeadlineMs(int read_timeout_ms);
// The pool key of a connection to uri's server along `route`: scheme, host, port and proxy.
std::string ConnectionPoolKey(const TNetURI& uri, const TProxyRoute& route);
// Inside a catch block: fills in how the exception being handled ended a fetch (its End,
// HttpStatus and Detail).
void RecordFetchFailure(TFetchOutcome& outcome);

// "网页无法访问" in GBK: what GetPage returns when the fetch fails.
const std::string& FailureText();
