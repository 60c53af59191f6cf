#include "platform/localtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// Expiry is whole days of seconds: across the spring change in Berlin,
// 3 x 86400 s after 10:15 CET is 11:15 CEST on the wall clock.
TEST(LocalTime, DaysAheadFollowTheClockOverASummerTimeChange)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 30;
    t.tm_hour = 9;
    t.tm_min = 15;
    const SYSTEMTIME st = localTimeDaysFrom(timegm(&t), 3);
    EXPECT_EQ(st.wMonth, 4);
    EXPECT_EQ(st.wDay, 2);
    EXPECT_EQ(st.wHour, 11);
    EXPECT_EQ(st.wMinute, 15);
}

} // namespace
