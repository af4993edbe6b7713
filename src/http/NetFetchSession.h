// TNetFetchSession: what the GETs of one run share, and a GET through it. A run (the queries of
// one site) makes one session and every worker fetches through it, so its callers ask for a page
// by URL and nothing else:
// - the proxy routes: each request, the first and every redirect hop, goes along the route its
//   own server asks for (TProxySettings); a proxy that cannot be reached raises EProxyFailed;
// - the pool of kept-alive connections: a GET takes an idle connection bound for its server and
//   route when there is one, and gives its own back when it may carry another request (the
//   session's own pool, or one that a process's runs share);
// - the pacing of the requests to each server (TRequestPacing, shared by the runs of a process);
// - the TLS handler of every client, so https and a redirect to https work.
// Each GET makes and frees its own client and cookie manager (cookies live for one GET and its
// redirects).
//
// Threads: Get may be called from any number of threads at once; Close from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/NetConnectionPool.h"
#include "http/NetProxyRoute.h"
#include "netbase/NetBase.h"

class TNetURI;
class TStream;

// Spaces the requests a fetch sends. Begin is called before each request goes out (the first and
// every redirect) with a URL naming its server and the fetch's stop (empty: none), and may wait;
// a wait that the stop ends raises ENetFetchStopped. End is called when that request's answer has
// been read or it failed (not after a Begin that raised). A fetch holds at most one request
// between Begin and End. Called from many threads at once (http/NetRequestPacer.h is the one).
class TRequestPacing {
 public:
  virtual ~TRequestPacing() = default;
  virtual void Begin(const std::string& url, const std::function<bool()>& stopped) = 0;
  virtual void End(const std::string& url) = 0;
};

// The proxy could not be reached, or the setting that applies is not a usable proxy URL.
class EProxyFailed : public ENetException {
 public:
  using ENetException::ENetException;
};
// The redirects did not end within the client's limit; the message is the chain of URLs, up to
// where it loops.
class ETooManyRedirects : public ENetException {
 public:
  using ENetException::ENetException;
};
// The caller's stop request ended the GET (TNetFetchRequest::Stopped).
class ENetFetchStopped : public ENetException {
 public:
  ENetFetchStopped() : ENetException("Stopped") {}
};

// How one GET goes about it.
struct TNetFetchRequest {
  // Bounds each connect and read; twice it bounds the whole GET, redirects included (0 or less:
  // the client's own limits).
  int ReadTimeoutMs = 20000;
  int64_t MaxBodyBytes = 0;  // the largest body taken, decoded; 0: the client's limit
  std::string UserAgent;
  std::string Referer;
  // A Cookie line of the caller's own, sent as it is (an empty one too: the page fetcher's
  // described head has it); none: no such line.
  std::optional<std::string> Cookie;
  // Asked at every step (the lookup, the connect, each block of the body); true ends the GET
  // with ENetFetchStopped. Empty: never.
  std::function<bool()> Stopped;
  // Header lines of the caller's own (name, value), after those above: a User-Agent, Referer or
  // Accept-Language among them takes that header's place.
  std::vector<std::pair<std::string, std::string>> Headers;
  // Fetched first by the same client, whatever it answers; the GET then carries the cookies it
  // set (and no Cookie line of the caller's). "": none.
  std::string FirstVisit;
  // What the site check-up asks for; the defaults are what every other fetch does.
  bool FollowRedirects = true;    // false: a redirect is the answer (Status, Location header)
  bool AcceptCompression = true;  // false: no Accept-Encoding, and the body is taken as it comes
  bool PooledConnection = true;   // false: a connection of its own (connect and TLS are timed)
  // false: the server's certificate is not checked. Its connections are pooled apart from the
  // checked ones. For the check-up's content fetches after a refused certificate only.
  bool VerifyCertificate = true;
  // Bounds the whole GET, when positive and shorter than twice ReadTimeoutMs.
  int WholeDeadlineMs = 0;
};

