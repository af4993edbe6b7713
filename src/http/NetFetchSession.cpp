#include "http/NetFetchSession.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <vector>

#include "cookies/NetCookieManager.h"
#include "http/NetGlobal.h"
#include "http/NetHTTP.h"
#include "http/NetHTTPTls.h"
#include "http/NetURI.h"
#include "runtime/Classes.h"
#include "runtime/StrUtils.h"
#include "transport/NetException.h"
#include "transport/NetResolver.h"

int ServerPort(const TNetURI& uri) {
  if (!uri.Port.empty()) return ParsePortNumber(uri.Port);
  return SameText(uri.Protocol, "https") ? 443 : 80;
}

namespace {

TProxyRoute RouteFor(const TNetURI& target, const TProxySettings& proxies) {
  return proxies.RouteFor(target.Protocol, target.Host, ServerPort(target));
}

}  // namespace

std::string ConnectionPoolKey(const TNetURI& uri, const TProxyRoute& route) {
  return LowerCase(uri.Protocol) + "://" + LowerCase(uri.Host) + ":" +
         std::to_string(ServerPort(uri)) + " " + (route.Proxy ? route.Proxy->Name() : "direct");
}

namespace {

bool IsConnectFailureCode(int code) {
  return code == 11001 || code == 11004 || code == 10061 || code == 10060;
}

// Inside a catch block: the message of the exception being handled when it says a connect did
// not get through (no such name, nobody listening, no answer in time); "" otherwise.
std::string ConnectFailure() {
  try {
    throw;
  } catch (const ENetConnectTimeout& e) {  // a lookup that ran out of time too
    return e.Message();
  } catch (const ENetSocketError& e) {
    return IsConnectFailureCode(e.ErrorCode()) ? e.Message() : "";
  } catch (const ENetConnectException& e) {
    return IsConnectFailureCode(e.ErrorCode()) ? e.Message() : "";
  } catch (...) {
    return "";
  }
}

// Where a redirect to dest leads from the request http just made, as an absolute URL. A
// location that is no URL is kept as written here: following it fails (ENetURIException).
TNetURI RedirectTarget(TNetCustomHTTP& http, const std::string& dest) {
  try {
    return TNetURI(http.RedirectURL(dest));
  } catch (const ENetURIException&) {
    return TNetURI(dest);
  }
}

// Runs fetch() (which asks `http` for url) under `pacing`: each request, redirects included,
// between a Begin and an End. Without pacing, just fetch().
void PacedRequests(TNetCustomHTTP& http, const std::string& url, TRequestPacing* pacing,
                   const std::function<bool()>& stopped, const std::function<void()>& fetch) {
  if (pacing == nullptr) {
    fetch();
    return;
  }
  std::string asked;     // the server of the request under way
  bool holding = false;  // between its Begin and its End (a Begin that a stop ended is not)
  auto begin = [&](std::string server) {
    asked = std::move(server);
    pacing->Begin(asked, stopped);
    holding = true;
  };
  auto end = [&] {
    if (holding) pacing->End(asked);
    holding = false;
  };
  const TNetHTTPOnRedirectEvent prior = http.OnRedirect;
  http.OnRedirect = [&, prior](TNetCustomHTTP* sender, std::string& dest, int& count, bool& handled,
                               TNetHTTPMethod& method) {
    if (prior) prior(sender, dest, count, handled, method);
    if (!handled || sender->RedirectCount() >= sender->RedirectMaximum()) return;  // not followed
    // The redirect's answer has been read: the next request goes to where it points.
    const TNetURI next = RedirectTarget(*sender, dest);
    end();
    begin(next.Protocol + "://" + next.Host + (next.Port.empty() ? "" : ":" + next.Port) + "/");
  };
  try {
    begin(url);
    fetch();
  } catch (...) {
    end();
    http.OnRedirect = prior;
    throw;
  }
  end();
  http.OnRedirect = prior;
}

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

// Runs fetch() (which asks `http` for url, parsed as `target`, following redirects) with each
// request along the route `proxies` choose for its own server, the first and every redirect alike.
// Raises EProxyFailed for an unusable setting (before that request is sent) and for a proxy that
// cannot be reached, and ETooManyRedirects when the client's redirect limit ended the chain (unless
// `follow` is off: the first redirect is then the answer).
void RoutedRequests(TNetCustomHTTP& http, const std::string& url, const TNetURI& target,
                    const TProxySettings& proxies, const std::function<void()>& fetch,
                    bool follow = true) {
  std::optional<TProxyServer> proxy;  // the route of the request under way
  // Points http along the route of a request to target; a failure here is the server's. A hop
  // onto another route does not go on over the connection of the last one (the first request
  // may go over a kept-alive connection of its own route).
  auto route_to = [&](const TNetURI& server, bool hop) {
    const TProxyRoute route = RouteFor(server, proxies);
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
      NetResolveHost(server.Host, TNetDeadline::ForConnect(http.ReadTimeout()));
    }
    proxy = route.Proxy;
  };
  std::vector<std::string> chain{ChainEntry(target, url)};
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
    route_to(target, false);
    fetch();
    // The redirects went on past the client's limit: the last one came as the answer.
    const int code = http.ResponseCode();
    if (follow && http.HandleRedirects() &&
        ((code / 100 == 3 && code != 304) || !http.Response().Location().empty())) {
      throw ETooManyRedirects(ChainText(chain));
    }
  } catch (...) {
    http.OnRedirect = prior;
    if (!proxy) throw;
    // Every connect goes to the proxy (the server's own failures come back through it): one
    // that fails failed to reach the proxy.
    const std::string why = ConnectFailure();
    if (!why.empty()) throw EProxyFailed("Proxy " + proxy->Name() + ": " + why);
    throw;
  }
  http.OnRedirect = prior;
}

}  // namespace

