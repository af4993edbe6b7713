// The JSON steps over arbitrary pages: byte 0 holds the pointer's length (low 5 bits) and whether
// a newest step comes first; then the pointer and the page. A step never raises, never crashes
// on any nesting, and gives nothing or a value no longer than the page can print to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "query/PageRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t pointer_length = data[0] & 31;
  if (size < 1 + pointer_length) return 0;
  const char* p = reinterpret_cast<const char*>(data) + 1;
  const std::string pointer(p, pointer_length);
  const std::string page(p + pointer_length, size - 1 - pointer_length);
  TStepList steps;
  if (data[0] & 32) steps.push_back({TStepKind::Newest, pointer, "/d"});
  steps.push_back({TStepKind::Json, (data[0] & 32) ? "/v" : pointer});
  const auto value = ApplyRules(page, {steps}, "");
  // A number prints in at most 24 bytes where the page may have spent one; every other value
  // prints no longer than six times its text (\u escapes of control bytes).
  if (value && value->size() > 24 + 6 * page.size()) std::abort();
  return 0;
}
