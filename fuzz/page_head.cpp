// Fuzz target: arbitrary bytes as a home page, its first line standing for the Content-Type
// header, through the head check (charset sniffing, decoding, the streaming HTML reader). Nothing
// may be raised, the kept texts stay within their limits and whole UTF-8, and a page answered
// is never left unmarked as unable.
#include <cstddef>
#include <cstdint>
#include <string>

#include "audit/AuditChecks.h"
#include "audit/PageHead.h"
#include "runtime/CodePage.h"

namespace {

bool WholeUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    if (DecodeUtf8(text, i) < 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  TAuditPage home;
  home.Answered = true;
  home.Status = 200;
  home.Url = "https://a.example/";
  home.Body = input;
  home.Headers.emplace_back("Content-Type", input.substr(0, input.find('\n')));
  const TAuditResult result = CheckHead(home);
  if (result.Mark == TAuditMark::Unable) __builtin_trap();

  const TPageHead head = ReadPageHead(input);
  for (const auto* text : {&head.Title, &head.Description}) {
    if (!*text) continue;
    if ((*text)->Text.size() > kPageHeadMaxText) __builtin_trap();
    if (WholeUtf8(input) && !WholeUtf8((*text)->Text)) __builtin_trap();
  }
  if (head.Canonicals.size() > kPageHeadMaxKept || head.RobotsMetas.size() > kPageHeadMaxKept)
    __builtin_trap();
  if (head.NonEmptyH1Count > head.H1Count) __builtin_trap();
  return 0;
}
