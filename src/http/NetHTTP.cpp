// The HTTP client in two parts. First the exchange engine: the records' status and keep-alive
// rules, the request head, the response head, the decision on a response, body reading, and
// PerformRequest's loop. Then the client component around it: construction and properties, the
// Get operations, routing through proxies and TLS, connecting and the CONNECT tunnel, the cookie
// hooks, the authorization and redirect decisions, the whole-fetch deadline, and the
// notifications.

#include "http/NetHTTP.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "cookies/NetCookieManager.h"
#include "http/NetContentDecoder.h"
#include "http/NetGlobal.h"
#include "http/NetUrl.h"
#include "runtime/StrUtils.h"

namespace {

// A presized stream grows at most this far ahead of the bytes that really arrived.
constexpr int64_t kPresizeAhead = int64_t{1} << 20;
// Up to this body limit, a memory stream is given room for the whole limit before the body.
constexpr int64_t kReserveWholeLimitBytes = int64_t{16} << 20;
// Read time-outs of bodies that are only drained or turned into error text.
constexpr int kDiscardTimeoutMs = 4000;
constexpr int kErrorBodyTimeoutMs = 2000;

const char* MethodWord(TNetHTTPMethod method) {
  switch (method) {
    case hmHead:
      return "HEAD ";
    case hmGet:
      return "GET ";
    case hmPost:
      return "POST ";
    case hmOptions:
      return "OPTIONS ";
    case hmTrace:
      return "TRACE ";
    case hmPut:
      return "PUT ";
    case hmDelete:
      return "DELETE ";
    case hmConnect:
      return "CONNECT ";
  }
  return "GET ";
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Whether a text field of the request would break a header line. Checked before the lines are
// built: folding would turn an embedded CR LF into a line of its own, indistinguishable from a
// real header afterwards.
bool FieldsHaveLineBreak(const TNetHTTPRequest& r) {
  for (const std::string* field :
       {&r.Connection(), &r.ContentVersion(), &r.ContentEncoding(), &r.ContentLanguage(),
        &r.ContentType(), &r.CacheControl(), &r.Pragma(), &r.ProxyConnection(), &r.Host(),
        &r.Accept(), &r.AcceptCharSet(), &r.AcceptEncoding(), &r.AcceptLanguage(), &r.From(),
        &r.Referer(), &r.UserAgent(), &r.URL()}) {
    if (HasLineBreak(*field)) return true;
  }
  for (const std::string& line : r.CustomHeaders()) {
    if (HasLineBreak(line)) return true;
  }
  return false;
}

// The stream a body is read into: forwards to the response's stream (or, with none, only
// counts, for bodies that are drained) and refuses to take more than `limit` bytes. It decides
// how the target grows: presizing never runs ahead of the data, so an announced length is never
// an allocation size; but a memory stream under a modest limit that takes a body of unknown
// length (`length` -1) gets room for the whole limit at once: address space only (pages are used
// as bytes arrive), and the body then never moves while it grows, nor do the copies a growing
// buffer leaves behind pile up in the allocator of each thread.
class TBodySink : public TStream {
 public:
  TBodySink(TStream* target, int64_t limit, int64_t length = -1) : target_(target), limit_(limit) {
    if (auto* memory = dynamic_cast<TMemoryStream*>(target);
        memory != nullptr && length < 0 && limit <= kReserveWholeLimitBytes) {
      memory->Reserve(memory->Position() + limit);
    }
  }

  int64_t Written() const { return written_; }

  int64_t Read(void*, int64_t) override { return 0; }
  // Takes what fits under the limit, then refuses the rest: a body cut at the limit keeps the
  // bytes before it, whatever its framing.
  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    const bool over = count > limit_ - written_;
    const int64_t take = over ? limit_ - written_ : count;
    int64_t n = take;
    if (take > 0 && target_ != nullptr) {
      try {
        n = target_->Write(buffer, take);
      } catch (const ENetHTTPLimitExceeded&) {
        written_ += take;  // a decoder took these coded bytes before its own output hit the limit
        throw;
      }
    } else if (take > 0) {
      pos_ += take;
      size_ = std::max(size_, pos_);
    }
    written_ += n;
    if (over) throw ENetHTTPLimitExceeded(kNetResponseBodyTooLarge);
    return n;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (target_ != nullptr) return target_->Seek(offset, origin);
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : size_;
    pos_ = std::clamp<int64_t>(base + offset, 0, size_);
    return pos_;
  }
  int64_t Size() const override { return target_ != nullptr ? target_->Size() : size_; }
  void SetSize(int64_t size) override {
    int64_t current = Size();
    if (size > current) {
      int64_t position = Seek(0, soCurrent);
      size = std::max(current, std::min(size, position + kPresizeAhead));
      // A memory stream only needs the room, not zero-filled bytes that are overwritten next.
      if (auto* memory = dynamic_cast<TMemoryStream*>(target_)) {
        memory->Reserve(size);
        return;
      }
    }
    if (target_ != nullptr) {
      target_->SetSize(size);
    } else {
      size_ = std::max<int64_t>(size, 0);
      pos_ = std::min(pos_, size_);
    }
  }

 private:
  TStream* target_;
  int64_t limit_;
  int64_t written_ = 0;
  int64_t pos_ = 0;  // position and size of the counting sink (no target)
  int64_t size_ = 0;
};

// Value of a chunk-size field: hexadecimal digits only, 0 when it is anything else. A size too
// large for 64 bits saturates (the body limit refuses it).
int64_t ParseChunkSize(std::string_view text) {
  if (text.empty()) return 0;
  int64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return 0;
    }
    if (value > (std::numeric_limits<int64_t>::max() >> 4)) {
      value = std::numeric_limits<int64_t>::max();
    } else {
      value = value * 16 + digit;
    }
  }
  return value;
}

