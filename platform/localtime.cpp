#include "platform/localtime.h"

#include <cstring>
#include <limits>

namespace {

// Seconds from 1601-01-01 to 1970-01-01 (both UTC).
constexpr std::int64_t kEpochDelta = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

// SYSTEMTIME holds the years 1601 to 30827; anything outside does not convert.
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

bool fillFromTm(const struct tm& t, WORD ms, SYSTEMTIME* out)
{
    const long long year = static_cast<long long>(t.tm_year) + 1900;
    if (year < kFirstYear || year > kLastYear)
        return false;
    out->wYear = static_cast<WORD>(year);
    out->wMonth = static_cast<WORD>(t.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    out->wDay = static_cast<WORD>(t.tm_mday);
    out->wHour = static_cast<WORD>(t.tm_hour);
    out->wMinute = static_cast<WORD>(t.tm_min);
    // A leap second shows as the last second of its minute.
    out->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);
    out->wMilliseconds = ms;
    return true;
}

bool convert(std::int64_t secs, WORD ms, SYSTEMTIME* out)
{
    std::memset(out, 0, sizeof *out);
    if (secs < std::numeric_limits<time_t>::min() || secs > std::numeric_limits<time_t>::max())
        return false;
    const time_t t = static_cast<time_t>(secs);
    struct tm local {};
    if (!localtime_r(&t, &local))
        return false;
    if (!fillFromTm(local, ms, out)) {
        std::memset(out, 0, sizeof *out);
        return false;
    }
    return true;
}

} // namespace

void GetLocalTime(SYSTEMTIME* out)
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    convert(now.tv_sec, static_cast<WORD>(now.tv_nsec / 1000000), out);
}

std::int64_t unixTimeNow()
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

bool localTimeFromUnix(std::int64_t secs, SYSTEMTIME* out)
{
    return convert(secs, 0, out);
}

SYSTEMTIME localTimeDaysFrom(std::int64_t secs, int days)
{
    SYSTEMTIME st;
    const std::int64_t delta = static_cast<std::int64_t>(days) * 86400;
    if ((delta > 0 && secs > std::numeric_limits<std::int64_t>::max() - delta)
        || (delta < 0 && secs < std::numeric_limits<std::int64_t>::min() - delta)) {
        std::memset(&st, 0, sizeof st);
        return st;
    }
    localTimeFromUnix(secs + delta, &st);
    return st;
}

SYSTEMTIME localTimeDaysFromNow(int days)
{
    return localTimeDaysFrom(unixTimeNow(), days);
}

FILETIME fileTimeFromTimespec(const struct timespec& ts)
{
    FILETIME ft{0, 0};
    const std::int64_t secs = static_cast<std::int64_t>(ts.tv_sec);
    // Before 1601 there is nothing to express; clamp to the start.
    if (secs < -kEpochDelta)
        return ft;
    constexpr std::int64_t kMaxSecs =
        static_cast<std::int64_t>(std::numeric_limits<std::uint64_t>::max() / kTicksPerSecond) - 1
        - kEpochDelta;
    std::uint64_t ticks = std::numeric_limits<std::uint64_t>::max();
    if (secs <= kMaxSecs) {
        ticks = static_cast<std::uint64_t>(secs + kEpochDelta) * kTicksPerSecond
            + static_cast<std::uint64_t>(ts.tv_nsec) / 100;
    }
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

struct timespec timespecFromFileTime(const FILETIME& ft)
{
    const std::uint64_t ticks = fileTimeToU64(ft);
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDelta);
    ts.tv_nsec = static_cast<long>(ticks % kTicksPerSecond) * 100;
    return ts;
}
