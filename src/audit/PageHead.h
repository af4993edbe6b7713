// What a page's markup says about it to search engines, read with libxml2's HTML parser as a
// stream of events: no tree is built, so memory stays flat however large the page. The parser
// recovers from broken markup as browsers do (implied <html>, <head> and <body>, unclosed
// elements closed), fetches nothing and ignores the page's own charset declaration: the text is
// UTF-8 already.
//
// Thread-safety: ReadPageHead may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The longest title or description text kept (bytes, on a character boundary); the character
// counts go on past it.
inline constexpr std::size_t kPageHeadMaxText = 1024;
// The most canonical links or robots metas kept; the counts go on past it.
inline constexpr std::size_t kPageHeadMaxKept = 8;

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
};

// Never raises; any bytes are read as well as they can be.
TPageHead ReadPageHead(std::string_view utf8_html);
