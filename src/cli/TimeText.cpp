#include "cli/TimeText.h"

#include <cstdio>
#include <ctime>

std::optional<int64_t> ParseTimeText(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const char* s = text.c_str();
  if (std::sscanf(s, "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) {
    return std::nullopt;
  }
  size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    used = 0;
    if (std::sscanf(s + at + 1, "%2d:%2d%n", &hour, &minute, &used) != 2 || used != 5) {
      return std::nullopt;
    }
    at += 6;
    if (at < text.size() && text[at] == ':') {
      used = 0;
      if (std::sscanf(s + at + 1, "%2d%n", &second, &used) != 1 || used != 2) return std::nullopt;
      at += 3;
    }
  }
  std::optional<int> offset_minutes;  // east of UTC; nothing: local time
  const std::string zone = text.substr(at);
  if (zone == "Z") {
    offset_minutes = 0;
  } else if (!zone.empty()) {
    int zh = 0, zm = 0;
    used = 0;
    const bool colon = zone.size() == 6;
    if ((zone[0] != '+' && zone[0] != '-') || (zone.size() != 5 && !colon) ||
        std::sscanf(zone.c_str() + 1, colon ? "%2d:%2d%n" : "%2d%2d%n", &zh, &zm, &used) != 2 ||
        used != static_cast<int>(zone.size()) - 1 || zh > 23 || zm > 59) {
      return std::nullopt;
    }
    offset_minutes = (zone[0] == '-' ? -1 : 1) * (zh * 60 + zm);
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
      hour < 0 || minute < 0 || second < 0) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::tm asked = tm;
  const std::time_t t = offset_minutes ? ::timegm(&tm) : std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != asked.tm_mday) return std::nullopt;
  return (static_cast<int64_t>(t) - (offset_minutes ? *offset_minutes * 60 : 0)) * 1000;
}
