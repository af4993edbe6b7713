// How each fetch of a query ended and what each result field holds: a value, or why there is
// none. The window, the command line and the history all read these, so a failure never looks
// like a value ("0 pages" and "could not ask" stay apart).
//
// Plain value types; texts are GBK.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/NetFetchEnd.h"


struct TFetchOutcome {
  TFetchEnd End = TFetchEnd::OtherFailure;
  int HttpStatus = 0;      // the last status received, 0 when none arrived
  uint32_t ElapsedMs = 0;  // from the start of the fetch to its end
  std::string Url;         // the URL asked
  std::string FinalUrl;    // where the last redirect led (fetched pages)
  std::string Detail;      // the failure's own message (English, from the network layers)
  int64_t WireBytes = 0;   // bytes received over the connection, heads and redirects included
  int64_t Bytes = 0;       // the page's bytes as decoded (fetched pages)

  bool Fetched() const { return End == TFetchEnd::Fetched; }
};

// A fetched page (or the failure text) with how the fetch ended.
struct TPageResult {
  std::string Text;
  TFetchOutcome Outcome;
};

// What a result field holds.
enum class TFieldState {
  Pending,    // the query has not reached it yet
  Value,      // the page stated a value (a stated "0" is a value)
  NoMatch,    // the page came, but without the value's delimiters
  Blocked,    // the service answered with a verification or rate-limit page
  Failed,     // the fetch failed; Fetch says why
  Stopped,    // the user stopped the query before the field was fetched
  Disabled,   // the service is switched off in the definitions
  Retired,    // the service has closed (Note: when): nothing was sent
  KeyNeeded,  // the service needs a key the user has not set (Note: the variable, and why its
              // value is no key when it is set): nothing was sent
};

struct TFieldResult {
  TFieldState State = TFieldState::Pending;
  std::string Text;     // the value shown (GBK); empty unless State is TFieldState::Value
  TFetchOutcome Fetch;  // the request behind the field
  // What the definitions say of a field without a value (GBK): when a retired service closed
  // ("2013-03"), the variable a key is read from ("OPENPAGERANK_KEY"), why an answer has no
  // value ("不在前一百万"); "" when they say nothing.
  std::string Note;

  bool HasValue() const { return State == TFieldState::Value; }
};

// The result of a field whose fetch ended as `fetch` without a value: stopped, blocked or failed.
TFieldResult FailedField(const TFetchOutcome& fetch);

// Whether a fetched page is a verification or rate-limit page rather than results: it asks for
// a captcha or says the client asks too often. Letter case is ignored.
bool LooksBlocked(const std::string& page);
// Whether `text` (a page, or the URL a fetch ended at) holds one of a service's own `markers`
// of its verification page. Letter case is ignored.
bool HoldsMarker(const std::string& text, const std::vector<std::string>& markers);
// Whether a field without a value is one that was never to be asked: switched off, retired, or
// waiting for a key. Such a field has not failed.
bool NotAsked(TFieldState state);
// An HTTP status that services answer with when they refuse a client (403, 429, 503).
bool IsBlockingStatus(int status);

// The words a field's outcome is shown and stored in. The window, the trend dialog, the command
// line and the history all say it with these.
//
// One short line for a state: "无法访问", "未找到", "被拦截", "已停止", "已停用", "需要密钥", ""
// for a value.
std::string StateWord(TFieldState state);
// The outcome of a field as a stable English word for files and programs: "value", "no-match",
// "blocked", "failed", "stopped", "disabled", "pending", "retired", "key-needed".
const char* OutcomeWord(TFieldState state);
// The state an OutcomeWord names; TFieldState::Failed for a word that is none.
TFieldState StateOfOutcomeWord(const std::string& word);
// Why a field has no value, in a few words: "" for a value, else the state's word with the
// fetch's reason where there is one ("无法访问：连接超时", "被拦截（HTTP 403）"), or the note
// ("已停用：服务已于 2013-03 关闭", "需要密钥：设置 NAME", "不在前一百万").
std::string NoValueReason(const TFieldResult& result);
// Why a fetch failed, in a few words ("连接超时", "HTTP 404", "证书不受信任：..."). Never the
// network layers' own English message (Detail), except the URLs of a redirect chain.
std::string FetchReason(const TFetchOutcome& fetch);
// The tooltip of a field: the value's source and time, or the reason, the URL asked, the HTTP
// status and the time taken, one per line. GBK.
std::string FieldTooltip(const TFieldResult& result);
// Elapsed milliseconds as seconds with one decimal: "20.0 秒". GBK.
std::string SecondsText(uint32_t ms);
