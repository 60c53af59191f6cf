// The own node record: its bytes, the own-contact keys of Yuvo.ini, and
// the file in SEND.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "nodes/node_info_dlg.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform_ui/ui_testkit.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::readFile;
using testsupport::writeFile;

class NodeRecord : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    std::unique_ptr<CNodeInfoDlg> node;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "NODE_A";
        node = std::make_unique<CNodeInfoDlg>();
        node->m_pProp = settings.get();
        node->m_iniPath = settings->iniPath();
    }
    void TearDown() override
    {
        node.reset();
        settings.reset();
        uitest::UiTest::TearDown();
    }

    std::string bytes() const { return std::string(reinterpret_cast<const char*>(&node->m_ownRecord), NODE_RECORD_SIZE); }
    std::string recordFile() const { return dir.file("SEND/nodeInfomation.nod"); }
};

bool allZero(const std::string& s, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        if (s[i] != '\0')
            return false;
    return true;
}

TEST_F(NodeRecord, BuildFillsEveryFieldAtItsOffset)
{
    node->m_ownInfo.m_mail = "a@example.org";
    node->m_ownInfo.m_skypeId = "skype.a";
    node->m_ownInfo.m_status = NODE_ABSENT;
    node->m_ownInfo.m_info = "line1\r\nline2";
    settings->addRow("NODE_B", "TCP", "127.0.0.1/42001");
    settings->addRow("NODE_C", "SKYPE", "skype.c");
    node->buildOwnRecord();

    const std::string b = bytes();
    std::uint32_t u = 0;
    std::memcpy(&u, b.data(), 4);
    EXPECT_EQ(u, 1u);
    std::memcpy(&u, b.data() + 4, 4);
    EXPECT_EQ(u, 0x23A4u);
    EXPECT_NE(node->m_ownRecord.time.wYear, 0);
    EXPECT_EQ(std::memcmp(&node->m_ownInfo.m_time, &node->m_ownRecord.time, sizeof(SYSTEMTIME)), 0);
    EXPECT_EQ(b.substr(24, 7), std::string("NODE_A\0", 7));
    std::memcpy(&u, b.data() + 56, 4);
    EXPECT_EQ(u, 2u);
    EXPECT_EQ(b.substr(60, 8), std::string("skype.a\0", 8));
    EXPECT_EQ(b.substr(93, 14), std::string("a@example.org\0", 14));
    std::int32_t count = 0;
    std::memcpy(&count, b.data() + 352, 4);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(b.substr(356, 7), std::string("NODE_B\0", 7));
    EXPECT_EQ(b.substr(388, 7), std::string("NODE_C\0", 7));
    EXPECT_TRUE(allZero(b, 420, 868));
    EXPECT_EQ(b.substr(868, 5), "Ver.:");
    EXPECT_EQ(std::string(b.data() + 868), nodeRecordVersion());
    EXPECT_EQ(b.substr(932, 13), std::string("line1\r\nline2\0", 13));
    EXPECT_TRUE(allZero(b, 349, 352));
    EXPECT_TRUE(allZero(b, 1956, NODE_RECORD_SIZE));

    EXPECT_EQ(node->m_ownInfo.m_name, "NODE_A");
    EXPECT_EQ(node->m_ownInfo.m_adjacentCount, 2);
    EXPECT_EQ(node->m_ownInfo.m_adjacent[1], "NODE_C");
    EXPECT_EQ(node->m_ownInfo.m_version, nodeRecordVersion());
    EXPECT_EQ(node->m_ownInfo.m_routeCount, 0);
}

