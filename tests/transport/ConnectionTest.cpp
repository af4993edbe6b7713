// The TCP connection against byte-exact loopback peers: line reading, bodies, closes, resets,
// time-outs, write buffering, events.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "PeerUtil.h"
#include "transport/NetTCPClient.h"

using peer::ScriptPeer;

namespace {

std::unique_ptr<TNetTCPClient> Connect(uint16_t port) {
  auto c = std::make_unique<TNetTCPClient>();
  c->SetHost("127.0.0.1");
  c->SetPort(port);
  c->Establish();
  return c;
}

// A peer that sends `pieces` with a pause after each, then closes (FIN).
ScriptPeer::Script SendPieces(std::vector<std::string> pieces, int pause_ms = 30) {
  return [pieces = std::move(pieces), pause_ms](int& fd) {
    for (const std::string& p : pieces) {
      peer::SendAll(fd, p);
      peer::Sleep(pause_ms);
    }
  };
}

}  // namespace

// ---- Lines -----------------------------------------------------------------------------------

TEST(ReadLine, TerminatorsAndCarriageReturns) {
  ScriptPeer p(SendPieces({"abc\r\nabc\n\r\nx\ry\n", "one\r\ntwo\r\n"}));
  auto c = Connect(p.Port());
  EXPECT_EQ(c->ReadLine(), "abc");
  EXPECT_EQ(c->ReadLine(), "abc");
  EXPECT_EQ(c->ReadLine(), "");
  EXPECT_FALSE(c->LineTimedOut());
  EXPECT_EQ(c->ReadLine(), "x\ry");  // only a CR right before the LF is dropped
  EXPECT_EQ(c->ReadLine("\r\n"), "one");
  EXPECT_EQ(c->ReadLine(""), "two");  // empty terminator means LF
}

TEST(ReadLine, TerminatorSplitAcrossReceives) {
  ScriptPeer p(SendPieces({"abc\r", "\nxyE", "N", "Dtail", "\r\n"}));
  auto c = Connect(p.Port());
  EXPECT_EQ(c->ReadLine("\r\n"), "abc");
  EXPECT_EQ(c->ReadLine("END"), "xy");
  EXPECT_EQ(c->ReadLine("\r\n"), "tail");
}

TEST(ReadLine, MaxLineLengthRaisesOrSplits) {
  std::string line(20000, 'a');
  line[16384] = 'b';
  ScriptPeer p(SendPieces({line + "\n" + line + "\n"}));
  auto c = Connect(p.Port());
  try {
    c->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetReadLnMaxLineLengthExceeded& e) {
    EXPECT_EQ(e.Message(), "Max line length exceeded.");
  }
  c->SetMaxLineAction(maSplit);
  std::string first = c->ReadLine();
  EXPECT_EQ(first.size(), 16384u);
  EXPECT_TRUE(c->LineWasSplit());
  std::string rest = c->ReadLine();
  ASSERT_EQ(rest.size(), 3616u);
  EXPECT_EQ(rest[0], 'b');
  EXPECT_FALSE(c->LineWasSplit());
  // Nothing was lost: the second line comes whole in two parts too.
  std::string head = c->ReadLine();
  EXPECT_TRUE(head + c->ReadLine() == line);
}

TEST(ReadLine, LimitAppliesBeforeTheTerminatorArrives) {
  // A peer that never ends its line cannot make the queue grow past the limit.
  ScriptPeer p([](int& fd) {
    peer::SendAll(fd, std::string(100000, 'z'));
    peer::RecvUntilClose(fd, 3000);
  });
  auto c = Connect(p.Port());
  c->SetMaxLineLength(1000);
  EXPECT_THROW(c->ReadLine(), ENetReadLnMaxLineLengthExceeded);
  EXPECT_LT(c->InputQueue().Size(), 1000 + c->RecvBufferSize() + 1);
}

TEST(ReadLine, ZeroLimitAcceptsAnyLength) {
  std::string line(200000, 'q');
  ScriptPeer p(SendPieces({line + "\r\n"}));
  auto c = Connect(p.Port());
  c->SetMaxLineLength(0);
  EXPECT_EQ(c->ReadLine(), line);
}

