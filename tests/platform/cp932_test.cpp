#include "platform/cp932.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// 表 in CP932: its second byte is the backslash byte.
const std::string kHyo = "\x95\x5C";

TEST(Cp932, ConvertsOnlyWhatComesBackTheSame)
{
    EXPECT_EQ(cp932::toUtf8(kHyo + ".txt"), "\xE8\xA1\xA8.txt");
    EXPECT_EQ(cp932::fromUtf8("\xE8\xA1\xA8.txt"), kHyo + ".txt");
    // Two codes for one character, unassigned bytes, a cut character.
    for (const char* bad : {"\xED\x40", "\x87\x90", "\x80", "ab\x95"})
        EXPECT_FALSE(cp932::toUtf8(bad)) << bad;
    for (const char* bad : {"caf\xC3\xA9", "\xFF", "\xE8\xA1"})
        EXPECT_FALSE(cp932::fromUtf8(bad)) << bad;
    // A neighbour's name on the console: no control byte gets through, and
    // what does not convert keeps only its ASCII.
    EXPECT_EQ(cp932::consoleText(kHyo + "\n\x1B[2J\x7F"), "\xE8\xA1\xA8??[2J?");
    EXPECT_EQ(cp932::consoleText("N\x87\x90\x80x"), "N???x");
}

TEST(Cp932, TheBackslashByteInsideACharacterIsNeverASeparatorOrACut)
{
    const std::string s = "a" + kHyo + "b";
    EXPECT_EQ(cp932::prefixOnBoundary(s, 2), 1u);
    EXPECT_EQ(cp932::cutText(kHyo + kHyo, 3), kHyo);
    EXPECT_EQ(cp932::findChar(kHyo + "\\x", '\\'), 2u);
    EXPECT_EQ(cp932::findChar(kHyo.c_str(), '\\'), nullptr);

    char field[4];
    cp932::copyField(field, sizeof field, ("abc" + kHyo).c_str());
    EXPECT_EQ(std::string(field, 4), std::string("abc\0", 4)); // 表 would straddle the end
    char buf[8];
    EXPECT_EQ(cp932::copyText(buf, 3, "a" + kHyo), 1u);
    EXPECT_STREQ(buf, "a");
    // 0x83 0x61 and 0x83 0x41 only look like 'a' and 'A' in their second byte.
    EXPECT_FALSE(cp932::equalsIgnoreAsciiCase("\x83\x61", "\x83\x41"));
}

} // namespace
