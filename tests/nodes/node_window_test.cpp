// The node window over real folders: the own record published into SEND,
// the records of other nodes read from RECV, the list, the panes, the
// presence buttons, the own-contact dialog and the mail link.
#include <gtest/gtest.h>

#include <QLabel>
#include <QWidget>

#include <cstring>
#include <filesystem>
#include <memory>

#include "nodes/node_info_dlg.h"
#include "nodes/node_propaty_dlg.h"
#include "platform/files.h"
#include "platform/ui/text.h"
#include "platform_ui/ui_testkit.h"
#include "store/catalog.h"
#include "store/catalog_testkit.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::readFile;
using testsupport::writeFile;
using ui::cp;

NodeInfoRecord peerRecord(const std::string& name, std::uint32_t status = 0)
{
    NodeInfoRecord r;
    std::memset(&r, 0, sizeof r);
    r.recordKind = 1;
    r.recordSize = NODE_RECORD_SIZE;
    r.time = catalogtest::makeTime(2011, 3, 4, 9, 5);
    std::memcpy(r.name, name.data(), std::min<std::size_t>(name.size(), sizeof r.name));
    r.status = status;
    std::strcpy(r.mail, "peer@example.org");
    std::strcpy(r.version, "Ver.:1, 2; 3");
    return r;
}

class NodeWindow : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    std::unique_ptr<CNodeInfoDlg> win;
    std::vector<std::string> boxes;
    std::unique_ptr<ui::ScopedMessageBoxHandler> boxScope;
    int boxAnswer = IDOK;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "NODE_A";
        settings->partyName = "PARTY";
        boxScope = std::make_unique<ui::ScopedMessageBoxHandler>([this](const ui::MessageBoxRequest& r) {
            boxes.push_back(r.text);
            return boxAnswer;
        });
    }
    void TearDown() override
    {
        win.reset();
        CCatalog::releaseInstance();
        settings.reset();
        boxScope.reset();
        uitest::UiTest::TearDown();
    }

    void putRecord(const std::string& folder, const NodeInfoRecord& r, std::size_t len = NODE_RECORD_SIZE)
    {
        platform::makeSureDirectoryPathExists(dir.file("RECV/" + folder));
        writeFile(dir.file("RECV/" + folder + "/nodeInfomation.nod"),
                  std::string(reinterpret_cast<const char*>(&r), len));
    }

    void start()
    {
        win = std::make_unique<CNodeInfoDlg>();
        win->m_pProp = settings.get();
        ASSERT_TRUE(win->Create());
        win->ShowWindow(SW_HIDE);
    }

    std::string cell(int row, int col) { return win->m_nodeList.GetItemText(row, col); }
    void click(int row)
    {
        win->m_nodeList.SetSelectionMark(row);
        win->SendMessage(WM_NOTIFY, IDC_NODEWIN_LIST, NM_CLICK);
    }
    CButton* button(CDialog& d, int id) { return dynamic_cast<CButton*>(d.GetDlgItem(id)); }

    // A catalog.dat with complete files of this node and of NODE_B, the
    // received one held under RECV/NODE_B.
    void catalogWithFiles()
    {
        CatalogRecord mine = catalogtest::makeRec("NODE_A", "mine.txt", 4);
        CatalogRecord got = catalogtest::makeRec("NODE_B", "got.txt", 6);
        CatalogRecord part = catalogtest::makeRec("NODE_B", "part.bin", 6);
        for (CatalogRecord* r : {&mine, &got})
            r->complete = 1;
        for (CatalogRecord* r : {&mine, &got, &part})
            CCatalog::setCheckSum(r);
        platform::makeSureDirectoryPathExists(dir.file("CATALOG"));
        catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), {mine, got, part});
        platform::makeSureDirectoryPathExists(dir.file("RECV/NODE_B"));
        writeFile(dir.file("RECV/NODE_B/got.txt"), "6bytes");
        putRecord("NODE_B", peerRecord("NODE_B"));
    }
    std::string fileCell(int row, int col) { return win->m_fileDlg.m_fileList.GetItemText(row, col); }
    // The file pane shows this one record, selected (as if the catalog had
    // changed since the list was filled).
    void showOnly(const CatalogRecord& r)
    {
        win->m_fileDlg.m_files = {r};
        win->m_fileDlg.updateFileList();
        win->m_fileDlg.m_fileList.SetSelectionMark(0);
    }
};

