// Helpers of the HTTP client tests: a client with a short read time-out, and a fetch that turns
// a failure into "!" followed by its message, so tables can hold both. Header-only: the test
// support library does not link the HTTP layer.
#pragma once

#include <memory>
#include <string>

#include "http/NetHTTP.h"

inline std::unique_ptr<TNetHTTP> Client(int read_timeout_ms = 3000) {
  auto http = std::make_unique<TNetHTTP>();
  http->SetReadTimeout(read_timeout_ms);
  return http;
}

inline std::string Fetch(TNetHTTP& http, const std::string& url) {
  try {
    return http.Get(url);
  } catch (const Exception& e) {
    return "!" + e.Message();
  }
}