int WholeFetchDeadlineMs(int read_timeout_ms) {
  if (read_timeout_ms <= 0) return kNetFetchDeadlineMs;
  return static_cast<int>(std::min<int64_t>(int64_t{2} * read_timeout_ms, INT32_MAX));
}

TNetFetchSession::TNetFetchSession(TProxySettings proxies, std::shared_ptr<TRequestPacing> pacing,
                                   std::shared_ptr<TNetConnectionPool> connections)
    : proxies_(std::move(proxies)),
      pacing_(std::move(pacing)),
      shared_pool_(connections != nullptr),
      pool_(connections ? std::move(connections) : std::make_shared<TNetConnectionPool>()) {}

std::string TNetFetchSession::Get(const std::string& url, const TNetFetchRequest& request,
                                  TNetFetchAnswer& answer) {
  std::string body;
  Run(url, request, answer, [&](TNetCustomHTTP& http) { body = http.Get(url); });
  return body;
}

void TNetFetchSession::Get(const std::string& url, const TNetFetchRequest& request,
                           TNetFetchAnswer& answer, TStream& destination) {
  Run(url, request, answer, [&](TNetCustomHTTP& http) { http.Get(url, &destination); });
}

std::string TNetFetchSession::Post(const std::string& url, const TNetFetchRequest& request,
                                   const std::string& content_type, const std::string& body,
                                   TNetFetchAnswer& answer) {
  TNetFetchRequest posting = request;
  posting.FollowRedirects = false;
  posting.FirstVisit.clear();
  TMemoryStream received;
  Run(url, posting, answer, [&](TNetCustomHTTP& http) {
    http.SetHandleRedirects(false);
    http.Request().SetContentType(content_type);
    TMemoryStream source;
    source.Write(body.data(), static_cast<int64_t>(body.size()));
    source.Seek(0, soBeginning);
    http.PerformRequest(hmPost, url, &received, &source);
  });
  std::string text(static_cast<size_t>(received.Size()), '\0');
  received.Seek(0, soBeginning);
  received.Read(text.data(), received.Size());
  return text;
}

