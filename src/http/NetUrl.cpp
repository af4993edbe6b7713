#include "http/NetUrl.h"

#include <idn2.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;
constexpr int kMaxPort = 65535;

// Percent-encode sets as bit tables over ASCII; every byte above 0x7E and every C0 control is in
// all of them.
using TEncodeSet = std::array<bool, 128>;

constexpr TEncodeSet MakeSet(std::string_view extra) {
  TEncodeSet set{};
  for (int c = 0; c < 0x20; ++c) set[c] = true;
  set[0x7F] = true;
  for (char c : extra) set[static_cast<unsigned char>(c)] = true;
  return set;
}

constexpr TEncodeSet kFragmentSet = MakeSet(" \"<>`");
constexpr TEncodeSet kSpecialQuerySet = MakeSet(" \"#<>'");
constexpr TEncodeSet kPathSet = MakeSet(" \"#<>?`{}^");
constexpr TEncodeSet kUserinfoSet = MakeSet(" \"#<>?`{}/:;=@[\\]^|");

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEncoded(std::string& out, char c, const TEncodeSet& set) {
  const auto b = static_cast<unsigned char>(c);
  if (b < 0x80 && !set[b]) {
    out += c;
    return;
  }
  out += '%';
  out += kHex[b >> 4];
  out += kHex[b & 15];
}

void AppendEncoded(std::string& out, std::string_view text, const TEncodeSet& set) {
  for (char c : text) AppendEncoded(out, c, set);
}

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsSlash(char c) { return c == '/' || c == '\\'; }

int DefaultPort(std::string_view scheme) { return scheme == "https" ? kHttpsPort : kHttpPort; }

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// "." and ".." as path segments, also written with "%2e".
bool IsSingleDot(std::string_view s) { return s == "." || EqualsIgnoringCase(s, "%2e"); }
bool IsDoubleDot(std::string_view s) {
  return s == ".." || EqualsIgnoringCase(s, ".%2e") || EqualsIgnoringCase(s, "%2e.") ||
         EqualsIgnoringCase(s, "%2e%2e");
}

// --- IPv4 ---------------------------------------------------------------------------------------

// Larger than any part an IPv4 address can hold; numbers saturate here instead of overflowing.
constexpr uint64_t kIpv4Saturated = uint64_t{1} << 40;

// One dot-separated part as a number: decimal, "0x" hex or "0" octal; an empty hex part is 0.
std::optional<uint64_t> ParseIpv4Number(std::string_view part) {
  if (part.empty()) return std::nullopt;
  int radix = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    part.remove_prefix(2);
    radix = 16;
  } else if (part.size() >= 2 && part[0] == '0') {
    part.remove_prefix(1);
    radix = 8;
  }
  uint64_t value = 0;
  for (char c : part) {
    const int digit = HexValue(c);
    if (digit < 0 || digit >= radix) return std::nullopt;
    value = std::min(value * radix + digit, kIpv4Saturated);
  }
  return value;
}

// The domain's last label (a trailing empty one left out) is a number: such a host must be an
// IPv4 address.
bool EndsInANumber(std::string_view host) {
  if (!host.empty() && host.back() == '.') {
    if (host.size() == 1) return false;
    host.remove_suffix(1);
  }
  const size_t dot = host.rfind('.');
  const std::string_view last = dot == std::string_view::npos ? host : host.substr(dot + 1);
  if (last.empty()) return false;
  bool digits = true;
  for (char c : last) digits = digits && IsAsciiDigit(c);
  return digits || ParseIpv4Number(last).has_value();
}

