#include "tls/NetSSLIOHandlerSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <utility>

#include "transport/NetResolver.h"
#include "transport/NetStackPosix.h"

namespace {

using State = TNetSSLIOHandlerSocket::SocketState;

// ---- Socket glue ------------------------------------------------------------------------------
//
// TLS reads and writes the socket through this BIO rather than OpenSSL's own socket BIO, for
// three reasons: every call is non-blocking (MSG_DONTWAIT), so the handler bounds each wait
// with poll() while the socket itself stays blocking for the plain path; sends never raise
// SIGPIPE (MSG_NOSIGNAL); and the errno of a failed call is kept for the error message.

int GlueWrite(BIO* bio, const char* data, int length) {
  auto* state = static_cast<State*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(state->fd, data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    BIO_set_retry_write(bio);
  } else {
    state->error = errno;
  }
  return -1;
}

int GlueRead(BIO* bio, char* data, int length) {
  auto* state = static_cast<State*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(state->fd, data, static_cast<size_t>(length), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);  // 0: the server closed its side
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    BIO_set_retry_read(bio);
  } else {
    state->error = errno;
  }
  return -1;
}

int GluePuts(BIO* bio, const char* text) {
  return GlueWrite(bio, text, static_cast<int>(std::strlen(text)));
}

long GlueCtrl(BIO*, int command, long, void*) {
  // Writes are never held back, so a flush has nothing to do; nothing else is supported.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int GlueCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once, never freed: handlers on worker threads may still use it while the process ends.
const BIO_METHOD* GlueMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velmora socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, GlueWrite);
    BIO_meth_set_read(m, GlueRead);
    BIO_meth_set_puts(m, GluePuts);
    BIO_meth_set_ctrl(m, GlueCtrl);
    BIO_meth_set_create(m, GlueCreate);
    return m;
  }();
  return method;
}

// ---- The process-wide client settings ---------------------------------------------------------

// TLS 1.2 and newer, the peer's chain always verified against the default trust store, no
// renegotiation, no compression, no session cache (fetches share nothing). Made on first use,
// never freed (see GlueMethod). Null when OpenSSL could not make it.
SSL_CTX* ClientContext() {
  static SSL_CTX* context = [] {
    // No clean-up at exit: the program ends while workers may still be inside a handshake, and
    // OpenSSL's own exit handler would free what they are using.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return ctx;
    bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1;
    // A server that closes without close_notify ends the stream like a TCP close does: bodies
    // framed by length or chunks are still checked for completeness by the HTTP layer.
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Send may return after part of a buffer; the connection sends the rest.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // Take in whatever the socket holds, not one record header and body at a time. Readable
    // asks the record layer first (SSL_peek), so bytes read ahead are never overlooked.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    // Without a readable trust store nothing verifies, which fails closed.
    SSL_CTX_set_default_verify_paths(ctx);
    if (!ok) {
      SSL_CTX_free(ctx);
      return static_cast<SSL_CTX*>(nullptr);
    }
    return ctx;
  }();
  ERR_clear_error();
  return context;
}

// The text after the code line of a socket error ("Connection reset by peer.").
std::string SocketErrorText(int err) {
  std::string text = TNetStack::ErrorText(TNetStackPosix::ErrnoToSocketError(err));
  size_t at = text.find("\r\n");
  return at == std::string::npos ? text : text.substr(at + 2);
}

// The reason of the most recent OpenSSL error on this thread ("wrong version number"), or empty.
std::string LastReason() {
  unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  if (reason != nullptr) return reason;
  if (code != 0) return "error " + std::to_string(ERR_GET_REASON(code));
  return std::string();
}

bool ReasonIsUnexpectedEof() {
  unsigned long code = ERR_peek_last_error();
  return code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL &&
         ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

const char kHandshakeFailed[] = "TLS handshake failed: ";

}  // namespace

// ---- TNetSSLIOHandlerSocket -------------------------------------------------------------------

