// Fuzz target: arbitrary bytes as a result page, read by each engine's definition of the
// current set. Its first byte picks the engine and whether subdomains match. Nothing may be
// raised, a verification page holds no results, every result's host is the one its URL names,
// and no more results come than the page has elements.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rank/RankPage.h"
#include "services/ServiceFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto& ranks = BuiltInServiceSet(kCurrentSet)->Ranks;
  const TRankDef& def = ranks[data[0] % ranks.size()];
  const std::string page(reinterpret_cast<const char*>(data) + 1, size - 1);
  const TRankPageReading reading = ReadRankPage(def, page, "https://a.example/s?q=x");
  if (reading.Blocked && !reading.Results.empty()) std::abort();
  size_t tags = 0;
  for (char c : page) tags += c == '<';
  if (reading.Results.size() > tags) std::abort();
  for (const TRankResult& r : reading.Results) {
    if (r.Host != UrlHostName(r.Url)) std::abort();
    (void)SiteMatchesHost("www.example.com", r.Host, (data[0] & 0x80) != 0);
  }
  return 0;
}
