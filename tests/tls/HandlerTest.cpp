// The TLS handler against peers the test scripts byte by byte: servers that break the
// handshake in every way a network can, a server that goes silent after it, and answers cut
// into records and closes that test the read path's readiness and end-of-stream handling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/ScriptedServer.h"
#include "tls/TlsClient.h"

namespace {

std::string Url(uint16_t port, const std::string& path = "/") {
  return "https://localhost:" + std::to_string(port) + path;
}

TEST(TlsHandshake, BrokenServersGiveTheFailureAndNoConnection) {
  using Script = ScriptedServer::Script;
  struct Case {
    const char* name;
    Script script;
    std::string expected;  // the message, or its start when it ends in "("
  } cases[] = {
      {"plain http instead of a ServerHello",
       [](ScriptedConnection& c) {
         c.ReadBytes(5);
         c.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
         c.WaitPeerClosed(3000);
       },
       "TLS handshake failed: protocol error ("},
      {"close after the ClientHello", [](ScriptedConnection& c) { c.ReadBytes(5); },
       "TLS handshake failed: connection closed by the server"},
      {"close inside a record",
       [](ScriptedConnection& c) {
         c.ReadBytes(5);
         c.Send(std::string("\x16\x03\x03\x00\x40\x02\x00\x00", 8));  // 64 bytes announced
       },
       "TLS handshake failed: connection closed by the server"},
      {"silence", [](ScriptedConnection& c) { c.Pause(20000); }, "TLS handshake timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    auto http = TlsClient(400);
    std::string got = Fetch(*http, Url(server.Port()));
    if (c.expected.back() == '(') {
      EXPECT_EQ(got.substr(0, c.expected.size() + 1), "!" + c.expected) << got;
    } else {
      EXPECT_EQ(got, "!" + c.expected);
    }
    EXPECT_FALSE(http->IsConnected());
  }
}

TEST(TlsHandshake, ResetDuringTheHandshakeIsAConnectionLost) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread peer([listener] {
    int fd = ::accept(listener, nullptr, nullptr);
    pollfd p = {fd, POLLIN, 0};
    ::poll(&p, 1, 5000);  // the ClientHello is there, unread: closing now resets
    linger l = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
  });
  std::string got = Fetch(*TlsClient(), Url(ntohs(addr.sin_port)));
  peer.join();
  ::close(listener);
  EXPECT_EQ(got, "!TLS handshake failed: connection lost (Connection reset by peer.)");
}

TEST(TlsHandshake, FailureIsTheTlsReplyErrorAndTheClientRecovers) {
  ScriptedServer broken([](ScriptedConnection& c) { c.ReadBytes(5); });
  TlsScriptServer good(Pki().localhost_pem, [](TlsScriptServer::Peer& p) {
    while (!p.ReadHead().empty()) p.Send(HttpResponse("HTTP/1.1 200 OK", "fine"));
  });
  auto http = TlsClient();
  EXPECT_THROW(http->Get(Url(broken.Port())), ENetSSLProtocolReplyError);
  EXPECT_EQ(Fetch(*http, good.Url("/")), "fine");
  EXPECT_EQ(Handler(*http)->PeerHostName(), "localhost");
  EXPECT_EQ(Handler(*http)->NegotiatedVersion(), "TLSv1.3");
}

TEST(TlsRead, ServerSilentAfterTheHandshakeTimesOut) {
  std::atomic<int> heads{0};
  TlsScriptServer server(Pki().localhost_pem, [&](TlsScriptServer::Peer& p) {
    if (!p.ReadHead().empty()) ++heads;
    p.StallUntilStopped();
  });
  auto http = TlsClient(300);
  EXPECT_EQ(Fetch(*http, server.Url("/")), "!Read Timeout");
  EXPECT_EQ(heads, 1);
}

TEST(TlsRead, AnswersInAnyRecordLayoutArriveWhole) {
  const std::string body(5000, 'b');
  const std::string framed = HttpResponse("HTTP/1.1 200 OK", body);
  const std::string to_close = HttpHead("HTTP/1.1 200 OK", {"Connection: close"}) + body;
  struct Case {
    const char* name;
    std::function<void(TlsScriptServer::Peer&)> answer;
    int recv_buffer;
  } cases[] = {
      // One record, read 7 bytes at a time: the rest waits inside TLS, not on the socket, and
      // must count as readable while the server stays silent.
      {"one record, small reads",
       [&](TlsScriptServer::Peer& p) {
         p.Send(framed);
         p.StallUntilStopped();
       },
       7},
      {"a record per byte",
       [&](TlsScriptServer::Peer& p) {
         for (char ch : framed) p.Send(std::string(1, ch));
         p.StallUntilStopped();
       },
       32768},
      {"read to the close, with close_notify",
       [&](TlsScriptServer::Peer& p) {
         p.Send(to_close);
         SSL_shutdown(p.ssl);
       },
       32768},
      {"read to the close, without close_notify",
       [&](TlsScriptServer::Peer& p) { p.Send(to_close); }, 32768},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsScriptServer server(Pki().localhost_pem, [&](TlsScriptServer::Peer& p) {
      if (!p.ReadHead().empty()) c.answer(p);
    });
    auto http = TlsClient(2000);
    http->SetRecvBufferSize(c.recv_buffer);
    EXPECT_EQ(Fetch(*http, server.Url("/")), body);
  }
}

TEST(TlsWrite, LargeBodiesGoOutWhole) {
  std::string upload(3 << 20, '\0');
  for (size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<char>(i * 7 + i / 251);
  std::string received;  // the server's; read once its thread has ended
  TMemoryStream answer;
  {
    TlsScriptServer server(Pki().localhost_pem, [&](TlsScriptServer::Peer& p) {
      std::string head = p.ReadHead();
      size_t body_start = head.find("\r\n\r\n") + 4;
      received = head.substr(body_start);
      char buf[65536];
      while (received.size() < upload.size()) {
        int n = SSL_read(p.ssl, buf, sizeof buf);
        if (n <= 0) break;
        received.append(buf, static_cast<size_t>(n));
      }
      p.Send(HttpResponse("HTTP/1.1 200 OK", std::to_string(received.size())));
    });
    auto http = TlsClient();
    TMemoryStream source;
    source.WriteString(upload);
    http->PerformRequest(hmPost, server.Url("/up"), &answer, &source);
  }
  EXPECT_EQ(answer.DataString(), std::to_string(upload.size()));
  EXPECT_TRUE(received == upload);
}

}  // namespace

namespace {

// Listens on 127.0.0.1; for one client, reads the CONNECT head, answers `reply`, then relays
// bytes both ways between the client and 127.0.0.1:target_port until either side closes.
class OneTunnelProxy {
 public:
  OneTunnelProxy(std::string reply, uint16_t target_port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 1);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, reply, target_port] {
      int client = ::accept(listener_, nullptr, nullptr);
      std::string head;
      char buf[16384];
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
      }
      ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in target = Loopback(target_port);
      ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target);
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      for (bool open = true; open && ::poll(fds, 2, 5000) > 0;) {
        for (int i = 0; i < 2 && open; ++i) {
          if (fds[i].revents == 0) continue;
          ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
          open = n > 0 && ::send(fds[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
        }
      }
      ::close(server);
      ::close(client);
    });
  }
  ~OneTunnelProxy() {
    thread_.join();
    ::close(listener_);
  }
  uint16_t Port() const { return port_; }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
  }
  int listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST(TlsTunnel, BytesSentWithTheProxysAcceptanceAreRefused) {
  TlsScriptServer server(Pki().localhost_pem, [](TlsScriptServer::Peer& p) {
    if (!p.ReadHead().empty()) p.Send(HttpResponse("HTTP/1.1 200 OK", "genuine"));
  });
  const std::string accepted = "HTTP/1.1 200 Connection established\r\n\r\n";
  struct Case {
    std::string reply;
    std::string expected;
  } cases[] = {
      {accepted, "genuine"},
      // The proxy answers in the server's place along with its acceptance: read from the queue
      // after the handshake, the forged answer would pass for one that came over TLS.
      {accepted + HttpResponse("HTTP/1.1 200 OK", "forged"),
       "!TLS handshake failed: protocol error (the proxy sent data after accepting the tunnel)"},
  };
  for (const Case& c : cases) {
    OneTunnelProxy proxy(c.reply, server.Port());
    auto http = TlsClient();
    http->ProxyParams().SetProxyServer("127.0.0.1");
    http->ProxyParams().SetProxyPort(proxy.Port());
    EXPECT_EQ(Fetch(*http, server.Url("/")), c.expected);
  }
}

}  // namespace
