// The main window in-process: what its initialisation reads and starts, the
// tick's counters, online and offline with real listening, the connection
// lock, notices in the status label, suspend and resume, the end of the
// session, and hiding and showing.

#include <QAction>
#include <QWidget>

#include "app_testkit.h"
#include "platform/localtime.h"
#include "store/catalog.h"
#include "tcp/tcp_a2a_model.h"

using namespace apptest;
using uitest::pump;
using uitest::waitUntil;

namespace {

// Message boxes, recorded and answered with OK.
class RecordedBoxes {
public:
    RecordedBoxes()
        : m_handler([this](const ui::MessageBoxRequest& r) {
              texts.push_back(r.utf8Text());
              return IDOK;
          })
    {
    }
    std::vector<std::string> texts;

private:
    ui::ScopedMessageBoxHandler m_handler;
};

// A listening socket of the test's own that counts the connections made
// to it (and closes each at once).
class CountingListener {
public:
    CountingListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(m_fd, 8);
        socklen_t len = sizeof sa;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~CountingListener() { ::close(m_fd); }

    // Accepts what has arrived, letting the event loop run for ms.
    int acceptFor(int ms)
    {
        int n = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c >= 0) {
                ::close(c);
                ++n;
            }
        }
        return n;
    }

    int port = 0;

private:
    int m_fd = -1;
};

// A messaging-client side that reports a chosen link status.
class StatusSide : public CSkypeSide {
public:
    int status = 0;
    int getStatus() override { return status; }
};

using MainWindowInit = MainWindowTest;
using MainWindowTick = MainWindowTest;
using MainWindowOnline = MainWindowTest;
using MainWindowNotices = MainWindowTest;
using MainWindowSession = MainWindowTest;
using MainWindowShowing = MainWindowTest;

} // namespace

// --- Initialisation --------------------------------------------------------------

TEST_F(MainWindowInit, ReadsTheSettingsAndShowsThemWithTheRows)
{
    ini.party = "東京";
    ini.name = "本社";
    ini.limitDay = 7;
    ini.rows = {{"大阪", "TCP", "127.0.0.1/" + std::to_string(freePort()), "支店"},
                {"名古屋", "TCP", "localhost", ""}};
    start();
    EXPECT_EQ(dlg->GetWindowText(), cp("Yuvo [東京]"));
    EXPECT_EQ(text(IDC_PARTY_NAME), cp("東京"));
    EXPECT_EQ(text(IDC_NODE_NAME), cp("本社"));
    EXPECT_EQ(dlg->getLimitDay(), 7);
    EXPECT_EQ(dlg->getListenPort(), ini.listenPort);
    ASSERT_EQ(dlg->getConnectNum(), 2);
    CListCtrlEx& list = dlg->connectList();
    ASSERT_EQ(list.GetItemCount(), 2);
    EXPECT_EQ(cell(list, 0, 0), cp("大阪"));
    EXPECT_EQ(cell(list, 0, 1), "TCP");
    EXPECT_EQ(cell(list, 0, 4), cp("支店"));
    EXPECT_EQ(cell(list, 1, 2), "localhost");
    EXPECT_EQ(dlg->getRecPort(1), 42000);
    EXPECT_EQ(list.GetColumnCount(), 5);
    EXPECT_EQ(dlg->catalogList().GetColumnCount(), 7);
    // Rows, a node name and a party: online, and listening at once.
    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_EQ(button(IDC_ONLINE)->GetCheck(), BST_CHECKED);
    EXPECT_TRUE(accepts(ini.listenPort));
    // The window is the settings object that the lower layers reach.
    EXPECT_EQ(CPropatyTandrel::getInstance(), static_cast<CPropatyTandrel*>(dlg.get()));
}

TEST_F(MainWindowInit, LoadedCatalogReachesTheFileListAtTheFirstRefresh)
{
    const CatalogRecord a = catalogtest::makeRec("OTHER", "a.txt", 100);
    const CatalogRecord b = catalogtest::makeRec("NODE_A", "b.txt", 200);
    writeCatalog({a, b});
    start();
    EXPECT_EQ(dlg->catalogList().GetItemCount(), 0);
    EXPECT_EQ(dlg->viewEvents().size(), 2u);
    tick();
    EXPECT_TRUE(dlg->viewEvents().empty());
    ASSERT_EQ(dlg->catalogList().GetItemCount(), 2);
    EXPECT_EQ(dlg->catalogRows(), 2);
    EXPECT_EQ(cell(dlg->catalogList(), 0, CATCOL_FILE), "a.txt");
    EXPECT_EQ(cell(dlg->catalogList(), 1, CATCOL_ORIGIN), "NODE_A");
}

