// The synchronisation dialog: asks a connected neighbour to send this
// node its catalog entries again, all of them or those registered since a
// past date. The caller reads m_mode and the date after IDOK.
#pragma once

#include "platform/ui/dialog.h"
#include "platform/wintypes.h"

enum : int {
    IDC_SYNC_ALL = 1054,
    IDC_SYNC_SINCE = 1055,
    IDC_SYNC_CALENDAR = 1056,
};

class CSyncDlg : public CDialog {
public:
    explicit CSyncDlg(CWnd* pParent = nullptr);

    // 0 all entries, 1 entries since the chosen date; -1 until the dialog opens.
    int m_mode = -1;
    // The calendar's value; today at construction.
    SYSTEMTIME m_date{};
    // The chosen date; -1 each while there is none.
    int m_year = -1;
    int m_month = -1;
    int m_day = -1;

    // Whether the chosen date is today or earlier.
    BOOL isPastDate() const;

protected:
    void BuildDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // Confirms the choice; the dialog stays open on a refused date or a No.
    void OnOK() override;

private:
    void OnMcnSelchangeMonthcalendar1();
    void OnBnClickedRadio();
    void takeDateOf(const SYSTEMTIME& st);
    void enableCalendar(BOOL enable);
};
