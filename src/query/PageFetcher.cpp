#include "query/PageFetcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>

#include "http/NetContentDecoder.h"
#include "http/NetHTTP.h"
#include "query/PageEncoding.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"
#include "transport/NetException.h"
#include "transport/NetResolver.h"

const std::string& FailureText() {
  // Built once; never destroyed, so a worker finishing during exit still finds it.
  static const std::string* const text = new std::string(Gbk(u8"网页无法访问"));
  return *text;
}


void RecordFetchFailure(TFetchOutcome& outcome) {
  outcome.End = FetchEndOfFailure(outcome.HttpStatus, outcome.Detail);
}

TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                      const TFetchOptions& options) {
  const std::atomic<bool>* stop = options.Stop;
  TPageResult result;
  TFetchOutcome& outcome = result.Outcome;
  outcome.Url = url;
  const auto started = std::chrono::steady_clock::now();
  auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
  if (stopped()) {
    outcome.End = TFetchEnd::Stopped;
    result.Text = FailureText();
    return result;
  }
  std::optional<TNetFetchSession> own;  // a fetch without a run's session: straight, unpaced
  TNetFetchSession& session = options.Session ? *options.Session : own.emplace();
  TNetFetchRequest request;
  request.ReadTimeoutMs = options.ReadTimeoutMs;
  request.MaxBodyBytes = kQueryMaxPageBytes;  // eleven workers hold several copies of a page
  request.UserAgent = kQueryUserAgent;
  request.Referer = url;
  request.Cookie = cookie;
  if (stop != nullptr) request.Stopped = stopped;
  for (const THeader& h : options.Request.Headers) request.Headers.emplace_back(h.Name, h.Value);
  request.FirstVisit = options.Request.FirstVisit;
  TNetFetchAnswer answer;
  try {
    result.Text = session.Get(url, request, answer);
    outcome.End = TFetchEnd::Fetched;
    outcome.Bytes = static_cast<int64_t>(result.Text.size());
    result.Text = PageByMode(result.Text, mode, answer.ContentType);
  } catch (...) {
    RecordFetchFailure(outcome);
    // Whatever ends a fetch after the query was stopped, the stop ended it.
    if (stopped()) outcome.End = TFetchEnd::Stopped;
    result.Text = FailureText();
  }
  if (outcome.HttpStatus == 0 && outcome.End != TFetchEnd::Stopped) {
    outcome.HttpStatus = answer.Status;
  }
  if (outcome.Fetched()) outcome.FinalUrl = answer.FinalUrl;
  outcome.WireBytes = answer.WireBytes;
  outcome.ElapsedMs = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - started)
                                                .count());
  return result;
}

std::string GetPage(const std::string& url, const std::string& cookie, int mode) {
  return FetchPage(url, cookie, FetchModeOf(mode)).Text;
}
