#include "cookies/NetDateTime.h"

#include <cmath>
#include <ctime>

#include "http/NetGlobal.h"
#include "runtime/StrUtils.h"

namespace {

constexpr const char* kWeekdaysUpper[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
constexpr const char* kMonthsUpper[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// TDateTime of 1970-01-01 00:00 and of the first and last representable days (years 1..9999).
constexpr double kUnixEpoch = 25569.0;
constexpr double kMinDate = -693593.0;
constexpr double kMaxDate = 2958466.0;

bool IsWeekday(std::string_view s) {
  for (const char* w : kWeekdaysUpper) {
    if (SameText(s, w)) return true;
  }
  return false;
}

// 1..12, or 0 for a text that is not a month abbreviation.
int MonthNumber(std::string_view s) {
  for (int m = 0; m < 12; ++m) {
    if (SameText(s, kMonthsUpper[m])) return m + 1;
  }
  return 0;
}

int IntOr(std::string_view s, int fallback) {
  int32_t v;
  return TryStrToInt(s, v) ? v : fallback;
}

// Takes the day field (1 when it is not a number) and the blanks after it.
int TakeDay(std::string& s, std::string_view delimiter) {
  const int day = IntOr(FetchToken(s, delimiter), 1);
  s = TrimLeft(s);
  return day;
}

// Takes the month field (0 when it is not a month abbreviation) and the blanks after it.
int TakeMonth(std::string& s, std::string_view delimiter) {
  const int month = MonthNumber(FetchToken(s, delimiter));
  s = TrimLeft(s);
  return month;
}

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Offset of local time from UTC, in seconds, at the UNIX time `t`.
long GmtOffsetAt(time_t t) {
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) throw ENetFailedToRetreiveTimeZoneInfo();
  return local.tm_gmtoff;
}

}  // namespace

TDateTime ParseInternetDate(std::string& text) {
  std::string s = Trim(text);
  if (s.empty()) {
    text.clear();
    return 0;
  }
  if (s.size() >= 3 && IsWeekday(std::string_view(s).substr(0, 3))) {
    FetchToken(s, " ");
    s = TrimLeft(s);
  }

  // RFC 850 dates separate day, month and year with "-"; the others with blanks.
  const int dash = TextPos("-", s);
  const int blank = TextPos(" ", s);
  const std::string delimiter = (dash >= 2 && (blank == 0 || dash < blank)) ? "-" : " ";

  int day, month;
  if (MonthNumber(FetchToken(s, delimiter, /*remove=*/false)) != 0) {
    month = TakeMonth(s, delimiter);
    day = TakeDay(s, delimiter);
  } else {
    day = TakeDay(s, delimiter);
    month = TakeMonth(s, delimiter);
  }

  std::string field = FetchToken(s, " ");
  int year = IntOr(field, 1900);
  if (year == 1900) {
    // The asctime form: the time comes before the year, which ends the text.
    year = IntOr(s, 1900);
    s = field;
  }
  if (year < 80) {
    year += 2000;
  } else if (year < 100) {
    year += 1900;
  }

  TDateTime result = 0;
  bool ok = TryEncodeDate(year, month, day, result);
  if (TextPos(":", s) > 0) {
    std::string time = FetchToken(s, " ");
    const int hours = IntOr(FetchToken(time, ":"), 0);
    const int minutes = IntOr(FetchToken(time, ":"), 0);
    const int seconds = IntOr(FetchToken(time, " "), 0);
    TDateTime t = 0;
    ok = TryEncodeTime(hours, minutes, seconds, 0, t) && ok;
    result += t;
  }
  text = TrimLeft(s);
  return ok ? result : 0;
}

TDateTime ZoneOffsetValue(const std::string& text) {
  const std::string s = Trim(text).substr(0, 5);
  if (s.size() != 5 || (s[0] != '+' && s[0] != '-')) return 0;
  const std::string_view hh = std::string_view(s).substr(1, 2);
  const std::string_view mm = std::string_view(s).substr(3, 2);
  if (!IsDigits(hh) || !IsDigits(mm)) return 0;
  TDateTime value;
  if (!TryEncodeTime(IntOr(hh, 0), IntOr(mm, 0), 0, 0, value)) return 0;
  return s[0] == '-' ? -value : value;
}

TDateTime LocalUtcOffset() { return GmtOffsetAt(time(nullptr)) / 86400.0; }

TDateTime LocalUtcOffsetAt(TDateTime utc) {
  if (!std::isfinite(utc) || utc < kMinDate || utc >= kMaxDate) return LocalUtcOffset();
  const time_t t = static_cast<time_t>(std::llround((utc - kUnixEpoch) * 86400.0));
  return GmtOffsetAt(t) / 86400.0;
}

TDateTime InternetDateToLocal(const std::string& text) {
  std::string rest = text;
  const TDateTime d = ParseInternetDate(rest);
  const TDateTime zone = rest.size() > 4 ? ZoneOffsetValue(rest) : 0;
  // No date has no moment whose offset could apply: the current one stands in.
  if (d == 0) return d - zone + LocalUtcOffset();
  // The offset in force at that moment, so a date on the other side of a daylight-saving
  // change is not an hour off.
  const TDateTime utc = d - zone;
  return utc + LocalUtcOffsetAt(utc);
}

std::string FormatInternetDate(TDateTime local, bool gmt) {
  if (!std::isfinite(local) || local < kMinDate || local >= kMaxDate) local = 0;
  int year, month, day, hour, minute, second, msec;
  DecodeDate(local, year, month, day);
  DecodeTime(local, hour, minute, second, msec);
  // The offset in force at that local moment: guess with the offset at `local` read as UTC,
  // then correct once with the offset at the UTC instant that guess gives.
  TDateTime offset = LocalUtcOffsetAt(local);
  offset = LocalUtcOffsetAt(local - offset);
  return Format("%s, %d %s %d %02d:%02d:%02d %s", kWeekdays[DayOfWeek(local) - 1], day,
                kMonths[month >= 1 && month <= 12 ? month - 1 : 0], year, hour, minute, second,
                FormatZoneOffset(offset, gmt).c_str());
}

std::string FormatZoneOffset(TDateTime offset, bool gmt) {
  if (!std::isfinite(offset)) offset = 0;
  if (offset == 0 && gmt) return "GMT";
  const double magnitude = std::fmin(std::fabs(offset), 1000.0);
  const long long minutes = std::llround(magnitude * 1440.0);
  return Format("%c%02lld%02lld", offset >= 0 ? '+' : '-', minutes / 60, minutes % 60);
}
