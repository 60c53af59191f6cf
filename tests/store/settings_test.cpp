#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "store/settings.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::readFile;
using testsupport::ScopedChdir;
using testsupport::TempDir;
using testsupport::TestSettings;
using testsupport::writeFile;

// A settings object with only the operations the base leaves pure.
class BareSettings : public CPropatyTandrel {
public:
    const char* getRecHost(int) override { return nullptr; }
    int getRecPort(int) override { return 42000; }
    int getWindow() override { return 0; }
    void setWindow(int) override {}
    void setListenPort(int) override {}
    int getListenPort() override { return 42000; }
    std::string& findRecName(std::string& out, int, const char*) override { return out = ""; }
    void renameRecName(int, const char*, const char*, const char*) override {}
};

std::string lines(std::initializer_list<const char*> ls)
{
    std::string s;
    for (const char* l : ls)
        s += std::string(l) + "\r\n";
    return s;
}

// The INI text of n valid "TCP" sections REC1..RECn.
std::string tcpSections(int n)
{
    std::string s;
    for (int k = 1; k <= n; ++k) {
        const std::string num = std::to_string(k);
        s += "[REC" + num + "]\r\nNAME=node" + num + "\r\nTRS=TCP\r\nSKYPEID=\r\nHOSTNAME=host" + num
            + "/4200" + num.substr(0, 1) + "\r\nCOMMENT=c" + num + "\r\n";
    }
    return s;
}

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() : m_cd(dir.path()) {}

    std::string ini() const { return dir.file("Yuvo.ini"); }
    std::string value(const char* section, const char* key, const char* def = "<none>") const
    {
        char buf[300];
        platform::GetPrivateProfileStringA(section, key, def, buf, sizeof buf, ini());
        return buf;
    }

    TempDir dir;
    ScopedChdir m_cd;
};

// --- Construction and folders ---

TEST_F(SettingsTest, ConstructionMakesTheFoldersAndBecomesTheInstance)
{
    EXPECT_EQ(CPropatyTandrel::getInstance(), nullptr);
    platform::makeSureDirectoryPathExists(dir.file("SEND") + "/");
    writeFile(dir.file("SEND/keep.txt"), "x"); // an existing folder and its content stay
    TestSettings s;
    EXPECT_EQ(CPropatyTandrel::getInstance(), &s);
    EXPECT_EQ(readFile(dir.file("SEND/keep.txt")), "x");
    EXPECT_TRUE(platform::isDirectory(dir.file("CATALOG")));
    EXPECT_TRUE(platform::isDirectory(dir.file("SEND")));
    EXPECT_TRUE(platform::isDirectory(dir.file("RECV")));
    EXPECT_EQ(s.getCurDir(), dir.path());
    EXPECT_EQ(s.iniPath(), ini());
    EXPECT_EQ(std::string(s.getSendFolder()), dir.file("SEND"));
    EXPECT_EQ(std::string(s.getRecvFolder()), dir.file("RECV"));
    EXPECT_EQ(s.getCatalogFolder(), dir.file("CATALOG"));
    {
        // The latest object is the instance, and a destroyed one never is.
        TestSettings other;
        EXPECT_EQ(CPropatyTandrel::getInstance(), &other);
    }
    EXPECT_EQ(CPropatyTandrel::getInstance(), nullptr);

    std::string path;
    EXPECT_EQ(CPropatyTandrel::getIniPath(path), ini());
}

TEST_F(SettingsTest, ThePartyNameCanBeReadBeforeAnySettingsObjectExists)
{
    writeFile(ini(), lines({"[SYSTEM]", "PARTY=" "abcdefghijklmnopqrstuvwxyz"}));
    std::string party;
    EXPECT_EQ(CPropatyTandrel::readPartyName(party), "abcdefghijklmnopqrstuvwx");
}

TEST_F(SettingsTest, TheBaseAnswersNothingAndWritesEmptyValues)
{
    BareSettings s;
    EXPECT_EQ(s.getNodeName(), nullptr);
    EXPECT_EQ(s.getRecName(0), nullptr);
    EXPECT_EQ(s.getConnectNum(), 0);
    EXPECT_EQ(s.getLimitDay(), 0);
    EXPECT_EQ(s.isAcceptSkypeId("x"), 0);
    s.writeSetting();
    // Every key is there, the texts empty.
    EXPECT_EQ(value("SYSTEM", "PARTY"), "");
    EXPECT_EQ(value("SYSTEM", "NAME"), "");
    EXPECT_EQ(value("SYSTEM", "LIMITDAY"), "0");
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "0");
    s.readSetting(); // nothing to take it; must not trip over the null getters
}

// --- Reading ---

TEST_F(SettingsTest, WithNoFileTheDefaultsHold)
{
    TestSettings s;
    s.limitDay = -1;
    s.window = -1;
    s.listenPort = -1;
    s.nodeName = "old";
    s.readSetting();
    EXPECT_EQ(s.partyName, "");
    EXPECT_EQ(s.nodeName, "");
    EXPECT_EQ(s.limitDay, 3);
    EXPECT_EQ(s.window, 0);
    EXPECT_EQ(s.listenPort, 42000);
    EXPECT_EQ(s.getConnectNum(), 0);
}