TEST_F(NodeWindow, StartsHiddenPublishesTheOwnRecordAndListsTheOwnNode)
{
    start();
    EXPECT_FALSE(win->IsWindowVisible());
    const std::string f = readFile(dir.file("SEND/nodeInfomation.nod"));
    ASSERT_EQ(f.size(), NODE_RECORD_SIZE);
    EXPECT_EQ(f.substr(24, 7), std::string("NODE_A\0", 7));
    ASSERT_EQ(win->m_nodeList.GetItemCount(), 1);
    EXPECT_EQ(cell(0, 0), "NODE_A");
    EXPECT_EQ(cell(0, 1), cp("在席(コンタクト可)")); // NODESTATUS missing: 0
    EXPECT_EQ(win->m_nodeList.GetColumnWidth(1), 110);
    EXPECT_EQ(button(*win, IDC_NODEWIN_PRESENT)->GetCheck(), BST_CHECKED);
}

TEST_F(NodeWindow, WithoutANodeNameNothingIsWrittenButTheOwnRowStays)
{
    settings->nodeName = "";
    start();
    EXPECT_FALSE(testsupport::exists(dir.file("SEND/nodeInfomation.nod")));
    ASSERT_EQ(win->m_nodeList.GetItemCount(), 1);
    EXPECT_EQ(cell(0, 0), "");
}

TEST_F(NodeWindow, RecordsOfOtherNodesAreReadBoundedAndInListingOrder)
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
    putRecord("d", peerRecord("NODE_D", 9), 5000);            // fetch not finished
    platform::makeSureDirectoryPathExists(dir.file("RECV/e")); // no record
    writeFile(dir.file("RECV/plainfile"), "x");
    start();

    ASSERT_EQ(win->m_nodes.size(), 3u);
    EXPECT_EQ(cell(1, 0), "NODE_B");
    EXPECT_EQ(cell(1, 1), cp("在席(コンタクト不可)"));
    EXPECT_EQ(cell(1, 2), "2011/ 3/ 4 09:05");
    EXPECT_EQ(cell(1, 3), "Ver.:1- 2. 3");
    EXPECT_EQ(win->m_nodes[1].m_adjacentCount, 16);
    EXPECT_EQ(win->m_nodes[1].m_adjacent[15], "ADJ15");
    EXPECT_EQ(cell(2, 0), std::string(32, 'C'));
    EXPECT_EQ(cell(2, 1), cp("不在"));
    EXPECT_EQ(win->m_nodes[2].m_adjacentCount, 0);
    EXPECT_EQ(win->m_nodes[2].m_mail, std::string(256, 'm'));
}

TEST_F(NodeWindow, RouteComesFromTheCatalogEntryOfTheRecordFile)
{
    CatalogRecord r = catalogtest::makeRec("NODE_B", "nodeInfomation.nod", NODE_RECORD_SIZE);
    r.complete = 1;
    r.hopCount = 2;
    std::strcpy(r.route[0], "NODE_C");
    std::strcpy(r.route[1], "NODE_D");
    CCatalog::setCheckSum(&r);
    CatalogRecord far = catalogtest::makeRec("NODE_F", "nodeInfomation.nod", NODE_RECORD_SIZE);
    far.hopCount = 11;
    CCatalog::setCheckSum(&far);
    platform::makeSureDirectoryPathExists(dir.file("CATALOG"));
    catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), {r, far});
    putRecord("NODE_B", peerRecord("NODE_B"));
    putRecord("NODE_F", peerRecord("NODE_F"));
    start();

    ASSERT_EQ(win->m_nodes.size(), 3u);
    EXPECT_EQ(win->m_nodes[0].m_routeCount, 0);
    EXPECT_EQ(win->m_nodes[1].m_routeCount, 2);
    EXPECT_EQ(win->m_nodes[1].m_route[1], "NODE_D");
    EXPECT_EQ(win->m_nodes[2].m_routeCount, 0);
}

