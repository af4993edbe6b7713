#include "runtime/StrUtils.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

char UpChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char LowChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = UpChar(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = LowChar(c);
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(LowChar(a[i]));
    unsigned char y = static_cast<unsigned char>(LowChar(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

bool EndsText(std::string_view suffix, std::string_view s) {
  return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

bool TryStrToInt64(std::string_view s, int64_t& value) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t acc = 0;
  const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    uint64_t base = hex ? 16 : 10;
    if (acc > (limit - d) / base) return false;
    acc = acc * base + d;
  }
  value = neg ? static_cast<int64_t>(0 - acc) : static_cast<int64_t>(acc);
  return true;
}

bool TryStrToInt(std::string_view s, int32_t& value) {
  int64_t v;
  if (!TryStrToInt64(s, v)) return false;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}

int64_t StrToInt64Def(std::string_view s, int64_t def) {
  int64_t v;
  return TryStrToInt64(s, v) ? v : def;
}

std::string IntToStr(int64_t v) { return std::to_string(v); }

std::string IntToHex(uint64_t v, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  do {
    r.insert(r.begin(), kHex[v & 15]);
    v >>= 4;
  } while (v != 0);
  while (static_cast<int>(r.size()) < digits) r.insert(r.begin(), '0');
  return r;
}

size_t Pos(std::string_view sub, std::string_view s, size_t from) {
  if (sub.empty() || s.empty() || from < 1 || from > s.size()) return 0;
  size_t p = s.find(sub, from - 1);
  return p == std::string_view::npos ? 0 : p + 1;
}

std::string Copy(std::string_view s, int64_t index, int64_t count) {
  if (index < 1) index = 1;
  if (count <= 0 || index > static_cast<int64_t>(s.size())) return std::string();
  size_t start = static_cast<size_t>(index - 1);
  size_t n = static_cast<size_t>(count);
  return std::string(s.substr(start, n));
}

int ParsePortNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return 0;
  int port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? port : 0;
}
