// The socket stack: address texts, error numbers and texts, socket sets and readiness waits,
// the service database, per-thread errors, and the shared instance's lifetime.
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "PeerUtil.h"
#include "transport/NetComponent.h"
#include "transport/NetStackPosix.h"

namespace {

// Keeps the shared stack alive for a test.
class StackTest : public ::testing::Test {
 protected:
  TNetComponent component_;
  TNetStack& stack_ = *SharedStack();
};

}  // namespace

TEST_F(StackTest, DottedQuads) {
  for (const char* yes : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "127.0.0.1"}) {
    EXPECT_TRUE(TNetStack::IsDottedQuad(yes)) << yes;
  }
  for (const char* no : {"10.0.0.256", "10.0.0", "10.0.0.1.5", "", "a.b.c.d", "1..2.3", "1.2.3.",
                         "-1.2.3.4", " 1.2.3.4", "0x1.2.3.4", "1.2.3.4 "}) {
    EXPECT_FALSE(TNetStack::IsDottedQuad(no)) << no;
  }
}

TEST_F(StackTest, LookupWithoutAResolver) {
  for (const char* host : {"LOCALHOST", "localhost", "LocalHost"}) {
    EXPECT_EQ(stack_.LookupHost(host), "127.0.0.1");
  }
  EXPECT_EQ(stack_.LookupHost("10.0.0.1"), "10.0.0.1");
  // An embedded NUL would be resolved as its prefix; it is refused instead.
  try {
    stack_.LookupHost(std::string("localhost\0.evil", 15));
    FAIL() << "resolved";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
  }
}

TEST_F(StackTest, AddressBytes) {
  TNetIPv4Bytes b = TNetStack::ParseAddress("192.168.1.20");
  EXPECT_EQ(b, (TNetIPv4Bytes{192, 168, 1, 20}));
  EXPECT_EQ(TNetStack::FormatAddress(b), "192.168.1.20");
  EXPECT_EQ(TNetStack::FormatAddress({0, 0, 0, 1}), "0.0.0.1");
  EXPECT_THROW(TNetStack::ParseAddress("1.x.3.4"), Exception);
  EXPECT_THROW(TNetStack::ParseAddress("1.2.3"), Exception);
}

TEST_F(StackTest, ErrorTextsAndNumbers) {
  EXPECT_EQ(TNetStack::ErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(TNetStack::ErrorText(12345), "Socket Error # 12345\r\n");
  EXPECT_EQ(TNetStack::ErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(TNetStack::ErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(TNetStack::ErrorText(11001), "Socket Error # 11001\r\nHost not found.");
  // Linux numbers differ from the BSD ones the socket numbering is built on.
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(ECONNREFUSED), 10061);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(ETIMEDOUT), 10060);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(ECONNRESET), 10054);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(EADDRINUSE), 10048);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(EAGAIN), 10035);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(EINPROGRESS), 10036);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(EBADF), 10009);
  EXPECT_EQ(TNetStackPosix::ErrnoToSocketError(EPIPE), 10058);
  EXPECT_EQ(TNetStackPosix::LookupErrorToSocketError(EAI_NONAME, 0), 11001);
  EXPECT_EQ(TNetStackPosix::LookupErrorToSocketError(EAI_AGAIN, 0), 11002);

  try {
    stack_.RaiseError(10054);
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
}

TEST_F(StackTest, CheckResultIgnoresListedErrorsAndKeepsThemPerThread) {
  EXPECT_FALSE(stack_.CheckResult(0));
  EXPECT_FALSE(stack_.CheckResult(5, {10061}));
  peer::ClosedPort refused;
  const uint16_t closed = refused.Port();
  int fd = stack_.NewSocket(1, 0);
  EXPECT_EQ(stack_.Connect(fd, "127.0.0.1", closed), -1);
  EXPECT_TRUE(stack_.CheckResult(-1, {10061}));
  EXPECT_EQ(stack_.LastError(), 10061);

  // Another thread's failure never shows up here, and ours not there.
  int theirs = 0;
  std::thread other([&] {
    TNetStack& s = *SharedStack();
    EXPECT_EQ(s.Bind(fd, "not an address", 0), -1);
    try {
      s.CheckResult(-1);
    } catch (const ENetSocketError& e) {
      theirs = e.ErrorCode();
    }
  });
  other.join();
  EXPECT_EQ(theirs, 10022);
  EXPECT_EQ(stack_.LastError(), 10061);
  EXPECT_EQ(stack_.PlatformLastError(), 10061);
  stack_.CloseSocket(fd);
}

TEST_F(StackTest, SocketListsHoldSixtyFour) {
  TNetSocketList list;
  for (int i = 0; i < 64; ++i) list.Add(1000 + i);
  list.Add(1000);  // already there: no new slot
  EXPECT_EQ(list.Count(), 64);
  try {
    list.Add(2000);
    FAIL() << "65 handles";
  } catch (const ENetStackSetSizeExceeded& e) {
    EXPECT_EQ(e.Message(), "Set Size Exceeded.");
  }
  EXPECT_THROW(list.Items(64), ENetStackSetSizeExceeded);
  EXPECT_THROW(list.Items(-1), ENetStackSetSizeExceeded);
  list.Remove(1000);  // the last handle takes its slot
  EXPECT_EQ(list.Count(), 63);
  EXPECT_EQ(list.Items(0), 1063);
  list.Remove(424242);
  EXPECT_EQ(list.Count(), 63);
}

