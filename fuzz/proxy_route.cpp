// Fuzz target: any text as a proxy URL, as a no_proxy list and as the environment. Nothing may
// raise; a parsed proxy has a host and a port in range, and its name parses back to the same
// proxy; "*" anywhere in a list exempts every host.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/NetProxyRoute.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto server = ParseProxyUrl(text)) {
    if (server->Host.empty() || server->Port < 1 || server->Port > 65535) std::abort();
    // Without credentials the name is itself a proxy URL for the same server.
    if (server->User.empty() && server->Host.find_first_of("@/?#[]") == std::string::npos) {
      auto again = ParseProxyUrl(server->Name());
      if (!again || again->Host != server->Host || again->Port != server->Port ||
          again->Kind != server->Kind) {
        std::abort();
      }
    }
  }
  // The first line is the host, the rest the list.
  const size_t nl = text.find('\n');
  const std::string host = text.substr(0, nl);
  const std::string list = nl == std::string::npos ? "" : text.substr(nl + 1);
  const int port = size > 0 ? data[0] * 256 + (size > 1 ? data[1] : 0) : 80;
  NoProxyExempts(list, host, port);
  if (!NoProxyExempts(list + ",*", host, port)) std::abort();

  auto getenv = [&](const char* name) -> const char* {
    return name[0] == 'n' || name[0] == 'N' ? list.c_str() : host.c_str();
  };
  const TProxySettings settings = TProxySettings::ForQuery(list, getenv);
  const TProxyRoute route = settings.RouteFor("https", host, port);
  if (route.Proxy && !route.Unusable.empty()) std::abort();
  return 0;
}
