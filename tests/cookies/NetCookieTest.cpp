// Cookie records: parsing a header value, the attributes of each format, the texts written back,
// the domain rule, and copying one record into another.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "cookies/NetCookie.h"
#include "cookies/NetDateTime.h"
#include "runtime/DateUtils.h"
#include "runtime/Exception.h"
#include "transport/NetException.h"

namespace {

constexpr char kPast[] = "Sun, 06 Nov 1994 08:49:37 GMT";
constexpr char kFuture[] = "Wed, 01 Jan 2070 00:00:00 GMT";

double SecondsFromNow(const std::string& date_text) {
  return (InternetDateToLocal(date_text) - Now()) * 86400.0;
}

TEST(CookieParse, FullSetCookieValue) {
  TNetCookieRFC2109 c;
  c.ParseCookieText(std::string("SID=abc; path=/; expires=") + kPast + "; domain=.d.t; secure");
  EXPECT_EQ(c.Name(), "SID");
  EXPECT_EQ(c.Value(), "abc");
  EXPECT_EQ(c.Path(), "/");
  EXPECT_EQ(c.Expires(), kPast);  // the comma inside the date does not split it
  EXPECT_EQ(c.Domain(), ".d.t");
  EXPECT_TRUE(c.Secure());
  EXPECT_EQ(c.Kind(), ckRfc2109);  // an explicit expires keeps the Set-Cookie kind
  EXPECT_EQ(c.MaxAge(), -1);       // no max-age attribute: the one derived from expires goes
}

TEST(CookieParse, PairShapes) {
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1");
  EXPECT_EQ(c.Name(), "a");
  EXPECT_EQ(c.Value(), "1");
  EXPECT_EQ(c.Path(), "");
  EXPECT_EQ(c.Domain(), "");
  EXPECT_FALSE(c.Secure());

  c.ParseCookieText("  tok=x=y ;  Path=/p  ");  // value keeps later "="; items are trimmed
  EXPECT_EQ(c.Name(), "tok");
  EXPECT_EQ(c.Value(), "x=y");
  EXPECT_EQ(c.Path(), "/p");

  c.ParseCookieText("novalue; path=/");  // no "=": empty name and value
  EXPECT_EQ(c.Name(), "");
  EXPECT_EQ(c.Value(), "");
  EXPECT_EQ(c.Path(), "/");

  c.ParseCookieText(
      "\t\x01"
      "b=2\r\n;domain=d.t");  // control characters trimmed too
  EXPECT_EQ(c.Name(), "b");
  EXPECT_EQ(c.Value(), "2");
  EXPECT_EQ(c.Domain(), "d.t");
}

TEST(CookieParse, LineBreakWithoutSemicolonSplitsItems) {
  // Without ";" the lines are the items: a line break never ends up inside the value.
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1\r\nsecure\r\npath=/x");
  EXPECT_EQ(c.Value(), "1");
  EXPECT_TRUE(c.Secure());
  EXPECT_EQ(c.Path(), "/x");
}

TEST(CookieParse, AttributesIgnoreCaseAndFirstWins) {
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1; PaTh=/first; path=/second; DOMAIN=x.y; Version=1; comment=hi");
  EXPECT_EQ(c.Path(), "/first");
  EXPECT_EQ(c.Domain(), "x.y");
  EXPECT_EQ(c.Version(), "1");
  EXPECT_EQ(c.Comment(), "hi");

  c.ParseCookieText("a=1; secure=yes");  // a flag is a bare item, not a pair
  EXPECT_FALSE(c.Secure());
  c.ParseCookieText("a=1; SeCuRe");
  EXPECT_TRUE(c.Secure());
}

TEST(CookieParse, QuotedPath) {
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1; path=\"/x\"");
  EXPECT_EQ(c.Path(), "/x");
  c.ParseCookieText("a=1; path=\"");
  EXPECT_EQ(c.Path(), "");
  c.ParseCookieText("a=1; path=/y\"");
  EXPECT_EQ(c.Path(), "/y");
}

TEST(CookieParse, SameRawTextIsNotParsedAgain) {
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1; path=/");
  EXPECT_EQ(c.RawText(), "a=1; path=/");
  c.SetValue("changed");
  c.ParseCookieText("a=1; path=/");
  EXPECT_EQ(c.Value(), "changed");
  c.ParseCookieText("a=2; path=/");
  EXPECT_EQ(c.Value(), "2");
}

