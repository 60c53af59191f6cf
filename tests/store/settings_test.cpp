#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "store/settings.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::TestSettings;
using testsupport::writeFile;

std::string lines(std::initializer_list<std::string> ls)
{
    std::string s;
    for (const std::string& l : ls)
        s += l + "\r\n";
    return s;
}

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() : m_cd(dir.path()) {}
    std::string ini() const { return dir.file("Yuvo.ini"); }
    std::string value(const char* section, const char* key) const
    {
        char buf[300];
        platform::GetPrivateProfileStringA(section, key, "<none>", buf, sizeof buf, ini());
        return buf;
    }
    testsupport::TempDir dir;
    testsupport::ScopedChdir m_cd;
};

TEST_F(SettingsTest, OverlongNamesAreCutOnACharacterBoundaryAndDaysClamped)
{
    // The node name's 32nd byte would be the first half of 表 (0x95 0x5C).
    writeFile(ini(), lines({"[SYSTEM]", "PARTY=" + std::string(23, 'p') + "\x83\x41" + "tail",
                            "NAME=" + std::string(31, 'n') + "\x95\x5c" + "tail", "LIMITDAY=99999999"}));
    TestSettings s;
    s.readSetting();
    EXPECT_EQ(s.nodeName, std::string(31, 'n'));
    EXPECT_EQ(s.partyName, std::string(23, 'p'));
    EXPECT_EQ(s.limitDay, 3650);

    // Each is said, with the value the node uses.
    const auto notices = s.takeSettingNotices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_NE(notices[0].find(std::string(23, 'p')), std::string::npos);
    EXPECT_NE(notices[1].find(std::string(31, 'n')), std::string::npos);
    EXPECT_NE(notices[2].find("3650"), std::string::npos);
    EXPECT_TRUE(s.takeSettingNotices().empty());

    // The file keeps its values until they are changed: a cut name written
    // back would make the node another node for good.
    const std::string before = testsupport::readFile(ini());
    ASSERT_TRUE(s.writeSetting());
    EXPECT_EQ(value("SYSTEM", "NAME"), std::string(31, 'n') + "\x95\x5ctail");
    EXPECT_EQ(value("SYSTEM", "PARTY"), std::string(23, 'p') + "\x83\x41tail");
    EXPECT_EQ(value("SYSTEM", "LIMITDAY"), "99999999");
    s.nodeName = "NEW";
    s.limitDay = 7;
    ASSERT_TRUE(s.writeSetting());
    EXPECT_EQ(value("SYSTEM", "NAME"), "NEW");
    EXPECT_EQ(value("SYSTEM", "LIMITDAY"), "7");
    EXPECT_EQ(value("SYSTEM", "PARTY"), std::string(23, 'p') + "\x83\x41tail");
    (void)before;
}

// A file saved with lone CR line ends is read line by line, and a stop
// changes values in place instead of growing one endless line.
TEST_F(SettingsTest, LoneCarriageReturnsEndLines)
{
    writeFile(ini(), "[SYSTEM]\rPARTY=P\rNAME=N1\rLIMITDAY=5\rCONNECTNUM=1\r[REC1]\rNAME=B\rTRS=TCP\r"
                     "HOSTNAME=127.0.0.1\r");
    TestSettings s;
    s.readSetting();
    EXPECT_EQ(s.partyName, "P");
    EXPECT_EQ(s.nodeName, "N1");
    EXPECT_EQ(s.limitDay, 5);
    ASSERT_EQ(s.getConnectNum(), 1);
    EXPECT_STREQ(s.getRecHostName(0), "127.0.0.1");
    const std::size_t size = testsupport::readFile(ini()).size();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(s.writeSetting());
    const std::string after = testsupport::readFile(ini());
    EXPECT_EQ(after.find('\n'), std::string::npos) << "the file keeps its line ends";
    EXPECT_LT(after.size(), size + 60) << "only the keys the file lacked are added, once:\n" << after;
    TestSettings again;
    again.readSetting();
    EXPECT_EQ(again.nodeName, "N1");
    EXPECT_EQ(again.getConnectNum(), 1);
}

