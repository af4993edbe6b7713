// The HTTP/1.x client: the exchange engine (TNetHTTPProtocol with its request and response
// records) and the client component around it (TNetCustomHTTP, published as TNetHTTP).
//
// One PerformRequest turns a method and a URL into a complete exchange over the client's own
// TCP connection: the URL is resolved against the previous request (CurrentURI), the route is
// chosen (direct, through a proxy, TLS, or TLS tunnelled through a proxy), the request head
// goes out in one flush, the status line and header block are read, cookies are stored, and
// the status decides what follows: done, follow a redirect, retry with credentials, or fail
// with ENetHTTPProtocolException. Bodies are read by Content-Length, by chunks or up to the
// close, straight into the caller's stream. The connection stays open between requests when
// the server allows it, and is reused while host and port stay the same.
//
// What one answer may cost is bounded (TNetHTTPLimits): the response head, the body, and the
// wall-clock time of a whole PerformRequest, redirects and retries included. Request texts with
// a line break are refused before anything is sent.
//
// Thread-safety: a client, its records and its connection belong to one thread at a time;
// nothing here takes a lock. Many clients may run at once on separate threads. A cookie manager
// shared between clients is safe on its own (it has its own lock).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/NetAuthentication.h"
#include "http/NetConnectionPool.h"
#include "http/NetHTTPHeaderInfo.h"
#include "http/NetURI.h"
#include "runtime/Classes.h"
#include "transport/NetException.h"
#include "transport/NetTCPClient.h"

class TNetCookieManager;
class TNetCustomHTTP;

// The request methods, in this order; each writes its word at the start of the request line.
enum TNetHTTPMethod {
  hmHead,     // "HEAD "
  hmGet,      // "GET "
  hmPost,     // "POST "  (sends Source)
  hmOptions,  // "OPTIONS "
  hmTrace,    // "TRACE "
  hmPut,      // "PUT "   (sends Source)
  hmDelete,   // "DELETE "
  hmConnect,  // "CONNECT "
};

enum TNetHTTPProtocolVersion {
  pv1_0,  // "HTTP/1.0": the connection is kept only when the server says keep-alive
  pv1_1,  // "HTTP/1.1": the connection is kept unless the server says close
};

// HTTPOptions flags (a bit set).
enum TNetHTTPOption : unsigned {
  hoInProcessAuth = 1u << 0,      // an accepted 401/407 is retried inside PerformRequest
  hoKeepOrigProtocol = 1u << 1,   // no effect in this client
  hoForceEncodeParams = 1u << 2,  // no effect in this client
};
using TNetHTTPOptions = unsigned;

// How a request reaches its server.
enum class TNetConnectionKind {
  Direct = 0,          // plain connection to the server
  DirectTls = 1,       // TLS connection to the server
  ViaProxy = 2,        // plain connection to the proxy, absolute request target
  TunnelViaProxy = 3,  // CONNECT through the proxy, then TLS to the server
};

// What a response asks for, judged by its status code and Location alone.
enum class TNetHTTPAnswer {
  Redirect,        // a 3xx other than 304, or any response that names a Location
  Success,         // a 2xx: its body is the result
  Challenge,       // 401: the server asks for credentials
  ProxyChallenge,  // 407: the proxy asks for credentials
  Failure,         // any other status, or none readable: the exchange fails
};

// The step an exchange takes after a response (what DecideNext gives).
enum class TNetHTTPWhatsNext {
  Follow,     // send again to Request.URL (a redirect, or an accepted challenge)
  Done,       // the exchange is complete
  Undefined,  // a success whose connection closed before its body could be read
  RetryAuth,  // send the original URL again, with credentials
};

// An unsuccessful status. ReplyCode() is the status code (-1 for an unreadable status line),
// the message is the status line, ErrorBody() the response body as it came.
class ENetHTTPProtocolException : public ENetProtocolReplyError {
 public:
  ENetHTTPProtocolException(int reply_code, std::string message, std::string error_body)
      : ENetProtocolReplyError(reply_code, std::move(message)),
        error_body_(std::move(error_body)) {}
  const std::string& ErrorBody() const { return error_body_; }

