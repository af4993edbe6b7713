#include "query/UseFunction.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>

#include "cookies/NetCookieManager.h"
#include "encoding/BIG5_GB2312.h"
#include "http/NetConnectionPool.h"
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

// One step over text; false where it finds nothing.
bool ApplyStep(const TStep& step, const std::string& siteName, std::string& text) {
  switch (step.Kind) {
    case skBetween:
    case skBetweenSite: {
      const auto between = step.Kind == skBetween
                               ? FindBetween(text, step.A, step.B)
                               : FindBetween(text, step.A + siteName + step.B, step.C);
      if (!between) return false;
      text = *between;
      return true;
    }
    case skRemove:
      text = ReplaceAll(text, step.A, "");
      return true;
    case skDigitsOnly:
      return OnlyDigitsAndCommas(Trim(text));
    case skRule:
      text = ExtractByRule(text, step.A);
      return !text.empty();
    case skAppend:
      text += step.A;
      return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> ApplyRules(const std::string& page, const std::vector<TStepList>& rules,
                                      const std::string& siteName,
                                      const std::function<void(const TStepTrace&)>& trace) {
  for (size_t list = 0; list < rules.size(); ++list) {
    std::string text = page;
    bool found = true;
    for (size_t step = 0; step < rules[list].size() && found; ++step) {
      found = ApplyStep(rules[list][step], siteName, text);
      if (trace) trace(TStepTrace{list, step, found, found ? text : std::string()});
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

// The first meta element that declares a charset; its group is the charset's name.
constexpr const char* kCharsetPattern =
    "<meta[^\\<\\>]+charset=([^\\<\\>\\\"\\'\\s]+)[^\\<\\>]*\\>";

// The fetch mode a page's own charset declaration asks for: 1 for UTF-8, 2 for Big5, else 0.
int ModeFromDeclaration(const std::string& page) {
  static const std::string pattern = kCharsetPattern;
  std::string charset = LowerCase(ExtractByRule(page, pattern));
  if (charset.find("utf") != std::string::npos) return 1;
  if (charset.find("big") != std::string::npos) return 2;
  return 0;
}

}  // namespace

std::string PageByMode(const std::string& page, int mode) {
  if (mode == 4) mode = ModeFromDeclaration(page);
  if (mode == 1) return Utf8PageToGbk(page);
  if (mode == 2) return Big5ToGB2312(page);
  return page;
}

std::string Utf8PageToGbk(const std::string& page) {
  std::string out;
  out.reserve(page.size());
  const auto* p = reinterpret_cast<const unsigned char*>(page.data());
  const size_t n = page.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i++];
    if (b < 0x80) {
      out += static_cast<char>(b);
      continue;
    }
    const bool four = (b & 0xF8) == 0xF0;
    const int further = four ? 3 : (b & 0x20) ? 2 : 1;
    uint32_t ch = b & 0x3F;
    for (int k = 0; k < further; ++k, ++i) {
      if (i >= n || p[i] < 0x80 || p[i] > 0xBF) return std::string();
      ch = (ch << 6) | (p[i] & 0x3F);
    }
    if (four) out += '?';
    else AppendUcs2AsGbk(static_cast<char16_t>(ch & 0xFFFF), out);
  }
  return out;
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
      return feHostNotFound;
    case 10061:
      return feRefused;
    case 10054:
    case 10053:
      return feReset;
    case 10060:
      return feConnectTimeout;
    default:
      return feOtherFailure;
  }
}

// How `e` ended a fetch; an HTTP status goes to `status`.
TFetchEnd EndOf(const Exception& e, int& status) {
  if (auto* http = dynamic_cast<const ENetHTTPProtocolException*>(&e)) {
    status = http->ReplyCode();
    return feHttpStatus;
  }
  if (dynamic_cast<const ENetSSLProtocolReplyError*>(&e)) return feTlsRefused;
  if (dynamic_cast<const ENetHTTPLimitExceeded*>(&e)) return feTooLarge;
  if (dynamic_cast<const ENetResolveTimeout*>(&e)) return feResolveTimeout;
  if (dynamic_cast<const ENetConnectTimeout*>(&e)) return feConnectTimeout;
  if (dynamic_cast<const ENetReadTimeout*>(&e)) return feReadTimeout;
  if (dynamic_cast<const ENetSocksError*>(&e) || dynamic_cast<const EProxyFailed*>(&e)) {
    return feProxyFailed;
  }
  if (auto* socket = dynamic_cast<const ENetSocketError*>(&e)) {
    return EndOfSocketError(socket->ErrorCode());
  }
  if (auto* connect = dynamic_cast<const ENetConnectException*>(&e)) {
    return EndOfSocketError(connect->ErrorCode());
  }
  // The server hung up before the answer was complete.
  if (dynamic_cast<const ENetConnClosedGracefully*>(&e)) return feReset;
  return feOtherFailure;
}

}  // namespace

void RecordFetchFailure(TFetchOutcome& outcome) {
  try {
    throw;
  } catch (const EFetchStopped&) {
    outcome.End = feStopped;
  } catch (const Exception& e) {
    outcome.End = EndOf(e, outcome.HttpStatus);
    outcome.Detail = e.Message();
  } catch (const std::exception& e) {
    outcome.End = feOtherFailure;
    outcome.Detail = e.what();
  } catch (...) {
    outcome.End = feOtherFailure;
  }
}

