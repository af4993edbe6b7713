// ParseSiteName on arbitrary typed text: a name it accepts is an ASCII request name it accepts
// again unchanged, and never holds a byte a request line or a URL's host could not carry; the
// name as shown (its ASCII form beside it, if so) reads back as the same name, letter case aside.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "query/QueryController.h"
#include "runtime/StrUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string typed(reinterpret_cast<const char*>(data), size);
  const TSiteName name = ParseSiteName(typed);
  if (!name.Problem.empty()) {
    if (!name.Request.empty()) std::abort();
    return 0;
  }
  for (char c : name.Request) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@') std::abort();
  }
  const TSiteName again = ParseSiteName(name.Request);
  if (!again.Problem.empty() || again.Request != name.Request) std::abort();
  if (LowerCase(ParseSiteName(name.Shown).Request) != LowerCase(name.Request)) std::abort();
  return 0;
}