TEST_F(MainWindowInit, NoRowsStartsOfflineWithoutAMessageAndWithoutListening)
{
    start(); // any message box would fail the test
    EXPECT_EQ(dlg->offline(), 1);
    EXPECT_EQ(button(IDC_OFFLINE)->GetCheck(), BST_CHECKED);
    EXPECT_FALSE(dlg->transfer().isListening());
    EXPECT_FALSE(accepts(ini.listenPort));
}

TEST_F(MainWindowInit, RowsWithAMissingSettingShowItsMessageAndStayOffline)
{
    struct Case {
        std::string name, party;
        const char* message;
    };
    const Case cases[] = {
        {"", "P", "ノード名が未設定です。ノード名を設定してください。"},
        {"", "", "ノード名が未設定です。ノード名を設定してください。"}, // only the first one
        {"N", "", "パーティ名が未設定です。パーティ名を設定してください。"},
    };
    for (const Case& c : cases) {
        RecordedBoxes boxes;
        ini.name = c.name;
        ini.party = c.party;
        ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
        start();
        ASSERT_EQ(boxes.texts.size(), 1u) << c.message;
        EXPECT_EQ(boxes.texts[0], c.message);
        EXPECT_EQ(dlg->offline(), 1);
        EXPECT_EQ(button(IDC_OFFLINE)->GetCheck(), BST_CHECKED);
        EXPECT_FALSE(accepts(ini.listenPort));
        dlg.reset();
        CPostError::destroyInstance();
    }
}

// --- The tick --------------------------------------------------------------------

TEST_F(MainWindowTick, StateRefreshAndDrainOnTicksOneFourSeven)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    start();
    CListCtrlEx& list = dlg->connectList();
    const std::string notConnected = cp("未接続");
    EXPECT_EQ(cell(list, 0, 3), "");
    const CatalogRecord rec = catalogtest::makeRec("OTHER", "x.bin", 10);
    for (int t = 1; t <= 7; ++t) {
        list.SetItemText(0, 3, "-");
        dlg->onCatalogAdd(&rec);
        tick();
        const bool refresh = t == 1 || t == 4 || t == 7;
        EXPECT_EQ(cell(list, 0, 3), refresh ? notConnected : "-") << "tick " << t;
        EXPECT_EQ(dlg->viewEvents().empty(), refresh) << "tick " << t;
    }
    EXPECT_EQ(dlg->catalogList().GetItemCount(), 7);
}

TEST_F(MainWindowTick, SendScanOnTicksOneTwelveTwentyThree)
{
    start();
    CFolderWatch::setUseLeases(true);
    CCatalog* catalog = CCatalog::getInstance();
    int expected = 0;
    for (int t = 1; t <= 23; ++t) {
        testsupport::writeFile(dir.file("SEND/f" + std::to_string(t) + ".txt"), "data " + std::to_string(t));
        tick();
        if (t == 1 || t == 12 || t == 23)
            expected = t;
        EXPECT_EQ(catalog->getRecCount(), expected) << "tick " << t;
    }
}

TEST_F(MainWindowTick, ConnectPassOnTicksOneAndTwentyTwo)
{
    CountingListener peer;
    ini.name = "N1";
    ini.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(peer.port), ""}};
    start();
    tick(); // 1
    EXPECT_EQ(peer.acceptFor(300), 1);
    // The model drops the link its peer closed; no new attempt before 22.
    for (int t = 2; t <= 21; ++t) {
        tick();
        EXPECT_EQ(peer.acceptFor(20), 0) << "tick " << t;
    }
    ASSERT_TRUE(waitUntil([] { return CTcpA2AModel::getInstance()->pending().empty(); }));
    tick(); // 22
    EXPECT_EQ(peer.acceptFor(300), 1);
}