TEST_F(NodeWindow, ClickShowsTheNodeAndTheSelectionSurvivesARefresh)
{
    putRecord("b", peerRecord("NODE_B"));
    start();
    click(1);
    EXPECT_EQ(win->m_detailDlg.nodeInfo().m_name, "NODE_B");
    EXPECT_EQ(win->m_detailDlg.GetDlgItem(IDC_DETAIL_MAIL)->GetWindowText(), "peer@example.org");
    EXPECT_EQ(win->m_fileDlg.m_node, "NODE_B");
    EXPECT_EQ(win->m_fileDlg.m_mode, 0);

    // A newer record of the shown node reaches the pane at the next tick.
    NodeInfoRecord newer = peerRecord("NODE_B");
    std::strcpy(newer.mail, "new@example.org");
    putRecord("b", newer);
    win->SendMessage(WM_TIMER, CNodeInfoDlg::TIMER_NODE_TICK, 0);
    EXPECT_EQ(win->m_nodeList.GetSelectionMark(), 1);
    EXPECT_EQ(win->m_detailDlg.nodeInfo().m_mail, "new@example.org");

    // The selected node's row is gone: no selection, the pane keeps it.
    std::filesystem::remove_all(dir.file("RECV/b"));
    win->SendMessage(WM_TIMER, CNodeInfoDlg::TIMER_NODE_TICK, 0);
    EXPECT_EQ(win->m_nodeList.GetSelectedCount(), 0);
    EXPECT_EQ(win->m_detailDlg.nodeInfo().m_mail, "new@example.org");

    click(0);
    EXPECT_EQ(win->m_fileDlg.m_mode, 1);
}

TEST_F(NodeWindow, PresenceButtonsAreSavedAndPublishedAtTheNextTick)
{
    start();
    button(*win, IDC_NODEWIN_ABSENT)->Click();
    EXPECT_EQ(win->m_ownInfo.m_status, NODE_ABSENT);
    EXPECT_NE(readFile(settings->iniPath()).find("NODESTATUS=2"), std::string::npos);
    win->SendMessage(WM_TIMER, CNodeInfoDlg::TIMER_NODE_TICK, 0);
    EXPECT_EQ(cell(0, 1), cp("不在"));
    EXPECT_EQ(readFile(dir.file("SEND/nodeInfomation.nod"))[56], '\x02');
}

TEST_F(NodeWindow, OwnContactDialogStoresOnOkOnly)
{
    start();
    int runs = 0;
    bool ok = false;
    ui::ScopedModalDialogHandler modal([&](CDialog& d) {
        ++runs;
        auto* p = dynamic_cast<CNodePropatyDlg*>(&d);
        ASSERT_NE(p, nullptr);
        EXPECT_FALSE(p->GetDlgItem(IDC_PROP_AUTOGET)->IsWindowEnabled()); // no own Skype ID
        d.GetDlgItem(IDC_PROP_MAIL)->SetWindowText("me@example.org");
        d.GetDlgItem(IDC_PROP_INFO)->SetWindowText(std::string(1500, 'x'));
        button(d, ok ? IDOK : IDCANCEL)->Click();
    });
    button(*win, IDC_NODEWIN_OWN_SETTINGS)->Click();
    EXPECT_EQ(win->m_ownInfo.m_mail, "");
    EXPECT_FALSE(testsupport::exists(settings->iniPath()));
    ok = true;
    button(*win, IDC_NODEWIN_OWN_SETTINGS)->Click();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(win->m_ownInfo.m_mail, "me@example.org");
    EXPECT_EQ(win->m_ownInfo.m_info, std::string(1000, 'x'));
    EXPECT_NE(readFile(settings->iniPath()).find("NODEMAILADR=me@example.org"), std::string::npos);
}

TEST_F(NodeWindow, MailToEscapesAnAddressFromAPeer)
{
    NodeInfoRecord b = peerRecord("NODE_B");
    std::strcpy(b.mail, "x@y.org?attach=/etc/passwd&cc=z");
    putRecord("b", b);
    start();
    std::vector<std::string> urls;
    ui::ScopedOpenUrlHandler url([&](const std::string& u) {
        urls.push_back(u);
        return true;
    });
    click(1);
    button(win->m_detailDlg, IDC_DETAIL_MAILTO)->Click();
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0], "mailto:x@y.org%3Fattach%3D%2Fetc%2Fpasswd%26cc%3Dz");
    EXPECT_TRUE(boxes.empty());

    // The own node has no address: a message and no mail program.
    click(0);
    button(win->m_detailDlg, IDC_DETAIL_MAILTO)->Click();
    EXPECT_EQ(urls.size(), 1u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], cp("メイルアドレスは設定されていません"));
}

