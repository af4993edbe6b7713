#include "query/SiteName.h"

#include <arpa/inet.h>
#include <idn2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Why an ASCII host name is not one ("" when it is): dot-separated labels of letters, digits
// and inner hyphens, at most 63 bytes each and 253 in all.
std::string HostProblem(const std::string& host) {
  if (host.size() > 253) return Utf8Bytes(u8"站点名长于 253 个字符");
  size_t start = 0;
  for (;;) {
    const size_t dot = std::min(host.find('.', start), host.size());
    const std::string label = host.substr(start, dot - start);
    if (label.empty() || label.size() > 63)
      return Utf8Bytes(u8"站点名中有空的或长于 63 个字符的一段");
    for (char c : label) {
      if (IsAsciiAlnum(c) || c == '-') continue;
      char shown[8];
      if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
        std::snprintf(shown, sizeof shown, "\\x%02X", static_cast<unsigned char>(c));
      } else {
        std::snprintf(shown, sizeof shown, "%c", c);
      }
      return Utf8Bytes(u8"站点名含有不允许的字符“") + shown + Utf8Bytes(u8"”");
    }
    if (label.front() == '-' || label.back() == '-')
      return Utf8Bytes(u8"站点名的一段不能以“-”开头或结尾");
    if (dot == host.size()) return "";
    start = dot + 1;
  }
}

// The scripts a label's letters belong to, as far as telling look-alike names apart goes.
enum TScript : unsigned { kLatin = 1, kGreek = 2, kCyrillic = 4, kOtherScript = 8 };

