// Local wall-clock time in the shapes the records use.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/wintypes.h"

// The current local time, with milliseconds.
void GetLocalTime(SYSTEMTIME* out);

// Seconds since 1970-01-01 UTC, now.
std::int64_t unixTimeNow();

// Local calendar fields of the instant `secs` (seconds since 1970 UTC), with
// milliseconds 0 and the day of the week filled. Returns false and leaves
// *out all zero when the instant cannot be converted.
bool localTimeFromUnix(std::int64_t secs, SYSTEMTIME* out);

// "now + days" as local calendar fields (milliseconds 0), computed in signed
// 64-bit seconds; all zero when the conversion fails.
SYSTEMTIME localTimeDaysFromNow(int days);

// 100 ns units since 1601-01-01 UTC.
FILETIME fileTimeFromTimespec(const struct timespec& ts);
