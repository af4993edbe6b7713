// The cookie store: what gets stored, merged or dropped, the Cookie header's choice and order,
// expiry, the events, the lock, and use from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cookies/NetCookieManager.h"
#include "http/NetURI.h"
#include "runtime/Exception.h"

namespace {

constexpr char kPast[] = "Sun, 06 Nov 1994 08:49:37 GMT";
constexpr char kFuture[] = "Wed, 01 Jan 2070 00:00:00 GMT";

// The stored records, domain by domain, as "domain:name=value" in index order.
std::vector<std::string> Stored(TNetCookieManager& m) {
  std::vector<std::string> out;
  TNetCookieList& index = m.Jar()->LockIndex(TNetCookies::ReadOnly);
  for (int d = 0; d < index.Count(); ++d) {
    const TNetCookieList* names = index.ListAt(d);
    for (int i = 0; i < names->Count(); ++i) {
      out.push_back(index.Strings(d) + ":" + names->CookieAt(i)->ClientText());
    }
  }
  m.Jar()->UnlockIndex(TNetCookies::ReadOnly);
  return out;
}

TEST(CookieStore, SameNameAndDomainMergesInPlace) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/", "h.d.t");
  m.AddSetCookie("b=2; path=/", "h.d.t");
  m.AddSetCookie("A=3; path=/x; secure", "H.D.T");  // name and domain ignore case
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"h.d.t:A=3", "h.d.t:b=2"}));
  EXPECT_EQ(m.Jar()->Count(), 2);  // the newcomer was merged and destroyed
  const TNetCookieRFC2109* a = m.Jar()->Items(0);
  EXPECT_EQ(a->Path(), "/x");
  EXPECT_TRUE(a->Secure());
}

TEST(CookieStore, SameNameUnderTwoDomainsGivesTwoRecords) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/", "h.d.t");
  m.AddSetCookie("a=2; path=/; domain=.d.t", "h.d.t");
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"h.d.t:a=1", ".d.t:a=2"}));
}

TEST(CookieStore, RefusedCookiesLeaveTheStoreUnchanged) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/; domain=.d.t", "h.d.t");
  m.AddSetCookie("a=evil; path=/; domain=.d.t", "d.t");  // d.t may not set .d.t
  m.AddSetCookie("b=1; path=/; domain=.t", "h.d.t");     // nor may h.d.t set .t
  // Nor may a host set a cookie for the public suffix it sits under, which would reach every
  // other site there.
  m.AddSetCookie("tld=1; domain=.com; path=/", "example.com");
  m.AddSetCookie("tld=2; domain=.co.uk; path=/", "example.co.uk");
  EXPECT_EQ(Stored(m), (std::vector<std::string>{".d.t:a=1"}));
  EXPECT_EQ(m.Jar()->Count(), 1);
  EXPECT_EQ(m.CookieHeaderFor("www.bank.com", "/", false), "");
  EXPECT_EQ(m.CookieHeaderFor("other.co.uk", "/", false), "");

  std::vector<std::string> offered;
  m.OnNewCookie = [&](TNetCookieManager* sender, TNetCookieRFC2109* cookie, bool& accept) {
    EXPECT_EQ(sender, &m);
    EXPECT_TRUE(accept);
    offered.push_back(cookie->Domain());
    accept = false;
  };
  m.AddSetCookie("c=1; path=/", "h.d.t");
  m.AddSetCookie("a=2; path=/; domain=.d.t", "h.d.t");
  m.AddSetCookie("a=3; path=/; domain=.d.t", "d.t");  // refused before the event
  // A cookie naming no domain is offered with the sending host as its domain.
  EXPECT_EQ(offered, (std::vector<std::string>{"h.d.t", ".d.t"}));
  EXPECT_EQ(Stored(m), (std::vector<std::string>{".d.t:a=1"}));
  EXPECT_EQ(m.Jar()->Count(), 1);
}

TEST(CookieStore, ParseErrorPassesOnAndLeavesTheStoreIntact) {
  TNetCookieManager m;
  m.AddSetCookie2("a=1; path=/; Port=\"80\"", "h.d.t");
  EXPECT_THROW(m.AddSetCookie2("a=2; path=/; Port=\"80,x\"", "h.d.t"), Exception);
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"h.d.t:a=1"}));
  EXPECT_EQ(m.Jar()->Count(), 2);  // the failed record stays in the jar, unfiled
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "a=1");
  m.SweepExpired();
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "a=1");
}

TEST(CookieStore, DestroyingAnUnfiledRecordLeavesAStoredNamesakeAlone) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/", "h.d.t");
  TNetCookieRFC2109* unfiled = m.Jar()->AddCookie();
  unfiled->ParseCookieText("a=9; path=/");
  unfiled->SetDomain("h.d.t");
  m.Jar()->Delete(unfiled);
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"h.d.t:a=1"}));
  EXPECT_EQ(m.Jar()->Count(), 1);
}

