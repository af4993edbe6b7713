#include "http/NetGlobal.h"

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

int TextPos(std::string_view sub, std::string_view text) {
  const size_t m = sub.size();
  const size_t n = text.size();
  if (m == 0 || m > n) return 0;
  const size_t last = n - m;
  size_t i = 0;
  while (i <= last) {
    if (text[i] == sub[0] && text.compare(i, m, sub) == 0) return static_cast<int>(i) + 1;
    // A lead byte and its trail byte form one character: step over both.
    i += (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < n) ? 2 : 1;
  }
  return 0;
}

std::string FetchToken(std::string& input, std::string_view delimiter, bool remove,
                       bool case_sensitive) {
  const int p =
      case_sensitive ? TextPos(delimiter, input) : TextPos(UpperCase(delimiter), UpperCase(input));
  std::string result;
  if (p == 0) {
    result = input;
    if (remove) input.clear();
  } else {
    result = input.substr(0, static_cast<size_t>(p) - 1);
    if (remove) input.erase(0, static_cast<size_t>(p) - 1 + delimiter.size());
  }
  return result;
}

int LastPosUpTo(std::string_view sub, std::string_view text, int start) {
  const int m = static_cast<int>(sub.size());
  const int n = static_cast<int>(text.size());
  if (m == 0 || m > n) return 0;
  const int last = n - m + 1;
  if (start == -1 || start > last) start = last;
  for (int p = start; p >= 1; --p) {
    if (SameText(text.substr(static_cast<size_t>(p) - 1, static_cast<size_t>(m)), sub)) return p;
  }
  return 0;
}

std::string MergePath(std::string_view base_path, std::string_view path,
                      std::string_view delimiter) {
  const size_t d = delimiter.size();
  if (d == 0) return std::string(base_path) + std::string(path);
  auto starts_with = [&](std::string_view s) { return s.substr(0, d) == delimiter; };
  auto ends_with = [&](std::string_view s) {
    return s.size() >= d && s.substr(s.size() - d) == delimiter;
  };
  if (starts_with(path)) return std::string(path);
  const bool keep_trail = path.empty() || ends_with(path);

  std::string w(base_path);
  if (!w.empty() && !ends_with(w)) w += delimiter;
  w += path;

  std::string r;
  r.reserve(w.size());
  size_t i = 0;
  while (i < w.size()) {
    if (w.compare(i, d, delimiter) == 0) {
      // Runs of delimiters collapse to one.
      if (i == 0 || !ends_with(r)) r += delimiter;
      i += d;
    } else if (w[i] == '.' && ends_with(r) && w.compare(i, 2, "..") == 0) {
      // ".." drops the delimiter before it and the segment before that.
      r.resize(r.size() - d);
      while (!r.empty() && !ends_with(r)) r.pop_back();
      i += 2;
    } else {
      r += w[i];
      ++i;
    }
  }
  if (r != delimiter && ends_with(r) && !keep_trail) r.resize(r.size() - d);
  return r;
}

int StrToInt(std::string_view text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

void TNetPersistent::CopyTo(TNetPersistent& dest) const {
  throw EConvertError(Format("Cannot assign a %s to a %s", ClassName(), dest.ClassName()));
}