TEST_F(NodeRecord, FullFieldsHaveNoTerminatorAndNeighboursStopAtSixteen)
{
    settings->nodeName = std::string(40, 'N');
    node->m_ownInfo.m_skypeId = std::string(33, 'S');
    node->m_ownInfo.m_mail = std::string(300, 'm');
    for (int i = 0; i < 20; ++i)
        settings->addRow(("R" + std::to_string(i)).c_str(), "TCP", "h");
    node->buildOwnRecord();

    const std::string b = bytes();
    EXPECT_EQ(b.substr(24, 32), std::string(32, 'N'));
    EXPECT_EQ(b[56], '\x01'); // the status follows at once
    EXPECT_EQ(b.substr(60, 33), std::string(33, 'S'));
    EXPECT_EQ(b.substr(93, 256), std::string(256, 'm'));
    EXPECT_TRUE(allZero(b, 349, 352));
    EXPECT_EQ(node->m_ownRecord.adjacentCount, 16);
    EXPECT_EQ(std::string(node->m_ownRecord.adjacent[15]), "R15");
    EXPECT_EQ(node->m_ownInfo.m_adjacentCount, 16);
    EXPECT_EQ(node->m_ownInfo.m_name, std::string(40, 'N')); // the list shows it whole
}

TEST_F(NodeRecord, FileIsWrittenWholeOverTheOldOne)
{
    writeFile(recordFile(), std::string(NODE_RECORD_SIZE + 100, 'x'));
    node->buildOwnRecord();
    node->writeOwnRecord();
    const std::string f = readFile(recordFile());
    ASSERT_EQ(f.size(), NODE_RECORD_SIZE + 100); // written in place, not truncated
    EXPECT_EQ(f.substr(0, NODE_RECORD_SIZE), bytes());
}

TEST_F(NodeRecord, WriteIntoAMissingSendFolderDoesNothing)
{
    node->buildOwnRecord();
    platform::deleteFile(recordFile());
    std::filesystem::remove_all(dir.file("SEND"));
    node->writeOwnRecord();
    EXPECT_FALSE(testsupport::exists(recordFile()));
}

TEST_F(NodeRecord, OwnContactKeysRoundTrip)
{
    node->m_ownInfo.m_skypeId = "sk";
    node->m_ownInfo.m_mail = std::string(500, 'm') + "@x";
    node->m_ownInfo.m_status = 7;
    node->m_ownInfo.m_info = std::string(900, 'i') + "\r\nend";
    node->saveOwnSettings();

    EXPECT_NE(readFile(settings->iniPath()).find("INFOMATION=6969"), std::string::npos);
    EXPECT_NE(readFile(settings->iniPath()).find("NODESTATUS=7"), std::string::npos);

    CNodeInfoDlg other;
    other.m_iniPath = settings->iniPath();
    other.loadOwnSettings();
    EXPECT_EQ(other.m_ownInfo.m_skypeId, "sk");
    EXPECT_EQ(other.m_ownInfo.m_mail, node->m_ownInfo.m_mail);
    EXPECT_EQ(other.m_ownInfo.m_status, 7);
    EXPECT_EQ(other.m_ownInfo.m_info, node->m_ownInfo.m_info);
    other.m_pProp = settings.get();
    other.buildOwnRecord();
    EXPECT_EQ(other.m_ownRecord.status, 7u);
}

TEST_F(NodeRecord, InformationDecodingEdgeCases)
{
    const auto load = [&](const std::string& hex) {
        writeFile(settings->iniPath(), "[SYSTEM]\r\nINFOMATION=" + hex + "\r\n");
        CNodeInfoDlg d;
        d.m_iniPath = settings->iniPath();
        d.loadOwnSettings();
        return d.m_ownInfo;
    };
    EXPECT_EQ(load("616263").m_info, "abc");
    EXPECT_EQ(load("61626").m_info, "");        // odd digit count
    EXPECT_EQ(load("6100626364").m_info, "a");  // ends at a zero byte
    EXPECT_EQ(load(std::string(2046, '6')).m_info, std::string(1023, 'f'));
    const CNodeInfo none = load("");
    EXPECT_EQ(none.m_info, "");
    EXPECT_EQ(none.m_status, 0); // missing NODESTATUS
    EXPECT_EQ(none.m_mail, "");
}

} // namespace