TEST_F(SettingsTest, InvalidSectionsAreSkippedAndTheRestMoveUp)
{
    writeFile(ini(), lines({"[SYSTEM]", "CONNECTNUM=5",
                            "[REC1]", "TRS=TCP", "HOSTNAME=nameless",
                            "[REC2]", "NAME=good", "TRS=SKYPE", "SKYPEID=alice", "HOSTNAME=ignored",
                            "[REC3]", "NAME=skypeNoId", "TRS=SKYPE", "HOSTNAME=h",
                            "[REC4]", "NAME=tcpNoHost", "TRS=TCP", "SKYPEID=bob",
                            "[REC5]", "NAME=last", "TRS=TCP", "HOSTNAME=h7/43000"}));
    TestSettings s;
    s.readSetting();
    ASSERT_EQ(s.getConnectNum(), 2);
    EXPECT_STREQ(s.getRecSkypeId(0), "alice");
    EXPECT_EQ(s.getRecPort(1), 43000);
    // In the file each row stays in its section, and the sections skipped
    // stay as written.
    s.writeSetting();
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "5");
    EXPECT_EQ(value("REC2", "HOSTNAME"), ""); // a Skype row keeps no host
    EXPECT_EQ(value("REC1", "HOSTNAME"), "nameless");
    EXPECT_EQ(value("REC5", "NAME"), "last");
}

TEST_F(SettingsTest, WritingKeepsKeysItDoesNotOwn)
{
    writeFile(ini(), lines({"; settings", "[SYSTEM]", "PARTY=old", "NODESKYPEID=me.skype", "INFOMATION=8183",
                            "[OTHER]", "X=1"}));
    TestSettings s;
    s.partyName = "\x95\x5c";
    s.writeSetting();
    EXPECT_EQ(value("SYSTEM", "PARTY"), "\x95\x5c");
    EXPECT_EQ(value("SYSTEM", "NODESKYPEID"), "me.skype");
    EXPECT_EQ(value("SYSTEM", "INFOMATION"), "8183");
    EXPECT_EQ(value("OTHER", "X"), "1");
    EXPECT_EQ(testsupport::readFile(ini()).rfind("; settings\r\n", 0), 0u);
}

