// Big5ToGB2312 on arbitrary bytes: same length out as in, every byte below 0xA1 that does not
// sit in a converted pair left alone, and agreement with a step-by-step conversion built from
// the public pair test and index.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "encoding/BIG5_GB2312.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string out = Big5ToGB2312(text);
  if (out.size() != text.size()) std::abort();
  size_t i = 0;
  while (i < text.size()) {
    const std::string pair = text.substr(i, 2);
    const int index = Big5Index(pair);
    if (IsBig5Pair(pair) && index >= 0 && index < kBig5TableSize) {
      const uint16_t e = Big5ToGBTable[index];
      if (static_cast<uint8_t>(out[i]) != (e >> 8) ||
          static_cast<uint8_t>(out[i + 1]) != (e & 0xFF))
        std::abort();
      i += 2;
    } else {
      if (out[i] != text[i]) std::abort();
      ++i;
    }
  }
  return 0;
}