TEST_F(MainWindowTick, ExpiryFirstOnTick601)
{
    CatalogRecord old = catalogtest::makeRec("OTHER", "old.txt", 10);
    old.expires = localTimeDaysFromNow(-2);
    CCatalog::setCheckSum(&old);
    writeCatalog({old});
    start();
    CatalogRecord r;
    tick(600);
    CCatalog::getInstance()->getRec(0, &r);
    EXPECT_EQ(r.state, DWORD(CATALOG_STATE_NEW));
    tick();
    CCatalog::getInstance()->getRec(0, &r);
    EXPECT_EQ(r.state, DWORD(CATALOG_STATE_DELETED));
}

// --- Online and offline ------------------------------------------------------------

TEST_F(MainWindowOnline, OfflineClosesTheListenerAndConnectsNowhereAndOnlineReopensIt)
{
    CountingListener peer;
    ini.name = "N1";
    ini.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(peer.port), ""}};
    start();
    ASSERT_TRUE(accepts(ini.listenPort));
    button(IDC_OFFLINE)->Click();
    EXPECT_EQ(dlg->offline(), 1);
    EXPECT_FALSE(accepts(ini.listenPort));
    tick(23);
    EXPECT_EQ(peer.acceptFor(200), 0);
    button(IDC_ONLINE)->Click();
    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_TRUE(accepts(ini.listenPort));
}

TEST_F(MainWindowOnline, AListenThatFailedIsTriedAgainByTheConnectPass)
{
    // Someone else holds the port at start-up.
    auto squatter = std::make_unique<CountingListener>();
    ini.listenPort = squatter->port;
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    start();
    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_FALSE(dlg->transfer().isListening());
    // Once the port is free, the next connect pass listens.
    squatter.reset();
    tick();
    EXPECT_TRUE(dlg->transfer().isListening());
    EXPECT_TRUE(accepts(ini.listenPort));
}

TEST_F(MainWindowOnline, GoingOnlineWithoutRowsAsksForOne)
{
    start();
    ASSERT_EQ(dlg->offline(), 1);
    RecordedBoxes boxes;
    button(IDC_ONLINE)->Click();
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "接続先の設定がありません。接続先を1つ以上設定してください。");
    EXPECT_EQ(dlg->offline(), 1);
    EXPECT_EQ(button(IDC_OFFLINE)->GetCheck(), BST_CHECKED);
    EXPECT_FALSE(accepts(ini.listenPort));
}

TEST_F(MainWindowOnline, SkypeStateTexts)
{
    StatusSide side;
    start();
    dlg->transfer().setSkypeSide(&side);
    const std::pair<int, const char*> cases[] = {
        {0, "SKYPEと未接続"}, {1, "SKYPEと接続"}, {2, "SKYPEと認証中"}, {3, "SKYPEと切断"}, {4, "SKYPEと切断"}};
    for (const auto& [status, shown] : cases) {
        side.status = status;
        dlg->onSkypeStateChanged();
        EXPECT_EQ(text(IDC_SKYPE_STATE), cp(shown)) << status;
    }
    dlg->transfer().setSkypeSide(nullptr);
}

// --- Notices ------------------------------------------------------------------------

TEST_F(MainWindowNotices, CodesShowTheirTextsAndOthersNothing)
{
    start();
    CMsg& label = dlg->statusLabel();
    dlg->SendMessage(WM_POSTERROR, 2, 0);
    dlg->SendMessage(WM_POSTERROR, 3, 1);
    EXPECT_EQ(label.GetWindowText(), "");
    dlg->SendMessage(WM_POSTERROR, POSTERROR_PARTY_MISMATCH, 0);
    EXPECT_EQ(label.GetWindowText(), cp("TCP接続でパーティ名が不一致の接続があります.切断します."));
    dlg->SendMessage(WM_POSTERROR, POSTERROR_FRAME_ERROR, 0);
    EXPECT_EQ(label.GetWindowText(), cp("TCP接続フレームエラーです接続先のバージョンを確認して下さい."));
    // Free texts come through the poster, each with its own text.
    CPostError::getInstance()->postErrorText(1, cp("一つ目").c_str());
    CPostError::getInstance()->postErrorText(1, cp("二つ目").c_str());
    ASSERT_TRUE(waitUntil([&] { return label.GetWindowText() == cp("二つ目"); }));
    // Sent straight to the window, the notice shows the poster's last text.
    label.showMessage("");
    dlg->SendMessage(WM_POSTERROR, 1, POSTERROR_FREE_TEXT);
    EXPECT_EQ(label.GetWindowText(), cp("二つ目"));
}

