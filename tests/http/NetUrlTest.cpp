// URLs read as browsers read them: the URL Standard's own cases for http and https (data/), the
// parts of a parsed URL, the reasons given for a refusal, and serialising then parsing again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "http/NetUrl.h"

namespace {

// The JSON text with every unpaired surrogate escape turned into U+FFFD, as a browser turns a
// lone surrogate of a script's string (the JSON reader refuses them).
std::string PairedSurrogates(const std::string& text) {
  auto escape_at = [&](size_t i, char first_lo, char first_hi) {
    if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return false;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 2])));
    const char d = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 3])));
    return c == 'D' && d >= first_lo && d <= first_hi;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] != 'u') {  // \\, \" and the like
      out.append(text, i, 2);
      ++i;
    } else if (escape_at(i, '8', 'B') && escape_at(i + 6, 'C', 'F')) {
      out.append(text, i, 12);
      i += 11;
    } else if (escape_at(i, '8', 'F')) {
      out += "\\uFFFD";
      i += 5;
    } else {
      out += text[i];
    }
  }
  return out;
}

nlohmann::json ReadCases() {
  std::ifstream in(VELMORA_TEST_DATA "/urltestdata.json");
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(PairedSurrogates(text.str()));
}

// The file of the standard's own test suite may stand here whole: its "about:blank" base is
// none, and a case whose result has another scheme is one this program does not read.
bool IsWebUrl(const std::string& text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

TNetUrlResult ParseCase(const nlohmann::json& c) {
  const std::string input = c["input"];
  if (c["base"].is_null() || c["base"] == "about:blank") return TNetUrl::Parse(input);
  return TNetUrl::Parse(input, std::string(c["base"]));
}

// Where the libraries beneath read a case otherwise, written down so that a change is seen.
// libidn2 holds a symbol such as U+2603 to IDNA 2008's disallowed list, where UTS 46 lets it
// through.
const char* const kKnownDifferences[] = {"https://%e2%98%83"};

TEST(NetUrl, AgreesWithTheStandardsCases) {
  const nlohmann::json cases = ReadCases();
  ASSERT_GT(cases.size(), 400u);
  int checked = 0;
  for (const nlohmann::json& c : cases) {
    if (!c.is_object()) continue;  // a comment line
    if (c.contains("href") && !IsWebUrl(c["href"])) continue;
    const std::string input = c["input"];
    SCOPED_TRACE("input [" + input + "] base " + c["base"].dump());
    const TNetUrlResult got = ParseCase(c);
    ++checked;
    if (std::find(std::begin(kKnownDifferences), std::end(kKnownDifferences), input) !=
        std::end(kKnownDifferences)) {
      EXPECT_FALSE(got) << "now agrees: drop it from kKnownDifferences";
      continue;
    }
    if (c.value("failure", false)) {
      EXPECT_FALSE(got) << "accepted as " << got.Url->Href();
      continue;
    }
    ASSERT_TRUE(got) << got.Error;
    const TNetUrl& url = *got.Url;
    EXPECT_EQ(url.Href(), c["href"].get<std::string>());
    // What href says, the parts say too; serialised and read again it is the same URL.
    EXPECT_EQ(
        url.Href(),
        url.Protocol() + "//" +
            (url.Username().empty() && url.Password().empty()
                 ? ""
                 : url.Username() + (url.Password().empty() ? "" : ":" + url.Password()) + "@") +
            url.Host() + url.Pathname() + (url.HasQuery() ? "?" : "") +
            url.Search().substr(url.Search().empty() ? 0 : 1) + (url.HasFragment() ? "#" : "") +
            url.Hash().substr(url.Hash().empty() ? 0 : 1));
    const TNetUrlResult again = TNetUrl::Parse(url.Href());
    ASSERT_TRUE(again) << again.Error;
    EXPECT_EQ(*again.Url, url);
  }
  EXPECT_GT(checked, 400);
}

// Parts of one URL, and the reason given when there is none: one row a case.
TEST(NetUrl, PartsAndReasons) {
  struct Row {
    const char* input;
    const char* base;
    const char* expect;  // "href|host|port number|path and query", or "!" + a part of the reason
  };
  const Row rows[] = {
      {"HTTPS://User:Pw@Ex.COM:8443/a/../b?q=1#top", "",
       "https://User:Pw@ex.com:8443/b?q=1#top|"
       "ex.com:8443|8443|/b?q=1"},
      {"http://faß.ExAmPlE/", "", "http://xn--fa-hia.example/|xn--fa-hia.example|80|/"},
      {"http://0xffffffff", "", "http://255.255.255.255/|255.255.255.255|80|/"},
      {"http://0177.0.0.1:080/", "", "http://127.0.0.1/|127.0.0.1|80|/"},
      {"https://[0:0::1]:443/x", "", "https://[::1]/x|[::1]|443|/x"},
      {"?a=b", "http://h/dir/page", "http://h/dir/page?a=b|h|80|/dir/page?a=b"},
      {"/go?to=https://x.test/y", "https://h:8443/a/b",
       "https://h:8443/go?to=https://x.test/y|"
       "h:8443|8443|/go?to=https://x.test/y"},
      {"p#frag?x", "http://h/a/", "http://h/a/p#frag?x|h|80|/a/p"},
      {"/路径 x?查询", "http://h/",
       "http://h/%E8%B7%AF%E5%BE%84%20x?%E6%9F%A5%E8%AF%A2|h|80|"
       "/%E8%B7%AF%E5%BE%84%20x?%E6%9F%A5%E8%AF%A2"},
      {"http://a@b@c/", "", "http://a%40b@c/|c|80|/"},
      {"http://1.2.3.08", "", "!IPv4"},
      {"http://2001::1", "", "!端口"},
      {"http://h:65536/", "", "!65535"},
      {"http://a b/", "", "!不允许的字符"},
      {"http://a%25b/", "", "!“%”"},
      {"http://[::1/", "", "!IPv6"},
      {"ftp://h/", "", "!ftp"},
      {"mailto:x@y", "http://h/", "!mailto"},
      {"page.html", "", "!基准"},
      {"x", "not a url", "!基准地址无效"},
      {"http://", "", "!缺少主机名"},
      {"http://xn--a.example/", "", "!国际化域名"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const TNetUrlResult got =
        row.base[0] == '\0' ? TNetUrl::Parse(row.input) : TNetUrl::Parse(row.input, row.base);
    const std::string expect = row.expect;
    if (expect[0] == '!') {
      ASSERT_FALSE(got) << got.Url->Href();
      EXPECT_NE(got.Error.find(expect.substr(1)), std::string::npos) << got.Error;
      continue;
    }
    ASSERT_TRUE(got) << got.Error;
    const TNetUrl& u = *got.Url;
    EXPECT_EQ(
        u.Href() + "|" + u.Host() + "|" + std::to_string(u.PortNumber()) + "|" + u.PathAndQuery(),
        expect);
  }
}

}  // namespace
