#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store/helpers.h"

namespace {

TEST(GetToken, SplitsOnCharacterBoundariesAndCutsLongTokens)
{
    struct Case {
        const char* text;
        const char* delim;
        std::size_t size;
        const char* tok;
        const char* rest; // nullptr: the end was reached
    };
    const Case cases[] = {
        {"USER a.b STATUS", nullptr, 64, "USER", "a.b STATUS"},
        {"echo.123:45 x", ":", 64, "echo.123", "45 x"},
        {",", nullptr, 64, "", ""},
        {"", nullptr, 64, "", nullptr},
        // 0x95 0x5C and 0x83 0x5C end in '\\'; 0xB1 is a half-width katakana.
        {"\x95\x5c\x83\x5c\xb1.next", nullptr, 64, "\x95\x5c\x83\x5c\xb1", "next"},
        {"ab\x95", nullptr, 64, "ab\x95", nullptr},
        {"abcdefgh next", nullptr, 5, "abcd", "next"},
        {"ab\x95\x5c" "c,d", nullptr, 4, "ab", "d"}, // never half a character
    };
    for (const Case& c : cases) {
        char tok[64];
        const char* rest = getToken(c.text, tok, c.size, c.delim);
        EXPECT_STREQ(tok, c.tok) << c.text;
        EXPECT_STREQ(rest ? rest : "<end>", c.rest ? c.rest : "<end>") << c.text;
    }
}

TEST(Hex, TextThatDoesNotFitOrIsOddIsRefusedWhole)
{
    BYTE out[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(hexToBin("0102030405", out, 2), 0);
    EXPECT_EQ(hexToBin("abc", out, 3), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(hexToBin("0aFF5c", out, 3), 3);
    EXPECT_EQ(out[2], 0x5C);
}

} // namespace