TNetSSLIOHandlerSocket::TNetSSLIOHandlerSocket() = default;

TNetSSLIOHandlerSocket::~TNetSSLIOHandlerSocket() { Close(); }

void TNetSSLIOHandlerSocket::SetPlainMode(bool on) {
  if (on == plain_mode_) return;
  plain_mode_ = on;
  if (on) {
    if (ssl_ != nullptr) Close();
    return;
  }
  if (TNetIOHandlerSocket::Connected()) StartTLS(TNetDeadline::ForConnect(io_timeout_));
}

void TNetSSLIOHandlerSocket::Open() {
  EndTLS();
  TNetIOHandlerSocket::Open();
}

void TNetSSLIOHandlerSocket::Close() {
  EndTLS();
  TNetIOHandlerSocket::Close();
}

bool TNetSSLIOHandlerSocket::Connected() {
  return TNetIOHandlerSocket::Connected() && (plain_mode_ || ssl_ != nullptr);
}

void TNetSSLIOHandlerSocket::ConnectClientTo(const std::string& host, int port, int timeout,
                                             int bound_port_max, int bound_port_min, int bound_port,
                                             const std::string& bound_ip) {
  EndTLS();
  connect_host_ = host;
  io_timeout_ = timeout;
  TNetIOHandlerSocket::ConnectClientTo(host, port, timeout, bound_port_max, bound_port_min,
                                       bound_port, bound_ip);
  if (!plain_mode_) StartTLS(ConnectDeadline());  // the handshake is part of the connect
}

void TNetSSLIOHandlerSocket::EndTLS() {
  if (ssl_ != nullptr) {
    if (!tls_broken_ && SSL_is_init_finished(ssl_)) {
      // One close_notify, without waiting for the server's: the socket closes right after.
      ERR_clear_error();
      SSL_shutdown(ssl_);
    }
    SSL_free(ssl_);  // frees the glue BIO too
    ssl_ = nullptr;
    ERR_clear_error();
  }
  tls_broken_ = false;
  pending_ = Pending::kNone;
  pending_message_.clear();
  pending_errno_ = 0;
}

void TNetSSLIOHandlerSocket::Fail(const std::string& message, int code) {
  tls_broken_ = true;
  ERR_clear_error();
  Close();
  throw ENetSSLProtocolReplyError(message, code);
}

bool TNetSSLIOHandlerSocket::WaitSocket(bool for_reading, const TNetDeadline& deadline) {
  TNetSocketList set;
  set.Add(socket_state_.fd);
  // Ready, or an error / hang-up the next call will report. A wait that cannot be made at all
  // counts as a time-out, never as a reason to spin.
  return SharedStack()->SelectSockets(for_reading ? &set : nullptr, for_reading ? nullptr : &set,
                                      deadline.WaitMs()) > 0;
}