// What the site check-up learns of a GET beyond TNetFetchAnswer's few fields.
struct TNetFetchDetails {
  // The last answer's header lines (name, value), as received.
  std::vector<std::pair<std::string, std::string>> Headers;
  std::vector<std::string> Redirects;  // each redirect followed, as an absolute URL, in order
  int64_t BodyWireBytes = 0;           // the last body as it came (content coding intact)
  // Milliseconds from the start of the GET (once its pacing let it go); negative when not
  // measured (a pooled connection has no lookup, connect or handshake; a name that is an address
  // has no lookup).
  double DnsMs = -1, ConnectMs = -1, TlsMs = -1, FirstByteMs = -1, TotalMs = -1;
  // https: the TLS version and the server's certificate, also when the handshake refused it.
  std::string TlsVersion;
  std::string CertIssuer;
  std::optional<int64_t> CertNotAfterUnix;
};

// What a GET learnt, filled in as far as it got (a failed GET too).
struct TNetFetchAnswer {
  int Status = 0;           // the last status received; 0 when none arrived
  std::string FinalUrl;     // where the last redirect led
  std::string ContentType;  // the answer's Content-Type
  int64_t WireBytes = 0;    // bytes received, as they came (compressed)
  // Filled in when set (the site check-up's fetches).
  TNetFetchDetails* Details = nullptr;
};

class TNetFetchSession {
 public:
  // `proxies` choose every request's route; `pacing` (may be null) spaces them; `connections`
  // (null: a pool of the session's own) keeps the idle connections.
  explicit TNetFetchSession(TProxySettings proxies = {},
                            std::shared_ptr<TRequestPacing> pacing = nullptr,
                            std::shared_ptr<TNetConnectionPool> connections = nullptr);
  TNetFetchSession(const TNetFetchSession&) = delete;
  TNetFetchSession& operator=(const TNetFetchSession&) = delete;

  // GETs url, following redirects, and returns the body (decoded). Raises on any failure:
  // EProxyFailed, ETooManyRedirects, ENetFetchStopped, or the client's own exceptions (an
  // unsuccessful status is ENetHTTPProtocolException). `answer` holds what was learnt either way.
  std::string Get(const std::string& url, const TNetFetchRequest& request, TNetFetchAnswer& answer);
  // The same with the body written to `destination`.
  void Get(const std::string& url, const TNetFetchRequest& request, TNetFetchAnswer& answer,
           TStream& destination);

  // POSTs `body`, of `content_type`, to url through the same routes, pool and TLS as a GET, and
  // returns the answer's body. Redirects are not followed (a POST is not repeated elsewhere);
  // raises as Get does, a status of 300 or more included (ENetHTTPProtocolException, the
  // status in answer.Status).
  std::string Post(const std::string& url, const TNetFetchRequest& request,
                   const std::string& content_type, const std::string& body,
                   TNetFetchAnswer& answer);

  // Closes the idle connections of the session's own pool; later GETs connect afresh. A shared
  // pool is its owner's to close (other runs still use it).
  void Close() {
    if (!shared_pool_) pool_->Close();
  }

 private:
  void Run(const std::string& url, const TNetFetchRequest& request, TNetFetchAnswer& answer,
           const std::function<void(class TNetCustomHTTP&)>& get);

  const TProxySettings proxies_;
  const std::shared_ptr<TRequestPacing> pacing_;
  const bool shared_pool_;
  const std::shared_ptr<TNetConnectionPool> pool_;  // never null
};

// uri's port, or its scheme's default (443 for https, else 80) when it names none; 0 for a port
// that is not one (outside 1..65535, or not all digits).
int ServerPort(const TNetURI& uri);
// The pool key of a connection to uri's server along `route`: scheme, host, port and proxy
// (an IPv6 literal keeps its brackets, so [::1]:80 and 127.0.0.1:80 are different servers).
std::string ConnectionPoolKey(const TNetURI& uri, const TProxyRoute& route);

// The whole-GET deadline for a read time-out: twice that time-out; the client's own default for
// no read time-out (0 or less).
int WholeFetchDeadlineMs(int read_timeout_ms);
