// Connecting: statuses and their senders, refused and timed-out connects (also under signals
// and the anti-freeze hook), local port ranges, and many clients connecting at once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PeerUtil.h"
#include "runtime/StrUtils.h"
#include "runtime/Thread.h"
#include "support/DnsStandIn.h"
#include "transport/NetResolver.h"
#include "transport/NetTCPClient.h"

namespace {

struct StatusRecord {
  TNetComponent* sender;
  TNetStatus status;
  std::string text;
};

// Binds 0.0.0.0:port so that nobody else can; -1 when the port was taken.
int HoldPort(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Three consecutive ports base..base+2 held; false when the neighbourhood was busy.
bool HoldThree(int& base, int fds[3]) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    base = 20000 + (getpid() * 7 + attempt * 97) % 30000;
    int n = 0;
    for (; n < 3; ++n) {
      fds[n] = HoldPort(base + n);
      if (fds[n] < 0) break;
    }
    if (n == 3) return true;
    for (int i = 0; i < n; ++i) close(fds[i]);
  }
  return false;
}

}  // namespace

TEST(Establish, StatusesComeFromTheHandlerAndTheClient) {
  peer::ScriptPeer p([](int& fd) { peer::RecvUntilClose(fd); });
  TNetTCPClient c;
  std::vector<StatusRecord> seen;
  int connected = 0;
  c.OnStatus = [&](TNetComponent* s, TNetStatus st, const std::string& t) {
    seen.push_back({s, st, t});
  };
  c.OnConnected = [&](TNetComponent* s) {
    EXPECT_EQ(s, &c);
    ++connected;
  };
  c.SetHost("localhost");  // not a dotted quad: resolving is reported (without a lookup)
  c.SetPort(p.Port());
  c.Establish(5000);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].sender, c.IOHandler());
  EXPECT_EQ(seen[0].text, "Resolving hostname localhost.");
  EXPECT_EQ(seen[1].sender, c.IOHandler());
  EXPECT_EQ(seen[1].text, "Connecting to 127.0.0.1.");
  EXPECT_EQ(seen[2].sender, &c);
  EXPECT_EQ(seen[2].status, hsConnected);
  EXPECT_EQ(seen[2].text, "Connected.");
  EXPECT_EQ(connected, 1);
  EXPECT_TRUE(c.IsConnected());
  ASSERT_NE(c.Socket(), nullptr);
  EXPECT_EQ(c.Socket()->Binding()->PeerPort(), p.Port());
  EXPECT_EQ(c.Socket()->Binding()->PeerIP(), "127.0.0.1");
  EXPECT_NE(c.Socket()->Binding()->Port(), 0);
  // The timed connect hands back a blocking socket, as every read and write expects.
  EXPECT_EQ(fcntl(c.Socket()->Binding()->Handle(), F_GETFL) & O_NONBLOCK, 0);

  // A second Establish is refused and leaves the live connection alone.
  try {
    c.Establish();
    FAIL() << "no exception";
  } catch (const ENetAlreadyConnected& e) {
    EXPECT_EQ(e.Message(), "Already connected.");
  }
  EXPECT_TRUE(c.IsConnected());
}

TEST(Establish, RefusedDirectAndWithATimeOut) {
  peer::ClosedPort refused;
  const uint16_t closed = refused.Port();
  for (int timeout : {0, -1, 5000, -2}) {
    TNetTCPClient c;
    c.SetHost("127.0.0.1");
    c.SetPort(closed);
    std::string message;
    try {
      c.Establish(timeout);
      FAIL() << "connected to a closed port";
    } catch (const ENetSocketError& e) {
      EXPECT_TRUE(timeout == 0 || timeout == -1) << timeout;
      EXPECT_EQ(e.ErrorCode(), 10061);
      message = e.Message();
    } catch (const ENetConnectException& e) {
      EXPECT_TRUE(timeout > 0 || timeout == -2) << timeout;
      message = e.Message();
    }
    EXPECT_EQ(message, "Socket Error # 10061\r\nConnection refused.");
    // The socket is dropped; the handler the client made stays installed.
    EXPECT_FALSE(c.IsConnected());
    EXPECT_NE(c.IOHandler(), nullptr);
    EXPECT_FALSE(c.IOHandler()->Connected());
  }
}

// Lookups go to a name server stand-in while one of these lives.
struct NameServerScope {
  explicit NameServerScope(const DnsStandIn& dns) { SetNetNameServers(dns.Server()); }
  ~NameServerScope() { SetNetNameServers(""); }
};