TEST(CookieParse, MaxAgeBecomesExpires) {
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1; max-age=3600");
  EXPECT_EQ(c.Kind(), ckNetscape);
  ASSERT_FALSE(c.Expires().empty());
  EXPECT_NEAR(SecondsFromNow(c.Expires()), 3600.0, 5.0);
  EXPECT_NEAR(static_cast<double>(c.MaxAge()), 3600.0, 5.0);
  EXPECT_NE(c.ServerText().find("expires=" + c.Expires()), std::string::npos);
}

TEST(CookieParse, MaxAgeEdges) {
  TNetCookieRFC2109 c;
  c.ParseCookieText("a=1; max-age=junk");
  EXPECT_EQ(c.MaxAge(), -1);
  EXPECT_EQ(c.Expires(), "");
  EXPECT_EQ(c.Kind(), ckNetscape);

  c.ParseCookieText("a=1; max-age=-5");
  EXPECT_EQ(c.MaxAge(), -5);
  EXPECT_EQ(c.Expires(), "");

  // A peer's absurd lifetime stays inside the calendar instead of overflowing the date.
  c.ParseCookieText("a=1; max-age=9223372036854775807");
  ASSERT_FALSE(c.Expires().empty());
  EXPECT_NE(c.Expires().find("9999"), std::string::npos);
  EXPECT_GT(c.MaxAge(), 0);

  c.ParseCookieText("a=1; max-age=0");
  ASSERT_FALSE(c.Expires().empty());
  EXPECT_LE(SecondsFromNow(c.Expires()), 1.0);
}

TEST(CookieParse, ExpiresGivesMaxAgeOnlyThroughSetExpiry) {
  TNetCookieRFC2109 c;
  c.SetExpiry(kPast);
  EXPECT_LT(c.MaxAge(), 0);
  EXPECT_EQ(c.Expires(), kPast);
  c.SetExpiry(kFuture);
  EXPECT_GT(c.MaxAge(), 0);
  c.SetExpiry("not a date");  // reads as 1899: far past
  EXPECT_LT(c.MaxAge(), -86400LL * 365 * 100);
  c.SetExpiry("");
  EXPECT_EQ(c.Expires(), "");

  TNetNetscapeCookie plain;
  plain.SetExpiry(kFuture);
  EXPECT_EQ(plain.Expires(), kFuture);
}

TEST(CookiePorts, QuotedListAndDefaults) {
  TNetCookieRFC2965 c;
  EXPECT_EQ(c.Kind(), ckRfc2965);
  c.ParseCookieText("a=1; Port=\"80,8080\"");
  EXPECT_EQ(c.Ports(), (std::vector<int32_t>{80, 8080}));

  TNetCookieRFC2965 none;
  none.ParseCookieText("a=1");
  EXPECT_EQ(none.Ports(), (std::vector<int32_t>{80}));

  TNetCookieRFC2965 blanks;
  blanks.ParseCookieText("a=1; port=\" 81  82 ,83\"; Discard; CommentURL=http://x/");
  EXPECT_EQ(blanks.Ports(), (std::vector<int32_t>{81, 82, 83}));
  EXPECT_TRUE(blanks.Discard());
  EXPECT_EQ(blanks.CommentURL(), "http://x/");

  TNetCookieRFC2965 empty_list;
  empty_list.ParseCookieText("a=1; Port=\"\"");
  EXPECT_EQ(empty_list.Ports(), (std::vector<int32_t>{80}));

  TNetCookieRFC2965 unquoted;
  unquoted.ParseCookieText("a=1; Port=81");
  EXPECT_TRUE(unquoted.Ports().empty());
}

TEST(CookiePorts, BadItemsRaise) {
  TNetCookieRFC2965 c;
  EXPECT_THROW(c.ParseCookieText("a=1; Port=\"80,x\""), Exception);
  EXPECT_EQ(c.Name(), "a");  // the pair was taken before the port list failed
  TNetCookieRFC2965 gap;
  EXPECT_THROW(gap.ParseCookieText("a=1; Port=\"80,,81\""), Exception);

  TNetCookieRFC2965 p;
  p.SetPort(0, 1);
  p.SetPort(1, 2);
  p.SetPort(0, 3);
  EXPECT_EQ(p.Ports(), (std::vector<int32_t>{3, 2}));
  try {
    p.SetPort(3, 9);
    FAIL() << "no exception";
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Index out of range.");
  }
  EXPECT_THROW(p.SetPort(-1, 9), ENetException);
}