// Whether a response's body comes in chunks: "chunked" in its Transfer-Encoding, in any letter
// case (coding names are case-insensitive). Chunking decides the framing even when the
// response also carries a Content-Length.
bool IsChunked(const TNetHTTPResponse& response) {
  return Pos("chunked", LowerCase(response.HeaderLines().HeaderValue("Transfer-Encoding"))) > 0;
}

// Whether the response framed its body two ways at once (Transfer-Encoding and Content-Length).
// Whoever sits between us and the server may have cut the body the other way, so whatever
// follows it on the connection cannot be trusted to be the next response.
bool HasConflictingFraming(const TNetHTTPResponse& response) {
  const TNetHeaderList& lines = response.HeaderLines();
  return lines.IndexOfHeader("Transfer-Encoding") >= 0 &&
         lines.IndexOfHeader("Content-Length") >= 0;
}

// Sets a connection's read time-out for a scope and puts the old one back.
class TReadTimeoutScope {
 public:
  TReadTimeoutScope(TNetTCPConnection* connection, int ms)
      : connection_(connection), saved_(connection->ReadTimeout()) {
    connection_->SetReadTimeout(ms);
  }
  ~TReadTimeoutScope() { connection_->SetReadTimeout(saved_); }
  TReadTimeoutScope(const TReadTimeoutScope&) = delete;
  TReadTimeoutScope& operator=(const TReadTimeoutScope&) = delete;

 private:
  TNetTCPConnection* connection_;
  int saved_;
};

// Points a response at another stream for a scope and puts the old one back.
class TContentStreamScope {
 public:
  TContentStreamScope(TNetHTTPResponse& response, TStream* stream)
      : response_(response), saved_(response.ContentStream()) {
    response_.SetContentStream(stream);
  }
  ~TContentStreamScope() { response_.SetContentStream(saved_); }
  TContentStreamScope(const TContentStreamScope&) = delete;
  TContentStreamScope& operator=(const TContentStreamScope&) = delete;

