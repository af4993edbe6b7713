// References the check-up follows, resolved as browsers resolve them: a redirect whose query
// holds "://", sitemaps named by relative locations.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "audit/AuditChecks.h"

namespace {

TAuditPage Page(int status, std::string body, std::string location = "") {
  TAuditPage page;
  page.Answered = true;
  page.Status = status;
  page.Body = std::move(body);
  if (!location.empty()) page.Headers.emplace_back("Location", location);
  return page;
}

// A fetch that answers from `pages` (by the URL asked) and records what was asked.
TAuditFetch FakeSite(const std::map<std::string, TAuditPage>& pages,
                     std::vector<std::string>& asked) {
  return [&pages, &asked](const std::string& url, const TAuditFetchOptions&) {
    asked.push_back(url);
    const auto found = pages.find(url);
    TAuditPage page = found == pages.end() ? Page(404, "") : found->second;
    page.Url = url;
    return page;
  };
}

TEST(AuditUrlResolution, RedirectWhoseQueryHoldsASchemeStaysOnTheSite) {
  const TAuditTarget target{"a.example", "a.example", 8080, 8443};
  const std::map<std::string, TAuditPage> pages = {
      {"http://a.example:8080/", Page(301, "", "/go?to=https://x.invalid/")},
      {"http://a.example:8080/go?to=https://x.invalid/",
       Page(301, "", "HTTPS://A.example:8443/./")},
      {"https://a.example:8443/", Page(200, "home")},
  };
  std::vector<std::string> asked;
  const TAuditResult result = CheckHttps(target, FakeSite(pages, asked));
  EXPECT_EQ(asked, (std::vector<std::string>{"http://a.example:8080/",
                                             "http://a.example:8080/go?to=https://x.invalid/",
                                             "https://a.example:8443/"}));
  EXPECT_NE(result.Mark, TAuditMark::Unable) << result.Reason;
}

TEST(AuditUrlResolution, SitemapLocationsResolveAgainstTheirFile) {
  const TAuditTarget target{"a.example", "a.example", 8080, 8443};
  TAuditPage robots = Page(200, "Sitemap: /maps/index.xml\n");
  robots.Url = "https://a.example:8443/robots.txt";
  const std::string urlset =
      "<urlset xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">"
      "<url><loc>https://a.example:8443/p</loc></url></urlset>";
  const std::map<std::string, TAuditPage> pages = {
      {"https://a.example:8443/maps/index.xml",
       Page(200,
            "<sitemapindex xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\">"
            "<sitemap><loc>one.xml</loc></sitemap>"
            "<sitemap><loc>../maps/./one.xml</loc></sitemap></sitemapindex>")},
      {"https://a.example:8443/maps/one.xml", Page(200, urlset)},
  };
  std::vector<std::string> asked;
  const TAuditResult result = CheckSitemap(target, robots, FakeSite(pages, asked));
  // The two spellings of one file are read once.
  EXPECT_EQ(asked, (std::vector<std::string>{"https://a.example:8443/maps/index.xml",
                                             "https://a.example:8443/maps/one.xml"}));
  EXPECT_NE(result.Value.find("1 个 URL"), std::string::npos) << result.Value;
}

}  // namespace