void PacedRequests(TNetCustomHTTP& http, const std::string& url, TRequestPacing* pacing,
                   const std::function<void()>& fetch) {
  if (pacing == nullptr) {
    fetch();
    return;
  }
  std::string asked = url;  // the server of the request under way
  http.OnRedirect = [&](TNetCustomHTTP* sender, std::string& dest, int&, bool&, TNetHTTPMethod&) {
    // The redirect's answer has been read: the next request goes to where it points.
    TNetURI next(dest);
    if (next.Host.empty()) next = sender->CurrentURI();  // relative: the same server
    pacing->End(asked);
    asked = next.Protocol + "://" + next.Host + (next.Port.empty() ? "" : ":" + next.Port) + "/";
    pacing->Begin(asked);
  };
  pacing->Begin(asked);
  try {
    fetch();
  } catch (...) {
    pacing->End(asked);
    throw;
  }
  pacing->End(asked);
}

int ServerPort(const TNetURI& uri) {
  if (!uri.Port.empty()) return StrToIntDef(uri.Port, 0);
  return SameText(uri.Protocol, "https") ? 443 : 80;
}

TProxyRoute ProxyRouteFor(const std::string& url, const TProxySettings* proxies) {
  if (proxies == nullptr) return {};
  const TNetURI target(url);
  return proxies->RouteFor(target.Protocol, target.Host, ServerPort(target));
}

std::string ConnectionPoolKey(const TNetURI& uri, const TProxyRoute& route) {
  return LowerCase(uri.Protocol) + "://" + LowerCase(uri.Host) + ":" +
         std::to_string(ServerPort(uri)) + " " + (route.Proxy ? route.Proxy->Name() : "direct");
}

void RoutedRequests(TNetCustomHTTP& http, const std::string& url, const TProxyRoute& route,
                    const std::function<void()>& fetch) {
  const TNetURI target(url);
  // A setting the user made that cannot be used is no reason to go around it.
  if (!route.Unusable.empty()) throw EProxyFailed(route.Unusable);
  if (!route.Proxy) {
    fetch();
    return;
  }
  ApplyProxy(http, *route.Proxy);
  if (route.Proxy->Kind == TProxyKind::Socks4 || route.Proxy->Kind == TProxyKind::Socks5) {
    // These look the server's name up here, after the connect to the proxy; looked up first,
    // a name that does not resolve is the server's failure, not the proxy's.
    NetResolveHost(target.Host, TNetDeadline::ForConnect(http.ReadTimeout()));
  }
  try {
    fetch();
  } catch (...) {
    // Every connect goes to the proxy (the server's own failures come back through it): one
    // that fails failed to reach the proxy.
    TFetchOutcome seen;
    RecordFetchFailure(seen);
    if (seen.End == feRefused || seen.End == feHostNotFound || seen.End == feConnectTimeout ||
        seen.End == feResolveTimeout) {
      throw EProxyFailed("Proxy " + route.Proxy->Name() + ": " + seen.Detail);
    }
    throw;
  }
}

TPageResult FetchPage(const std::string& url, const std::string& cookie, int mode,
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
    outcome.End = feStopped;
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
      options.Pool->Give(ConnectionPoolKey(http->CurrentURI(), route), http->ReleaseConnection());
    } catch (...) {
    }
  };
  try {
    RoutedRequests(*http, url, route, [&] {
      PacedRequests(*http, url, options.Pacing, [&] {
        result.Text = http->Get(url);
        give_back();
      });
    });
    outcome.End = feFetched;
    outcome.HttpStatus = http->ResponseCode();
    outcome.FinalUrl = http->CurrentURI().ComposedURI();
    outcome.Bytes = static_cast<int64_t>(result.Text.size());
    result.Text = PageByMode(result.Text, mode);
  } catch (...) {
    RecordFetchFailure(outcome);
    // Whatever ends a fetch after the query was stopped, the stop ended it.
    if (stopped()) outcome.End = feStopped;
    if (outcome.HttpStatus == 0 && outcome.End != feStopped) {
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
  return FetchPage(url, cookie, mode).Text;
}

// ---- Extraction rules ----------------------------------------------------------------

namespace {

// "[参数" + one or two digits + "]" in an output template, for ReplaceByPattern.
const std::string& TemplatePlaceholderPattern() {
  static const std::string pattern = "\\[" + Gbk(u8"参数") + "([0-9]{1,2})\\]";
  return pattern;
}

}  // namespace

std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char allMatches, const std::string& separator,
                          bool templateMode, const std::string& templateRule,
                          const std::string& outputTemplate) {
  std::string result;
  if (page.empty()) return result;
  const std::string working = RulePattern(templateMode ? templateRule : rule);
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
      const bool all = allMatches == 1;
      if (!templateMode) {
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
            ReplaceByPattern(TemplatePlaceholderPattern(), outputTemplate, "\\$$1", true);
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
  } catch (...) {
  }
  if (!separator.empty()) result = TrimSuffix(result, separator);
  return result;
}
