#include "audit/AuditFetch.h"

#include <algorithm>
#include <string_view>

#include "http/NetFetchEnd.h"
#include "http/NetHTTP.h"
#include "runtime/Classes.h"

std::string AuditFailureWord(std::string& detail) {
  int status = 0;
  const TFetchEnd end = FetchEndOfFailure(status, detail);
  // The socket layer's own wording ("Socket Error # 11001\r\nHost not found.") is not the
  // user's: where the word says it all the detail goes, else it is put in the user's terms.
  static constexpr std::string_view kSocketError = "Socket Error # ";
  if (detail.rfind(kSocketError, 0) == 0) {
    if (end == TFetchEnd::OtherFailure) {
      const size_t brk = detail.find_first_of("\r\n");
      const std::string code = detail.substr(kSocketError.size(), brk - kSocketError.size());
      const size_t text = detail.find_first_not_of("\r\n", brk);
      detail = "网络错误 " + code +
               (text == std::string::npos ? std::string() : "：" + detail.substr(text));
    } else {
      detail.clear();
    }
  }
  switch (end) {
    case TFetchEnd::HttpStatus:
      return "HTTP " + std::to_string(status);
    case TFetchEnd::TlsRefused:
      return detail.find("timed out") != std::string::npos ? "安全连接超时" : "安全连接失败";
    default:
      return std::string(FetchEndWord(end));
  }
}

TAuditPage AuditFetchPage(TNetFetchSession& session, const std::string& url,
                          const TAuditFetchOptions& options, const TAuditFetchContext& context) {
  TAuditPage page;
  page.Url = url;
  const int left = context.Deadline.WaitMs();
  if (context.Deadline.Limited() && left <= 0) {
    page.Failure = "超出检查时限";
    return page;
  }
  TNetFetchRequest request;
  // No single wait and no whole GET outlasts the check-up.
  request.ReadTimeoutMs =
      context.Deadline.Limited() ? std::min(context.ReadTimeoutMs, left) : context.ReadTimeoutMs;
  if (context.Deadline.Limited()) request.WholeDeadlineMs = left;
  request.MaxBodyBytes = options.MaxBodyBytes;
  request.UserAgent = context.UserAgent;
  request.Stopped = context.Stopped;
  request.FollowRedirects = options.FollowRedirects;
  request.AcceptCompression = options.AcceptCompressed;
  request.PooledConnection = !options.FreshConnection;
  request.VerifyCertificate = context.VerifyCertificate;
  TNetFetchDetails details;
  TNetFetchAnswer answer;
  answer.Details = &details;
  TMemoryStream body;
  try {
    session.Get(url, request, answer, body);
    page.Answered = true;
  } catch (...) {
    page.Failure = AuditFailureWord(page.Detail);
    try {
      throw;
    } catch (const ENetHTTPProtocolException& e) {
      // An unsuccessful status is an answer like any other for the checks.
      if (e.ReplyCode() >= 100) {
        page.Answered = true;
        body.Clear();
        body.WriteString(e.ErrorBody());
      }
    } catch (const ENetHTTPLimitExceeded& e) {
      // A body past the cap: what came up to it is kept, and the page says it was cut.
      if (e.Message() == kNetResponseBodyTooLarge && answer.Status != 0) {
        page.Answered = true;
        page.BodyCut = true;
      }
    } catch (const ENetSSLProtocolReplyError& e) {
      if (e.ReplyCode() != 0) page.CertProblem = e.Message();
    } catch (...) {
    }
    if (page.Answered) {
      page.Failure.clear();
      page.Detail.clear();
    }
    // Whatever ended the fetch once the check-up's time was up, the time ended it.
    if (!page.Answered && context.Deadline.Passed()) page.Failure = "超出检查时限";
  }
  page.Status = answer.Status;
  page.FinalUrl = answer.FinalUrl.empty() ? url : answer.FinalUrl;
  page.Headers = std::move(details.Headers);
  page.Redirects = std::move(details.Redirects);
  page.Body = body.DataString();
  page.WireBytes = details.BodyWireBytes;
  page.DnsMs = details.DnsMs;
  page.ConnectMs = details.ConnectMs;
  page.TlsMs = details.TlsMs;
  page.FirstByteMs = details.FirstByteMs;
  page.TotalMs = details.TotalMs;
  page.TlsVersion = details.TlsVersion;
  page.CertIssuer = details.CertIssuer;
  page.CertNotAfterUnix = details.CertNotAfterUnix;
  return page;
}
