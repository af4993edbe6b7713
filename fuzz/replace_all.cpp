// ReplaceAll on arbitrary text, pattern and replacement (split from the input at its first two
// 0x01 bytes), checked against the remainder-by-remainder definition of the operation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "query/UseFunction.h"
#include "runtime/CodePage.h"

namespace {

std::string Reference(const std::string& text, const std::string& pattern,
                      const std::string& replacement) {
  std::string search = AnsiUpperCase(text), patt = AnsiUpperCase(pattern), input = text, result;
  while (!search.empty()) {
    size_t visible = search.find('\0');
    if (visible == std::string::npos) visible = search.size();
    size_t found = std::string::npos;
    for (size_t p = 0; !patt.empty() && p + patt.size() <= visible; ++p) {
      if (ByteType(search, p) != mbTrailByte && search.compare(p, patt.size(), patt) == 0) {
        found = p;
        break;
      }
    }
    if (found == std::string::npos) return result + input;
    result += input.substr(0, found) + replacement;
    input.erase(0, found + pattern.size());
    search.erase(0, found + patt.size());
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // the reference is quadratic
  const std::string in(reinterpret_cast<const char*>(data), size);
  const size_t a = in.find('\x01');
  const size_t b = a == std::string::npos ? a : in.find('\x01', a + 1);
  const std::string text = in.substr(0, a);
  const std::string pattern = a == std::string::npos ? "" : in.substr(a + 1, b - a - 1);
  const std::string replacement = b == std::string::npos ? "" : in.substr(b + 1);
  if (ReplaceAll(text, pattern, replacement) != Reference(text, pattern, replacement)) std::abort();
  return 0;
}
