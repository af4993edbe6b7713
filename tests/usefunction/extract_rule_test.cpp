// Extraction rules: placeholders turned into a regular expression, the group reported, the four
// ways of collecting results, the trailing-separator trim, and the errors that are swallowed.
#include <gtest/gtest.h>

#include <string>

#include "query/UseFunction.h"
#include "runtime/CodePage.h"

namespace {

const std::string kTitleRule = "<title>[velmora]</title>";
const std::string kAlexaRule = "Alexa Traffic Rank:</span>(*)trafficstats\">\\s+[velmora]</a>";
const std::string kCharsetRule = "<meta[^\\<\\>]+charset=([^\\<\\>\\\"\\'\\s]+)[^\\<\\>]*\\>";

TEST(ExtractByRule, ProductionRules) {
  EXPECT_EQ(ExtractByRule("<html><TITLE>Home Page</Title>", kTitleRule), "Home Page");
  // A title over several lines comes back whole; the first title wins.
  EXPECT_EQ(ExtractByRule("<title>a\r\nb</title><title>c</title>", kTitleRule), "a\r\nb");
  EXPECT_EQ(ExtractByRule("<title></title>", kTitleRule), "");
  EXPECT_EQ(ExtractByRule("no title here", kTitleRule), "");

  const std::string alexa =
      "<span>Alexa Traffic Rank:</span> <a href=\"/siteinfo\" class=\"trafficstats\">\r\n"
      "   12,345</a> <a class=\"trafficstats\">  9</a>";
  EXPECT_EQ(ExtractByRule(alexa, kAlexaRule), "12,345");
  EXPECT_EQ(ExtractByRule("Alexa Traffic Rank:</span> no rank", kAlexaRule), "");

  EXPECT_EQ(ExtractByRule("<head><META http-equiv=\"Content-Type\" "
                          "content=\"text/html; charset=GB2312\"><meta charset=utf-8>",
                          kCharsetRule),
            "GB2312");
  // A quoted value right after "charset=" is no declaration.
  EXPECT_EQ(ExtractByRule("<meta charset=\"utf-8\">", kCharsetRule), "");
}

TEST(ExtractByRule, GroupChoice) {
  // No group: the whole match; a group that did not take part: the empty text.
  EXPECT_EQ(ExtractByRule("x=12;", "=\\d+"), "=12");
  EXPECT_EQ(ExtractByRule("ab", "(x)|a"), "a");
  EXPECT_EQ(ExtractByRule("<b>x</b>", "<B>[VELMORA]</B>"), "x");
  EXPECT_EQ(ExtractByRule("k=1 v=2", "k=(.)(*)v=" + Gbk(u8"[参数]")), "1");
  // The rule is a regular expression: '.' in it matches any byte.
  EXPECT_EQ(ExtractByRule("www.axb.com", "a.b"), "axb");
}

TEST(ExtractByRule, TrailingSeparatorAndRuleEndings) {
  EXPECT_EQ(ExtractByRule("<title>Ab|||</title>", kTitleRule), "Ab");
  EXPECT_EQ(ExtractByRule("<title>Ab|||</title>", kTitleRule, 0, ""), "Ab|||");
  EXPECT_EQ(ExtractByRule("<title>Ab</title>", kTitleRule + "\r\n\r\n"), "Ab");
  EXPECT_EQ(ExtractByRule("<title>Ab</title>", "\r\n"), "");
  // A lone CR stays part of the rule.
  EXPECT_EQ(ExtractByRule("<title>Ab</title>", kTitleRule + "\r"), "");
  EXPECT_EQ(ExtractByRule("", kTitleRule), "");
  EXPECT_EQ(ExtractByRule("page", ""), "");
}

TEST(ExtractByRule, AllMatches) {
  const std::string page = "<i>A</i><i>B</i><i>C</i>";
  EXPECT_EQ(ExtractByRule(page, "<i>[velmora]</i>", 1), "A|||B|||C");
  EXPECT_EQ(ExtractByRule(page, "<i>[velmora]</i>", 1, ", "), "A, B, C");
  EXPECT_EQ(ExtractByRule(page, "<i>[velmora]</i>", 2), "A");  // only 1 means all
  EXPECT_EQ(ExtractByRule("abc", "x*", 1, "-"), "---");
}

TEST(ExtractByRule, Templates) {
  const std::string page = "<a href=\"u1\">T1</a><a href=\"u2\">T2</a>";
  const std::string rule = "<a href=\"" + Gbk(u8"[参数]") + "\">" + Gbk(u8"[参数]") + "</a>";
  const std::string item = Gbk(u8"[序号]. [参数2] ([参数1]) $1 \\$ [参数123]");
  EXPECT_EQ(ExtractByRule(page, "ignored", 1, "\n", true, rule, item),
            "1. T1 (u1) u1 $ " + Gbk(u8"[参数123]") + "\n2. T2 (u2) u2 $ " + Gbk(u8"[参数123]"));
  // One match: the counter placeholder stays as written.
  EXPECT_EQ(ExtractByRule(page, "ignored", 0, "|||", true, rule, item),
            Gbk(u8"[序号]. T1 (u1) u1 $ [参数123]"));
  EXPECT_EQ(ExtractByRule(page, rule, 0, "|||", true, "", item), "");
  EXPECT_EQ(ExtractByRule(page, "x", 0, "|||", true, rule, Gbk(u8"[参数99]")), "");
}

TEST(ExtractByRule, EngineErrorsAreSwallowed) {
  EXPECT_EQ(ExtractByRule("page", "(unclosed"), "");
  EXPECT_EQ(ExtractByRule("page", "*"), "");
  // An error on a later match keeps what was collected: the second match reaches eleven nested
  // counted loops, more than the matcher keeps.
  std::string deep = "y";
  for (int i = 0; i < 11; ++i) deep = "(" + deep + "){1}";
  EXPECT_EQ(ExtractByRule("x y x", "x|" + deep, 1), "x");
}

}  // namespace
