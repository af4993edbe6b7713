// The query layer's text operations: cutting values out of result pages, extraction rules,
// and the page fetcher. All texts are GBK byte strings; positions are 1-based.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include <functional>
#include <vector>

#include "query/Outcome.h"
#include "query/ProxyRoute.h"
#include "runtime/CodePage.h"
#include "runtime/Exception.h"
#include "services/ServiceTable.h"

// The bytes between the first `start` delimiter and the next `end` after it; "0" when the page
// is empty, or start or end occurs nowhere in it; empty when end follows start directly or
// occurs only before it.
std::string TextBetween(const std::string& page, const std::string& start, const std::string& end);
// The bytes between the first `start` and the next `end` after it; nothing when either is not
// found there (or is empty). TextBetween without its "0" and "" stand-ins.
std::optional<std::string> FindBetween(const std::string& page, const std::string& start,
                                       const std::string& end);
// The text itself when its trimmed bytes are only digits and commas, otherwise "0".
std::string DigitsOnly(const std::string& text);
// Text without one trailing copy of suffix (letter case ignored, never starting on a trail byte).
std::string TrimSuffix(const std::string& text, const std::string& suffix);
// ReplaceAll (every occurrence replaced, case ignored): runtime/CodePage.h.

// Runs an extraction rule ("[velmora]", "(*)", "[参数]" placeholders) over page and returns the
// captured text; never raises. all_matches == 1 collects every match, joined by separator.
std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char all_matches = 0, const std::string& separator = "|||",
                          bool template_mode = false, const std::string& template_rule = "",
                          const std::string& output_template = "");
// ExtractByRule's first match; `error_code` gets the code of the engine's error that ended the
// search (1017: out of steps), 0 when none did.
std::string ExtractByRule(const std::string& page, const std::string& rule, int* error_code);

// Spaces the requests a fetch sends. Begin is called before each request goes out (the first and
// every redirect) with a URL naming its server, and may wait; End when that request's answer has
// been read or it failed. A fetch holds at most one request between Begin and End. Called from
// many workers at once.
class TRequestPacing {
 public:
  virtual ~TRequestPacing() = default;
  virtual void Begin(const std::string& url) = 0;
  virtual void End(const std::string& url) = 0;
};

// What every request of a query sends as its user agent, and the read (and connect) time-out
// that bounds each of them.
inline constexpr const char* kQueryUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
inline constexpr int kQueryReadTimeoutMs = 20000;
// The largest page body GetPage takes (8 MiB); a longer one is a failed fetch.
inline constexpr int64_t kQueryMaxPageBytes = int64_t{8} << 20;

// One step of ApplyRules as it happened: which list (0 = the first, then the fallbacks), which
// step, and the text after it; `found` is false where the step found nothing and ended the list.
struct TStepTrace {
  size_t List = 0;
  size_t Step = 0;
  bool Found = true;
  bool OverBudget = false;  // a rule found nothing because its search ran out of steps
  std::string Text;
};
// Runs each step list over page in turn (the first, then the fallbacks) and returns the first
// non-empty value one of them finds; nothing when none does. A list ends without a value where
// a delimiter or a rule finds nothing or DigitsOnly meets something that is not a number.
// site_name fills TStepKind::BetweenSite's start. `trace`, when set, sees every step.
std::optional<std::string> ApplyRules(const std::string& page, const std::vector<TStepList>& rules,
                                      const std::string& site_name,
                                      const std::function<void(const TStepTrace&)>& trace = {});

