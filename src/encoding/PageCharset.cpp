#include "encoding/PageCharset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>
#include <vector>

#include "encoding/BIG5_GB2312.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

bool IsHtmlSpace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

std::optional<TPageCharset> PageCharsetOfLabel(std::string_view label) {
  static constexpr std::pair<std::string_view, TPageCharset> kLabels[] = {
#include "encoding/EncodingLabels.inc"
  };
  static_assert(
      std::ranges::is_sorted(kLabels, {}, &std::pair<std::string_view, TPageCharset>::first));
  while (!label.empty() && IsHtmlSpace(label.front())) label.remove_prefix(1);
  while (!label.empty() && IsHtmlSpace(label.back())) label.remove_suffix(1);
  const std::string lower = LowerCase(label);
  const auto* row = std::ranges::lower_bound(kLabels, std::string_view(lower), {},
                                             &std::pair<std::string_view, TPageCharset>::first);
  if (row == std::end(kLabels) || row->first != lower) return std::nullopt;
  return row->second;
}

namespace {

// An encoding's name in the standard and glibc iconv's name of the converter that reads it
// (nullptr: read by this program's own code).
struct TEncodingNames {
  TPageCharset Charset;
  std::string_view Name;
  const char* Iconv;
};

constexpr TEncodingNames kEncodingNames[] = {
    {TPageCharset::Utf8, "UTF-8", nullptr},
    {TPageCharset::Ibm866, "IBM866", "IBM866"},
    {TPageCharset::Iso8859x2, "ISO-8859-2", "ISO-8859-2"},
    {TPageCharset::Iso8859x3, "ISO-8859-3", "ISO-8859-3"},
    {TPageCharset::Iso8859x4, "ISO-8859-4", "ISO-8859-4"},
    {TPageCharset::Iso8859x5, "ISO-8859-5", "ISO-8859-5"},
    {TPageCharset::Iso8859x6, "ISO-8859-6", "ISO-8859-6"},
    {TPageCharset::Iso8859x7, "ISO-8859-7", "ISO-8859-7"},
    {TPageCharset::Iso8859x8, "ISO-8859-8", "ISO-8859-8"},
    {TPageCharset::Iso8859x8I, "ISO-8859-8-I", "ISO-8859-8"},  // the same bytes, read logically
    {TPageCharset::Iso8859x10, "ISO-8859-10", "ISO-8859-10"},
    {TPageCharset::Iso8859x13, "ISO-8859-13", "ISO-8859-13"},
    {TPageCharset::Iso8859x14, "ISO-8859-14", "ISO-8859-14"},
    {TPageCharset::Iso8859x15, "ISO-8859-15", "ISO-8859-15"},
    {TPageCharset::Iso8859x16, "ISO-8859-16", "ISO-8859-16"},
    {TPageCharset::Koi8R, "KOI8-R", "KOI8-R"},
    {TPageCharset::Koi8U, "KOI8-U", "KOI8-U"},
    {TPageCharset::Macintosh, "macintosh", "MACINTOSH"},
    {TPageCharset::Windows874, "windows-874", "CP874"},
    {TPageCharset::Windows1250, "windows-1250", "CP1250"},
    {TPageCharset::Windows1251, "windows-1251", "CP1251"},
    {TPageCharset::Windows1252, "windows-1252", "CP1252"},
    {TPageCharset::Windows1253, "windows-1253", "CP1253"},
    {TPageCharset::Windows1254, "windows-1254", "CP1254"},
    {TPageCharset::Windows1255, "windows-1255", "CP1255"},
    {TPageCharset::Windows1256, "windows-1256", "CP1256"},
    {TPageCharset::Windows1257, "windows-1257", "CP1257"},
    {TPageCharset::Windows1258, "windows-1258", "CP1258"},
    {TPageCharset::MacCyrillic, "x-mac-cyrillic", "MAC-CYRILLIC"},
    {TPageCharset::Gbk, "GBK", nullptr},
    {TPageCharset::Gb18030, "gb18030", "GB18030"},
    {TPageCharset::Big5, "Big5", nullptr},
    {TPageCharset::EucJp, "EUC-JP", "EUC-JP"},
    {TPageCharset::Iso2022Jp, "ISO-2022-JP", "ISO-2022-JP"},
    {TPageCharset::ShiftJis, "Shift_JIS",
     "WINDOWS-31J"},                           // the standard's Shift_JIS is Microsoft's
    {TPageCharset::EucKr, "EUC-KR", "CP949"},  // so is its EUC-KR
    {TPageCharset::Replacement, "replacement", nullptr},
    {TPageCharset::Utf16Be, "UTF-16BE", "UTF-16BE"},
    {TPageCharset::Utf16Le, "UTF-16LE", "UTF-16LE"},
    {TPageCharset::XUserDefined, "x-user-defined", nullptr},
};

const TEncodingNames& NamesOf(TPageCharset charset) {
  static_assert(std::size(kEncodingNames) == static_cast<size_t>(TPageCharset::XUserDefined) + 1);
  return kEncodingNames[static_cast<size_t>(charset)];
}

// The table is in the enumeration's order.
static_assert([] {
  for (size_t i = 0; i < std::size(kEncodingNames); ++i) {
    if (static_cast<size_t>(kEncodingNames[i].Charset) != i) return false;
  }
  return true;
}());

}  // namespace