TEST_F(StackTest, SelectKeepsOnlyReadySockets) {
  int pair_a[2], pair_b[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_b), 0);
  TNetSocketList read;
  read.Add(pair_a[0]);
  read.Add(pair_b[0]);
  EXPECT_EQ(stack_.SelectSockets(&read, nullptr, 0), 0);  // a poll: nothing ready
  EXPECT_EQ(read.Count(), 0);

  ASSERT_EQ(write(pair_b[1], "x", 1), 1);
  read.Add(pair_a[0]);
  read.Add(pair_b[0]);
  TNetSocketList writable;
  writable.Add(pair_a[0]);
  EXPECT_EQ(stack_.SelectSockets(&read, &writable, 1000), 2);
  ASSERT_EQ(read.Count(), 1);
  EXPECT_EQ(read.Items(0), pair_b[0]);
  EXPECT_EQ(writable.Count(), 1);

  // Without a limit the wait lasts until something arrives: the byte is written only once this
  // thread is on its way into the wait.
  read.Clear();
  read.Add(pair_a[0]);
  std::promise<void> waiting;
  std::future<void> entering = waiting.get_future();
  std::thread late([&] {
    entering.wait();
    ASSERT_EQ(write(pair_a[1], "y", 1), 1);
  });
  waiting.set_value();
  EXPECT_EQ(stack_.SelectSockets(&read, nullptr, -2), 1);
  late.join();
  // A negative limit other than "no limit" is an error result, not a raise.
  EXPECT_EQ(stack_.SelectSockets(&read, nullptr, -5), -1);
  EXPECT_EQ(stack_.PlatformLastError(), 10022);

  for (int fd : {pair_a[0], pair_a[1], pair_b[0], pair_b[1]}) close(fd);
}

TEST_F(StackTest, ServicePortsAndNames) {
  try {
    stack_.ServicePort("no-such-service-here");
    FAIL() << "resolved";
  } catch (const ENetInvalidServiceName& e) {
    EXPECT_EQ(e.Message(), "no-such-service-here is not a valid service.");
  }
  EXPECT_EQ(stack_.ServicePort("80"), 80);
  EXPECT_EQ(stack_.ServicePort("65000"), 65000);
  if (access("/etc/services", R_OK) != 0) GTEST_SKIP() << "no service database";
  EXPECT_EQ(stack_.ServicePort("http"), 80);
  TStringList names = stack_.ServiceNames(80);
  ASSERT_FALSE(names.Empty());
  EXPECT_EQ(names[0], "http");
  EXPECT_TRUE(stack_.ServiceNames(-1).Empty());
}

TEST(SharedStackLifetime, FollowsTheLiveComponents) {
  ASSERT_EQ(SharedStack(), nullptr) << "a component outlived its test";
  {
    TNetComponent a;
    TNetStack* first = SharedStack();
    ASSERT_NE(first, nullptr);
    {
      TNetComponent b;
      EXPECT_EQ(SharedStack(), first);
    }
    EXPECT_EQ(SharedStack(), first);
  }
  EXPECT_EQ(SharedStack(), nullptr);

  // Many threads making and freeing components: whoever holds one always sees a stack.
  std::atomic<int> missing{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TNetComponent c;
        TNetStack* s = SharedStack();
        if (!s || s->LookupHost("localhost") != "127.0.0.1") ++missing;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(missing.load(), 0);
  EXPECT_EQ(SharedStack(), nullptr);
}

TEST(ComponentEvents, StatusFormatsAndNestedWork) {
  TNetComponent c;
  std::vector<std::string> seen;
  c.OnStatus = [&](TNetComponent* s, TNetStatus st, const std::string& t) {
    EXPECT_EQ(s, &c);
    seen.push_back(t);
  };
  c.ReportStatus(hsResolving, "example.org");
  c.ReportStatus(hsConnected, "ignored");
  c.ReportStatus(hsStatusText, "50% done");  // the argument is text, never a format
  EXPECT_EQ(seen, (std::vector<std::string>{"Resolving hostname example.org.", "Connected.",
                                            "50% done"}));

  std::vector<std::string> work;
  c.OnWorkBegin = [&](TNetComponent*, TWorkMode m, int32_t max) {
    work.push_back("begin " + std::to_string(max));
  };
  c.OnWork = [&](TNetComponent*, TWorkMode, int32_t n) { work.push_back(std::to_string(n)); };
  c.OnWorkEnd = [&](TNetComponent*, TWorkMode) { work.push_back("end"); };
  c.ReportWork(wmRead, 5);  // outside a unit: ignored
  c.StartWork(wmRead, 100);
  c.StartWork(wmRead, 7);  // nested: no second begin, the maximum stays
  c.ReportWork(wmRead, 10);
  c.ReportWork(wmWrite, 10);  // the other mode has no open unit
  c.FinishWork(wmRead);
  c.ReportWork(wmRead, 5);
  c.FinishWork(wmRead);
  c.FinishWork(wmRead);  // unbalanced: harmless
  EXPECT_EQ(work, (std::vector<std::string>{"begin 100", "10", "15", "end"}));
}
