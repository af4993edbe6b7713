#include "http/NetHeaderList.h"

#include "http/NetGlobal.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

constexpr std::string_view kFoldBreak = "\r\n ";
constexpr std::string_view kFoldBreakChars = "\t ,";

}  // namespace

bool TNetHeaderList::IsContinuationLine(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

size_t TNetHeaderList::SeparatorOffset(std::string_view line) const {
  std::string_view sep = separator_;
  while (!sep.empty() && static_cast<unsigned char>(sep.back()) <= 0x20) sep.remove_suffix(1);
  // Names compare without case; only a separator with letters needs upper-cased copies
  // (ASCII-only, so positions in them are the line's own).
  bool has_letters = false;
  for (char ch : sep) has_letters = has_letters || UpChar(ch) != LowChar(ch);
  const int p = (case_sensitive_names_ || !has_letters) ? TextPos(sep, line)
                                                        : TextPos(UpperCase(sep), UpperCase(line));
  return p == 0 ? std::string_view::npos : static_cast<size_t>(p) - 1;
}

std::string TNetHeaderList::NameAt(int index) const {
  if (index < 0 || index >= Count()) return "";
  const std::string& line = (*this)[index];
  const size_t p = SeparatorOffset(line);
  if (p == std::string_view::npos) return "";
  std::string name = line.substr(0, p);
  return case_sensitive_names_ ? name : UpperCase(name);
}

std::string TNetHeaderList::ValueAt(int index) const {
  if (index < 0 || index >= Count()) return "";
  const std::string& line = (*this)[index];
  const size_t p = SeparatorOffset(line);
  // Everything after the name and the separator; a line without one loses only its first byte,
  // as if its empty name were followed by a one-byte separator.
  const size_t start = p == std::string_view::npos ? 1 : p + TrimRight(separator_).size();
  std::string value = start < line.size() ? line.substr(start) : std::string();
  if (unfold_continuations_) {
    for (int i = index + 1; i < Count() && IsContinuationLine((*this)[i]); ++i) {
      value = Trim(value) + " " + Trim((*this)[i]);
    }
  }
  return Trim(value);
}

int TNetHeaderList::IndexOfHeader(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = (*this)[i];
    const size_t p = SeparatorOffset(line);
    const std::string_view line_name =
        p == std::string_view::npos ? std::string_view() : std::string_view(line).substr(0, p);
    if (AnsiSameText(line_name, name)) return i;
  }
  return -1;
}

std::string TNetHeaderList::HeaderValue(std::string_view name) const {
  return ValueAt(IndexOfHeader(name));
}

void TNetHeaderList::SetHeader(const std::string& name, const std::string& value) {
  int i = IndexOfHeader(name);
  if (!value.empty()) {
    if (i < 0) i = Add("");
    if (fold_on_set_) {
      RemoveContinuations(i);
      std::vector<std::string> pieces = FoldText(name + separator_ + value);
      // The last piece replaces line i; the others go in before it, in order.
      SetString(i, std::move(pieces.back()));
      for (size_t k = 0; k + 1 < pieces.size(); ++k) {
        Insert(i + static_cast<int>(k), std::move(pieces[k]));
      }
    } else {
      SetString(i, name + separator_ + value);
    }
  } else if (i >= 0) {
    if (fold_on_set_) RemoveContinuations(i);
    Delete(i);
  }
}

void TNetHeaderList::CollectValues(std::string_view name, TStringList* dest) const {
  if (dest == nullptr) return;
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = (*this)[i];
    const size_t p = SeparatorOffset(line);
    if (p == std::string_view::npos) {
      if (name.empty()) dest->Add(ValueAt(i));
      continue;
    }
    if (AnsiSameText(std::string_view(line).substr(0, p), name)) dest->Add(ValueAt(i));
  }
}

std::vector<std::string> TNetHeaderList::FoldText(const std::string& line) const {
  const std::string wrapped = WrapHeaderText(line, kFoldBreak, kFoldBreakChars, fold_width_);
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t cut = wrapped.find("\r\n", start);
    if (cut == std::string::npos) {
      pieces.push_back(TrimRight(std::string_view(wrapped).substr(start)));
      break;
    }
    pieces.push_back(TrimRight(std::string_view(wrapped).substr(start, cut - start)));
    start = cut + 2;
  }
  // A line break inside the value itself must not start a header of its own: every piece
  // after the first is a continuation line.
  for (size_t k = 1; k < pieces.size(); ++k) {
    if (!IsContinuationLine(pieces[k])) pieces[k].insert(0, 1, ' ');
  }
  return pieces;
}

void TNetHeaderList::RemoveContinuations(int index) {
  if (index < 0) return;
  while (index + 1 < Count() && IsContinuationLine((*this)[index + 1])) Delete(index + 1);
}

std::string WrapHeaderText(std::string_view line, std::string_view break_text,
                           std::string_view break_chars, int width) {
  // Positions are 0-based here: p is the next byte to scan, s the start of the pending output
  // line, b one past the last break position (0: none yet), col the column of byte p counted
  // from 1 on the pending output line.
  const size_t n = line.size();
  std::string out;
  out.reserve(n + n / 8 + break_text.size());
  size_t p = 0, s = 0, b = 0;
  long long col = 1;
  bool in_quote = false;
  auto is_break_char = [&](char c) { return break_chars.find(c) != std::string_view::npos; };

  while (p < n) {
    const char c = line[p];
    bool existing_break = false;
    size_t step = 1;
    if (IsLeadByte(static_cast<unsigned char>(c)) && p + 1 < n) {
      step = 2;  // a double-byte character is never split
    } else if (!break_text.empty() && c == break_text[0] && !in_quote) {
      existing_break = SameText(line.substr(p, break_text.size()), break_text);
      if (existing_break) {
        p += break_text.size() - 1;
        b = p + 1;
      }
    } else if (is_break_char(c) && !in_quote) {
      b = p + 1;
    } else if (c == '"') {
      in_quote = !in_quote;
    }
    p += step;
    col += static_cast<long long>(step);

    if (!in_quote && (existing_break || (col > width && b > s + 1))) {
      out.append(line.substr(s, b - s));
      const size_t cut = p;
      col = static_cast<long long>(cut - b) + 1;
      size_t next = b;
      if (c != '"') {
        while (p < n && (is_break_char(line[p]) || line[p] == '\r' || line[p] == '\n')) ++p;
        // Blanks right at the cut are dropped rather than carried to the start of the next
        // line, so every continuation line starts with exactly the break text's one blank.
        // Skipped commas are content and stay.
        if (cut == b) {
          while (next < p && static_cast<unsigned char>(line[next]) <= 0x20) ++next;
        }
      }
      if (!existing_break && p < n) out.append(break_text);
      s = next;
    }
  }
  if (s < n) out.append(line.substr(s));
  return out;
}
