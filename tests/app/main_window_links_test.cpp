// The main window with a real TCP link to a scripted peer: the state column
// and the row's colour follow the link, the settings and connection buttons
// are locked while it is up, and a suspend takes the node offline until the
// resume that ends it.
#include "app_testkit.h"
#include "tcp/tcp_testkit.h"

using namespace apptest;

namespace {

class MainWindowLinks : public MainWindowTest {
protected:
    tcptest::ScriptedPeer peer;

    // Online with one row to the peer; the link up after the first tick.
    void startLinked()
    {
        ini.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(peer.listen()), ""}};
        start();
        tick(); // the connect pass
        ASSERT_TRUE(peer.accept());
        peer.sendHello("PEER", "PARTY");
        ASSERT_TRUE(uitest::waitUntil([&] { return dlg->anyConnected() == 1; }));
    }

    void tickToStateRefresh() { tick(3); }

    bool lockedButtonsDisabled(bool disabled)
    {
        for (int id : {IDC_SYSTEM_SETTINGS, IDC_CONNECT_ADD, IDC_CONNECT_CHANGE, IDC_CONNECT_DELETE}) {
            if (button(id)->IsWindowEnabled() == disabled)
                return false;
        }
        // The others stay usable.
        for (int id : {IDC_NODE_INFO, IDC_CATALOG_SYNC, IDC_EXTRACT_FILE, IDC_DELETE_REGISTRATION}) {
            if (!button(id)->IsWindowEnabled())
                return false;
        }
        return true;
    }
};

} // namespace

TEST_F(MainWindowLinks, ALinkLocksTheButtonsAndColoursItsRowUntilItDrops)
{
    startLinked();
    EXPECT_TRUE(lockedButtonsDisabled(true));
    tickToStateRefresh();
    CConnectMFCListCtl& rows = dlg->connectList();
    EXPECT_EQ(cell(rows, 0, 3), cp("接続"));
    for (int col = 0; col < 5; ++col)
        EXPECT_EQ(rows.cellBkColor(0, col), CONNECTED_BACKGROUND) << col;

    peer.close();
    ASSERT_TRUE(uitest::waitUntil([&] { return dlg->anyConnected() == 0; }));
    EXPECT_TRUE(lockedButtonsDisabled(false));
    tickToStateRefresh();
    EXPECT_EQ(cell(rows, 0, 3), cp("未接続"));
    EXPECT_EQ(rows.cellBkColor(0, 0), GetSysColor(COLOR_WINDOW));
}

TEST_F(MainWindowLinks, TwoSuspendsAndOneResumeRestoreTheChoiceOfTheFirst)
{
    startLinked();
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_EQ(dlg->suspended(), 1);
    EXPECT_EQ(dlg->offline(), 1);
    EXPECT_EQ(button(IDC_OFFLINE)->GetCheck(), BST_CHECKED);
    EXPECT_TRUE(peer.waitEnded()) << "the suspend drops the link";

    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMSUSPEND, 0); // offline now: must not be saved
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(dlg->suspended(), 0);
    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_EQ(button(IDC_ONLINE)->GetCheck(), BST_CHECKED);
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0); // not suspended: nothing
    EXPECT_EQ(dlg->offline(), 0);

    // Resume starts nothing by itself; the next connect pass links again.
    tick(21);
    EXPECT_TRUE(peer.accept());
}
