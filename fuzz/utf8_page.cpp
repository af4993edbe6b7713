// Arbitrary bytes through the page decoder and the encoding sniffing: never a crash or a read past
// the input, and never more bytes out than in from UTF-8 (every character takes at least as many
// bytes in UTF-8 as in GBK).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "query/UseFunction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string page(reinterpret_cast<const char*>(data), size);
  if (Utf8PageToGbk(page).size() > page.size()) std::abort();
  // The first line stands for the Content-Type header, the whole input for the page.
  PageByMode(page, TFetchMode::Declared, page.substr(0, page.find('\n')));
  return 0;
}
