// Proxies for a query's requests: read from http_proxy, https_proxy, all_proxy and no_proxy the
// way the common command-line download tools read them, or given as one proxy URL, and applied
// to an HTTP client.
//
// The environment: http_proxy only in lower case (a web server hands its CGI programs a
// request's "Proxy:" header as HTTP_PROXY, so the upper-case name cannot be trusted);
// https_proxy, all_proxy and no_proxy in lower case first, else in upper case. An empty value
// counts as unset. all_proxy serves whichever scheme has no proxy of its own.
//
// A proxy URL: [scheme://][user[:password]@]host[:port][/...] with the schemes http (the
// default), socks4 (the name looked up here), socks4a (looked up by the proxy), socks5 (here)
// and socks5h (by the proxy); user and password percent-decoded; port 1080 when none is given.
//
// no_proxy: entries separated by commas or white space; "*" exempts everything; a domain
// exempts itself and every name below it (a leading dot changes nothing); an IPv4 address
// exempts itself, a.b.c.d/n a block of them; "[v6]" an IPv6 address; ":port" after an entry
// limits it to that port. Names are compared without letter case and without a trailing dot.
//
// Thread-safety: settings are immutable once made and may be read from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

class TNetCustomHTTP;

enum class TProxyKind { Http, Socks4, Socks4a, Socks5, Socks5h };

// One proxy server and how to speak to it.
struct TProxyServer {
  TProxyKind Kind = TProxyKind::Http;
  std::string Host;  // a name or an address (IPv6 without its brackets)
  int Port = 1080;
  std::string User;  // empty: no credentials
  std::string Password;
  // "socks5h://user@host:port": tells proxies apart without showing the password.
  std::string Name() const;
};

// The proxy a URL names; nothing when the text is not a usable proxy URL (an unknown scheme, no
// host, a bad port, control characters), and then `why`, when given, says which.
std::optional<TProxyServer> ParseProxyUrl(const std::string& text, std::string* why = nullptr);

// Whether a no_proxy list exempts host:port.
bool NoProxyExempts(const std::string& list, const std::string& host, int port);

// How one request goes out.
struct TProxyRoute {
  std::optional<TProxyServer> Proxy;  // none: straight to the server
  // Set when the setting that applies is not a usable proxy URL: the request must fail rather
  // than bypass the proxy the user asked for. Names the setting, never its credentials.
  std::string Unusable;
};

class TProxySettings {
 public:
  using TGetEnv = std::function<const char*(const char* name)>;

  // No proxy for any request.
  TProxySettings() = default;
  // As the environment says (`getenv` stands in for the process environment).
  static TProxySettings FromEnvironment(const TGetEnv& getenv = {});
  // `url` for every request, except those the environment's no_proxy exempts; an empty url
  // means FromEnvironment.
  static TProxySettings ForQuery(const std::string& url, const TGetEnv& getenv = {});

  // The route of a request to scheme://host:port ("http" or "https", any letter case).
  TProxyRoute RouteFor(const std::string& scheme, const std::string& host, int port) const;

 private:
  struct TSetting {
    std::string Source;  // which setting it came from, for Unusable
    std::optional<TProxyServer> Server;
    bool Set = false;
  };
  static TSetting Parse(const std::string& source, const std::string& value);
  TSetting http_;
  TSetting https_;
  std::string no_proxy_;
};

// Sends the client's requests through `proxy` (an HTTP proxy through its proxy fields, a SOCKS
// proxy through its socket handler's settings). Call before the first request.
void ApplyProxy(TNetCustomHTTP& http, const TProxyServer& proxy);
// The same for a route: through `proxy`, or straight to the server when there is none (undoing
// an earlier ApplyProxy, so one client can follow a redirect off or onto a proxy).
void ApplyProxy(TNetCustomHTTP& http, const std::optional<TProxyServer>& proxy);
