#include <gtest/gtest.h>

#include <string>

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
    s.writeSetting();
    EXPECT_EQ(value("SYSTEM", "CONNECTNUM"), "2");
    EXPECT_EQ(value("REC1", "HOSTNAME"), ""); // a Skype row keeps no host
    EXPECT_EQ(value("REC2", "NAME"), "last");
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

} // namespace