TEST(ReadLine, CloseMidLineThenGracefulClose) {
  std::vector<std::string> statuses;
  int disconnects = 0;
  ScriptPeer p([](int& fd) { peer::SendAll(fd, "abc"); });
  auto c = Connect(p.Port());
  c->OnStatus = [&](TNetComponent*, TNetStatus, const std::string& t) { statuses.push_back(t); };
  c->OnDisconnected = [&](TNetComponent* sender) {
    EXPECT_EQ(sender, c.get());
    ++disconnects;
  };
  EXPECT_EQ(c->ReadLine(), "");
  EXPECT_TRUE(c->LineTimedOut());
  EXPECT_EQ(c->InputQueue().Size(), 3);
  EXPECT_FALSE(c->IsConnected());
  try {
    c->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
  }
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(statuses, std::vector<std::string>{"Disconnected."});
}

TEST(ReadLine, ExplicitTimeOutGivesEmptyLineAndKeepsTheConnection) {
  ScriptPeer p([](int& fd) {
    peer::RecvExact(fd, 2);  // wait for the client's go
    peer::SendAll(fd, "late\n");
    peer::RecvUntilClose(fd);
  });
  auto c = Connect(p.Port());
  EXPECT_EQ(c->ReadLine("\n", 30), "");
  EXPECT_TRUE(c->LineTimedOut());
  EXPECT_TRUE(c->IsConnected());
  c->WriteText("go");
  EXPECT_EQ(c->ReadLine(), "late");
  EXPECT_FALSE(c->LineTimedOut());
}

TEST(ReadLine, DefaultTimeOutRaisesReadTimeout) {
  ScriptPeer p([](int& fd) {
    peer::RecvExact(fd, 2);
    peer::SendAll(fd, "ok\n");
    peer::RecvUntilClose(fd);
  });
  auto c = Connect(p.Port());
  c->SetReadTimeout(50);
  try {
    c->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read Timeout");
  }
  c->WriteText("go");
  EXPECT_EQ(c->ReadLine(), "ok");  // still usable
}

TEST(Deadline, TimeOutsOfTheReadAndConnectOperations) {
  // Read time-outs: -1 is ReadTimeout (0 there: no limit), -2 none, 0 a poll.
  EXPECT_FALSE(TNetDeadline::ForRead(-1, 0).Limited());
  EXPECT_FALSE(TNetDeadline::ForRead(-2, 50).Limited());
  EXPECT_EQ(TNetDeadline::ForRead(0, 50).WaitMs(), 0);
  EXPECT_TRUE(TNetDeadline::ForRead(0, 50).Passed());
  const int left = TNetDeadline::ForRead(-1, 60000).WaitMs();
  EXPECT_TRUE(left > 59000 && left <= 60000) << left;
  // Connect time-outs: 0, -1 and -2 all mean none.
  for (int none : {0, -1, -2}) EXPECT_FALSE(TNetDeadline::ForConnect(none).Limited()) << none;
  // A wait without a limit says so in the socket layer's terms; limits combine to the sooner.
  EXPECT_EQ(TNetDeadline::Never().WaitMs(), -2);
  const TNetDeadline soon = TNetDeadline::In(10), late = TNetDeadline::In(60000);
  EXPECT_LE(late.Sooner(soon).WaitMs(), 10);
  EXPECT_LE(soon.Sooner(TNetDeadline::Never()).WaitMs(), 10);
  EXPECT_TRUE(TNetDeadline::Never().Sooner(late).Limited());
}

// A time-out bounds the whole read, also when the blocks that keep arriving never reach the
// queue (an intercept takes them whole): the wait after such a block only has what is left.
TEST(ReadLine, TimeOutHoldsWhileAnInterceptSwallowsEveryBlock) {
  ScriptPeer p([](int& fd) {
    // A block every 20 ms until the client closes, for at most 3 s.
    for (int i = 0; i < 150 && peer::Silent(fd, 20); ++i) peer::SendAll(fd, "x\n");
  });
  auto c = Connect(p.Port());
  TNetConnectionIntercept swallow;
  swallow.OnReceive = [](TNetConnectionIntercept*, TStream& s) { s.SetSize(0); };
  c->SetIntercept(&swallow);
  EXPECT_EQ(c->FillInput(true, 150, false), -1);
  EXPECT_EQ(c->ReadLine("\n", 150), "");
  EXPECT_TRUE(c->LineTimedOut());
  EXPECT_TRUE(c->IsConnected());
  c->CloseConnection();
}

