#include "query/PageFetcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>

#include "cookies/NetCookieManager.h"
#include "http/NetConnectionPool.h"
#include "http/NetContentDecoder.h"
#include "http/NetGlobal.h"
#include "http/NetHTTP.h"
#include "http/NetHTTPTls.h"
#include "query/PageEncoding.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "transport/NetException.h"
#include "transport/NetResolver.h"
#include "transport/NetStack.h"

const std::string& FailureText() {
  // Built once; never destroyed, so a worker finishing during exit still finds it.
  static const std::string* const text = new std::string(Gbk(u8"网页无法访问"));
  return *text;
}

namespace {

// Raised from the client's progress events when the query was stopped.
class EFetchStopped : public Exception {
 public:
  EFetchStopped() : Exception("Stopped") {}
};

TFetchEnd EndOfSocketError(int code) {
  switch (code) {
    case 11001:
    case 11004:
      return TFetchEnd::HostNotFound;
    case 10061:
      return TFetchEnd::Refused;
    case 10054:
    case 10053:
      return TFetchEnd::Reset;
    case 10060:
      return TFetchEnd::ConnectTimeout;
    default:
      return TFetchEnd::OtherFailure;
  }
}

// How `e` ended a fetch; an HTTP status goes to `status`.
TFetchEnd EndOf(const Exception& e, int& status) {
  if (auto* http = dynamic_cast<const ENetHTTPProtocolException*>(&e)) {
    // A first line that is no HTTP status line has no code (-1).
    if (http->ReplyCode() < 100) return TFetchEnd::BadAnswer;
    status = http->ReplyCode();
    return TFetchEnd::HttpStatus;
  }
  if (dynamic_cast<const ETooManyRedirects*>(&e)) return TFetchEnd::TooManyRedirects;
  if (dynamic_cast<const ENetURIException*>(&e) || dynamic_cast<const ENetUnknownProtocol*>(&e) ||
      e.Message() == kNetLineBreakInRequest) {
    return TFetchEnd::BadUrl;
  }
  // An answer line past every limit, or a header value that is no number where one belongs.
  if (dynamic_cast<const ENetReadLnMaxLineLengthExceeded*>(&e) ||
      dynamic_cast<const EConvertError*>(&e)) {
    return TFetchEnd::BadAnswer;
  }
  if (dynamic_cast<const ENetSSLProtocolReplyError*>(&e)) return TFetchEnd::TlsRefused;
  if (dynamic_cast<const ENetHTTPLimitExceeded*>(&e)) return TFetchEnd::TooLarge;
  if (dynamic_cast<const ENetResolveTimeout*>(&e)) return TFetchEnd::ResolveTimeout;
  if (dynamic_cast<const ENetContentDecodingError*>(&e)) return TFetchEnd::BadCoding;
  if (dynamic_cast<const ENetConnectTimeout*>(&e)) return TFetchEnd::ConnectTimeout;
  if (dynamic_cast<const ENetReadTimeout*>(&e)) return TFetchEnd::ReadTimeout;
  if (dynamic_cast<const ENetSocksError*>(&e) || dynamic_cast<const EProxyFailed*>(&e)) {
    return TFetchEnd::ProxyFailed;
  }
  if (auto* socket = dynamic_cast<const ENetSocketError*>(&e)) {
    return EndOfSocketError(socket->ErrorCode());
  }
  if (auto* connect = dynamic_cast<const ENetConnectException*>(&e)) {
    return EndOfSocketError(connect->ErrorCode());
  }
  // The server hung up before the answer was complete.
  if (dynamic_cast<const ENetConnClosedGracefully*>(&e)) return TFetchEnd::Reset;
  return TFetchEnd::OtherFailure;
}

}  // namespace

void RecordFetchFailure(TFetchOutcome& outcome) {
  try {
    throw;
  } catch (const EFetchStopped&) {
    outcome.End = TFetchEnd::Stopped;
  } catch (const Exception& e) {
    outcome.End = EndOf(e, outcome.HttpStatus);
    outcome.Detail = e.Message();
  } catch (const std::exception& e) {
    outcome.End = TFetchEnd::OtherFailure;
    outcome.Detail = e.what();
  } catch (...) {
    outcome.End = TFetchEnd::OtherFailure;
  }
}