void TNetFetchSession::Run(const std::string& url, const TNetFetchRequest& request,
                           TNetFetchAnswer& answer,
                           const std::function<void(TNetCustomHTTP&)>& get) {
  using TClock = std::chrono::steady_clock;
  // When the GET went out: restamped once the pacing let it go, so waiting for one's turn is
  // not counted in its times.
  TClock::time_point started = TClock::now();
  const TNetURI target(url);
  const TProxyRoute route = RouteFor(target, proxies_);
  auto http = std::make_unique<TNetHTTP>();
  // Connections made without the certificate check never serve a checked request.
  auto pool_key = [&](const TNetURI& uri, const TProxyRoute& r) {
    return ConnectionPoolKey(uri, r) + (request.VerifyCertificate ? "" : " unverified");
  };
  // Plain http stays plain; a redirect to https is followed. A kept-alive connection to the
  // same server along the same route saves the connect (and the TLS handshake).
  TNetIdleConnection idle;
  if (route.Unusable.empty() && request.PooledConnection)
    idle = pool_->Take(pool_key(target, route));
  TNetSSLIOHandlerSocket* tls = InstallTlsHandler(*http, std::move(idle));
  tls->SetVerifyPeer(request.VerifyCertificate);
  auto cookies = std::make_unique<TNetCookieManager>();
  http->SetCookieManager(cookies.get());
  http->SetHandleRedirects(true);
  // Not following, the first redirect is the answer.
  if (!request.FollowRedirects) http->SetRedirectMaximum(1);
  http->SetAcceptCompression(request.AcceptCompression);
  http->SetReadTimeout(request.ReadTimeoutMs);
  TNetHTTPLimits limits = http->Limits();
  if (request.MaxBodyBytes > 0) limits.MaxBodyBytes = request.MaxBodyBytes;
  limits.FetchDeadlineMs = WholeFetchDeadlineMs(request.ReadTimeoutMs);
  if (request.WholeDeadlineMs > 0) {
    limits.FetchDeadlineMs = std::min(limits.FetchDeadlineMs, request.WholeDeadlineMs);
  }
  http->SetLimits(limits);
  http->Request().SetUserAgent(request.UserAgent);
  if (!request.Referer.empty()) http->Request().SetReferer(request.Referer);
  // With a first visit the cookie manager carries its cookies; a Cookie line beside them would
  // be a second one.
  if (request.Cookie && request.FirstVisit.empty()) {
    http->Request().CustomHeaders().SetText("Cookie: " + *request.Cookie);
  }
  for (const auto& [name, value] : request.Headers) {
    if (SameText(name, "User-Agent")) {
      http->Request().SetUserAgent(value);
    } else if (SameText(name, "Referer")) {
      http->Request().SetReferer(value);
    } else if (SameText(name, "Accept-Language")) {
      http->Request().SetAcceptLanguage(value);
    } else {
      http->Request().CustomHeaders().SetFoldOnSet(false);
      http->Request().CustomHeaders().SetHeader(name, value);
    }
  }
  // The steps of the latest connect, stamped as the connection reports them.
  TNetFetchDetails* details = answer.Details;
  TClock::time_point resolving{}, connecting{}, connected{};
  double dns_ms = -1;  // the latest connect's lookup
  if (details != nullptr) {
    *details = TNetFetchDetails{};
    http->OnRedirect = [details](TNetCustomHTTP* sender, std::string& dest, int&, bool& handled,
                                 TNetHTTPMethod&) {
      if (!handled || sender->RedirectCount() >= sender->RedirectMaximum()) return;
      details->Redirects.push_back(ChainEntry(RedirectTarget(*sender, dest), dest));
    };
  }
  if (request.Stopped || details != nullptr) {
    // Checked at every step of the fetch: resolving, connecting and each block of the body.
    http->OnStatus = [&](TNetComponent*, TNetStatus status, const std::string&) {
      if (details != nullptr) {
        if (status == hsResolving) {
          resolving = TClock::now();
        } else if (status == hsConnecting) {
          connecting = TClock::now();
          // A connect to an address looks nothing up: no stamp of an earlier hop's lookup.
          dns_ms = resolving != TClock::time_point{}
                       ? std::chrono::duration<double, std::milli>(connecting - resolving).count()
                       : -1;
          resolving = {};
        } else if (status == hsConnected) {
          connected = TClock::now();
        }
      }
      if (request.Stopped && request.Stopped()) throw ENetFetchStopped();
    };
  }
  if (request.Stopped) {
    http->OnWork = [&request](auto&&...) {
      if (request.Stopped()) throw ENetFetchStopped();
    };
  }
  // What the connection and its handshake told, read while the handler is still this client's:
  // once, before the connection first goes back to the pool (another GET may take it then).
  bool noted = false;
  auto note_connection = [&] {
    if (details == nullptr || noted) return;
    noted = true;
    auto ms = [&](TClock::time_point from, TClock::time_point to) {
      return std::chrono::duration<double, std::milli>(to - from).count();
    };
    const TNetSSLIOHandlerSocket::PeerCertificate& peer = tls->LastPeer();
    if (peer.Present || !peer.Version.empty()) {
      details->TlsVersion = peer.Version;
      details->CertIssuer = peer.Issuer;
      if (peer.Present) details->CertNotAfterUnix = peer.NotAfterUnix;
    }
    if (connecting != TClock::time_point{}) {
      details->DnsMs = dns_ms;
      // The handshake, when this GET made one, is part of the connect's span.
      const bool shook = peer.HandshakeMs >= 0 && SameText(http->CurrentURI().Protocol, "https");
      if (shook) details->TlsMs = peer.HandshakeMs;
      if (connected != TClock::time_point{}) {
        details->ConnectMs =
            std::max(0.0, ms(connecting, connected) - (shook ? peer.HandshakeMs : 0));
      }
    }
    const TClock::time_point first = http->FirstByteAt();
    if (first != TClock::time_point{}) details->FirstByteMs = ms(started, first);
    details->BodyWireBytes = http->BodyWireBytes();
    details->TotalMs = ms(started, TClock::now());
    const TNetHeaderList& lines = http->Response().HeaderLines();
    details->Headers.clear();
    for (int i = 0; i < lines.Count(); ++i)
      details->Headers.emplace_back(lines.NameAt(i), lines.ValueAt(i));
  };
  // Only a connection whose last answer was read to its end comes back (ReleaseConnection),
  // keyed by the route of the last request, which a redirect may have changed; inside the paced
  // span, so the next request to the server already finds it.
  auto give_back = [&] {
    note_connection();
    try {
      const TNetURI& last = http->CurrentURI();
      pool_->Give(pool_key(last, RouteFor(last, proxies_)), http->ReleaseConnection());
    } catch (...) {
    }
  };
  auto learnt = [&] {
    try {
      answer.Status = std::max(http->ResponseCode(), 0);
      answer.FinalUrl = http->CurrentURI().ComposedURI();
      answer.ContentType = http->Response().ContentType();
    } catch (...) {
    }
    answer.WireBytes = http->ReceivedBytes();
  };
  try {
    if (!request.FirstVisit.empty()) {
      // Only its cookies matter: whatever it answers, the GET follows.
      const std::string& first = request.FirstVisit;
      try {
        RoutedRequests(*http, first, TNetURI(first), proxies_, [&] {
          PacedRequests(*http, first, pacing_.get(), request.Stopped, [&] { http->Get(first); });
        });
      } catch (const ENetFetchStopped&) {
        throw;
      } catch (...) {
        if (http->IsConnected()) http->CloseConnection();  // its answer may be half read
      }
    }
    RoutedRequests(
        *http, url, target, proxies_,
        [&] {
          PacedRequests(*http, url, pacing_.get(), request.Stopped, [&] {
            started = TClock::now();
            get(*http);
            give_back();
          });
        },
        request.FollowRedirects);
  } catch (...) {
    learnt();
    give_back();  // a failure whose answer was still read to its end (an error status)
    throw;
  }
  learnt();
}
