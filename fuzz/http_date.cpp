// Fuzz target: arbitrary date texts through ParseInternetDate and InternetDateToLocal, and
// whatever they produce back through FormatInternetDate. Nothing may be raised.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cookies/NetDateTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string rest = text;
  const TDateTime d = ParseInternetDate(rest);
  if (rest.size() > text.size()) __builtin_trap();
  (void)ZoneOffsetValue(rest);
  const TDateTime local = InternetDateToLocal(text);
  (void)FormatInternetDate(d, size & 1);
  (void)FormatInternetDate(local, false);
  (void)FormatZoneOffset(local, true);
  return 0;
}
