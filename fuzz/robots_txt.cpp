// Fuzz target: arbitrary bytes as a robots.txt, asked about a path taken from the same bytes.
// Nothing may be raised, the reading limit holds, and /robots.txt itself stays allowed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "audit/RobotsTxt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const TRobotsTxt robots = TRobotsTxt::Parse(text);
  if (robots.BytesRead() > kRobotsMaxBytes) __builtin_trap();
  if (!robots.Allowed("FuzzBot/1.0", "/robots.txt")) __builtin_trap();
  // The last line, whatever it holds, doubles as the path asked about.
  const std::size_t last_break = text.find_last_of('\n');
  const std::string_view path =
      last_break == std::string_view::npos ? text : text.substr(last_break + 1);
  (void)robots.Allowed("FuzzBot/1.0", path);
  (void)robots.Allowed("*", path);
  (void)robots.Allowed("", "");
  return 0;
}
