// Fuzz target: a header block set from arbitrary text, every lookup on it, and SetHeader with
// folding at an arbitrary width. Folding may move blanks but never lose another byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/NetHeaderList.h"

namespace {

std::string WithoutBlanks(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (static_cast<unsigned char>(c) > 0x20) r += c;
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int width = data[0] % 100;
  const bool flags = data[1] & 1;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

  TNetHeaderList h;
  h.SetCaseSensitiveNames(flags);
  h.SetUnfoldContinuations(!flags);
  h.SetText(text);
  TStringList values;
  for (int i = -1; i <= h.Count(); ++i) {
    const std::string name = h.NameAt(i);
    (void)h.ValueAt(i);
    (void)h.HeaderValue(name);
    h.CollectValues(name, &values);
  }

  // The first line's text splits into a name and a value to set.
  const std::string first = h.Count() > 0 ? h[0] : text;
  const size_t cut = first.size() / 3;
  const std::string name = first.substr(0, cut), value = first.substr(cut);
  TNetHeaderList f;
  f.SetFoldWidth(width);
  f.SetHeader(name, value);
  std::string joined;
  for (const std::string& line : f) joined += line;
  if (!value.empty() && WithoutBlanks(joined) != WithoutBlanks(name + f.Separator() + value)) {
    __builtin_trap();
  }
  (void)f.HeaderValue(name);
  f.SetHeader(name, "");
  f.RemoveContinuations(0);
  (void)WrapHeaderText(text, "\r\n ", "\t ,", width);
  return 0;
}