TEST(CookieHeader, OrderLongestPathFirst) {
  TNetCookieManager m;
  m.AddSetCookie("x=1; path=/a", "h.d.t");
  m.AddSetCookie("y=2; path=/a/b", "h.d.t");
  m.AddSetCookie("z=3; path=/", "h.d.t");
  m.AddSetCookie("w=4; path=/a/c", "h.d.t");  // not a prefix of /a/b/
  m.AddSetCookie("v=5; path=/A", "h.d.t");    // path case counts
  EXPECT_EQ(m.CookieHeaderFor(TNetURI("http://h.d.t/a/b/page.htm?q=1"), false), "y=2; x=1; z=3");
}

TEST(CookieHeader, EqualPathsByDomainThenLatestFirst) {
  TNetCookieManager m;
  m.AddSetCookie("p=1; path=/; domain=.d.t", "h.d.t");
  m.AddSetCookie("q=2; path=/", "h.d.t");
  m.AddSetCookie("r=3; path=/; domain=.d.t", "h.d.t");
  m.AddSetCookie("s=4; path=/", "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "r=3; p=1; s=4; q=2");
}

TEST(CookieHeader, WholeLabelDomainMatchOnly) {
  TNetCookieManager m;
  m.AddSetCookie("dot=1; path=/; domain=.d.t", "h.d.t");
  m.AddSetCookie("host=2; path=/", "h.d.t");
  auto header = [&](const std::string& host) { return m.CookieHeaderFor(host, "/", false); };
  EXPECT_EQ(header("h.d.t"), "dot=1; host=2");
  EXPECT_EQ(header("H.D.T"), "dot=1; host=2");
  EXPECT_EQ(header("d.t"), "dot=1");
  EXPECT_EQ(header("x.y.d.t"), "dot=1");
  EXPECT_EQ(header("x.h.d.t"), "dot=1; host=2");
  // Hosts that merely contain the domain text are other sites.
  EXPECT_EQ(header("xd.t"), "");
  EXPECT_EQ(header("h.xd.t"), "");
  EXPECT_EQ(header("evil-d.t.example"), "");
  EXPECT_EQ(header("d.t.example"), "");
  EXPECT_EQ(header("xh.d.t"), "dot=1");
  EXPECT_EQ(header(""), "");
}

TEST(CookieHeader, SecureEmptyValueAndEmptyPath) {
  TNetCookieManager m;
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", true), "");  // nothing stored: no header
  m.AddSetCookie("s=1; path=/; secure", "h.d.t");
  m.AddSetCookie("e=; path=/", "h.d.t");
  m.AddSetCookie("nopath=1", "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", true), "s=1");
  EXPECT_EQ(Stored(m).size(), 3u);  // all stored, only one ever sent
}

TEST(CookieExpiry, PastExpiryDeletesTheStoredCookie) {
  TNetCookieManager m;
  m.AddSetCookie(std::string("a=1; path=/; expires=") + kFuture, "h.d.t");
  m.AddSetCookie("b=2; path=/", "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "b=2; a=1");
  m.AddSetCookie(std::string("a=deleted; path=/; expires=") + kPast, "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "b=2");
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"h.d.t:b=2"}));
  EXPECT_EQ(m.Jar()->Count(), 1);
}

TEST(CookieExpiry, DeletionByEmptyValueAndMaxAgeZero) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/", "h.d.t");
  m.AddSetCookie("b=1; path=/", "h.d.t");
  m.AddSetCookie("a=; path=/; max-age=0", "h.d.t");
  m.AddSetCookie(std::string("b=; path=/; expires=") + kPast, "h.d.t");
  // max-age=0 expires at the current second; let the clock move past it.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "");
  EXPECT_TRUE(Stored(m).empty());
  EXPECT_EQ(m.Jar()->Count(), 0);
}

TEST(CookieExpiry, ClearedValueKeepsTheCookieItsName) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/", "h.d.t");
  m.AddSetCookie("a=; path=/", "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "");
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"h.d.t:a="}));
  m.AddSetCookie("a=2; path=/", "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "a=2");
  EXPECT_EQ(m.Jar()->Count(), 1);
}

TEST(CookieExpiry, UnreadableDateExpiresAndSweepKeepsEmptyDomains) {
  TNetCookieManager m;
  m.AddSetCookie("a=1; path=/; expires=garbage", "h.d.t");
  m.AddSetCookie("b=1; path=/; max-age=3600", "o.d.t");
  m.SweepExpired();
  EXPECT_EQ(Stored(m), (std::vector<std::string>{"o.d.t:b=1"}));
  TNetCookieList& index = m.Jar()->LockIndex(TNetCookies::ReadOnly);
  EXPECT_EQ(index.Count(), 2);  // the emptied domain list stays
  m.Jar()->UnlockIndex(TNetCookies::ReadOnly);
}