 private:
  std::string error_body_;
};

// A URL whose scheme is neither http nor https (empty message).
class ENetUnknownProtocol : public ENetException {
 public:
  ENetUnknownProtocol() : ENetException("") {}
  using ENetException::ENetException;
};

// An https route without a TLS-capable I/O handler.
class ENetIOHandlerPropInvalid : public ENetException {
 public:
  ENetIOHandlerPropInvalid() : ENetException("IOHandler value is not valid") {}
  using ENetException::ENetException;
};

// A response that exceeds one of the client's TNetHTTPLimits (head or body size).
class ENetHTTPLimitExceeded : public ENetException {
 public:
  using ENetException::ENetException;
};

// Messages of the refusals and limits above.
inline constexpr const char* kNetLineBreakInRequest = "Line break in request head";
inline constexpr const char* kNetResponseHeadTooLarge = "Response header block too large";
inline constexpr const char* kNetResponseBodyTooLarge = "Response body too large";

// Header lines of one response head, interim 100 heads and status lines included.
inline constexpr int kNetMaxHeaderLines = 4096;
// Bytes of one response head (lines counted with their CR LF), interim heads included.
inline constexpr int64_t kNetMaxHeaderBytes = int64_t{1} << 20;
// Bytes of one response body, whatever its framing. A body of exactly this size is accepted.
inline constexpr int64_t kNetMaxBodyBytes = int64_t{64} << 20;
// Wall-clock limit of one PerformRequest, connects, redirects and retries included.
inline constexpr int kNetFetchDeadlineMs = 120000;

// What one exchange may cost. The defaults are the constants above; tests and special callers
// may set others on a client.
struct TNetHTTPLimits {
  int MaxHeaderLines = kNetMaxHeaderLines;
  int64_t MaxHeaderBytes = kNetMaxHeaderBytes;
  int64_t MaxBodyBytes = kNetMaxBodyBytes;
  int FetchDeadlineMs = kNetFetchDeadlineMs;  // 0 = no deadline
};

// The request record of a client: the header fields plus what the exchange needs.
class TNetHTTPRequest : public TNetRequestHeaderInfo {
 public:
  explicit TNetHTTPRequest(TNetCustomHTTP* owner) : owner_(owner) {}

  const char* ClassName() const override { return "TNetHTTPRequest"; }

  TNetCustomHTTP* Owner() const { return owner_; }
  // The URL given to PerformRequest; after PrepareTarget the request-line target.
  const std::string& URL() const { return url_; }
  void SetURL(std::string url) { url_ = std::move(url); }
  TNetHTTPMethod Method() const { return method_; }
  void SetMethod(TNetHTTPMethod method) { method_ = method; }
  // The body sent by hmPost and hmPut (not owned; may be null).
  TStream* Source() const { return source_; }
  void SetSource(TStream* source) { source_ = source; }
  TNetConnectionKind Route() const { return route_; }
  void SetRoute(TNetConnectionKind route) { route_ = route; }

 private:
  TNetCustomHTTP* owner_;
  std::string url_;
  TNetHTTPMethod method_ = hmGet;
  TStream* source_ = nullptr;
  TNetConnectionKind route_ = TNetConnectionKind::Direct;
};

// The response record of a client: the header fields plus the status and the body's stream.
class TNetHTTPResponse : public TNetResponseHeaderInfo {
 public:
  explicit TNetHTTPResponse(TNetCustomHTTP* owner) : owner_(owner) {}

  const char* ClassName() const override { return "TNetHTTPResponse"; }

