// SOCKS negotiation against real proxies (microsocks for SOCKS 5, danted for SOCKS 4) started on
// 127.0.0.1 by the test, and against scripted proxies for the exact bytes, every reply code and
// what no packaged server does (SOCKS 4A, odd address types, silence).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PeerUtil.h"
#include "support/PeerDaemons.h"
#include "transport/NetSocks.h"
#include "transport/NetTCPClient.h"

using peer::ScriptPeer;

namespace {

// A client that reaches host:port through the proxy at 127.0.0.1:proxy_port.
std::unique_ptr<TNetTCPClient> ViaProxy(TSocksVersion version, uint16_t proxy_port,
                                        const std::string& host, uint16_t port) {
  auto c = std::make_unique<TNetTCPClient>();
  auto* io = new TNetIOHandlerSocket;
  c->SetIOHandler(io, true);
  io->SocksInfo()->SetVersion(version);
  io->SocksInfo()->SetHost("127.0.0.1");
  io->SocksInfo()->SetPort(proxy_port);
  c->SetHost(host);
  c->SetPort(port);
  return c;
}

// A target that greets whoever reaches it.
ScriptPeer::Script Greeter() {
  return [](int& fd) {
    peer::SendAll(fd, "hello via proxy\n");
    peer::RecvUntilClose(fd, 3000);
  };
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// microsocks on 127.0.0.1, with the extra arguments given (credentials).
class Microsocks : public PeerDaemon {
 public:
  explicit Microsocks(std::vector<std::string> extra = {}) : extra_(std::move(extra)) {
    ok_ = Start();
  }
  ~Microsocks() override { Stop(); }
  bool Ok() const { return ok_; }
  const std::string& Why() const { return SkipReason(); }

 protected:
  std::string Binary() const override { return "/usr/bin/microsocks"; }
  std::vector<std::string> PrepareRun(uint16_t port) override {
    std::vector<std::string> args = {"-i", "127.0.0.1", "-p", std::to_string(port)};
    args.insert(args.end(), extra_.begin(), extra_.end());
    return args;
  }
  std::string LogPath() const override { return Dir() + "/stdout.log"; }

 private:
  std::vector<std::string> extra_;
  bool ok_ = false;
};

// danted on 127.0.0.1 passing SOCKS 4 connects from loopback clients to anywhere.
class Danted : public PeerDaemon {
 public:
  Danted() { ok_ = Start(); }
  ~Danted() override { Stop(); }
  bool Ok() const { return ok_; }
  const std::string& Why() const { return SkipReason(); }

 protected:
  std::string Binary() const override { return "/usr/sbin/danted"; }
  std::vector<std::string> PrepareRun(uint16_t port) override {
    WriteText(Dir() + "/danted.conf",
              "logoutput: " + LogPath() + "\n" +
                  "internal: 127.0.0.1 port = " + std::to_string(port) + "\n" +
                  "external: 127.0.0.1\n"
                  "clientmethod: none\nsocksmethod: none\n"
                  "user.privileged: root\nuser.unprivileged: nobody\n"
                  "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                  "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
    return {"-f", Dir() + "/danted.conf", "-p", Dir() + "/danted.pid", "-N", "1"};
  }
  std::string LogPath() const override { return Dir() + "/danted.log"; }

 private:
  bool ok_ = false;
};

}  // namespace

// ---- Real proxies ----------------------------------------------------------------------------

TEST(Socks5Real, ConnectsThroughMicrosocks) {
  Microsocks proxy;
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();
  ScriptPeer target(Greeter());
  auto c = ViaProxy(svSocks5, proxy.Port(), "127.0.0.1", target.Port());
  c->Establish(5000);
  EXPECT_EQ(c->Socket()->Binding()->PeerPort(), proxy.Port());  // the TCP link is to the proxy
  EXPECT_EQ(c->ReadLine(), "hello via proxy");
  c->WriteLine("bye");
  c->CloseConnection();
}

TEST(Socks5Real, RefusedTargetIsReported) {
  Microsocks proxy;
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();
  peer::ClosedPort refused;
  auto c = ViaProxy(svSocks5, proxy.Port(), "127.0.0.1", refused.Port());
  try {
    c->Establish(5000);
    FAIL() << "connected";
  } catch (const ENetSocksServerConnectionRefusedError& e) {
    EXPECT_EQ(e.Message(), "Connection refused.");
  }
  EXPECT_FALSE(c->IsConnected());  // the link to the proxy was dropped
}

TEST(Socks5Real, UserAndPassword) {
  Microsocks proxy({"-u", "alice", "-P", "s3cret"});
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();
  ScriptPeer target(Greeter());

  auto good = ViaProxy(svSocks5, proxy.Port(), "127.0.0.1", target.Port());
  TNetSocksInfo* info = good->Socket()->SocksInfo();
  info->SetAuthentication(saUsernamePassword);
  info->SetUsername("alice");
  info->SetPassword("s3cret");
  good->Establish(5000);
  EXPECT_EQ(good->ReadLine(), "hello via proxy");
  good->CloseConnection();

  auto wrong = ViaProxy(svSocks5, proxy.Port(), "127.0.0.1", target.Port());
  wrong->Socket()->SocksInfo()->SetAuthentication(saUsernamePassword);
  wrong->Socket()->SocksInfo()->SetUsername("alice");
  wrong->Socket()->SocksInfo()->SetPassword("guess");
  try {
    wrong->Establish(5000);
    FAIL() << "accepted a wrong password";
  } catch (const ENetSocksAuthError& e) {
    EXPECT_EQ(e.Message(), "Authentication error to socks server.");
  }

  auto none = ViaProxy(svSocks5, proxy.Port(), "127.0.0.1", target.Port());
  try {
    none->Establish(5000);
    FAIL() << "accepted no authentication";
  } catch (const ENetSocksAuthMethodError& e) {
    EXPECT_EQ(e.Message(), "Invalid socks authentication method.");
  }
}

TEST(Socks4Real, ConnectsThroughDanted) {
  Danted dante;
  if (!dante.Ok()) GTEST_SKIP() << dante.Why();
  const uint16_t port = dante.Port();
  ScriptPeer target(Greeter());
  auto c = ViaProxy(svSocks4, port, "localhost", target.Port());
  c->Establish(5000);
  EXPECT_EQ(c->ReadLine(), "hello via proxy");
  c->CloseConnection();

  peer::ClosedPort closed;
  auto refused = ViaProxy(svSocks4, port, "127.0.0.1", closed.Port());
  try {
    refused->Establish(5000);
    FAIL() << "connected";
  } catch (const ENetSocksRequestFailed& e) {
    EXPECT_EQ(e.Message(), "Request rejected or failed.");
  }
}

// ---- Scripted proxies: exact bytes and every reply -------------------------------------------

TEST(Socks4Scripted, RequestBytesAndReplyCodes) {
  struct Case {
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {90, ""},
      {91, "Request rejected or failed."},
      {92, "Request rejected because SOCKS server cannot connect."},
      {93, "Request rejected because the client program and identd report different user-ids."},
      {42, "Unknown socks error."},
  };
  for (const Case& k : cases) {
    std::string request;
    ScriptPeer proxy([&](int& fd) {
      request = peer::RecvExact(fd, 9);
      peer::SendAll(fd, Bytes({0, k.code, 0, 0, 0, 0, 0, 0}) + "after\n");
      peer::RecvUntilClose(fd, 3000);
    });
    auto c = ViaProxy(svSocks4, proxy.Port(), "10.1.2.3", 8080);
    std::string message;
    try {
      c->Establish(3000);
      EXPECT_EQ(c->ReadLine(), "after");  // nothing of the reply is left over
      c->CloseConnection();
    } catch (const ENetSocksError& e) {
      message = e.Message();
    }
    proxy.Join();
    EXPECT_EQ(message, k.message);
    // Empty user name: exactly 9 bytes, ending with the zero byte.
    EXPECT_EQ(request, Bytes({4, 1, 0x1F, 0x90, 10, 1, 2, 3, 0}));
  }
}

TEST(Socks4Scripted, Socks4ASendsTheNameForTheProxyToResolve) {
  std::string request;
  const std::string expected =
      Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "www.example.test" + Bytes({0});
  ScriptPeer proxy([&](int& fd) {
    request = peer::RecvExact(fd, expected.size());
    peer::SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
    peer::RecvUntilClose(fd, 3000);
  });
  auto c = ViaProxy(svSocks4A, proxy.Port(), "www.example.test", 80);
  c->Socket()->SocksInfo()->SetUsername(std::string("bob\0smuggled", 12));
  c->Establish(3000);
  c->CloseConnection();
  proxy.Join();
  EXPECT_EQ(request, expected);

  // A zero byte in the name would end it early: refused before anything is sent.
  ScriptPeer quiet([](int& fd) { peer::RecvUntilClose(fd, 3000); });
  auto bad = ViaProxy(svSocks4A, quiet.Port(), std::string("a.test\0GET /", 13), 80);
  EXPECT_THROW(bad->Establish(3000), ENetSocksError);
  EXPECT_FALSE(bad->IsConnected());
}

TEST(Socks5Scripted, ReplyCodesAndBoundAddresses) {
  struct Case {
    std::string reply;  // after the method choice
    std::string message;
  };
  const std::string ok = Bytes({5, 0, 0});
  const std::vector<Case> cases = {
      {ok + Bytes({1, 1, 2, 3, 4, 0, 80}), ""},
      {ok + Bytes({3, 5}) + "proxy" + Bytes({0, 80}), ""},
      {ok + Bytes({4}) + std::string(16, '\x01') + Bytes({0, 80}), ""},
      {Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}), "General SOCKS server failure."},
      {Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}), "Connection not allowed by ruleset."},
      {Bytes({5, 3, 0, 1, 0, 0, 0, 0, 0, 0}), "Network unreachable."},
      {Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0}), "Host unreachable."},
      {Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}), "Connection refused."},
      {Bytes({5, 6, 0, 1, 0, 0, 0, 0, 0, 0}), "TTL expired."},
      {Bytes({5, 7, 0, 1, 0, 0, 0, 0, 0, 0}), "Command not supported."},
      {Bytes({5, 8, 0, 1, 0, 0, 0, 0, 0, 0}), "Address type not supported."},
      {Bytes({5, 9, 0, 1, 0, 0, 0, 0, 0, 0}), "Unknown socks error."},
      {ok + Bytes({9, 0, 0, 0}), "Unknown socks error."},       // an address of unknown length
      {ok + Bytes({1, 127}), "Socks server did not respond."},  // closed mid-reply
  };
  for (const Case& k : cases) {
    std::string greeting, request;
    ScriptPeer proxy([&](int& fd) {
      greeting = peer::RecvExact(fd, 3);
      peer::SendAll(fd, Bytes({5, 0}));
      request = peer::RecvExact(fd, 4 + 1 + 8 + 2);
      if (k.message == "Socks server did not respond.") {
        peer::SendAll(fd, k.reply);  // and close before the rest of the address
        return;
      }
      peer::SendAll(fd, k.reply + "after\n");
      peer::RecvUntilClose(fd, 3000);
    });
    auto c = ViaProxy(svSocks5, proxy.Port(), "10.0.0.1", 443);
    std::string message;
    try {
      c->Establish(3000);
      EXPECT_EQ(c->ReadLine(), "after") << k.message;
      c->CloseConnection();
    } catch (const ENetSocksError& e) {
      message = e.Message();
    }
    proxy.Join();
    EXPECT_EQ(greeting, Bytes({5, 1, 0}));
    // The host goes as a name, even a dotted quad.
    EXPECT_EQ(request, Bytes({5, 1, 0, 3, 8}) + "10.0.0.1" + Bytes({1, 0xBB}));
    EXPECT_EQ(message, k.message);
  }
}