template <typename Call>
int TNetSSLIOHandlerSocket::CallSsl(Call call, const TNetDeadline& deadline, int& error) {
  for (;;) {
    ERR_clear_error();
    int n = call();
    if (n > 0) return n;
    error = SSL_get_error(ssl_, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return 0;
    if (!WaitSocket(error == SSL_ERROR_WANT_READ, deadline)) {
      error = kWaitTimedOut;
      return 0;
    }
  }
}

void TNetSSLIOHandlerSocket::StartTLS(const TNetDeadline& deadline) {
  std::string name = connect_host_;
  if (OnPeerHostName) OnPeerHostName(this, name);
  if (!name.empty() && name.back() == '.') name.pop_back();  // "example.com." is example.com
  peer_host_name_ = name;
  last_peer_ = PeerCertificate{};

  EndTLS();
  if (name.empty() || name.find('\0') != std::string::npos) {
    Fail(std::string(kHandshakeFailed) + "no valid server name to check the certificate against");
  }
  SSL_CTX* context = ClientContext();
  const BIO_METHOD* glue = GlueMethod();
  if (context == nullptr || glue == nullptr) {
    Fail(std::string(kHandshakeFailed) + "TLS is not available (" + LastReason() + ")");
  }
  ssl_ = SSL_new(context);
  if (ssl_ != nullptr && !verify_peer_) SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
  BIO* bio = ssl_ != nullptr ? BIO_new(glue) : nullptr;
  if (bio == nullptr) Fail(std::string(kHandshakeFailed) + "out of memory");
  socket_state_ = SocketState{Binding()->Handle(), 0};
  BIO_set_data(bio, &socket_state_);
  SSL_set_bio(ssl_, bio, bio);

  // The name: an address is checked against the certificate's IP entries and not sent for SNI
  // (which takes host names only); a host name is both sent and checked, whole labels only.
  in6_addr address;
  const std::string literal = UnbracketedHost(name);  // an IPv6 address comes in brackets
  bool is_address = inet_pton(AF_INET, literal.c_str(), &address) == 1 ||
                    inet_pton(AF_INET6, literal.c_str(), &address) == 1;
  bool named;
  if (is_address) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), literal.c_str()) == 1;
  } else {
    named =
        SSL_set_tlsext_host_name(ssl_, name.c_str()) == 1 && SSL_set1_host(ssl_, name.c_str()) == 1;
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  }
  if (!named) Fail(std::string(kHandshakeFailed) + "invalid server name '" + name + "'");

  // Each handshake flight and each request goes out as whole records in one call; Nagle's
  // algorithm would only hold the last of them back until the server's delayed ACK.
  int on = 1;
  ::setsockopt(socket_state_.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  int error = 0;
  const auto started = std::chrono::steady_clock::now();
  const int connected = CallSsl([this] { return SSL_connect(ssl_); }, deadline, error);
  last_peer_.HandshakeMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  NotePeer();
  if (connected <= 0) {
    last_peer_.Version.clear();
    if (error == kWaitTimedOut) Fail("TLS handshake timed out");
    long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
      int code = static_cast<int>(verify);
      switch (verify) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
          Fail(std::string(kHandshakeFailed) + "host name mismatch (the certificate is not for " +
                   name + ")",
               code);
        case X509_V_ERR_CERT_HAS_EXPIRED:
          Fail(std::string(kHandshakeFailed) + "certificate expired", code);
        case X509_V_ERR_CERT_NOT_YET_VALID:
          Fail(std::string(kHandshakeFailed) + "certificate not yet valid", code);
        default:
          Fail(std::string(kHandshakeFailed) + "certificate not trusted (" +
                   X509_verify_cert_error_string(verify) + ")",
               code);
      }
    }
    if (socket_state_.error != 0) {
      Fail(std::string(kHandshakeFailed) + "connection lost (" +
           SocketErrorText(socket_state_.error) + ")");
    }
    if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN || ReasonIsUnexpectedEof()) {
      Fail(std::string(kHandshakeFailed) + "connection closed by the server");
    }
    std::string reason = LastReason();
    Fail(std::string(kHandshakeFailed) + "protocol error (" +
         (reason.empty() ? std::string("no reason given") : reason) + ")");
  }
  ERR_clear_error();
}

bool TNetSSLIOHandlerSocket::Readable(int ms) {
  if (ssl_ == nullptr) {
    if (plain_mode_) return TNetIOHandlerSocket::Readable(ms);
    throw ENetConnClosedGracefully();
  }
  if (pending_ != Pending::kNone || SSL_pending(ssl_) > 0) return true;
  // A peek runs the record layer: it decrypts the next record, or takes in a close_notify or a
  // session ticket, without handing anything out.
  char byte;
  int error = 0;
  if (CallSsl([&] { return SSL_peek(ssl_, &byte, 1); }, TNetDeadline::ForWait(ms), error) > 0) {
    return true;
  }
  if (error == kWaitTimedOut) return false;
  // The outcome is kept: asked again, OpenSSL would not repeat the reason.
  if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && socket_state_.error == 0)) {
    pending_ = Pending::kClosed;
  } else if (error == SSL_ERROR_SYSCALL) {
    pending_ = Pending::kSocketError;
    pending_errno_ = socket_state_.error;
  } else {
    pending_ = Pending::kProtocolError;
    pending_message_ = "TLS protocol error (" + LastReason() + ")";
  }
  ERR_clear_error();
  return true;
}

