// TDateTime: days since 1899-12-30 as a double, the fraction being the time of day; 0 means no
// date. And the unsigned 32-bit millisecond tick counter.
#pragma once

#include <cstdint>
#include <string>

using TDateTime = double;

// Encode fails (returns false) on an invalid date or time.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
TDateTime EncodeDate(int year, int month, int day);  // raises Exception("Invalid argument to date encode")
TDateTime EncodeTime(int hour, int minute, int second, int msec);  // raises on invalid time
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime dt);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Local date and time now.
TDateTime Now();
// Seconds since 1970-01-01 UTC <-> TDateTime (no zone applied).
TDateTime UnixToDateTime(int64_t seconds);
// A Unix time in milliseconds as "2026-12-08T13:00:00Z" (UTC, whole seconds).
std::string IsoTime(int64_t unix_ms);
int64_t DateTimeToUnix(TDateTime dt);

// Milliseconds from CLOCK_MONOTONIC, wrapping at 2^32.
uint32_t GetTickCount();
