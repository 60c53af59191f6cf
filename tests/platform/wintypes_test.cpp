#include "platform/wintypes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

template <typename T>
std::uint32_t u32At(const T& s, std::size_t off)
{
    std::uint32_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&s) + off, 4);
    return v;
}

// The records carry these structures as raw bytes: check where each field's
// bytes land, in little-endian order.
TEST(WinTypes, SystemTimeBytes)
{
    const SYSTEMTIME st{2010, 10, 4, 14, 10, 15, 30, 250};
    unsigned char b[16];
    std::memcpy(b, &st, sizeof b);
    const unsigned char expected[16] = {0xDA, 0x07, 10, 0, 4, 0, 14, 0, 10, 0, 15, 0, 30, 0, 0xFA, 0};
    EXPECT_EQ(std::memcmp(b, expected, sizeof b), 0);
}

TEST(WinTypes, FindDataBytes)
{
    WIN32_FIND_DATAA fd;
    std::memset(&fd, 0, sizeof fd);
    fd.dwFileAttributes = 0x20;
    fd.ftCreationTime = {0x11111111, 0x22222222};
    fd.ftLastAccessTime = {0x33333333, 0x44444444};
    fd.ftLastWriteTime = {0x55555555, 0x66666666};
    fd.nFileSizeHigh = 1;
    fd.nFileSizeLow = 0x01020304;
    std::memcpy(fd.cFileName, "a.txt", 5);
    fd.cAlternateFileName[0] = 'A';

    EXPECT_EQ(u32At(fd, 0), 0x20u);
    EXPECT_EQ(u32At(fd, 4), 0x11111111u);
    EXPECT_EQ(u32At(fd, 8), 0x22222222u);
    EXPECT_EQ(u32At(fd, 12), 0x33333333u);
    EXPECT_EQ(u32At(fd, 20), 0x55555555u);
    EXPECT_EQ(u32At(fd, 24), 0x66666666u);
    EXPECT_EQ(u32At(fd, 28), 1u);
    const auto* raw = reinterpret_cast<const unsigned char*>(&fd);
    EXPECT_EQ(raw[32], 0x04); // size low word, least significant byte first
    EXPECT_EQ(raw[35], 0x01);
    EXPECT_EQ(std::memcmp(raw + 44, "a.txt", 5), 0);
    EXPECT_EQ(raw[304], 'A');
    EXPECT_EQ(raw[318], 0); // the two bytes of tail padding
    EXPECT_EQ(raw[319], 0);
    EXPECT_EQ(fileTimeToU64(fd.ftLastWriteTime), 0x6666666655555555ull);
}

} // namespace
