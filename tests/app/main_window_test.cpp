// The main window in-process: the tick's counters, online and offline with
// real listening, notices in the status label and their time-out, hiding and
// the tray, the Skype state texts, the connection rows as the settings
// interface answers them, the compaction's cadence, and a cancelled end of
// the session.
#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QWidget>

#include <set>

#include "app_testkit.h"
#include "platform/localtime.h"
#include "store/catalog.h"
#include "tcp/tcp_a2a_model.h"

using namespace apptest;
using uitest::waitUntil;

namespace {

// A listening socket of the test's own that counts the connections made to
// it (and closes each at once).
class CountingListener {
public:
    CountingListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(m_fd, 8);
        socklen_t len = sizeof sa;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~CountingListener() { ::close(m_fd); }

    // Accepts what arrives while the event loop runs for ms.
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

struct RecordedBoxes {
    std::vector<std::string> texts;
    ui::ScopedMessageBoxHandler scope{[this](const ui::MessageBoxRequest& r) {
        texts.push_back(r.utf8Text());
        return IDOK;
    }};
};

} // namespace

TEST_F(MainWindowTest, EachCounterFiresOnItsOwnTicks)
{
    CountingListener peer;
    ini.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(peer.port), ""}};
    CatalogRecord old = catalogtest::makeRec("OTHER", "old.txt", 10);
    old.expires = localTimeDaysFromNow(-2);
    CCatalog::setCheckSum(&old);
    writeCatalog({old});
    start();
    CFolderWatch::setUseLeases(true);
    CCatalog* catalog = CCatalog::getInstance();
    CListCtrlEx& rows = dlg->connectList();

    std::set<int> refreshed, scanned, connected;
    for (int t = 1; t <= 24; ++t) {
        // A link the peer closed is dropped first, so only the counter decides.
        ASSERT_TRUE(waitUntil([] { return CTcpA2AModel::getInstance()->pending().empty(); }));
        rows.SetItemText(0, 3, "-");
        testsupport::writeFile(dir.file("SEND/f" + std::to_string(t) + ".txt"), "data " + std::to_string(t));
        const int before = catalog->getRecCount();
        tick();
        if (cell(rows, 0, 3) != "-")
            refreshed.insert(t);
        if (catalog->getRecCount() > before)
            scanned.insert(t);
        if (peer.acceptFor(150) > 0)
            connected.insert(t);
    }
    const struct {
        const char* counter;
        const std::set<int>& fired;
        std::set<int> expected;
    } table[] = {
        {"state refresh", refreshed, {1, 4, 7, 10, 13, 16, 19, 22}},
        // Started on ticks 1, 12 and 23, applied by the slices that follow
        // each.
        {"SEND scan", scanned, {1, 12, 23}},
        {"connect pass", connected, {1, 22}},
    };
    for (const auto& row : table)
        EXPECT_EQ(row.fired, row.expected) << row.counter;

    // Expiry first runs on tick 601.
    CatalogRecord r;
    tick(600 - 24);
    catalog->getRec(0, &r);
    EXPECT_EQ(r.state, DWORD(CATALOG_STATE_NEW));
    tick();
    catalog->getRec(0, &r);
    EXPECT_EQ(r.state, DWORD(CATALOG_STATE_DELETED));
}

TEST_F(MainWindowTest, MissingSettingsKeepTheNodeOfflineWithTheirMessage)
{
    const std::string noName = "ノード名が未設定です。ノード名を設定してください。";
    const std::string noParty = "パーティ名が未設定です。パーティ名を設定してください。";
    const std::string noRows = "接続先の設定がありません。接続先を1つ以上設定してください。";
    const struct {
        std::string name, party;
        bool rows;
        std::vector<std::string> atStart, atOnline;
    } table[] = {
        {"", "P", true, {noName}, {noName}},
        {"", "", true, {noName}, {noName}}, // only the first one
        {"N", "", true, {noParty}, {noParty}},
        {"N", "P", false, {}, {noRows}}, // no rows: silently offline
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name + "/" + c.party);
        ini.name = c.name;
        ini.party = c.party;
        ini.rows.clear();
        if (c.rows)
            ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
        RecordedBoxes boxes;
        start();
        EXPECT_EQ(boxes.texts, c.atStart);
        boxes.texts.clear();
        button(IDC_ONLINE)->Click();
        EXPECT_EQ(boxes.texts, c.atOnline);
        EXPECT_EQ(dlg->offline(), 1);
        EXPECT_EQ(button(IDC_OFFLINE)->GetCheck(), BST_CHECKED);
        EXPECT_FALSE(accepts(ini.listenPort));
        dlg.reset();
        CPostError::destroyInstance();
    }
}

