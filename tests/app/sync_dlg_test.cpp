// The synchronisation button and dialog: refused without a connected row,
// all entries or entries since a past date, today counting as past, and a
// No that keeps the dialog open with the choice unchanged.
#include "app/sync_dlg.h"
#include "app_testkit.h"
#include "platform/localtime.h"
#include "transport/skype_null.h"

using namespace apptest;

namespace {

// A messaging-client side whose one contact is linked; it records the
// synchronisation requests handed to it.
struct LinkedSide : CSkypeSide {
    int connected = 1;
    struct Request {
        std::string id;
        int mode;
        SYSTEMTIME since;
    };
    std::vector<Request> requests;
    int isConnected(const char*) override { return connected; }
    void requestSync(const char* skypeId, int mode, SYSTEMTIME since) override
    {
        requests.push_back({skypeId, mode, since});
    }
};

struct Boxes {
    std::vector<std::string> texts;
    std::vector<int> answers; // for Yes/No boxes, in turn
    ui::ScopedMessageBoxHandler scope{[this](const ui::MessageBoxRequest& r) {
        texts.push_back(r.text);
        if ((r.type & 0xF) != MB_YESNO)
            return IDOK;
        const int a = answers.empty() ? IDNO : answers.front();
        if (!answers.empty())
            answers.erase(answers.begin());
        return a;
    }};
};

SYSTEMTIME today()
{
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return t;
}

class SyncTest : public MainWindowTest {
protected:
    LinkedSide side;
    int dialogs = 0;

    void SetUp() override
    {
        MainWindowTest::SetUp();
        ini.rows = {{"PEER", "SKYPE", "peer.id", ""}};
    }
    void TearDown() override
    {
        if (dlg)
            dlg->transfer().setSkypeSide(nullptr);
        MainWindowTest::TearDown();
    }
    void startLinked()
    {
        start();
        dlg->transfer().setSkypeSide(&side);
    }
    void clickSync() { button(IDC_CATALOG_SYNC)->Click(); }

    static CButton* item(CDialog& d, int id) { return dynamic_cast<CButton*>(d.GetDlgItem(id)); }
    static CMonthCalCtrl* calendar(CDialog& d) { return dynamic_cast<CMonthCalCtrl*>(d.GetDlgItem(IDC_SYNC_CALENDAR)); }
};

} // namespace

TEST_F(SyncTest, NothingWithoutARowAndARefusalForARowNotConnected)
{
    startLinked();
    EXPECT_TRUE(button(IDC_CATALOG_SYNC)->IsWindowEnabled());
    dlg->connectList().SetSelectionMark(-1);
    clickSync(); // any prompt would fail the test
    side.connected = 0;
    dlg->connectList().SetSelectionMark(0);
    Boxes boxes;
    clickSync();
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], cp("選択したノードは接続していません"));
    EXPECT_TRUE(side.requests.empty());
}

TEST_F(SyncTest, AllEntriesAreRequestedWithAZeroDate)
{
    startLinked();
    dlg->connectList().SetSelectionMark(0);
    Boxes boxes;
    boxes.answers = {IDYES};
    ui::ScopedModalDialogHandler modal([&](CDialog& d) {
        ++dialogs;
        auto& sync = dynamic_cast<CSyncDlg&>(d);
        EXPECT_EQ(d.GetWindowText(), cp("同期操作"));
        EXPECT_EQ(sync.m_mode, 0);
        EXPECT_EQ(item(d, IDC_SYNC_ALL)->GetCheck(), BST_CHECKED);
        EXPECT_FALSE(calendar(d)->IsWindowEnabled());
        item(d, IDOK)->Click();
    });
    clickSync();
    EXPECT_EQ(dialogs, 1);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], cp("全データの同期を行います。よろしいですか？"));
    ASSERT_EQ(side.requests.size(), 1u);
    EXPECT_EQ(side.requests[0].id, "peer.id");
    EXPECT_EQ(side.requests[0].mode, 1);
    const SYSTEMTIME zero{};
    EXPECT_EQ(std::memcmp(&side.requests[0].since, &zero, sizeof zero), 0);
}