TEST_F(SettingsTest, SystemValuesAreReadAsCp932Bytes)
{
    writeFile(ini(), lines({"[SYSTEM]", "PARTY=\x95\x5c party", "NAME=\x83\x6d\x81\x5b\x83\x68",
                            "LIMITDAY=7", "WINDOW=1", "LISTENPORT=43001"}));
    TestSettings s;
    s.readSetting();
    EXPECT_EQ(s.partyName, "\x95\x5c party");
    EXPECT_EQ(s.nodeName, "\x83\x6d\x81\x5b\x83\x68");
    EXPECT_EQ(s.limitDay, 7);
    EXPECT_EQ(s.window, 1);
    EXPECT_EQ(s.listenPort, 43001);
}

TEST_F(SettingsTest, OverlongNamesAreCutOnACharacterBoundary)
{
    // The node name's 32nd byte would be the first half of a character.
    const std::string node = std::string(31, 'n') + "\x95\x5c" + "tail";
    const std::string party = std::string(23, 'p') + "\x83\x41" + "tail";
    writeFile(ini(), lines({"[SYSTEM]", ("PARTY=" + party).c_str(), ("NAME=" + node).c_str()}));
    TestSettings s;
    s.readSetting();
    EXPECT_EQ(s.nodeName, std::string(31, 'n'));
    EXPECT_EQ(s.partyName, std::string(23, 'p'));

    writeFile(ini(), lines({"[SYSTEM]", ("NAME=" + std::string(32, 'm') + "x").c_str()}));
    s.readSetting();
    EXPECT_EQ(s.nodeName, std::string(32, 'm'));
}

TEST_F(SettingsTest, ExpiryDaysOutsideTheirRangeAreClamped)
{
    TestSettings s;
    const std::pair<const char*, int> cases[] = {
        {"-5", 0}, {"0", 0}, {"3650", 3650}, {"3651", 3650}, {"99999999", 3650}, {"4294967295", 0},
    };
    for (const auto& [text, want] : cases) {
        writeFile(ini(), lines({"[SYSTEM]", (std::string("LIMITDAY=") + text).c_str()}));
        s.readSetting();
        EXPECT_EQ(s.limitDay, want) << text;
    }
}

TEST_F(SettingsTest, AtMostTenConnectionSectionsAreRead)
{
    writeFile(ini(), lines({"[SYSTEM]", "CONNECTNUM=12"}) + tcpSections(12));
    TestSettings s;
    s.readSetting();
    ASSERT_EQ(s.getConnectNum(), 10);
    EXPECT_STREQ(s.getRecName(0), "node1");
    EXPECT_STREQ(s.getRecTransport(0), "TCP");
    EXPECT_STREQ(s.getRecHostName(0), "host1/42001");
    EXPECT_STREQ(s.getRecComment(0), "c1");
    EXPECT_STREQ(s.getRecName(9), "node10");

    s.writeSetting();
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "10");
    EXPECT_EQ(value("REC10", "NAME"), "node10");
    // Beyond the count: left in the file as it was, never read.
    EXPECT_EQ(value("REC11", "NAME"), "node11");
    EXPECT_EQ(value("REC12", "HOSTNAME"), "host12/42001");
}

TEST_F(SettingsTest, MoreThanTenRowsAreWrittenButOnlyTenComeBack)
{
    TestSettings s;
    for (int k = 1; k <= 12; ++k)
        s.addRow(("node" + std::to_string(k)).c_str(), "TCP", ("h" + std::to_string(k)).c_str());
    s.writeSetting();
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "12");
    EXPECT_EQ(value("REC12", "NAME"), "node12");
    EXPECT_EQ(value("REC12", "HOSTNAME"), "h12");

    TestSettings fresh;
    fresh.readSetting();
    EXPECT_EQ(fresh.getConnectNum(), 10);
    EXPECT_STREQ(fresh.getRecName(9), "node10");
}

