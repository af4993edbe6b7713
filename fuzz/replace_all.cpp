// ReplaceAll on arbitrary text, pattern and replacement (split from the input at its first two
// 0x01 bytes), checked against the slow reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/support/ReplaceAllReference.h"
#include "query/UseFunction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // the reference is quadratic
  const std::string in(reinterpret_cast<const char*>(data), size);
  const size_t a = in.find('\x01');
  const size_t b = a == std::string::npos ? a : in.find('\x01', a + 1);
  const std::string text = in.substr(0, a);
  const std::string pattern = a == std::string::npos ? "" : in.substr(a + 1, b - a - 1);
  const std::string replacement = b == std::string::npos ? "" : in.substr(b + 1);
  if (ReplaceAll(text, pattern, replacement) != ReferenceReplaceAll(text, pattern, replacement)) std::abort();
  return 0;
}