namespace {

// Where a redirect to dest leads from the request http just made, as an absolute URL.
TNetURI RedirectTarget(TNetCustomHTTP& http, const std::string& dest) {
  TNetURI next(dest);
  const TNetURI& current = http.CurrentURI();
  if (next.Protocol.empty()) next.Protocol = current.Protocol;
  if (next.Host.empty()) {  // relative: the same server
    next.Host = current.Host;
    next.Port = current.Port;
    next.Path = MergePath(current.Path, next.Path, "/");
  }
  return next;
}

}  // namespace

void PacedRequests(TNetCustomHTTP& http, const std::string& url, TRequestPacing* pacing,
                   const std::function<void()>& fetch) {
  if (pacing == nullptr) {
    fetch();
    return;
  }
  std::string asked = url;  // the server of the request under way
  const TNetHTTPOnRedirectEvent prior = http.OnRedirect;
  http.OnRedirect = [&, prior](TNetCustomHTTP* sender, std::string& dest, int& count, bool& handled,
                               TNetHTTPMethod& method) {
    if (prior) prior(sender, dest, count, handled, method);
    // The redirect's answer has been read: the next request goes to where it points.
    const TNetURI next = RedirectTarget(*sender, dest);
    pacing->End(asked);
    asked = next.Protocol + "://" + next.Host + (next.Port.empty() ? "" : ":" + next.Port) + "/";
    pacing->Begin(asked);
  };
  pacing->Begin(asked);
  try {
    fetch();
  } catch (...) {
    pacing->End(asked);
    http.OnRedirect = prior;
    throw;
  }
  pacing->End(asked);
  http.OnRedirect = prior;
}

int ServerPort(const TNetURI& uri) {
  if (!uri.Port.empty()) return ParsePortNumber(uri.Port);
  return SameText(uri.Protocol, "https") ? 443 : 80;
}

TProxyRoute ProxyRouteFor(const TNetURI& target, const TProxySettings* proxies) {
  if (proxies == nullptr) return {};
  return proxies->RouteFor(target.Protocol, target.Host, ServerPort(target));
}

TProxyRoute ProxyRouteFor(const std::string& url, const TProxySettings* proxies) {
  return ProxyRouteFor(TNetURI(url), proxies);
}

std::string ConnectionPoolKey(const TNetURI& uri, const TProxyRoute& route) {
  return LowerCase(uri.Protocol) + "://" + LowerCase(uri.Host) + ":" +
         std::to_string(ServerPort(uri)) + " " + (route.Proxy ? route.Proxy->Name() : "direct");
}

int WholeFetchDeadlineMs(int read_timeout_ms) {
  if (read_timeout_ms <= 0) return kNetFetchDeadlineMs;
  return static_cast<int>(std::min<int64_t>(int64_t{2} * read_timeout_ms, INT32_MAX));
}

namespace {

// One URL of a redirect chain, as the client asks for it (the server's root as "/"); `text` as
// written when it cannot be composed.
std::string ChainEntry(TNetURI uri, const std::string& text) {
  if (uri.Path.empty()) uri.Path = "/";
  try {
    return uri.Compose();
  } catch (const ENetURIException&) {
    return text;
  }
}

// A redirect chain for a message: the URLs in order, up to the first one met again (a loop ends
// there) and at most ten.
std::string ChainText(const std::vector<std::string>& chain) {
  std::string text;
  for (size_t i = 0; i < chain.size(); ++i) {
    if (i == 10) return text + " -> ...";
    text += (i == 0 ? "" : " -> ") + chain[i];
    if (std::find(chain.begin(), chain.begin() + i, chain[i]) != chain.begin() + i) break;
  }
  return text;
}

}  // namespace

