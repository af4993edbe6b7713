// Internet date texts: the three forms, two-digit years, zone offsets, unreadable texts, and
// randomized checks against the C library's own calendar under several time zones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "cookies/NetDateTime.h"
#include "support/ScopedTimeZone.h"
#include "runtime/StrUtils.h"

namespace {

constexpr double kMillisecond = 1.0 / 86400000.0;
constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, 0);
}

long OffsetSeconds(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  return lt.tm_gmtoff;
}

// The three forms of the UTC instant t.
struct Texts {
  std::string rfc1123, rfc850, asctime;
};
Texts TextsOf(time_t t) {
  struct tm u;
  gmtime_r(&t, &u);
  Texts x;
  x.rfc1123 = Format("%s, %02d %s %d %02d:%02d:%02d GMT", kDays[u.tm_wday], u.tm_mday,
                     kMonths[u.tm_mon], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
  x.rfc850 = Format("%s, %02d-%s-%02d %02d:%02d:%02d GMT", kLongDays[u.tm_wday], u.tm_mday,
                    kMonths[u.tm_mon], (u.tm_year + 1900) % 100, u.tm_hour, u.tm_min, u.tm_sec);
  x.asctime = Format("%s %s %2d %02d:%02d:%02d %d", kDays[u.tm_wday], kMonths[u.tm_mon], u.tm_mday,
                     u.tm_hour, u.tm_min, u.tm_sec, u.tm_year + 1900);
  return x;
}

TEST(InternetDateParse, ThreeFormsGiveTheSameInstant) {
  const TDateTime expected = At(1994, 11, 6, 8, 49, 37);
  std::string a = "Sun, 06 Nov 1994 08:49:37 GMT";
  std::string b = "Sunday, 06-Nov-94 08:49:37 GMT";
  std::string c = "Sun Nov  6 08:49:37 1994";
  EXPECT_NEAR(ParseInternetDate(a), expected, kMillisecond);
  EXPECT_NEAR(ParseInternetDate(b), expected, kMillisecond);
  EXPECT_NEAR(ParseInternetDate(c), expected, kMillisecond);
  EXPECT_EQ(a, "GMT");
  EXPECT_EQ(b, "GMT");
  EXPECT_EQ(c, "");
  std::string lower = "  sun, 06 nov 1994 08:49:37 +0800  ";
  EXPECT_NEAR(ParseInternetDate(lower), expected, kMillisecond);
  EXPECT_EQ(lower, "+0800");
  std::string no_weekday = "6 Nov 1994";
  EXPECT_NEAR(ParseInternetDate(no_weekday), EncodeDate(1994, 11, 6), kMillisecond);
}

TEST(InternetDateParse, TwoDigitYears) {
  auto year_of = [](std::string text) {
    int y, m, d;
    DecodeDate(ParseInternetDate(text), y, m, d);
    return y;
  };
  EXPECT_EQ(year_of("Thu, 01-Jan-79 00:00:00 GMT"), 2079);
  EXPECT_EQ(year_of("Tue, 01-Jan-80 00:00:00 GMT"), 1980);
  EXPECT_EQ(year_of("01 Jan 00 00:00:00 GMT"), 2000);
  EXPECT_EQ(year_of("01 Jan 99 00:00:00 GMT"), 1999);
  EXPECT_EQ(year_of("01 Jan 2099 00:00:00 GMT"), 2099);
}

TEST(InternetDateParse, UnreadableTextsGiveTheZeroDate) {
  for (std::string text : {"", "   ", "Sun, 06 Foo 1994 08:49:37 GMT", "31 Nov 1994 00:00:00",
                           "06 Nov 1994 25:00:00 GMT", "06 Nov 1994 08:61:00", "garbage", "Sun,",
                           "-", "--", "0 Nov 1994", "06 Nov 1994 -1:00:00"}) {
    std::string t = text;
    EXPECT_EQ(ParseInternetDate(t), 0) << text;
  }
}

TEST(InternetDateZones, OffsetsAndNames) {
  ScopedTimeZone tz(UTC_ZONE);
  const TDateTime gmt = InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_NEAR(gmt, At(1994, 11, 6, 8, 49, 37), kMillisecond);
  EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 +0800"), gmt - 8.0 / 24, kMillisecond);
  EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 -0130"), gmt + 1.5 / 24, kMillisecond);
  // Names and short texts count as UTC.
  EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 EST"), gmt, kMillisecond);
  EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 +08"), gmt, kMillisecond);

  EXPECT_NEAR(ZoneOffsetValue(" +0530 extra"), 5.5 / 24, kMillisecond);
  EXPECT_NEAR(ZoneOffsetValue("-1200"), -0.5, kMillisecond);
  for (const char* bad : {"", "0800", "+08", "+0x10", "+2500", "+0060", "GMT", "+$F00"}) {
    EXPECT_EQ(ZoneOffsetValue(bad), 0) << bad;
  }
}

TEST(InternetDateZones, ZeroDateIsMovedByTheLocalOffset) {
  {
    ScopedTimeZone tz(SHANGHAI);
    EXPECT_NEAR(LocalUtcOffset(), 8.0 / 24, kMillisecond);
    EXPECT_NEAR(InternetDateToLocal(""), 8.0 / 24, kMillisecond);
    EXPECT_NEAR(InternetDateToLocal("not a date"), 8.0 / 24, kMillisecond);
  }
  ScopedTimeZone tz(UTC_ZONE);
  EXPECT_EQ(InternetDateToLocal(""), 0);
}

TEST(InternetDateFormat, LocalDatesWithTheirOffset) {
  {
    ScopedTimeZone tz(SHANGHAI);
    EXPECT_EQ(FormatInternetDate(At(1994, 11, 6, 8, 49, 37)), "Sun, 6 Nov 1994 08:49:37 +0800");
  }
  {
    ScopedTimeZone tz(NEW_YORK);
    // The offset is the one in force on that day, not today's.
    EXPECT_EQ(FormatInternetDate(At(2021, 7, 4, 12, 0, 0)), "Sun, 4 Jul 2021 12:00:00 -0400");
    EXPECT_EQ(FormatInternetDate(At(2021, 12, 25, 0, 0, 5)), "Sat, 25 Dec 2021 00:00:05 -0500");
  }
  ScopedTimeZone tz(UTC_ZONE);
  EXPECT_EQ(FormatInternetDate(At(2000, 2, 29, 23, 59, 59), true), "Tue, 29 Feb 2000 23:59:59 GMT");
  EXPECT_EQ(FormatInternetDate(At(2000, 2, 29, 23, 59, 59)), "Tue, 29 Feb 2000 23:59:59 +0000");
  EXPECT_EQ(FormatZoneOffset(5.75 / 24, false), "+0545");
  EXPECT_EQ(FormatZoneOffset(-3.5 / 24, true), "-0330");
  EXPECT_EQ(FormatZoneOffset(0, true), "GMT");
  // Values no clock produces still give some text.
  EXPECT_FALSE(FormatInternetDate(NAN).empty());
  EXPECT_FALSE(FormatInternetDate(1e300).empty());
  EXPECT_FALSE(FormatZoneOffset(-1e300, false).empty());
}

// Random instants in every form must read back as exactly that instant, and as the local time
// the C library gives for it, in zones east and west of UTC and across daylight-saving changes.
void CheckRandomInstants(uint32_t seed) {
  std::mt19937_64 rng(seed);
  // Two-digit years cover 1980..2079.
  std::uniform_int_distribution<int64_t> any(315532800, 3471292799);
  // Two days either side of the New York changes of 2021 (14 March 07:00, 7 November 06:00 UTC).
  std::uniform_int_distribution<int64_t> spring(1615705200 - 172800, 1615705200 + 172800);
  std::uniform_int_distribution<int64_t> autumn(1636264800 - 172800, 1636264800 + 172800);
  std::uniform_int_distribution<int> zone_minutes(-12 * 60, 14 * 60);
  for (int i = 0; i < 3000; ++i) {
    const time_t t = static_cast<time_t>(i % 3 == 0   ? any(rng)
                                         : i % 3 == 1 ? spring(rng)
                                                      : autumn(rng));
    const TDateTime utc = UnixToDateTime(t);
    const TDateTime local = UnixToDateTime(t + OffsetSeconds(t));
    const Texts x = TextsOf(t);
    for (const std::string& text : {x.rfc1123, x.rfc850, x.asctime}) {
      std::string rest = text;
      ASSERT_NEAR(ParseInternetDate(rest), utc, kMillisecond) << text;
      ASSERT_NEAR(InternetDateToLocal(text), local, kMillisecond) << text;
    }
    // The same instant written in some other zone with a numeric offset.
    const int zm = zone_minutes(rng);
    const Texts shifted = TextsOf(t + zm * 60);
    const std::string with_offset =
        shifted.rfc1123.substr(0, shifted.rfc1123.size() - 3) +
        Format("%c%02d%02d", zm < 0 ? '-' : '+', std::abs(zm) / 60, std::abs(zm) % 60);
    ASSERT_NEAR(InternetDateToLocal(with_offset), local, kMillisecond) << with_offset;

    // Writing the local time and reading it back is the identity, except inside the hour that
    // a change to standard time repeats.
    if (OffsetSeconds(t - 7200) == OffsetSeconds(t + 7200)) {
      const std::string written = FormatInternetDate(local);
      ASSERT_NEAR(InternetDateToLocal(written), local, kMillisecond) << written;
    }
  }
}

TEST(InternetDateRandom, AgreesWithTheCalendarInShanghai) {
  ScopedTimeZone tz(SHANGHAI);
  CheckRandomInstants(1);
}

TEST(InternetDateRandom, AgreesWithTheCalendarInNewYork) {
  ScopedTimeZone tz(NEW_YORK);
  CheckRandomInstants(2);
}

}  // namespace
