// One URL of a crawl as the crawler read it: where it stands in the crawl, what the server
// answered and, for an HTML page of the site, what its markup says and where it links. Texts are
// UTF-8; URLs are absolute and normalised as browsers resolve them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit/PageHead.h"

// How a URL refers to another: as a page does (TPageLinkKind, the same numbers) or by a
// redirect. The numbers are stored: never renumber them.
enum class TCrawlLinkKind : uint8_t {
  Anchor = 0,     // <a href>
  Canonical = 1,  // <link rel=canonical>
  Alternate = 2,  // <link rel=alternate hreflang>
  Image = 3,      // <img src>
  Script = 4,     // <script src>
  Style = 5,      // <link rel=stylesheet>
  Frame = 6,      // <iframe src>
  Redirect = 7,   // a redirect's Location
};
#define VM_SAME_KIND(k) (static_cast<int>(TPageLinkKind::k) == static_cast<int>(TCrawlLinkKind::k))
static_assert(VM_SAME_KIND(Anchor) && VM_SAME_KIND(Canonical) && VM_SAME_KIND(Alternate) &&
              VM_SAME_KIND(Image) && VM_SAME_KIND(Script) && VM_SAME_KIND(Style) &&
              VM_SAME_KIND(Frame));
#undef VM_SAME_KIND
inline TCrawlLinkKind CrawlLinkKindOf(TPageLinkKind kind) {
  return static_cast<TCrawlLinkKind>(static_cast<uint8_t>(kind));
}

struct TCrawlLink {
  std::string Url;
  TCrawlLinkKind Kind = TCrawlLinkKind::Anchor;
};

// Where a URL stands in the crawl (stored: never renumber).
enum class TCrawlUrlState : uint8_t {
  Queued = 0,   // waiting to be asked
  Taken = 1,    // handed to a worker, no answer stored yet
  Done = 2,     // its answer (or why there is none) is stored
  Skipped = 3,  // not asked: robots.txt, a scheme never fetched, past the limits
};

struct TCrawlPage {
  int64_t Id = 0;  // the frontier's number for the URL
  std::string Url;
  bool Internal = true;      // the site's own (crawled) or an external link (only checked)
  std::optional<int> Depth;  // clicks from the home page; none for a URL only a sitemap lists

  // The answer. Status 0 with a Failure: no answer ("连接超时", ...).
  int Status = 0;
  std::string Failure;
  std::string Location;  // a redirect's target, resolved
  std::string ContentType;
  double FirstByteMs = -1;
  int64_t Bytes = 0;       // the body, decoded
  bool Throttled = false;  // still 429/503 after every wait: not judged
  std::string ETag;
  std::string LastModified;
  bool NotModified = false;  // a 304 to the last crawl's validators: its reading was reused

  // What an HTML page of the site says (Html true).
  bool Html = false;
  std::optional<std::string> Title;
  int TitleChars = 0;
  std::optional<std::string> Description;
  int H1Count = 0;
  std::string Canonical;  // resolved; "" when none
  bool NoIndex = false;   // <meta name=robots> or X-Robots-Tag
  std::string TextHash;   // of the visible text, blanks collapsed; "" for no text
  int ImagesWithoutAlt = 0;
  std::vector<std::string> MixedContent;  // http resources of an https page, the first few
  std::vector<TCrawlLink> Links;          // in the page's order, each (URL, kind) once
};
