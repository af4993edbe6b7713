// Which charset a fetched page is written in, found as browsers find it, and its text as UTF-8.
// The query layer turns pages into GBK by it; the check-up reads pages as UTF-8 by it.
//
// Pure functions of their arguments: safe on any thread, total on any bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The encodings of the Encoding Standard, which every label a page may carry names. GBK and Big5
// are read with this program's own tables, UTF-8 by its own reader, the rest through glibc iconv.
enum class TPageCharset {
  Utf8,
  Ibm866,
  Iso8859x2,
  Iso8859x3,
  Iso8859x4,
  Iso8859x5,
  Iso8859x6,
  Iso8859x7,
  Iso8859x8,
  Iso8859x8I,
  Iso8859x10,
  Iso8859x13,
  Iso8859x14,
  Iso8859x15,
  Iso8859x16,
  Koi8R,
  Koi8U,
  Macintosh,
  Windows874,
  Windows1250,
  Windows1251,
  Windows1252,
  Windows1253,
  Windows1254,
  Windows1255,
  Windows1256,
  Windows1257,
  Windows1258,
  MacCyrillic,
  Gbk,
  Gb18030,
  Big5,
  EucJp,
  Iso2022Jp,
  ShiftJis,
  EucKr,
  Replacement,  // labels of encodings that are never decoded: a page in one reads as one U+FFFD
  Utf16Be,
  Utf16Le,
  XUserDefined,
};

// Where the charset was found.
enum class TCharsetSource {
  None,           // nothing names an encoding; the charset is a guess
  ByteOrderMark,  // a UTF-8 or UTF-16 byte-order mark opens the page
  ContentType,    // the charset parameter of the Content-Type header
  MetaElement,    // a meta element in the page's first 1024 bytes
};

struct TSniffedCharset {
  TPageCharset Charset = TPageCharset::Gbk;
  TCharsetSource Source = TCharsetSource::None;
};

// As browsers find it: a byte-order mark (UTF-8, UTF-16BE, UTF-16LE), else the charset of
// `content_type` (the Content-Type header) when it is a label, else the first meta element in
// the first 1024 bytes that declares a label (charset=, quoted or not, or http-equiv=
// "Content-Type" with a content naming it), past comments and other tags' attributes; a meta's
// UTF-16 is UTF-8 and its x-user-defined windows-1252. A text that is no label is passed over.
// Source None (and Charset Gbk) when nothing names one.
TSniffedCharset SniffPageCharset(std::string_view page, std::string_view content_type);

// The encoding an Encoding Standard label names ("UTF-8", " latin1 ", "Shift_JIS"; letter case
// and surrounding blanks ignored); nothing for a text that is no label.
std::optional<TPageCharset> PageCharsetOfLabel(std::string_view label);

// The encoding's name in the Encoding Standard ("UTF-8", "GBK", "windows-1252").
std::string_view PageCharsetName(TPageCharset charset);

// The page's text as UTF-8, read in `charset`: a leading byte-order mark of the charset dropped,
// each malformed sequence as U+FFFD and the rest read on; GBK and Big5 through the code-page
// converters (Big5 by way of GB2312), where a character without a counterpart becomes "?".
std::string PageTextToUtf8(std::string_view page, TPageCharset charset);
