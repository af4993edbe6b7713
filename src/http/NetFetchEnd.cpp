#include "http/NetFetchEnd.h"

#include <exception>

#include "http/NetContentDecoder.h"
#include "http/NetFetchSession.h"
#include "http/NetGlobal.h"
#include "http/NetHTTP.h"
#include "http/NetURI.h"
#include "runtime/Exception.h"
#include "transport/NetException.h"
#include "transport/NetResolver.h"

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

TFetchEnd FetchEndOfFailure(int& status, std::string& detail) {
  try {
    throw;
  } catch (const ENetFetchStopped&) {
    detail.clear();
    return TFetchEnd::Stopped;
  } catch (const Exception& e) {
    detail = e.Message();
    return EndOf(e, status);
  } catch (const std::exception& e) {
    detail = e.what();
    return TFetchEnd::OtherFailure;
  } catch (...) {
    detail.clear();
    return TFetchEnd::OtherFailure;
  }
}

std::string_view FetchEndWord(TFetchEnd end) {
  switch (end) {
    case TFetchEnd::Fetched: return "已取得页面";
    case TFetchEnd::HostNotFound: return "找不到主机";
    case TFetchEnd::Refused: return "连接被拒绝";
    case TFetchEnd::Reset: return "连接被重置";
    case TFetchEnd::ConnectTimeout: return "连接超时";
    case TFetchEnd::ReadTimeout: return "读取超时";
    case TFetchEnd::TlsRefused: return "安全连接失败";
    case TFetchEnd::HttpStatus: return "";
    case TFetchEnd::TooLarge: return "页面过大";
    case TFetchEnd::Stopped: return "已停止";
    case TFetchEnd::ProxyFailed: return "代理无法连接";
    case TFetchEnd::TooManyRedirects: return "重定向过多";
    case TFetchEnd::BadAnswer: return "服务器的回应不是有效的 HTTP";
    case TFetchEnd::BadUrl: return "网址无效";
    case TFetchEnd::ResolveTimeout: return "域名解析超时";
    case TFetchEnd::BadCoding: return "压缩的页面无法解开";
    case TFetchEnd::OtherFailure: return "未知错误";
  }
  return "";
}