TEST(CookieHeader, LineBreaksNeverReachTheHeader) {
  TNetCookieManager m;
  m.AddSetCookie("a=1\r\nX-Injected: 1; path=/", "h.d.t");
  m.AddSetCookie("b=2; path=/", "h.d.t");
  EXPECT_EQ(m.CookieHeaderFor("h.d.t", "/", false), "b=2");
}

// A component that records the removal notifications it gets.
class Watcher : public TComponent {
 public:
  std::vector<TComponent*> removed;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    if (operation == opRemove) removed.push_back(component);
  }
};

TEST(CookieManagerLife, EventsAndRemovalNotification) {
  std::vector<std::string> log;
  TNetCookies* created_jar = nullptr;
  Watcher watcher;
  auto* m = new TNetCookieManager([&](TNetCookieManager*, TNetCookies* jar) {
    log.push_back("create");
    created_jar = jar;
  });
  EXPECT_EQ(created_jar, m->Jar());
  m->OnDestroy = [&](TNetCookieManager* sender, TNetCookies* jar) {
    log.push_back("destroy:" + std::to_string(jar->Count()));
  };
  m->FreeNotification(&watcher);
  m->AddSetCookie(std::string("old=1; path=/; expires=") + kPast, "h.d.t");
  m->AddSetCookie("new=1; path=/", "h.d.t");
  delete m;
  // The expired cookie was swept before OnDestroy saw the jar.
  EXPECT_EQ(log, (std::vector<std::string>{"create", "destroy:1"}));
  ASSERT_EQ(watcher.removed.size(), 1u);
  EXPECT_EQ(watcher.removed[0], static_cast<TComponent*>(m));
}

TEST(CookieLock, WriterReentersAndExcludesOthers) {
  TNetCookies jar;
  TNetCookieList& first = jar.LockIndex(TNetCookies::ReadWrite);
  TNetCookieList& again = jar.LockIndex(TNetCookies::ReadWrite);
  TNetCookieList& read = jar.LockIndex(TNetCookies::ReadOnly);
  EXPECT_EQ(&first, &again);
  EXPECT_EQ(&first, &read);

  jar.UnlockIndex(TNetCookies::ReadOnly);
  jar.UnlockIndex(TNetCookies::ReadWrite);

  // One write access is still held. The reader announces that it is about to lock; only then
  // does this thread change `written` and let go. A reader that got in at once would see the
  // old value (and a race detector would flag the access).
  int written = 0;  // guarded by the jar's lock
  int seen = -1;
  std::atomic<bool> trying{false};
  std::thread reader([&] {
    trying.store(true);
    jar.LockIndex(TNetCookies::ReadOnly);
    seen = written;
    jar.UnlockIndex(TNetCookies::ReadOnly);
  });
  while (!trying.load()) std::this_thread::yield();
  written = 1;
  jar.UnlockIndex(TNetCookies::ReadWrite);
  reader.join();
  EXPECT_EQ(seen, 1);

  // Readers share: a second thread reads while this one does.
  jar.LockIndex(TNetCookies::ReadOnly);
  std::thread other([&] {
    jar.LockIndex(TNetCookies::ReadOnly);
    jar.UnlockIndex(TNetCookies::ReadOnly);
  });
  other.join();
  jar.UnlockIndex(TNetCookies::ReadOnly);
}

TEST(CookieLock, SharedManagerFromSeveralThreads) {
  TNetCookieManager m;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      for (int k = 0; k < kPerThread; ++k) {
        const std::string n = std::to_string(t) + "_" + std::to_string(k);
        m.AddSetCookie("c" + n + "=" + n + "; path=/", "h.d.t");
        m.AddSetCookie("shared=" + n + "; path=/; domain=.d.t", "h.d.t");
        if (k % 10 == 0) {
          m.AddSetCookie(std::string("gone=1; path=/; expires=") + kPast, "h.d.t");
        }
        m.CookieHeaderFor("h.d.t", "/", false);
      }
    });
  }
  for (std::thread& t : threads) t.join();

  const std::string header = m.CookieHeaderFor("h.d.t", "/", false);
  std::set<std::string> names;
  size_t start = 0;
  while (start <= header.size()) {
    size_t end = header.find("; ", start);
    if (end == std::string::npos) end = header.size();
    const std::string pair = header.substr(start, end - start);
    EXPECT_TRUE(names.insert(pair.substr(0, pair.find('='))).second) << pair;
    start = end + 2;
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kPerThread + 1));
  EXPECT_EQ(names.count("shared"), 1u);
  EXPECT_EQ(names.count("gone"), 0u);
  EXPECT_EQ(m.Jar()->Count(), kThreads * kPerThread + 1);
}

}  // namespace