  TNetCustomHTTP* Owner() const { return owner_; }
  // The status code of the status line (see StatusCode); SetResponseCode overrides it.
  int ResponseCode() const { return response_code_; }
  void SetResponseCode(int code) { response_code_ = code; }
  // The status line as read, without its line end.
  const std::string& ResponseText() const { return response_text_; }
  // Stores the status line and parses it once: the status code (ResponseCode) and, when the
  // line names 1.0 or 1.1, the version (ResponseVersion).
  void SetResponseText(std::string text);
  // The decision last stored by RecordKeepAlive().
  bool KeepAlive() const { return keep_alive_; }
  // Receives the body (not owned; may be null: the body is then not read).
  TStream* ContentStream() const { return content_stream_; }
  void SetContentStream(TStream* stream) { content_stream_ = stream; }
  // The version of the last status line that named 1.0 or 1.1.
  TNetHTTPProtocolVersion ResponseVersion() const { return response_version_; }

  // The code on the status line ("HTTP/1.1 404 Not Found" -> 404), -1 when there is none;
  // the same as ResponseCode.
  int StatusCode() const { return response_code_; }
  // Whether the connection may stay open after this response: it must still be connected,
  // the response must not frame its body both by Transfer-Encoding and by Content-Length, and
  // the server's Connection / Proxy-Connection must allow it under the client's own protocol
  // version (1.0 keeps only on "keep-alive", 1.1 keeps unless "close"). Reads only.
  bool KeepAliveDecision() const;
  // Whether Connection or Proxy-Connection is "keep-alive" (any case, blanks around).
  bool SaysKeepAlive() const;
  // Lets the connection notice a close the peer already made (TestClosed, which drops the
  // socket and fires OnDisconnected), then stores KeepAliveDecision() as KeepAlive and gives it.
  bool RecordKeepAlive();

 private:
  TNetCustomHTTP* owner_;
  int response_code_ = 0;
  std::string response_text_;
  bool keep_alive_ = false;
  TStream* content_stream_ = nullptr;
  TNetHTTPProtocolVersion response_version_ = pv1_1;
};

// The exchange engine of one client: its request and response records and the steps that
// write a request head and read and judge a response. A client owns one for its requests and
// makes a second, short-lived one for the CONNECT exchange of a tunnel.
class TNetHTTPProtocol {
 public:
  explicit TNetHTTPProtocol(TNetCustomHTTP* owner);
  ~TNetHTTPProtocol();
  TNetHTTPProtocol(const TNetHTTPProtocol&) = delete;
  TNetHTTPProtocol& operator=(const TNetHTTPProtocol&) = delete;

  TNetHTTPRequest& Request() { return *request_; }
  TNetHTTPResponse& Response() { return *response_; }

  // Writes the request line, the header lines and the blank line in one flush. With a URI the
  // cookie manager's Cookie line for it is attached first. Raises ENetException
  // kNetLineBreakInRequest, before anything is written, when a line holds a CR or LF.
  void SendRequestHead(TNetURI* uri);
  // Reads the status line into ResponseText and then the header block, skipping interim
  // "100" heads and storing each head's cookies. Enforces the head limits.
  void ReadResponseHead();
  // Reads header lines up to the blank line into Response.HeaderLines and parses them. A close
  // during the block ends it (the lines read so far count).
  void ReadHeaderBlock();
  // What the response asks for. Reads the response record only.
  TNetHTTPAnswer Classify() const;
  // Acts on `answer` (what Classify gave): fires the redirect or authorization event, reads the
  // body into the response's stream or discards it, and gives the next step. Raises
  // ENetHTTPProtocolException for an answer that ends the exchange unsuccessfully.
  TNetHTTPWhatsNext TakeStep(TNetHTTPAnswer answer);
  // TakeStep(Classify()).
  TNetHTTPWhatsNext DecideNext() { return TakeStep(Classify()); }
  // Reads the body into a throw-away sink (the response stream is kept).
  void DiscardBody();
  // Reads the body as error text (2 s at most per read) and raises ENetHTTPProtocolException.
  [[noreturn]] void RaiseProtocolError();

