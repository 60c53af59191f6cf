#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/connection_rows.h"
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

TEST(ConnectionRows, HostAndPortSplitAtTheFirstSlash)
{
    struct Case {
        const char* target;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"example.org/43000", "example.org", 43000}, {"10.0.0.1", "10.0.0.1", 42000},
        {"h/1/2", "h", 42000}, {"h/43000x", "h", 42000}, {"h/0", "h", 42000}, {"h/65536", "h", 42000},
        {"h/99999999999999999999", "h", 42000}, {"h/-1", "h", 42000},
        {"\x95\x5chost/42100", "\x95\x5chost", 42100}, // 0x5C inside a character
    };
    CConnectionRows rows;
    for (const Case& c : cases) {
        const int r = rows.getConnectNum();
        rows.setRecName(r, "n");
        rows.setRecTransport(r, "TCP");
        rows.setRecHostName(r, c.target);
        EXPECT_STREQ(rows.getRecHost(r), c.host) << c.target;
        EXPECT_EQ(rows.getRecPort(r), c.port) << c.target;
    }
}

} // namespace
