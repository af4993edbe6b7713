// What a page's markup says about it to search engines (and, for a crawler, where it links), read
// with libxml2's HTML parser as a stream of events: no tree is built, so memory stays flat however
// large the page. The parser recovers from broken markup as browsers do (implied <html>, <head> and
// <body>, unclosed elements closed), fetches nothing and ignores the page's own charset
// declaration: the text is UTF-8 already.
//
// The page is handed to the parser in pieces, and a hostile page cannot hold the reader: elements
// nested deeper than kPageHeadMaxDepth end the reading there (each end tag costs the parser a
// walk of the open elements), a start tag's attributes past kPageHeadMaxAttributes are passed
// over before the parser sees them (it compares each new attribute with all the earlier ones),
// and the deadline and the stop are asked between pieces. A page read short says why (End).
//
// Thread-safety: ReadPageHead may run on any number of threads at once; a TPageHeadReader
// belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/NetDeadline.h"

// The longest title or description text kept (bytes, on a character boundary); the character
// counts go on past it.
inline constexpr std::size_t kPageHeadMaxText = 1024;
// The most canonical links or robots metas kept; the counts go on past it.
inline constexpr std::size_t kPageHeadMaxKept = 8;
// The deepest nesting read (a browser's parser nests no deeper either); a deeper element ends
// the reading.
inline constexpr int kPageHeadMaxDepth = 512;
// The attributes of one start tag that are read; the rest of the tag is passed over.
inline constexpr int kPageHeadMaxAttributes = 256;

// The most references kept from one page's body; the rest are counted, not kept.
inline constexpr std::size_t kPageMaxLinks = 5'000;

// How a page refers to another URL. The crawl stores the numbers: never renumber them.
enum class TPageLinkKind : uint8_t {
  Anchor = 0,     // <a href>
  Canonical = 1,  // <link rel=canonical>
  Alternate = 2,  // <link rel=alternate hreflang>
  Image = 3,      // <img src>
  Script = 4,     // <script src>
  Style = 5,      // <link rel=stylesheet>
  Frame = 6,      // <iframe src>
};

struct TPageLink {
  std::string Url;  // as written, blanks around it trimmed
  TPageLinkKind Kind = TPageLinkKind::Anchor;
};

// What a crawler reads of a page besides its head: read only when asked for (it costs a copy of
// every reference).
struct TPageBody {
  std::string BaseHref;          // the first <base href>, as written
  std::vector<TPageLink> Links;  // in the page's order, the first kPageMaxLinks
  std::size_t LinksDropped = 0;  // past kPageMaxLinks
  int ImagesWithoutAlt = 0;      // <img> without an alt attribute
  // 16 hex digits of the visible text (not <title>, <script>, <style>, <noscript>, <template>)
  // with its blanks collapsed, for telling the same text at two URLs; "" when it has none.
  std::string TextHash;
};

// Why reading a page ended.
enum class TPageHeadEnd {
  Whole,     // the page was read to its end
  TooDeep,   // an element nested deeper than kPageHeadMaxDepth
  Deadline,  // the deadline passed
  Stopped,   // the caller's stop was asked
};

// A text with its blanks collapsed to one space and trimmed, as a browser shows it.
struct TPageText {
  std::string Text;       // at most kPageHeadMaxText bytes
  std::size_t Chars = 0;  // characters (code points) of the whole text
};

struct TPageHead {
  std::optional<std::string> Lang;       // <html lang>, as written; none without the attribute
  std::optional<TPageText> Title;        // the first <title>
  std::optional<TPageText> Description;  // the first <meta name="description">'s content
  int H1Count = 0;                       // every <h1>
  int NonEmptyH1Count = 0;               // those with text in them
  std::size_t CanonicalCount = 0;        // <link rel="canonical">
  std::vector<std::string> Canonicals;   // their hrefs, the first kPageHeadMaxKept
  std::vector<std::string> RobotsMetas;  // <meta name="robots"> contents, lower case
  bool MetaCharset = false;  // a <meta charset> or http-equiv="Content-Type" naming a charset
  TPageHeadEnd End = TPageHeadEnd::Whole;
  std::size_t BytesRead = 0;  // of the page's text, up to where reading ended
  int TagsCut = 0;            // start tags whose attributes past kPageHeadMaxAttributes went unread
  std::optional<TPageBody> Body;  // when asked for
};

// A page read as it comes, a piece at a time. Never raises.
class TPageHeadReader {
 public:
  // `with_body`: the page's body is read too (TPageHead::Body).
  explicit TPageHeadReader(bool with_body = false);
  ~TPageHeadReader();
  TPageHeadReader(const TPageHeadReader&) = delete;
  TPageHeadReader& operator=(const TPageHeadReader&) = delete;

  // Reads the next piece of the page; false once reading has ended (the nesting went too deep)
  // and later pieces are not wanted. The cost of one piece is bounded by its size times
  // kPageHeadMaxDepth or kPageHeadMaxAttributes, whatever it holds.
  bool Feed(std::string_view piece);
  // Ends the page and gives what was read; `end` says why the caller stopped feeding early
  // (Deadline, Stopped), Whole when it handed over the whole page.
  TPageHead Finish(TPageHeadEnd end = TPageHeadEnd::Whole);

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

// Whether one robots directive list ("noindex, nofollow", "googlebot: none": a <meta
// name=robots> content or an X-Robots-Tag value) keeps the page out of the index. A leading
// "agent:" is passed over.
bool RobotsSaysNoindex(std::string_view directives);

// Reads utf8_html in pieces, asking `deadline` and `stopped` before each one (and its body when
// `with_body`). Never raises; any bytes are read as well as they can be.
TPageHead ReadPageHead(std::string_view utf8_html,
                       const TNetDeadline& deadline = TNetDeadline::Never(),
                       const std::function<bool()>& stopped = {}, bool with_body = false);
