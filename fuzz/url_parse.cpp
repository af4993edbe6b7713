// Fuzz target: a reference and a base through TNetUrl::Parse. The first byte says how many of
// the following bytes are the base (none: no base). Whatever parses must serialise to a URL that
// parses again, on its own and against the base, to the very same URL; the other serialisations
// must agree with it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/NetUrl.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t base_len = data[0] % (all.size() + 1);
  const std::string_view base_text = all.substr(0, base_len);
  const std::string_view input = all.substr(base_len);

  const TNetUrlResult base = TNetUrl::Parse(base_text);
  const TNetUrl* base_url = base ? &*base.Url : nullptr;
  const TNetUrlResult url = TNetUrl::Parse(input, base_url);
  Require(url.Url.has_value() == url.Error.empty());
  if (!url) return 0;

  const std::string href = url.Url->Href();
  const TNetUrlResult again = TNetUrl::Parse(href);
  Require(again && *again.Url == *url.Url && again.Url->Href() == href);
  const TNetUrlResult against_base = TNetUrl::Parse(href, base_url);
  Require(against_base && *against_base.Url == *url.Url);
  // The default port written out reads back as the default; the fragment is only what follows.
  const TNetUrlResult with_port = TNetUrl::Parse(url.Url->HrefWithPort());
  Require(with_port && with_port.Url->HrefWithoutFragment() == url.Url->HrefWithoutFragment());
  Require(href.starts_with(url.Url->HrefWithoutFragment()));
  Require(url.Url->PortNumber() >= 0 && url.Url->PortNumber() <= 65535);
  return 0;
}