int TNetSSLIOHandlerSocket::Recv(void* buffer, int length) {
  if (ssl_ == nullptr) return TNetIOHandlerSocket::Recv(buffer, length);  // plain, or raises
  if (!Connected()) throw ENetClosedSocket();
  if (length <= 0) return 0;

  auto socket_error = [this](int err) {
    tls_broken_ = true;
    TNetStackPosix::SetPlatformLastError(TNetStackPosix::ErrnoToSocketError(err));
    return -1;
  };
  switch (pending_) {
    case Pending::kNone:
      break;
    case Pending::kClosed:
      return 0;
    case Pending::kSocketError:
      return socket_error(pending_errno_);
    case Pending::kProtocolError:
      Fail(pending_message_);
  }

  int error = 0;
  int n = CallSsl([&] { return SSL_read(ssl_, buffer, length); },
                  TNetDeadline::ForConnect(io_timeout_), error);
  if (n > 0) return n;
  switch (error) {
    case kWaitTimedOut:
      TNetStackPosix::SetPlatformLastError(NetErrTimedOut);
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL:
      if (socket_state_.error == 0) return 0;  // closed without close_notify
      return socket_error(socket_state_.error);
    default:
      Fail("TLS protocol error (" + LastReason() + ")");
  }
}

int TNetSSLIOHandlerSocket::Send(const void* buffer, int length) {
  if (ssl_ == nullptr) return TNetIOHandlerSocket::Send(buffer, length);  // plain, or raises
  if (!Connected()) throw ENetClosedSocket();
  if (length <= 0) return 0;

  int error = 0;
  int n = CallSsl([&] { return SSL_write(ssl_, buffer, length); },
                  TNetDeadline::ForConnect(io_timeout_), error);
  if (n > 0) return n;
  switch (error) {
    case kWaitTimedOut:
      TNetStackPosix::SetPlatformLastError(NetErrTimedOut);
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;  // the server sent close_notify: nothing more goes out
    case SSL_ERROR_SYSCALL:
      tls_broken_ = true;
      TNetStackPosix::SetPlatformLastError(TNetStackPosix::ErrnoToSocketError(
          socket_state_.error != 0 ? socket_state_.error : EPIPE));
      return -1;
    default:
      Fail("TLS protocol error (" + LastReason() + ")");
  }
}

void TNetSSLIOHandlerSocket::NotePeer() {
  last_peer_.Version = SSL_get_version(ssl_);
  X509* cert = SSL_get0_peer_certificate(ssl_);
  if (cert == nullptr) return;
  last_peer_.Present = true;
  if (BIO* bio = BIO_new(BIO_s_mem())) {
    X509_NAME_print_ex(bio, X509_get_issuer_name(cert), 0,
                       XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n > 0) last_peer_.Issuer.assign(data, static_cast<size_t>(n));
    BIO_free(bio);
  }
  // Seconds from the epoch to notAfter: ASN1_TIME_diff gives days and seconds between two times.
  ASN1_TIME* epoch = ASN1_TIME_set(nullptr, 0);
  int days = 0, seconds = 0;
  if (epoch != nullptr && ASN1_TIME_diff(&days, &seconds, epoch, X509_get0_notAfter(cert)) == 1) {
    last_peer_.NotAfterUnix = int64_t{days} * 86400 + seconds;
  }
  ASN1_TIME_free(epoch);
}

std::string TNetSSLIOHandlerSocket::NegotiatedVersion() const {
  return ssl_ != nullptr ? SSL_get_version(ssl_) : std::string();
}
