// Shared helpers of the TLS tests: a client set up with its TLS handler, and a fetch that turns
// a failure into "!" followed by its message.
#pragma once

#include <memory>
#include <string>

#include "http/NetHTTP.h"
#include "tls/NetSSLIOHandlerSocket.h"
#include "support/TlsPeers.h"

inline std::unique_ptr<TNetHTTP> TlsClient(int read_timeout_ms = 5000) {
  Pki();  // the trust settings must be in place before the first handshake
  auto http = std::make_unique<TNetHTTP>();
  http->SetReadTimeout(read_timeout_ms);
  InstallTlsHandler(*http);
  return http;
}

inline std::string Fetch(TNetHTTP& http, const std::string& url) {
  try {
    return http.Get(url);
  } catch (const Exception& e) {
    return "!" + e.Message();
  }
}

// The handler a TlsClient was given.
inline TNetSSLIOHandlerSocket* Handler(TNetHTTP& http) {
  return dynamic_cast<TNetSSLIOHandlerSocket*>(http.IOHandler());
}