// Mistyped settings: numbers that are none, ports out of range and days
// below it give the default (days above it are cut to it); each is said with its key and
// the text found, and the file keeps the text under its one [SYSTEM] (a
// byte-order mark before it, or no such line at all). Names that are not
// set, saved as UTF-8 or refused by other nodes are said with their key.
TEST_F(SettingsTest, MistypedValuesAreSaidAndKeptInTheFile)
{
    const std::string utf8Party = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"; // テスト
    struct Case {
        std::string head, days, port, party, name;
        int usedDays, usedPort;
        std::size_t notices;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBF[SYSTEM]", "three", "abc", "P", "N", 3, 42000, 2, {"LIMITDAY", "three", "LISTENPORT", "abc"}},
        {"[SYSTEM]", "-1", "70000", "P", "N", 3, 42000, 2, {"-1", "70000"}},
        {"[SYSTEM]", "99999999999", "65535", "P", "N", 3650, 65535, 1, {"99999999999"}},
        {";", "5", "43000", "P", "N", 3, 42000, 2, {"PARTY", "NAME"}},
        {"[SYSTEM]", "5", "43000", utf8Party, "a/b", 5, 43000, 2, {"PARTY", "\x83\x65\x83\x58\x83\x67", "NAME"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.days);
        writeFile(ini(), lines({c.head, "PARTY=" + c.party, "NAME=" + c.name, "LIMITDAY=" + c.days,
                                "LISTENPORT=" + c.port}));
        TestSettings s;
        s.readSetting();
        EXPECT_EQ(s.limitDay, c.usedDays);
        EXPECT_EQ(s.listenPort, c.usedPort);
        const auto notices = s.takeSettingNotices();
        std::string said;
        for (const std::string& t : notices)
            said += t;
        EXPECT_EQ(notices.size(), c.notices) << said;
        for (const std::string& part : c.said)
            EXPECT_NE(said.find(part), std::string::npos) << part;
        ASSERT_TRUE(s.writeSetting());
        const std::string text = testsupport::readFile(ini());
        EXPECT_EQ(text.rfind(c.head, 0), 0u);
        EXPECT_EQ(text.find("[SYSTEM]"), text.rfind("[SYSTEM]")) << text;
        if (c.head != ";") {
            EXPECT_EQ(value("SYSTEM", "LIMITDAY") + value("SYSTEM", "LISTENPORT"), c.days + c.port);
        }
    }
}

// Hand-typed values the node cannot use as written: each is said with its
// key (and section) and what was found; the node takes the default, or the
// sections the user wrote, and keeps every odd row without dialling it; the
// file keeps what the user wrote until the rows are changed.
TEST_F(SettingsTest, HandTypedValuesTheNodeCannotUseAreSaidAndKeptInTheFile)
{
    struct Kept {
        const char* section;
        const char* key;
        std::string value; // "<none>": no such key
    };
    struct Case {
        std::vector<std::string> system, sections;
        int usedDays, usedPort;
        std::vector<std::string> rows; // NAME TRS target
        std::size_t notices;
        std::vector<std::string> said;
        std::vector<Kept> kept;
        std::string countAfterAChange; // CONNECTNUM once a row was changed in the window
        std::vector<Kept> keptAfterAChange = {};
    };
    const Case cases[] = {
        {{"LIMITDAY=-1", "LISTENPORT=0x10"}, {}, 3, 42000, {}, 2, {"LIMITDAY", "-1", "LISTENPORT", "0x10"},
         {{"SYSTEM", "LIMITDAY", "-1"}, {"SYSTEM", "LISTENPORT", "0x10"}, {"SYSTEM", "CONNECTNUM", "0"}}, ""},
        {{"LIMITDAY=", "LISTENPORT=43000", "CONNECTNUM=1"}, {"[REC1]", "NAME=B", "TRS=tcp", "HOSTNAME=h/43001"}, 3,
         43000, {"B TCP h/43001"}, 1, {"LIMITDAY"}, {{"SYSTEM", "LIMITDAY", ""}, {"REC1", "TRS", "TCP"}}, "1"},
        {{"LIMITDAY=0"},
         {"[REC1]", "NAME=B", "TRS=TCP", "HOSTNAME=h", "[REC2]", "NAME=C", "TRS=Skype", "SKYPEID=c.id"}, 0, 42000,
         {"B TCP h", "C SKYPE c.id"}, 1, {"CONNECTNUM", "[REC1]", "[REC2]"},
         {{"SYSTEM", "CONNECTNUM", "<none>"}, {"REC2", "TRS", "Skype"}}, "2"},
        {{"CONNECTNUM=abc"},
         {"[REC1]", "NAME=B", "TRS=UDP", "HOSTNAME=h", "[REC3]", "NAME=C", "TRS=TCP", "HOSTNAME=127.0.0.1:43000"}, 3,
         42000, {"B UDP h", "C TCP 127.0.0.1:43000"}, 3, {"abc", "[REC1]", "UDP", "[REC3]", "127.0.0.1:43000"},
         {{"SYSTEM", "CONNECTNUM", "abc"}, {"REC3", "NAME", "C"}}, "2", {{"REC2", "NAME", "C"}, {"REC3", "NAME", "<none>"}}},
        {{"CONNECTNUM=3"}, {"[REC1]", "NAME=B", "TRS=TCP", "HOSTNAME=127.0.0.1/70000", "[REC2]", "TRS=TCP", "HOSTNAME=h"},
         3, 42000, {"B TCP 127.0.0.1/70000"}, 3, {"[REC1]", "70000", "[REC2]", "NAME", "[REC3]"},
         {{"SYSTEM", "CONNECTNUM", "3"}, {"REC1", "HOSTNAME", "127.0.0.1/70000"}, {"REC2", "HOSTNAME", "h"}}, ""},
        // A row not used stays as typed, and the rows after it keep their
        // sections: no count lowered, no stale copy of a moved row. Once the
        // user changes the rows in the window, they are the whole part.
        {{"CONNECTNUM=3"},
         {"[REC1]", "NAME=B", "TRS=TCP", "HOSTNAME=127.0.0.1/43001", "[REC2]", "TRS=TCP", "HOSTNAME=10.0.0.7/43002",
          "COMMENT=typed", "[REC3]", "NAME=D", "TRS=TCP", "HOSTNAME=127.0.0.1/43003"},
         3, 42000, {"B TCP 127.0.0.1/43001", "D TCP 127.0.0.1/43003"}, 1, {"[REC2]", "NAME"},
         {{"SYSTEM", "CONNECTNUM", "3"}, {"REC2", "NAME", "<none>"}, {"REC2", "HOSTNAME", "10.0.0.7/43002"},
          {"REC2", "COMMENT", "typed"}, {"REC3", "NAME", "D"}},
         "2",
         {{"REC2", "NAME", "D"}, {"REC2", "HOSTNAME", "127.0.0.1/43003"}, {"REC3", "NAME", "<none>"},
          {"REC3", "HOSTNAME", "<none>"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.system.front());
        std::vector<std::string> text = {"[SYSTEM]", "PARTY=P", "NAME=N"};
        text.insert(text.end(), c.system.begin(), c.system.end());
        text.insert(text.end(), c.sections.begin(), c.sections.end());
        std::string file;
        for (const std::string& l : text)
            file += l + "\r\n";
        writeFile(ini(), file);
        TestSettings s;
        s.readSetting();
        EXPECT_EQ(s.limitDay, c.usedDays);
        EXPECT_EQ(s.listenPort, c.usedPort);
        std::vector<std::string> rows;
        for (int i = 0; i < s.getConnectNum(); ++i)
            rows.push_back(std::string(s.getRecName(i)) + " " + s.getRecTransport(i) + " " + s.getRecHostName(i));
        EXPECT_EQ(rows, c.rows);
        std::string said;
        for (const std::string& t : s.takeSettingNotices())
            said += t + "\n";
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), long(c.notices)) << said;
        for (const std::string& part : c.said)
            EXPECT_NE(said.find(part), std::string::npos) << part << " in\n" << said;

        ASSERT_TRUE(s.writeSetting());
        for (const Kept& k : c.kept)
            EXPECT_EQ(value(k.section, k.key), k.value) << k.section << "/" << k.key;
        if (!c.countAfterAChange.empty()) {
            s.setRecComment(0, "changed");
            s.connectionRowsEdited();
            ASSERT_TRUE(s.writeSetting());
            EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), c.countAfterAChange);
            EXPECT_EQ(value("REC1", "COMMENT"), "changed");
            for (const Kept& k : c.keptAfterAChange)
                EXPECT_EQ(value(k.section, k.key), k.value) << k.section << "/" << k.key << " after a change";
        }
    }
}

