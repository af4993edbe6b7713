// Shared helpers of the TLS tests: a client set up with its TLS handler (Fetch comes from the
// HTTP client helpers).
#pragma once

#include <memory>
#include <string>

#include "http/NetHTTP.h"
#include "http/NetHTTPTls.h"
#include "support/HttpClientHelpers.h"
#include "support/TlsPeers.h"

inline std::unique_ptr<TNetHTTP> TlsClient(int read_timeout_ms = 5000) {
  Pki();  // the trust settings must be in place before the first handshake
  auto http = Client(read_timeout_ms);
  InstallTlsHandler(*http);
  return http;
}

// The handler a TlsClient was given.
inline TNetSSLIOHandlerSocket* Handler(TNetHTTP& http) {
  return dynamic_cast<TNetSSLIOHandlerSocket*>(http.IOHandler());
}
