#include "encoding/BIG5_GB2312.h"

#include <array>

const uint16_t Big5ToGBTable[kBig5TableSize] = {
#include "encoding/Big5Table.inc"
};

namespace {

constexpr int kTrailsPerLead = 157;

// Offset of a trail byte within its lead byte's row (0..156), or -1 for a byte that cannot
// follow a Big5 lead byte.
constexpr std::array<int16_t, 256> kTrailOffset = [] {
  std::array<int16_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    if (b >= 0x40 && b <= 0x7E)
      t[b] = static_cast<int16_t>(b - 0x40);
    else if (b >= 0xA1 && b <= 0xFE)
      t[b] = static_cast<int16_t>(63 + b - 0xA1);
    else
      t[b] = -1;
  }
  return t;
}();

static_assert(kTrailOffset[0x7E] == 62 && kTrailOffset[0xA1] == 63 && kTrailOffset[0xFE] == 156);
static_assert((0xFE - 0xA1 + 1) * kTrailsPerLead == kBig5TableSize);

}  // namespace

bool IsBig5Pair(const std::string& text) {
  return text.size() >= 2 && static_cast<unsigned char>(text[0]) >= 0xA1 &&
         kTrailOffset[static_cast<unsigned char>(text[1])] >= 0;
}

int Big5Index(const std::string& text) {
  if (text.size() < 2) return -1;
  int offset = kTrailOffset[static_cast<unsigned char>(text[1])];
  if (offset < 0) return -1;
  return (static_cast<unsigned char>(text[0]) - 0xA1) * kTrailsPerLead + offset;
}

std::string Big5ToGB2312(const std::string& text) {
  // Same length in and out: copy everything, then overwrite the pairs in place.
  std::string out(text);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* dst = out.data();
  const size_t n = text.size();
  size_t i = 0;
  while (i + 1 < n) {
    const unsigned lead = in[i];
    // 0xFF passes the pair test but indexes past the table: it stays, and its trail byte is
    // looked at again as a possible lead byte.
    if (lead < 0xA1 || lead == 0xFF) {
      ++i;
      continue;
    }
    const int offset = kTrailOffset[in[i + 1]];
    if (offset < 0) {
      ++i;
      continue;
    }
    const uint16_t entry = Big5ToGBTable[(lead - 0xA1) * kTrailsPerLead + offset];
    dst[i] = static_cast<char>(entry >> 8);
    dst[i + 1] = static_cast<char>(entry & 0xFF);
    i += 2;
  }
  return out;
}
