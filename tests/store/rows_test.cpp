#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store/connection_rows.h"

namespace {

void addRow(CConnectionRows& rows, const char* name, const char* trs, const char* target,
            const char* comment = "")
{
    const int r = rows.getConnectNum();
    rows.setRecName(r, name);
    rows.setRecTransport(r, trs);
    rows.setRecHostName(r, target);
    rows.setRecComment(r, comment);
}

// --- Host and port ---

TEST(ConnectionRows, HostAndPortSplitAtTheFirstSlash)
{
    struct Case {
        const char* target;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"example.org/43000", "example.org", 43000}, {"10.0.0.1", "10.0.0.1", 42000}, {"", "", 42000},
        {"h/1/2", "h", 42000}, {"h/", "h", 42000}, {"h/abc", "h", 42000}, {"h/43000x", "h", 42000},
        {"h/0", "h", 42000}, {"h/65535", "h", 65535}, {"h/65536", "h", 42000},
        {"h/99999999999999999999", "h", 42000}, {"h/-1", "h", 42000}, {"h/ 80", "h", 42000},
        {"h/1", "h", 1}, {"h/080", "h", 80},
        // 0x5C may be the second byte of a character: the host comes out whole.
        {"\x95\x5chost/42100", "\x95\x5chost", 42100},
    };
    CConnectionRows rows;
    for (const Case& c : cases) {
        addRow(rows, "n", "TCP", c.target);
        const int r = rows.getConnectNum() - 1;
        EXPECT_STREQ(rows.getRecHost(r), c.host) << c.target;
        EXPECT_EQ(rows.getRecPort(r), c.port) << c.target;
        EXPECT_STREQ(rows.getRecHostName(r), c.target);
    }
}

// --- Getters and their buffers ---

TEST(ConnectionRows, LongCellsComeBackCutTo127Bytes)
{
    CConnectionRows rows;
    const std::string longText(200, 'x');
    addRow(rows, longText.c_str(), "TCP", longText.c_str(), longText.c_str());
    EXPECT_EQ(std::string(rows.getRecName(0)), std::string(127, 'x'));
    EXPECT_EQ(std::string(rows.getRecComment(0)), std::string(127, 'x'));
    EXPECT_EQ(std::string(rows.getRecHostName(0)), std::string(127, 'x'));
    EXPECT_EQ(std::string(rows.getRecHost(0)), std::string(127, 'x'));
    // The cell itself keeps everything.
    EXPECT_EQ(rows.cellText(0, CConnectionRows::COL_NAME), longText);

    // Never half a character.
    const std::string wide = std::string(126, 'y') + "\x83\x41";
    rows.setRecComment(0, wide.c_str());
    EXPECT_EQ(std::string(rows.getRecComment(0)), std::string(126, 'y'));
}

TEST(ConnectionRows, EachGetterHasItsOwnBuffer)
{
    CConnectionRows rows;
    addRow(rows, "name0", "SKYPE", "id0", "comment0");
    addRow(rows, "name1", "TCP", "host1/5", "comment1");
    const char* name = rows.getRecName(0);
    const char* trs = rows.getRecTransport(1);
    const char* comment = rows.getRecComment(0);
    const char* host = rows.getRecHost(1);
    const char* skype = rows.getRecSkypeId(0);
    EXPECT_STREQ(name, "name0");
    EXPECT_STREQ(trs, "TCP");
    EXPECT_STREQ(comment, "comment0");
    EXPECT_STREQ(host, "host1");
    EXPECT_STREQ(skype, "id0");
    // The next call of the same getter reuses its buffer.
    EXPECT_EQ(rows.getRecName(1), name);
    EXPECT_STREQ(name, "name1");
}

TEST(ConnectionRows, RowsThatDoNotExistReadEmptyAndIgnoreWrites)
{
    CConnectionRows rows;
    addRow(rows, "a", "TCP", "h");
    EXPECT_STREQ(rows.getRecName(1), "");
    EXPECT_STREQ(rows.getRecName(-1), "");
    EXPECT_EQ(rows.getRecPort(7), 42000);
    rows.setRecComment(1, "x");
    rows.setRecTransport(-1, "x");
    rows.setCellText(0, CConnectionRows::COLUMN_COUNT, "x");
    EXPECT_EQ(rows.getConnectNum(), 1);
    EXPECT_STREQ(rows.getRecComment(0), "");
}