// Fetches one page with an HTTP GET and returns its text converted by mode (a TFetchMode's
// number; any other value reads as Raw), or the failure text on any failure.
std::string GetPage(const std::string& url, const std::string& cookie, int mode);
// The fetch mode a number names; Raw for a number that names none.
inline TFetchMode FetchModeOf(int mode) {
  switch (mode) {
    case 1:
    case 2:
    case 4:
      return static_cast<TFetchMode>(mode);
    default:
      return TFetchMode::Raw;
  }
}
// How FetchPage goes about a fetch.
class TNetConnectionPool;
struct TFetchOptions {
  // Bounds the connect and every read; twice it bounds the whole fetch (WholeFetchDeadlineMs).
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  // The query's stop request: set before the fetch begins, nothing is sent and the outcome is
  // TFetchEnd::Stopped; set while the fetch is under way, it ends at its next step as stopped.
  const std::atomic<bool>* Stop = nullptr;
  // Spaces the requests to each server (not owned; null: no pacing).
  TRequestPacing* Pacing = nullptr;
  // The query's proxies (not owned; null: straight to every server). The route is chosen for
  // the URL asked and again for every redirect. A proxy that cannot be reached, or a setting
  // that is not a usable proxy URL, ends the fetch as TFetchEnd::ProxyFailed.
  const TProxySettings* Proxies = nullptr;
  // The query's idle kept-alive connections (not owned; null: every fetch connects afresh). A
  // fetch takes one bound for its server and route when there is one, and gives its own back
  // when it may carry another request.
  TNetConnectionPool* Pool = nullptr;
};
// GetPage with how the fetch ended beside the text (the failure text when it failed). Never
// raises.
TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                      const TFetchOptions& options = {});
class TNetCustomHTTP;
class TNetURI;
// Runs fetch() (which asks `http` for url) under `pacing`: each request, redirects included,
// between a Begin and an End. Without pacing, just fetch().
void PacedRequests(TNetCustomHTTP& http, const std::string& url, TRequestPacing* pacing,
                   const std::function<void()>& fetch);
// The query's proxy could not be reached, or the setting that applies is not a usable proxy
// URL (a fetch then ends as TFetchEnd::ProxyFailed).
class EProxyFailed : public Exception {
 public:
  using Exception::Exception;
};
// The redirects of a fetch did not end within the client's limit; the message is the chain of
// URLs, up to where it loops.
class ETooManyRedirects : public Exception {
 public:
  using Exception::Exception;
};
// The route `proxies` choose for url; straight when proxies is null.
TProxyRoute ProxyRouteFor(const std::string& url, const TProxySettings* proxies);
TProxyRoute ProxyRouteFor(const TNetURI& target, const TProxySettings* proxies);
// Runs fetch() (which asks `http` for url, following redirects) with each request along the
// route `proxies` choose for its own server (null: straight to every server), the first and
// every redirect alike. Raises EProxyFailed for an unusable setting (before that request is
// sent) and for a proxy that cannot be reached, and ETooManyRedirects when the client's
// redirect limit ended the chain.
void RoutedRequests(TNetCustomHTTP& http, const std::string& url, const TProxySettings* proxies,
                    const std::function<void()>& fetch);
// uri's port, or its scheme's default (443 for https, else 80) when it names none; 0 for a port
// that is not one (outside 1..65535, or not all digits).
int ServerPort(const TNetURI& uri);
// The whole-fetch deadline (connects, reads and redirects together) for a read time-out: twice
// that time-out; the client's own default for no read time-out (0 or less).
int WholeFetchDeadlineMs(int read_timeout_ms);
// The pool key of a connection to uri's server along `route`: scheme, host, port and proxy.
std::string ConnectionPoolKey(const TNetURI& uri, const TProxyRoute& route);
// Inside a catch block: fills in how the exception being handled ended a fetch (its End,
// HttpStatus and Detail).
void RecordFetchFailure(TFetchOutcome& outcome);

// Page bytes as the fetcher hands them on for `mode`: GBK text. Declared finds the encoding as
// browsers do: a UTF-8 byte-order mark, else the charset of `content_type` (the Content-Type
// header), else the first meta element in the first 1024 bytes that declares one (charset=,
// quoted or not, or http-equiv="Content-Type" with a content naming it); utf-8/utf8 give Utf8,
// big5/big5-hkscs Big5, gbk/gb2312/gb18030 and anything unrecognised Raw (letter case ignored).
std::string PageByMode(const std::string& page, TFetchMode mode,
                       const std::string& content_type = "");
// A page taken as UTF-8, in GBK, without a leading byte-order mark. Each invalid or cut-short
// sequence becomes one "?" (the code page's default character: GBK has no replacement
// character) and the rest of the page is read on; so does any character GBK lacks.
std::string Utf8PageToGbk(const std::string& page);

// "网页无法访问" in GBK: what GetPage returns when the fetch fails.
const std::string& FailureText();
