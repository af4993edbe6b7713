// Which charset a fetched page is written in, found as browsers find it, and its text as UTF-8.
// The query layer turns pages into GBK by it; the check-up reads pages as UTF-8 by it.
//
// Pure functions of their arguments: safe on any thread, total on any bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The charsets this program reads pages in (each name for the GBK family is GBK).
enum class TPageCharset { Utf8, Gbk, Big5 };

// Where the charset was found.
enum class TCharsetSource {
  None,           // nothing names one of the three; the charset is a guess
  ByteOrderMark,  // a UTF-8 byte-order mark opens the page
  ContentType,    // the charset parameter of the Content-Type header
  MetaElement,    // a meta element in the page's first 1024 bytes
};

struct TSniffedCharset {
  TPageCharset Charset = TPageCharset::Gbk;
  TCharsetSource Source = TCharsetSource::None;
};

// As browsers find it: a UTF-8 byte-order mark, else the charset of `content_type` (the
// Content-Type header), else the first meta element in the first 1024 bytes that declares one
// (charset=, quoted or not, or http-equiv="Content-Type" with a content naming it), past comments
// and other tags' attributes. utf-8/utf8 give Utf8, big5/big5-hkscs Big5, gbk/gb2312/gb18030
// Gbk (letter case and blanks ignored); a label naming none of them is passed over. Source None
// (and Charset Gbk) when nothing names one.
TSniffedCharset SniffPageCharset(std::string_view page, std::string_view content_type);

// The charset of an encoding label ("UTF-8", " gb2312 "); nothing for any other label.
std::optional<TPageCharset> PageCharsetOfLabel(std::string_view label);

// The page's text as UTF-8, read in `charset`: a leading UTF-8 byte-order mark dropped, each
// malformed UTF-8 sequence as U+FFFD; GBK and Big5 through the code-page converters (Big5 by way
// of GB2312), where a character without a counterpart becomes "?".
std::string PageTextToUtf8(std::string_view page, TPageCharset charset);
