// The node window over real folders: records of other nodes read bounded
// from RECV, a peer's mail address escaped in the mail link, a failed copy
// out of the file pane reported, and the own-contact dialog: what it keeps,
// what Cancel keeps, pasted line breaks, and a settings file that cannot be
// written.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>

#include <cstring>
#include <functional>
#include <memory>

#include "nodes/node_info_dlg.h"
#include "nodes/node_propaty_dlg.h"
#include "platform/profile.h"
#include "platform/ui/text.h"
#include "store/helpers.h"
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

    // Opens the own-contact dialog and runs the script on it; whether it
    // ran.
    bool onOwnContact(const std::function<void(CNodePropatyDlg&)>& script)
    {
        bool ran = false;
        ui::ScopedModalDialogHandler on([&](CDialog& d) {
            auto* dlg = dynamic_cast<CNodePropatyDlg*>(&d);
            ASSERT_NE(dlg, nullptr);
            ran = true;
            script(*dlg);
            if (dlg->IsWindowVisible())
                dlg->EndDialog(IDCANCEL);
        });
        press(*win, IDC_NODEWIN_OWN_SETTINGS);
        return ran;
    }
    std::string iniValue(const char* key)
    {
        char buf[4096];
        platform::GetPrivateProfileStringA("SYSTEM", key, "<none>", buf, sizeof buf, settings.iniPath());
        return buf;
    }
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
    putRecord("NODE_B", peerRecord("NODE_B"));
    testsupport::writeFile(dir.file("RECV/NODE_B/got.txt"), "6bytes");
    start();
    CCatalog::getInstance()->finishStartCheck();
    platform::deleteFile(dir.file("RECV/NODE_B/got.txt")); // gone since the start looked
    click(1);
    ASSERT_EQ(win->m_fileDlg.m_fileList.GetItemCount(), 1);
    win->m_fileDlg.m_fileList.SetSelectionMark(0);
    ui::ScopedFileDialogHandler files([&](const ui::FileDialogRequest&) { return std::optional(dir.file("out.txt")); });
    press(win->m_fileDlg, IDC_FILES_EXTRACT);
    EXPECT_EQ(boxes, std::vector<std::string>{"ファイルの取り出しに失敗しました。"});
    EXPECT_FALSE(testsupport::exists(dir.file("out.txt")));
}

// The file pane shows a node's complete files in catalog order with their
// texts; a refresh that brings another file keeps the selected one selected
// by its name, and a node record file is grey.
TEST_F(NodeWindow, FilePaneShowsTheNodesFilesAndKeepsTheSelectedOneAcrossARefresh)
{
    std::vector<CatalogRecord> recs;
    for (const char* name : {"a.txt", "nodeInfomation.nod", "partial.bin", "b.txt"}) {
        const bool partial = std::strcmp(name, "partial.bin") == 0;
        CatalogRecord r = catalogtest::makeRec("NODE_B", name, partial ? 5 : 1234567);
        r.complete = partial ? 0 : 1;
        r.registered = catalogtest::makeTime(2024, 3, 5, 7, 8, 9, 42);
        r.expires = catalogtest::makeTime(2024, 3, 8);
        CCatalog::setCheckSum(&r);
        recs.push_back(r);
    }
    platform::makeSureDirectoryPathExists(dir.file("CATALOG"));
    catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), recs);
    putRecord("NODE_B", peerRecord("NODE_B"));
    start();
    click(1);
    CFileMFCListCtrl& list = win->m_fileDlg.m_fileList;
    ASSERT_EQ(list.GetItemCount(), 3);
    const std::vector<std::vector<std::string>> shown = {
        {"a.txt", "2024/ 3/ 5 07:08:09:042", "2024/ 3/ 8", "1,234,567"},
        {"nodeInfomation.nod", "2024/ 3/ 5 07:08:09:042", "2024/ 3/ 8", "1,234,567"},
        {"b.txt", "2024/ 3/ 5 07:08:09:042", "2024/ 3/ 8", "1,234,567"}}; // partial.bin is not whole yet
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            EXPECT_EQ(list.GetItemText(row, col), shown[std::size_t(row)][std::size_t(col)]) << row << "," << col;
    EXPECT_EQ(list.cellTextColor(1, 0), RGB(150, 150, 150));
    EXPECT_NE(list.cellTextColor(0, 0), RGB(150, 150, 150));

    // partial.bin arrives whole: b.txt moves a row down.
    list.SetSelectionMark(2);
    EXPECT_EQ(CCatalog::getInstance()->writeFileData(0, 5, &recs[2], "hello"), 0);
    CCatalog::getInstance()->settleSyncs(); // whole once on the disk
    win->m_fileDlg.setNode("NODE_B"); // as a click on the node does
    ASSERT_EQ(list.GetItemCount(), 4);
    EXPECT_EQ(list.GetItemText(2, 0), "partial.bin");
    EXPECT_EQ(list.GetSelectionMark(), 3);
    EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 3);
}