TEST_F(MainWindowNotices, ANoticeStaysTenTicksAndANewOneStartsAgain)
{
    start();
    CMsg& label = dlg->statusLabel();
    label.KillTimer(CMsg::TIMER_ID);
    label.showMessage(cp("最初"));
    for (int i = 0; i < 4; ++i)
        label.OnTimer(CMsg::TIMER_ID);
    label.showMessage(cp("次"));
    for (int i = 0; i < 9; ++i)
        label.OnTimer(CMsg::TIMER_ID);
    EXPECT_EQ(label.GetWindowText(), cp("次"));
    label.OnTimer(CMsg::TIMER_ID);
    EXPECT_EQ(label.GetWindowText(), "");
    EXPECT_EQ(label.flags(), 0);
    EXPECT_EQ(label.text2(), "");
}

// --- Suspend, resume and the end of the session ----------------------------------------

TEST_F(MainWindowSession, SuspendGoesOfflineAndResumeRestoresTheChoiceSavedFirst)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    start();
    ASSERT_EQ(dlg->offline(), 0);
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0); // not suspended: nothing
    EXPECT_EQ(dlg->offline(), 0);
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_EQ(dlg->suspended(), 1);
    EXPECT_EQ(dlg->offline(), 1);
    EXPECT_EQ(button(IDC_OFFLINE)->GetCheck(), BST_CHECKED);
    // Listening goes on while suspended.
    EXPECT_TRUE(accepts(ini.listenPort));
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    dlg->SendMessage(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(dlg->suspended(), 0);
    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_EQ(button(IDC_ONLINE)->GetCheck(), BST_CHECKED);
}

TEST_F(MainWindowSession, CancelledEndRestartsTheTick)
{
    start(false);
    EXPECT_EQ(dlg->SendMessage(WM_QUERYENDSESSION, 0, 0), TRUE);
    dlg->SendMessage(WM_ENDSESSION, FALSE, 0);
    // KillTimer tells whether the tick was running.
    EXPECT_TRUE(dlg->KillTimer(TIMER_TICK));
    EXPECT_TRUE(dlg->widget() && !dlg->widget()->isHidden());

    dlg->SetTimer(TIMER_TICK, 500);
    dlg->SendMessage(WM_QUERYENDSESSION, 0, 0);
    EXPECT_FALSE(dlg->KillTimer(TIMER_TICK));
}

