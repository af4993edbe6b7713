// Fuzz target: arbitrary bytes as a sitemap, read under a cap taken from the first byte. Nothing
// may be raised, and an index never keeps more children than its limit.
#include "audit/Sitemap.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view xml(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cap = data[0] < 128 ? kSitemapMaxBytes : data[0];
  const TSitemap sitemap = ParseSitemap(xml, cap);
  if (sitemap.ChildSitemaps.size() > kSitemapMaxChildren) __builtin_trap();
  if (sitemap.Truncated != (xml.size() > cap)) __builtin_trap();
  return 0;
}
