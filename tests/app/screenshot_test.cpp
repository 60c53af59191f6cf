// Every window and dialog of the program, filled as a user would see it,
// saved next to the test program (<name>.png) for a person to look at.
// Each must show every label, button, group title and column heading whole,
// with its controls inside it and apart.
#include <QCalendarWidget>
#include <QTableView>
#include <QTableWidget>

#include <cstring>

#include "app/about_dlg.h"
#include "app/connect_dlg.h"
#include "app/entry_dlg.h"
#include "app/settings_dlg.h"
#include "app/sync_dlg.h"
#include "dialog_testkit.h"
#include "nodes/node_propaty_dlg.h"
#include "platform/files.h"
#include "window_check.h"

using namespace apptest;

namespace {

class Screenshots : public MainWindowTest {
protected:
    // Pictures the window and checks it; name is the picture's file name.
    void look(CWnd& wnd, const std::string& name)
    {
        QWidget* w = wnd.widget();
        ASSERT_NE(w, nullptr) << name;
        uitest::pump(50);
        EXPECT_FALSE(windowcheck::saveShot(w, name).empty()) << name;
        for (const std::string& cut : windowcheck::cutTexts(w))
            ADD_FAILURE() << name << ": text cut: " << cut;
        for (const std::string& bad : windowcheck::misplaced(w))
            ADD_FAILURE() << name << ": " << bad;
    }

    // Opens the modal dialog that `open` starts and looks at it.
    template <typename D>
    void lookAtModal(const std::string& name, const std::function<void()>& open,
                     const std::function<void(D&)>& prepare = {})
    {
        OnDialog<D> on([&](D& d) {
            if (prepare)
                prepare(d);
            look(d, name);
            d.EndDialog(IDCANCEL);
        });
        open();
        EXPECT_EQ(on.runs, 1) << name;
    }

    void fillNode()
    {
        ini.party = "東京パーティ";
        ini.name = "本社ノード";
        // Loopback ports where nobody listens: the pictures need no network.
        ini.rows = {{"大阪支店", "TCP", "127.0.0.1/" + std::to_string(freePort()), "大阪の共有フォルダ"},
                    {"名古屋", "TCP", "127.0.0.1/" + std::to_string(freePort()), "夜間のみ接続"},
                    {"札幌", "TCP", "127.0.0.1/" + std::to_string(freePort()), ""}};
        const std::string own = cp("本社ノード"), osaka = cp("大阪支店");
        auto rec = [](const std::string& origin, const char* file, DWORD size, DWORD held, DWORD complete) {
            CatalogRecord r = catalogtest::makeRec(origin.c_str(), cp(file).c_str(), size);
            r.heldBytes = held;
            r.complete = complete;
            return r;
        };
        std::vector<CatalogRecord> recs = {
            rec(own, "議事録_2024年度.docx", 1234567, 1234567, 1), rec(own, "設計書.pdf", 987654, 0, 1),
            rec(osaka, "製品カタログ.zip", 2048000, 512000, 0), rec(cp("名古屋"), "写真アルバム.jpg", 45678, 45678, 1),
            rec(osaka, "nodeInfomation.nod", 9124, 9124, 1), rec(osaka, "古い資料.xls", 100, 0, 0)};
        recs[1].isLink = 1;
        recs[5].state = CATALOG_STATE_DELETED;
        for (CatalogRecord& r : recs)
            CCatalog::setCheckSum(&r);
        writeCatalog(recs);

        // Osaka's node record, as its fetch left it in RECV.
        NodeInfoRecord n;
        std::memset(&n, 0, sizeof n);
        n.recordKind = 1;
        n.recordSize = NODE_RECORD_SIZE;
        n.time = catalogtest::makeTime(2024, 12, 31, 23, 59, 0, 0);
        std::strcpy(n.name, osaka.c_str());
        n.status = NODE_PRESENT_NOT_CONTACTABLE;
        std::strcpy(n.mail, "osaka@example.co.jp");
        n.adjacentCount = 2;
        std::strcpy(n.adjacent[0], own.c_str());
        std::strcpy(n.adjacent[1], cp("名古屋").c_str());
        std::strcpy(n.version, "Ver.:1.1.7.170");
        std::strcpy(n.info, cp("大阪支店の共有ノードです。\r\n平日 9:00-18:00").c_str());
        // Folder names on disk are UTF-8.
        platform::makeSureDirectoryPathExists(dir.file("RECV/大阪支店"));
        testsupport::writeFile(dir.file("RECV/大阪支店/nodeInfomation.nod"),
                               std::string(reinterpret_cast<const char*>(&n), sizeof n));
    }
};

} // namespace

TEST_F(Screenshots, EveryWindowShowsItsTextsWhole)
{
    fillNode();
    start();
    tick();
    // One row shown as connected, as a live link would show it.
    dlg->connectList().SetItemText(0, CConnectionRows::COL_STATE, cp("接続"));
    dlg->statusLabel().showMessage(cp("TCP接続フレームエラーです接続先のバージョンを確認して下さい."));
    dlg->ShowWindow(SW_SHOWNORMAL);
    look(*dlg, "main_window");
    for (const std::string& cut : windowcheck::cutCells(dlg->catalogList().table()))
        ADD_FAILURE() << "file list: " << cut;

    lookAtModal<CSystemPropatyDlg>("system_settings", [&] { button(IDC_SYSTEM_SETTINGS)->Click(); });
    dlg->connectList().SetSelectionMark(0);
    lookAtModal<CDialogConnectMethod>("connection", [&] { button(IDC_CONNECT_CHANGE)->Click(); });
    lookAtModal<CAboutDlg>("about", [&] { dlg->SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0); });
    lookAtModal<CEntryDlg>("registration_method", [&] {
        CEntryDlg entry(dlg.get());
        entry.m_entryMode = 0;
        entry.DoModal();
    });
    lookAtModal<CSyncDlg>(
        "synchronisation",
        [&] {
            CSyncDlg sync(dlg.get());
            sync.DoModal();
        },
        [](CSyncDlg& d) { buttonOf(d, IDC_SYNC_SINCE)->Click(); });

    CNodeInfoDlg& nodes = dlg->nodeInfoDlg();
    nodes.tick();
    button(IDC_NODE_INFO)->Click();
    ASSERT_EQ(nodes.m_nodeList.GetItemCount(), 2);
    nodes.m_nodeList.SetSelectionMark(1);
    nodes.SendMessage(WM_NOTIFY, IDC_NODEWIN_LIST, NM_CLICK);
    look(nodes, "node_window");
    for (const std::string& cut : windowcheck::cutCells(nodes.m_nodeList.table()))
        ADD_FAILURE() << "node list: " << cut;
    for (const std::string& cut : windowcheck::cutCells(nodes.m_fileDlg.m_fileList.table()))
        ADD_FAILURE() << "node files: " << cut;
    // The own node's files: the pane's other title and buttons.
    nodes.m_nodeList.SetSelectionMark(0);
    nodes.SendMessage(WM_NOTIFY, IDC_NODEWIN_LIST, NM_CLICK);
    look(nodes, "node_window_own");
    lookAtModal<CNodePropatyDlg>("own_contact", [&] {
        dynamic_cast<CButton*>(nodes.GetDlgItem(IDC_NODEWIN_OWN_SETTINGS))->Click();
    });
}
