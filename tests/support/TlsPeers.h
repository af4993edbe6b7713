// Peers for the TLS tests: the process's throw-away certificates (trusted through
// SSL_CERT_FILE, set in this test process only) and a small TLS server whose every move the
// test scripts, for what a real web server will not do on request (stall after the handshake,
// answer in tiny records, close without close_notify).
//
// Thread-safety: Pki() may be called from any thread. A TlsScriptServer's public methods are
// for the test's thread; each script runs on a thread of its own.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestCertificates.h"

// Certificate and key files for servers, all issued by the one trusted authority unless said.
struct TlsPki {
  using Files = std::pair<std::string, std::string>;  // certificate, key

  std::string dir;
  Files localhost;                // DNS:localhost
  Files address;                  // IP:127.0.0.1
  Files other_name;               // DNS:other.test
  Files expired;                  // DNS:localhost, expired yesterday
  Files untrusted;                // DNS:localhost, by an authority nobody trusts
  testpki::Issued localhost_pem;  // the localhost pair as PEM texts
};

// Made on first use, before any TLS in the process: points SSL_CERT_FILE at the trusted
// authority and SSL_CERT_DIR at an empty folder, so nothing else is trusted.
const TlsPki& Pki();
// A server certificate for `names` from the trusted authority (see Authority::Issue); Pki() is
// made first.
testpki::Issued IssueTrusted(const std::string& names, long from_days = -1, long to_days = 365);
// A TLS server context serving `issued` (the caller frees it); throws when the pair does not load.
SSL_CTX* NewServerContext(const testpki::Issued& issued);

class TlsScriptServer {
 public:
  // The script's side of one accepted connection after a completed handshake.
  struct Peer {
    SSL* ssl;
    int fd;
    TlsScriptServer* server;
    // Reads up to the blank line ending a request head; "" on close or time-out.
    std::string ReadHead();
    // SSL_write of all bytes; false on failure.
    bool Send(const std::string& bytes);
    // Blocks until the server is being destroyed.
    void StallUntilStopped();
  };
  using Script = std::function<void(Peer&)>;

  // Listens on 127.0.0.1:`port` (0: any free port) with `issued` as certificate; runs `script`
  // after each handshake and closes the connection (without close_notify) when it returns.
  TlsScriptServer(const testpki::Issued& issued, Script script, uint16_t port = 0);
  ~TlsScriptServer();

  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "https://localhost:" + std::to_string(port_) + path;
  }

 private:
  void Serve(int fd);

  Script script_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;
};
