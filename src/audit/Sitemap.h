// A sitemap file read for the check-up: how many page URLs a urlset lists, or which sitemaps an
// index points at. An XML reader walks the document as a stream, so memory stays flat however
// many URLs it holds; only a <loc> directly inside a <url> of a urlset or a <sitemap> of an index
// counts, each of the sitemap namespace or of none (an image's or a video's <loc> deeper down, a
// <loc> under another parent or of another namespace does not). Entities are not expanded, nothing
// is fetched from the network, and only the first max_bytes of the (already inflated) text are
// read. The text may come from a pull source a piece at a time (a gzip file inflating as it is
// read), so a file need never be held whole in memory.
//
// Thread-safety: ParseSitemap may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The most one sitemap file may hold, uncompressed.
inline constexpr std::size_t kSitemapMaxBytes = 50 * 1024 * 1024;
// The most child sitemaps an index may list; the rest are not kept.
inline constexpr std::size_t kSitemapMaxChildren = 50'000;

enum class TSitemapKind { Unknown, UrlSet, Index };

struct TSitemap {
  TSitemapKind Kind = TSitemapKind::Unknown;
  std::size_t UrlCount = 0;                // the <loc> URLs of a urlset
  std::vector<std::string> ChildSitemaps;  // the <loc> URLs of an index, in order
  bool Truncated = false;                  // the text was longer than max_bytes
  std::string Error;                       // the first complaint about the XML, empty if none
};

// Never raises: a text that is not a sitemap comes back Unknown with the reason in Error.
TSitemap ParseSitemap(std::string_view xml, std::size_t max_bytes = kSitemapMaxBytes);

// A pull source of a sitemap's text: fills at most `size` bytes of `buffer` and gives how many, 0
// at the end of the text, or -1 when the rest cannot be read (the reason in `error`).
using TSitemapSource = std::function<int(char* buffer, int size, std::string& error)>;
// As ParseSitemap, the text pulled from `source` until it ends or max_bytes have been read (then
// one byte more is asked for, to tell whether the text was longer). A source's failure is the
// Error.
TSitemap ReadSitemap(const TSitemapSource& source, std::size_t max_bytes = kSitemapMaxBytes);