  // True from the moment a request head is sent until its response has been read to the end;
  // a connection left in that state carries unread bytes and must not be reused.
  bool InFlight() const { return in_flight_; }
  void SetInFlight(bool on) { in_flight_ = on; }

 private:
  // A redirect: asks FireRedirect, points the request at the location (Follow) or, when
  // redirects are off or used up, leaves it in Response.Location (Done); drains the body.
  TNetHTTPWhatsNext FollowRedirect();
  // A 401 (or with `proxy` a 407): asks the authorization decision within AuthRetries; an
  // accepted one is retried here with hoInProcessAuth (RetryAuth), else is the answer.
  TNetHTTPWhatsNext MeetChallenge(bool proxy);
  // Reads the body of an answer that ends the exchange (none for 204) and gives Done; with the
  // connection already closed reads nothing and gives `when_closed`.
  TNetHTTPWhatsNext FinishWithBody(TNetHTTPWhatsNext when_closed);
  // ReadBody of the response, except for the bodiless answer to HEAD.
  void ReadResponseBody();
  // A ReadLine counted against the head limits of the current response.
  std::string ReadHeadLine();
  // DiscardBody with a 4 s read time-out; a failed discard closes the connection.
  void DiscardQuietly();

  TNetCustomHTTP* owner_;
  std::unique_ptr<TNetHTTPRequest> request_;
  std::unique_ptr<TNetHTTPResponse> response_;
  bool in_flight_ = false;
  int head_lines_ = 0;      // lines of the current response head so far
  int64_t head_bytes_ = 0;  // bytes of the current response head so far
};

// Fired for every response that redirects (a 3xx other than 304, or any Location), before its
// body is discarded. dest is the Location as the server wrote it and may be rewritten;
// NumRedirect is how many requests this call has sent so far; Handled comes in as
// HandleRedirects, and false makes the redirect a failure (ENetHTTPProtocolException); VMethod
// is the method of the next request, the current one's unless changed here. The redirect is
// followed only while HandleRedirects is on and RedirectMaximum is not reached.
using TNetHTTPOnRedirectEvent =
    std::function<void(TNetCustomHTTP* Sender, std::string& dest, int& NumRedirect, bool& Handled,
                       TNetHTTPMethod& VMethod)>;

// The HTTP client component.
class TNetCustomHTTP : public TNetTCPClient {
 public:
  TNetCustomHTTP();
  // Frees the protocol object with both records, CurrentURI, ProxyParams and a cookie manager
  // the client created itself; a cookie manager handed in stays alive.
  ~TNetCustomHTTP() override;

  // ---- Requests ----
  // GET `url`; the body is appended to `stream` from its current position.
  void Get(const std::string& url, TStream* stream);
  // GET `url`; the body's exact bytes. Exceptions pass on (no text then).
  std::string Get(const std::string& url);
  // The whole exchange for `method` on `url`: redirects and retries included. The body goes to
  // `response_stream` (may be null), `source` is sent for hmPost and hmPut. Returns when the
  // exchange is done, raises otherwise.
  virtual void PerformRequest(TNetHTTPMethod method, const std::string& url,
                              TStream* response_stream, TStream* source);

