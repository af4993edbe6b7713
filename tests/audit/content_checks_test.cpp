// The content checks on pages of our own: robots.txt answers, sitemap files behind a fake fetch
// (gzip, indexes, loops, the size cap), and home pages in the three charsets. One table each.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "audit/AuditChecks.h"
#include "audit/AuditFetch.h"
#include "audit/RobotsTxt.h"
#include "audit/Sitemap.h"
#include "runtime/CodePage.h"
#include "support/CodedBodies.h"
#include "transport/NetException.h"

namespace {

TAuditPage Answer(int status, std::string body, std::string content_type = "") {
  TAuditPage page;
  page.Answered = true;
  page.Status = status;
  page.Body = std::move(body);
  if (!content_type.empty()) page.Headers.emplace_back("Content-Type", content_type);
  return page;
}

// An answer reached by a redirect to `final_url`.
TAuditPage Moved(std::string final_url, std::string body) {
  TAuditPage page = Answer(200, std::move(body));
  page.FinalUrl = std::move(final_url);
  return page;
}

TAuditPage NoAnswer() {
  TAuditPage page;
  page.Failure = "连接超时";
  return page;
}

void ExpectResult(const TAuditResult& result, const char* name, TAuditMark mark,
                  const std::string& value_part, const std::string& reason_part) {
  EXPECT_EQ(result.Mark, mark) << name << ": " << result.Reason;
  EXPECT_NE(result.Value.find(value_part), std::string::npos) << name << ": " << result.Value;
  EXPECT_NE(result.Reason.find(reason_part), std::string::npos) << name << ": " << result.Reason;
}

struct TRobotsCheckRow {
  const char* Name;
  TAuditPage Robots;
  TAuditMark Mark;
  std::string ValuePart;
  std::string ReasonPart;
};

TEST(ContentChecks, Robots) {
  TAuditPage cut = Answer(200, std::string(kRobotsMaxBytes + 1, '#'));
  cut.BodyCut = true;
  const TRobotsCheckRow rows[] = {
      {"no answer", NoAnswer(), TAuditMark::Unable, "", "连接超时"},
      {"absent: crawl all", Answer(404, "<html>not found</html>"), TAuditMark::Pass, "HTTP 404",
       "可以抓取全部"},
      {"server error: crawlers stay out", Answer(503, ""), TAuditMark::Fail, "HTTP 503",
       "禁止抓取"},
      {"shut for everyone",
       Answer(200, "User-agent: *\nDisallow: /\nSitemap: https://a.example/s.xml.gz\n"),
       TAuditMark::Fail, "1 个 Sitemap", "所有爬虫都不能抓取全站"},
      {"shut for all but one",
       Answer(200, "User-agent: googlebot\nAllow: /\n\nUser-agent: *\nDisallow: /\n"),
       TAuditMark::Fail, "HTTP 200", "除 googlebot 外的爬虫都不能抓取全站"},
      {"own group only", Answer(200, "User-agent: foobot\nDisallow: /\n"), TAuditMark::Pass,
       "HTTP 200", "可读"},
      {"over what crawlers read", Answer(200, std::string(600 * 1024, '#')), TAuditMark::Warn,
       "600.0 KiB", "500.0 KiB"},
      {"cut by the fetch", cut, TAuditMark::Warn, "超过 500.0 KiB", "其后的规则"},
  };
  for (const TRobotsCheckRow& row : rows) {
    const TAuditResult result = CheckRobots(row.Robots);
    ExpectResult(result, row.Name, row.Mark, row.ValuePart, row.ReasonPart);
  }
  const TAuditResult listed = CheckRobots(rows[3].Robots);
  // The socket layer's wording reaches the user as the user's words.
  for (const auto& [code, word, detail] :
       {std::tuple{11001, "找不到主机", ""}, {10065, "", "网络错误 10065：No route to host."}}) {
    std::string said;
    try {
      throw ENetSocketError(code, "Socket Error # " + std::to_string(code) + "\r\n" +
                                      (code == 11001 ? "Host not found." : "No route to host."));
    } catch (...) {
      const std::string failure = AuditFailureWord(said);
      if (*word) EXPECT_EQ(failure, word);
    }
    EXPECT_EQ(said, detail);
  }
  // Its Sitemap lines, then what lets two check-ups be compared.
  ASSERT_EQ(listed.Details.size(), 3u);
  EXPECT_EQ(listed.Details[0], "Sitemap: https://a.example/s.xml.gz");
  EXPECT_EQ(listed.Details[1],
            std::string(kRobotsDigestLabel) + RobotsRulesDigest(rows[3].Robots.Body));
  EXPECT_EQ(listed.Details[2], kRobotsShutsEveryone);
  EXPECT_EQ(CheckRobots(rows[4].Robots).Details.size(), 1u);  // googlebot is still let in
  // The network layer's words come a line each, never with their line breaks inside.
  TAuditPage refused = NoAnswer();
  refused.Detail = "Socket Error # 10061\r\nConnection refused.";
  EXPECT_EQ(CheckRobots(refused).Details,
            (std::vector<std::string>{"Socket Error # 10061", "Connection refused."}));
}

std::string UrlSet(int urls) {
  std::string xml = "<?xml version=\"1.0\"?><urlset>";
  for (int i = 0; i < urls; ++i)
    xml += "<url><loc>https://a.example/p" + std::to_string(i) + "</loc></url>\n";
  return xml + "</urlset>";
}

std::string Index(std::initializer_list<std::string> children) {
  std::string xml = "<sitemapindex>";
  for (const std::string& child : children) xml += "<sitemap><loc>" + child + "</loc></sitemap>";
  return xml + "</sitemapindex>";
}

// A gzip file of one member per MiB of <url> elements: inflates past the cap from a few KiB.
std::string UrlBomb() {
  std::string mib = UrlSet(30'000).substr(0, 1 << 20);
  mib = mib.substr(mib.find("<url>"), mib.rfind("</url>") + 6 - mib.find("<url>"));
  const std::string chunk = GzipCoded(mib);
  std::string out = GzipCoded("<urlset>");
  for (int i = 0; i < 60; ++i) out += chunk;
  return out;
}

struct TSitemapCheckRow {
  const char* Name;
  TAuditPage Robots;
  std::map<std::string, TAuditPage> Files;  // by URL; any other URL does not answer
  TAuditMark Mark;
  std::string ValuePart;
  std::string ReasonPart;
};

TEST(ContentChecks, Sitemap) {
  const std::string home = "https://a.example:8443/";
  const TAuditTarget target{"a.example", "a.example", 8080, 8443};
  const auto robots_naming = [](std::string url) { return Answer(200, "Sitemap: " + url + "\n"); };
  std::map<std::string, TAuditPage> sixty;
  std::string sixty_index = "<sitemapindex>";
  for (int i = 0; i < 60; ++i) {
    const std::string url = home + "s" + std::to_string(i) + ".xml";
    sixty[url] = Answer(200, UrlSet(1));
    sixty_index += "<sitemap><loc>" + url + "</loc></sitemap>";
  }
  sixty[home + "sitemap.xml"] = Answer(200, sixty_index + "</sitemapindex>");

  const TSitemapCheckRow rows[] = {
      {"default place",
       Answer(404, ""),
       {{home + "sitemap.xml", Answer(200, UrlSet(3))}},
       TAuditMark::Pass,
       "3 个 URL · 1 个文件",
       "共 3 个 URL"},
      {"gzip index of three",
       robots_naming(home + "i.xml"),
       {{home + "i.xml",
         Answer(200, Index({home + "1.xml.gz", home + "2.xml.gz", home + "3.xml.gz"}))},
        {home + "1.xml.gz", Answer(200, GzipCoded(UrlSet(40'000)))},
        {home + "2.xml.gz", Answer(200, GzipCoded(UrlSet(40'000)))},
        {home + "3.xml.gz", Answer(200, GzipCoded(UrlSet(40'000)))}},
       TAuditMark::Pass,
       "120000 个 URL · 4 个文件",
       "120000"},
      {"one file over 50,000",
       robots_naming(home + "big.xml"),
       {{home + "big.xml", Answer(200, UrlSet(50'001))}},
       TAuditMark::Warn,
       "50001 个 URL",
       "50,000"},
      {"bomb ends at the cap",
       robots_naming(home + "b.xml.gz"),
       {{home + "b.xml.gz", Answer(200, UrlBomb())}},
       TAuditMark::Warn,
       "个 URL",
       "只读到上限"},
      {"index names itself",
       robots_naming(home + "i.xml"),
       {{home + "i.xml", Answer(200, Index({home + "i.xml", home + "1.xml"}))},
        {home + "1.xml", Answer(200, UrlSet(2))}},
       TAuditMark::Warn,
       "2 个 URL · 2 个文件",
       "不再重复读取"},
      {"child redirects to a file read",
       robots_naming(home + "i.xml"),
       {{home + "i.xml", Answer(200, Index({home + "1.xml", home + "old.xml"}))},
        {home + "1.xml", Answer(200, UrlSet(1000))},
        {home + "old.xml", Moved(home + "1.xml", UrlSet(1000))}},
       TAuditMark::Warn,
       "1000 个 URL · 2 个文件",
       "跳转到已读过的"},
      {"more files than read", Answer(404, ""), sixty, TAuditMark::Warn, "49 个 URL · 50 个文件",
       "其余 11 个"},
      {"none at all",
       Answer(404, ""),
       {{home + "sitemap.xml", Answer(404, "")}},
       TAuditMark::Warn,
       "无",
       "没有站点地图"},
      {"named but missing",
       robots_naming(home + "gone.xml"),
       {{home + "gone.xml", Answer(404, "")}},
       TAuditMark::Fail,
       "无",
       "读不出来"},
      {"corrupt gzip",
       robots_naming(home + "c.xml.gz"),
       {{home + "c.xml.gz", Answer(200, GzipCoded(UrlSet(5)).substr(0, 40))}},
       TAuditMark::Warn,
       "0 个 URL",
       "读到中途出错：the gzip data ends"},
      {"one file of two unreadable",
       robots_naming(home + "i.xml"),
       {{home + "i.xml", Answer(200, Index({home + "1.xml", home + "bad.xml"}))},
        {home + "1.xml", Answer(200, UrlSet(2))},
        {home + "bad.xml", Answer(200, "<html></html>")}},
       TAuditMark::Warn,
       "2 个 URL",
       "1 个文件读不出来"},
      {"site silent", NoAnswer(), {}, TAuditMark::Unable, "", "连接超时"},
  };
  for (const TSitemapCheckRow& row : rows) {
    const TAuditFetch fetch = [&row](const std::string& url, const TAuditFetchOptions& options) {
      EXPECT_EQ(options.MaxBodyBytes, static_cast<int64_t>(kSitemapMaxBytes));
      const auto found = row.Files.find(url);
      TAuditPage page = found == row.Files.end() ? NoAnswer() : found->second;
      page.Url = url;
      return page;
    };
    const TAuditResult result = CheckSitemap(target, row.Robots, fetch);
    ExpectResult(result, row.Name, row.Mark, row.ValuePart, row.ReasonPart);
    EXPECT_EQ(result.Numbers.empty(), row.Mark == TAuditMark::Unable || result.Value == "无")
        << row.Name;
  }
}

// A home page with every part right unless a row says otherwise.
struct THomeParts {
  std::string Title = "Velmora 站长工具箱：站点体检、排名查询与收录统计一站完成";
  std::string Description = std::string(130, 'd');
  std::string H1s = "<h1>站点体检</h1>";
  std::string Canonical = "<link rel=\"canonical\" href=\"https://www.a.example/\">";
  std::string Lang = " lang=\"zh-CN\"";
  std::string Charset = "<meta charset=\"utf-8\">";
  std::string Robots = "";
};

std::string HomeHtml(const THomeParts& p) {
  return "<!DOCTYPE html><html" + p.Lang + "><head>" + p.Charset + "<title>" + p.Title +
         "</title><meta name=\"description\" content=\"" + p.Description + "\">" + p.Canonical +
         p.Robots + "</head><body>" + p.H1s + "<p>text</p></body></html>";
}

struct THeadRow {
  const char* Name;
  TAuditPage Home;
  TAuditMark Mark;
  std::string ValuePart;
  std::string ReasonPart;
  std::string DetailPart = "";  // in one of the Details
  bool Stopped = false;         // the check-up is stopped before the page is read
};

std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

TEST(ContentChecks, Head) {
  const auto page = [](const THomeParts& parts, std::string content_type = "text/html") {
    TAuditPage home = Answer(200, HomeHtml(parts), std::move(content_type));
    home.Url = "https://a.example/";
    return home;
  };
  // 30 characters of Chinese: 60 bytes in GBK and Big5, 90 in UTF-8.
  std::string big5_title;
  for (int i = 0; i < 30; ++i) big5_title += "\xA4\xA4";  // 中
  TAuditPage noindex_header = page({});
  noindex_header.Headers.emplace_back("X-Robots-Tag", "googlebot: noarchive, otherbot: noindex");
  TAuditPage cut = page({});
  cut.Body += std::string(100, ' ');
  cut.BodyCut = true;
  TAuditPage utf16 = page({.Title = std::string(40, 't'), .Charset = ""});
  utf16.Body = Utf16Le(utf16.Body);
  TAuditPage coded = page({});
  coded.Headers.emplace_back("Content-Encoding", "gzip, zstd");
  std::string nested = "<html lang=en><title>" + std::string(40, 't') + "</title><body>";
  for (int i = 0; i < 100'000; ++i) nested += "<div>";
  for (int i = 0; i < 100'000; ++i) nested += "</b>";
  std::string attributes = "<meta";
  for (int i = 0; i < 500'000; ++i) attributes += " a" + std::to_string(i);
  attributes += ">";

  const THeadRow rows[] = {
      {"all right", page({}), TAuditMark::Pass, "标题 32 字 · 描述 130 字 · h1 ×1", "齐全"},
      {"GBK by meta, counted in characters",
       page({.Title =
                 Gbk(u8"站点体检站点体检站点体检站点体检站点体检站点体检站点体检站点体检站点体检"),
             .Charset = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">"},
            ""),
       TAuditMark::Pass, "标题 36 字", "齐全"},
      {"Big5 by header", page({.Title = big5_title, .Charset = ""}, "text/html; charset=big5"),
       TAuditMark::Pass, "标题 30 字", "齐全"},
      {"noindex header", noindex_header, TAuditMark::Fail, "h1 ×1", "X-Robots-Tag"},
      {"noindex meta", page({.Robots = "<meta name=\"ROBOTS\" content=\"NoIndex,follow\">"}),
       TAuditMark::Fail, "", "robots meta"},
      {"two h1", page({.H1s = "<h1>a</h1><h1>b</h1>"}), TAuditMark::Fail, "h1 ×2", "2 个"},
      {"an empty h1 beside one", page({.H1s = "<h1> </h1><h1><b>a</b></h1>"}), TAuditMark::Pass,
       "h1 ×1", "齐全"},
      {"no title", page({.Title = " "}), TAuditMark::Fail, "标题 0 字", "没有标题"},
      {"short title, no description", page({.Title = "Home", .Description = ""}), TAuditMark::Warn,
       "标题 4 字", "标题 4 字，宜在 30–75 字；没有 description"},
      {"relative canonical", page({.Canonical = "<link rel=\"canonical\" href=\"/\">"}),
       TAuditMark::Warn, "", "不是绝对地址"},
      {"canonical elsewhere",
       page({.Canonical = "<link rel=\"canonical\" href=\"https://b.example/\">"}),
       TAuditMark::Warn, "", "别的站点 b.example"},
      {"no lang, no charset", page({.Lang = "", .Charset = ""}), TAuditMark::Warn, "",
       "没有 lang 属性；没有声明字符集"},
      {"broken markup recovered",
       Answer(200, "<html lang=en><title>" + std::string(40, 't') + "</title><p>a<h1>x<h1>y"),
       TAuditMark::Fail, "标题 40 字 · 无描述 · h1 ×2", "h1 有 2 个"},
      {"cut page still read", cut, TAuditMark::Pass, "h1 ×1", "齐全"},
      {"UTF-16 with a byte-order mark", utf16, TAuditMark::Pass, "标题 40 字", "齐全",
       "字符集：UTF-16LE（BOM）"},
      {"Latin-1 by header",
       page({.Title = std::string(30, '\xE9'), .Charset = ""}, "text/html; charset=ISO-8859-1"),
       TAuditMark::Pass, "标题 30 字", "齐全", "windows-1252（Content-Type）"},
      {"a coding not undone", coded, TAuditMark::Unable, "", "无法解开的内容编码 gzip, zstd"},
      {"nested too deep", Answer(200, nested), TAuditMark::Fail, "标题 40 字",
       "嵌套超过 512 层，只读了前"},
      {"a tag of 500,000 attributes", page({.Robots = attributes}), TAuditMark::Pass, "h1 ×1",
       "齐全", "1 个标签的属性超过 256 个"},
      {"stopped", page({}), TAuditMark::Fail, "无标题", "已停止，只读了前 0 字节", "", true},
      {"error page", Answer(500, HomeHtml({})), TAuditMark::Unable, "", "HTTP 500"},
      {"no answer", NoAnswer(), TAuditMark::Unable, "", "连接超时"},
  };
  for (const THeadRow& row : rows) {
    const TAuditResult result =
        CheckHead(row.Home, TNetDeadline::Never(), [&row] { return row.Stopped; });
    ExpectResult(result, row.Name, row.Mark, row.ValuePart, row.ReasonPart);
    if (row.DetailPart.empty()) continue;
    EXPECT_TRUE(std::any_of(result.Details.begin(), result.Details.end(), [&](const auto& line) {
      return line.find(row.DetailPart) != std::string::npos;
    })) << row.Name;
  }
}

struct TPageRow {
  const char* Name;
  TAuditPage Page;
  TAuditMark Mark;
  std::string ValuePart;
  std::string ReasonPart;
};

TAuditPage WithHeader(std::string name, std::string value, std::string url = "https://a.example/") {
  TAuditPage page = Answer(200, "x");
  page.Url = page.FinalUrl = std::move(url);
  page.Headers.emplace_back(std::move(name), std::move(value));
  return page;
}

TEST(ContentChecks, HstsAndCompression) {
  const std::string sts = "Strict-Transport-Security";
  TAuditPage big_unread = WithHeader("Content-Encoding", "gzip, zstd");
  big_unread.Body = std::string(5000, '\x1F');
  big_unread.WireBytes = 5000;
  const TPageRow hsts[] = {
      {"two years", WithHeader(sts, "max-age=63072000; preload"), TAuditMark::Pass,
       "max-age=63072000; preload", "至少一年"},
      {"the largest max-age", WithHeader(sts, "max-age=99999999999999999999"), TAuditMark::Pass,
       "max-age=99999999999999999999", "至少一年"},
      {"a repeated directive", WithHeader(sts, "max-age=0; MAX-AGE=31536000"), TAuditMark::Fail,
       "max-age=0", "max-age 出现了不止一次"},
      {"sent over http", WithHeader(sts, "max-age=63072000; preload", "http://a.example/home"),
       TAuditMark::Fail, "preload", "跳转到了 http"},
  };
  for (const TPageRow& row : hsts) {
    ExpectResult(CheckHsts(row.Page), row.Name, row.Mark, row.ValuePart, row.ReasonPart);
  }
  ExpectResult(CheckCompression(big_unread), "a coding not undone", TAuditMark::Fail,
               "线路 4.9 KiB", "无法解开的内容编码 gzip, zstd");
}

// The https check behind a fake fetch: http://a.example/ moves to the https home page, which
// answers as the row says.
TEST(ContentChecks, HttpsTargetMustWork) {
  const TAuditTarget target{"a.example", "a.example", 80, 443};
  TAuditPage refused = NoAnswer();
  refused.Failure = "连接被拒绝";
  const TPageRow rows[] = {
      {"works", Answer(200, "home"), TAuditMark::Pass, "301 → https://a.example/", "永久跳转"},
      {"server error", Answer(500, "oops"), TAuditMark::Fail, "301", "不可用：HTTP 500"},
      {"refused", refused, TAuditMark::Fail, "301", "不可用：连接被拒绝"},
  };
  for (const TPageRow& row : rows) {
    const TAuditFetch fetch = [&row](const std::string& url, const TAuditFetchOptions&) {
      if (url != "http://a.example/") return row.Page;
      TAuditPage moved = Answer(301, "");
      moved.Headers.emplace_back("Location", "https://a.example/");
      return moved;
    };
    ExpectResult(CheckHttps(target, fetch), row.Name, row.Mark, row.ValuePart, row.ReasonPart);
  }
}

}  // namespace
