// The client component around the exchange: construction and properties, the Get operations,
// routing through proxies and TLS, connecting and the CONNECT tunnel, the cookie hooks, the
// authorization and redirect decisions, the whole-fetch deadline, and the notifications.

#include <algorithm>

#include "cookies/NetCookieManager.h"
#include "http/NetGlobal.h"
#include "http/NetHTTP.h"
#include "runtime/StrUtils.h"

TNetCustomHTTP::TNetCustomHTTP()
    : current_uri_(std::make_unique<TNetURI>()),
      protocol_(std::make_unique<TNetHTTPProtocol>(this)),
      proxy_params_(std::make_unique<TNetProxyConnectionInfo>()) {
  SetPort(80);
  proxy_params_->Clear();
}

TNetCustomHTTP::~TNetCustomHTTP() {
  // The owned manager's destruction notifies this client, which must still be whole then.
  if (owned_cookie_manager_ != nullptr) {
    cookie_manager_ = nullptr;
    owned_cookie_manager_.reset();
  }
  if (cookie_manager_ != nullptr) cookie_manager_->RemoveFreeNotification(this);
  if (authentication_manager_ != nullptr) authentication_manager_->RemoveFreeNotification(this);
  // Drop the socket while the records still exist: the base would do it later, but a
  // disconnect notification must not find them gone.
  DropSocket();
  // The connection lets go of an adopted handler before it is freed.
  if (adopted_io_handler_ != nullptr) {
    if (IOHandler() == adopted_io_handler_.get()) SetIOHandler(nullptr);
    adopted_io_handler_.reset();
  }
  protocol_.reset();
}

// ---------------------------------------------------------------------------------------------
// Requests

void TNetCustomHTTP::Get(const std::string& url, TStream* stream) {
  PerformRequest(hmGet, url, stream, nullptr);
}

std::string TNetCustomHTTP::Get(const std::string& url) {
  TMemoryStream stream;
  Get(url, &stream);
  return stream.DataString();
}

// ---------------------------------------------------------------------------------------------
// Routing and connecting

TNetConnectionKind TNetCustomHTTP::ChooseRoute() const {
  const bool https = SameText(current_uri_->Protocol, "HTTPS");
  if (proxy_params_->ProxyServer().empty()) {
    return https ? TNetConnectionKind::DirectTls : TNetConnectionKind::Direct;
  }
  return https ? TNetConnectionKind::TunnelViaProxy : TNetConnectionKind::ViaProxy;
}

void TNetCustomHTTP::SetUpRoute(TNetConnectionKind route) {
  // IOHandler() is asked anew after a close: closing frees a handler the connection made.
  auto tls_capable = [this] { return IOHandler() != nullptr && IOHandler()->TLSCapable(); };
  // Sets the TLS switch of a TLS-capable handler; false when there is none. TLS cannot be put
  // on or taken off a stream that already carries requests, so a live connection in the other
  // mode is closed first and the next one is made in the mode asked for.
  auto set_plain = [&](bool plain) {
    if (!tls_capable()) return false;
    if (IOHandler()->PlainMode() != plain && IsConnected()) {
      CloseConnection();
      if (!tls_capable()) return false;
    }
    IOHandler()->SetPlainMode(plain);
    return true;
  };

  switch (route) {
    case TNetConnectionKind::Direct:
    case TNetConnectionKind::DirectTls: {
      TNetURI& current = *current_uri_;
      if (!SameText(Host(), current.Host) || Port() != StrToInt(current.Port)) {
        if (IsConnected()) CloseConnection();
        std::string host = current.Host;
        int port = StrToInt(current.Port);
        SetHost(host);
        SetPort(port);
      }
      if (route == TNetConnectionKind::Direct) {
        set_plain(true);
      } else if (!set_plain(false)) {
        throw ENetIOHandlerPropInvalid();
      }
      return;
    }
    case TNetConnectionKind::ViaProxy:
    case TNetConnectionKind::TunnelViaProxy: {
      const std::string& proxy = proxy_params_->ProxyServer();
      int proxy_port = proxy_params_->ProxyPort();
      if ((!SameText(Host(), proxy) || Port() != proxy_port) && IsConnected()) CloseConnection();
      // Straight into the connection's fields: CurrentURI keeps naming the server.
      TNetTCPClient::SetHost(proxy);
      TNetTCPClient::SetPort(proxy_port);
      // CONNECT goes out in the clear; a live connection that speaks TLS is an earlier tunnel,
      // closed here, so every tunnel starts with its own CONNECT.
      if (route == TNetConnectionKind::TunnelViaProxy && IOHandler() != nullptr &&
          !tls_capable()) {
        throw ENetIOHandlerPropInvalid();
      }
      set_plain(true);
      return;
    }
  }
}

