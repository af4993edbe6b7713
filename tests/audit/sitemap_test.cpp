// Sitemap files: what counts as a page URL, an index's children, and where reading stops.
#include "audit/Sitemap.h"

#include <gtest/gtest.h>

namespace {

struct TSitemapRow {
  const char* Name;
  std::string Xml;
  std::size_t MaxBytes;
  TSitemapKind Kind;
  std::size_t Urls;  // UrlCount, or the number of children of an index
  bool Truncated;
  bool Error;
};

constexpr const char* kNs = "xmlns=\"http://www.sitemaps.org/schemas/sitemap/0.9\"";

TEST(Sitemap, CountsWhatCrawlersCount) {
  const std::string urlset = std::string("<?xml version=\"1.0\"?><urlset ") + kNs +
                             " xmlns:image=\"http://www.google.com/schemas/sitemap-image/1.1\">"
                             "<url><loc> https://a.example/ </loc><image:image><image:loc>"
                             "https://a.example/i.png</image:loc></image:image></url>"
                             "<url><loc>https://a.example/b?x=1&amp;y=2</loc></url>"
                             "<url><loc>  </loc></url></urlset>";
  const TSitemapRow rows[] = {
      {"urlset, image loc not counted", urlset, kSitemapMaxBytes, TSitemapKind::UrlSet, 2, false,
       false},
      {"index",
       std::string("<sitemapindex ") + kNs +
           "><sitemap><loc>https://a.example/1.xml.gz</loc>"
           "</sitemap><sitemap><loc>https://a.example/2.xml</loc></sitemap></sitemapindex>",
       kSitemapMaxBytes, TSitemapKind::Index, 2, false, false},
      {"cut by the cap", urlset, 300, TSitemapKind::UrlSet, 1, true, true},
      {"not a sitemap", "<html><body/></html>", kSitemapMaxBytes, TSitemapKind::Unknown, 0, false,
       true},
      {"malformed after a url", "<urlset><url><loc>https://a.example/</loc></url><url>",
       kSitemapMaxBytes, TSitemapKind::UrlSet, 1, false, true},
      {"entities not expanded (the loc is empty)",
       "<!DOCTYPE urlset [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;"
       "&a;&a;&a;&a;&a;\">]><urlset><url><loc>&b;&b;</loc></url></urlset>",
       kSitemapMaxBytes, TSitemapKind::UrlSet, 0, false, false},
      {"loc under another parent or namespace not counted",
       std::string("<urlset ") + kNs +
           " xmlns:x=\"urn:x\"><url><loc>https://a.example/1</loc><x:loc>https://a.example/x"
           "</x:loc></url><foo><loc>https://a.example/foo</loc></foo></urlset>",
       kSitemapMaxBytes, TSitemapKind::UrlSet, 1, false, false},
      {"an index's <url><loc> is no child",
       std::string("<sitemapindex ") + kNs +
           "><url><loc>https://a.example/page</loc></url><sitemap><loc>https://a.example/1.xml"
           "</loc></sitemap></sitemapindex>",
       kSitemapMaxBytes, TSitemapKind::Index, 1, false, false},
      {"external entity not fetched",
       "<!DOCTYPE urlset [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
       "<urlset><url><loc>&x;</loc></url></urlset>",
       kSitemapMaxBytes, TSitemapKind::UrlSet, 0, false, false},
  };
  for (const TSitemapRow& row : rows) {
    const TSitemap sitemap = ParseSitemap(row.Xml, row.MaxBytes);
    EXPECT_EQ(sitemap.Kind, row.Kind) << row.Name;
    EXPECT_EQ(sitemap.Kind == TSitemapKind::Index ? sitemap.ChildSitemaps.size() : sitemap.UrlCount,
              row.Urls)
        << row.Name;
    EXPECT_EQ(sitemap.Truncated, row.Truncated) << row.Name;
    EXPECT_EQ(!sitemap.Error.empty(), row.Error) << row.Name << ": " << sitemap.Error;
  }
}

}  // namespace
