#include "http/NetHTTPTls.h"

#include <memory>

namespace {

// Points the handler's events at `http`.
void TieTlsHandler(TNetCustomHTTP& http, TNetSSLIOHandlerSocket* raw) {
  TNetCustomHTTP* client = &http;
  // The handler is freed with the client or leaves it through ReleaseConnection, which drops
  // OnStatus; the next client ties it anew before its first request, and no handshake runs
  // while it lies idle, so OnPeerHostName never reaches a client that is gone.
  raw->OnPeerHostName = [client](TNetSSLIOHandlerSocket*, std::string& host) {
    host = client->CurrentURI().Host;
  };
  raw->OnStatus = [client](TNetComponent* sender, TNetStatus status, const std::string& text) {
    if (client->OnStatus) client->OnStatus(sender, status, text);
  };
}

}  // namespace

TNetSSLIOHandlerSocket* InstallTlsHandler(TNetCustomHTTP& http) {
  auto handler = std::make_unique<TNetSSLIOHandlerSocket>();
  TNetSSLIOHandlerSocket* raw = handler.get();
  TieTlsHandler(http, raw);
  http.AdoptIOHandler(std::move(handler));
  return raw;
}

TNetSSLIOHandlerSocket* InstallTlsHandler(TNetCustomHTTP& http, TNetIdleConnection connection) {
  auto* raw = dynamic_cast<TNetSSLIOHandlerSocket*>(connection.Handler.get());
  if (raw == nullptr) return InstallTlsHandler(http);
  TieTlsHandler(http, raw);
  http.AdoptConnection(std::move(connection));
  return raw;
}
