#include "platform/localtime.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// POSIX zone strings, so the tests need no zone database.
constexpr const char* kTokyo = "JST-9";
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

void setZone(const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

std::int64_t utc(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

void expectFields(const SYSTEMTIME& st, int year, int month, int day, int dayOfWeek, int hour,
                  int minute, int second)
{
    EXPECT_EQ(st.wYear, year);
    EXPECT_EQ(st.wMonth, month);
    EXPECT_EQ(st.wDay, day);
    EXPECT_EQ(st.wDayOfWeek, dayOfWeek);
    EXPECT_EQ(st.wHour, hour);
    EXPECT_EQ(st.wMinute, minute);
    EXPECT_EQ(st.wSecond, second);
    EXPECT_EQ(st.wMilliseconds, 0);
}

bool isAllZero(const SYSTEMTIME& st)
{
    static const SYSTEMTIME zero{};
    return std::memcmp(&st, &zero, sizeof st) == 0;
}

TEST(LocalTime, FieldsOfAnInstantInTwoZones)
{
    SYSTEMTIME st;
    setZone(kTokyo);
    ASSERT_TRUE(localTimeFromUnix(0, &st));
    expectFields(st, 1970, 1, 1, 4, 9, 0, 0); // a Thursday
    setZone(kBerlin);
    ASSERT_TRUE(localTimeFromUnix(utc(2024, 7, 14, 12, 0, 5), &st));
    expectFields(st, 2024, 7, 14, 0, 14, 0, 5); // a Sunday, summer time
}

TEST(LocalTime, DaysAheadAreWholeDaysOfSeconds)
{
    SYSTEMTIME st;
    // Without a change of the clock the wall-clock time stays.
    setZone(kTokyo);
    st = localTimeDaysFrom(utc(2010, 10, 14, 1, 15, 30), 3);
    expectFields(st, 2010, 10, 17, 0, 10, 15, 30);
    st = localTimeDaysFrom(utc(2010, 10, 14, 1, 15, 30), 0);
    expectFields(st, 2010, 10, 14, 4, 10, 15, 30);
    st = localTimeDaysFrom(utc(2010, 10, 14, 1, 15, 30), -14);
    expectFields(st, 2010, 9, 30, 4, 10, 15, 30);

    // Across the spring change in Berlin, 3 x 86400 s later is one hour
    // later on the wall clock: 10:15 CET becomes 11:15 CEST.
    setZone(kBerlin);
    st = localTimeDaysFrom(utc(2024, 3, 30, 9, 15, 30), 3);
    expectFields(st, 2024, 4, 2, 2, 11, 15, 30);
    // and across the autumn change one hour earlier.
    st = localTimeDaysFrom(utc(2024, 10, 26, 8, 0, 0), 1);
    expectFields(st, 2024, 10, 27, 0, 9, 0, 0);
}

TEST(LocalTime, UnconvertibleInstantsGiveZero)
{
    setZone(kTokyo);
    EXPECT_TRUE(isAllZero(localTimeDaysFrom(utc(2024, 1, 1, 0, 0, 0), INT_MAX)));
    EXPECT_TRUE(isAllZero(localTimeDaysFrom(LLONG_MAX - 10, 1)));
    SYSTEMTIME st;
    std::memset(&st, 0xAB, sizeof st);
    EXPECT_FALSE(localTimeFromUnix(LLONG_MIN, &st));
    EXPECT_TRUE(isAllZero(st));
    std::memset(&st, 0xAB, sizeof st);
    EXPECT_FALSE(localTimeFromUnix(utc(1600, 12, 31, 0, 0, 0), &st)); // before SYSTEMTIME's range
    EXPECT_TRUE(isAllZero(st));
}

TEST(LocalTime, NowAgreesWithTheClock)
{
    for (const char* zone : {kTokyo, kBerlin}) {
        setZone(zone);
        // Retry when the second turns over between the two readings.
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::int64_t before = unixTimeNow();
            SYSTEMTIME now;
            GetLocalTime(&now);
            const SYSTEMTIME ahead = localTimeDaysFromNow(2);
            if (unixTimeNow() != before)
                continue;
            SYSTEMTIME expected;
            ASSERT_TRUE(localTimeFromUnix(before, &expected));
            EXPECT_LT(now.wMilliseconds, 1000);
            now.wMilliseconds = 0;
            EXPECT_EQ(std::memcmp(&now, &expected, sizeof now), 0) << zone;
            const SYSTEMTIME expectedAhead = localTimeDaysFrom(before, 2);
            EXPECT_EQ(std::memcmp(&ahead, &expectedAhead, sizeof ahead), 0) << zone;
            break;
        }
    }
}

TEST(LocalTime, FileTimeCountsFrom1601)
{
    FILETIME ft = fileTimeFromTimespec(timespec{0, 0});
    EXPECT_EQ(fileTimeToU64(ft), 116444736000000000ull);
    EXPECT_EQ(ft.dwHighDateTime, 0x019DB1DEu);
    EXPECT_EQ(ft.dwLowDateTime, 0xD53E8000u);
    ft = fileTimeFromTimespec(timespec{1, 999999999});
    EXPECT_EQ(fileTimeToU64(ft), 116444736000000000ull + 10000000 + 9999999);
    ft = fileTimeFromTimespec(timespec{-11644473600, 0});
    EXPECT_EQ(fileTimeToU64(ft), 0u);
    ft = fileTimeFromTimespec(timespec{-11644473601, 0});
    EXPECT_EQ(fileTimeToU64(ft), 0u);
}

} // namespace