void TNetCustomHTTP::EnsureConnected(TNetHTTPResponse& response) {
  if (!response.RecordKeepAlive() && IOHandler() != nullptr) CloseConnection();
  ProbeClosed(false);
  if (IsConnected()) return;
  reused_connection_ = false;
  ++connects_;
  try {
    Establish(ConnectTimeout());
  } catch (const ENetSSLProtocolReplyError&) {
    CloseConnection();
    throw;
  }
}

void TNetCustomHTTP::ConnectForRequest(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  request.SetRoute(ChooseRoute());
  SetUpRoute(request.Route());
  if (request.Route() == TNetConnectionKind::ViaProxy) {
    request.SetURL(current_uri_->ComposedURI());
  }
  switch (request.Route()) {
    case TNetConnectionKind::Direct:
      if (protocol_version_ == pv1_0 && request.Connection().empty()) {
        request.SetConnection("keep-alive");
      }
      break;
    case TNetConnectionKind::ViaProxy:
      if (protocol_version_ == pv1_0 && request.Connection().empty()) {
        request.SetProxyConnection("keep-alive");
      }
      break;
    case TNetConnectionKind::DirectTls:
    case TNetConnectionKind::TunnelViaProxy:
      request.SetConnection("");
      break;
  }
  if (request.Route() == TNetConnectionKind::TunnelViaProxy) {
    OpenTunnel(request);
  } else {
    EnsureConnected(response);
  }
  protocol_->SendRequestHead(current_uri_.get());
  if ((request.Method() == hmPost || request.Method() == hmPut) && request.Source() != nullptr) {
    WriteFromStream(*request.Source(), true, 0, false);
  }
}

void TNetCustomHTTP::OpenTunnel(TNetHTTPRequest& request) {
  TNetHTTPProtocol tunnel(this);
  TNetHTTPRequest& connect = tunnel.Request();
  TNetHTTPResponse& answer = tunnel.Response();
  connect.SetUserAgent(request.UserAgent());
  connect.SetHost(request.Host());
  connect.SetContentLength(request.ContentLength());
  connect.SetPragma("no-cache");
  connect.SetURL(current_uri_->Host + ":" + current_uri_->Port);
  connect.SetMethod(hmConnect);
  connect.SetProxyConnection("keep-alive");
  TMemoryStream body;
  answer.SetContentStream(&body);

  try {
    ExchangeConnect(tunnel, body);
  } catch (...) {
    // A CONNECT answer read only in part leaves bytes that must not pass for the next response.
    if (tunnel.InFlight() && IOHandler() != nullptr) CloseConnection();
    throw;
  }
}

void TNetCustomHTTP::ExchangeConnect(TNetHTTPProtocol& tunnel, TMemoryStream& body) {
  TNetHTTPRequest& connect = tunnel.Request();
  TNetHTTPResponse& answer = tunnel.Response();
  for (;;) {
    EnsureConnected(answer);
    tunnel.SendRequestHead(nullptr);
    answer.SetResponseText(ReadLine());
    if (answer.ResponseText().empty()) {
      answer.SetResponseText("HTTP/1.0 200 OK");
      answer.SetConnection("close");
    } else {
      tunnel.ReadHeaderBlock();
      StoreCookies(connect, answer);
    }
    if (answer.StatusCode() == 200) {
      StartTunnelTLS();
      return;
    }
    TNetHTTPWhatsNext next = tunnel.DecideNext();
    // Only an accepted proxy challenge asks again (bounded by AuthRetries, the attempt counter
    // carries on here). Any other answer that DecideNext let pass cannot open a tunnel.
    bool challenge = answer.ResponseCode() == 407 &&
                     (next == TNetHTTPWhatsNext::Follow || next == TNetHTTPWhatsNext::RetryAuth);
    if (!challenge) {
      throw ENetHTTPProtocolException(answer.ResponseCode(), answer.ResponseText(),
                                      body.DataString());
    }
    body.Clear();
  }
}

