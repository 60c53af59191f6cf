// The node window over real folders: records of other nodes read bounded
// from RECV, a peer's mail address escaped in the mail link, and a failed
// copy out of the file pane reported.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "nodes/node_info_dlg.h"
#include "platform/files.h"
#include "platform_ui/ui_testkit.h"
#include "store/catalog.h"
#include "store/catalog_testkit.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {


NodeInfoRecord peerRecord(const std::string& name, std::uint32_t status = 0)
{
    NodeInfoRecord r;
    std::memset(&r, 0, sizeof r);
    r.recordKind = 1;
    r.recordSize = NODE_RECORD_SIZE;
    std::memcpy(r.name, name.data(), std::min<std::size_t>(name.size(), sizeof r.name));
    r.status = status;
    std::strcpy(r.mail, "peer@example.org");
    return r;
}

class NodeWindow : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    testsupport::ScopedChdir cd{dir.path()};
    testsupport::TestSettings settings;
    std::unique_ptr<CNodeInfoDlg> win;
    std::vector<std::string> boxes;
    std::unique_ptr<ui::ScopedMessageBoxHandler> boxScope;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        settings.nodeName = "NODE_A";
        settings.partyName = "PARTY";
        boxScope = std::make_unique<ui::ScopedMessageBoxHandler>([this](const ui::MessageBoxRequest& r) {
            boxes.push_back(r.utf8Text());
            return IDOK;
        });
    }
    void TearDown() override
    {
        win.reset();
        CCatalog::releaseInstance();
        boxScope.reset();
        uitest::UiTest::TearDown();
    }

    void putRecord(const std::string& folder, const NodeInfoRecord& r, std::size_t len = NODE_RECORD_SIZE)
    {
        platform::makeSureDirectoryPathExists(dir.file("RECV/" + folder));
        testsupport::writeFile(dir.file("RECV/" + folder + "/nodeInfomation.nod"),
                               std::string(reinterpret_cast<const char*>(&r), len));
    }
    void start()
    {
        win = std::make_unique<CNodeInfoDlg>();
        win->m_pProp = &settings;
        ASSERT_TRUE(win->Create());
    }
    void click(int row)
    {
        win->m_nodeList.SetSelectionMark(row);
        win->SendMessage(WM_NOTIFY, IDC_NODEWIN_LIST, NM_CLICK);
    }
    static void press(CDialog& d, int id) { dynamic_cast<CButton*>(d.GetDlgItem(id))->Click(); }
};

TEST_F(NodeWindow, RecordsOfOtherNodesAreReadBounded)
{
    NodeInfoRecord b = peerRecord("NODE_B", 1);
    b.adjacentCount = 40;
    for (int i = 0; i < 16; ++i)
        std::snprintf(b.adjacent[i], 32, "ADJ%02d", i);
    putRecord("b", b);
    NodeInfoRecord c = peerRecord(std::string(32, 'C'), 2);
    c.adjacentCount = -3;
    std::memset(c.mail, 'm', sizeof c.mail); // no terminator: stops at the field
    std::memset(c.pad, 'p', sizeof c.pad);
    putRecord("c", c);
    putRecord("d", peerRecord("NODE_D"), 5000); // fetch not finished
    start();

    ASSERT_EQ(win->m_nodes.size(), 3u);
    EXPECT_EQ(win->m_nodes[1].m_adjacentCount, 16);
    EXPECT_EQ(win->m_nodes[1].m_adjacent[15], "ADJ15");
    EXPECT_EQ(win->m_nodes[2].m_name, std::string(32, 'C'));
    EXPECT_EQ(win->m_nodes[2].m_adjacentCount, 0);
    EXPECT_EQ(win->m_nodes[2].m_mail, std::string(256, 'm'));
}

TEST_F(NodeWindow, MailToEscapesAnAddressFromAPeer)
{
    NodeInfoRecord b = peerRecord("NODE_B");
    std::strcpy(b.mail, "x@y.org?attach=/etc/passwd&cc=z");
    putRecord("b", b);
    start();
    std::vector<std::string> urls;
    ui::ScopedOpenUrlHandler url([&](const std::string& u) { return urls.push_back(u), true; });
    click(1);
    press(win->m_detailDlg, IDC_DETAIL_MAILTO);
    EXPECT_EQ(urls, std::vector<std::string>{"mailto:x@y.org%3Fattach%3D%2Fetc%2Fpasswd%26cc%3Dz"});
    EXPECT_TRUE(boxes.empty());
}

TEST_F(NodeWindow, FilePaneReportsACopyThatFailed)
{
    CatalogRecord got = catalogtest::makeRec("NODE_B", "got.txt", 6);
    got.complete = 1;
    CCatalog::setCheckSum(&got);
    platform::makeSureDirectoryPathExists(dir.file("CATALOG"));
    catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), {got});
    putRecord("NODE_B", peerRecord("NODE_B")); // RECV/NODE_B holds no got.txt
    start();
    click(1);
    ASSERT_EQ(win->m_fileDlg.m_fileList.GetItemCount(), 1);
    win->m_fileDlg.m_fileList.SetSelectionMark(0);
    ui::ScopedFileDialogHandler files([&](const ui::FileDialogRequest&) { return std::optional(dir.file("out.txt")); });
    press(win->m_fileDlg, IDC_FILES_EXTRACT);
    EXPECT_EQ(boxes, std::vector<std::string>{"ファイルの取り出しに失敗しました。"});
    EXPECT_FALSE(testsupport::exists(dir.file("out.txt")));
}

} // namespace
