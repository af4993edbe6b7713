// A site's robots.txt read the way crawlers read it: which paths a crawler may fetch, the
// sitemaps the file names, and whether it shuts every crawler out.
//
// Groups open with one or more User-agent lines and hold the Allow and Disallow rules that
// follow; keys are case-insensitive, unknown lines are skipped, rules before any User-agent line
// belong to no group, and Sitemap lines count wherever they stand. A crawler obeys the groups
// naming its product token (combined when several do), else those for "*", else nothing; a full
// User-Agent is tried by each product it names ("Mozilla/5.0 (compatible; ExampleBot/0.1)" goes
// by "examplebot", "mozilla" tried last). Among
// the rules matching a path the longest pattern wins, Allow on a tie; "*" in a pattern matches
// any run of octets and a final "$" anchors it at the path's end, while "%2A" and "%24" stand for
// the characters "*" and "$" themselves. Patterns and paths are compared with percent-escapes of
// unreserved characters decoded, other escapes upper-cased, and octets outside ASCII escaped, so
// "/ツ" and "/%E3%83%84" are the same path.
//
// Only the first kRobotsMaxBytes of a file are read (a line cut by the limit is dropped);
// Truncated() says the limit was reached. Matching a path costs at most the rules' total length
// times the path's length.
//
// Thread-safety: a parsed TRobotsTxt is immutable; its const methods may be called from any
// number of threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// How much of a robots.txt is read; the rest is ignored, as crawlers ignore it.
inline constexpr std::size_t kRobotsMaxBytes = 500 * 1024;
// A Crawl-delay longer than this is taken as this: a day between requests would be no crawl.
inline constexpr double kRobotsMaxCrawlDelaySeconds = 60;

// What the robots.txt check writes among its details so that two check-ups can be compared: the
// digest of the rules (RobotsRulesDigest after this label) and, when every crawler is shut out,
// the second line.
inline constexpr std::string_view kRobotsDigestLabel = "规则指纹 ";
inline constexpr std::string_view kRobotsShutsEveryone = "所有爬虫都被禁止抓取全站";

// 16 hex digits that change when a line that means something changes: comments, blank lines and
// the spaces around lines and line ends do not count.
std::string RobotsRulesDigest(std::string_view text);

class TRobotsTxt {
 public:
  // Never raises: a text that is not a robots.txt at all allows everything.
  static TRobotsTxt Parse(std::string_view text);

  // Whether a crawler whose User-Agent (or bare product token) is user_agent may fetch path
  // (the URL's path and query; empty stands for "/"). "/robots.txt" itself is always allowed.
  bool Allowed(std::string_view user_agent, std::string_view path) const;

  // The Crawl-delay of the group that user_agent obeys (as Allowed chooses it), in seconds, at
  // most kRobotsMaxCrawlDelaySeconds; 0 when it names none.
  double CrawlDelaySeconds(std::string_view user_agent) const;

  // The Sitemap lines' URLs, in the file's order.
  const std::vector<std::string>& Sitemaps() const { return sitemaps_; }

  // True when the groups for "*" hold "Disallow: /" (or "*", "/*") and no Allow rule: every
  // crawler that has no group of its own is shut out of the whole site.
  bool DisallowsAllForEveryone() const { return disallows_all_; }
  // When DisallowsAllForEveryone: the crawlers whose own groups still let them fetch "/", in the
  // file's order, among the first 64 the file names; empty otherwise.
  const std::vector<std::string>& AdmittedAgents() const { return admitted_; }

  // The limit was reached and the rest of the file ignored.
  bool Truncated() const { return truncated_; }
  // The bytes read (at most kRobotsMaxBytes).
  std::size_t BytesRead() const { return bytes_read_; }

 private:
  struct TRule {
    bool Allow = false;
    bool Anchored = false;   // the pattern ended in "$"
    std::string Pattern;     // normalised, without the final "$"
    std::size_t Length = 0;  // the pattern's length for "longest match", "$" included
  };
  struct TGroup {
    std::vector<std::string> Agents;  // product tokens, lower-cased; "*" for everyone
    std::vector<TRule> Rules;
    double CrawlDelay = 0;  // seconds
  };
  // Whether the group's User-agent lines name agent (a lower-case product token or "*").
  static bool Names(const TGroup& group, std::string_view agent);
  // The product token whose groups user_agent obeys: its own when a group names it, else "*".
  std::string ChosenAgent(std::string_view user_agent) const;

  std::vector<TGroup> groups_;
  std::vector<std::string> sitemaps_;
  std::vector<std::string> admitted_;
  bool disallows_all_ = false;
  bool truncated_ = false;
  std::size_t bytes_read_ = 0;
};
