// robots.txt as crawlers read it: the rows follow the standard's examples and the cases where
// readers go wrong (group boundaries, ties, wildcards, escapes, the size limit).
#include <gtest/gtest.h>

#include <string>

#include "audit/RobotsTxt.h"

namespace {

struct TRobotsRow {
  const char* Name;
  const char* Text;
  const char* Agent;
  const char* Path;
  bool Allowed;
};

constexpr const char* kExample =
    "User-Agent: *\nDisallow: *.gif$\nDisallow: /example/\nAllow: /publications/\n\n"
    "User-Agent: foobot\nDisallow:/\nAllow:/example/page.html\nAllow:/example/allowed.gif\n\n"
    "User-Agent: barbot\nUser-Agent: bazbot\nDisallow: /example/page.html\n\n"
    "User-Agent: quxbot\n";

const TRobotsRow kRows[] = {
    {"star group", kExample, "OtherBot", "/example/x", false},
    {"star allow", kExample, "OtherBot", "/publications/a", true},
    {"gif anchored", kExample, "OtherBot", "/a/b.gif", false},
    {"gif not at end", kExample, "OtherBot", "/a/b.gif?x", true},
    {"own group only", kExample, "FooBot/2.1 (+http://x)", "/publications/a", false},
    {"own allow longer", kExample, "foobot", "/example/page.html", true},
    {"two agents one group", kExample, "BazBot", "/example/page.html", false},
    {"empty group allows", kExample, "quxbot", "/example/x", true},
    {"tie goes to allow", "User-agent: *\nDisallow: /page\nAllow: /page\n", "a", "/page", true},
    {"longest wins", "User-agent: *\nAllow: /p\nDisallow: /p/q\n", "a", "/p/q/r", false},
    {"star counts in length", "User-agent: *\nAllow: /p\nDisallow: /*p\n", "a", "/p", false},
    {"dollar exact", "User-agent: *\nDisallow: /$\n", "a", "/", false},
    {"empty disallow", "User-agent: *\nDisallow:\n", "a", "/x", true},
    {"rules before agent", "Disallow: /\nUser-agent: *\n", "a", "/x", true},
    {"groups combine", "User-agent: a\nAllow: /\nUser-agent: b\nUser-agent: a\nDisallow: /y\n", "a",
     "/y", false},
    {"unknown line keeps group", "User-agent: a\nCrawl-delay: 5\nUser-agent: b\nDisallow: /\n", "a",
     "/x", false},
    {"keys any case, comments", "USER-AGENT: *  # all\ndisALLOW: /x # no\nfoo bar\n", "a", "/x/1",
     false},
    {"crlf and bom", "\xEF\xBB\xBFUser-agent: *\r\nDisallow: /x\r\n", "a", "/x", false},
    {"query in rule", "User-agent: *\nDisallow: /foo/bar?baz=quz\n", "a", "/foo/bar?baz=quz",
     false},
    {"raw utf8 rule", "User-agent: *\nDisallow: /foo/bar/\xE3\x83\x84\n", "a", "/foo/bar/%E3%83%84",
     false},
    {"escaped utf8 rule", "User-agent: *\nDisallow: /foo/bar/%E3%83%84\n", "a",
     "/foo/bar/\xE3\x83\x84", false},
    {"unreserved decoded", "User-agent: *\nDisallow: /foo/bar/%62%61%7A\n", "a", "/foo/bar/baz",
     false},
    {"reserved kept", "User-agent: *\nDisallow: /a%2Fb\n", "a", "/a/b", true},
    {"robots.txt always", "User-agent: *\nDisallow: /\n", "a", "/robots.txt", true},
    {"full user-agent by its product", "User-agent: examplebot\nDisallow: /\n",
     "Mozilla/5.0 (compatible; ExampleBot/0.1; +https://example.com/bot)", "/x", false},
    {"mozilla only when nothing else names a group", "User-agent: mozilla\nDisallow: /\n",
     "Mozilla/5.0 (compatible; ExampleBot/0.1)", "/x", false},
    {"a comment's word is no product", "User-agent: compatible\nDisallow: /\n",
     "Mozilla/5.0 (compatible; ExampleBot/0.1)", "/x", true},
    {"%2A is a star itself", "User-agent: *\nDisallow: /a%2Ab\n", "a", "/axyb", true},
    {"%2A matches a star", "User-agent: *\nDisallow: /a%2Ab\n", "a", "/a*b", false},
    {"%24 matches a dollar", "User-agent: *\nDisallow: /a%24\n", "a", "/a$b", false},
    {"%24 anchors nothing", "User-agent: *\nDisallow: /a%24\n", "a", "/a", true},
};

TEST(RobotsTxt, RulesDecideAsCrawlersDo) {
  for (const TRobotsRow& row : kRows) {
    EXPECT_EQ(TRobotsTxt::Parse(row.Text).Allowed(row.Agent, row.Path), row.Allowed) << row.Name;
  }
}

TEST(RobotsTxt, SitemapsShutOutAndLimit) {
  const TRobotsTxt robots = TRobotsTxt::Parse(
      "Sitemap: https://a.example/s1.xml\nUser-agent: *\nDisallow: "
      "/\nsitemap:https://a.example/s2\n");
  EXPECT_EQ(robots.Sitemaps(),
            (std::vector<std::string>{"https://a.example/s1.xml", "https://a.example/s2"}));
  EXPECT_TRUE(robots.DisallowsAllForEveryone());
  EXPECT_FALSE(
      TRobotsTxt::Parse("User-agent: *\nDisallow: /\nAllow: /pub\n").DisallowsAllForEveryone());
  EXPECT_FALSE(TRobotsTxt::Parse("User-agent: x\nDisallow: /\n").DisallowsAllForEveryone());
  EXPECT_TRUE(TRobotsTxt::Parse("User-agent: *\nDisallow: *\n").DisallowsAllForEveryone());
  const TRobotsTxt one_admitted = TRobotsTxt::Parse(
      "User-agent: googlebot\nAllow: /\n\nUser-agent: badbot\nDisallow: /\n\n"
      "User-agent: *\nDisallow: /\n");
  EXPECT_TRUE(one_admitted.DisallowsAllForEveryone());
  EXPECT_EQ(one_admitted.AdmittedAgents(), std::vector<std::string>{"googlebot"});

  // 10 MB: the rule past the limit is not read, nor the line the limit cuts.
  std::string big = "User-agent: *\n";
  while (big.size() < kRobotsMaxBytes - 10) big += "Allow: /ok\n";
  big += "Disallow: /cut-in-half\n" + std::string(10'000'000, '#') + "\nDisallow: /late\n";
  const TRobotsTxt capped = TRobotsTxt::Parse(big);
  EXPECT_TRUE(capped.Truncated());
  EXPECT_LE(capped.BytesRead(), kRobotsMaxBytes);
  EXPECT_TRUE(capped.Allowed("a", "/late"));
  EXPECT_TRUE(capped.Allowed("a", "/cut-in-half"));
}

}  // namespace

// Two files have one digest exactly when a line that means something differs.
TEST(RobotsTxt, RulesDigestIgnoresCommentsAndBlankLines) {
  const std::string base = "User-agent: *\nDisallow: /admin\n";
  const struct {
    const char* Name;
    std::string Text;
    bool Same;
  } rows[] = {
      {"comments and blank lines", "# ours\n\nUser-agent: *   # all\n\n\nDisallow: /admin\n", true},
      {"CRLF and trailing spaces", "User-agent: * \r\n\tDisallow: /admin\r\n", true},
      {"a rule changed", "User-agent: *\nDisallow: /admin/\n", false},
      {"a rule added", base + "Disallow: /tmp\n", false},
      {"lines swapped", "Disallow: /admin\nUser-agent: *\n", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RobotsRulesDigest(row.Text) == RobotsRulesDigest(base), row.Same) << row.Name;
  }
  EXPECT_EQ(RobotsRulesDigest(base).size(), 16u);
}
