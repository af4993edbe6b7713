// ExtractByRule with arbitrary rules, pages and templates: byte 0 holds the flags (all matches,
// template mode), bytes 1 and 2 the rule's and the template's lengths; then rule, template and
// page. It never raises and never returns more than every match, separators included, could.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "query/UseFunction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t rule_length = data[1] & 31;
  const size_t template_length = data[2] & 31;
  if (size < 3 + rule_length + template_length) return 0;
  const char* p = reinterpret_cast<const char*>(data) + 3;
  const std::string rule(p, rule_length);
  const std::string output_template(p + rule_length, template_length);
  std::string page(p + rule_length + template_length, size - 3 - rule_length - template_length);
  if (page.size() > 256) page.resize(256);
  const unsigned char all = (data[0] & 1) ? 1 : 0;
  const bool template_mode = (data[0] & 2) != 0;
  const std::string result =
      ExtractByRule(page, template_mode ? "" : rule, all, "|||", template_mode,
                    template_mode ? rule : "", output_template);
  // One item per start position at most, each no longer than the page or the expanded template.
  const size_t item = page.size() + (template_mode ? 32 * (page.size() + 32) : 0);
  if (result.size() > (page.size() + 2) * (item + 3)) std::abort();
  return 0;
}