std::optional<std::string> ParseIpv4(std::string_view host, std::string& error) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  std::array<uint64_t, 4> numbers{};
  size_t count = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = host.find('.', start);
    const std::string_view part =
        host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    const std::optional<uint64_t> number = ParseIpv4Number(part);
    if (count == numbers.size() || !number) {
      error = "IPv4 地址无效：" + std::string(host);
      return std::nullopt;
    }
    numbers[count++] = *number;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  uint64_t address = numbers[count - 1];
  if (address >= (uint64_t{1} << (8 * (5 - count)))) {
    error = "IPv4 地址超出范围：" + std::string(host);
    return std::nullopt;
  }
  for (size_t i = 0; i + 1 < count; ++i) {
    if (numbers[i] > 255) {
      error = "IPv4 地址的一段超过 255：" + std::string(host);
      return std::nullopt;
    }
    address += numbers[i] << (8 * (3 - i));
  }
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

// --- IPv6 ---------------------------------------------------------------------------------------

// The address inside the brackets, serialised with its longest run of zero pieces compressed.
std::optional<std::string> ParseIpv6(std::string_view in) {
  std::array<uint16_t, 8> pieces{};
  int piece = 0;
  int compress = -1;
  size_t p = 0;
  auto at = [&](size_t i) { return i < in.size() ? in[i] : '\0'; };
  auto end = [&] { return p >= in.size(); };
  if (at(p) == ':') {
    if (at(p + 1) != ':') return std::nullopt;
    p += 2;
    compress = ++piece;
  }
  while (!end()) {
    if (piece == 8) return std::nullopt;
    if (in[p] == ':') {
      if (compress >= 0) return std::nullopt;
      ++p;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    int length = 0;
    while (length < 4 && !end() && HexValue(in[p]) >= 0) {
      value = value * 16 + HexValue(in[p]);
      ++p;
      ++length;
    }
    if (at(p) == '.') {  // an embedded IPv4 address fills the last two pieces
      if (length == 0) return std::nullopt;
      p -= length;
      if (piece > 6) return std::nullopt;
      int numbers_seen = 0;
      while (!end()) {
        int ipv4_piece = -1;
        if (numbers_seen > 0) {
          if (in[p] != '.' || numbers_seen >= 4) return std::nullopt;
          ++p;
        }
        if (!IsAsciiDigit(at(p))) return std::nullopt;
        while (IsAsciiDigit(at(p))) {
          const int digit = in[p] - '0';
          if (ipv4_piece < 0) {
            ipv4_piece = digit;
          } else if (ipv4_piece == 0) {
            return std::nullopt;
          } else {
            ipv4_piece = ipv4_piece * 10 + digit;
          }
          if (ipv4_piece > 255) return std::nullopt;
          ++p;
        }
        pieces[piece] = static_cast<uint16_t>(pieces[piece] * 0x100 + ipv4_piece);
        ++numbers_seen;
        if (numbers_seen == 2 || numbers_seen == 4) ++piece;
      }
      if (numbers_seen != 4) return std::nullopt;
      break;
    }
    if (at(p) == ':') {
      ++p;
      if (end()) return std::nullopt;
    } else if (!end()) {
      return std::nullopt;
    }
    pieces[piece++] = static_cast<uint16_t>(value);
  }
  if (compress >= 0) {
    int swaps = piece - compress;
    piece = 7;
    while (piece != 0 && swaps > 0) {
      std::swap(pieces[piece], pieces[compress + swaps - 1]);
      --piece;
      --swaps;
    }
  } else if (piece != 8) {
    return std::nullopt;
  }

  // The first longest run of two or more zero pieces is written "::".
  int best = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && pieces[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out = "[";
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += i == 0 ? "::" : ":";
      i += best_len - 1;
      continue;
    }
    char hex[5];
    int n = 0;
    unsigned v = pieces[i];
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned nibble = (v >> shift) & 15;
      if (n > 0 || nibble != 0 || shift == 0) hex[n++] = "0123456789abcdef"[nibble];
    }
    out.append(hex, n);
    if (i < 7) out += ':';
  }
  out += ']';
  return out;
}

// --- domains ------------------------------------------------------------------------------------

// Code points no host may hold (after percent-decoding and mapping).
bool IsForbiddenDomainByte(unsigned char c) {
  if (c <= 0x20 || c == 0x7F) return true;
  switch (c) {
    case '#':
    case '%':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '@':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '|':
      return true;
    default:
      return false;
  }
}

