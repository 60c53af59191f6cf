// The main window with a real TCP link to a scripted peer: the state column
// and the row's colour follow the link, the settings and connection buttons
// are locked while it is up, and a suspend takes the node offline until the
// resume that ends it.
#include "linked_testkit.h"

using namespace apptest;

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
