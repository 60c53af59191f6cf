#include "platform/paths.h"

#include <gtest/gtest.h>

namespace {

TEST(Paths, JoinNameRefusesEveryUnsafeName)
{
    const char* refused[] = {"", ".", "..", "a/b", "/etc", "c:x", "a\\b", "..\\x", "a\x01" "b",
                             "a\x7F", "ab\x95", "\x95/", "\xED\x40", "\x80"};
    for (const char* name : refused)
        EXPECT_FALSE(paths::joinName("/base", name)) << name;
    EXPECT_FALSE(paths::isSafeName(std::string_view("a\0b", 3)));
    EXPECT_FALSE(paths::joinName("", "ok.txt"));
    // 表 is 0x95 0x5C: that 0x5C is half of the character.
    EXPECT_EQ(paths::joinName("/base", "\x95\x5C.txt"), "/base/\xE8\xA1\xA8.txt");
}

// A name too long for a folder is joined under a shortened name of its own:
// whole characters of its start, "·" and a hash of the whole name, with room
// left for a suffix; the same name gives the same path every time.
TEST(Paths, ANameTooLongForAFolderIsJoinedUnderOneShortenedNameOfItsOwn)
{
    std::string kanji, other; // 120 characters: 240 bytes of CP932, 360 of UTF-8
    for (int i = 0; i < 120; ++i)
        kanji += "\x8A\xBF"; // 漢
    other = kanji.substr(0, 238) + "\x8E\x9A"; // the last one 字
    const std::optional<std::string> path = paths::joinName("/base", kanji);
    ASSERT_TRUE(path);
    const std::string name = path->substr(6);
    EXPECT_LE(name.size(), paths::SHORT_NAME_BYTES);
    EXPECT_EQ(name.size(), 3 * 75 + 2 + 16) << "whole characters only";
    EXPECT_EQ(name.substr(0, 3), "\xE6\xBC\xA2");
    EXPECT_EQ(name.substr(225, 2), "\xC2\xB7");
    EXPECT_EQ(paths::joinName("/base", kanji), path);
    EXPECT_NE(paths::joinName("/base", other), path);
    // 85 characters fit in a folder: the name stays whole.
    EXPECT_EQ(paths::joinName("/base", kanji.substr(0, 170))->size(), 6 + 255u);
}

} // namespace