void RoutedRequests(TNetCustomHTTP& http, const std::string& url, const TProxySettings* proxies,
                    const std::function<void()>& fetch) {
  std::optional<TProxyServer> proxy;  // the route of the request under way
  // Points http along the route of a request to target; a failure here is the server's. A hop
  // onto another route does not go on over the connection of the last one (the first request
  // may go over a kept-alive connection of its own route).
  auto route_to = [&](const TNetURI& target, bool hop) {
    const TProxyRoute route = ProxyRouteFor(target, proxies);
    // A setting the user made that cannot be used is no reason to go around it.
    if (!route.Unusable.empty()) throw EProxyFailed(route.Unusable);
    const std::string before = proxy ? proxy->Name() : "";
    proxy.reset();
    if (hop && before != (route.Proxy ? route.Proxy->Name() : "") && http.IsConnected()) {
      http.CloseConnection();
    }
    ApplyProxy(http, route.Proxy);
    if (route.Proxy &&
        (route.Proxy->Kind == TProxyKind::Socks4 || route.Proxy->Kind == TProxyKind::Socks5)) {
      // These look the server's name up here, after the connect to the proxy; looked up first,
      // a name that does not resolve is the server's failure, not the proxy's.
      NetResolveHost(target.Host, TNetDeadline::ForConnect(http.ReadTimeout()));
    }
    proxy = route.Proxy;
  };
  std::vector<std::string> chain{ChainEntry(TNetURI(url), url)};
  const TNetHTTPOnRedirectEvent prior = http.OnRedirect;
  http.OnRedirect = [&, prior](TNetCustomHTTP* sender, std::string& dest, int& count, bool& handled,
                               TNetHTTPMethod& method) {
    if (prior) prior(sender, dest, count, handled, method);
    const TNetURI next = RedirectTarget(*sender, dest);
    chain.push_back(ChainEntry(next, dest));
    // Every hop takes the route its own server asks for.
    if (handled && sender->RedirectCount() < sender->RedirectMaximum()) route_to(next, true);
  };
  try {
    route_to(TNetURI(url), false);
    fetch();
    // The redirects went on past the client's limit: the last one came as the answer.
    const int code = http.ResponseCode();
    if (http.HandleRedirects() &&
        ((code / 100 == 3 && code != 304) || !http.Response().Location().empty())) {
      throw ETooManyRedirects(ChainText(chain));
    }
  } catch (...) {
    http.OnRedirect = prior;
    if (!proxy) throw;
    // Every connect goes to the proxy (the server's own failures come back through it): one
    // that fails failed to reach the proxy.
    TFetchOutcome seen;
    RecordFetchFailure(seen);
    if (seen.End == TFetchEnd::Refused || seen.End == TFetchEnd::HostNotFound ||
        seen.End == TFetchEnd::ConnectTimeout || seen.End == TFetchEnd::ResolveTimeout) {
      throw EProxyFailed("Proxy " + proxy->Name() + ": " + seen.Detail);
    }
    throw;
  }
  http.OnRedirect = prior;
}

TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                      const TFetchOptions& options) {
  const std::atomic<bool>* stop = options.Stop;
  TPageResult result;
  TFetchOutcome& outcome = result.Outcome;
  outcome.Url = url;
  const auto started = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started)
                                     .count());
  };
  auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
  if (stopped()) {
    outcome.End = TFetchEnd::Stopped;
    result.Text = FailureText();
    return result;
  }

  const TProxyRoute route = ProxyRouteFor(url, options.Proxies);
  auto http = std::make_unique<TNetHTTP>();
  // Plain http stays plain; a redirect to https is followed. A kept-alive connection to the
  // same server along the same route saves the connect (and the TLS handshake).
  TNetIdleConnection idle;
  if (options.Pool != nullptr && route.Unusable.empty()) {
    idle = options.Pool->Take(ConnectionPoolKey(TNetURI(url), route));
  }
  InstallTlsHandler(*http, std::move(idle));
  auto cookies = std::make_unique<TNetCookieManager>();
  http->SetCookieManager(cookies.get());
  http->SetHandleRedirects(true);
  http->SetAcceptCompression(true);
  http->SetReadTimeout(options.ReadTimeoutMs);
  TNetHTTPLimits limits = http->Limits();
  limits.MaxBodyBytes = kQueryMaxPageBytes;  // eleven workers hold several copies of a page
  limits.FetchDeadlineMs = WholeFetchDeadlineMs(options.ReadTimeoutMs);
  http->SetLimits(limits);
  http->Request().SetUserAgent(kQueryUserAgent);
  http->Request().SetReferer(url);
  // With a first visit the cookie manager carries its cookies; an empty Cookie line beside
  // them would be a second one.
  if (options.Request.FirstVisit.empty()) {
    http->Request().CustomHeaders().SetText("Cookie: " + cookie);
  }
  ApplyHeaders(*http, options.Request.Headers);
  if (stop != nullptr) {
    // Checked at every step of the fetch: resolving, connecting and each block of the body.
    http->OnStatus = [stopped](auto&&...) {
      if (stopped()) throw EFetchStopped();
    };
    http->OnWork = [stopped](auto&&...) {
      if (stopped()) throw EFetchStopped();
    };
  }

  // Only a connection whose last answer was read to its end comes back (ReleaseConnection);
  // inside the paced span, so the next request to the server already finds it.
  auto give_back = [&] {
    if (options.Pool == nullptr) return;
    try {
      // Keyed by the route of the last request, which a redirect may have changed.
      options.Pool->Give(
          ConnectionPoolKey(http->CurrentURI(), ProxyRouteFor(http->CurrentURI(), options.Proxies)),
          http->ReleaseConnection());
    } catch (...) {
    }
  };
  try {
    if (!options.Request.FirstVisit.empty()) {
      // Only its cookies matter: whatever it answers, the request follows.
      const std::string& first = options.Request.FirstVisit;
      try {
        RoutedRequests(*http, first, options.Proxies, [&] {
          PacedRequests(*http, first, options.Pacing, [&] { http->Get(first); });
        });
      } catch (const EFetchStopped&) {
        throw;
      } catch (...) {
        if (http->IsConnected()) http->CloseConnection();  // its answer may be half read
      }
    }
    RoutedRequests(*http, url, options.Proxies, [&] {
      PacedRequests(*http, url, options.Pacing, [&] {
        result.Text = http->Get(url);
        give_back();
      });
    });
    outcome.End = TFetchEnd::Fetched;
    outcome.HttpStatus = http->ResponseCode();
    outcome.FinalUrl = http->CurrentURI().ComposedURI();
    outcome.Bytes = static_cast<int64_t>(result.Text.size());
    result.Text = PageByMode(result.Text, mode, http->Response().ContentType());
  } catch (...) {
    RecordFetchFailure(outcome);
    // Whatever ends a fetch after the query was stopped, the stop ended it.
    if (stopped()) outcome.End = TFetchEnd::Stopped;
    if (outcome.HttpStatus == 0 && outcome.End != TFetchEnd::Stopped) {
      try {
        outcome.HttpStatus = http->ResponseCode() > 0 ? http->ResponseCode() : 0;
      } catch (...) {
      }
    }
    result.Text = FailureText();
    give_back();  // a failure whose answer was still read to its end (an error status)
  }
  outcome.WireBytes = http->ReceivedBytes();
  http.reset();
  cookies.reset();
  outcome.ElapsedMs = elapsed();
  return result;
}

void ApplyHeaders(TNetCustomHTTP& http, const std::vector<THeader>& headers) {
  TNetHTTPRequest& request = http.Request();
  for (const THeader& h : headers) {
    if (SameText(h.Name, "User-Agent")) {
      request.SetUserAgent(h.Value);
    } else if (SameText(h.Name, "Referer")) {
      request.SetReferer(h.Value);
    } else if (SameText(h.Name, "Accept-Language")) {
      request.SetAcceptLanguage(h.Value);
    } else {
      request.CustomHeaders().SetFoldOnSet(false);
      request.CustomHeaders().SetHeader(h.Name, h.Value);
    }
  }
}

std::string GetPage(const std::string& url, const std::string& cookie, int mode) {
  return FetchPage(url, cookie, FetchModeOf(mode)).Text;
}
