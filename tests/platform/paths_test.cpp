#include "platform/paths.h"

#include <gtest/gtest.h>

namespace {

TEST(Paths, JoinNameRefusesEveryUnsafeName)
{
    const char* refused[] = {
        "",          // empty
        ".",         // the folder itself
        "..",        // its parent
        "a/b",       // a second component
        "/etc",      // an absolute path
        "c:x",       // a drive
        "a\\b",      // a backslash as a character
        "..\\x",     // one that would climb on Windows
        "a\x01" "b", // control characters
        "a\x1F",
        "a\x7F",
        "ab\x95",    // a cut double-byte character
        "\x95/",     // a lead byte before '/'
        "\xED\x40",  // converts one way only
        "\x80",      // not CP932
    };
    for (const char* name : refused) {
        EXPECT_FALSE(paths::isSafeName(name)) << name;
        EXPECT_FALSE(paths::joinName("/base", name)) << name;
    }
    EXPECT_FALSE(paths::isSafeName(std::string_view("a\0b", 3)));
    EXPECT_FALSE(paths::joinName("", "ok.txt"));
}

TEST(Paths, JoinNameAcceptsBackslashByteInsideACharacter)
{
    // 表 is 0x95 0x5C: the 0x5C there is half of the character.
    EXPECT_TRUE(paths::isSafeName("\x95\x5C.txt"));
    EXPECT_EQ(paths::joinName("/base", "\x95\x5C.txt"), "/base/\xE8\xA1\xA8.txt");
    EXPECT_EQ(paths::joinName("/base/", "...x"), "/base/...x");
    EXPECT_EQ(paths::joinName("/base", "a b.lnk"), "/base/a b.lnk");
}

TEST(Paths, FixedJoinAndSplit)
{
    EXPECT_EQ(paths::joinFixed("/w", "SEND"), "/w/SEND");
    EXPECT_EQ(paths::joinFixed("/w/", "SEND"), "/w/SEND");
    EXPECT_EQ(paths::joinFixed("", "SEND"), "SEND");
    EXPECT_EQ(paths::baseName("/w/SEND/a.txt"), "a.txt");
    EXPECT_EQ(paths::baseName("a.txt"), "a.txt");
    EXPECT_EQ(paths::dirName("/w/SEND/a.txt"), "/w/SEND");
    EXPECT_EQ(paths::dirName("/a.txt"), "/");
    EXPECT_EQ(paths::dirName("a.txt"), "");
}

} // namespace