TEST_F(SyncTest, APastDateIsAskedForAndANoKeepsTheDialogOpen)
{
    startLinked();
    dlg->connectList().SetSelectionMark(0);
    const SYSTEMTIME now = today();
    const SYSTEMTIME tomorrow = localTimeDaysFromNow(1);
    Boxes boxes;
    ui::ScopedModalDialogHandler modal([&](CDialog& d) {
        auto& sync = dynamic_cast<CSyncDlg&>(d);
        item(d, IDC_SYNC_SINCE)->Click();
        EXPECT_EQ(sync.m_mode, 1);
        EXPECT_TRUE(calendar(d)->IsWindowEnabled());

        calendar(d)->choose(tomorrow.wYear, tomorrow.wMonth, tomorrow.wDay);
        item(d, IDOK)->Click();
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], cp("日付は過去日付を選択して下さい。"));
        EXPECT_TRUE(d.isModalRunning());

        calendar(d)->choose(now.wYear, now.wMonth, now.wDay); // today counts as past
        boxes.answers = {IDNO};
        item(d, IDOK)->Click();
        ASSERT_EQ(boxes.texts.size(), 2u);
        char question[128];
        std::snprintf(question, sizeof question, cp("%4d年%2d月%2d日以降のデータで同期します。よろしいですか").c_str(),
                      now.wYear, now.wMonth, now.wDay);
        EXPECT_EQ(boxes.texts[1], question);
        EXPECT_TRUE(d.isModalRunning());
        EXPECT_EQ(sync.m_mode, 1);
        EXPECT_EQ(sync.m_day, now.wDay);

        boxes.answers = {IDYES};
        item(d, IDOK)->Click();
    });
    clickSync();
    ASSERT_EQ(side.requests.size(), 1u);
    EXPECT_EQ(side.requests[0].mode, 2);
    const SYSTEMTIME& s = side.requests[0].since;
    EXPECT_EQ(s.wYear, now.wYear);
    EXPECT_EQ(s.wMonth, now.wMonth);
    EXPECT_EQ(s.wDay, now.wDay);
    EXPECT_EQ(s.wHour + s.wMinute + s.wSecond + s.wMilliseconds + s.wDayOfWeek, 0);
}

TEST_F(SyncTest, BackToAllEntriesDisablesTheCalendarAndCancelRequestsNothing)
{
    startLinked();
    dlg->connectList().SetSelectionMark(0);
    ui::ScopedModalDialogHandler modal([&](CDialog& d) {
        auto& sync = dynamic_cast<CSyncDlg&>(d);
        item(d, IDC_SYNC_SINCE)->Click();
        calendar(d)->choose(2001, 2, 3);
        EXPECT_EQ(sync.m_year, 2001);
        item(d, IDC_SYNC_ALL)->Click();
        EXPECT_EQ(sync.m_mode, 0);
        EXPECT_FALSE(calendar(d)->IsWindowEnabled());
        // The date follows the calendar's value just read.
        EXPECT_EQ(sync.m_year, 2001);
        EXPECT_EQ(sync.m_month, 2);
        EXPECT_EQ(sync.m_day, 3);
        item(d, IDCANCEL)->Click();
    });
    clickSync();
    EXPECT_TRUE(side.requests.empty());
}

TEST(SyncDate, TheYearDecidesFirstThenTheMonthThenTheDay)
{
    const SYSTEMTIME now = today();
    CSyncDlg d;
    d.m_year = now.wYear + 1;
    d.m_month = 1;
    d.m_day = 1;
    EXPECT_FALSE(d.isPastDate()); // an earlier month of a later year
    d.m_year = now.wYear - 1;
    d.m_month = 12;
    d.m_day = 31;
    EXPECT_TRUE(d.isPastDate());
    d.m_year = now.wYear;
    d.m_month = now.wMonth;
    d.m_day = now.wDay;
    EXPECT_TRUE(d.isPastDate());
    d.m_day = now.wDay + 1;
    EXPECT_FALSE(d.isPastDate());
}
