// Fuzz target: a site's answers as the network checks read them. The bytes are split at their
// first two line breaks into a Strict-Transport-Security value, a Location and a status; the
// https check then follows Locations drawn from the rest, one line per hop. Nothing may be
// raised, and the chain never goes past its hop limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "audit/AuditChecks.h"

namespace {

std::string_view NextLine(std::string_view& rest) {
  const size_t at = rest.find('\n');
  const std::string_view line = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  TAuditPage home;
  home.Url = "https://fuzz.test/";
  home.Answered = true;
  home.Status = 200;
  home.Headers.emplace_back("Strict-Transport-Security", std::string(NextLine(rest)));
  home.Headers.emplace_back("Content-Encoding", std::string(NextLine(rest)));
  (void)CheckHsts(home);
  (void)CheckCompression(home);

  int asked = 0;
  const TAuditFetch fetch = [&](const std::string& url, const TAuditFetchOptions&) {
    ++asked;
    TAuditPage page;
    page.Url = url;
    page.Answered = !rest.empty();
    page.Status = rest.size() % 2 == 0 ? 301 : 200;
    page.Headers.emplace_back("Location", std::string(NextLine(rest)));
    return page;
  };
  const TAuditTarget target{"fuzz.test", "fuzz.test", 80, 443};
  (void)CheckHttps(target, fetch);
  if (asked > 10) __builtin_trap();
  return 0;
}
