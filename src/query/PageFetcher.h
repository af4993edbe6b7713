// The page fetcher: one HTTP GET of a result page, with the query's time-outs, stop request,
// pacing, proxies and kept-alive connections, converted to GBK text by the request's fetch mode,
// and how the fetch ended beside it. It never raises: a failure is an outcome (query/Outcome.h)
// with the failure text in place of the page.
//
// Threads: any number of workers fetch at once. What their fetches share (the proxy routes, the
// pacing, the pool of idle connections) is the run's session (http/NetFetchSession), handed in
// through TFetchOptions; the fetcher itself keeps nothing between calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "query/Outcome.h"
#include "http/NetFetchSession.h"
#include "runtime/Exception.h"
#include "services/ServiceTable.h"

// What every request of a query sends as its user agent, and the read (and connect) time-out
// that bounds each of them.
inline constexpr const char* kQueryUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
inline constexpr int kQueryReadTimeoutMs = 20000;
// The largest page body GetPage takes (8 MiB); a longer one is a failed fetch.
inline constexpr int64_t kQueryMaxPageBytes = int64_t{8} << 20;

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
// What a field's request sends beyond its URL (its definition's headers and first visit).
struct TPageRequest {
  // Sent with the request, over the query's own User-Agent and Referer (GBK texts as written).
  std::vector<THeader> Headers;
  // Fetched first, with the same headers; the request then carries the cookies its answer set.
  // "": none.
  std::string FirstVisit;
};
// How FetchPage goes about a fetch.
struct TFetchOptions {
  // Bounds the connect and every read; twice it bounds the whole fetch (WholeFetchDeadlineMs).
  int ReadTimeoutMs = kQueryReadTimeoutMs;
  // The query's stop request: set before the fetch begins, nothing is sent and the outcome is
  // TFetchEnd::Stopped; set while the fetch is under way, it ends at its next step as stopped.
  const std::atomic<bool>* Stop = nullptr;
  // The run's session: its proxy routes, pacing and kept-alive connections (not owned). Null: a
  // session of the fetch's own, straight to every server, unpaced, connecting afresh.
  TNetFetchSession* Session = nullptr;
  // The field's own headers and first visit.
  TPageRequest Request;
};
// GetPage with how the fetch ended beside the text (the failure text when it failed). Never
// raises.
TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                      const TFetchOptions& options = {});
// Inside a catch block: fills in how the exception being handled ended a fetch (its End,
// HttpStatus and Detail).
void RecordFetchFailure(TFetchOutcome& outcome);

// "网页无法访问" in GBK: what GetPage returns when the fetch fails.
const std::string& FailureText();
