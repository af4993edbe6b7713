#include "support/TlsPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

// Removes the certificate folder when the test program ends.
struct PkiHolder {
  TlsPki pki;
  std::unique_ptr<testpki::Authority> trusted;
  std::mutex issuing;
  ~PkiHolder() {
    std::error_code ec;
    if (!pki.dir.empty()) std::filesystem::remove_all(pki.dir, ec);
  }
};

PkiHolder* MakePki() {
  auto* holder = new PkiHolder;
  TlsPki& p = holder->pki;
  std::string tmpl = (std::filesystem::temp_directory_path() / "velmora-tls-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
  p.dir = tmpl;
  holder->trusted = std::make_unique<testpki::Authority>("velmora test authority");
  testpki::Authority& trusted = *holder->trusted;
  testpki::Authority stranger("nobody trusts this authority");
  testpki::WriteFile(p.dir + "/ca.pem", trusted.CertificatePem());
  std::filesystem::create_directories(p.dir + "/no-certs");
  p.localhost_pem = trusted.Issue("DNS:localhost");
  testpki::WriteFile(p.dir + "/localhost.crt", p.localhost_pem.certificate_pem);
  testpki::WriteFile(p.dir + "/localhost.key", p.localhost_pem.key_pem);
  p.localhost = {p.dir + "/localhost.crt", p.dir + "/localhost.key"};
  p.address = trusted.IssueFiles(p.dir + "/address", "IP:127.0.0.1");
  p.other_name = trusted.IssueFiles(p.dir + "/other", "DNS:other.test");
  p.expired = trusted.IssueFiles(p.dir + "/expired", "DNS:localhost", -30, -1);
  p.untrusted = stranger.IssueFiles(p.dir + "/untrusted", "DNS:localhost");
  ::setenv("SSL_CERT_FILE", (p.dir + "/ca.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", (p.dir + "/no-certs").c_str(), 1);
  return holder;
}

}  // namespace

namespace {

PkiHolder& Holder() {
  static std::unique_ptr<PkiHolder> holder(MakePki());
  return *holder;
}

}  // namespace

const TlsPki& Pki() { return Holder().pki; }

testpki::Issued IssueTrusted(const std::string& names, long from_days, long to_days) {
  PkiHolder& holder = Holder();
  std::lock_guard<std::mutex> lock(holder.issuing);
  return holder.trusted->Issue(names, from_days, to_days);
}

// ---------------------------------------------------------------------------------------------

std::string TlsScriptServer::Peer::ReadHead() {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n <= 0) return std::string();
    head.append(buf, static_cast<size_t>(n));
  }
  return head;
}

bool TlsScriptServer::Peer::Send(const std::string& bytes) {
  return bytes.empty() || SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
}

void TlsScriptServer::Peer::StallUntilStopped() {
  while (!server->stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

SSL_CTX* NewServerContext(const testpki::Issued& issued) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  BIO* bio = BIO_new_mem_buf(issued.certificate_pem.data(),
                             static_cast<int>(issued.certificate_pem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  bio = BIO_new_mem_buf(issued.key_pem.data(), static_cast<int>(issued.key_pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  bool ok = ctx != nullptr && cert != nullptr && key != nullptr &&
            SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("TLS test server: certificate");
  }
  return ctx;
}

TlsScriptServer::TlsScriptServer(const testpki::Issued& issued, Script script, uint16_t port)
    : script_(std::move(script)) {
  ctx_ = NewServerContext(issued);

  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const int reuse = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("TLS test server: listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      pollfd p = {listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      fds_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

void TlsScriptServer::Serve(int fd) {
  // OpenSSL writes to the socket with write(2): an alert or a record sent after the client has
  // gone would raise SIGPIPE and end the whole test program. Blocked on this thread, the write
  // fails with EPIPE instead, as a send with MSG_NOSIGNAL would.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  timeval tv{5, 0};  // no script read waits for ever
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    Peer peer{ssl, fd, this};
    script_(peer);
  }
  SSL_free(ssl);
  std::lock_guard<std::mutex> lock(mu_);
  std::erase(fds_, fd);
  ::close(fd);
}

TlsScriptServer::~TlsScriptServer() {
  stopping_ = true;
  acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : workers_) t.join();
  ::close(listen_fd_);
  SSL_CTX_free(ctx_);
}
