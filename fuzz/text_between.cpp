// TextBetween on arbitrary page and delimiters (split at the input's first two 0x01 bytes):
// a result other than "0" must be exactly the bytes after the first start delimiter up to the
// first end delimiter after it, or empty when no end follows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "query/UseFunction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const size_t a = in.find('\x01');
  const size_t b = a == std::string::npos ? a : in.find('\x01', a + 1);
  const std::string page = in.substr(0, a);
  const std::string start = a == std::string::npos ? "" : in.substr(a + 1, b - a - 1);
  const std::string end = b == std::string::npos ? "" : in.substr(b + 1);
  const std::string got = TextBetween(page, start, end);

  const bool present = !start.empty() && !end.empty() && page.find(start) != std::string::npos &&
                       page.find(end) != std::string::npos;
  if (!present) {
    if (got != "0") std::abort();
    return 0;
  }
  const size_t from = page.find(start) + start.size();
  const size_t e = page.find(end, from);
  const std::string want = e == std::string::npos ? "" : page.substr(from, e - from);
  if (got != want) std::abort();
  return 0;
}
