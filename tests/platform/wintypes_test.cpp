#include "platform/wintypes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The records carry these structures as raw bytes, little-endian.
TEST(WinTypes, SystemTimeAndFileTimeBytes)
{
    const SYSTEMTIME st{2010, 10, 4, 14, 10, 15, 30, 250};
    unsigned char b[16];
    std::memcpy(b, &st, sizeof b);
    const unsigned char expected[16] = {0xDA, 0x07, 10, 0, 4, 0, 14, 0, 10, 0, 15, 0, 30, 0, 0xFA, 0};
    EXPECT_EQ(std::memcmp(b, expected, sizeof b), 0);

    const FILETIME ft{0x55555555, 0x66666666};
    EXPECT_EQ(fileTimeToU64(ft), 0x6666666655555555ull);
}

} // namespace
