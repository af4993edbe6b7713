#include "audit/AuditFetch.h"

#include <algorithm>

#include "http/NetContentDecoder.h"
#include "http/NetGlobal.h"
#include "http/NetHTTP.h"
#include "http/NetURI.h"
#include "runtime/Classes.h"
#include "transport/NetException.h"
#include "transport/NetResolver.h"

namespace {

std::string SocketErrorWord(int code) {
  switch (code) {
    case 11001:
    case 11004:
      return "找不到主机";
    case 10061:
      return "连接被拒绝";
    case 10054:
    case 10053:
      return "连接被重置";
    case 10060:
      return "连接超时";
    default:
      return "网络错误";
  }
}

}  // namespace

std::string AuditFailureWord(std::string& detail) {
  try {
    throw;
  } catch (const ENetFetchStopped&) {
    detail.clear();
    return "已停止";
  } catch (const Exception& e) {
    detail = e.Message();
    if (auto* http = dynamic_cast<const ENetHTTPProtocolException*>(&e)) {
      if (http->ReplyCode() < 100) return "服务器的回应不是有效的 HTTP";
      return "HTTP " + std::to_string(http->ReplyCode());
    }
    if (dynamic_cast<const ETooManyRedirects*>(&e)) return "重定向过多";
    if (dynamic_cast<const ENetURIException*>(&e) || dynamic_cast<const ENetUnknownProtocol*>(&e) ||
        e.Message() == kNetLineBreakInRequest) {
      return "网址无效";
    }
    if (dynamic_cast<const ENetReadLnMaxLineLengthExceeded*>(&e) ||
        dynamic_cast<const EConvertError*>(&e)) {
      return "服务器的回应不是有效的 HTTP";
    }
    if (dynamic_cast<const ENetSSLProtocolReplyError*>(&e)) {
      return e.Message().find("timed out") != std::string::npos ? "安全连接超时" : "安全连接失败";
    }
    if (dynamic_cast<const ENetHTTPLimitExceeded*>(&e)) return "页面过大";
    if (dynamic_cast<const ENetResolveTimeout*>(&e)) return "域名解析超时";
    if (dynamic_cast<const ENetContentDecodingError*>(&e)) return "压缩的页面无法解开";
    if (dynamic_cast<const ENetConnectTimeout*>(&e)) return "连接超时";
    if (dynamic_cast<const ENetReadTimeout*>(&e)) return "读取超时";
    if (dynamic_cast<const ENetSocksError*>(&e) || dynamic_cast<const EProxyFailed*>(&e)) {
      return "代理无法连接";
    }
    if (auto* socket = dynamic_cast<const ENetSocketError*>(&e)) {
      return SocketErrorWord(socket->ErrorCode());
    }
    if (auto* connect = dynamic_cast<const ENetConnectException*>(&e)) {
      return SocketErrorWord(connect->ErrorCode());
    }
    // The server hung up before its answer was complete.
    if (dynamic_cast<const ENetConnClosedGracefully*>(&e)) return "连接被重置";
    return "未知错误";
  } catch (const std::exception& e) {
    detail = e.what();
    return "未知错误";
  } catch (...) {
    detail.clear();
    return "未知错误";
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