TEST_F(NodeWindow, OwnContactKeepsAThousandBytesOfInformationAndCancelKeepsEverything)
{
    start();
    const std::string thousand = std::string(996, 'i') + "\r\n" + ui::cp("表"); // line break kept
    const struct {
        std::string typed;
        std::string kept;
    } table[] = {
        {thousand, thousand},
        // 1500 bytes; the 1000th is the first half of a double-byte character.
        {std::string(999, 'a') + ui::cp("表") + std::string(499, 'b'), std::string(999, 'a')},
    };
    for (const auto& c : table) {
        ASSERT_TRUE(onOwnContact([&](CNodePropatyDlg& d) {
            d.m_infoEdit.SetWindowText(c.typed);
            d.GetDlgItem(IDC_PROP_MAIL)->SetWindowText(" me@example.org ");
            press(d, IDOK);
        }));
        EXPECT_EQ(win->m_ownInfo.m_info, c.kept);
        EXPECT_EQ(win->m_ownInfo.m_mail, "me@example.org"); // blanks would not read back
        win->tick();
        EXPECT_EQ(std::string(win->m_ownRecord.info), c.kept);
    }
    std::vector<char> hex(2 * std::string(999, 'a').size() + 1);
    bytesToHex(999, reinterpret_cast<const BYTE*>(std::string(999, 'a').data()), hex.data());
    EXPECT_EQ(iniValue("INFOMATION"), hex.data());

    // Cancel leaves the own information, the settings file and the record.
    const std::string iniBefore = testsupport::readFile(settings.iniPath());
    ASSERT_TRUE(onOwnContact([&](CNodePropatyDlg& d) {
        d.m_infoEdit.SetWindowText("changed");
        d.GetDlgItem(IDC_PROP_MAIL)->SetWindowText("other@example.org");
        press(d, IDCANCEL);
    }));
    EXPECT_EQ(win->m_ownInfo.m_mail, "me@example.org");
    EXPECT_EQ(win->m_ownInfo.m_info, std::string(999, 'a'));
    EXPECT_EQ(testsupport::readFile(settings.iniPath()), iniBefore);
    win->tick();
    EXPECT_STREQ(win->m_ownRecord.mail, "me@example.org");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(NodeWindow, PastedLineBreaksAreDroppedAndAFailedWriteIsTold)
{
    start();
    ASSERT_TRUE(onOwnContact([&](CNodePropatyDlg& d) {
        auto* mail = qobject_cast<QLineEdit*>(d.GetDlgItem(IDC_PROP_MAIL)->widget());
        ASSERT_NE(mail, nullptr);
        QGuiApplication::clipboard()->setText(QStringLiteral("new@example.org\r\n"));
        mail->paste();
        EXPECT_EQ(mail->text(), QStringLiteral("new@example.org"));
        dynamic_cast<CEdit*>(d.GetDlgItem(IDC_PROP_SKYPEID))->ReplaceSel("line\none");
        press(d, IDOK);
    }));
    // The settings file holds what the record publishes.
    EXPECT_EQ(iniValue("NODEMAILADR"), "new@example.org");
    EXPECT_EQ(iniValue("NODESKYPEID"), "lineone");
    EXPECT_TRUE(boxes.empty());

    // A settings file that cannot be written is told, not passed over.
    ASSERT_TRUE(platform::deleteFile(settings.iniPath()));
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(settings.iniPath()));
    press(*win, IDC_NODEWIN_ABSENT);
    EXPECT_EQ(boxes, std::vector<std::string>{setting::WRITE_FAILURE});
    boxes.clear();
    ASSERT_TRUE(onOwnContact([&](CNodePropatyDlg& d) { press(d, IDOK); }));
    EXPECT_EQ(boxes, std::vector<std::string>{setting::WRITE_FAILURE});
}

} // namespace
