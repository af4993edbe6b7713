// Kept-alive connections handed between clients through a pool: never with two clients at once,
// never after an answer that was not read to its end, idle ones closed, and a reused connection
// found dead retried once on a fresh one (GET only).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/NetConnectionPool.h"
#include "http/NetHTTP.h"
#include "support/HttpClientHelpers.h"
#include "support/ScriptedServer.h"
#include "transport/NetIOHandlerSocket.h"

namespace {

constexpr const char* kKey = "http://127.0.0.1:1 direct";

// A client whose connection comes from `pool` when it holds one.
std::unique_ptr<TNetHTTP> PooledClient(TNetConnectionPool& pool) {
  auto http = Client();
  if (TNetIdleConnection idle = pool.Take(kKey)) {
    http->AdoptConnection(std::move(idle));
  } else {
    http->AdoptIOHandler(std::make_unique<TNetIOHandlerSocket>());
  }
  return http;
}

// Answers every request on a connection with its own path, keeping the connection open.
void EchoPaths(ScriptedConnection& c) {
  for (;;) {
    const std::string head = c.ReadHead();
    if (head.empty()) return;
    const size_t from = head.find(' ') + 1;
    const std::string path = head.substr(from, head.find(' ', from) - from);
    if (!c.Send(HttpResponse("HTTP/1.1 200 OK", path))) return;
  }
}

TEST(ConnectionPool, ManyClientsNeverShareAConnectionAndEachGetsItsOwnAnswer) {
  ScriptedServer server(EchoPaths);
  TNetConnectionPool pool;
  std::mutex mu;
  std::set<TNetIOHandler*> in_use;  // handlers some client holds right now
  std::atomic<int> wrong{0}, reused{0};
  constexpr int kThreads = 8, kRequests = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        auto http = PooledClient(pool);
        TNetIOHandler* handler = http->IOHandler();
        {
          std::lock_guard<std::mutex> lock(mu);
          if (!in_use.insert(handler).second) ++wrong;
        }
        if (http->ReusedConnection()) ++reused;
        const std::string path = "/" + std::to_string(t) + "/" + std::to_string(i);
        if (Fetch(*http, server.Url(path)) != path) ++wrong;
        {
          std::lock_guard<std::mutex> lock(mu);
          in_use.erase(handler);
        }
        pool.Give(kKey, http->ReleaseConnection());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(reused.load(), 0);
  EXPECT_LE(server.ConnectionCount(), kThreads * kRequests - reused.load());
  EXPECT_EQ(server.Heads().size(), static_cast<size_t>(kThreads * kRequests));
}

TEST(ConnectionPool, OnlyAConnectionWhoseAnswerWasReadToItsEndComesBack) {
  struct Case {
    const char* name;
    std::string reply;
    bool released;
    int64_t body_limit = kNetMaxBodyBytes;
    bool stop_in_body = false;
    bool server_closes = false;  // the body runs to the close
  };
  const std::string big(256 * 1024, 'x');
  const std::vector<Case> cases = {
      {"complete", HttpResponse("HTTP/1.1 200 OK", "abc"), true},
      {"complete error status", HttpResponse("HTTP/1.1 404 Not Found", "gone"), true},
      {"chunked",
       HttpHead("HTTP/1.1 200 OK", {"Transfer-Encoding: chunked"}) + ChunkedBody("abcdef", 4),
       true},
      {"server closes", HttpResponse("HTTP/1.1 200 OK", "abc", {"Connection: close"}), false},
      {"1.0 without keep-alive", HttpResponse("HTTP/1.0 200 OK", "abc"), false},
      {"past the body limit", HttpResponse("HTTP/1.1 200 OK", big), false, 1000},
      {"stopped inside the body", HttpResponse("HTTP/1.1 200 OK", big), false, kNetMaxBodyBytes,
       true},
      {"stray bytes after the answer", HttpResponse("HTTP/1.1 200 OK", "abc") + "HTTP/1.1 200",
       false},
      {"body to the close", HttpHead("HTTP/1.1 200 OK", {}) + "abc", false, kNetMaxBodyBytes, false,
       true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedServer server([&](ScriptedConnection& c) {
      c.ReadHead();
      c.Send(k.reply);
      // Otherwise the server keeps its side open: the client alone decides.
      if (!k.server_closes) c.WaitPeerClosed(5000);
    });
    TNetConnectionPool pool;
    auto http = PooledClient(pool);
    TNetHTTPLimits limits = http->Limits();
    limits.MaxBodyBytes = k.body_limit;
    http->SetLimits(limits);
    if (k.stop_in_body) {
      http->OnWork = [](TNetComponent*, TWorkMode mode, int64_t) {
        if (mode == wmRead) throw Exception("stopped");
      };
    }
    Fetch(*http, server.Url("/"));
    TNetIdleConnection idle = http->ReleaseConnection();
    EXPECT_EQ(static_cast<bool>(idle), k.released);
    if (!idle) EXPECT_TRUE(http->IOHandler() != nullptr);  // the client keeps what it has
  }
}

TEST(ConnectionPool, AReusedConnectionFoundDeadIsRetriedOnceOnAFreshOneForGetOnly) {
  struct Case {
    const char* name;
    TNetHTTPMethod method;
    std::string second;  // what the first connection does with the second request
    bool reset;
    std::string expected;  // the second request's body, or "!" for a failure
    int connections;
  };
  const std::vector<Case> cases = {
      {"closed before answering", hmGet, "", false, "two", 2},
      {"reset before answering", hmGet, "", true, "two", 2},
      {"a byte of an answer came first", hmGet, "H", false, "!", 1},
      {"POST is not sent twice", hmPost, "", false, "!", 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedServer server([&](ScriptedConnection& c) {
      if (c.Index() == 0) {
        c.ReadHead();
        c.Send(HttpResponse("HTTP/1.1 200 OK", "one"));
        c.ReadHead();  // the second request arrives, and the server gives up on the connection
        if (!k.second.empty()) c.Send(k.second);
        if (k.reset) c.Reset();
        return;
      }
      c.ReadHead();
      c.Send(HttpResponse("HTTP/1.1 200 OK", "two"));
      c.WaitPeerClosed(5000);
    });
    TNetConnectionPool pool;
    {
      auto first = PooledClient(pool);
      ASSERT_EQ(Fetch(*first, server.Url("/1")), "one");
      pool.Give(kKey, first->ReleaseConnection());
    }
    auto second = PooledClient(pool);
    ASSERT_TRUE(second->ReusedConnection());
    std::string body;
    try {
      TMemoryStream out, source;
      source.WriteString("x=1");
      second->PerformRequest(k.method, server.Url("/2"), &out,
                             k.method == hmPost ? &source : nullptr);
      body = out.DataString();
    } catch (const Exception&) {
      body = "!";
    }
    EXPECT_EQ(body, k.expected);
    EXPECT_EQ(server.ConnectionCount(), k.connections);
  }
}

// A handler that only counts how many of its kind are alive.
class TCountedHandler : public TNetIOHandler {
 public:
  explicit TCountedHandler(std::atomic<int>& alive) : alive_(alive) { ++alive_; }
  ~TCountedHandler() override { --alive_; }
  bool Connected() override { return true; }
  bool Readable(int) override { return false; }
  int Recv(void*, int) override { return 0; }
  int Send(const void*, int length) override { return length; }

 private:
  std::atomic<int>& alive_;
};

TEST(ConnectionPool, KeysIdleLimitCapacityAndClose) {
  std::atomic<int> alive{0};
  auto now = std::chrono::steady_clock::time_point{};
  TNetConnectionPool pool(std::chrono::milliseconds(15000), 3, [&] { return now; });
  auto give = [&](const std::string& key) {
    pool.Give(key, TNetIdleConnection{std::make_unique<TCountedHandler>(alive), "h", 80});
  };
  give("a");
  give("b");
  EXPECT_FALSE(pool.Take("c"));
  EXPECT_TRUE(pool.Take("a"));  // taken: the pool no longer holds it
  EXPECT_FALSE(pool.Take("a"));
  EXPECT_EQ(alive.load(), 1);  // the taken one was freed with its holder

  now += std::chrono::milliseconds(14999);
  give("a");
  now += std::chrono::milliseconds(1);
  EXPECT_FALSE(pool.Take("b"));  // 15 s idle: closed
  EXPECT_EQ(pool.IdleCount(), 1u);
  give("c");
  give("d");
  give("e");  // over capacity: the oldest ("a") goes
  EXPECT_EQ(pool.IdleCount(), 3u);
  EXPECT_FALSE(pool.Take("a"));

  pool.Close();
  EXPECT_EQ(alive.load(), 0);
  give("c");  // after the close, closed at once
  EXPECT_EQ(pool.IdleCount(), 0u);
  EXPECT_EQ(alive.load(), 0);
}

// A process's pool: one host cannot take every place, its oldest idle connection goes first.
TEST(ConnectionPool, APerKeyLimitKeepsTheNewestOfEachKey) {
  std::atomic<int> alive{0};
  TNetConnectionPool pool(std::chrono::milliseconds(15000), 8, {}, 2);
  for (const char* key : {"a", "a", "b", "a"}) {
    pool.Give(key, TNetIdleConnection{std::make_unique<TCountedHandler>(alive), key, 80});
  }
  EXPECT_EQ(pool.IdleCount(), 3u);
  EXPECT_EQ(alive.load(), 3);
  EXPECT_TRUE(pool.Take("a"));
  EXPECT_TRUE(pool.Take("a"));
  EXPECT_FALSE(pool.Take("a"));
  EXPECT_TRUE(pool.Take("b"));
}

}  // namespace
