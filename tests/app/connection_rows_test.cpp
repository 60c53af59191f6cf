// The connection rows' target column: host and port split at the first
// "/" (never at a 0x5C inside a CP932 character), any port that is not a
// plain number 1..65535 taken as the default.
#include <gtest/gtest.h>

#include "app/connection_rows.h"

namespace {

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