TEST(Resolve, NamesAreLookedUpWithinTheDeadline) {
  DnsStandIn dns;
  dns.Add("v4.test", {"127.0.0.1"});
  dns.Add("both.test", {"127.0.0.2", "::1", "127.0.0.1"});
  dns.Add("v6only.test", {"::1"});
  dns.Add("empty.test", {});
  NameServerScope scope(dns);
  struct Row {
    std::string host;
    int families;
    std::string expected;  // the addresses joined by blanks, or "!" and the error code
  } rows[] = {
      {"v4.test", nfBoth, "127.0.0.1"},
      {"BOTH.test", nfBoth, "::1 127.0.0.2 127.0.0.1"},  // IPv6 first, then in turn
      {"both.test", nfIPv4, "127.0.0.2 127.0.0.1"},
      {"v6only.test", nfBoth, "::1"},
      {"v6only.test", nfIPv4, "!11004"},
      {"empty.test", nfBoth, "!11004"},
      {"missing.test", nfBoth, "!11001"},
      {std::string("v4.test\0.evil", 13), nfBoth, "!11001"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    std::string got;
    try {
      for (const std::string& a : NetResolveHost(row.host, TNetDeadline::In(5000), row.families)) {
        got += (got.empty() ? "" : " ") + a;
      }
    } catch (const ENetSocketError& e) {
      got = "!" + std::to_string(e.ErrorCode());
    }
    EXPECT_EQ(got, row.expected);
  }
  // Addresses and localhost are never asked about; a name is, on the connect's way.
  const int asked = dns.Questions();
  for (const char* host : {"127.0.0.1", "[::1]", "LocalHost"}) {
    EXPECT_EQ(NetResolveHost(host, TNetDeadline::In(5000)).size(), 1u);
  }
  EXPECT_EQ(dns.Questions(), asked);
  peer::ScriptPeer p([](int& fd) { peer::SendAll(fd, "hi\n"); });
  TNetTCPClient c;
  c.SetHost("v4.test");
  c.SetPort(p.Port());
  c.Establish(2000);
  EXPECT_EQ(c.ReadLine(), "hi");
  EXPECT_GT(dns.Questions(), asked);

  // A silent name server: the connect ends by its time-out, the lookup being part of it.
  dns.SetSilent(true);
  TNetTCPClient silent;
  silent.SetHost("v4.test");
  silent.SetPort(p.Port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(silent.Establish(300), ENetResolveTimeout);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
}

// A listener on [::1] (IPv6 only) at `port` (0: any free one); -1 when that cannot be had.
int ListenV6(uint16_t& port, int backlog) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = htons(port);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(a.sin6_port);
  return fd;
}

TEST(Establish, AddressesOfBothFamiliesRaceAndTheFirstToConnectWins) {
  DnsStandIn dns;
  dns.Add("dual.test", {"::1", "127.0.0.1"});
  dns.Add("v6only.test", {"::1"});
  NameServerScope scope(dns);
  const int fds_before = peer::OpenFdCount();
  // [::1]:P never answers (its accept queue is full), 127.0.0.1:P does. The IPv4 listener takes
  // its port first and the IPv6 one joins it, tried again should another process hold [::1]:P.
  uint16_t port = 0;
  int v4_fd = -1, hole = -1;
  for (int attempt = 0; attempt < 5 && hole < 0; ++attempt) {
    if (v4_fd >= 0) close(v4_fd);
    v4_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(v4_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(v4_fd, 16), 0);
    ASSERT_EQ(getsockname(v4_fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port = ntohs(a.sin_port);
    hole = ListenV6(port, 0);
  }
  ASSERT_GE(hole, 0) << "no IPv6 loopback";
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    fillers.push_back(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      full = poll(&p, 1, 200) == 0;
    }
  }
  if (full && v4_fd >= 0) {
    TNetTCPClient c;
    c.SetHost("dual.test");
    c.SetPort(port);
    const auto start = std::chrono::steady_clock::now();
    c.Establish(3000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(c.Socket()->Binding()->PeerIP(), "127.0.0.1");
    EXPECT_GE(took, std::chrono::milliseconds(240));  // IPv6 had its head start
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    c.CloseConnection();
  } else {
    ADD_FAILURE() << "could not black-hole [::1] beside a listener on 127.0.0.1";
  }
  for (int fd : fillers) close(fd);
  close(hole);
  if (v4_fd >= 0) close(v4_fd);

  // A name with only an IPv6 address is reached over IPv6.
  uint16_t v6_port = 0;
  const int v6 = ListenV6(v6_port, 16);
  ASSERT_GE(v6, 0);
  {
    TNetTCPClient c;
    c.SetHost("v6only.test");
    c.SetPort(v6_port);
    c.Establish(3000);
    EXPECT_EQ(c.Socket()->Binding()->PeerIP(), "::1");
  }
  close(v6);
  EXPECT_EQ(peer::OpenFdCount(), fds_before);  // every losing attempt was closed
}

TEST(Establish, TimedConnectThatNeverCompletes) {
  peer::BlackHole hole;
  if (!hole.Ok()) GTEST_SKIP() << "could not fill a loopback accept queue";
  int fds_before = peer::OpenFdCount();
  {
    TNetTCPClient c;
    c.SetHost("127.0.0.1");
    c.SetPort(hole.Port());
    try {
      c.Establish(200);
      FAIL() << "connected";
    } catch (const ENetConnectTimeout& e) {
      EXPECT_EQ(e.Message(), "Connect timed out.");
    }
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(c.Socket()->Binding()->Handle(), NetInvalidSocket);
    EXPECT_EQ(peer::OpenFdCount(), fds_before);  // no socket left open
    // The client can connect elsewhere afterwards.
    peer::ScriptPeer p([](int& fd) { peer::SendAll(fd, "hi\n"); });
    c.SetPort(p.Port());
    c.Establish(2000);
    EXPECT_EQ(c.ReadLine(), "hi");
  }
  EXPECT_EQ(peer::OpenFdCount(), fds_before);
}

TEST(Establish, TimedConnectOutlastsSignals) {
  peer::BlackHole hole;
  if (!hole.Ok()) GTEST_SKIP() << "could not fill a loopback accept queue";
  // Without SA_RESTART every signal cuts a wait short. The handler stays installed: a signal
  // still on its way after the test must not end the program.
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  sigaction(SIGUSR1, &quiet, nullptr);
  std::atomic<bool> stop{false};
  const pthread_t waiter = pthread_self();
  std::thread pester([&] {
    while (!stop) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::yield();
    }
  });
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(hole.Port());
  // An interrupted wait would end as a failed connect (10004), not as the time-out.
  EXPECT_THROW(c.Establish(200), ENetConnectTimeout);
  peer::ScriptPeer p([](int& fd) { peer::SendAll(fd, "hi\n"); });
  c.SetPort(p.Port());
  c.Establish(2000);
  EXPECT_EQ(c.ReadLine(), "hi");
  stop = true;
  pester.join();
}

TEST(Establish, TimedConnectLetsTheAntiFreezeWorkInSteps) {
  if (!IsMainThread()) GTEST_SKIP() << "the tests do not run on the process's first thread";
  struct Counting : TNetAntiFreezeBase {
    int calls = 0;
    void Process() override { ++calls; }
  } anti_freeze;
  anti_freeze.SetIdleTimeOut(20);
  peer::BlackHole hole;
  if (!hole.Ok()) GTEST_SKIP() << "could not fill a loopback accept queue";
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(hole.Port());
  EXPECT_THROW(c.Establish(100), ENetConnectTimeout);
  // 100 ms in steps of at most 20 (fewer when a loaded machine makes a step late).
  EXPECT_GE(anti_freeze.calls, 2);
  EXPECT_LE(anti_freeze.calls, 5);
  // Under the hook even a connect without a time-out is bounded, and one that succeeds ends
  // the steps at once.
  peer::ScriptPeer p([](int& fd) {
    peer::SendAll(fd, "hi\n");
    peer::RecvUntilClose(fd);
  });
  c.SetPort(p.Port());
  anti_freeze.calls = 0;
  c.Establish(-1);
  EXPECT_GE(anti_freeze.calls, 1);
  EXPECT_EQ(c.ReadLine(), "hi");
  // A read's wait goes in the same steps.
  anti_freeze.calls = 0;
  EXPECT_EQ(c.ReadLine("\n", 100), "");
  EXPECT_TRUE(c.LineTimedOut());
  EXPECT_GE(anti_freeze.calls, 2);
  EXPECT_LE(anti_freeze.calls, 6);
  c.CloseConnection();
}

TEST(Establish, TwentySecondConnectTimeout_Slow) {
  peer::BlackHole hole;
  if (!hole.Ok()) GTEST_SKIP() << "could not fill a loopback accept queue";
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(hole.Port());
  EXPECT_THROW(c.Establish(20000), ENetConnectTimeout);
}

TEST(Establish, ManyClientsAtOnceKeepTheirOwnErrors) {
  peer::Listener open_listener(128);
  peer::ClosedPort refused_port;
  std::mutex mutex;
  std::vector<std::string> failures;
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back(what);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        TNetTCPClient c;
        c.SetHost("127.0.0.1");
        bool refuse = (t + i) % 2 == 0;
        c.SetPort(refuse ? refused_port.Port() : open_listener.Port());
        try {
          c.Establish(t % 2 ? 3000 : -1);
          if (refuse) fail("connected to the refusing port");
          c.CloseConnection();
        } catch (const ENetSocketError& e) {
          const int last = SharedStack()->LastError();
          if (!refuse || e.ErrorCode() != 10061 || last != 10061)
            fail(Format("socket error %d, last error %d, refuse=%d", e.ErrorCode(), last, refuse));
        } catch (const ENetConnectException& e) {
          if (!refuse || e.Message() != "Socket Error # 10061\r\nConnection refused.")
            fail(e.Message() + (refuse ? " (refused port)" : " (open port)"));
        }
      }
    });
  }
  // Drain the accept queue while the clients work.
  std::atomic<bool> stop{false};
  std::thread acceptor([&] {
    while (!stop) {
      int fd = open_listener.Accept(20);
      if (fd >= 0) close(fd);
    }
  });
  for (auto& th : threads) th.join();
  stop = true;
  acceptor.join();
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
}