std::string_view PageCharsetName(TPageCharset charset) { return NamesOf(charset).Name; }

namespace {

// The value of the first "charset=" in a Content-Type value or a meta element's content (quoted
// or not; blanks around "=" allowed); nothing when there is none.
std::optional<std::string> CharsetInContent(std::string_view value) {
  const std::string text = LowerCase(value);
  size_t i = 0;
  for (;;) {
    const size_t at = text.find("charset", i);
    if (at == std::string::npos) return std::nullopt;
    i = at + 7;
    while (i < text.size() && IsHtmlSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    while (i < text.size() && IsHtmlSpace(text[i])) ++i;
    if (i >= text.size()) return std::nullopt;
    if (text[i] == '"' || text[i] == '\'') {
      const size_t close = text.find(text[i], i + 1);
      if (close == std::string::npos) return std::nullopt;
      return text.substr(i + 1, close - i - 1);
    }
    const size_t end = text.find_first_of("\t\n\f\r ;", i);
    return text.substr(i, end == std::string::npos ? std::string::npos : end - i);
  }
}

struct THtmlAttribute {
  std::string Name;   // lower case
  std::string Value;  // lower case, without its quotes
};

// The attribute of a tag that starts at p, p left after it; nothing at the tag's ">" (p left on
// it) or where the text ends first. Names and unquoted values end at blanks, "/" and ">".
std::optional<THtmlAttribute> NextAttribute(std::string_view s, size_t& p) {
  while (p < s.size() && (IsHtmlSpace(s[p]) || s[p] == '/')) ++p;
  if (p >= s.size() || s[p] == '>') return std::nullopt;
  THtmlAttribute a;
  for (;; ++p) {
    if (p >= s.size()) return std::nullopt;
    const char c = s[p];
    if (c == '=' && !a.Name.empty()) break;
    if (IsHtmlSpace(c)) {
      while (p < s.size() && IsHtmlSpace(s[p])) ++p;
      if (p >= s.size()) return std::nullopt;
      if (s[p] != '=') return a;
      break;
    }
    if (c == '/' || c == '>') return a;
    a.Name += LowerCase(std::string_view(&c, 1));
  }
  ++p;  // the "="
  while (p < s.size() && IsHtmlSpace(s[p])) ++p;
  if (p >= s.size()) return std::nullopt;
  if (s[p] == '"' || s[p] == '\'') {
    const size_t close = s.find(s[p], p + 1);
    if (close == std::string_view::npos) return std::nullopt;
    a.Value = LowerCase(s.substr(p + 1, close - p - 1));
    p = close + 1;
    return a;
  }
  if (s[p] == '>') return a;
  const size_t start = p;
  while (p < s.size() && !IsHtmlSpace(s[p]) && s[p] != '>') ++p;
  if (p >= s.size()) return std::nullopt;
  a.Value = LowerCase(s.substr(start, p - start));
  return a;
}

// The charset of one meta element's attributes (p just after "<meta"): a charset attribute, or a
// content with "charset=" beside http-equiv="content-type"; nothing when it declares nothing
// usable.
std::optional<TPageCharset> MetaElementCharset(std::string_view s, size_t& p) {
  std::vector<std::string> seen;
  bool pragma = false;
  std::optional<bool> need_pragma;
  std::optional<std::string> charset;
  while (auto a = NextAttribute(s, p)) {
    if (std::find(seen.begin(), seen.end(), a->Name) != seen.end()) continue;
    seen.push_back(a->Name);
    if (a->Name == "http-equiv") {
      pragma = pragma || a->Value == "content-type";
    } else if (a->Name == "content" && !charset) {
      if ((charset = CharsetInContent(a->Value))) need_pragma = true;
    } else if (a->Name == "charset") {
      charset = a->Value;
      need_pragma = false;
    }
  }
  if (!need_pragma || (*need_pragma && !pragma)) return std::nullopt;
  const std::optional<TPageCharset> named = PageCharsetOfLabel(*charset);
  // A page cannot be read as UTF-16 while its markup is ASCII: it is UTF-8 then.
  if (named == TPageCharset::Utf16Be || named == TPageCharset::Utf16Le) return TPageCharset::Utf8;
  if (named == TPageCharset::XUserDefined) return TPageCharset::Windows1252;
  return named;
}

// The charset the page's own meta elements declare, looked for in its first 1024 bytes past
// comments and other tags' attributes, the first usable one counting; nothing when none does.
std::optional<TPageCharset> PrescanCharset(std::string_view page) {
  const std::string_view s = page.substr(0, 1024);
  size_t p = 0;
  for (; p < s.size(); ++p) {
    if (s.compare(p, 4, "<!--") == 0) {
      p = s.find("-->", p + 2);
      if (p == std::string_view::npos) return std::nullopt;
      p += 2;
    } else if (p + 5 < s.size() && SameText(s.substr(p, 5), "<meta") &&
               (IsHtmlSpace(s[p + 5]) || s[p + 5] == '/')) {
      p += 5;
      if (const auto charset = MetaElementCharset(s, p)) return charset;
    } else if (s[p] == '<' && p + 1 < s.size() &&
               (IsAsciiLetter(s[p + 1]) ||
                (s[p + 1] == '/' && p + 2 < s.size() && IsAsciiLetter(s[p + 2])))) {
      p = s.find_first_of("\t\n\f\r >", p);
      if (p == std::string_view::npos) return std::nullopt;
      while (NextAttribute(s, p)) {
      }
    } else if (s[p] == '<' && p + 1 < s.size() &&
               (s[p + 1] == '!' || s[p + 1] == '/' || s[p + 1] == '?')) {
      p = s.find('>', p);
      if (p == std::string_view::npos) return std::nullopt;
    }
  }
  return std::nullopt;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

// The charset a byte-order mark at the page's start names.
std::optional<TPageCharset> CharsetOfByteOrderMark(std::string_view page) {
  if (page.starts_with(kUtf8Bom)) return TPageCharset::Utf8;
  if (page.starts_with(kUtf16BeBom)) return TPageCharset::Utf16Be;
  if (page.starts_with(kUtf16LeBom)) return TPageCharset::Utf16Le;
  return std::nullopt;
}

constexpr long kReplacementCharacter = 0xFFFD;

// `page` read by glibc iconv's converter `from`, as UTF-8: each sequence it refuses is one
// U+FFFD and reading goes on `unit` bytes later (a cut-short one at the end is one U+FFFD).
// Without the converter on this system, every byte past ASCII is U+FFFD.
std::string IconvToUtf8(std::string_view page, const char* from, size_t unit) {
  std::string text;
  const iconv_t converter = iconv_open("UTF-8", from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    for (const char c : page) {
      if (static_cast<unsigned char>(c) < 0x80) {
        text += c;
      } else {
        AppendUtf8(kReplacementCharacter, text);
      }
    }
    return text;
  }
  text.reserve(page.size() + page.size() / 2);
  char* in = const_cast<char*>(page.data());  // iconv takes char**; it never writes through it
  size_t in_left = page.size();
  char block[16 * 1024];
  for (;;) {
    char* out = block;
    size_t out_left = sizeof block;
    // With the input used up, one more call writes out what a stateful encoding still holds.
    const bool flushing = in_left == 0;
    const size_t done = flushing ? iconv(converter, nullptr, nullptr, &out, &out_left)
                                 : iconv(converter, &in, &in_left, &out, &out_left);
    const int error = errno;
    text.append(block, out - block);
    if (flushing) break;
    if (done != static_cast<size_t>(-1) || error == E2BIG) continue;
    AppendUtf8(kReplacementCharacter, text);
    const size_t skip = error == EILSEQ ? std::min(unit, in_left) : in_left;  // EINVAL: cut short
    in += skip;
    in_left -= skip;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  }
  iconv_close(converter);
  return text;
}

// UTF-8 as it stands, each malformed sequence as U+FFFD.
std::string CheckedUtf8(std::string_view page) {
  std::string text;
  text.reserve(page.size());
  for (size_t i = 0; i < page.size();) {
    const size_t start = i;
    const long cp = DecodeUtf8(page, i);
    if (cp < 0) {
      AppendUtf8(kReplacementCharacter, text);
    } else {
      text.append(page.substr(start, i - start));
    }
  }
  return text;
}

// x-user-defined: ASCII as it is, each byte past it the private-use character U+F780 + (b - 0x80).
std::string UserDefinedToUtf8(std::string_view page) {
  std::string text;
  for (const char c : page) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      text += c;
    } else {
      AppendUtf8(0xF780 + (b - 0x80), text);
    }
  }
  return text;
}

}  // namespace