 private:
  TNetHTTPResponse& response_;
  TStream* saved_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Response record

void TNetHTTPResponse::SetResponseText(std::string text) {
  response_text_ = std::move(text);
  // "HTTP/1.1 404 Not Found": the version up to the first blank, then the code.
  std::string rest = response_text_;
  FetchToken(rest, " ");
  rest = Trim(rest);
  response_code_ = StrToIntDef(FetchToken(rest, " "), -1);
  std::string version = Copy(response_text_, 6, 3);
  if (SameText(version, "1.0")) {
    response_version_ = pv1_0;
  } else if (SameText(version, "1.1")) {
    response_version_ = pv1_1;
  }
}

bool TNetHTTPResponse::KeepAliveDecision() const {
  if (!owner_->IsConnected() || HasConflictingFraming(*this)) return false;
  if (owner_->ProtocolVersion() == pv1_0) return SaysKeepAlive();
  return !SameText(Trim(Connection()), "CLOSE") && !SameText(Trim(ProxyConnection()), "CLOSE");
}

bool TNetHTTPResponse::SaysKeepAlive() const {
  return SameText(Trim(Connection()), "KEEP-ALIVE") ||
         SameText(Trim(ProxyConnection()), "KEEP-ALIVE");
}

bool TNetHTTPResponse::RecordKeepAlive() {
  owner_->TestClosed(false, false);
  keep_alive_ = KeepAliveDecision();
  return keep_alive_;
}

// ---------------------------------------------------------------------------------------------
// Protocol

TNetHTTPProtocol::TNetHTTPProtocol(TNetCustomHTTP* owner)
    : owner_(owner),
      request_(std::make_unique<TNetHTTPRequest>(owner)),
      response_(std::make_unique<TNetHTTPResponse>(owner)) {}

TNetHTTPProtocol::~TNetHTTPProtocol() = default;

void TNetHTTPProtocol::SendRequestHead(TNetURI* uri) {
  TNetHTTPRequest& request = *request_;
  if (FieldsHaveLineBreak(request)) throw ENetException(kNetLineBreakInRequest);
  request.WriteToLines();
  if (owner_->AcceptCompression() && request.HeaderLines().IndexOfHeader("Accept-Encoding") < 0) {
    request.HeaderLines().SetHeader("Accept-Encoding", kNetAcceptedCodings);
  }
  owner_->ProxyParams().WriteToLines(request.HeaderLines());
  if (uri != nullptr) owner_->AttachCookies(*uri, request);

  std::string request_line = std::string(MethodWord(request.Method())) + request.URL() +
                             (owner_->ProtocolVersion() == pv1_0 ? " HTTP/1.0" : " HTTP/1.1");
  // A CR or LF inside a line would end it early on the wire and let the rest pass for
  // headers (or a second request) of the sender's choosing.
  bool refused = HasLineBreak(request_line);
  for (const std::string& line : request.HeaderLines()) refused = refused || HasLineBreak(line);
  if (refused) throw ENetException(kNetLineBreakInRequest);

  owner_->BeginWriteBuffering(-1);
  try {
    owner_->WriteLine(request_line);
    for (const std::string& line : request.HeaderLines()) {
      if (!line.empty()) owner_->WriteLine(line);
    }
    owner_->WriteLine("");
  } catch (...) {
    owner_->DiscardOutput();  // never send half a head
    owner_->EndWriteBuffering();
    throw;
  }
  in_flight_ = true;
  owner_->first_byte_at_ = {};
  owner_->EndWriteBuffering();
}

std::string TNetHTTPProtocol::ReadHeadLine() {
  const TNetHTTPLimits& limits = owner_->Limits();
  int64_t left = limits.MaxHeaderBytes - head_bytes_;
  // With no line limit on the connection, the head limit bounds a single line as well.
  int max_length = -1;
  if (owner_->MaxLineLength() == 0 || owner_->MaxLineLength() > left) {
    max_length = static_cast<int>(std::clamp<int64_t>(left, 1, std::numeric_limits<int>::max()));
  }
  std::string line;
  try {
    line = owner_->ReadLine("\n", -1, max_length);
  } catch (const ENetReadLnMaxLineLengthExceeded&) {
    if (max_length == -1) throw;  // the connection's own line limit
    head_bytes_ = limits.MaxHeaderBytes + 1;
  }
  head_bytes_ += static_cast<int64_t>(line.size()) + 2;
  head_lines_ += 1;
  if (head_lines_ > limits.MaxHeaderLines || head_bytes_ > limits.MaxHeaderBytes) {
    owner_->CloseConnection();
    throw ENetHTTPLimitExceeded(kNetResponseHeadTooLarge);
  }
  return line;
}

void TNetHTTPProtocol::ReadResponseHead() {
  head_lines_ = 0;
  head_bytes_ = 0;
  do {
    response_->SetResponseText(ReadHeadLine());
    ReadHeaderBlock();
    owner_->StoreCookies(*request_, *response_);
  } while (response_->ResponseCode() == 100);
}

void TNetHTTPProtocol::ReadHeaderBlock() {
  TNetHeaderList& lines = response_->HeaderLines();
  lines.Clear();
  std::string line = ReadHeadLine();
  try {
    while (!line.empty()) {
      lines.Add(line);
      line = ReadHeadLine();
    }
  } catch (const ENetConnClosedGracefully&) {
    owner_->CloseConnection();
  }
  response_->ReadFromLines();
}

void TNetHTTPProtocol::ReadResponseBody() {
  // The answer to HEAD announces the length of a body it does not carry.
  if (request_->Method() == hmHead) return;
  owner_->ReadBody(*response_);
}

void TNetHTTPProtocol::DiscardBody() {
  // A sink that only counts: a drained body costs no memory (ReadBody still applies the limit).
  TBodySink drain(nullptr, std::numeric_limits<int64_t>::max());
  TContentStreamScope scope(*response_, &drain);
  ReadResponseBody();
}

void TNetHTTPProtocol::DiscardQuietly() {
  TReadTimeoutScope timeout(owner_, kDiscardTimeoutMs);
  try {
    DiscardBody();
    in_flight_ = false;
  } catch (...) {
    // The body did not end where it should: whatever is left of it must not be read as the
    // next response on this connection.
    try {
      owner_->CloseConnection();
    } catch (...) {
    }
  }
}

void TNetHTTPProtocol::RaiseProtocolError() {
  std::string error_body;
  {
    TReadTimeoutScope timeout(owner_, kErrorBodyTimeoutMs);
    TMemoryStream text;
    TContentStreamScope scope(*response_, &text);
    try {
      ReadResponseBody();
    } catch (const ENetConnClosedGracefully&) {
      // A cut-short error body still leaves the status as the answer.
      owner_->CloseConnection();
    } catch (const ENetContentDecodingError&) {
      // The status is the answer; an error page that does not decode only shortens its text.
    }
    error_body = text.DataString();
  }
  in_flight_ = false;
  // The status line of the response being judged (the tunnel's CONNECT answer has its own).
  throw ENetHTTPProtocolException(response_->ResponseCode(), response_->ResponseText(),
                                  std::move(error_body));
}

TNetHTTPAnswer TNetHTTPProtocol::Classify() const {
  const int code = response_->ResponseCode();
  // A Location makes any answer a redirect, a 200 included.
  if ((code / 100 == 3 && code != 304) || !response_->Location().empty()) {
    return TNetHTTPAnswer::Redirect;
  }
  if (code / 100 == 2) return TNetHTTPAnswer::Success;
  if (code == 401) return TNetHTTPAnswer::Challenge;
  if (code == 407) return TNetHTTPAnswer::ProxyChallenge;
  return TNetHTTPAnswer::Failure;
}

TNetHTTPWhatsNext TNetHTTPProtocol::TakeStep(TNetHTTPAnswer answer) {
  switch (answer) {
    case TNetHTTPAnswer::Redirect:
      return FollowRedirect();
    case TNetHTTPAnswer::Success:
      return FinishWithBody(TNetHTTPWhatsNext::Undefined);
    case TNetHTTPAnswer::Challenge:
      return MeetChallenge(false);
    case TNetHTTPAnswer::ProxyChallenge:
      return MeetChallenge(true);
    case TNetHTTPAnswer::Failure:
      break;
  }
  RaiseProtocolError();
}

TNetHTTPWhatsNext TNetHTTPProtocol::FollowRedirect() {
  std::string location = response_->Location();
  TNetHTTPMethod method = request_->Method();
  // Not followed (off, or the limit reached), the redirect itself is the answer; the event is
  // asked either way and may refuse it.
  const bool follow =
      owner_->HandleRedirects() && owner_->RedirectCount() < owner_->RedirectMaximum();
  if (!owner_->FireRedirect(location, method, owner_->RedirectCount())) RaiseProtocolError();
  if (follow) {
    request_->SetURL(owner_->RedirectURL(location));
    request_->SetMethod(method);
  } else {
    response_->SetLocation(location);
  }
  if (owner_->IsConnected()) DiscardQuietly();
  return follow ? TNetHTTPWhatsNext::Follow : TNetHTTPWhatsNext::Done;
}

TNetHTTPWhatsNext TNetHTTPProtocol::MeetChallenge(bool proxy) {
  const bool accepted = proxy ? owner_->ProxyAuthAttempts() < owner_->AuthRetries() &&
                                    owner_->FireProxyAuthorization(*request_, *response_)
                              : owner_->AuthAttempts() < owner_->AuthRetries() &&
                                    owner_->FireAuthorization(*request_, *response_);
  if (!accepted) {
    TNetAuthentication* auth =
        proxy ? owner_->ProxyParams().Authentication() : request_->Authentication();
    if (auth != nullptr) auth->Reset();
    RaiseProtocolError();
  }
  // Without in-process authentication the challenge, body and all, is the answer.
  if ((owner_->HTTPOptions() & hoInProcessAuth) == 0) {
    return FinishWithBody(TNetHTTPWhatsNext::Follow);
  }
  if (!owner_->IsConnected()) return TNetHTTPWhatsNext::Follow;
  DiscardQuietly();
  return TNetHTTPWhatsNext::RetryAuth;
}

TNetHTTPWhatsNext TNetHTTPProtocol::FinishWithBody(TNetHTTPWhatsNext when_closed) {
  if (!owner_->IsConnected()) return when_closed;
  if (response_->ResponseCode() != 204) ReadResponseBody();
  in_flight_ = false;
  return TNetHTTPWhatsNext::Done;
}

// ---------------------------------------------------------------------------------------------
// Client: the exchange

void TNetCustomHTTP::PrepareTarget(TNetHTTPRequest& request) {
  TNetURI& current = *current_uri_;
  TNetURI location(request.URL());
  if (!location.UserName.empty()) {
    request.SetUsername(location.UserName);
    request.SetPassword(location.Password);
  }
  current.UserName = request.Username();
  current.Password = request.Password();
  current.Path = MergePath(current.Path, location.Path, "/");
  current.Document = location.Document;
  current.Params = location.Params;
  if (!location.Host.empty()) current.Host = location.Host;
  // A relative reference keeps the scheme of the URL it is relative to: a relative redirect
  // received over https must not continue in clear text. Only a client that has made no request
  // yet starts plain.
  if (!location.Protocol.empty()) {
    current.Protocol = location.Protocol;
  } else if (current.Protocol.empty()) {
    current.Protocol = "http";
  }
  if (!location.Port.empty()) {
    // Taken as written, a port beyond 65535 would wrap to another one.
    if (ParsePortNumber(location.Port) == 0) {
      throw ENetURIException("Invalid port number: " + location.Port);
    }
    current.Port = location.Port;
  } else {
    int port = StrToIntDef(current.Port, 0);
    if (port == 0 || port == 80 || port == 443) {
      if (SameText(current.Protocol, "http")) {
        current.Port = "80";
      } else if (SameText(current.Protocol, "https")) {
        current.Port = "443";
      } else {
        throw ENetUnknownProtocol();
      }
    }
  }
  request.SetURL(current.Path + current.Document + current.Params);
  if (request.Method() == hmOptions && location.Document == "*") request.SetURL("*");

  switch (request.Method()) {
    case hmOptions:
    case hmTrace:
    case hmPut:
    case hmDelete:
      if (protocol_version_ != pv1_1) {
        throw ENetException("This request method is supported in HTTP 1.1");
      }
      break;
    default:
      break;
  }
  if (request.Method() == hmPost || request.Method() == hmPut) {
    int64_t size = request.Source() != nullptr ? request.Source()->Size() : 0;
    request.SetContentLength(
        static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max())));
  } else {
    request.SetContentLength(-1);
  }
  // The scheme's own port is left out, as browsers leave it out; any other is named.
  const bool default_port = (current.Port == "80" && SameText(current.Protocol, "http")) ||
                            (current.Port == "443" && SameText(current.Protocol, "https"));
  request.SetHost(default_port ? current.Host : current.Host + ":" + current.Port);
  // Refused here already, before a connect is even tried.
  if (FieldsHaveLineBreak(request)) throw ENetException(kNetLineBreakInRequest);
}

