#include "http/NetProxyRoute.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http/NetHTTP.h"
#include "runtime/StrUtils.h"
#include "transport/NetIOHandlerSocket.h"
#include "transport/NetSocks.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port". False when malformed; port 0 when none.
bool SplitHostPort(std::string_view text, std::string& host, int& port) {
  port = 0;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(text.substr(1, close - 1));
    rest = text.substr(close + 1);
  } else {
    const size_t colon = text.find(':');
    host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) rest = text.substr(colon);
  }
  if (!rest.empty()) {
    if (rest.front() != ':') return false;
    port = ParsePortNumber(rest.substr(1));
    if (port == 0) return false;
  }
  return true;
}

// A host as compared: lower case, no trailing dot.
std::string Normalised(std::string_view host) {
  std::string h = LowerCase(host);
  while (!h.empty() && h.back() == '.') h.pop_back();
  return h;
}

// The four bytes of a dotted quad; false when the text is not one.
bool ParseIPv4(std::string_view s, unsigned char out[4]) {
  int part = 0;
  size_t i = 0;
  for (; part < 4; ++part) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    int value = 0, digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 4) {
      value = value * 10 + (s[i++] - '0');
      ++digits;
    }
    if (value > 255 || digits > 3) return false;
    out[part] = static_cast<unsigned char>(value);
    if (part < 3) {
      if (i >= s.size() || s[i] != '.') return false;
      ++i;
    }
  }
  return i == s.size();
}

// One no_proxy entry against a normalised host.
bool EntryExempts(std::string_view entry, const std::string& host, int port) {
  if (entry == "*") return true;
  // A block of IPv4 addresses.
  if (const size_t slash = entry.find('/'); slash != std::string_view::npos) {
    unsigned char net[4], addr[4];
    const std::string_view bits_text = entry.substr(slash + 1);
    if (bits_text.empty() || bits_text.size() > 2) return false;
    int bits = 0;
    for (char c : bits_text) {
      if (c < '0' || c > '9') return false;
      bits = bits * 10 + (c - '0');
    }
    if (bits > 32 || !ParseIPv4(entry.substr(0, slash), net) || !ParseIPv4(host, addr)) {
      return false;
    }
    for (int i = 0; i < 4 && bits > 0; ++i, bits -= 8) {
      const unsigned mask = bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu;
      if ((net[i] & mask) != (addr[i] & mask)) return false;
    }
    return true;
  }
  std::string name;
  int entry_port = 0;
  if (!SplitHostPort(entry, name, entry_port)) {
    // An IPv6 address without brackets (several colons) names that address, any port.
    if (std::count(entry.begin(), entry.end(), ':') < 2) return false;
    name = std::string(entry);
    entry_port = 0;
  }
  if (entry_port != 0 && entry_port != port) return false;
  while (!name.empty() && name.front() == '.') name.erase(0, 1);
  name = Normalised(name);
  if (name.empty()) return false;
  if (host == name) return true;
  unsigned char ignored[4];
  if (ParseIPv4(name, ignored) || name.find(':') != std::string::npos) return false;
  return host.size() > name.size() && host.compare(host.size() - name.size(), name.size(), name) == 0 &&
         host[host.size() - name.size() - 1] == '.';
}

const char* SchemeOf(TProxyKind kind) {
  switch (kind) {
    case TProxyKind::Http:
      return "http";
    case TProxyKind::Socks4:
      return "socks4";
    case TProxyKind::Socks4a:
      return "socks4a";
    case TProxyKind::Socks5:
      return "socks5";
    case TProxyKind::Socks5h:
      return "socks5h";
  }
  return "http";
}

const char* SystemGetEnv(const char* name) { return std::getenv(name); }

}  // namespace

std::string TProxyServer::Name() const {
  const bool v6 = Host.find(':') != std::string::npos;
  return std::string(SchemeOf(Kind)) + "://" + (User.empty() ? "" : User + "@") +
         (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

std::optional<TProxyServer> ParseProxyUrl(const std::string& text, std::string* why) {
  auto refuse = [why](std::string reason) -> std::optional<TProxyServer> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  std::string_view s = TrimView(text);
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ' ') {
      return refuse("a proxy URL holds no blank or control character");
    }
  }
  TProxyServer server;
  if (const size_t sep = s.find("://"); sep != std::string_view::npos) {
    const std::string scheme = LowerCase(s.substr(0, sep));
    if (scheme == "http") server.Kind = TProxyKind::Http;
    else if (scheme == "socks4") server.Kind = TProxyKind::Socks4;
    else if (scheme == "socks4a") server.Kind = TProxyKind::Socks4a;
    else if (scheme == "socks5") server.Kind = TProxyKind::Socks5;
    else if (scheme == "socks5h") server.Kind = TProxyKind::Socks5h;
    else {
      // https:// (TLS to the proxy) included: not spoken here.
      return refuse("the proxy scheme \"" + scheme +
                    "\" is not supported (http, socks4, socks4a, socks5 or socks5h)");
    }
    s.remove_prefix(sep + 3);
  }
  s = s.substr(0, s.find_first_of("/?#"));
  if (const size_t at = s.rfind('@'); at != std::string_view::npos) {
    const std::string_view userinfo = s.substr(0, at);
    const size_t colon = userinfo.find(':');
    server.User = PercentDecoded(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) server.Password = PercentDecoded(userinfo.substr(colon + 1));
    s.remove_prefix(at + 1);
  }
  int port = 0;
  if (!SplitHostPort(s, server.Host, port)) {
    return refuse("the proxy's port must be a number from 1 to 65535");
  }
  if (server.Host.empty()) return refuse("the proxy URL names no host");
  if (port != 0) server.Port = port;
  return server;
}

