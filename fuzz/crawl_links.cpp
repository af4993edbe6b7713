// Fuzz target: a page through the crawl's page reader, and each reference it finds resolved as
// the crawler resolves it (against the page's <base href>, itself against the page's URL). The
// reader must come back on any bytes; every URL a link resolves to must read back as itself, and
// its fragment-less form (what the crawler queues) must parse as well.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "audit/PageHead.h"
#include "http/NetUrl.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  const TPageHead head = ReadPageHead(html, TNetDeadline::In(2000), {}, true);
  const TPageBody& reading = *head.Body;
  Require(reading.Links.size() <= kPageMaxLinks);
  Require(reading.TextHash.empty() || reading.TextHash.size() == 16);
  const TNetUrlResult page = TNetUrl::Parse("https://site.example/dir/page.html?q=1");
  TNetUrl base = *page.Url;
  if (!reading.BaseHref.empty()) {
    if (const TNetUrlResult b = TNetUrl::Parse(reading.BaseHref, &base)) base = *b.Url;
  }
  for (const TPageLink& link : reading.Links) {
    const TNetUrlResult to = TNetUrl::Parse(link.Url, &base);
    if (!to) continue;
    const TNetUrlResult again = TNetUrl::Parse(to.Url->Href());
    Require(again && *again.Url == *to.Url);
    Require(static_cast<bool>(TNetUrl::Parse(to.Url->HrefWithoutFragment())));
  }
  return 0;
}
