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

} // namespace
