// The one request pacer: what a server is, a stop that ends a long wait at once, and the
// servers let go once nothing waits on them (a batch of any length holds only those in flight).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "http/NetRequestPacer.h"

namespace {

using namespace std::chrono_literals;

TEST(RequestPacer, ServerKeysIgnoreCaseAndNameDefaultPorts) {
  EXPECT_EQ(TNetRequestPacer::ServerKey("http://WWW.Example.com/x?q=http://other/"),
            "www.example.com:80");
  EXPECT_EQ(TNetRequestPacer::ServerKey("https://a.test/"), "a.test:443");
  EXPECT_EQ(TNetRequestPacer::ServerKey("http://127.0.0.1:8001/s?wd=x"), "127.0.0.1:8001");
  EXPECT_EQ(TNetRequestPacer::ServerKey("https://A.test:8443/", TNetRequestPacer::TServer::Host),
            "a.test");
}

// A wait for a minute-long delay ends at once: by the request's own stop, or by the pacer's.
TEST(RequestPacer, AStopEndsAWaitForTheDelayAtOnce) {
  for (const bool own_stop : {true, false}) {
    TNetRequestPacer pacer(60000ms);
    std::atomic<bool> stop{false};
    const auto stopped = [&] { return stop.load(); };
    pacer.Begin("http://a.test/", stopped);
    pacer.End("http://a.test/");
    std::chrono::steady_clock::time_point asked, ended;
    std::thread waiter([&] {
      EXPECT_THROW(pacer.Begin("http://a.test/x", stopped), ENetFetchStopped);
      ended = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(50ms);
    asked = std::chrono::steady_clock::now();
    if (own_stop) {
      stop = true;
    } else {
      pacer.Stop();
    }
    waiter.join();
    EXPECT_LT(ended - asked, 5s) << own_stop;  // not the 60 s delay
    // Another server is not held up by the delay, until the pacer itself is stopped.
    if (own_stop) EXPECT_NO_THROW(pacer.Begin("http://b.test/", {}));
    if (!own_stop) EXPECT_THROW(pacer.Begin("http://b.test/", {}), ENetFetchStopped);
  }
}

TEST(RequestPacer, ServersAreLetGoOnceTheirDelayIsOver) {
  TNetRequestPacer pacer(0ms, 2, TNetRequestPacer::TFrom::Start);
  for (int i = 0; i < 5000; ++i) {
    const std::string url = "http://s" + std::to_string(i) + ".test/";
    pacer.Begin(url, {});
    pacer.End(url);
  }
  EXPECT_LT(pacer.EntryCount(), 100u);  // not one per server ever met
}

}  // namespace
