// The times velmora-query's flags take (--since).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A time as --since takes it: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" (a
// space in place of the T), in local time unless it ends in "Z" or an offset ("+08:00",
// "-0500"); Unix milliseconds, nothing for a text that is none.
std::optional<int64_t> ParseTimeText(const std::string& text);