TEST(BindLocal, PortRanges) {
  int base;
  int held[3];
  if (!HoldThree(base, held)) GTEST_SKIP() << "no three free consecutive ports";
  // Everything that takes a port of its own is set up before two of the held ones are let go.
  peer::ScriptPeer p([](int& fd) { peer::RecvUntilClose(fd); });
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(p.Port());
  c.SetBoundPortMin(base);
  c.SetBoundPortMax(base + 2);
  close(held[0]);
  close(held[1]);  // base and base+1 free, base+2 in use
  c.Establish();
  EXPECT_EQ(c.Socket()->Binding()->Port(), base + 1);  // the highest free one
  c.CloseConnection();
  close(held[2]);
  // An address alone reserves no port at the bind (none free of every peer is looked for): the
  // connect picks it, as it does for a client that asked for no binding at all.
  for (const char* bound_ip : {"127.0.0.1", ""}) {
    c.SetBoundPortMin(0);
    c.SetBoundPortMax(0);
    c.SetBoundIP(bound_ip);
    c.Establish();
    EXPECT_NE(c.Socket()->Binding()->Port(), 0) << bound_ip;
    c.CloseConnection();
  }
  {
    TNetComponent keep_stack_alive;
    TNetSocketHandle a;
    a.AllocateSocket();
    a.SetIP("127.0.0.1");
    a.BindLocal();
    EXPECT_EQ(a.Port(), 0);
  }

  TNetSocketHandle h;
  TNetComponent keep_stack_alive;
  h.AllocateSocket();
  h.SetClientPortMin(5000);
  h.SetClientPortMax(4999);
  try {
    h.BindLocal();
    FAIL() << "bound";
  } catch (const ENetInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), "Invalid Port Range (5000 - 4999)");
  }
}