TEST_F(MainWindowTest, OfflineClosesTheListenerAndAFailedListenIsRetried)
{
    // Someone else holds the port at start-up: said once, in a box and in
    // the status label, while every connect pass tries again.
    auto squatter = std::make_unique<CountingListener>();
    ini.listenPort = squatter->port;
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    RecordedBoxes boxes;
    start();
    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_FALSE(dlg->transfer().isListening());
    ASSERT_TRUE(waitUntil([&] { return !boxes.texts.empty(); }));
    const std::string said = boxes.texts[0];
    EXPECT_NE(said.find(std::to_string(ini.listenPort) + " は他のプログラムが使用中"), std::string::npos) << said;
    EXPECT_EQ(dlg->statusLabel().GetWindowText(), cp(said));
    tick(); // a connect pass that fails again
    for (int i = 0; i < 3; ++i) // its notice and the box it would post
        QCoreApplication::processEvents();
    EXPECT_EQ(boxes.texts.size(), 1u);
    squatter.reset();
    tick(21); // the next connect pass listens once the port is free
    EXPECT_TRUE(accepts(ini.listenPort));

    button(IDC_OFFLINE)->Click();
    EXPECT_FALSE(accepts(ini.listenPort));
    button(IDC_ONLINE)->Click();
    EXPECT_TRUE(accepts(ini.listenPort));
}

TEST_F(MainWindowTest, NoticeCodesShowTheirTexts)
{
    start();
    CMsg& label = dlg->statusLabel();
    CPostError::getInstance()->postErrorText(1, cp("自由文").c_str());
    ASSERT_TRUE(waitUntil([&] { return label.GetWindowText() == cp("自由文"); }));
    const struct {
        WPARAM code;
        LPARAM arg;
        const char* shown;
    } table[] = {
        {2, 0, ""},
        {3, 1, ""},
        {POSTERROR_PARTY_MISMATCH, 0, "TCP接続でパーティ名が不一致の接続があります.切断します."},
        {POSTERROR_FRAME_ERROR, 0, "TCP接続フレームエラーです接続先のバージョンを確認して下さい."},
        {1, POSTERROR_FREE_TEXT, "自由文"}, // the poster's last free text
    };
    for (const auto& c : table) {
        label.showMessage("");
        dlg->SendMessage(WM_POSTERROR, c.code, c.arg);
        EXPECT_EQ(label.GetWindowText(), cp(c.shown)) << c.code;
    }
}

