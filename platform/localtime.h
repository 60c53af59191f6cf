// Local wall-clock time in the shapes the records use.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/wintypes.h"

// The current local time, with milliseconds (wDayOfWeek 0 = Sunday).
void GetLocalTime(SYSTEMTIME* out);

// Seconds since 1970-01-01 UTC, now.
std::int64_t unixTimeNow();

// Local calendar fields of the instant `secs` (seconds since 1970 UTC), with
// milliseconds 0 and the day of the week filled. Returns false and leaves
// *out all zero when the instant cannot be converted (also when its year
// lies outside 1601-30827, which SYSTEMTIME cannot hold).
bool localTimeFromUnix(std::int64_t secs, SYSTEMTIME* out);

// "now + days" as local calendar fields (milliseconds 0): days x 86400
// seconds are added in signed 64-bit arithmetic, so a change of the clock
// (daylight saving) in between shows in the wall-clock result. All zero when
// the conversion fails.
SYSTEMTIME localTimeDaysFromNow(int days);
// The same from a given instant (seconds since 1970 UTC) instead of now.
SYSTEMTIME localTimeDaysFrom(std::int64_t secs, int days);

// 100 ns units since 1601-01-01 UTC (0 for instants before 1601).
FILETIME fileTimeFromTimespec(const struct timespec& ts);
// The instant a FILETIME names, which fileTimeFromTimespec gives back.
struct timespec timespecFromFileTime(const FILETIME& ft);