// --- Row insertion and removal ---

TEST(ConnectionRows, SetRecNameInsertsARowAtTheIndex)
{
    CConnectionRows rows;
    addRow(rows, "first", "TCP", "h1");
    addRow(rows, "third", "TCP", "h3");
    rows.setRecName(1, "second");
    ASSERT_EQ(rows.getConnectNum(), 3);
    EXPECT_STREQ(rows.getRecName(1), "second");
    EXPECT_STREQ(rows.getRecTransport(1), ""); // a new row is empty but for its name
    EXPECT_STREQ(rows.getRecName(2), "third");
    EXPECT_STREQ(rows.getRecHostName(2), "h3");
    rows.setRecName(0, "zero");
    EXPECT_STREQ(rows.getRecName(0), "zero");
    rows.setRecName(99, "end"); // past the end: appended
    EXPECT_STREQ(rows.getRecName(4), "end");
    EXPECT_EQ(rows.rowCount(), 5);

    EXPECT_TRUE(rows.removeRow(0));
    EXPECT_FALSE(rows.removeRow(4));
    EXPECT_STREQ(rows.getRecName(0), "first");
    EXPECT_EQ(rows.rowCount(), 4);
}

// --- Skype acceptance ---

TEST(ConnectionRows, SkypeIdsAreAcceptedOnlyOnlineAndOnlyFromSkypeRows)
{
    CConnectionRows rows;
    addRow(rows, "a", "TCP", "bob");
    addRow(rows, "b", "SKYPE", "alice");
    EXPECT_EQ(rows.isAcceptSkypeId("alice", true), 1);
    EXPECT_EQ(rows.isAcceptSkypeId("alice", false), 0);
    EXPECT_EQ(rows.isAcceptSkypeId("bob", true), 0);
    EXPECT_EQ(rows.isAcceptSkypeId("Alice", true), 0);
    EXPECT_EQ(rows.isAcceptSkypeId("alic", true), 0);
    EXPECT_EQ(rows.isAcceptSkypeId(nullptr, true), 0);
}

// --- Finding and renaming ---

TEST(ConnectionRows, FindRecNameMatchesTransportAndHostPart)
{
    CConnectionRows rows;
    addRow(rows, "tcpNode", "TCP", "alice");
    addRow(rows, "hostNode", "TCP", "example.org/43000");
    addRow(rows, "skypeNode", "SKYPE", "carol");
    addRow(rows, "second", "SKYPE", "carol");
    std::string out = "stale";
    EXPECT_EQ(rows.findRecName(out, 0, "alice"), ""); // only a TCP row holds it
    EXPECT_EQ(rows.findRecName(out, 1, "alice"), "tcpNode");
    EXPECT_EQ(rows.findRecName(out, 1, "example.org"), "hostNode");
    EXPECT_EQ(rows.findRecName(out, 1, "example.org/43000"), "");
    EXPECT_EQ(rows.findRecName(out, 0, "carol"), "skypeNode"); // the first match
    EXPECT_EQ(rows.findRecName(out, 2, "carol"), "");
    EXPECT_EQ(rows.findRecName(out, 1, nullptr), "");
    // Hosts compare as getRecHost cuts them.
    addRow(rows, "long", "TCP", (std::string(150, 'h') + "/42001").c_str());
    EXPECT_EQ(rows.findRecName(out, 1, rows.getRecHost(4)), "long");
}

TEST(ConnectionRows, RenameChangesEveryMatchingRow)
{
    CConnectionRows rows;
    addRow(rows, "carol", "SKYPE", "carol");
    addRow(rows, "carol", "SKYPE", "carol");
    addRow(rows, "other", "SKYPE", "carol");
    addRow(rows, "carol", "TCP", "carol");
    rows.renameRecName(0, "carol", "carol", "NODE-C");
    EXPECT_STREQ(rows.getRecName(0), "NODE-C");
    EXPECT_STREQ(rows.getRecName(1), "NODE-C");
    EXPECT_STREQ(rows.getRecName(2), "other");
    EXPECT_STREQ(rows.getRecName(3), "carol");
}

} // namespace
