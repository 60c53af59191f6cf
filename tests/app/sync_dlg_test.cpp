// The synchronisation dialog: its date check (the year decides first, then
// the month, then the day, and today counts as past), and the choice it
// passes on, which travels to the neighbour in the link's next hello.
#include <cstring>

#include "app/sync_dlg.h"
#include "dialog_testkit.h"
#include "linked_testkit.h"
#include "tcp/tcp_sock_stream.h"

using namespace apptest;

TEST(SyncDate, PastDatesByYearThenMonthThenDay)
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const struct {
        int year, month, day;
        bool past;
    } table[] = {
        {now.wYear + 1, 1, 1, false}, // an earlier month of a later year
        {now.wYear - 1, 12, 31, true},
        {now.wYear, now.wMonth, now.wDay, true},
        {now.wYear, now.wMonth, now.wDay + 1, false},
    };
    for (const auto& c : table) {
        CSyncDlg d;
        d.m_year = c.year;
        d.m_month = c.month;
        d.m_day = c.day;
        EXPECT_EQ(d.isPastDate(), c.past) << c.year << "/" << c.month << "/" << c.day;
    }
}

namespace {

std::string bytesOf(const SYSTEMTIME& t)
{
    return std::string(reinterpret_cast<const char*>(&t), sizeof t);
}

class SyncChoice : public MainWindowLinks {
protected:
    // Hellos every quarter of a second, so the next one need not be waited
    // for twenty.
    void SetUp() override
    {
        MainWindowLinks::SetUp();
        CTcpSockStream::setHelloTicks(4);
    }
    void TearDown() override
    {
        CTcpSockStream::setHelloTicks(CTcpSockStream::HELLO_TICKS);
        MainWindowLinks::TearDown();
    }

    // The next hello that asks for a synchronisation.
    NodeInfoFrame nextSyncHello()
    {
        tcptest::Frame f;
        NodeInfoFrame hello{};
        EXPECT_TRUE(peer.waitFrame(
            [](const tcptest::Frame& fr) {
                return tcptest::isHello(fr) && reinterpret_cast<const NodeInfoFrame*>(fr.data())->syncMode != 0;
            },
            f));
        if (f.size() >= sizeof hello)
            std::memcpy(&hello, f.data(), sizeof hello);
        return hello;
    }
};

} // namespace

TEST_F(SyncChoice, AllOrSinceADateTravelsInTheNextHelloAndNoOrCancelSendsNothing)
{
    startLinked();
    dlg->connectList().SetSelectionMark(0);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const int year = now.wYear - 1;

    {
        Boxes boxes;
        OnDialog<CSyncDlg> all([](CSyncDlg& d) { clickOk(d); });
        button(IDC_CATALOG_SYNC)->Click();
        EXPECT_EQ(boxes.texts, std::vector<std::string>{"全データの同期を行います。よろしいですか？"});
        const NodeInfoFrame hello = nextSyncHello();
        EXPECT_EQ(hello.syncMode, 1u);
        EXPECT_EQ(bytesOf(hello.syncSince), bytesOf(SYSTEMTIME{}));
    }
    {
        Boxes boxes;
        OnDialog<CSyncDlg> since([&](CSyncDlg& d) {
            buttonOf(d, IDC_SYNC_SINCE)->Click();
            dynamic_cast<CMonthCalCtrl*>(d.GetDlgItem(IDC_SYNC_CALENDAR))->choose(year, 2, 3);
            clickOk(d);
        });
        button(IDC_CATALOG_SYNC)->Click();
        char question[128];
        std::snprintf(question, sizeof question, "%4d年%2d月%2d日以降のデータで同期します。よろしいですか", year, 2, 3);
        EXPECT_EQ(boxes.texts, std::vector<std::string>{question});
        SYSTEMTIME want{};
        want.wYear = WORD(year);
        want.wMonth = 2;
        want.wDay = 3;
        const NodeInfoFrame hello = nextSyncHello();
        EXPECT_EQ(hello.syncMode, 2u);
        EXPECT_EQ(bytesOf(hello.syncSince), bytesOf(want)); // day of week and time 0
    }
    // No to the question keeps the dialog open; Cancel then ends it: no
    // request either way.
    {
        ui::ScopedMessageBoxHandler no([](const ui::MessageBoxRequest&) { return IDNO; });
        OnDialog<CSyncDlg> declined([](CSyncDlg& d) {
            clickOk(d);
            EXPECT_TRUE(d.IsWindowVisible());
            buttonOf(d, IDCANCEL)->Click();
        });
        button(IDC_CATALOG_SYNC)->Click();
        EXPECT_EQ(declined.runs, 1);
    }
    tcptest::Frame f;
    EXPECT_FALSE(peer.waitFrame(
        [](const tcptest::Frame& fr) {
            return tcptest::isHello(fr) && reinterpret_cast<const NodeInfoFrame*>(fr.data())->syncMode != 0;
        },
        f, 1500));
}

TEST_F(MainWindowTest, SyncWithoutARowDoesNothingAndWithoutALinkSaysSo)
{
    ini.rows = {{"PEER", "TCP", "127.0.0.1/1", ""}};
    start();
    Boxes boxes;
    OnDialog<CSyncDlg> never([](CSyncDlg& d) { clickOk(d); });
    button(IDC_CATALOG_SYNC)->Click(); // no row chosen
    EXPECT_TRUE(boxes.texts.empty());
    dlg->connectList().SetSelectionMark(0);
    button(IDC_CATALOG_SYNC)->Click();
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"選択したノードは接続していません"});
    EXPECT_EQ(never.runs, 0);
}