TEST(CookieText, ServerAndClientText) {
  TNetCookieRFC2109 c;
  c.ParseCookieText(std::string("SID=abc; path=/; expires=") + kPast +
                    "; domain=.d.t; secure; comment=c; version=1");
  // Kind ckRfc2109 (explicit expires): the date is not written.
  EXPECT_EQ(c.ServerText(), "SID=abc; path=/; domain=.d.t; secure; comment=c; version=1");
  EXPECT_EQ(c.ClientText(), "SID=abc");

  TNetCookieRFC2109 n;
  n.ParseCookieText(std::string("n=v; expires=") + kPast + "; max-age=junk");
  n.SetKind(ckNetscape);
  EXPECT_EQ(n.ServerText(), std::string("n=v; expires=") + kPast);

  TNetCookieRFC2109 empty_value;
  empty_value.ParseCookieText("e=; path=/p; secure");
  EXPECT_EQ(empty_value.ServerText(), "path=/p; secure");
  EXPECT_EQ(empty_value.ClientText(), "e=");

  TNetCookieRFC2109 only_secure;
  only_secure.ParseCookieText("e=; secure");
  EXPECT_EQ(only_secure.ServerText(), "secure");

  TNetCookieRFC2109 aged;  // max-age is written only while there is no expires
  aged.SetMaxAge(60);
  aged.SetName("m");
  aged.SetValue("1");
  EXPECT_EQ(aged.ServerText(), "m=1; max-age=60");
}

TEST(CookieDomainRule, NamedHost) {
  TNetCookieRFC2109 c;
  auto accepts = [&](const std::string& domain, const std::string& host) {
    c.SetDomain(domain);
    return c.AcceptableFrom(host);
  };
  EXPECT_TRUE(accepts(".d.t", "h.d.t"));
  EXPECT_TRUE(accepts("h.d.t", "h.d.t"));
  EXPECT_FALSE(accepts("d.t", "h.d.t"));
  EXPECT_FALSE(accepts(".t", "h.d.t"));
  EXPECT_FALSE(accepts(".D.t", "h.d.t"));  // case counts for a named host
  EXPECT_FALSE(accepts("H.d.t", "h.d.t"));
  EXPECT_FALSE(accepts(".d.t", "d.t"));  // its parent is .t
  EXPECT_FALSE(accepts(".x.h.d.t", "h.d.t"));
  EXPECT_TRUE(accepts("localhost", "localhost"));
  EXPECT_FALSE(accepts(".localhost", "localhost"));
  // A host written with a leading dot is its own "parent", compared without regard to case.
  EXPECT_TRUE(accepts(".H.d.T", ".h.d.t"));
  EXPECT_FALSE(accepts(".d.t", ".h.d.t"));
  // The immediate parent is refused when it is a public suffix, in any spelling; the host's
  // own cookie is not affected.
  EXPECT_FALSE(accepts(".com", "example.com"));
  EXPECT_FALSE(accepts(".co.uk", "example.co.uk"));
  EXPECT_FALSE(accepts(".CO.UK", "example.CO.UK"));
  EXPECT_FALSE(accepts(".com.", "example.com."));
  EXPECT_FALSE(accepts(".github.io", "me.github.io"));  // the list's private part counts too
  EXPECT_FALSE(accepts(".CO.uk", ".co.uk"));
  EXPECT_TRUE(accepts(".example.co.uk", "www.example.co.uk"));
  EXPECT_TRUE(accepts("co.uk", "co.uk"));
}

TEST(CookieDomainRule, AddressHost) {
  TNetCookieRFC2109 c;
  c.SetDomain("10.1.2.3");
  EXPECT_TRUE(c.AcceptableFrom("10.1.2.3"));
  for (const char* other : {".1.2.3", "1.2.3", ".10.1.2.3", "10.1.2.4", ""}) {
    c.SetDomain(other);
    EXPECT_FALSE(c.AcceptableFrom("10.1.2.3")) << other;
  }
}

