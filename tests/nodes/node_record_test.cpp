// The own node record: every field at its offset, full fields without a
// terminator, at most sixteen neighbours, and the information text's hex
// form in Yuvo.ini.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "nodes/node_info_dlg.h"
#include "platform_ui/ui_testkit.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

class NodeRecord : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    testsupport::ScopedChdir cd{dir.path()};
    testsupport::TestSettings settings;
    CNodeInfoDlg node;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        settings.nodeName = "NODE_A";
        node.m_pProp = &settings;
        node.m_iniPath = settings.iniPath();
    }
    std::string bytes() const { return std::string(reinterpret_cast<const char*>(&node.m_ownRecord), NODE_RECORD_SIZE); }
};

std::uint32_t u32(const std::string& b, std::size_t at)
{
    std::uint32_t u = 0;
    std::memcpy(&u, b.data() + at, 4);
    return u;
}

TEST_F(NodeRecord, EveryFieldAtItsOffset)
{
    node.m_ownInfo.m_mail = "a@example.org";
    node.m_ownInfo.m_skypeId = "skype.a";
    node.m_ownInfo.m_status = NODE_ABSENT;
    node.m_ownInfo.m_info = "line1\r\nline2";
    settings.addRow("NODE_B", "TCP", "127.0.0.1/42001");
    settings.addRow("NODE_C", "SKYPE", "skype.c");
    node.buildOwnRecord();

    const std::string b = bytes();
    EXPECT_EQ(u32(b, 0), 1u);
    EXPECT_EQ(u32(b, 4), 0x23A4u);
    EXPECT_NE(node.m_ownRecord.time.wYear, 0);
    EXPECT_EQ(b.substr(24, 7), std::string("NODE_A\0", 7));
    EXPECT_EQ(u32(b, 56), 2u);
    EXPECT_EQ(b.substr(60, 8), std::string("skype.a\0", 8));
    EXPECT_EQ(b.substr(93, 14), std::string("a@example.org\0", 14));
    EXPECT_EQ(u32(b, 352), 2u);
    EXPECT_EQ(b.substr(356, 7), std::string("NODE_B\0", 7));
    EXPECT_EQ(b.substr(388, 7), std::string("NODE_C\0", 7));
    EXPECT_EQ(b.substr(420, 448), std::string(448, '\0'));
    EXPECT_EQ(std::string(b.data() + 868), nodeRecordVersion());
    EXPECT_EQ(b.substr(932, 13), std::string("line1\r\nline2\0", 13));
    EXPECT_EQ(b.substr(1956), std::string(NODE_RECORD_SIZE - 1956, '\0'));
}

TEST_F(NodeRecord, FullFieldsHaveNoTerminatorAndNeighboursStopAtSixteen)
{
    settings.nodeName = std::string(40, 'N');
    node.m_ownInfo.m_skypeId = std::string(33, 'S');
    node.m_ownInfo.m_mail = std::string(300, 'm');
    for (int i = 0; i < 20; ++i)
        settings.addRow(("R" + std::to_string(i)).c_str(), "TCP", "h");
    node.buildOwnRecord();

    const std::string b = bytes();
    EXPECT_EQ(b.substr(24, 32), std::string(32, 'N'));
    EXPECT_EQ(b[56], '\x01'); // the status follows at once
    EXPECT_EQ(b.substr(60, 33), std::string(33, 'S'));
    EXPECT_EQ(b.substr(93, 256), std::string(256, 'm'));
    EXPECT_EQ(b.substr(349, 3), std::string(3, '\0'));
    EXPECT_EQ(node.m_ownRecord.adjacentCount, 16);
    EXPECT_EQ(std::string(node.m_ownRecord.adjacent[15]), "R15");
}

TEST_F(NodeRecord, InformationHexFromYuvoIni)
{
    const struct {
        std::string hex, info;
    } table[] = {
        {"616263", "abc"},
        {"61626", ""},          // odd digit count
        {"6100626364", "a"},    // ends at a zero byte
        {std::string(2046, '6'), std::string(1023, 'f')},
        {"", ""},
    };
    for (const auto& c : table) {
        testsupport::writeFile(settings.iniPath(), "[SYSTEM]\r\nINFOMATION=" + c.hex + "\r\n");
        CNodeInfoDlg d;
        d.m_iniPath = settings.iniPath();
        d.loadOwnSettings();
        EXPECT_EQ(d.m_ownInfo.m_info, c.info) << c.hex.substr(0, 12);
    }
}

} // namespace
