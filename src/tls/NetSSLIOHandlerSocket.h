// TNetSSLIOHandlerSocket: the socket I/O handler that can speak TLS, for https addresses.
//
// With PlainMode on, bytes pass through the socket unchanged, exactly as with
// TNetIOHandlerSocket. With PlainMode off the connection speaks TLS: the client side of a
// TLS 1.2 or 1.3 handshake runs over the connected socket, either right after the connect or,
// on a connection that is already up (a proxy tunnel), the moment the switch goes off. The
// server's name goes out for SNI, its certificate chain is verified against the system's
// trust store and the name is checked against the certificate. Nothing older than TLS 1.2 is
// accepted and there is no fallback: a refused certificate or a failed handshake closes the
// connection and raises ENetSSLProtocolReplyError with a message that says what failed.
//
// Trust store: OpenSSL's default verify paths (the ca-certificates bundle), which honour the
// SSL_CERT_FILE and SSL_CERT_DIR environment variables. They are read once, when the first
// handler of the process starts TLS; all handlers share these settings.
//
// Time-outs: the handshake that follows a connect ends by the connect's own deadline (the connect
// time-out counted from the start of ConnectClientTo; the HTTP client passes its ReadTimeout);
// a handshake over a tunnel, and any wait inside a TLS read or write, has that time-out anew;
// -1, 0 and -2 mean no limit. Readable(ms) bounds its own wait and counts data that TLS has already
// taken off the socket as readable.
//
// Thread-safety: a handler belongs to one thread at a time, like every I/O handler. Any number
// of handlers may work at once on separate threads; they share only the process-wide TLS
// settings, which are made once and never change afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "transport/NetException.h"
#include "transport/NetIOHandlerSocket.h"

typedef struct ssl_st SSL;

class TNetSSLIOHandlerSocket : public TNetIOHandlerSocket {
 public:
  TNetSSLIOHandlerSocket();
  // Closes, with a TLS close_notify when TLS is up.
  ~TNetSSLIOHandlerSocket() override;

  bool TLSCapable() const override { return true; }
  // OnPeerHostName too.
  void ClearEvents() override {
    TNetIOHandlerSocket::ClearEvents();
    OnPeerHostName = nullptr;
  }
  // On (the default) = plain bytes; off = TLS.
  bool PlainMode() const override { return plain_mode_; }
  // Off on a live plain connection starts TLS at once (the handshake runs here and raises on
  // failure); on a closed one, the next connect starts it. On ends a live TLS connection: TLS
  // cannot be taken off a stream, so the next request needs a connection of its own.
  void SetPlainMode(bool on) override;

  // Sends close_notify when TLS is up, frees the TLS state and closes the socket.
  void Close() override;
  // Connects (see TNetIOHandlerSocket), then with PlainMode off runs the handshake; a failed
  // handshake closes the socket and raises ENetSSLProtocolReplyError.
  void ConnectClientTo(const std::string& host, int port, int timeout, int bound_port_max,
                       int bound_port_min, int bound_port, const std::string& bound_ip) override;
  // The socket is connected and, with PlainMode off, TLS is up: a handler never carries plain
  // bytes while TLS is asked for.
  bool Connected() override;
  void Open() override;
  // With TLS: true when decrypted data, the server's close or a failure (reported by the next
  // Recv) is waiting within `ms` (-2 = no limit).
  bool Readable(int ms) override;
  // With TLS: decrypted bytes, 0 on the server's close (with or without close_notify), -1 with
  // the socket error set for a broken or timed-out socket; a TLS protocol failure raises
  // ENetSSLProtocolReplyError and closes. Raises ENetClosedSocket when not connected.
  int Recv(void* buffer, int length) override;
  // With TLS: encrypts and sends; the count taken, or -1 with the socket error set.
  int Send(const void* buffer, int length) override;

  // The TLS version in use ("TLSv1.3", "TLSv1.2"); empty while the connection is plain.
  std::string NegotiatedVersion() const;

  // Whether the next handshakes verify the server's certificate (on by default). Off is for the
  // site check-up alone, which reads a site's pages after it has reported the certificate's
  // refusal; nothing else turns it off.
  bool VerifyPeer() const { return verify_peer_; }
  void SetVerifyPeer(bool on) { verify_peer_ = on; }
  // What the last handshake learnt, kept after the connection closes (a refused certificate
  // too, when the server sent one) and cleared when the next handshake starts.
  struct PeerCertificate {
    bool Present = false;
    std::string Issuer;        // one line, "CN=..., O=..."
    int64_t NotAfterUnix = 0;  // seconds since 1970
    std::string Version;       // "TLSv1.3"; "" when the handshake did not complete
    double HandshakeMs = -1;   // the handshake's duration; negative when none ran
  };
  const PeerCertificate& LastPeer() const { return last_peer_; }
  // The name the last handshake checked the certificate against.
  const std::string& PeerHostName() const { return peer_host_name_; }

  // Asked before each handshake for the server's name (sent for SNI and checked against the
  // certificate). HostName comes in as the host the socket connected to; over a proxy tunnel
  // that is the proxy, so the owner must name the server here (InstallTlsHandler does).
  std::function<void(TNetSSLIOHandlerSocket* Sender, std::string& HostName)> OnPeerHostName;

  // What TLS I/O knows about its socket; shared with the socket glue in the .cpp file.
  struct SocketState {
    int fd = -1;
    int error = 0;  // errno of the last failed socket call, 0 after an orderly end
  };

 private:
  // A failure that Readable found, kept for the next Recv to report.
  enum class Pending { kNone, kClosed, kSocketError, kProtocolError };

  // Runs the handshake over the connected socket, ending by `deadline`; on failure closes and
  // raises.
  void StartTLS(const TNetDeadline& deadline);
  // Closes and raises ENetSSLProtocolReplyError(message, code).
  [[noreturn]] void Fail(const std::string& message, int code = 0);
  // Frees the TLS state, with close_notify first when TLS is up and healthy.
  void EndTLS();
  // Waits until the socket is ready for reading (or writing) or `deadline` has passed; false on
  // time-out.
  bool WaitSocket(bool for_reading, const TNetDeadline& deadline);
  // Repeats `call` (an SSL_* call, positive on success) while OpenSSL waits for the socket,
  // waiting at most until `deadline`. Returns the call's positive result, or 0 with `error`
  // set to the SSL error that ended it (kWaitTimedOut when the deadline came first).
  static constexpr int kWaitTimedOut = -1;
  template <typename Call>
  int CallSsl(Call call, const TNetDeadline& deadline, int& error);

  // Notes the server's certificate and the version into last_peer_ (the handshake has got
  // that far).
  void NotePeer();

  SSL* ssl_ = nullptr;        // the TLS session; null while plain or closed
  SocketState socket_state_;  // read and written by the socket glue during TLS calls
  bool plain_mode_ = true;
  bool tls_broken_ = false;  // a fatal TLS or socket error: no close_notify any more
  int io_timeout_ = -2;  // the connect's time-out (ForConnect), for the handshake and in-call waits
  std::string connect_host_;    // the host the socket connected to
  std::string peer_host_name_;  // the name the last handshake verified
  Pending pending_ = Pending::kNone;
  bool verify_peer_ = true;
  PeerCertificate last_peer_;
  std::string pending_message_;  // the kProtocolError text
  int pending_errno_ = 0;        // the kSocketError errno
};