std::string TNetCustomHTTP::RedirectURL(const std::string& location) const {
  const TNetURI& current = *current_uri_;
  if (current.Host.empty()) return location;
  const std::string base_text = (current.Protocol.empty() ? "http" : current.Protocol) + "://" +
                                current.Host + (current.Port.empty() ? "" : ":" + current.Port) +
                                current.Path + current.Document + current.Params;
  const TNetUrlResult base = TNetUrl::Parse(base_text);
  if (!base) return location;
  const TNetUrlResult resolved = TNetUrl::Parse(location, &*base.Url);
  const TNetURI written(location);
  if (!resolved) {
    if (!written.Protocol.empty() && !SameText(written.Protocol, "http") &&
        !SameText(written.Protocol, "https")) {
      return location;
    }
    throw ENetURIException("Invalid redirect location " + location + ": " + resolved.Error);
  }
  const bool port_left_out = !written.Protocol.empty() && written.Port.empty();
  return port_left_out ? resolved.Url->HrefWithoutFragment() : resolved.Url->HrefWithPort();
}

void TNetCustomHTTP::PerformRequest(TNetHTTPMethod method, const std::string& url,
                                    TStream* response_stream, TStream* source) {
  int64_t start = response_stream != nullptr ? response_stream->Position() : 0;
  // Every per-request counter starts afresh: a request that failed must not lend its count to
  // the next one (RedirectCount keeps a failed request's value only until then).
  redirect_count_ = 0;
  auth_attempts_ = 0;
  proxy_auth_attempts_ = 0;
  TNetHTTPRequest& request = Request();
  TNetHTTPResponse& response = Response();
  request.SetURL(url);
  request.SetMethod(method);
  request.SetSource(source);
  response.SetContentStream(response_stream);

  const bool armed_here = !fetch_deadline_.Limited() && limits_.FetchDeadlineMs > 0;
  if (armed_here) fetch_deadline_ = TNetDeadline::In(limits_.FetchDeadlineMs);
  // Closes the connection at the end unless the last response allows to keep it, and always
  // when an exception left a response half read.
  auto finish = [&](bool failed) {
    if (armed_here) fetch_deadline_ = TNetDeadline::Never();
    try {
      bool keep = response.RecordKeepAlive() && !(failed && protocol_->InFlight());
      protocol_->SetInFlight(false);
      if (!keep && IOHandler() != nullptr) CloseConnection();
    } catch (...) {
    }
  };

  try {
    for (TNetHTTPWhatsNext next = TNetHTTPWhatsNext::Follow; next != TNetHTTPWhatsNext::Done;) {
      ++redirect_count_;
      PrepareTarget(request);
      SendAndReadHead(request, response);
      const TNetHTTPAnswer answer = protocol_->Classify();
      next = protocol_->TakeStep(answer);
      switch (next) {
        case TNetHTTPWhatsNext::Done:
          break;
        case TNetHTTPWhatsNext::Undefined:
          throw ENetException("Undefined situation");
        case TNetHTTPWhatsNext::RetryAuth:
          --redirect_count_;
          request.SetURL(url);
          break;
        case TNetHTTPWhatsNext::Follow:
          if (response_stream != nullptr) {
            response_stream->SetSize(start);
            response_stream->SetPosition(start);
          }
          // After an accepted challenge the attempt counters carry on, so a handler that always
          // accepts cannot loop for ever; a redirect starts them afresh.
          if (answer != TNetHTTPAnswer::Challenge && answer != TNetHTTPAnswer::ProxyChallenge) {
            auth_attempts_ = 0;
            proxy_auth_attempts_ = 0;
          }
          break;
      }
    }
  } catch (...) {
    finish(true);
    throw;
  }
  finish(false);
  redirect_count_ = 0;
}

