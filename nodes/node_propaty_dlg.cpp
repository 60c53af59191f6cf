#include "nodes/node_propaty_dlg.h"

#include "platform/cp932.h"
#include "platform/ui/text.h"
#include "store/setting_values.h"

using ui::cp;

CNodePropatyDlg::CNodePropatyDlg(CWnd* pParent) : CDialog(pParent)
{
    MapCommand(IDC_PROP_AUTOGET, [this] { OnBnClickedAutoGet(); });
}

void CNodePropatyDlg::BuildDialog()
{
    SetTemplate(187, 182, cp("ノード情報設定"));
    AddGroupBox(cp("コンタクト情報"), {5, 3, 177, 52});
    AddStatic(IDC_STATIC, "SKYPEID", {11, 16, 50, 9});
    AddEdit(IDC_PROP_SKYPEID, {62, 14, 76, 12});
    AddButton(IDC_PROP_AUTOGET, cp("自動取得"), {141, 14, 36, 12});
    AddStatic(IDC_STATIC, cp("メールアドレス"), {11, 36, 50, 9});
    AddEdit(IDC_PROP_MAIL, {62, 34, 115, 12});
    AddStatic(IDC_STATIC, "Infomation", {5, 60, 60, 9});
    m_infoEdit.Create(ES_MULTILINE | WS_VSCROLL | ES_WANTRETURN, {5, 70, 177, 88}, this, IDC_PROP_INFO);
    AddButton(IDOK, "OK", {78, 163, 50, 14}, BS_DEFPUSHBUTTON);
    AddButton(IDCANCEL, cp("ｷｬﾝｾﾙ"), {132, 163, 50, 14});
}

void CNodePropatyDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROP_INFO, m_infoEdit);
    DDX_Text(pDX, IDC_PROP_MAIL, m_mail);
    DDX_Text(pDX, IDC_PROP_SKYPEID, m_skypeId);
}

BOOL CNodePropatyDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    if (!m_pInfo)
        return TRUE;
    m_mail = m_pInfo->m_mail;
    m_skypeId = m_pInfo->m_skypeId;
    GetDlgItem(IDC_PROP_AUTOGET)->EnableWindow(m_autoSkypeId.empty() ? FALSE : TRUE);
    m_infoEdit.SetWindowText(m_pInfo->m_info);
    UpdateData(FALSE);
    return TRUE;
}

void CNodePropatyDlg::OnBnClickedAutoGet()
{
    m_skypeId = m_autoSkypeId;
    UpdateData(FALSE);
}

void CNodePropatyDlg::OnOK()
{
    if (m_pInfo) {
        if (!UpdateData(TRUE))
            return;
        // The settings file gives a value back without blanks at its ends.
        m_pInfo->m_mail = setting::trimmed(m_mail);
        m_pInfo->m_skypeId = setting::trimmed(m_skypeId);
        // Cut on a character boundary, never inside a double-byte character.
        m_pInfo->m_info = cp932::cutText(m_infoEdit.GetWindowText(), setting::INFOMATION.typedMax);
    }
    CDialog::OnOK();
}