void TNetCustomHTTP::StartTunnelTLS() {
  if (IOHandler() == nullptr) throw Exception("Invalid class typecast");
  try {
    // The server speaks only after our first TLS message, so bytes already queued can only
    // have come from the proxy: taken for the server's, they would pass for data that arrived
    // under TLS.
    if (InputQueue().Size() > 0 && IOHandler()->TLSCapable()) {
      throw ENetSSLProtocolReplyError(
          "TLS handshake failed: protocol error (the proxy sent data after accepting the "
          "tunnel)");
    }
    IOHandler()->SetPlainMode(false);  // TLS starts over the tunnel
  } catch (const ENetSSLProtocolReplyError&) {
    CloseConnection();
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Cookies

void TNetCustomHTTP::StoreCookies(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  if (cookie_manager_ == nullptr && allow_cookies_) {
    auto manager = std::make_unique<TNetCookieManager>();
    SetCookieManager(manager.get());
    owned_cookie_manager_ = std::move(manager);
  }
  if (cookie_manager_ == nullptr) return;
  TStringList cookies;
  TStringList cookies2;
  response.HeaderLines().CollectValues("Set-cookie", &cookies);
  response.HeaderLines().CollectValues("Set-cookie2", &cookies2);
  for (const std::string& value : cookies) cookie_manager_->AddSetCookie(value, current_uri_->Host);
  for (const std::string& value : cookies2) {
    cookie_manager_->AddSetCookie2(value, current_uri_->Host);
  }
}

void TNetCustomHTTP::AttachCookies(TNetURI& uri, TNetHTTPRequest& request) {
  if (cookie_manager_ == nullptr) return;
  std::string text = cookie_manager_->CookieHeaderFor(uri, SpeaksTLS());
  if (!text.empty()) request.HeaderLines().SetHeader("Cookie", text);
}

bool TNetCustomHTTP::SpeaksTLS() {
  TNetIOHandler* handler = IOHandler();
  return handler != nullptr && handler->TLSCapable() && !handler->PlainMode() &&
         handler->Connected();
}

void TNetCustomHTTP::SetCookieManager(TNetCookieManager* manager) {
  if (manager == cookie_manager_) return;
  if (cookie_manager_ != nullptr) {
    cookie_manager_->RemoveFreeNotification(this);
    cookie_manager_ = nullptr;
  }
  owned_cookie_manager_.reset();
  cookie_manager_ = manager;
  if (manager != nullptr) manager->FreeNotification(this);
}

void TNetCustomHTTP::SetAuthenticationManager(TNetAuthenticationManager* manager) {
  if (manager == authentication_manager_) return;
  if (authentication_manager_ != nullptr) authentication_manager_->RemoveFreeNotification(this);
  authentication_manager_ = manager;
  if (manager != nullptr) manager->FreeNotification(this);
}

void TNetCustomHTTP::Notification(TComponent* component, TOperation operation) {
  TNetTCPClient::Notification(component, operation);
  if (operation != opRemove) return;
  if (component == cookie_manager_) cookie_manager_ = nullptr;
  if (component == authentication_manager_) authentication_manager_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Decisions

bool TNetCustomHTTP::FireAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  ++auth_attempts_;
  return DecideAuthorization(this, request, response, OnSelectAuthorization, OnAuthorization);
}

bool TNetCustomHTTP::FireProxyAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  ++proxy_auth_attempts_;
  return DecideProxyAuthorization(this, *proxy_params_, response, OnSelectProxyAuthorization,
                                  OnProxyAuthorization);
}

bool TNetCustomHTTP::FireRedirect(std::string& location, TNetHTTPMethod& method, int count) {
  bool handled = handle_redirects_;
  if (OnRedirect) {
    int num_redirect = count;
    OnRedirect(this, location, num_redirect, handled, method);
  }
  return handled;
}

void TNetCustomHTTP::FireDisconnected() {
  reused_connection_ = false;
  TNetTCPClient::FireDisconnected();
  if (protocol_ == nullptr) return;
  TNetAuthentication* auth = Request().Authentication();
  if (auth != nullptr && auth->StepCount() == auth->CurrentStep()) {
    // Complete: file it where it worked (a URI that cannot be composed is not filed).
    if (authentication_manager_ != nullptr && !current_uri_->Protocol.empty() &&
        !current_uri_->Host.empty()) {
      authentication_manager_->AddAuthentication(*auth, *current_uri_);
    }
    Request().SetAuthentication(nullptr);
  }
  if (proxy_params_ != nullptr && proxy_params_->Authentication() != nullptr) {
    proxy_params_->Authentication()->Reset();
  }
}

// ---------------------------------------------------------------------------------------------
// Properties

void TNetCustomHTTP::AdoptIOHandler(std::unique_ptr<TNetIOHandler> handler) {
  SetIOHandler(handler.get(), false);  // frees a handler the connection owned
  adopted_io_handler_ = std::move(handler);
}

void TNetCustomHTTP::AdoptConnection(TNetIdleConnection connection) {
  if (!connection) return;
  AdoptIOHandler(std::move(connection.Handler));
  // Straight into the connection's fields: the next route compares its peer with them.
  TNetTCPClient::SetHost(connection.PeerHost);
  TNetTCPClient::SetPort(connection.PeerPort);
  ResetState();
  reused_connection_ = true;
}

TNetIdleConnection TNetCustomHTTP::ReleaseConnection() {
  TNetIdleConnection out;
  TNetIOHandler* handler = IOHandler();
  if (handler == nullptr || handler != adopted_io_handler_.get()) return out;
  TNetHTTPResponse& response = Response();
  if (protocol_->InFlight() || !response.KeepAlive() || !IsConnected()) return out;
  // A tunnel through a proxy is never taken up again: every tunnel starts with its own CONNECT.
  if (Request().Route() == TNetConnectionKind::TunnelViaProxy) return out;
  // The client keeps a 1.0 answer's connection by its own version's rule; another request on it
  // needs the server's own word.
  if (response.ResponseVersion() == pv1_0 && !response.SaysKeepAlive()) return out;
  if (InputQueue().Size() > 0 || (OutputQueue() != nullptr && OutputQueue()->Size() > 0)) {
    return out;
  }
  // Bytes nobody asked for, or the server's close: either way not a connection to reuse.
  if (handler->Readable(0)) return out;
  SetIOHandler(nullptr);
  out.Handler = std::move(adopted_io_handler_);
  // It may outlive this client: nothing of the handler may call back into it.
  out.Handler->ClearEvents();
  out.PeerHost = TNetTCPClient::Host();
  out.PeerPort = TNetTCPClient::Port();
  reused_connection_ = false;
  return out;
}

void TNetCustomHTTP::SetHost(const std::string& host) {
  TNetTCPClient::SetHost(host);
  current_uri_->Host = host;
}

void TNetCustomHTTP::SetPort(int port) {
  TNetTCPClient::SetPort(port);
  current_uri_->Port = IntToStr(port);
}

// ---------------------------------------------------------------------------------------------
// Whole-fetch deadline

int TNetCustomHTTP::ConnectTimeout() const {
  if (!fetch_deadline_.Limited()) return ReadTimeout();
  const TNetDeadline connect = TNetDeadline::ForConnect(ReadTimeout()).Sooner(fetch_deadline_);
  return std::max(connect.WaitMs(), 1);
}

TNetReadResult TNetCustomHTTP::Receive(const TNetDeadline& deadline) {
  // Out of time, the fetch ends here even when bytes are still coming: a peer that keeps every
  // single wait short (an endless stream of tiny chunks) must not outlast the deadline.
  if (fetch_deadline_.Passed()) return TNetReadResult::TimedOut;
  const int64_t queued = InputQueue().Size();
  const TNetReadResult got = TNetTCPClient::Receive(deadline.Sooner(fetch_deadline_));
  received_bytes_ += InputQueue().Size() - queued;
  return got;
}