TEST(ReadLine, TwentySecondReadTimeout_Slow) {
  ScriptPeer p([](int& fd) { peer::RecvUntilClose(fd, 30000); });
  auto c = Connect(p.Port());
  c->SetReadTimeout(20000);
  EXPECT_THROW(c->ReadLine(), ENetReadTimeout);
  c->CloseConnection();
}

TEST(ReadLine, ReplyLinesOfALineProtocol) {
  ScriptPeer p([](int& fd) {
    peer::SendAll(fd, "\r\n250-first\r\n250-second\r\n250 last\r\n");
    peer::RecvExact(fd, 6);
    peer::SendAll(fd, "550 no\r\n");
    peer::RecvUntilClose(fd);
  });
  auto c = Connect(p.Port());
  EXPECT_EQ(c->ReadReply({250}), 250);
  EXPECT_EQ(c->LastCmdResult().TextCode(), "250");
  EXPECT_EQ(c->LastCmdResult().Text().Text(), "first\r\nsecond\r\nlast\r\n");
  try {
    c->SendCommand("QUIT", {221});
    FAIL() << "no exception";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode(), 550);
    EXPECT_EQ(e.Message(), "no\r\n");
  }
}

// ---- Bodies ----------------------------------------------------------------------------------

TEST(ReadToStream, CountCutShortByTheCloseKeepsEveryByte) {
  ScriptPeer p(SendPieces({std::string(400, 'a'), std::string(200, 'b')}));
  auto c = Connect(p.Port());
  TMemoryStream s;
  EXPECT_THROW(c->ReadToStream(s, 1000), ENetConnClosedGracefully);
  EXPECT_EQ(s.DataString(), std::string(400, 'a') + std::string(200, 'b'));
  EXPECT_EQ(s.Size(), 600);
  EXPECT_EQ(c->InputQueue().Size(), 0);
}

TEST(ReadToStream, ExactCountLeavesTheFollowingBytesQueued) {
  ScriptPeer p(SendPieces({std::string(1000, 'x') + "next\n"}));
  auto c = Connect(p.Port());
  TMemoryStream s;
  s.WriteString("head:");
  c->ReadToStream(s, 1000);
  EXPECT_EQ(s.DataString(), "head:" + std::string(1000, 'x'));
  EXPECT_EQ(c->ReadLine(), "next");
}

TEST(ReadToStream, UntilCloseTakesEverything) {
  std::string body;
  for (int i = 0; i < 300000; ++i) body.push_back(static_cast<char>(i * 7));
  ScriptPeer p(SendPieces({body.substr(0, 1000), body.substr(1000)}));
  auto c = Connect(p.Port());
  TMemoryStream s;
  c->ReadToStream(s, -1, true);
  EXPECT_EQ(s.DataString(), body);
  EXPECT_FALSE(c->IsConnected());
}

TEST(ReadToStream, SizePrefixAndWorkEvents) {
  ScriptPeer p(SendPieces({std::string("\x00\x00\x03\xE8", 4) + std::string(1000, 'k')}));
  auto c = Connect(p.Port());
  std::vector<std::string> events;
  int32_t last = 0;
  c->OnWorkBegin = [&](TNetComponent* s, TWorkMode m, int32_t max) {
    EXPECT_EQ(s, c.get());
    events.push_back("begin " + std::to_string(m) + " " + std::to_string(max));
  };
  c->OnWork = [&](TNetComponent*, TWorkMode, int32_t n) {
    EXPECT_GE(n, last);
    last = n;
  };
  c->OnWorkEnd = [&](TNetComponent*, TWorkMode m) { events.push_back("end"); };
  TMemoryStream s;
  c->ReadToStream(s);
  EXPECT_EQ(s.Size(), 1000);
  EXPECT_EQ(last, 1000);
  EXPECT_EQ(events, (std::vector<std::string>{"begin 0 1000", "end"}));
}

TEST(ReadToStream, AnnouncedSizeIsNotAnAllocationSize) {
  ScriptPeer p(SendPieces({"tiny"}));
  auto c = Connect(p.Port());
  TMemoryStream s;
  // A terabyte announced: presizing to it would fail outright.
  EXPECT_THROW(c->ReadToStream(s, int64_t{1} << 40), ENetConnClosedGracefully);
  EXPECT_EQ(s.DataString(), "tiny");
}