TEST(BindLocal, NothingFreeInRangeOrAtAFixedPort) {
  int base;
  int held[3];
  if (!HoldThree(base, held)) GTEST_SKIP() << "no three free consecutive ports";
  TNetComponent keep_stack_alive;
  TNetSocketHandle h;
  h.AllocateSocket();
  h.SetClientPortMin(base);
  h.SetClientPortMax(base + 2);
  try {
    h.BindLocal();
    FAIL() << "bound";
  } catch (const ENetCanNotBindPortInRange& e) {
    EXPECT_EQ(e.Message(), "Can not bind in port range (" + std::to_string(base) + " - " +
                               std::to_string(base + 2) + ")");
  }
  h.SetPort(base + 1);
  try {
    h.BindLocal();
    FAIL() << "bound";
  } catch (const ENetCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
  }
  for (int fd : held) close(fd);
}

TEST(SocketHandle, WaitReadableNeedsASocket) {
  TNetComponent keep_stack_alive;
  TNetSocketHandle h;
  EXPECT_THROW(h.WaitReadable(0), ENetConnClosedGracefully);
  h.AllocateSocket();
  h.ReleaseSocket();
  EXPECT_FALSE(h.Allocated());
  EXPECT_THROW(h.WaitReadable(10), ENetConnClosedGracefully);
  TNetIOHandlerSocket io;
  EXPECT_THROW(io.Send("x", 1), ENetClosedSocket);
  EXPECT_THROW(io.SetPlainMode(false), Exception);
  EXPECT_FALSE(io.TLSCapable());
}