TEST(CookieDomainRule, HostTextHelpers) {
  EXPECT_TRUE(TNetNetscapeCookie::IsIPv4Text("10.1.2.3"));
  EXPECT_TRUE(TNetNetscapeCookie::IsIPv4Text(" 0.0.0.255 "));
  EXPECT_TRUE(TNetNetscapeCookie::IsIPv4Text("1.2.3.4.junk"));  // after a fourth dot: ignored
  EXPECT_FALSE(TNetNetscapeCookie::IsIPv4Text("1.2.3"));
  EXPECT_FALSE(TNetNetscapeCookie::IsIPv4Text("1.2.3.256"));
  EXPECT_FALSE(TNetNetscapeCookie::IsIPv4Text("1.2.-1.4"));
  EXPECT_FALSE(TNetNetscapeCookie::IsIPv4Text("a.b.c.d"));
  EXPECT_FALSE(TNetNetscapeCookie::IsIPv4Text(""));

  EXPECT_TRUE(TNetNetscapeCookie::IsPlainHostName("h.d.t"));
  EXPECT_TRUE(TNetNetscapeCookie::IsPlainHostName(""));
  EXPECT_FALSE(TNetNetscapeCookie::IsPlainHostName(".d.t"));
  EXPECT_FALSE(TNetNetscapeCookie::IsPlainHostName("1.2.3.4"));

  EXPECT_TRUE(TNetNetscapeCookie::IsPublicSuffix("uk"));
  EXPECT_TRUE(TNetNetscapeCookie::IsPublicSuffix(".."));
  EXPECT_TRUE(TNetNetscapeCookie::IsPublicSuffix(std::string("example.com\0", 12)));
  EXPECT_FALSE(TNetNetscapeCookie::IsPublicSuffix("d.t"));
  EXPECT_FALSE(TNetNetscapeCookie::IsPublicSuffix("\xB1\xA6.com"));  // GBK bytes: a name like any

  EXPECT_EQ(TNetNetscapeCookie::ParentDomain("h.d.t"), ".d.t");
  EXPECT_EQ(TNetNetscapeCookie::ParentDomain("host"), "host");
  EXPECT_EQ(TNetNetscapeCookie::ParentDomain(""), "");
}

TEST(CookieAssign, TakesTheOtherCookieAndItsKind) {
  TNetCookieRFC2109 stored;
  stored.ParseCookieText("a=1; path=/old; domain=.d.t; comment=x");
  TNetCookieRFC2965 newer;
  newer.ParseCookieText(std::string("a=2; path=/new; domain=.d.t; secure; version=1; expires=") +
                        kFuture);
  stored.Assign(newer);
  EXPECT_EQ(stored.Value(), "2");
  EXPECT_EQ(stored.Path(), "/new");
  EXPECT_TRUE(stored.Secure());
  EXPECT_EQ(stored.Comment(), "");
  EXPECT_EQ(stored.Version(), "1");
  EXPECT_EQ(stored.Expires(), kFuture);
  EXPECT_EQ(stored.Kind(), ckRfc2965);

  TNetNetscapeCookie netscape;  // not a Set-Cookie record: nothing is copied
  netscape.ParseCookieText("a=3");
  stored.Assign(netscape);
  EXPECT_EQ(stored.Value(), "2");
  stored.Assign(stored);
  EXPECT_EQ(stored.Value(), "2");
}

TEST(CookieAssign, KeepsExpiryAndNameThatServerTextLeavesOut) {
  // An explicit past expiry (Kind ckRfc2109) is not part of ServerText, yet it is what deletes
  // the cookie: the copy must carry it.
  TNetCookieRFC2109 stored;
  stored.ParseCookieText("a=1; path=/");
  TNetCookieRFC2109 deleting;
  deleting.ParseCookieText(std::string("a=x; path=/; expires=") + kPast);
  ASSERT_EQ(deleting.ServerText().find("expires"), std::string::npos);
  stored.Assign(deleting);
  EXPECT_EQ(stored.Expires(), kPast);
  EXPECT_EQ(stored.Kind(), ckRfc2109);

  // An empty value: ServerText starts with "path=...", which must not become the name.
  TNetCookieRFC2109 cleared;
  cleared.ParseCookieText("a=; path=/p; domain=.d.t");
  stored.Assign(cleared);
  EXPECT_EQ(stored.Name(), "a");
  EXPECT_EQ(stored.Value(), "");
  EXPECT_EQ(stored.Path(), "/p");
  EXPECT_EQ(stored.Domain(), ".d.t");
}

TEST(CookieList, CaseInsensitiveOrderedEntries) {
  TNetCookieList list;
  TNetCookieRFC2109 a, b;
  EXPECT_EQ(list.AddCookie("Name", &a), 0);
  EXPECT_EQ(list.AddCookie("other", &b), 1);
  EXPECT_EQ(list.IndexOf("NAME"), 0);
  EXPECT_EQ(list.IndexOf("OTHER"), 1);
  EXPECT_EQ(list.IndexOf("missing"), -1);
  EXPECT_EQ(list.CookieAt(1), &b);
  EXPECT_EQ(list.ListAt(1), nullptr);
  TNetCookieList* nested = list.AddList(".d.t");
  EXPECT_EQ(list.ListAt(2), nested);
  list.Delete(0);
  list.Delete(99);  // out of range: ignored
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Strings(0), "other");
}

}  // namespace