bool NoProxyExempts(const std::string& list, const std::string& host, int port) {
  std::string_view h = host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  const std::string target = Normalised(h);
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ',' || IsSpace(list[i]))) ++i;
    size_t j = i;
    while (j < list.size() && list[j] != ',' && !IsSpace(list[j])) ++j;
    if (j > i && EntryExempts(std::string_view(list).substr(i, j - i), target, port)) return true;
    i = j;
  }
  return false;
}

TProxySettings::TSetting TProxySettings::Parse(const std::string& source,
                                               const std::string& value) {
  TSetting setting;
  setting.Source = source;
  setting.Set = !TrimView(value).empty();
  if (setting.Set) setting.Server = ParseProxyUrl(value);
  return setting;
}

TProxySettings TProxySettings::FromEnvironment(const TGetEnv& getenv) {
  auto get = [&](const char* name) -> std::string {
    const char* v = getenv ? getenv(name) : SystemGetEnv(name);
    return v != nullptr ? std::string(v) : std::string();
  };
  // The first of the names that is set and not empty, with the name it came from.
  auto first = [&](std::initializer_list<const char*> names) -> std::pair<std::string, std::string> {
    for (const char* name : names) {
      std::string v = get(name);
      if (!TrimView(v).empty()) return {name, v};
    }
    return {};
  };
  const auto all = first({"all_proxy", "ALL_PROXY"});
  auto http = first({"http_proxy"});
  auto https = first({"https_proxy", "HTTPS_PROXY"});
  if (http.first.empty()) http = all;
  if (https.first.empty()) https = all;
  TProxySettings settings;
  settings.http_ = Parse(http.first, http.second);
  settings.https_ = Parse(https.first, https.second);
  settings.no_proxy_ = first({"no_proxy", "NO_PROXY"}).second;
  return settings;
}

TProxySettings TProxySettings::ForQuery(const std::string& url, const TGetEnv& getenv) {
  TProxySettings settings = FromEnvironment(getenv);
  if (TrimView(url).empty()) return settings;
  settings.http_ = settings.https_ = Parse("--proxy", url);
  return settings;
}

TProxyRoute TProxySettings::RouteFor(const std::string& scheme, const std::string& host,
                                     int port) const {
  TProxyRoute route;
  const TSetting& setting = SameText(scheme, "https") ? https_ : http_;
  if (!setting.Set || NoProxyExempts(no_proxy_, host, port)) return route;
  if (setting.Server) route.Proxy = setting.Server;
  else route.Unusable = "Unusable proxy setting (" + setting.Source + ")";
  return route;
}

void ApplyProxy(TNetCustomHTTP& http, const TProxyServer& proxy) {
  if (proxy.Kind == TProxyKind::Http) {
    TNetProxyConnectionInfo& params = http.ProxyParams();
    params.SetProxyServer(proxy.Host);
    params.SetProxyPort(proxy.Port);
    params.SetProxyUsername(proxy.User);
    params.SetProxyPassword(proxy.Password);
    params.SetBasicAuthentication(!proxy.User.empty());
    return;
  }
  // The client connects through its socket handler; one is made here when it has none yet.
  if (http.IOHandler() == nullptr) http.AdoptIOHandler(std::make_unique<TNetIOHandlerSocket>());
  auto* socket = dynamic_cast<TNetIOHandlerSocket*>(http.IOHandler());
  if (socket == nullptr) throw ENetSocksError("No socket to reach the proxy through.");
  TNetSocksInfo& socks = *socket->SocksInfo();
  switch (proxy.Kind) {
    case TProxyKind::Socks4:
      socks.SetVersion(svSocks4);
      break;
    case TProxyKind::Socks4a:
      socks.SetVersion(svSocks4A);
      break;
    case TProxyKind::Socks5:
    case TProxyKind::Socks5h:
      socks.SetVersion(svSocks5);
      break;
    case TProxyKind::Http:
      break;
  }
  socks.SetResolveLocally(proxy.Kind == TProxyKind::Socks5);
  socks.SetHost(proxy.Host);
  socks.SetPort(proxy.Port);
  socks.SetUsername(proxy.User);
  socks.SetPassword(proxy.Password);
  socks.SetAuthentication(proxy.User.empty() ? saNoAuthentication : saUsernamePassword);
}

void ApplyProxy(TNetCustomHTTP& http, const std::optional<TProxyServer>& proxy) {
  TNetProxyConnectionInfo& params = http.ProxyParams();
  params.SetProxyServer("");
  params.SetProxyUsername("");
  params.SetProxyPassword("");
  params.SetBasicAuthentication(false);
  if (auto* socket = dynamic_cast<TNetIOHandlerSocket*>(http.IOHandler())) {
    socket->SocksInfo()->SetVersion(svNoSocks);
  }
  if (proxy) ApplyProxy(http, *proxy);
}
