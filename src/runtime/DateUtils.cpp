#include "runtime/DateUtils.h"

#include <cmath>
#include <ctime>

#include "runtime/Exception.h"

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  int64_t days = 0;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  days += day;
  int64_t y = year - 1;
  days += y * 365 + y / 4 - y / 100 + y / 400;
  out = static_cast<double>(days - 693594);  // 693594 = days from 0001-01-01 to 1899-12-30
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      msec < 0 || msec > 999)
    return false;
  out = (((hour * 60 + minute) * 60 + second) * 1000.0 + msec) / 86400000.0;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime d;
  if (!TryEncodeDate(year, month, day, d)) throw Exception("Invalid argument to date encode");
  return d;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime t;
  if (!TryEncodeTime(hour, minute, second, msec, t))
    throw Exception("Invalid argument to time encode");
  return t;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  // Outside years 1..9999 (NaN included) there is no date; converting such a double to an
  // integer would be undefined.
  if (!(dt >= -693593.0 && dt < 2958466.0)) {
    year = month = day = 0;
    return;
  }
  int64_t t = static_cast<int64_t>(std::floor(dt)) + 693594;  // days since 0001-01-01, day 1
  if (t <= 0) {
    year = month = day = 0;
    return;
  }
  --t;
  int64_t y = 1;
  int64_t n400 = t / 146097;
  t %= 146097;
  y += n400 * 400;
  int64_t n100 = t / 36524;
  if (n100 == 4) n100 = 3;
  t -= n100 * 36524;
  y += n100 * 100;
  int64_t n4 = t / 1461;
  t %= 1461;
  y += n4 * 4;
  int64_t n1 = t / 365;
  if (n1 == 4) n1 = 3;
  t -= n1 * 365;
  y += n1;
  year = static_cast<int>(y);
  month = 1;
  while (t >= DaysInMonth(year, month)) {
    t -= DaysInMonth(year, month);
    ++month;
  }
  day = static_cast<int>(t) + 1;
}

void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec) {
  double frac = std::isfinite(dt) ? std::fabs(dt - std::trunc(dt)) : 0.0;
  int64_t ms = std::llround(frac * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  hour = static_cast<int>(ms / 3600000);
  minute = static_cast<int>(ms / 60000 % 60);
  second = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime dt) {
  int64_t d = static_cast<int64_t>(std::floor(dt));
  // 1899-12-30 was a Saturday (7).
  int r = static_cast<int>(((d % 7) + 7 + 6) % 7);
  return r + 1;
}

TDateTime Now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm lt;
  localtime_r(&secs, &lt);
  return UnixToDateTime(static_cast<int64_t>(secs) + lt.tm_gmtoff) +
         (ts.tv_nsec / 1000000) / 86400000.0;
}

TDateTime UnixToDateTime(int64_t seconds) { return 25569.0 + seconds / 86400.0; }

int64_t DateTimeToUnix(TDateTime dt) { return std::llround((dt - 25569.0) * 86400.0); }

uint32_t GetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::string IsoTime(int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}
