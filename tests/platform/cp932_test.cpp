#include "platform/cp932.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// 表 in CP932: its second byte is the backslash byte.
const std::string kHyo = "\x95\x5C";
const std::string kHyoUtf8 = "\xE8\xA1\xA8";

TEST(Cp932, NamesRoundTrip)
{
    EXPECT_EQ(cp932::toUtf8(kHyo + ".txt"), kHyoUtf8 + ".txt");
    EXPECT_EQ(cp932::fromUtf8(kHyoUtf8 + ".txt"), kHyo + ".txt");
    EXPECT_EQ(cp932::toUtf8("plain name 1.dat"), "plain name 1.dat");
    // Half-width katakana: one byte in CP932, three in UTF-8.
    EXPECT_EQ(cp932::toUtf8("\xB1"), "\xEF\xBD\xB1");
    EXPECT_EQ(cp932::toUtf8(""), "");
    EXPECT_EQ(cp932::fromUtf8(""), "");
}

TEST(Cp932, RefusesWhatDoesNotComeBackTheSame)
{
    // Characters with two codes in CP932 convert one way only: the NEC
    // selected IBM extension 0xED40 comes back as 0xFA5C, and 0x8790 (≒) as
    // 0x81E0.
    EXPECT_FALSE(cp932::toUtf8("\xED\x40"));
    EXPECT_FALSE(cp932::toUtf8("\x87\x90"));
    // Not CP932 at all: unassigned bytes, a cut double-byte character.
    EXPECT_FALSE(cp932::toUtf8("\x80"));
    EXPECT_FALSE(cp932::toUtf8("\xA0"));
    EXPECT_FALSE(cp932::toUtf8("ab\x95"));
    // UTF-8 with no CP932 form, or not UTF-8.
    EXPECT_FALSE(cp932::fromUtf8("caf\xC3\xA9"));
    EXPECT_FALSE(cp932::fromUtf8("\xFF"));
    EXPECT_FALSE(cp932::fromUtf8("\xE8\xA1"));
}

TEST(Cp932, CutsNeverSplitADoubleByteCharacter)
{
    const std::string s = "a" + kHyo + "b";
    EXPECT_EQ(cp932::prefixOnBoundary(s, 0), 0u);
    EXPECT_EQ(cp932::prefixOnBoundary(s, 1), 1u);
    EXPECT_EQ(cp932::prefixOnBoundary(s, 2), 1u);
    EXPECT_EQ(cp932::prefixOnBoundary(s, 3), 3u);
    EXPECT_EQ(cp932::prefixOnBoundary(s, 99), 4u);
    EXPECT_EQ(cp932::cutText(s, 2), "a");
    EXPECT_EQ(cp932::cutText(kHyo + kHyo, 3), kHyo);
    // A lone lead byte at the very end has nothing to split.
    EXPECT_EQ(cp932::prefixOnBoundary("ab\x95", 3), 3u);
}

TEST(Cp932, CopyFieldFillsAndPads)
{
    char field[4];
    std::memset(field, 'x', sizeof field);
    cp932::copyField(field, sizeof field, ("ab" + kHyo + "c").c_str());
    EXPECT_EQ(std::string(field, 4), "ab" + kHyo); // full, no terminating zero
    EXPECT_EQ(cp932::fieldText(field, 4), "ab" + kHyo);

    std::memset(field, 'x', sizeof field);
    cp932::copyField(field, sizeof field, ("abc" + kHyo).c_str());
    EXPECT_EQ(std::string(field, 4), std::string("abc\0", 4)); // 表 would straddle the end

    std::memset(field, 'x', sizeof field);
    cp932::copyField(field, sizeof field, "a");
    EXPECT_EQ(std::string(field, 4), std::string("a\0\0\0", 4));

    std::memset(field, 'x', sizeof field);
    cp932::copyField(field, sizeof field, nullptr);
    EXPECT_EQ(std::string(field, 4), std::string(4, '\0'));
}

TEST(Cp932, CopyTextTerminatesOnABoundary)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(cp932::copyText(buf, 3, "a" + kHyo), 1u);
    EXPECT_STREQ(buf, "a");
    EXPECT_EQ(cp932::copyText(buf, 4, "a" + kHyo), 3u);
    EXPECT_EQ(std::string(buf), "a" + kHyo);
    EXPECT_EQ(cp932::copyText(buf, 1, "abc"), 0u);
    EXPECT_STREQ(buf, "");
    buf[0] = 'x';
    EXPECT_EQ(cp932::copyText(buf, 0, "abc"), 0u);
    EXPECT_EQ(buf[0], 'x');
}

TEST(Cp932, FindsCharactersNotSecondBytes)
{
    const std::string s = kHyo + "\\x";
    EXPECT_EQ(cp932::findChar(s, '\\'), 2u);
    EXPECT_EQ(cp932::findChar(kHyo, '\\'), std::string_view::npos);
    EXPECT_EQ(cp932::findChar(s.c_str(), '\\'), s.c_str() + 2);
    EXPECT_EQ(cp932::findChar(kHyo.c_str(), '\\'), nullptr);
    EXPECT_EQ(cp932::findChar(s, 'x'), 3u);
}

TEST(Cp932, Comparisons)
{
    EXPECT_EQ(cp932::compare("abc", "abc"), 0);
    EXPECT_LT(cp932::compare("abc", "abd"), 0);
    EXPECT_GT(cp932::compare(kHyo.c_str(), "a"), 0); // bytes compare unsigned

    const char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(cp932::fieldEquals(full, 4, "abcd", 5));
    EXPECT_FALSE(cp932::fieldEquals(full, 4, "abc", 4));

    EXPECT_TRUE(cp932::equalsIgnoreAsciiCase("System", "SYSTEM"));
    EXPECT_FALSE(cp932::equalsIgnoreAsciiCase("SYSTEM", "SYSTEMS"));
    // 0x83 0x61 and 0x83 0x41 are two different characters whose second
    // bytes only look like 'a' and 'A'.
    EXPECT_FALSE(cp932::equalsIgnoreAsciiCase("\x83\x61", "\x83\x41"));
    EXPECT_TRUE(cp932::equalsIgnoreAsciiCase(kHyo + "a", kHyo + "A"));
}

} // namespace