bool HasAceLabel(std::string_view domain) {
  size_t start = 0;
  while (start <= domain.size()) {
    const size_t dot = domain.find('.', start);
    const std::string_view label = domain.substr(start, dot - start);
    if (label.size() >= 4 && EqualsIgnoringCase(label.substr(0, 4), "xn--")) return true;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return false;
}

std::optional<std::string> DomainToAscii(const std::string& domain, std::string& error) {
  bool ascii = true;
  for (char c : domain) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  std::string out;
  if (ascii && !HasAceLabel(domain)) {
    out.reserve(domain.size());
    for (char c : domain) out += AsciiLower(c);
  } else {
    char* converted = nullptr;
    const int rc =
        idn2_to_ascii_8z(domain.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK) {
      error = std::string("国际化域名无法转换为 ASCII 形式（") + idn2_strerror(rc) + "）";
      return std::nullopt;
    }
    out = converted;
    idn2_free(converted);
  }
  if (out.empty()) {
    error = "主机名为空";
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> ParseHost(std::string_view input, std::string& error) {
  if (!input.empty() && input.front() == '[') {
    std::optional<std::string> v6;
    if (input.size() >= 2 && input.back() == ']') v6 = ParseIpv6(input.substr(1, input.size() - 2));
    if (!v6) error = "IPv6 地址无效：" + std::string(input);
    return v6;
  }
  const std::string domain = PercentDecode(input);
  std::optional<std::string> ascii = DomainToAscii(domain, error);
  if (!ascii) return std::nullopt;
  for (char c : *ascii) {
    if (IsForbiddenDomainByte(static_cast<unsigned char>(c))) {
      const std::string shown = c > 0x20 && c != 0x7F ? std::string(1, c) : "控制字符或空格";
      error = "主机名含有不允许的字符 “" + shown + "”";
      return std::nullopt;
    }
  }
  if (EndsInANumber(*ascii)) return ParseIpv4(*ascii, error);
  return ascii;
}

}  // namespace

// The basic URL parser's states for special schemes, run over the cleaned input.
class TNetUrlParser {
 public:
  TNetUrlParser(std::string_view input, const TNetUrl* base) : base_(base) {
    // Leading and trailing C0 controls and spaces go; tabs and line breaks go everywhere.
    size_t first = 0, last = input.size();
    while (first < last && static_cast<unsigned char>(input[first]) <= 0x20) ++first;
    while (last > first && static_cast<unsigned char>(input[last - 1]) <= 0x20) --last;
    in_.reserve(last - first);
    for (size_t i = first; i < last; ++i) {
      if (input[i] != '\t' && input[i] != '\n' && input[i] != '\r') in_ += input[i];
    }
  }

  TNetUrlResult Run() {
    if (!ReadScheme()) {
      if (base_ == nullptr) return Fail("不是绝对地址，也没有可参照的基准地址");
      url_.scheme_ = base_->scheme_;
      if (!Relative()) return Fail(error_);
    } else if (url_.scheme_ != "http" && url_.scheme_ != "https") {
      return Fail("不支持的协议 “" + url_.scheme_ + "”（只支持 http 和 https）");
    } else if (base_ != nullptr && base_->scheme_ == url_.scheme_) {
      // "http:x" against an http base is relative; "http://x" is not (Relative sees the "//").
      if (!Relative()) return Fail(error_);
    } else {
      while (p_ < in_.size() && IsSlash(in_[p_])) ++p_;
      if (!Authority()) return Fail(error_);
    }
    TNetUrlResult result;
    result.Url = std::move(url_);
    return result;
  }

 private:
  char At(size_t i) const { return i < in_.size() ? in_[i] : '\0'; }
  bool End() const { return p_ >= in_.size(); }

  TNetUrlResult Fail(std::string why) {
    TNetUrlResult result;
    result.Error = std::move(why);
    return result;
  }

  // A scheme and its ":" at the start, lower-cased into url_.scheme_; p_ after the ":".
  bool ReadScheme() {
    if (in_.empty() || !IsAsciiAlpha(in_[0])) return false;
    size_t i = 1;
    while (i < in_.size() && (IsAsciiAlpha(in_[i]) || IsAsciiDigit(in_[i]) || in_[i] == '+' ||
                              in_[i] == '-' || in_[i] == '.')) {
      ++i;
    }
    if (i >= in_.size() || in_[i] != ':') return false;
    url_.scheme_.reserve(i);
    for (size_t j = 0; j < i; ++j) url_.scheme_ += AsciiLower(in_[j]);
    p_ = i + 1;
    return true;
  }

  // A reference read against the base (of the same scheme), from p_.
  bool Relative() {
    const TNetUrl& base = *base_;
    if (IsSlash(At(p_))) {
      if (IsSlash(At(p_ + 1))) {  // "//host...": only the scheme is the base's
        while (p_ < in_.size() && IsSlash(in_[p_])) ++p_;
        return Authority();
      }
      CopyAuthority(base);
      ++p_;
      return Path();
    }
    CopyAuthority(base);
    url_.path_ = base.path_;
    if (End()) {
      url_.query_ = base.query_;
      return true;
    }
    if (in_[p_] == '?') {
      ++p_;
      Query();
      return true;
    }
    if (in_[p_] == '#') {
      url_.query_ = base.query_;
      ++p_;
      Fragment();
      return true;
    }
    ShortenPath();
    return Path();
  }

  void CopyAuthority(const TNetUrl& base) {
    url_.username_ = base.username_;
    url_.password_ = base.password_;
    url_.host_ = base.host_;
    url_.port_ = base.port_;
  }

  // userinfo@host:port up to the first "/", "\", "?" or "#", then the path.
  bool Authority() {
    size_t end = p_;
    while (end < in_.size() && !IsSlash(in_[end]) && in_[end] != '?' && in_[end] != '#') ++end;
    const std::string_view authority = std::string_view(in_).substr(p_, end - p_);
    const size_t at = authority.rfind('@');
    std::string_view host_port = authority;
    if (at != std::string_view::npos) {
      const std::string_view userinfo = authority.substr(0, at);
      const size_t colon = userinfo.find(':');
      AppendEncoded(url_.username_, userinfo.substr(0, colon), kUserinfoSet);
      if (colon != std::string_view::npos) {
        AppendEncoded(url_.password_, userinfo.substr(colon + 1), kUserinfoSet);
      }
      host_port = authority.substr(at + 1);
    }
    // The port's ":" is the first one outside brackets.
    size_t colon = std::string_view::npos;
    bool in_brackets = false;
    for (size_t i = 0; i < host_port.size(); ++i) {
      if (host_port[i] == '[') in_brackets = true;
      if (host_port[i] == ']') in_brackets = false;
      if (host_port[i] == ':' && !in_brackets) {
        colon = i;
        break;
      }
    }
    const std::string_view host_text = host_port.substr(0, colon);
    if (host_text.empty()) {
      error_ = "缺少主机名";
      return false;
    }
    std::optional<std::string> host = ParseHost(host_text, error_);
    if (!host) return false;
    url_.host_ = std::move(*host);
    url_.port_ = -1;
    if (colon != std::string_view::npos) {
      const std::string_view port = host_port.substr(colon + 1);
      int value = 0;
      for (char c : port) {
        if (!IsAsciiDigit(c)) {
          error_ = "端口不是数字：" + std::string(port);
          return false;
        }
        value = value * 10 + (c - '0');
        if (value > kMaxPort) {
          error_ = "端口超出 0–65535：" + std::string(port);
          return false;
        }
      }
      if (!port.empty() && value != DefaultPort(url_.scheme_)) url_.port_ = value;
    }
    p_ = end;
    // The path starts here; its first "/" (or "\") is the root.
    if (IsSlash(At(p_))) ++p_;
    url_.path_.clear();
    return Path();
  }

  // Drops the last segment of the path ("/a/b" -> "/a"; "/" -> "").
  void ShortenPath() {
    const size_t slash = url_.path_.rfind('/');
    url_.path_.erase(slash == std::string::npos ? 0 : slash);
  }

  // Segments from p_ up to "?", "#" or the end, each appended as "/segment".
  bool Path() {
    std::string segment;
    while (true) {
      const char c = At(p_);
      const bool end = End();
      if (end || IsSlash(c) || c == '?' || c == '#') {
        const bool more = !end && IsSlash(c);
        if (IsDoubleDot(segment)) {
          ShortenPath();
          if (!more) url_.path_ += '/';
        } else if (IsSingleDot(segment)) {
          if (!more) url_.path_ += '/';
        } else {
          url_.path_ += '/';
          url_.path_ += segment;
        }
        segment.clear();
        if (end) break;
        ++p_;
        if (c == '?') {
          Query();
          return true;
        }
        if (c == '#') {
          Fragment();
          return true;
        }
        continue;
      }
      AppendEncoded(segment, c, kPathSet);
      ++p_;
    }
    return true;
  }

  void Query() {
    const size_t hash = in_.find('#', p_);
    std::string query;
    AppendEncoded(query, std::string_view(in_).substr(p_, hash - p_), kSpecialQuerySet);
    url_.query_ = std::move(query);
    if (hash == std::string::npos) {
      p_ = in_.size();
      return;
    }
    p_ = hash + 1;
    Fragment();
  }

  void Fragment() {
    std::string fragment;
    AppendEncoded(fragment, std::string_view(in_).substr(p_), kFragmentSet);
    url_.fragment_ = std::move(fragment);
    p_ = in_.size();
  }

  const TNetUrl* base_;
  std::string in_;
  size_t p_ = 0;
  TNetUrl url_;
  std::string error_;
};

TNetUrlResult TNetUrl::Parse(std::string_view input, const TNetUrl* base) {
  return TNetUrlParser(input, base).Run();
}

TNetUrlResult TNetUrl::Parse(std::string_view input, std::string_view base) {
  TNetUrlResult based = Parse(base);
  if (!based) {
    based.Error = "基准地址无效：" + based.Error;
    return based;
  }
  return Parse(input, &*based.Url);
}

std::string TNetUrl::Host() const {
  return port_ < 0 ? host_ : host_ + ":" + std::to_string(port_);
}

std::string TNetUrl::Port() const { return port_ < 0 ? "" : std::to_string(port_); }

std::string TNetUrl::Search() const { return query_ && !query_->empty() ? "?" + *query_ : ""; }

std::string TNetUrl::Hash() const {
  return fragment_ && !fragment_->empty() ? "#" + *fragment_ : "";
}

int TNetUrl::PortNumber() const { return port_ < 0 ? DefaultPort(scheme_) : port_; }

std::string TNetUrl::PathAndQuery() const { return query_ ? path_ + "?" + *query_ : path_; }

std::string TNetUrl::Serialise(bool with_fragment, bool with_default_port) const {
  std::string out;
  out.reserve(scheme_.size() + username_.size() + password_.size() + host_.size() + path_.size() +
              (query_ ? query_->size() : 0) + (fragment_ ? fragment_->size() : 0) + 16);
  out += scheme_;
  out += "://";
  if (!username_.empty() || !password_.empty()) {
    out += username_;
    if (!password_.empty()) {
      out += ':';
      out += password_;
    }
    out += '@';
  }
  out += host_;
  if (port_ >= 0 || with_default_port) {
    out += ':';
    out += std::to_string(PortNumber());
  }
  out += path_;
  if (query_) {
    out += '?';
    out += *query_;
  }
  if (fragment_ && with_fragment) {
    out += '#';
    out += *fragment_;
  }
  return out;
}