TEST_F(SettingsTest, InvalidSectionsAreSkippedAndTheRestMoveUp)
{
    writeFile(ini(), lines({"[SYSTEM]", "CONNECTNUM=7",
                            "[REC1]", "TRS=TCP", "HOSTNAME=nameless",
                            "[REC2]", "NAME=good", "TRS=SKYPE", "SKYPEID=alice", "HOSTNAME=ignored", "COMMENT=hi",
                            "[REC3]", "NAME=skypeNoId", "TRS=SKYPE", "HOSTNAME=h",
                            "[REC4]", "NAME=tcpNoHost", "TRS=TCP", "SKYPEID=bob",
                            "[REC5]", "NAME=noTrs", "HOSTNAME=h",
                            "[REC6]", "NAME=lower", "TRS=tcp", "COMMENT=kept",
                            "[REC7]", "NAME=last", "TRS=TCP", "HOSTNAME=h7/43000"}));
    TestSettings s;
    s.readSetting();
    ASSERT_EQ(s.getConnectNum(), 3);
    EXPECT_STREQ(s.getRecName(0), "good");
    EXPECT_STREQ(s.getRecTransport(0), "SKYPE");
    EXPECT_STREQ(s.getRecSkypeId(0), "alice"); // not the HOSTNAME
    EXPECT_STREQ(s.getRecComment(0), "hi");
    // An unknown transport is kept and takes the host column, here empty.
    EXPECT_STREQ(s.getRecName(1), "lower");
    EXPECT_STREQ(s.getRecTransport(1), "tcp");
    EXPECT_STREQ(s.getRecHostName(1), "");
    EXPECT_STREQ(s.getRecComment(1), "kept");
    EXPECT_STREQ(s.getRecName(2), "last");
    EXPECT_EQ(s.getRecPort(2), 43000);

    s.writeSetting();
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "3");
    EXPECT_EQ(value("REC1", "NAME"), "good");
    EXPECT_EQ(value("REC1", "SKYPEID"), "alice");
    EXPECT_EQ(value("REC1", "HOSTNAME"), ""); // a Skype row keeps no host
    EXPECT_EQ(value("REC2", "NAME"), "lower");
    EXPECT_EQ(value("REC3", "HOSTNAME"), "h7/43000");
    EXPECT_EQ(value("REC3", "SKYPEID"), ""); // a TCP row keeps no Skype ID
}

TEST_F(SettingsTest, NoCountMeansNoRows)
{
    for (const char* count : {"", "CONNECTNUM=0", "CONNECTNUM=-3"}) {
        writeFile(ini(), lines({"[SYSTEM]", count}) + tcpSections(2));
        TestSettings s;
        s.readSetting();
        EXPECT_EQ(s.getConnectNum(), 0) << count;
    }
}

// --- Writing ---

TEST_F(SettingsTest, WritingKeepsTheOwnContactKeysAndEverythingElse)
{
    const std::string before = lines({"; settings", "[SYSTEM]", "PARTY=old", "NODESKYPEID=me.skype",
                                      "NODEMAILADR=me@example.org", "NAME=oldname", "NODESTATUS=1",
                                      "INFOMATION=8183", "[OTHER]", "X=1"});
    writeFile(ini(), before);
    TestSettings s;
    s.partyName = "\x95\x5c";
    s.nodeName = "node";
    s.limitDay = 10;
    s.window = 2;
    s.listenPort = 43000;
    s.addRow("n1", "TCP", "h/1", "");
    s.writeSetting();

    EXPECT_EQ(value("SYSTEM", "PARTY"), "\x95\x5c");
    EXPECT_EQ(value("SYSTEM", "NAME"), "node");
    EXPECT_EQ(value("SYSTEM", "LIMITDAY"), "10");
    EXPECT_EQ(value("SYSTEM", "WINDOW"), "2");
    EXPECT_EQ(value("SYSTEM", "LISTENPORT"), "43000");
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "1");
    EXPECT_EQ(value("SYSTEM", "NODESKYPEID"), "me.skype");
    EXPECT_EQ(value("SYSTEM", "NODEMAILADR"), "me@example.org");
    EXPECT_EQ(value("SYSTEM", "NODESTATUS"), "1");
    EXPECT_EQ(value("SYSTEM", "INFOMATION"), "8183");
    EXPECT_EQ(value("OTHER", "X"), "1");
    EXPECT_EQ(value("REC1", "COMMENT"), ""); // empty, but present
    EXPECT_EQ(readFile(ini()).rfind("; settings\r\n", 0), 0u);
}

TEST_F(SettingsTest, WrittenSettingsReadBackTheSame)
{
    TestSettings s;
    s.partyName = "\x83\x70\x81\x5b\x83\x65\x83\x42"; // パーティ
    s.nodeName = "\x95\x5c\x8e\xa6";                // 表示
    s.limitDay = 30;
    s.listenPort = 42100;
    s.addRow("a", "SKYPE", "alice.skype", "\x83\x52\x83\x81\x83\x93\x83\x67");
    s.addRow("b", "TCP", "10.0.0.2/42001", "");
    s.writeSetting();

    TestSettings t;
    t.readSetting();
    EXPECT_EQ(t.partyName, s.partyName);
    EXPECT_EQ(t.nodeName, s.nodeName);
    EXPECT_EQ(t.limitDay, 30);
    EXPECT_EQ(t.listenPort, 42100);
    ASSERT_EQ(t.getConnectNum(), 2);
    EXPECT_STREQ(t.getRecSkypeId(0), "alice.skype");
    EXPECT_STREQ(t.getRecComment(0), "\x83\x52\x83\x81\x83\x93\x83\x67");
    EXPECT_STREQ(t.getRecHost(1), "10.0.0.2");
    EXPECT_EQ(t.getRecPort(1), 42001);
}

} // namespace
