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

namespace {

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
  } catch (const ENetFetchStopped&) {
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
