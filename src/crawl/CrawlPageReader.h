// What one HTML page of the site says to a crawler, read with libxml2's HTML parser as a stream
// of events (no tree, so memory stays flat however large the page): its head's facts, the URLs it
// refers to (as written: the crawler resolves them against the page's base) and a hash of its
// visible text, for finding the same text at two URLs.
//
// Thread-safety: ReadCrawlPage may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crawl/CrawlPage.h"

// The most references kept from one page; the rest are counted, not followed.
inline constexpr std::size_t kCrawlMaxLinksPerPage = 5'000;

struct TCrawlPageReading {
  std::optional<std::string> Title;  // the first <title>, blanks collapsed
  int TitleChars = 0;
  std::optional<std::string> Description;
  int H1Count = 0;
  bool NoIndex = false;      // <meta name=robots> (or name=VelmoraBot) saying noindex
  std::string BaseHref;      // the first <base href>, as written
  std::string Canonical;     // the first <link rel=canonical>'s href, as written
  int ImagesWithoutAlt = 0;  // <img> without an alt attribute
  std::string TextHash;      // 16 hex digits of the visible text; "" when the page has none
  std::vector<TCrawlLink> Links;  // hrefs as written, in the page's order
  std::size_t LinksDropped = 0;   // past kCrawlMaxLinksPerPage
};

// Never raises; any bytes are read as well as they can be.
TCrawlPageReading ReadCrawlPage(std::string_view utf8_html);