TEST_F(NodeWindow, FilePaneRefusesManagementFilesAndFormatsSizes)
{
    start();
    win->m_fileDlg.m_node = "NODE_B";
    win->m_fileDlg.m_files = {catalogtest::makeRec("NODE_B", "nodeInfomation.nod", 1234)};
    win->m_fileDlg.updateFileList();
    EXPECT_EQ(win->m_fileDlg.m_fileList.GetItemText(0, 3), "1,234");
    EXPECT_EQ(win->m_fileDlg.m_fileList.cellTextColor(0, 0), RGB(150, 150, 150));
    button(win->m_fileDlg, IDC_FILES_EXTRACT)->Click();
    win->m_fileDlg.m_fileList.SetSelectionMark(0);
    button(win->m_fileDlg, IDC_FILES_EXTRACT)->Click();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], cp("ファイルが選択されていません"));
    EXPECT_EQ(boxes[1], cp("管理用ファイルは取り出しできません"));

    WIN32_FIND_DATAA fd{};
    fd.nFileSizeLow = 999;
    EXPECT_EQ(nodeFileSizeText(fd), "999");
    fd.nFileSizeLow = 3221225472u;
    EXPECT_EQ(nodeFileSizeText(fd), "3,221,225,472");
    fd.nFileSizeHigh = 1;
    EXPECT_EQ(nodeFileSizeText(fd), cp("2G超"));
}

TEST_F(NodeWindow, PanesGreyWithWhiteLabelsAndListsInTheSystemColours)
{
    start();
    const auto base = [](CWnd& w) { return w.widget()->palette().color(QPalette::Base); };
    const QColor window = QColor(GetRValue(GetSysColor(COLOR_WINDOW)), GetGValue(GetSysColor(COLOR_WINDOW)),
                                 GetBValue(GetSysColor(COLOR_WINDOW)));
    EXPECT_EQ(base(win->m_detailDlg.m_adjacentList), window);
    EXPECT_EQ(base(win->m_detailDlg.m_routeList), window);
    EXPECT_EQ(base(win->m_fileDlg.m_fileList), window);
    EXPECT_EQ(base(win->m_detailDlg.m_infoEdit), QColor(255, 255, 180));
    EXPECT_EQ(win->m_detailDlg.widget()->palette().color(QPalette::Window), QColor(160, 160, 160));

    int labels = 0;
    for (QLabel* l : win->m_detailDlg.widget()->findChildren<QLabel*>()) {
        const std::string text = l->text().toStdString();
        if (text == "SkypeID" || text == "Infomation" || text == "隣接ノード" || text == "経路情報") {
            ++labels;
            EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(255, 255, 255)) << text;
        }
    }
    EXPECT_EQ(labels, 4);
}

TEST_F(NodeWindow, FilePaneExtractsACompleteFileAndSaysWhenTheCopyFails)
{
    catalogWithFiles();
    start();
    click(1);
    ASSERT_EQ(win->m_fileDlg.m_fileList.GetItemCount(), 1); // the complete files only
    EXPECT_EQ(fileCell(0, 0), "got.txt");
    EXPECT_EQ(fileCell(0, 1), "2010/10/14 10:15:30:250");
    EXPECT_FALSE(win->m_fileDlg.GetDlgItem(IDC_FILES_DELETE)->IsWindowEnabled());

    std::vector<ui::FileDialogRequest> asked;
    std::optional<std::string> answer;
    ui::ScopedFileDialogHandler files([&](const ui::FileDialogRequest& r) {
        asked.push_back(r);
        return answer;
    });
    win->m_fileDlg.m_fileList.SetSelectionMark(0);
    button(win->m_fileDlg, IDC_FILES_EXTRACT)->Click(); // cancelled
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_FALSE(asked[0].open);
    EXPECT_EQ(asked[0].fileName, "got.txt");
    EXPECT_EQ(asked[0].defaultExt, "");
    EXPECT_EQ(asked[0].flags, DWORD(OFN_HIDEREADONLY | OFN_EXPLORER));
    EXPECT_EQ(asked[0].filter, cp("全てのファイル(*.*)|*.*||"));

    answer = dir.file("out.txt");
    button(win->m_fileDlg, IDC_FILES_EXTRACT)->Click();
    EXPECT_EQ(readFile(dir.file("out.txt")), "6bytes");
    EXPECT_TRUE(boxes.empty());

    platform::deleteFile(dir.file("RECV/NODE_B/got.txt"));
    answer = dir.file("again.txt");
    button(win->m_fileDlg, IDC_FILES_EXTRACT)->Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], cp("ファイルの取り出しに失敗しました。"));
    EXPECT_FALSE(testsupport::exists(dir.file("again.txt")));

    // A row whose fetch is not finished (the catalog changed since).
    showOnly(catalogtest::makeRec("NODE_B", "part.bin", 6));
    button(win->m_fileDlg, IDC_FILES_EXTRACT)->Click();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], cp("このファイルはまだ食べ頃ではありません。後ほどお願いします"));
    EXPECT_EQ(asked.size(), 3u);
}