  // ---- Steps of the exchange (used by PerformRequest and TNetHTTPProtocol) ----
  // Resolves Request.URL against CurrentURI and sets the request-line target, ContentLength and
  // Host. Raises ENetUnknownProtocol, the HTTP 1.1-only method error, or the line-break refusal.
  void PrepareTarget(TNetHTTPRequest& request);
  // Where a redirect to `location` leads from the request just made: the location resolved
  // against CurrentURI as browsers resolve it (TNetUrl), as the absolute URL the next request is
  // made for, without its fragment. The port is written unless an absolute location left it
  // out (PrepareTarget then keeps the current one). A location of another scheme comes back as
  // written (PrepareTarget refuses it), so does any location before a first request; one that
  // is no URL raises ENetURIException with the reason.
  std::string RedirectURL(const std::string& location) const;
  // The route to CurrentURI: plain or TLS by its scheme, direct or through ProxyParams' proxy.
  // Reads only.
  TNetConnectionKind ChooseRoute() const;
  // Gets the connection ready for `route`: points Host/Port at the server or the proxy, closing
  // a connection to another peer, and sets the TLS switch of a TLS-capable handler, closing a
  // connection that would have to change between plain and TLS. Raises ENetIOHandlerPropInvalid
  // when the route needs TLS and the handler cannot speak it.
  void SetUpRoute(TNetConnectionKind route);
  // Closes a connection the last response did not allow to keep (RecordKeepAlive), then connects
  // if needed. A failed TLS handshake closes the connection before ENetSSLProtocolReplyError
  // passes on.
  void EnsureConnected(TNetHTTPResponse& response);
  // Routes, connects (tunnelling when needed), sends the head and the body.
  void ConnectForRequest(TNetHTTPRequest& request, TNetHTTPResponse& response);
  // Hands every Set-Cookie / Set-Cookie2 value of the response to the cookie manager (made on
  // demand when AllowCookies).
  void StoreCookies(TNetHTTPRequest& request, TNetHTTPResponse& response);
  // Sets the request's Cookie line from the cookie manager for `uri`; Secure cookies only
  // when the connection speaks TLS (SpeaksTLS).
  void AttachCookies(TNetURI& uri, TNetHTTPRequest& request);
  // True when the connection is up and its I/O handler has TLS switched on: what the server
  // receives is encrypted. A TLS-capable handler in plain mode does not count.
  bool SpeaksTLS();
  // Reads the body of `response` into its ContentStream by chunks (whatever Content-Length
  // says), by Content-Length, or up to the close, decoding it (see AcceptCompression). Raises
  // ENetHTTPLimitExceeded (and closes) once the body would pass MaxBodyBytes, whatever its
  // framing or announced length, the bytes up to the limit stored and none past it; and
  // ENetContentDecodingError (and closes) for a coded body that is not valid or cut short.
  void ReadBody(TNetHTTPResponse& response);
  // The size on the next chunk-size line; 0 when it is not a hexadecimal number.
  int64_t ReadChunkSize();

