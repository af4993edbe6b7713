#include "query/UseFunction.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>

#include "cookies/NetCookieManager.h"
#include "encoding/BIG5_GB2312.h"
#include "http/NetConnectionPool.h"
#include "http/NetContentDecoder.h"
#include "http/NetGlobal.h"
#include "http/NetHTTP.h"
#include "http/NetHTTPTls.h"
#include "regex/RegexEngine.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "transport/NetException.h"
#include "transport/NetResolver.h"
#include "transport/NetStack.h"

// ---- Text helpers: TextBetween, DigitsOnly, TrimSuffix, FailureText -------------------
//
// Pure functions of their arguments: safe on any thread. Total on any bytes.

namespace {

// Every byte of s is a digit or a comma.
bool OnlyDigitsAndCommas(std::string_view s) {
  for (char c : s)
    if (c != ',' && (c < '0' || c > '9')) return false;
  return true;
}

}  // namespace

std::optional<std::string> FindBetween(const std::string& page, const std::string& start,
                                       const std::string& end) {
  if (start.empty() || end.empty()) return std::nullopt;
  const size_t s = page.find(start);
  if (s == std::string::npos) return std::nullopt;
  const size_t from = s + start.size();
  const size_t e = page.find(end, from);
  if (e == std::string::npos) return std::nullopt;
  return page.substr(from, e - from);
}

std::string TextBetween(const std::string& page, const std::string& start, const std::string& end) {
  if (auto between = FindBetween(page, start, end)) return *between;
  // No end after start: an end delimiter that occurs only before a start that is there still
  // counts as present, and that gives the empty text rather than "0".
  if (start.empty() || end.empty()) return "0";
  const bool both = page.find(start) != std::string::npos && page.find(end) != std::string::npos;
  return both ? std::string() : std::string("0");
}

std::string DigitsOnly(const std::string& text) {
  return OnlyDigitsAndCommas(Trim(text)) ? text : std::string("0");
}

std::string TrimSuffix(const std::string& text, const std::string& suffix) {
  if (suffix.empty() || suffix.size() > text.size()) return text;
  const size_t tail = text.size() - suffix.size();
  if (ByteType(text, tail) == mbTrailByte) return text;
  if (!AnsiSameText(std::string_view(text).substr(tail), suffix)) return text;
  return text.substr(0, tail);
}

