// The main window's system settings, its About box and the add, change and
// delete buttons of the connection list.
#include "app/about_dlg.h"
#include "app/connect_dlg.h"
#include "app/settings_dlg.h"
#include "app/tandrel_dlg.h"
#include "platform/ui/text.h"

using ui::cp;

void CTandrelDlg::OnBnClickedSystemSettings()
{
    if (m_anyConnected == 1)
        return; // settings change only while no link is up
    CSystemPropatyDlg dlg(this);
    dlg.m_nodeName = getNodeName();
    dlg.m_skypeId = m_transfer.getSkypeId();
    dlg.m_party = getPartyName();
    dlg.m_limitDay = m_limitDay;
    dlg.m_window = m_startClosed;
    dlg.m_port = m_listenPort;
    dlg.m_sendFolder = getSendFolder();
    dlg.m_recvFolder = getRecvFolder();
    dlg.m_pMultiCheck = m_pMultiCheck;
    if (dlg.DoModal() != IDOK)
        return;

    setNodeName(dlg.m_nodeName.c_str());
    if (dlg.m_party != m_party) {
        m_transfer.changeParty(dlg.m_party.c_str());
        setPartyName(dlg.m_party.c_str());
        updateTitle();
        setupTrayIcon();
    }
    m_startClosed = dlg.m_window;
    m_limitDay = dlg.m_limitDay;
    m_listenPort = dlg.m_port;
    UpdateData(FALSE);
    saveSettings();
}

void CTandrelDlg::saveSettings()
{
    if (!writeSetting())
        MessageBox(cp(setting::WRITE_FAILURE), std::string(), MB_OK | MB_ICONEXCLAMATION);
}

void CTandrelDlg::showAboutBox()
{
    CAboutDlg dlg(this);
    dlg.DoModal();
}

void CTandrelDlg::OnBnClickedConnectAdd()
{
    if (m_anyConnected == 1)
        return;
    // A row beyond those the settings file reads back would be gone at the
    // next start.
    if (getConnectNum() >= setting::CONNECTNUM.max) {
        MessageBox(cp(setting::connectionRowsRefusal()), std::string(), MB_OK);
        return;
    }
    CDialogConnectMethod dlg(this);
    dlg.setOwner(this);
    dlg.m_host.clear();
    dlg.m_comment.clear();
    dlg.m_nodeName.clear();
    dlg.m_method = 0;
    if (dlg.DoModal() != IDOK)
        return;

    const bool tcp = dlg.m_method != 0;
    const int row = getConnectNum();
    setRecName(row, tcp ? dlg.m_nodeName.c_str() : dlg.m_contact.c_str());
    setRecTransport(row, tcp ? "TCP" : "SKYPE");
    if (tcp)
        setRecHostName(row, dlg.m_host.c_str());
    else
        setRecSkypeId(row, dlg.m_contact.c_str());
    setRecComment(row, dlg.m_comment.c_str());
    m_connectList.EnsureVisible(row, FALSE);
    connectionRowsEdited();
    saveSettings();
}

void CTandrelDlg::OnBnClickedConnectChange()
{
    if (m_anyConnected == 1)
        return;
    const int row = m_connectList.GetSelectionMark();
    if (row < 0 || row >= getConnectNum())
        return;

    CDialogConnectMethod dlg(this);
    dlg.setOwner(this);
    dlg.m_nodeName = m_rows.cellText(row, CConnectionRows::COL_NAME);
    if (m_rows.cellText(row, CConnectionRows::COL_TRS) == "SKYPE") {
        dlg.m_method = 0;
        dlg.m_contact = m_rows.cellText(row, CConnectionRows::COL_TARGET);
    } else {
        dlg.m_method = 1;
        dlg.m_host = m_rows.cellText(row, CConnectionRows::COL_TARGET);
    }
    dlg.m_comment = m_rows.cellText(row, CConnectionRows::COL_COMMENT);
    if (dlg.DoModal() != IDOK)
        return;
    // The rows may have changed while the dialog was open.
    if (row >= getConnectNum())
        return;

    const bool tcp = dlg.m_method != 0;
    m_connectList.SetRedraw(FALSE);
    if (tcp)
        m_rows.setCellText(row, CConnectionRows::COL_NAME, dlg.m_nodeName.c_str());
    m_rows.setCellText(row, CConnectionRows::COL_TRS, tcp ? "TCP" : "SKYPE");
    m_rows.setCellText(row, CConnectionRows::COL_TARGET, tcp ? dlg.m_host.c_str() : dlg.m_contact.c_str());
    m_rows.setCellText(row, CConnectionRows::COL_COMMENT, dlg.m_comment.c_str());
    mirrorRow(row);
    m_connectList.SetRedraw(TRUE);
    connectionRowsEdited();
    saveSettings();
}

void CTandrelDlg::OnBnClickedConnectDelete()
{
    if (m_anyConnected == 1)
        return;
    const int row = m_connectList.GetNextItem(-1, LVNI_SELECTED);
    if (row < 0 || row >= getConnectNum()) {
        MessageBox(cp("削除する接続を選択してください。"), std::string(), MB_OK);
        return;
    }
    if (MessageBox(cp("接続を削除しますか？"), std::string(), MB_YESNO) != IDYES)
        return;
    if (row >= getConnectNum())
        return;
    m_rows.removeRow(row);
    m_connectList.DeleteItem(row);
    connectionRowsEdited();
    saveSettings();
}
