// Stand-ins of the four engines' result pages, as the current definitions read them, served on
// 127.0.0.1 by one server (the engines told apart by path and parameter), for the keyword
// position tests.
//
// What they hold, for any keyword:
// - baidu: 10 organic results a page; on page 1 an ad of the site (data-placeid), an ad marked
//   by a "tuiguang" span, a related-search block, a card without a URL (mu "nourl"), a result
//   with only the engine's own redirect link (position 2, no landing host), the site's
//   subdomain blog.velmora.test at position 4, and the site itself at 13 (page 2).
// - bing: the site's ad first, an answer block, then the site at 7 through a ck/a redirect
//   whose u=a1<base64url> holds https://velmora.test/page (the bare twin).
// - 360: never the site (ads of it inside .spread and an li marked 广告 only): "not in the first
//   N" after N/10 pages.
// - sogou: every result page redirects to /antispider, its verification page.
// SogouPage() is an ordinary sogou page (the site at 3) for reading tests.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

class ScriptedServer;

class RankStandIns {
 public:
  static constexpr const char* kSite = "www.velmora.test";
  RankStandIns();
  ~RankStandIns();

  std::string Host() const;  // 127.0.0.1:PORT
  // Result pages asked of `engine` so far (first visits not counted).
  int PagesAsked(const std::string& engine) const;
  // A definitions file over the current set that sends the four engines here (http).
  std::string Definitions() const;

  // The pages themselves (UTF-8), page 1-based.
  static std::string BaiduPage(int page);
  static std::string BingPage(int page);
  static std::string So360Page(int page);
  static std::string SogouPage();
  static std::string SogouVerificationPage();

 private:
  mutable std::mutex mu_;
  std::map<std::string, int> asked_;
  std::unique_ptr<ScriptedServer> server_;
};