  // ---- Decisions (overridable) ----
  // After a 401: true means send again with credentials. Counts AuthAttempts.
  virtual bool FireAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response);
  // After a 407: the same for the proxy. Counts ProxyAuthAttempts.
  virtual bool FireProxyAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response);
  // Whether to follow a redirect to `location` (HandleRedirects unless OnRedirect decides);
  // OnRedirect may change the location and the method.
  virtual bool FireRedirect(std::string& location, TNetHTTPMethod& method, int count);

  // ---- Properties ----
  // Installs `handler` as the I/O handler of every connection this client makes and keeps it
  // until the client is destroyed: unlike a handler the connection owns, it survives
  // CloseConnection, so a redirect to another server still finds it. Call while disconnected.
  void AdoptIOHandler(std::unique_ptr<TNetIOHandler> handler);

  // ---- Handing a kept-alive connection over (a pool of them: NetConnectionPool.h) ----
  // Makes `connection` this client's connection, its handler adopted as by AdoptIOHandler. The
  // next request uses it when its route leads to the connection's peer (otherwise it is closed
  // as any connection to another peer). When that request is a GET and the connection turns out
  // dead before any byte of the answer arrived (the server closed it while it lay idle), the
  // request goes out once more on a fresh connection. Call while disconnected.
  void AdoptConnection(TNetIdleConnection connection);
  // The connection with its adopted handler, when it may carry another request: connected,
  // the server allowed keep-alive (an HTTP/1.0 answer by saying so) and the last answer was
  // read to its end, nothing unread or unsent is
  // left, and nothing (no stray byte, no close) waits on it. Otherwise nothing, and the client
  // keeps its connection as it is. Afterwards the client has no I/O handler. Call between
  // requests.
  TNetIdleConnection ReleaseConnection();
  // Whether this client holds an adopted connection that has not yet carried a whole request
  // (cleared once a response head has been read on it).
  bool ReusedConnection() const { return reused_connection_; }
  void SetHost(const std::string& host) override;  // also CurrentURI.Host
  void SetPort(int port) override;                 // also CurrentURI.Port (decimal)
  int AuthRetries() const { return auth_retries_; }
  void SetAuthRetries(int n) { auth_retries_ = n; }
  bool AllowCookies() const { return allow_cookies_; }
  void SetAllowCookies(bool on) { allow_cookies_ = on; }
  bool HandleRedirects() const { return handle_redirects_; }
  void SetHandleRedirects(bool on) { handle_redirects_ = on; }
  TNetHTTPProtocolVersion ProtocolVersion() const { return protocol_version_; }
  void SetProtocolVersion(TNetHTTPProtocolVersion v) { protocol_version_ = v; }
  int RedirectMaximum() const { return redirect_maximum_; }
  void SetRedirectMaximum(int n) { redirect_maximum_ = n; }
  TNetHTTPOptions HTTPOptions() const { return http_options_; }
  void SetHTTPOptions(TNetHTTPOptions options) { http_options_ = options; }
  TNetProxyConnectionInfo& ProxyParams() { return *proxy_params_; }
  // Copies another record's proxy fields in.
  void SetProxyParams(const TNetProxyConnectionInfo& params) { params.CopyTo(*proxy_params_); }
  TNetHTTPRequest& Request() { return protocol_->Request(); }
  // Copies the request fields of another record in (see TNetRequestHeaderInfo::CopyTo).
  void SetRequest(const TNetRequestHeaderInfo& request) { request.CopyTo(protocol_->Request()); }
  TNetHTTPResponse& Response() { return protocol_->Response(); }
  const std::string& ResponseText() { return protocol_->Response().ResponseText(); }
  int ResponseCode() { return protocol_->Response().ResponseCode(); }
  TNetURI& CurrentURI() { return *current_uri_; }

  // The cookie store (not owned unless the client made it; may be null).
  TNetCookieManager* CookieManager() const { return cookie_manager_; }
  // Frees a manager the client made itself, installs `manager` (not owned) and asks to be told
  // when it is destroyed.
  void SetCookieManager(TNetCookieManager* manager);
  bool OwnsCookieManager() const { return owned_cookie_manager_ != nullptr; }
  // Where successful authentications are filed on disconnect (not owned; may be null).
  TNetAuthenticationManager* AuthenticationManager() const { return authentication_manager_; }
  void SetAuthenticationManager(TNetAuthenticationManager* manager);

  // Requests sent within the running PerformRequest (1 for the first). All three counters
  // start from 0 when a PerformRequest starts; RedirectCount is 0 again after a success and
  // keeps a failed request's count until the next one starts.
  int RedirectCount() const { return redirect_count_; }
  int AuthAttempts() const { return auth_attempts_; }
  int ProxyAuthAttempts() const { return proxy_auth_attempts_; }

  // Whether requests ask for compressed bodies (Accept-Encoding: gzip, deflate, br, unless the
  // request names its own) and bodies that come gzip, deflate or Brotli coded are decoded as they
  // are read: the response stream and the body limit see the decoded bytes. A body in a coding
  // this client does not know is left as it came. Off by default.
  bool AcceptCompression() const { return accept_compression_; }
  void SetAcceptCompression(bool on) { accept_compression_ = on; }
  // Bytes read off this client's connections so far (heads and framing included).
  int64_t ReceivedBytes() const { return received_bytes_; }
  // When the first byte of the answer to the latest request head arrived; the clock's epoch
  // while none has.
  std::chrono::steady_clock::time_point FirstByteAt() const { return first_byte_at_; }
  // The latest body's bytes as they came, content coding intact (chunk framing not counted);
  // what was read of it when it failed.
  int64_t BodyWireBytes() const { return body_wire_bytes_; }

  const TNetHTTPLimits& Limits() const { return limits_; }
  void SetLimits(const TNetHTTPLimits& limits) { limits_ = limits; }

  // ---- Events ----
  TNetHTTPOnRedirectEvent OnRedirect;
  TNetOnSelectAuthorization OnSelectAuthorization;
  TNetOnSelectAuthorization OnSelectProxyAuthorization;
  TNetOnAuthorization OnAuthorization;
  TNetOnAuthorization OnProxyAuthorization;

 protected:
  friend class TNetHTTPProtocol;

  // Every wait on the connection ends by the whole-fetch deadline while an exchange runs; once
  // it has passed, a read times out even when bytes are still coming.
  TNetReadResult Receive(const TNetDeadline& deadline) override;
  // Fires OnDisconnected, then files a completed authentication with the AuthenticationManager
  // and resets the proxy's authentication object.
  void FireDisconnected() override;
  // Forgets a cookie manager or authentication manager that is being destroyed.
  void Notification(TComponent* component, TOperation operation) override;

 private:
  // A framing line of a body (chunk sizes, chunk ends, trailers).
  std::string ReadBodyLine();
  // The CONNECT exchange through the proxy, then TLS on over the tunnel.
  void OpenTunnel(TNetHTTPRequest& request);
  // The CONNECT request/answer loop of OpenTunnel; `body` takes the answers' bodies.
  void ExchangeConnect(TNetHTTPProtocol& tunnel, TMemoryStream& body);
  // The connect time-out: ReadTimeout, shortened to the deadline.
  int ConnectTimeout() const;

  // Switches TLS on over an accepted CONNECT tunnel; a failed handshake closes the connection.
  void StartTunnelTLS();
  // ConnectForRequest and ReadResponseHead, with the one retry on a fresh connection that an
  // adopted connection found dead allows (see AdoptConnection).
  void SendAndReadHead(TNetHTTPRequest& request, TNetHTTPResponse& response);

  std::unique_ptr<TNetURI> current_uri_;
  std::unique_ptr<TNetHTTPProtocol> protocol_;
  std::unique_ptr<TNetProxyConnectionInfo> proxy_params_;
  TNetCookieManager* cookie_manager_ = nullptr;
  std::unique_ptr<TNetCookieManager> owned_cookie_manager_;  // set when the client made it
  TNetAuthenticationManager* authentication_manager_ = nullptr;
  std::unique_ptr<TNetIOHandler> adopted_io_handler_;  // see AdoptIOHandler
  // Set by AdoptConnection; cleared when that connection closes or another is made.
  bool reused_connection_ = false;
  int64_t received_bytes_ = 0;  // bytes read off the connection, counted by Receive
  std::chrono::steady_clock::time_point first_byte_at_{};  // see FirstByteAt
  int64_t body_wire_bytes_ = 0;                            // see BodyWireBytes
  int64_t connects_ = 0;                                   // connections made by EnsureConnected

  int redirect_count_ = 0;
  int auth_attempts_ = 0;
  int proxy_auth_attempts_ = 0;
  int auth_retries_ = 3;
  bool allow_cookies_ = true;
  TNetHTTPOptions http_options_ = hoForceEncodeParams;
  int redirect_maximum_ = 15;
  bool handle_redirects_ = false;
  bool accept_compression_ = false;
  TNetHTTPProtocolVersion protocol_version_ = pv1_1;

  TNetHTTPLimits limits_;
  TNetDeadline fetch_deadline_;  // limited while an exchange with FetchDeadlineMs runs
};

// The client as programs use it.
class TNetHTTP : public TNetCustomHTTP {
 public:
  TNetHTTP() = default;
};