// The temporaries of interrupted writes go from every folder the node
// writes them in; RECV, where it makes none, and the files themselves stay.
TEST_F(SettingsTest, LeftoversOfInterruptedWritesGoFromTheNodesFoldersAtStart)
{
    TestSettings s; // makes CATALOG, SEND and RECV
    platform::makeSureDirectoryPathExists(dir.file("SEND/YUVO"));
    platform::makeSureDirectoryPathExists(dir.file("RECV/N2"));
    const std::vector<std::string> leftovers = {".yuvo-tmp-10-1", "CATALOG/.yuvo-tmp-10-2", "SEND/.yuvo-tmp-10-3",
                                                "SEND/YUVO/.yuvo-tmp-10-4"};
    const std::vector<std::string> kept = {"Yuvo.ini", "CATALOG/catalog.dat", "SEND/a.txt", "SEND/YUVO/dirlist.dat",
                                           "RECV/N2/.yuvo-tmp-10-5"};
    for (const std::string& f : leftovers)
        writeFile(dir.file(f), "x");
    for (const std::string& f : kept)
        writeFile(dir.file(f), f);

    EXPECT_EQ(CPropatyTandrel::removeLeftovers(), 4);

    for (const std::string& f : leftovers)
        EXPECT_FALSE(testsupport::exists(dir.file(f))) << f;
    for (const std::string& f : kept)
        EXPECT_EQ(testsupport::readFile(dir.file(f)), f);
}

} // namespace
