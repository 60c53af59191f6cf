// The synchronisation dialog's date check: the year decides first, then the
// month, then the day, and today counts as past.
#include "app/sync_dlg.h"
#include "app_testkit.h"

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