TEST_F(MainWindowTest, CancelledEndOfTheSessionRestartsTheTick)
{
    start(false);
    EXPECT_EQ(dlg->SendMessage(WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_FALSE(dlg->KillTimer(TIMER_TICK)); // stopped while the session may end
    dlg->SendMessage(WM_ENDSESSION, FALSE, 0);
    EXPECT_TRUE(dlg->KillTimer(TIMER_TICK));
    EXPECT_TRUE(dlg->widget() && !dlg->widget()->isHidden());
}

TEST_F(MainWindowTest, ANoticeStaysTenTicksAndANewerOneStartsItsOwn)
{
    start();
    CMsg& label = dlg->statusLabel();
    label.KillTimer(CMsg::TIMER_ID); // the test drives the label's ticks
    auto ticks = [&](int n) {
        for (int i = 0; i < n; ++i)
            label.OnTimer(CMsg::TIMER_ID);
    };
    label.showMessage(cp("最初"));
    ticks(4);
    EXPECT_EQ(label.GetWindowText(), cp("最初"));
    label.showMessage(cp("次"));
    ticks(9);
    EXPECT_EQ(label.GetWindowText(), cp("次")) << "the newer notice counts from its own arrival";
    ticks(1);
    EXPECT_EQ(label.GetWindowText(), "");
    EXPECT_EQ(label.flags(), 0);
    label.OnTimer(CMsg::TIMER_ID + 1); // another timer counts nothing down
    label.showMessage(cp("三"));
    label.OnTimer(CMsg::TIMER_ID + 1);
    ticks(9);
    EXPECT_EQ(label.GetWindowText(), cp("三"));
}

TEST_F(MainWindowTest, EveryWayToCloseHidesAndTheTrayBringsItBack)
{
    start();
    QWidget* w = dlg->widget();
    auto hidden = [&] { return dlg->visibleMeant() == 0 && (w->isHidden() || w->isMinimized()); };
    auto shown = [&] { return dlg->visibleMeant() == 1 && w->isVisible() && !w->isMinimized(); };
    const struct {
        const char* way;
        std::function<void()> close;
    } ways[] = {
        {"Enter", [&] { dlg->connectList().SetFocus(); dlg->keyEnter(); }},
        {"Escape", [&] { dlg->keyEscape(); }},
        {"close box", [&] { w->close(); }},
        {"ウィンドウを閉じる", [&] { button(IDOK)->Click(); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.way);
        dlg->showMainWindow(TRUE);
        ASSERT_TRUE(shown());
        way.close();
        EXPECT_TRUE(hidden());
        EXPECT_TRUE(dlg->widget()) << "closing only hides";
    }

    // The tray: its menu, a click that does nothing, the double-click, and
    // "メインウィンドウを開く" also for a minimised window.
    std::vector<std::string> items;
    for (QAction* a : dlg->trayIcon().menu()->actions())
        items.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    EXPECT_EQ(items, (std::vector<std::string>{"メインウィンドウを開く", "-", "終了"}));
    dlg->trayIcon().activate(CTrayIcon::Activation::click);
    EXPECT_TRUE(hidden());
    dlg->trayIcon().activate(CTrayIcon::Activation::doubleClick);
    EXPECT_TRUE(shown());
    dlg->ShowWindow(SW_SHOWMINIMIZED);
    button(IDOK)->Click();
    ASSERT_TRUE(dlg->trayIcon().invokeCommand(ID_TRAY_OPEN));
    EXPECT_TRUE(shown());
}

TEST_F(MainWindowTest, SkypeStateTextsFollowTheLinkStatus)
{
    struct StatusSide : CSkypeSide {
        int status = 0;
        int getStatus() override { return status; }
    } side;
    start();
    dlg->transfer().setSkypeSide(&side);
    const struct {
        int status;
        const char* text; // after the change
    } table[] = {
        {1, "SKYPEと接続"},  {4, "SKYPEと接続"},   {2, "SKYPEと認証中"},
        {3, "SKYPEと切断"},  {0x8001, "SKYPEと切断"}, {0, "SKYPEと未接続"},
    };
    for (const auto& c : table) {
        side.status = c.status;
        dlg->transfer().onStatus(c.status);
        EXPECT_EQ(dlg->skypeStateText(), cp(c.text)) << c.status;
        EXPECT_EQ(dlg->GetDlgItem(IDC_SKYPE_STATE)->GetWindowText(), cp(c.text)) << c.status;
    }
    dlg->transfer().setSkypeSide(nullptr);
}

// The rows as the transports and the hello handling ask for them: matched
// by transport word and host part exactly, renamed everywhere they match,
// and a Skype ID accepted only while online.
TEST_F(MainWindowTest, RowsAreFoundRenamedAndAcceptedByExactMatch)
{
    ini.rows = {
        {"A", "TCP", "h1/43000", ""},
        {"S", "SKYPE", "sk.id", ""},
        {"S", "SKYPE", "sk.id", ""},
        {"S", "TCP", "sk.id", ""},
        {"L", "tcp", "h2", ""},
    };
    start();
    std::string out = "stale";
    EXPECT_EQ(dlg->findRecName(out, 1, "h2"), "L") << "the file's carrier word is read in any case";
    dlg->setRecTransport(4, "tcp");
    const struct {
        int transport;
        const char* host;
        const char* found;
    } finds[] = {
        {0, "sk.id", "S"}, {1, "h1", "A"},   {1, "h1/43000", ""}, {0, "h1", ""},
        {1, "h2", ""},     {2, "sk.id", ""}, {-1, "sk.id", ""},   {0, "SK.ID", ""},
    };
    for (const auto& f : finds)
        EXPECT_EQ(dlg->findRecName(out, f.transport, f.host), f.found) << f.transport << " " << f.host;

    dlg->renameRecName(0, "sk.id", "S", "NEW");
    const std::vector<std::string> names = {"A", "NEW", "NEW", "S", "L"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(dlg->getRecName(i), names[i]) << i;
        EXPECT_EQ(cell(dlg->connectList(), i, 0), names[i]) << "the list shows row " << i;
    }
    EXPECT_EQ(dlg->findRecName(out, 1, "sk.id"), "S");

    EXPECT_EQ(dlg->offline(), 0);
    EXPECT_EQ(dlg->isAcceptSkypeId("sk.id"), 1);
    for (const char* id : {"SK.ID", "h1", "h2", ""})
        EXPECT_EQ(dlg->isAcceptSkypeId(id), 0) << id;
    button(IDC_OFFLINE)->Click();
    EXPECT_EQ(dlg->isAcceptSkypeId("sk.id"), 0) << "nothing is accepted while offline";
}

// Compaction runs 5 s after the window starts and 5 s after each run: a
// deleted entry leaves the catalog with the next run.
TEST_F(MainWindowTest, CompactionRunsEveryFiveSeconds)
{
    CatalogRecord gone = catalogtest::makeRec("OTHER", "gone.txt", 10, CATALOG_STATE_DELETED);
    CatalogRecord later = catalogtest::makeRec("OTHER", "later.txt", 10);
    writeCatalog({gone, later});
    QElapsedTimer clock;
    clock.start();
    start();
    CCatalog* catalog = CCatalog::getInstance();
    ASSERT_EQ(catalog->getRecCount(), 2);
    ASSERT_TRUE(waitUntil([&] { return catalog->getRecCount() == 1; }, 30000));
    const qint64 first = clock.elapsed();
    EXPECT_GE(first, 4500);

    catalog->deleteRecLocal(&later);
    ASSERT_TRUE(waitUntil([&] { return catalog->getRecCount() == 0; }, 30000));
    EXPECT_GE(clock.elapsed() - first, 4500) << "the next run waits its 5 s";
}