TEST_F(NodeWindow, FilePaneDeletesTheOwnRegistrationOnlyWhenAnsweredYes)
{
    catalogWithFiles();
    start();
    click(0);
    EXPECT_EQ(win->m_fileDlg.GetDlgItem(IDC_FILES_TITLE)->GetWindowText(), cp("登録ファイル一覧"));
    EXPECT_FALSE(win->m_fileDlg.GetDlgItem(IDC_FILES_EXTRACT)->IsWindowEnabled());
    ASSERT_EQ(win->m_fileDlg.m_fileList.GetItemCount(), 1);
    EXPECT_EQ(fileCell(0, 0), "mine.txt");
    win->m_fileDlg.m_fileList.SetSelectionMark(0);

    CatalogRecord rec{};
    boxAnswer = IDNO;
    button(win->m_fileDlg, IDC_FILES_DELETE)->Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], cp("選択したファイルとネットワークへの登録を削除します。この操作はネットワーク上他ノードのファイルも消去します。"));
    ASSERT_TRUE(CCatalog::getInstance()->findRec("mine.txt", "NODE_A", &rec));
    EXPECT_EQ(rec.state, DWORD(CATALOG_STATE_NEW));

    boxAnswer = IDYES;
    button(win->m_fileDlg, IDC_FILES_DELETE)->Click();
    ASSERT_TRUE(CCatalog::getInstance()->findRec("mine.txt", "NODE_A", &rec));
    EXPECT_EQ(rec.state, DWORD(CATALOG_STATE_DELETED));
    EXPECT_EQ(fileCell(0, 0), "mine.txt"); // not refreshed here

    // The entry gone since the list was filled.
    showOnly(catalogtest::makeRec("NODE_A", "gone.txt", 1));
    button(win->m_fileDlg, IDC_FILES_DELETE)->Click();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2], cp("カタログ情報の読み込みでエラーが発生しました。一覧を更新して下さい"));
}

TEST_F(NodeWindow, OwnContactAutoGetRestoresTheMailFieldAndOkStoresIt)
{
    CNodeInfo info;
    info.m_mail = "old@example.org";
    info.m_skypeId = "old.skype";
    info.m_info = "keep";
    CNodePropatyDlg dlg;
    dlg.m_autoSkypeId = "own.skype";
    dlg.m_pInfo = &info;
    ui::ScopedModalDialogHandler modal([&](CDialog& d) {
        EXPECT_TRUE(d.GetDlgItem(IDC_PROP_AUTOGET)->IsWindowEnabled());
        EXPECT_EQ(d.GetDlgItem(IDC_PROP_INFO)->GetWindowText(), "keep");
        d.GetDlgItem(IDC_PROP_MAIL)->SetWindowText("typed@example.org");
        button(d, IDC_PROP_AUTOGET)->Click();
        EXPECT_EQ(d.GetDlgItem(IDC_PROP_SKYPEID)->GetWindowText(), "own.skype");
        EXPECT_EQ(d.GetDlgItem(IDC_PROP_MAIL)->GetWindowText(), "old@example.org");
        button(d, IDOK)->Click();
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(info.m_mail, "old@example.org");
    EXPECT_EQ(info.m_skypeId, "own.skype");
    EXPECT_EQ(info.m_info, "keep");
}

} // namespace