TSniffedCharset SniffPageCharset(std::string_view page, std::string_view content_type) {
  if (const auto charset = CharsetOfByteOrderMark(page)) {
    return {*charset, TCharsetSource::ByteOrderMark};
  }
  if (auto label = CharsetInContent(content_type)) {
    if (const auto charset = PageCharsetOfLabel(*label)) {
      return {*charset, TCharsetSource::ContentType};
    }
  }
  if (const auto charset = PrescanCharset(page)) return {*charset, TCharsetSource::MetaElement};
  return {};
}

std::string PageTextToUtf8(std::string_view page, TPageCharset charset) {
  // A byte-order mark only says how the page is written; it is no character of it.
  if (CharsetOfByteOrderMark(page) == charset) {
    page.remove_prefix(charset == TPageCharset::Utf8 ? kUtf8Bom.size() : kUtf16BeBom.size());
  }
  switch (charset) {
    case TPageCharset::Utf8:
      return CheckedUtf8(page);
    case TPageCharset::Gbk:
      return GbkToUtf8(page);
    case TPageCharset::Big5:
      return GbkToUtf8(Big5ToGB2312(std::string(page)));
    case TPageCharset::Replacement: {
      std::string text;
      if (!page.empty()) AppendUtf8(kReplacementCharacter, text);
      return text;
    }
    case TPageCharset::XUserDefined:
      return UserDefinedToUtf8(page);
    case TPageCharset::Utf16Be:
    case TPageCharset::Utf16Le:
      return IconvToUtf8(page, NamesOf(charset).Iconv, 2);
    default:
      return IconvToUtf8(page, NamesOf(charset).Iconv, 1);
  }
}