unsigned ScriptOf(long cp) {
  if ((cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z')) return kLatin;
  if (cp < 0x80) return 0;  // digits, "-"
  if ((cp >= 0x00C0 && cp <= 0x024F && cp != 0x00D7 && cp != 0x00F7) ||
      (cp >= 0x1E00 && cp <= 0x1EFF)) {
    return kLatin;
  }
  if ((cp >= 0x0370 && cp <= 0x03FF) || (cp >= 0x1F00 && cp <= 0x1FFF)) return kGreek;
  if (cp >= 0x0400 && cp <= 0x052F) return kCyrillic;
  if (cp >= 0x0300 && cp <= 0x036F) return 0;  // combining marks go with any script
  return kOtherScript;
}

// Whether a label of `host` (UTF-8) mixes Latin, Greek and Cyrillic letters, or Greek or
// Cyrillic with another script: names that can pass for another ("аpple" with a Cyrillic "а").
// Latin beside Han, kana or Hangul is the ordinary mix of East Asian names.
bool MixesScripts(std::string_view host) {
  unsigned scripts = 0;
  for (size_t i = 0; i <= host.size();) {
    if (i == host.size() || host[i] == '.') {
      const unsigned alphabets = scripts & (kLatin | kGreek | kCyrillic);
      if ((alphabets & (alphabets - 1)) != 0) return true;  // two of the three
      if ((scripts & (kGreek | kCyrillic)) && (scripts & kOtherScript)) return true;
      scripts = 0;
      ++i;
      continue;
    }
    const long cp = DecodeUtf8(host, i);
    if (cp >= 0) scripts |= ScriptOf(cp);
  }
  return false;
}

// The Unicode reading of an ASCII host name (its "xn--" labels decoded); nothing when it has
// none or it does not decode.
std::optional<std::string> UnicodeHost(const std::string& ascii) {
  if (ascii.find("xn--") == std::string::npos && ascii.find("XN--") == std::string::npos) {
    return std::nullopt;
  }
  char* converted = nullptr;
  if (idn2_to_unicode_8z8z(ascii.c_str(), &converted, 0) != IDN2_OK) return std::nullopt;
  std::string unicode = converted;
  idn2_free(converted);
  return unicode;
}

// " (": where the ASCII form beside a shown name starts.
constexpr std::string_view kAsciiBeside = " (";

}  // namespace

TSiteName ParseSiteName(const std::string& typed) {
  TSiteName name;
  std::string text = typed;
  static const std::string kBom = "\xEF\xBB\xBF";
  if (text.compare(0, kBom.size(), kBom) == 0) text.erase(0, kBom.size());
  text = Trim(text);
  // A name as it was shown, its ASCII form beside it.
  if (const size_t beside = text.rfind(kAsciiBeside);
      beside != std::string::npos && text.back() == ')') {
    text.erase(beside);
  }
  // Any scheme, as often as it is repeated ("http://http://a.b"), then any path.
  for (;;) {
    size_t i = 0;
    while (i < text.size() &&
           (IsAsciiAlnum(text[i]) || (i > 0 && text[i] != 0 && std::strchr("+-.", text[i]))))
      ++i;
    if (i == 0 || text.compare(i, 3, "://") != 0) break;
    text.erase(0, i + 3);
  }
  text = text.substr(0, text.find('/'));

  // Host and port: "[v6]", "[v6]:port", "host", "host:port".
  std::string host, port;
  bool v6 = false, has_port = false;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    in6_addr address;
    const std::string inside = close == std::string::npos ? "" : text.substr(1, close - 1);
    if (inside.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
        inet_pton(AF_INET6, inside.c_str(), &address) != 1) {
      name.Problem = Utf8Bytes(u8"方括号中不是 IPv6 地址");
      return name;
    }
    v6 = true;
    host = text.substr(0, close + 1);
    has_port = close + 1 < text.size();
    if (has_port) {
      if (text[close + 1] != ':') {
        name.Problem = Utf8Bytes(u8"IPv6 地址的方括号后只能有“:端口”");
        return name;
      }
      port = text.substr(close + 2);
    }
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
      name.Problem = Utf8Bytes(u8"IPv6 地址须写在方括号中，如 [::1]:8080");
      return name;
    }
    host = text.substr(0, colon);
    has_port = colon != std::string::npos;
    if (has_port) port = text.substr(colon + 1);
    if (!host.empty() && host.back() == '.') host.pop_back();
  }
  if (has_port && ParsePortNumber(port) == 0) {
    name.Problem = Utf8Bytes(u8"端口须是 1 到 65535 之间的数字");
    return name;
  }
  if (host.empty()) {
    name.Problem = Utf8Bytes(u8"没有站点名");
    return name;
  }
  // A control byte would cut the name short in the IDNA conversion (it takes a C string): it is
  // refused as the ASCII check refuses it.
  if (const auto control = std::find_if(host.begin(), host.end(),
                                        [](char c) {
                                          const auto b = static_cast<unsigned char>(c);
                                          return b < 0x20 || b == 0x7F;
                                        });
      control != host.end()) {
    name.Problem = HostProblem(std::string(1, *control));
    return name;
  }
  std::string ascii = host;
  if (!v6 && std::any_of(host.begin(), host.end(), [](char c) { return c & 0x80; })) {
    char* converted = nullptr;
    const int rc =
        idn2_to_ascii_8z(host.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK) {
      name.Problem = Utf8Bytes(u8"国际化域名无法转换为 ASCII 形式：") + idn2_strerror(rc);
      return name;
    }
    ascii = converted;
    idn2_free(converted);
  }
  if (!v6) {
    name.Problem = HostProblem(ascii);
    if (!name.Problem.empty()) return name;
  }
  const std::string suffix = port.empty() ? "" : ":" + port;
  if (ascii.size() + suffix.size() < kMinSiteNameBytes) {
    name.Problem = Utf8Bytes(u8"站点名太短");
    return name;
  }
  name.Shown = host + suffix;
  name.Request = ascii + suffix;
  if (!v6 && MixesScripts(host)) name.Shown += std::string(kAsciiBeside) + name.Request + ")";
  const std::string gbk = Utf8ToGbk(name.Shown);
  name.Site = GbkToUtf8(gbk) == name.Shown ? gbk : name.Request;
  return name;
}

std::string NormaliseSiteName(const std::string& typed) {
  return ParseSiteName(GbkToUtf8(typed)).Site;
}

std::vector<std::string> SiteSpellings(const std::string& typed) {
  const TSiteName name = ParseSiteName(typed);
  if (!name.Problem.empty()) return {typed};
  std::vector<std::string> spellings = {name.Shown, name.Request};
  if (name.Request.front() != '[') {
    const size_t colon = name.Request.find(':');
    const std::string suffix = colon == std::string::npos ? "" : name.Request.substr(colon);
    if (auto unicode = UnicodeHost(name.Request.substr(0, colon))) {
      spellings.push_back(*unicode + suffix);
      spellings.push_back(ParseSiteName(spellings.back()).Shown);  // as it was shown, if so
    }
  }
  std::sort(spellings.begin(), spellings.end());
  spellings.erase(std::unique(spellings.begin(), spellings.end()), spellings.end());
  return spellings;
}

std::string SiteKey(const std::string& site) {
  const TSiteName name = ParseSiteName(GbkToUtf8(site));
  return LowerCase(name.Problem.empty() ? name.Request : site);
}