namespace {

// One step over text; false where it finds nothing (`over_budget`: a rule's search ran out of
// steps).
bool ApplyStep(const TStep& step, const std::string& site_name, std::string& text,
               bool& over_budget) {
  switch (step.Kind) {
    case TStepKind::Between:
    case TStepKind::BetweenSite: {
      const auto between = step.Kind == TStepKind::Between
                               ? FindBetween(text, step.A, step.B)
                               : FindBetween(text, step.A + site_name + step.B, step.C);
      if (!between) return false;
      text = *between;
      return true;
    }
    case TStepKind::Remove:
      text = ReplaceAll(text, step.A, "");
      return true;
    case TStepKind::DigitsOnly:
      return OnlyDigitsAndCommas(Trim(text));
    case TStepKind::Rule: {
      int error = 0;
      text = ExtractByRule(text, step.A, &error);
      over_budget = error == reStepLimitExceeded;
      return !text.empty();
    }
    case TStepKind::Append:
      text += step.A;
      return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> ApplyRules(const std::string& page, const std::vector<TStepList>& rules,
                                      const std::string& site_name,
                                      const std::function<void(const TStepTrace&)>& trace) {
  for (size_t list = 0; list < rules.size(); ++list) {
    std::string text = page;
    bool found = true;
    for (size_t step = 0; step < rules[list].size() && found; ++step) {
      bool over_budget = false;
      found = ApplyStep(rules[list][step], site_name, text, over_budget);
      if (trace) trace(TStepTrace{list, step, found, over_budget, found ? text : std::string()});
    }
    if (found && !text.empty()) return text;
  }
  return std::nullopt;
}

const std::string& FailureText() {
  // Built once; never destroyed, so a worker finishing during exit still finds it.
  static const std::string* const text = new std::string(Gbk(u8"网页无法访问"));
  return *text;
}

// ---- End of text helpers ----------------------------------------------------------------

// ---- The page fetcher ------------------------------------------------------------------
//
// No state between calls: every call makes and frees its own client and cookie manager, so up
// to eleven workers may fetch at once.

namespace {

bool IsHtmlSpace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The fetch mode of an encoding label: Utf8, Big5, or Raw for the GBK family; nothing for any
// other label (the next place that may name the encoding is asked then). Blanks around it and
// letter case do not count.
std::optional<TFetchMode> ModeOfLabel(std::string_view label) {
  constexpr TFetchMode kUtf8 = TFetchMode::Utf8, kGbk = TFetchMode::Raw, kBig5 = TFetchMode::Big5;
  static const std::pair<std::string_view, TFetchMode> kLabels[] = {
      {"utf-8", kUtf8},
      {"utf8", kUtf8},
      {"unicode-1-1-utf-8", kUtf8},
      {"unicode11utf8", kUtf8},
      {"unicode20utf8", kUtf8},
      {"x-unicode20utf8", kUtf8},
      {"gbk", kGbk},
      {"gb2312", kGbk},
      {"gb18030", kGbk},
      {"gb_2312", kGbk},
      {"gb_2312-80", kGbk},
      {"chinese", kGbk},
      {"csgb2312", kGbk},
      {"csiso58gb231280", kGbk},
      {"iso-ir-58", kGbk},
      {"x-gbk", kGbk},
      {"big5", kBig5},
      {"big5-hkscs", kBig5},
      {"cn-big5", kBig5},
      {"csbig5", kBig5},
      {"x-x-big5", kBig5},
  };
  while (!label.empty() && IsHtmlSpace(label.front())) label.remove_prefix(1);
  while (!label.empty() && IsHtmlSpace(label.back())) label.remove_suffix(1);
  const std::string lower = LowerCase(label);
  for (const auto& [name, mode] : kLabels) {
    if (lower == name) return mode;
  }
  return std::nullopt;
}

// The value of the first "charset=" in a Content-Type value or a meta element's content (quoted
// or not; blanks around "=" allowed); nothing when there is none.
std::optional<std::string> CharsetInContent(std::string_view value) {
  const std::string text = LowerCase(value);
  size_t i = 0;
  for (;;) {
    const size_t at = text.find("charset", i);
    if (at == std::string::npos) return std::nullopt;
    i = at + 7;
    while (i < text.size() && IsHtmlSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    while (i < text.size() && IsHtmlSpace(text[i])) ++i;
    if (i >= text.size()) return std::nullopt;
    if (text[i] == '"' || text[i] == '\'') {
      const size_t close = text.find(text[i], i + 1);
      if (close == std::string::npos) return std::nullopt;
      return text.substr(i + 1, close - i - 1);
    }
    const size_t end = text.find_first_of("\t\n\f\r ;", i);
    return text.substr(i, end == std::string::npos ? std::string::npos : end - i);
  }
}

struct THtmlAttribute {
  std::string Name;   // lower case
  std::string Value;  // lower case, without its quotes
};

// The attribute of a tag that starts at p, p left after it; nothing at the tag's ">" (p left on
// it) or where the text ends first. Names and unquoted values end at blanks, "/" and ">".
std::optional<THtmlAttribute> NextAttribute(std::string_view s, size_t& p) {
  while (p < s.size() && (IsHtmlSpace(s[p]) || s[p] == '/')) ++p;
  if (p >= s.size() || s[p] == '>') return std::nullopt;
  THtmlAttribute a;
  for (;; ++p) {
    if (p >= s.size()) return std::nullopt;
    const char c = s[p];
    if (c == '=' && !a.Name.empty()) break;
    if (IsHtmlSpace(c)) {
      while (p < s.size() && IsHtmlSpace(s[p])) ++p;
      if (p >= s.size()) return std::nullopt;
      if (s[p] != '=') return a;
      break;
    }
    if (c == '/' || c == '>') return a;
    a.Name += LowerCase(std::string_view(&c, 1));
  }
  ++p;  // the "="
  while (p < s.size() && IsHtmlSpace(s[p])) ++p;
  if (p >= s.size()) return std::nullopt;
  if (s[p] == '"' || s[p] == '\'') {
    const size_t close = s.find(s[p], p + 1);
    if (close == std::string_view::npos) return std::nullopt;
    a.Value = LowerCase(s.substr(p + 1, close - p - 1));
    p = close + 1;
    return a;
  }
  if (s[p] == '>') return a;
  const size_t start = p;
  while (p < s.size() && !IsHtmlSpace(s[p]) && s[p] != '>') ++p;
  if (p >= s.size()) return std::nullopt;
  a.Value = LowerCase(s.substr(start, p - start));
  return a;
}

// The mode of one meta element's attributes (p just after "<meta"): a charset attribute, or a
// content with "charset=" beside http-equiv="content-type"; nothing when it declares nothing
// usable.
std::optional<TFetchMode> MetaElementMode(std::string_view s, size_t& p) {
  std::vector<std::string> seen;
  bool pragma = false;
  std::optional<bool> need_pragma;
  std::optional<std::string> charset;
  while (auto a = NextAttribute(s, p)) {
    if (std::find(seen.begin(), seen.end(), a->Name) != seen.end()) continue;
    seen.push_back(a->Name);
    if (a->Name == "http-equiv") {
      pragma = pragma || a->Value == "content-type";
    } else if (a->Name == "content" && !charset) {
      if ((charset = CharsetInContent(a->Value))) need_pragma = true;
    } else if (a->Name == "charset") {
      charset = a->Value;
      need_pragma = false;
    }
  }
  if (!need_pragma || (*need_pragma && !pragma)) return std::nullopt;
  // A page cannot be read as UTF-16 while its markup is ASCII: it is UTF-8 then.
  if (*charset == "utf-16" || *charset == "utf-16le" || *charset == "utf-16be") {
    return TFetchMode::Utf8;
  }
  return ModeOfLabel(*charset);
}

// The mode the page's own meta elements declare, looked for in its first 1024 bytes past
// comments and other tags' attributes, the first usable one counting; nothing when none does.
std::optional<TFetchMode> PrescanMode(std::string_view page) {
  const std::string_view s = page.substr(0, 1024);
  size_t p = 0;
  for (; p < s.size(); ++p) {
    if (s.compare(p, 4, "<!--") == 0) {
      p = s.find("-->", p + 2);
      if (p == std::string_view::npos) return std::nullopt;
      p += 2;
    } else if (p + 5 < s.size() && SameText(s.substr(p, 5), "<meta") &&
               (IsHtmlSpace(s[p + 5]) || s[p + 5] == '/')) {
      p += 5;
      if (const auto mode = MetaElementMode(s, p)) return mode;
    } else if (s[p] == '<' && p + 1 < s.size() &&
               (IsAsciiLetter(s[p + 1]) ||
                (s[p + 1] == '/' && p + 2 < s.size() && IsAsciiLetter(s[p + 2])))) {
      p = s.find_first_of("\t\n\f\r >", p);
      if (p == std::string_view::npos) return std::nullopt;
      while (NextAttribute(s, p)) {
      }
    } else if (s[p] == '<' && p + 1 < s.size() &&
               (s[p + 1] == '!' || s[p + 1] == '/' || s[p + 1] == '?')) {
      p = s.find('>', p);
      if (p == std::string_view::npos) return std::nullopt;
    }
  }
  return std::nullopt;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The mode of a page that leaves it to the page (Declared), as a browser finds the encoding: a
// UTF-8 byte-order mark, else the charset of the Content-Type header, else the first meta
// declaration; GBK (Raw) when none names one of the three.
TFetchMode SniffedMode(std::string_view page, const std::string& content_type) {
  if (page.substr(0, 3) == kUtf8Bom) return TFetchMode::Utf8;
  if (auto label = CharsetInContent(content_type)) {
    if (const auto mode = ModeOfLabel(*label)) return *mode;
  }
  return PrescanMode(page).value_or(TFetchMode::Raw);
}

}  // namespace

std::string PageByMode(const std::string& page, TFetchMode mode, const std::string& content_type) {
  if (mode == TFetchMode::Declared) mode = SniffedMode(page, content_type);
  if (mode == TFetchMode::Utf8) return Utf8PageToGbk(page);
  if (mode == TFetchMode::Big5) return Big5ToGB2312(page);
  return page;
}

std::string Utf8PageToGbk(const std::string& page) {
  // The byte-order mark only says how the page is written; it is no character of it.
  std::string_view text = page;
  if (text.substr(0, 3) == kUtf8Bom) text.remove_prefix(3);
  return Utf8ToGbk(text);
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
  http->Request().CustomHeaders().SetText("Cookie: " + cookie);
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

std::string GetPage(const std::string& url, const std::string& cookie, int mode) {
  return FetchPage(url, cookie, FetchModeOf(mode)).Text;
}

// ---- Extraction rules ----------------------------------------------------------------

namespace {

// "[参数" + one or two digits + "]" in an output template, for ReplaceByPattern.
const std::string& TemplatePlaceholderPattern() {
  static const std::string pattern = "\\[" + Gbk(u8"参数") + "([0-9]{1,2})\\]";
  return pattern;
}

}  // namespace

namespace {

std::string Extract(const std::string& page, const std::string& rule, unsigned char all_matches,
                    const std::string& separator, bool template_mode,
                    const std::string& template_rule, const std::string& output_template,
                    int* error_code) {
  std::string result;
  if (page.empty()) return result;
  const std::string working = RulePattern(template_mode ? template_rule : rule);
  if (working.empty()) return result;

  // Whatever goes wrong here (an invalid rule, a search that runs out of budget) only ends the
  // extraction; what was collected so far stays.
  try {
    TRegexEngine engine;
    engine.SetExpression(working);
    engine.SetModifier(1, true);  // modifier 1 is i: letter case ignored
    if (engine.Exec(page)) {
      // Chosen once, from the first match: the first group if any group took part.
      const int group = engine.LastMatchedGroup() >= 1 ? 1 : 0;
      const bool all = all_matches == 1;
      if (!template_mode) {
        if (!all) {
          result = engine.MatchText(group);
        } else {
          do {
            result += engine.MatchText(group);
            result += separator;
          } while (engine.ExecNext());
        }
      } else {
        const std::string item_template =
            ReplaceByPattern(TemplatePlaceholderPattern(), output_template, "\\$$1", true);
        if (!all) {
          result = engine.ExpandTemplate(item_template);
        } else {
          const std::string number_placeholder = Gbk(u8"[序号]");
          int64_t counter = 1;
          do {
            result += ReplaceAll(engine.ExpandTemplate(item_template), number_placeholder,
                                 IntToStr(counter));
            result += separator;
            ++counter;
          } while (engine.ExecNext());
        }
      }
    }
  } catch (const ERegexError& e) {
    if (error_code) *error_code = e.Code;
  } catch (...) {
  }
  if (!separator.empty()) result = TrimSuffix(result, separator);
  return result;
}

}  // namespace

std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char all_matches, const std::string& separator, bool template_mode,
                          const std::string& template_rule, const std::string& output_template) {
  return Extract(page, rule, all_matches, separator, template_mode, template_rule, output_template,
                 nullptr);
}

std::string ExtractByRule(const std::string& page, const std::string& rule, int* error_code) {
  if (error_code) *error_code = 0;
  return Extract(page, rule, 0, "|||", false, "", "", error_code);
}