TEST(Socks5Scripted, ResolvingLocallySendsTheAddressInsteadOfTheName) {
  struct Row {
    std::string host;
    bool locally;
    std::string expected;
  } rows[] = {
      {"localhost", true, Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 80})},
      // An IPv6 address always goes as one (address type 4), never as a name.
      {"[::1]", false, Bytes({5, 1, 0, 4}) + std::string(15, '\0') + Bytes({1, 0, 80})},
  };
  for (const Row& row : rows) {
    std::string request;
    ScriptPeer proxy([&](int& fd) {
      peer::RecvExact(fd, 3);
      peer::SendAll(fd, Bytes({5, 0}));
      request = peer::RecvExact(fd, row.expected.size());
      peer::SendAll(fd, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
      peer::RecvUntilClose(fd, 3000);
    });
    auto c = ViaProxy(svSocks5, proxy.Port(), row.host, 80);
    c->Socket()->SocksInfo()->SetResolveLocally(row.locally);
    c->Establish(3000);
    c->CloseConnection();
    proxy.Join();
    EXPECT_EQ(request, row.expected) << row.host;
  }
}

TEST(Socks5Scripted, RefusedMethodSilenceAndOversizedNames) {
  {
    ScriptPeer proxy([](int& fd) {
      peer::RecvExact(fd, 3);
      peer::SendAll(fd, Bytes({5, 0xFF}));
    });
    auto c = ViaProxy(svSocks5, proxy.Port(), "example.test", 80);
    EXPECT_THROW(c->Establish(3000), ENetSocksAuthMethodError);
  }
  {
    // A proxy that accepts and never answers: the negotiation ends with the connect time-out.
    ScriptPeer proxy([](int& fd) { peer::RecvUntilClose(fd, 5000); });
    auto c = ViaProxy(svSocks5, proxy.Port(), "example.test", 80);
    try {
      c->Establish(200);
      FAIL() << "connected";
    } catch (const ENetSocksServerRespondError& e) {
      EXPECT_EQ(e.Message(), "Socks server did not respond.");
    }
    EXPECT_FALSE(c->IsConnected());
  }
  {
    // A proxy that takes most of the time-out for each reply: all the connect's steps together
    // still end at the time-out.
    ScriptPeer proxy([](int& fd) {
      peer::RecvExact(fd, 3);
      peer::Sleep(150);
      peer::SendAll(fd, Bytes({5, 0}));
      peer::RecvExact(fd, 19);
      peer::Sleep(150);
      peer::SendAll(fd, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
      peer::RecvUntilClose(fd, 3000);
    });
    auto c = ViaProxy(svSocks5, proxy.Port(), "example.test", 80);
    EXPECT_THROW(c->Establish(200), ENetSocksServerRespondError);
  }
  {
    ScriptPeer proxy([](int& fd) {
      peer::RecvExact(fd, 3);
      peer::SendAll(fd, Bytes({5, 0}));
      peer::RecvUntilClose(fd, 3000);
    });
    // A name that a one-byte length cannot carry is refused rather than cut.
    auto c = ViaProxy(svSocks5, proxy.Port(), std::string(300, 'h'), 80);
    EXPECT_THROW(c->Establish(3000), ENetSocksError);
  }
}

TEST(SocksInfo, LinkedAndCopiedSettings) {
  TNetIOHandlerSocket io;
  EXPECT_EQ(io.SocksInfo()->Version(), svNoSocks);
  EXPECT_EQ(io.SocksInfo()->Port(), 1080);
  {
    TNetSocksInfo shared;
    shared.SetVersion(svSocks5);
    shared.SetHost("proxy.test");
    io.SetSocksInfo(&shared);
    EXPECT_EQ(io.SocksInfo(), &shared);
  }
  // The linked object is gone: the handler forgot it and makes a fresh private one.
  EXPECT_EQ(io.SocksInfo()->Version(), svNoSocks);

  TNetSocksInfo loose;
  loose.SetVersion(svSocks4);
  loose.SetUsername("u");
  io.SetSocksInfo(&loose, false);
  EXPECT_NE(io.SocksInfo(), &loose);
  EXPECT_EQ(io.SocksInfo()->Version(), svSocks4);
  EXPECT_EQ(io.SocksInfo()->Username(), "u");
}
