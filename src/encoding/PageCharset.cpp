#include "encoding/PageCharset.h"

#include <algorithm>
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
  constexpr TPageCharset kUtf8 = TPageCharset::Utf8, kGbk = TPageCharset::Gbk,
                         kBig5 = TPageCharset::Big5;
  static const std::pair<std::string_view, TPageCharset> kLabels[] = {
      {"utf-8", kUtf8},
      {"utf8", kUtf8},
      {"unicode-1-1-utf-8", kUtf8},
      {"unicode11utf8", kUtf8},
      {"unicode20utf8", kUtf8},
      {"x-unicode20utf8", kUtf8},
      {"gbk", kGbk},
      {"gb2312", kGbk},
      {"gb18030", kGbk},
      {"gb_2312", kGbk},
      {"gb_2312-80", kGbk},
      {"chinese", kGbk},
      {"csgb2312", kGbk},
      {"csiso58gb231280", kGbk},
      {"iso-ir-58", kGbk},
      {"x-gbk", kGbk},
      {"big5", kBig5},
      {"big5-hkscs", kBig5},
      {"cn-big5", kBig5},
      {"csbig5", kBig5},
      {"x-x-big5", kBig5},
  };
  while (!label.empty() && IsHtmlSpace(label.front())) label.remove_prefix(1);
  while (!label.empty() && IsHtmlSpace(label.back())) label.remove_suffix(1);
  const std::string lower = LowerCase(label);
  for (const auto& [name, charset] : kLabels) {
    if (lower == name) return charset;
  }
  return std::nullopt;
}

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
  // A page cannot be read as UTF-16 while its markup is ASCII: it is UTF-8 then.
  if (*charset == "utf-16" || *charset == "utf-16le" || *charset == "utf-16be") {
    return TPageCharset::Utf8;
  }
  return PageCharsetOfLabel(*charset);
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

}  // namespace

TSniffedCharset SniffPageCharset(std::string_view page, std::string_view content_type) {
  if (page.substr(0, 3) == kUtf8Bom) return {TPageCharset::Utf8, TCharsetSource::ByteOrderMark};
  if (auto label = CharsetInContent(content_type)) {
    if (const auto charset = PageCharsetOfLabel(*label)) {
      return {*charset, TCharsetSource::ContentType};
    }
  }
  if (const auto charset = PrescanCharset(page)) return {*charset, TCharsetSource::MetaElement};
  return {};
}

std::string PageTextToUtf8(std::string_view page, TPageCharset charset) {
  if (charset == TPageCharset::Gbk) return GbkToUtf8(page);
  if (charset == TPageCharset::Big5) return GbkToUtf8(Big5ToGB2312(std::string(page)));
  if (page.substr(0, 3) == kUtf8Bom) page.remove_prefix(3);
  std::string text;
  text.reserve(page.size());
  for (size_t i = 0; i < page.size();) {
    const size_t start = i;
    const long cp = DecodeUtf8(page, i);
    if (cp < 0) {
      AppendUtf8(0xFFFD, text);
    } else {
      text.append(page.substr(start, i - start));
    }
  }
  return text;
}