namespace {

// Inside a catch block: whether the exception being handled says the connection was gone (closed
// or reset by the peer, or the TLS session over it ended), rather than slow or refused.
bool ConnectionWasGone() {
  try {
    throw;
  } catch (const ENetConnClosedGracefully&) {
    return true;
  } catch (const ENetSocketError&) {
    return true;
  } catch (const ENetClosedSocket&) {
    return true;
  } catch (const ENetTCPConnectionError&) {
    return true;
  } catch (const ENetSSLProtocolReplyError&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

void TNetCustomHTTP::SendAndReadHead(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  // A kept-alive connection the server closed while it lay idle shows as a close or a reset at
  // the first send or read. Only a GET goes out again: nothing of it can have taken effect.
  const bool may_retry = reused_connection_ && request.Method() == hmGet;
  const int64_t received_before = received_bytes_;
  const int64_t connects_before = connects_;
  try {
    ConnectForRequest(request, response);
    protocol_->ReadResponseHead();
    reused_connection_ = false;
    return;
  } catch (...) {
    // The adopted connection itself failed (no other was made meanwhile), and not one byte of
    // an answer came over it.
    const bool retry = may_retry && connects_ == connects_before &&
                       received_bytes_ == received_before && ConnectionWasGone();
    if (!retry) throw;
  }
  reused_connection_ = false;
  protocol_->SetInFlight(false);
  if (IOHandler() != nullptr) CloseConnection();
  ConnectForRequest(request, response);
  protocol_->ReadResponseHead();
}

void TNetCustomHTTP::ReadBody(TNetHTTPResponse& response) {
  TStream* stream = response.ContentStream();
  if (stream == nullptr) return;
  const bool chunked = IsChunked(response);
  // A coded body is held to the limit twice: as it comes off the wire and as it is decoded.
  std::vector<TNetContentCoding> codings;
  std::optional<TBodySink> decoded;
  std::optional<TNetContentDecoder> decoder;
  if (accept_compression_ && ContentCodingsToUndo(response.ContentEncoding(), codings) &&
      !codings.empty()) {
    decoded.emplace(stream, limits_.MaxBodyBytes);
    try {
      stream = &decoder.emplace(codings, &*decoded);
    } catch (const ENetContentDecodingError&) {
      CloseConnection();  // the body it refused is still on its way
      throw;
    }
  }
  body_wire_bytes_ = 0;
  TBodySink sink(stream, limits_.MaxBodyBytes,
                 chunked || !response.ContentLengthKnown() ? -1 : response.ContentLength());
  try {
    if (chunked) {
      ReportStatus(hsStatusText, "Chunk Started");
      int64_t size = ReadChunkSize();
      while (size > 0) {
        // A chunk past the limit is read up to it, then refused.
        const int64_t room = limits_.MaxBodyBytes - sink.Written();
        ReadToStream(sink, std::min(size, room), false);
        if (size > room) throw ENetHTTPLimitExceeded(kNetResponseBodyTooLarge);
        ReadBodyLine();  // the line end after the chunk data
        size = ReadChunkSize();
      }
      // The blank line after the last chunk, and any trailer lines before it, so that nothing
      // of this body is left for the next response on the connection.
      for (int lines = 0; lines <= limits_.MaxHeaderLines; ++lines) {
        if (ReadBodyLine().empty()) break;
      }
    } else if (response.ContentLength() > 0) {
      const int64_t length = response.ContentLength();
      // A close before the announced length ends it fails the body, as a cut-short chunk does:
      // what arrived is only part of the page. A length past the limit is read up to it, then
      // refused.
      ReadToStream(sink, std::min(length, limits_.MaxBodyBytes), false);
      if (length > limits_.MaxBodyBytes) throw ENetHTTPLimitExceeded(kNetResponseBodyTooLarge);
    } else if (!response.ContentLengthKnown()) {
      ReadToStream(sink, -1, true);
    }
    if (decoder) decoder->Finish();
  } catch (const ENetHTTPLimitExceeded&) {
    body_wire_bytes_ = sink.Written();
    CloseConnection();  // the rest of the body is still on its way
    throw;
  } catch (const ENetContentDecodingError&) {
    body_wire_bytes_ = sink.Written();
    CloseConnection();
    throw;
  }
  body_wire_bytes_ = sink.Written();
}

std::string TNetCustomHTTP::ReadBodyLine() {
  // With no line limit on the connection, the head limit bounds the framing lines too.
  return ReadLine("\n", -1, MaxLineLength() == 0 ? static_cast<int>(limits_.MaxHeaderBytes) : -1);
}

int64_t TNetCustomHTTP::ReadChunkSize() {
  std::string line = ReadBodyLine();
  // The size ends at a blank or at the ";" of a chunk extension.
  size_t end = line.find_first_of(" ;");
  if (end != std::string::npos) line.resize(end);
  return ParseChunkSize(line);
}

// ---------------------------------------------------------------------------------------------
// The client component

TNetCustomHTTP::TNetCustomHTTP()
    : current_uri_(std::make_unique<TNetURI>()),
      protocol_(std::make_unique<TNetHTTPProtocol>(this)),
      proxy_params_(std::make_unique<TNetProxyConnectionInfo>()) {
  SetPort(80);
  proxy_params_->Clear();
}

TNetCustomHTTP::~TNetCustomHTTP() {
  // The owned manager's destruction notifies this client, which must still be whole then.
  if (owned_cookie_manager_ != nullptr) {
    cookie_manager_ = nullptr;
    owned_cookie_manager_.reset();
  }
  if (cookie_manager_ != nullptr) cookie_manager_->RemoveFreeNotification(this);
  if (authentication_manager_ != nullptr) authentication_manager_->RemoveFreeNotification(this);
  // Drop the socket while the records still exist: the base would do it later, but a
  // disconnect notification must not find them gone.
  DropSocket();
  // The connection lets go of an adopted handler before it is freed.
  if (adopted_io_handler_ != nullptr) {
    if (IOHandler() == adopted_io_handler_.get()) SetIOHandler(nullptr);
    adopted_io_handler_.reset();
  }
  protocol_.reset();
}

// ---------------------------------------------------------------------------------------------
// Requests

void TNetCustomHTTP::Get(const std::string& url, TStream* stream) {
  PerformRequest(hmGet, url, stream, nullptr);
}

std::string TNetCustomHTTP::Get(const std::string& url) {
  TMemoryStream stream;
  Get(url, &stream);
  return stream.DataString();
}

// ---------------------------------------------------------------------------------------------
// Routing and connecting

TNetConnectionKind TNetCustomHTTP::ChooseRoute() const {
  const bool https = SameText(current_uri_->Protocol, "HTTPS");
  if (proxy_params_->ProxyServer().empty()) {
    return https ? TNetConnectionKind::DirectTls : TNetConnectionKind::Direct;
  }
  return https ? TNetConnectionKind::TunnelViaProxy : TNetConnectionKind::ViaProxy;
}

void TNetCustomHTTP::SetUpRoute(TNetConnectionKind route) {
  // IOHandler() is asked anew after a close: closing frees a handler the connection made.
  auto tls_capable = [this] { return IOHandler() != nullptr && IOHandler()->TLSCapable(); };
  // Sets the TLS switch of a TLS-capable handler; false when there is none. TLS cannot be put
  // on or taken off a stream that already carries requests, so a live connection in the other
  // mode is closed first and the next one is made in the mode asked for.
  auto set_plain = [&](bool plain) {
    if (!tls_capable()) return false;
    if (IOHandler()->PlainMode() != plain && IsConnected()) {
      CloseConnection();
      if (!tls_capable()) return false;
    }
    IOHandler()->SetPlainMode(plain);
    return true;
  };

  switch (route) {
    case TNetConnectionKind::Direct:
    case TNetConnectionKind::DirectTls: {
      TNetURI& current = *current_uri_;
      if (!SameText(Host(), current.Host) || Port() != StrToInt(current.Port)) {
        if (IsConnected()) CloseConnection();
        std::string host = current.Host;
        int port = StrToInt(current.Port);
        SetHost(host);
        SetPort(port);
      }
      if (route == TNetConnectionKind::Direct) {
        set_plain(true);
      } else if (!set_plain(false)) {
        throw ENetIOHandlerPropInvalid();
      }
      return;
    }
    case TNetConnectionKind::ViaProxy:
    case TNetConnectionKind::TunnelViaProxy: {
      const std::string& proxy = proxy_params_->ProxyServer();
      int proxy_port = proxy_params_->ProxyPort();
      if ((!SameText(Host(), proxy) || Port() != proxy_port) && IsConnected()) CloseConnection();
      // Straight into the connection's fields: CurrentURI keeps naming the server.
      TNetTCPClient::SetHost(proxy);
      TNetTCPClient::SetPort(proxy_port);
      // CONNECT goes out in the clear; a live connection that speaks TLS is an earlier tunnel,
      // closed here, so every tunnel starts with its own CONNECT.
      if (route == TNetConnectionKind::TunnelViaProxy && IOHandler() != nullptr && !tls_capable()) {
        throw ENetIOHandlerPropInvalid();
      }
      set_plain(true);
      return;
    }
  }
}

void TNetCustomHTTP::EnsureConnected(TNetHTTPResponse& response) {
  if (!response.RecordKeepAlive() && IOHandler() != nullptr) CloseConnection();
  ProbeClosed(false);
  if (IsConnected()) return;
  reused_connection_ = false;
  ++connects_;
  try {
    Establish(ConnectTimeout());
  } catch (const ENetSSLProtocolReplyError&) {
    CloseConnection();
    throw;
  }
}

void TNetCustomHTTP::ConnectForRequest(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  request.SetRoute(ChooseRoute());
  SetUpRoute(request.Route());
  if (request.Route() == TNetConnectionKind::ViaProxy) {
    request.SetURL(current_uri_->ComposedURI());
  }
  switch (request.Route()) {
    case TNetConnectionKind::Direct:
      if (protocol_version_ == pv1_0 && request.Connection().empty()) {
        request.SetConnection("keep-alive");
      }
      break;
    case TNetConnectionKind::ViaProxy:
      if (protocol_version_ == pv1_0 && request.Connection().empty()) {
        request.SetProxyConnection("keep-alive");
      }
      break;
    case TNetConnectionKind::DirectTls:
    case TNetConnectionKind::TunnelViaProxy:
      request.SetConnection("");
      break;
  }
  if (request.Route() == TNetConnectionKind::TunnelViaProxy) {
    OpenTunnel(request);
  } else {
    EnsureConnected(response);
  }
  protocol_->SendRequestHead(current_uri_.get());
  if ((request.Method() == hmPost || request.Method() == hmPut) && request.Source() != nullptr) {
    WriteFromStream(*request.Source(), true, 0, false);
  }
}

void TNetCustomHTTP::OpenTunnel(TNetHTTPRequest& request) {
  TNetHTTPProtocol tunnel(this);
  TNetHTTPRequest& connect = tunnel.Request();
  TNetHTTPResponse& answer = tunnel.Response();
  connect.SetUserAgent(request.UserAgent());
  // A tunnel's Host names the authority it asks for, port and all.
  connect.SetHost(current_uri_->Host + ":" + current_uri_->Port);
  connect.SetContentLength(request.ContentLength());
  connect.SetPragma("no-cache");
  connect.SetURL(current_uri_->Host + ":" + current_uri_->Port);
  connect.SetMethod(hmConnect);
  connect.SetProxyConnection("keep-alive");
  TMemoryStream body;
  answer.SetContentStream(&body);

  try {
    ExchangeConnect(tunnel, body);
  } catch (...) {
    // A CONNECT answer read only in part leaves bytes that must not pass for the next response.
    if (tunnel.InFlight() && IOHandler() != nullptr) CloseConnection();
    throw;
  }
}

void TNetCustomHTTP::ExchangeConnect(TNetHTTPProtocol& tunnel, TMemoryStream& body) {
  TNetHTTPRequest& connect = tunnel.Request();
  TNetHTTPResponse& answer = tunnel.Response();
  for (;;) {
    EnsureConnected(answer);
    tunnel.SendRequestHead(nullptr);
    answer.SetResponseText(ReadLine());
    if (answer.ResponseText().empty()) {
      answer.SetResponseText("HTTP/1.0 200 OK");
      answer.SetConnection("close");
    } else {
      tunnel.ReadHeaderBlock();
      StoreCookies(connect, answer);
    }
    if (answer.StatusCode() == 200) {
      StartTunnelTLS();
      return;
    }
    TNetHTTPWhatsNext next = tunnel.DecideNext();
    // Only an accepted proxy challenge asks again (bounded by AuthRetries, the attempt counter
    // carries on here). Any other answer that DecideNext let pass cannot open a tunnel.
    bool challenge = answer.ResponseCode() == 407 &&
                     (next == TNetHTTPWhatsNext::Follow || next == TNetHTTPWhatsNext::RetryAuth);
    if (!challenge) {
      throw ENetHTTPProtocolException(answer.ResponseCode(), answer.ResponseText(),
                                      body.DataString());
    }
    body.Clear();
  }
}

void TNetCustomHTTP::StartTunnelTLS() {
  if (IOHandler() == nullptr) throw Exception("Invalid class typecast");
  try {
    // The server speaks only after our first TLS message, so bytes already queued can only
    // have come from the proxy: taken for the server's, they would pass for data that arrived
    // under TLS.
    if (InputQueue().Size() > 0 && IOHandler()->TLSCapable()) {
      throw ENetSSLProtocolReplyError(
          "TLS handshake failed: protocol error (the proxy sent data after accepting the "
          "tunnel)");
    }
    IOHandler()->SetPlainMode(false);  // TLS starts over the tunnel
  } catch (const ENetSSLProtocolReplyError&) {
    CloseConnection();
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Cookies

void TNetCustomHTTP::StoreCookies(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  if (cookie_manager_ == nullptr && allow_cookies_) {
    auto manager = std::make_unique<TNetCookieManager>();
    SetCookieManager(manager.get());
    owned_cookie_manager_ = std::move(manager);
  }
  if (cookie_manager_ == nullptr) return;
  TStringList cookies;
  TStringList cookies2;
  response.HeaderLines().CollectValues("Set-cookie", &cookies);
  response.HeaderLines().CollectValues("Set-cookie2", &cookies2);
  for (const std::string& value : cookies) cookie_manager_->AddSetCookie(value, current_uri_->Host);
  for (const std::string& value : cookies2) {
    cookie_manager_->AddSetCookie2(value, current_uri_->Host);
  }
}

void TNetCustomHTTP::AttachCookies(TNetURI& uri, TNetHTTPRequest& request) {
  if (cookie_manager_ == nullptr) return;
  std::string text = cookie_manager_->CookieHeaderFor(uri, SpeaksTLS());
  if (!text.empty()) request.HeaderLines().SetHeader("Cookie", text);
}

bool TNetCustomHTTP::SpeaksTLS() {
  TNetIOHandler* handler = IOHandler();
  return handler != nullptr && handler->TLSCapable() && !handler->PlainMode() &&
         handler->Connected();
}

void TNetCustomHTTP::SetCookieManager(TNetCookieManager* manager) {
  if (manager == cookie_manager_) return;
  if (cookie_manager_ != nullptr) {
    cookie_manager_->RemoveFreeNotification(this);
    cookie_manager_ = nullptr;
  }
  owned_cookie_manager_.reset();
  cookie_manager_ = manager;
  if (manager != nullptr) manager->FreeNotification(this);
}

void TNetCustomHTTP::SetAuthenticationManager(TNetAuthenticationManager* manager) {
  if (manager == authentication_manager_) return;
  if (authentication_manager_ != nullptr) authentication_manager_->RemoveFreeNotification(this);
  authentication_manager_ = manager;
  if (manager != nullptr) manager->FreeNotification(this);
}

void TNetCustomHTTP::Notification(TComponent* component, TOperation operation) {
  TNetTCPClient::Notification(component, operation);
  if (operation != opRemove) return;
  if (component == cookie_manager_) cookie_manager_ = nullptr;
  if (component == authentication_manager_) authentication_manager_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Decisions

bool TNetCustomHTTP::FireAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  ++auth_attempts_;
  return DecideAuthorization(this, request, response, OnSelectAuthorization, OnAuthorization);
}

bool TNetCustomHTTP::FireProxyAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  ++proxy_auth_attempts_;
  return DecideProxyAuthorization(this, *proxy_params_, response, OnSelectProxyAuthorization,
                                  OnProxyAuthorization);
}

bool TNetCustomHTTP::FireRedirect(std::string& location, TNetHTTPMethod& method, int count) {
  bool handled = handle_redirects_;
  if (OnRedirect) {
    int num_redirect = count;
    OnRedirect(this, location, num_redirect, handled, method);
  }
  return handled;
}

void TNetCustomHTTP::FireDisconnected() {
  reused_connection_ = false;
  TNetTCPClient::FireDisconnected();
  if (protocol_ == nullptr) return;
  TNetAuthentication* auth = Request().Authentication();
  if (auth != nullptr && auth->StepCount() == auth->CurrentStep()) {
    // Complete: file it where it worked (a URI that cannot be composed is not filed).
    if (authentication_manager_ != nullptr && !current_uri_->Protocol.empty() &&
        !current_uri_->Host.empty()) {
      authentication_manager_->AddAuthentication(*auth, *current_uri_);
    }
    Request().SetAuthentication(nullptr);
  }
  if (proxy_params_ != nullptr && proxy_params_->Authentication() != nullptr) {
    proxy_params_->Authentication()->Reset();
  }
}

// ---------------------------------------------------------------------------------------------
// Properties

void TNetCustomHTTP::AdoptIOHandler(std::unique_ptr<TNetIOHandler> handler) {
  SetIOHandler(handler.get(), false);  // frees a handler the connection owned
  adopted_io_handler_ = std::move(handler);
}

void TNetCustomHTTP::AdoptConnection(TNetIdleConnection connection) {
  if (!connection) return;
  AdoptIOHandler(std::move(connection.Handler));
  // Straight into the connection's fields: the next route compares its peer with them.
  TNetTCPClient::SetHost(connection.PeerHost);
  TNetTCPClient::SetPort(connection.PeerPort);
  ResetState();
  reused_connection_ = true;
}

TNetIdleConnection TNetCustomHTTP::ReleaseConnection() {
  TNetIdleConnection out;
  TNetIOHandler* handler = IOHandler();
  if (handler == nullptr || handler != adopted_io_handler_.get()) return out;
  TNetHTTPResponse& response = Response();
  if (protocol_->InFlight() || !response.KeepAlive() || !IsConnected()) return out;
  // A tunnel through a proxy is never taken up again: every tunnel starts with its own CONNECT.
  if (Request().Route() == TNetConnectionKind::TunnelViaProxy) return out;
  // The client keeps a 1.0 answer's connection by its own version's rule; another request on it
  // needs the server's own word.
  if (response.ResponseVersion() == pv1_0 && !response.SaysKeepAlive()) return out;
  if (InputQueue().Size() > 0 || (OutputQueue() != nullptr && OutputQueue()->Size() > 0)) {
    return out;
  }
  // Bytes nobody asked for, or the server's close: either way not a connection to reuse.
  if (handler->Readable(0)) return out;
  SetIOHandler(nullptr);
  out.Handler = std::move(adopted_io_handler_);
  // It may outlive this client: nothing of the handler may call back into it.
  out.Handler->ClearEvents();
  out.PeerHost = TNetTCPClient::Host();
  out.PeerPort = TNetTCPClient::Port();
  reused_connection_ = false;
  return out;
}

void TNetCustomHTTP::SetHost(const std::string& host) {
  TNetTCPClient::SetHost(host);
  current_uri_->Host = host;
}

void TNetCustomHTTP::SetPort(int port) {
  TNetTCPClient::SetPort(port);
  current_uri_->Port = IntToStr(port);
}

// ---------------------------------------------------------------------------------------------
// Whole-fetch deadline

int TNetCustomHTTP::ConnectTimeout() const {
  if (!fetch_deadline_.Limited()) return ReadTimeout();
  const TNetDeadline connect = TNetDeadline::ForConnect(ReadTimeout()).Sooner(fetch_deadline_);
  return std::max(connect.WaitMs(), 1);
}

TNetReadResult TNetCustomHTTP::Receive(const TNetDeadline& deadline) {
  // Out of time, the fetch ends here even when bytes are still coming: a peer that keeps every
  // single wait short (an endless stream of tiny chunks) must not outlast the deadline.
  if (fetch_deadline_.Passed()) return TNetReadResult::TimedOut;
  const int64_t queued = InputQueue().Size();
  const TNetReadResult got = TNetTCPClient::Receive(deadline.Sooner(fetch_deadline_));
  const int64_t arrived = InputQueue().Size() - queued;
  received_bytes_ += arrived;
  if (arrived > 0 && protocol_->InFlight() &&
      first_byte_at_ == std::chrono::steady_clock::time_point{}) {
    first_byte_at_ = std::chrono::steady_clock::now();
  }
  return got;
}
