#include "app/sync_dlg.h"

#include <cstdio>

#include "app/tandrel_dlg.h"
#include "platform/localtime.h"
#include "platform/ui/text.h"

using ui::cp;

CSyncDlg::CSyncDlg(CWnd* pParent) : CDialog(pParent)
{
    GetLocalTime(&m_date);
    MapNotify(IDC_SYNC_CALENDAR, MCN_SELCHANGE, [this] { OnMcnSelchangeMonthcalendar1(); });
    MapCommand(IDC_SYNC_ALL, [this] { OnBnClickedRadio(); });
    MapCommand(IDC_SYNC_SINCE, [this] { OnBnClickedRadio(); });
}

void CSyncDlg::BuildDialog()
{
    SetTemplate(250, 214, cp("同期操作"));
    AddStatic(IDC_STATIC,
              cp("この操作を行うと隣接ノードとファイル共有状態が同期します。データ量により同期が完了するまでしばら"
                 "く時間がかかります。"),
              {10, 8, 230, 26});
    AddGroupBox(cp("同期範囲指定"), {10, 38, 230, 150});
    AddRadioButton(IDC_SYNC_ALL, cp("全データ同期"), {20, 52, 100, 10}, WS_GROUP);
    AddRadioButton(IDC_SYNC_SINCE, cp("過去日付指定"), {20, 66, 100, 10});
    AddMonthCal(IDC_SYNC_CALENDAR, {40, 80, 180, 102});
    AddButton(IDOK, "OK", {70, 194, 50, 14}, BS_DEFPUSHBUTTON | WS_GROUP);
    AddButton(IDCANCEL, cp("ｷｬﾝｾﾙ"), {130, 194, 50, 14});
}

void CSyncDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Radio(pDX, IDC_SYNC_ALL, m_mode);
    DDX_MonthCalCtrl(pDX, IDC_SYNC_CALENDAR, m_date);
}

BOOL CSyncDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    takeDateOf(m_date);
    enableCalendar(FALSE);
    m_mode = 0;
    UpdateData(FALSE);
    return TRUE;
}

void CSyncDlg::takeDateOf(const SYSTEMTIME& st)
{
    m_year = st.wYear;
    m_month = st.wMonth;
    m_day = st.wDay;
}

void CSyncDlg::enableCalendar(BOOL enable)
{
    if (CWnd* cal = GetDlgItem(IDC_SYNC_CALENDAR))
        cal->EnableWindow(enable);
}

void CSyncDlg::OnMcnSelchangeMonthcalendar1()
{
    SYSTEMTIME st{};
    if (auto* cal = dynamic_cast<CMonthCalCtrl*>(GetDlgItem(IDC_SYNC_CALENDAR)); cal && cal->GetCurSel(st))
        takeDateOf(st);
}

void CSyncDlg::OnBnClickedRadio()
{
    UpdateData(TRUE);
    if (m_mode != 1) {
        takeDateOf(m_date);
        enableCalendar(FALSE);
        UpdateData(FALSE);
    } else {
        enableCalendar(TRUE);
    }
}

BOOL CSyncDlg::isPastDate() const
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    if (m_year != now.wYear)
        return m_year < now.wYear ? TRUE : FALSE;
    if (m_month != now.wMonth)
        return m_month < now.wMonth ? TRUE : FALSE;
    return m_day <= now.wDay ? TRUE : FALSE;
}

void CSyncDlg::OnOK()
{
    // The choice is the one of the last radio click and calendar change.
    std::string question;
    if (m_mode != 0) {
        // A date that no calendar gave is no date to send.
        if (m_year < 1 || m_month < 1 || m_day < 1 || !isPastDate()) {
            MessageBox(cp("日付は過去日付を選択して下さい。"), std::string(), MB_OK);
            return;
        }
        char buf[128];
        std::snprintf(buf, sizeof buf, cp("%4d年%2d月%2d日以降のデータで同期します。よろしいですか").c_str(), m_year,
                      m_month, m_day);
        question = buf;
    } else {
        question = cp("全データの同期を行います。よろしいですか？");
    }
    if (MessageBox(question, std::string(), MB_YESNO) == IDYES)
        CDialog::OnOK();
}

// --- The main window's synchronisation button ------------------------------------

void CTandrelDlg::OnBnClickedCatalogSync()
{
    const int row = m_connectList.GetSelectionMark();
    if (row < 0 || row >= getConnectNum())
        return;
    if (m_transfer.isConnected(row) == 0) {
        MessageBox(cp("選択したノードは接続していません"), std::string(), MB_OK);
        return;
    }
    CSyncDlg dlg(this);
    if (dlg.DoModal() != IDOK)
        return;
    SYSTEMTIME since{};
    int mode = 1;
    if (dlg.m_mode != 0) {
        mode = 2;
        since.wYear = static_cast<WORD>(dlg.m_year);
        since.wMonth = static_cast<WORD>(dlg.m_month);
        since.wDay = static_cast<WORD>(dlg.m_day);
    }
    m_transfer.requestSync(row, mode, since);
}
