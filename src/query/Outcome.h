// How each fetch of a query ended and what each result field holds: a value, or why there is
// none. The window, the command line and the history all read these, so a failure never looks
// like a value ("0 pages" and "could not ask" stay apart).
//
// Plain value types; texts are GBK.
#pragma once

#include <cstdint>
#include <string>

// How one fetch ended.
enum TFetchEnd {
  feFetched,         // the page arrived: HttpStatus, ElapsedMs, FinalUrl
  feHostNotFound,    // the host name did not resolve
  feRefused,         // nobody listens there
  feReset,           // the peer reset the connection
  feConnectTimeout,  // no connection within the time-out
  feReadTimeout,     // the server went silent (or the whole fetch ran out of time)
  feTlsRefused,      // the TLS handshake failed; Detail holds the certificate's complaint
  feHttpStatus,      // an unsuccessful HTTP status: HttpStatus
  feTooLarge,        // the body passed the size cap
  feStopped,         // the user stopped the query first
  feProxyFailed,     // the proxy could not be reached or refused the route
  feOtherFailure,    // anything else; Detail holds the message
  feResolveTimeout,  // the host name lookup did not end within the time-out
};

struct TFetchOutcome {
  TFetchEnd End = feOtherFailure;
  int HttpStatus = 0;      // the last status received, 0 when none arrived
  uint32_t ElapsedMs = 0;  // from the start of the fetch to its end
  std::string Url;         // the URL asked
  std::string FinalUrl;    // where the last redirect led (fetched pages)
  std::string Detail;      // the failure's own message (English, from the network layers)
  int64_t WireBytes = 0;   // bytes received over the connection, heads and redirects included
  int64_t Bytes = 0;       // the page's bytes as decoded (fetched pages)

  bool Fetched() const { return End == feFetched; }
};

// A fetched page (or the failure text) with how the fetch ended.
struct TPageResult {
  std::string Text;
  TFetchOutcome Outcome;
};

// What a result field holds.
enum TFieldState {
  fsPending,   // the query has not reached it yet
  fsValue,     // the page stated a value (a stated "0" is a value)
  fsNoMatch,   // the page came, but without the value's delimiters
  fsBlocked,   // the service answered with a verification or rate-limit page
  fsFailed,    // the fetch failed; Fetch says why
  fsStopped,   // the user stopped the query before the field was fetched
  fsDisabled,  // the service is switched off in the definitions
};

struct TFieldResult {
  TFieldState State = fsPending;
  std::string Text;     // the value shown (GBK); empty unless State is fsValue
  TFetchOutcome Fetch;  // the request behind the field

  bool HasValue() const { return State == fsValue; }
};

// The result of a field whose fetch ended as `fetch` without a value: stopped, blocked or failed.
TFieldResult FailedField(const TFetchOutcome& fetch);

// Whether a fetched page is a verification or rate-limit page rather than results: it asks for
// a captcha or says the client asks too often. Letter case is ignored.
bool LooksBlocked(const std::string& page);
// An HTTP status that services answer with when they refuse a client (403, 429, 503).
bool IsBlockingStatus(int status);

// One short line for a state: "无法访问", "未找到", "被拦截", "已停止", "已停用", "" for a value.
std::string StateWord(TFieldState state);
// Why a fetch failed, in a few words ("连接超时", "HTTP 404", "证书不受信任：...").
std::string FetchReason(const TFetchOutcome& fetch);
// The tooltip of a field: the value's source and time, or the reason, the URL asked, the HTTP
// status and the time taken, one per line. GBK.
std::string FieldTooltip(const TFieldResult& result);
// Elapsed milliseconds as seconds with one decimal: "20.0 秒". GBK.
std::string SecondsText(uint32_t ms);