TEST_F(MainWindowSession, EndOfTheSessionEndsTheRunAndRewritesTheFiles)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    const CatalogRecord a = catalogtest::makeRec("OTHER", "a.txt", 100);
    writeIni();
    // A partial record at the end: the load cuts it off, so only a rewrite
    // of the whole file loses it.
    platform::makeSureDirectoryPathExists(dir.file("CATALOG") + "/");
    catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), {a}, std::string(100, 'x'));
    // The INI as a person may have written it: without the keys that the
    // program writes.
    testsupport::writeFile(dir.file("Yuvo.ini"), "[SYSTEM]\nPARTY=PARTY\nNAME=NODE_A\nCONNECTNUM=1\nLISTENPORT=" +
                                                      std::to_string(ini.listenPort) +
                                                      "\n[REC1]\nNAME=PEER\nTRS=TCP\nHOSTNAME=127.0.0.1/1\n");
    for (LPARAM how : {LPARAM(0), ENDSESSION_LOGOFF}) {
        CTandrelDlg window;
        ui::ScopedModalDialogHandler modal([&](CDialog&) {
            if (how == 0)
                window.SendMessage(WM_ENDSESSION, TRUE, 0);
            else
                window.SendMessage(WM_ENDSESSION, FALSE, how);
        });
        EXPECT_EQ(window.DoModal(), IDOK);
    }
    const std::string ini2 = testsupport::readFile(dir.file("Yuvo.ini"));
    EXPECT_NE(ini2.find("LIMITDAY=3"), std::string::npos) << ini2;
    EXPECT_NE(ini2.find("WINDOW=0"), std::string::npos) << ini2;
    EXPECT_NE(ini2.find("COMMENT="), std::string::npos) << ini2;
    EXPECT_EQ(platform::fileSize(dir.file("CATALOG/catalog.dat")), 820) << "catalog.dat was not written anew";
    const auto recs = catalogtest::readRecords(dir.file("CATALOG/catalog.dat"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(catalogtest::fileOf(recs[0]), "a.txt");
}

TEST_F(MainWindowSession, TrayExitAndTheContextMenuExitEndTheRun)
{
    writeIni();
    for (bool fromTray : {true, false}) {
        CTandrelDlg window;
        ui::ScopedModalDialogHandler modal([&](CDialog&) {
            if (fromTray)
                window.trayIcon().invokeCommand(ID_TRAY_EXIT);
            else
                window.exitAction()->trigger();
        });
        EXPECT_EQ(window.DoModal(), IDOK);
        EXPECT_FALSE(window.widget());
    }
}

TEST_F(MainWindowSession, NamesThatAreNoCp932TextSurviveTheRun)
{
    // A hand-edited INI may hold bytes that are no CP932 text; the window
    // shows them as it can, and keeps and writes back the bytes themselves.
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    writeIni();
    const std::string odd = "N\x80\xA0";
    std::string text = testsupport::readFile(dir.file("Yuvo.ini"));
    text.replace(text.find("NAME=NODE_A"), 11, "NAME=" + odd);
    testsupport::writeFile(dir.file("Yuvo.ini"), text);

    dlg = std::make_unique<CTandrelDlg>();
    ASSERT_TRUE(dlg->Create());
    EXPECT_EQ(std::string(dlg->getNodeName()), odd);
    button(IDC_OFFLINE)->Click();
    button(IDC_ONLINE)->Click();
    EXPECT_EQ(std::string(dlg->getNodeName()), odd);
    dlg.reset();
    EXPECT_NE(testsupport::readFile(dir.file("Yuvo.ini")).find("NAME=" + odd + "\r\n"), std::string::npos);
}

// --- Showing and hiding ---------------------------------------------------------------

TEST_F(MainWindowShowing, EveryWayOfClosingHidesAndTheTrayMenuShowsAgain)
{
    start();
    ASSERT_TRUE(dlg->IsWindowVisible());
    EXPECT_EQ(dlg->visibleMeant(), 1);
    const std::function<void()> closers[] = {
        [&] { dlg->keyEnter(); },
        [&] { dlg->keyEscape(); },
        [&] { dlg->SendMessage(WM_CLOSE); },
        [&] { button(IDOK)->Click(); },
    };
    for (const auto& close : closers) {
        close();
        // No tray on this desktop: minimised, so it can come back.
        EXPECT_EQ(dlg->visibleMeant(), 0);
        EXPECT_TRUE(dlg->IsIconic());
        EXPECT_TRUE(dlg->widget() != nullptr);
        dlg->SendMessage(WM_COMMAND, MAKEWPARAM(ID_TRAY_OPEN, BN_CLICKED), 0);
        EXPECT_EQ(dlg->visibleMeant(), 1);
        EXPECT_FALSE(dlg->IsIconic());
        EXPECT_TRUE(dlg->IsWindowVisible());
    }
    // The timers go on.
    EXPECT_TRUE(dlg->KillTimer(TIMER_TRAY));
    // A double click on the tray icon shows it too.
    dlg->SendMessage(WM_CLOSE);
    dlg->trayIcon().activate(CTrayIcon::Activation::doubleClick);
    EXPECT_EQ(dlg->visibleMeant(), 1);
    EXPECT_FALSE(dlg->IsIconic());
}

TEST_F(MainWindowShowing, StartClosedStartsMinimisedWithoutATrayAndTheTipIsTheTitle)
{
    ini.window = 1;
    ini.party = "東京";
    start();
    EXPECT_EQ(dlg->visibleMeant(), 0);
    EXPECT_TRUE(dlg->IsIconic());
    EXPECT_EQ(dlg->trayIcon().toolTip(), cp("Yuvo [東京]"));
}