TEST(ReadAll, CollectsUpToTheCloseAndConnectAndGetAllDisconnects) {
  ScriptPeer p(SendPieces({"part1-", "part2"}));
  TNetTCPClient c;
  c.SetHost("127.0.0.1");
  c.SetPort(p.Port());
  EXPECT_EQ(c.ConnectAndGetAll(), "part1-part2");
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.IOHandler(), nullptr);  // the handler it made was freed on disconnect
}

// ---- Resets and closes -----------------------------------------------------------------------

TEST(Reset, ReadAfterResetRaisesSocketError) {
  ScriptPeer p([](int& fd) {
    peer::RecvExact(fd, 1);
    peer::Reset(fd);
  });
  auto c = Connect(p.Port());
  c->WriteText("!");
  try {
    c->ReadLine();
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
}

TEST(Reset, WriteToAResetPeerDropsTheSocket) {
  // The peer resets once the client is connected; a reset during the connect fails the connect.
  ScriptPeer p([](int& fd) {
    peer::RecvExact(fd, 1);
    peer::Reset(fd);
  });
  auto c = Connect(p.Port());
  c->WriteText("!");
  p.Join();
  ASSERT_TRUE(c->Socket()->Readable(5000));  // the reset has arrived
  std::string block(1 << 16, 'w');
  try {
    for (int i = 0; i < 100; ++i) c->WriteText(block);
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_TRUE(e.ErrorCode() == 10054 || e.ErrorCode() == 10058) << e.ErrorCode();
  } catch (const ENetConnClosedGracefully&) {
    // The close may be noticed before the send.
  }
  EXPECT_FALSE(c->IsConnected());
}

TEST(Close, ProbeClosedNoticesAFinishedPeer) {
  ScriptPeer p([](int&) {});
  auto c = Connect(p.Port());
  p.Join();
  EXPECT_THROW(c->ProbeClosed(true), ENetConnClosedGracefully);
  EXPECT_FALSE(c->IsConnected());
  EXPECT_TRUE(c->PeerClosed());
  // Writing now is refused as a closed connection.
  EXPECT_THROW(c->WriteLine("x"), ENetConnClosedGracefully);
}

TEST(Close, CloseConnectionReportsInOrder) {
  ScriptPeer p([](int& fd) { peer::RecvUntilClose(fd); });
  auto c = Connect(p.Port());
  std::vector<std::string> seen;
  c->OnStatus = [&](TNetComponent*, TNetStatus, const std::string& t) { seen.push_back(t); };
  c->OnDisconnected = [&](TNetComponent*) { seen.push_back("event"); };
  c->CloseConnection();
  EXPECT_EQ(seen, (std::vector<std::string>{"Disconnecting.", "event", "Disconnected."}));
  EXPECT_THROW(c->ReadLine(), ENetNotConnected);  // no I/O handler any more
}

// ---- Writing ---------------------------------------------------------------------------------

TEST(Write, LinesBufferingAndThreshold) {
  std::string received;
  ScriptPeer p([&](int& fd) {
    received = peer::RecvExact(fd, 2);  // the empty line, alone
    bool silent = peer::Silent(fd, 100);
    received += silent ? "|silent|" : "|early|";
    peer::SendAll(fd, "k");  // now the client may flush
    received += peer::RecvUntilClose(fd, 3000);
  });
  auto c = Connect(p.Port());
  c->WriteLine("");
  c->BeginWriteBuffering();
  c->WriteLine("GET / HTTP/1.1");
  c->WriteLine("Host: x");
  char go;
  c->ReadBytes(&go, 1);
  c->EndWriteBuffering();
  EXPECT_FALSE(c->WriteBuffering());
  c->BeginWriteBuffering(10);
  c->WriteText(std::string(25, 't'));
  EXPECT_EQ(c->OutputQueue()->Size(), 15);  // the first 10 went out at the threshold
  c->DiscardOutput();
  c->EndWriteBuffering();
  c->WriteInt32(0x01020304);
  c->CloseConnection();
  p.Join();
  EXPECT_EQ(received, "\r\n|silent|GET / HTTP/1.1\r\nHost: x\r\n" + std::string(10, 't') +
                          std::string("\x01\x02\x03\x04", 4));
}

// A stream that claims 100 bytes more than it can give.
class LyingStream : public TStream {
 public:
  explicit LyingStream(std::string data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override {
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
    if (n <= 0) return 0;
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    pos_ = origin == soBeginning ? offset : origin == soCurrent ? pos_ + offset : Size() + offset;
    return pos_;
  }
  int64_t Size() const override { return static_cast<int64_t>(data_.size()) + 100; }
  void SetSize(int64_t) override {}

 private:
  std::string data_;
  int64_t pos_ = 0;
};

TEST(Write, StreamsFilesAndTheirErrors) {
  std::string received;
  ScriptPeer p([&](int& fd) { received = peer::RecvUntilClose(fd, 3000); });
  auto c = Connect(p.Port());
  c->SetSendBufferSize(7);
  TMemoryStream s;
  s.WriteString("0123456789");
  c->WriteFromStream(s, true, 0, true);
  s.SetPosition(2);
  c->WriteFromStream(s, false, 3);
  LyingStream lying("abc");
  EXPECT_THROW(c->WriteFromStream(lying), ENetNoDataToRead);

  try {
    c->SendFile("/nonexistent/file.bin");
    FAIL() << "no exception";
  } catch (const ENetFileNotFound& e) {
    EXPECT_EQ(e.Message(), "File \"/nonexistent/file.bin\" not found");
  }
  std::string path = peer::TempDir() + "/f.bin";
  std::ofstream(path) << "file-bytes";
  EXPECT_EQ(c->SendFile(path), 10);
  std::remove(path.c_str());
  c->CloseConnection();
  p.Join();
  EXPECT_EQ(received, std::string("\0\0\0\x0a", 4) + "0123456789" + "234" + "abc" + "file-bytes");
}

TEST(Write, WithoutAConnection) {
  TNetTCPConnection c;
  EXPECT_THROW(c.WriteLine("x"), ENetNotConnected);
  EXPECT_THROW(c.ReadLine(), ENetNotConnected);
  EXPECT_FALSE(c.IsConnected());
  c.WriteText("");  // nothing to send is not an error
}

// ---- Filters and intercepts ------------------------------------------------------------------

TEST(Intercept, SeesEveryBlockAndMayRewriteIt) {
  std::string received;
  ScriptPeer p([&](int& fd) {
    peer::SendAll(fd, std::string("\xC1\xC2z\n", 4));
    peer::RecvExact(fd, 1);  // the intercept is in place now
    peer::SendAll(fd, "hello\n");
    received = peer::RecvUntilClose(fd, 3000);
  });
  auto c = Connect(p.Port());
  c->SetASCIIFilter(true);
  EXPECT_EQ(c->ReadLine(), "ABz");  // 0xC1 -> 0x41
  c->SetASCIIFilter(false);

  std::vector<std::string> order;
  TNetConnectionIntercept first, second;
  first.SetNextIntercept(&second);
  first.OnReceive = [&](TNetConnectionIntercept*, TStream& s) {
    order.push_back("first");
    std::string text(static_cast<size_t>(s.Size()), '\0');
    s.ReadBuffer(text.data(), s.Size());
    for (char& ch : text) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    s.SetSize(0);
    s.WriteString(text);
  };
  second.OnReceive = [&](TNetConnectionIntercept*, TStream&) { order.push_back("second"); };
  first.OnSend = [&](TNetConnectionIntercept*, TStream& s) {
    order.push_back("send-first");
    s.SetSize(0);
    s.WriteString("[rewritten]");
  };
  second.OnSend = [&](TNetConnectionIntercept*, TStream&) { order.push_back("send-second"); };
  c->WriteText("!");
  c->SetIntercept(&first);
  EXPECT_EQ(c->ReadLine(), "HELLO");
  c->WriteText("original");
  EXPECT_EQ(order, (std::vector<std::string>{"second", "first", "send-first", "send-second"}));
  {
    // A destroyed intercept is forgotten by the chain and by the connection.
    TNetConnectionIntercept temp;
    c->SetIntercept(&temp);
  }
  EXPECT_EQ(c->Intercept(), nullptr);
  c->CloseConnection();
  p.Join();
  EXPECT_EQ(received, "[rewritten]");
}
