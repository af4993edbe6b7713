// Internet date and time texts: reading the three forms servers send in HTTP headers and cookie
// expiries (RFC 1123 "Sun, 06 Nov 1994 08:49:37 GMT", RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT",
// asctime "Sun Nov  6 08:49:37 1994"), applying a numeric zone offset, converting to local time,
// and writing local date-times back with the local zone offset.
//
// Date-times are TDateTime values (days since 1899-12-30, the fraction being the time of day);
// 0 stands for "no date" and is what an unreadable text yields. Zone offsets are day fractions
// (hours / 24 + minutes / 1440), positive east of UTC.
//
// Thread-safety: every function is safe to call from any thread (the zone data comes from
// localtime_r/mktime, which are reentrant).
#pragma once

#include <string>

#include "runtime/DateUtils.h"
#include "netbase/NetBase.h"

// The platform could not tell the local zone.
class ENetFailedToRetreiveTimeZoneInfo : public ENetException {
 public:
  ENetFailedToRetreiveTimeZoneInfo()
      : ENetException("Failed attempting to retrieve time zone information.") {}
};

// Reads the date and time at the start of `text` (any of the three forms; two-digit years
// below 80 are 20xx, 80..99 are 19xx) and leaves the rest, the zone part, in `text`. An empty
// or unreadable text gives 0. Never raises.
TDateTime ParseInternetDate(std::string& text);

// "+hhmm" / "-hhmm" (at most the first five characters count) as a day fraction; anything else
// gives 0.
TDateTime ZoneOffsetValue(const std::string& text);

// Local time minus UTC now, as a day fraction (daylight saving included while it is in force).
// Raises ENetFailedToRetreiveTimeZoneInfo when the platform cannot tell.
TDateTime LocalUtcOffset();

// Local time minus UTC in force at the UTC instant `utc` (TDateTime counted in UTC).
// Raises ENetFailedToRetreiveTimeZoneInfo when the platform cannot tell.
TDateTime LocalUtcOffsetAt(TDateTime utc);

// The local date-time of a date text. A zone part longer than four characters is read as a
// numeric offset; "GMT", "UTC" and other names count as UTC. An empty or unreadable text gives
// the zero date moved by the current local offset (a value far in the past, never 0 away from
// UTC).
TDateTime InternetDateToLocal(const std::string& text);

// "Sun, 6 Nov 1994 08:49:37 +0800": the local date-time `local` with the local zone offset in
// force at that moment ("GMT" instead of "+0000" when `gmt` is set and the offset is 0).
std::string FormatInternetDate(TDateTime local, bool gmt = false);

// "+hhmm" / "-hhmm" of the day fraction `offset`; "GMT" when it is 0 and `gmt` is set.
std::string FormatZoneOffset(TDateTime offset, bool gmt);
