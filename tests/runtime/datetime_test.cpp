// TDateTime encode/decode round trips across the whole calendar, fixed points of the epoch,
// invalid dates, and out-of-range values that must not turn into garbage dates.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/DateUtils.h"
#include "runtime/Exception.h"

TEST(DateTime, FixedPoints) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 6, 2)), 1);    // Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 29)), 6);  // before the epoch
  EXPECT_EQ(UnixToDateTime(0), 25569.0);
  EXPECT_EQ(DateTimeToUnix(EncodeDate(2001, 9, 9) + EncodeTime(1, 46, 40, 0)), 1000000000);
}

TEST(DateTime, EveryDayOfTheCalendarRoundTrips) {
  double expected = -693593.0;
  for (int y = 1; y <= 9999; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= DaysInMonth(y, m); ++d, expected += 1) {
        TDateTime dt;
        ASSERT_TRUE(TryEncodeDate(y, m, d, dt));
        ASSERT_EQ(dt, expected) << y << "-" << m << "-" << d;
        int yy, mm, dd;
        DecodeDate(dt + 0.75, yy, mm, dd);  // the time of day does not move the date
        ASSERT_TRUE(yy == y && mm == m && dd == d) << y << "-" << m << "-" << d;
      }
    }
  }
}

TEST(DateTime, InvalidDatesAndTimesAreRefused) {
  TDateTime dt = 42;
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, dt));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, dt));
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, dt));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, dt));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, dt));
  EXPECT_FALSE(TryEncodeDate(2000, 13, 1, dt));
  EXPECT_FALSE(TryEncodeDate(2000, 4, 31, dt));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, dt));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, dt));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, dt));
  EXPECT_THROW(EncodeDate(2000, 0, 1), Exception);
  EXPECT_THROW(EncodeTime(-1, 0, 0, 0), Exception);
}

TEST(DateTime, TimesRoundTripToTheMillisecond) {
  for (int s = 0; s < 86400; s += 7) {
    int ms = s % 1000;
    TDateTime t = EncodeTime(s / 3600, s / 60 % 60, s % 60, ms);
    int h, mi, se, ml;
    DecodeTime(EncodeDate(2010, 5, 6) + t, h, mi, se, ml);
    ASSERT_TRUE(h == s / 3600 && mi == s / 60 % 60 && se == s % 60 && ml == ms) << s;
  }
  int h, mi, se, ml;
  DecodeTime(EncodeTime(23, 59, 59, 999), h, mi, se, ml);
  EXPECT_TRUE(h == 23 && mi == 59 && se == 59 && ml == 999);
  DecodeTime(-1.25, h, mi, se, ml);  // before the epoch the fraction still counts forwards
  EXPECT_TRUE(h == 6 && mi == 0 && se == 0 && ml == 0);
}

TEST(DateTime, ValuesOutsideTheCalendarDecodeToZero) {
  const double outside[] = {std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            1e300,
                            -1e300,
                            2958466.0,
                            -693594.0};
  for (double v : outside) {
    int y = 1, m = 1, d = 1;
    DecodeDate(v, y, m, d);
    EXPECT_TRUE(y == 0 && m == 0 && d == 0) << v;
    int h = -1, mi = -1, s = -1, ms = -1;
    DecodeTime(v, h, mi, s, ms);
    EXPECT_TRUE(h >= 0 && h < 24 && mi >= 0 && mi < 60 && s >= 0 && s < 60 && ms >= 0) << v;
  }
}

TEST(DateTime, NowAndTicksMoveForward) {
  TDateTime now = Now();
  EXPECT_GT(now, EncodeDate(2020, 1, 1));
  EXPECT_LT(now, EncodeDate(2200, 1, 1));
  uint32_t a = GetTickCount();
  uint32_t b = GetTickCount();
  EXPECT_LT(static_cast<uint32_t>(b - a), 1000000u);  // unsigned difference: wrap-safe
}
