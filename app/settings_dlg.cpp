#include "app/settings_dlg.h"

#include <QString>

#include "app/tandrel_app.h"
#include "platform/cp932.h"
#include "platform/ui/multi_check.h"
#include "platform/ui/text.h"

using ui::cp;

static_assert(setting::NAME.typedMax <= setting::NAME.maxBytes, "a node name must fit the record fields");
static_assert(setting::PARTY.typedMax <= setting::PARTY.maxBytes, "a party name must fit the record fields");

namespace {

const int DEFAULT_PORT = setting::LISTENPORT.defaultValue;

// "（半角N文字）": the most the field takes.
std::string halfWidthLimit(std::size_t chars)
{
    return "（半角" + std::to_string(chars) + "文字）";
}

} // namespace

CSystemPropatyDlg::CSystemPropatyDlg(CWnd* pParent) : CDialog(pParent)
{
    MapCommand(IDC_SYS_USE_SKYPE_ID, [this] { OnBnClickedCheckSkypeId(); });
    MapCommand(IDC_SYS_CHANGE_PORT, [this] { OnBnClickedCheckPort(); });
}

void CSystemPropatyDlg::BuildDialog()
{
    SetTemplate(300, 236, cp("システムプロパティ設定"));

    AddGroupBox(cp("パーティ"), {6, 4, 288, 44});
    AddStatic(IDC_STATIC, cp("パーティ名"), {12, 16, 50, 10});
    AddEdit(IDC_SYS_PARTY, {64, 14, 120, 12});
    AddStatic(IDC_STATIC,
              cp("接続するノード全体のグループ名です。すべてのノードで同じ名前を設定してください。" +
                 halfWidthLimit(setting::PARTY.typedMax)),
              {12, 30, 276, 16});

    AddGroupBox(cp("ノード"), {6, 50, 288, 58});
    AddStatic(IDC_STATIC, cp("ノード名"), {12, 62, 50, 10});
    AddEdit(IDC_SYS_NODE_NAME, {64, 60, 120, 12});
    AddCheckBox(IDC_SYS_USE_SKYPE_ID, cp("ＳｋｙｐｅＩＤを使用する"), {190, 61, 100, 10});
    AddStatic(IDC_STATIC,
              cp("ノード名は他のノードと重複しない名前を設定してください。SkypeIDを使用することもできます。" +
                 halfWidthLimit(setting::NAME.typedMax)),
              {12, 76, 276, 16});
    AddStatic(IDC_STATIC, cp("登録の有効日数"), {12, 94, 60, 10});
    AddEdit(IDC_SYS_LIMIT_DAY, {74, 92, 40, 12});

    AddGroupBox(cp("起動時のウィンドウ"), {6, 110, 140, 26});
    AddRadioButton(IDC_SYS_WINDOW_OPEN, cp("開く"), {14, 121, 50, 10}, WS_GROUP);
    AddRadioButton(IDC_SYS_WINDOW_CLOSED, cp("閉じる"), {70, 121, 60, 10});

    AddGroupBox(cp("待受ポート"), {150, 110, 144, 40});
    AddCheckBox(IDC_SYS_CHANGE_PORT, cp("変更"), {156, 121, 40, 10}, WS_GROUP);
    AddEdit(IDC_SYS_PORT, {200, 120, 50, 12});
    m_spin = AddSpin(IDC_SYS_PORT_SPIN, {250, 120, 10, 12}, IDC_SYS_PORT);
    AddStatic(IDC_STATIC, cp("標準の待受ポートは" + std::to_string(DEFAULT_PORT) + "です。"), {156, 136, 134, 10});

    AddGroupBox(cp("フォルダ設定（変更できません）"), {6, 152, 288, 60});
    AddStatic(IDC_STATIC, cp("登録フォルダ"), {12, 164, 66, 10});
    AddStatic(IDC_SYS_SEND_FOLDER, "", {80, 164, 138, 10}, SS_SUNKEN);
    AddButton(IDC_SYS_SEND_FOLDER_BUTTON, cp("登録フォルダ"), {222, 162, 68, 14});
    AddStatic(IDC_STATIC, cp("キャッシュフォルダ"), {12, 184, 66, 10});
    AddStatic(IDC_SYS_RECV_FOLDER, "", {80, 184, 138, 10}, SS_SUNKEN);
    AddButton(IDC_SYS_RECV_FOLDER_BUTTON, cp("キャッシュフォルダ"), {222, 182, 68, 14});

    AddButton(IDOK, "OK", {176, 216, 56, 14}, BS_DEFPUSHBUTTON);
    AddButton(IDCANCEL, cp("ｷｬﾝｾﾙ"), {238, 216, 56, 14});
}

void CSystemPropatyDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_SYS_NODE_NAME, m_nodeName);
    DDV_MaxChars(pDX, m_nodeName, int(setting::NAME.typedMax));
    DDX_Text(pDX, IDC_SYS_PARTY, m_party);
    DDV_MaxChars(pDX, m_party, int(setting::PARTY.typedMax));
    DDX_Check(pDX, IDC_SYS_USE_SKYPE_ID, m_useSkypeId);
    DDX_Text(pDX, IDC_SYS_LIMIT_DAY, m_limitDay);
    // The folders are native paths and only shown: they are never read back.
    if (!pDX->m_bSaveAndValidate) {
        std::string send = ui::fromQt(QString::fromUtf8(m_sendFolder.c_str()));
        std::string recv = ui::fromQt(QString::fromUtf8(m_recvFolder.c_str()));
        DDX_Text(pDX, IDC_SYS_SEND_FOLDER, send);
        DDX_Text(pDX, IDC_SYS_RECV_FOLDER, recv);
    }
    DDX_Radio(pDX, IDC_SYS_WINDOW_OPEN, m_window);
    DDX_Check(pDX, IDC_SYS_CHANGE_PORT, m_changePort);
}

BOOL CSystemPropatyDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    // The folders are fixed under the working directory.
    GetDlgItem(IDC_SYS_SEND_FOLDER_BUTTON)->EnableWindow(FALSE);
    GetDlgItem(IDC_SYS_RECV_FOLDER_BUTTON)->EnableWindow(FALSE);

    if (!m_skypeId.empty() && m_skypeId == m_nodeName) {
        m_useSkypeId = 1;
        GetDlgItem(IDC_SYS_NODE_NAME)->EnableWindow(FALSE);
    }
    m_spin->SetRange(0, 65535);
    m_spin->SetPos(m_port);
    m_changePort = m_port != DEFAULT_PORT ? 1 : 0;
    updatePortControls();
    UpdateData(FALSE);
    return TRUE;
}

void CSystemPropatyDlg::OnBnClickedCheckSkypeId()
{
    UpdateData(TRUE);
    CWnd* nameEdit = GetDlgItem(IDC_SYS_NODE_NAME);
    if (!m_useSkypeId) {
        nameEdit->EnableWindow(TRUE);
        return;
    }
    if (!m_skypeId.empty()) {
        m_nodeName = m_skypeId;
        nameEdit->EnableWindow(FALSE);
        UpdateData(FALSE);
        return;
    }
    MessageBox(cp("SkypeIdが未取得です。Skypeと接続しているか確認してください。"), std::string(), MB_OK);
    m_useSkypeId = 0;
    UpdateData(FALSE);
}

void CSystemPropatyDlg::OnBnClickedCheckPort()
{
    UpdateData(TRUE);
    if (!m_changePort)
        m_spin->SetPos(DEFAULT_PORT);
    updatePortControls();
}

void CSystemPropatyDlg::updatePortControls()
{
    const BOOL enable = m_changePort ? TRUE : FALSE;
    GetDlgItem(IDC_SYS_PORT)->EnableWindow(enable);
    GetDlgItem(IDC_SYS_PORT_SPIN)->EnableWindow(enable);
}

void CSystemPropatyDlg::refuse(const std::string& utf8Message, int focusId)
{
    MessageBox(cp(utf8Message), std::string(), MB_OK);
    if (focusId != 0)
        GotoDlgCtrl(GetDlgItem(focusId));
}

void CSystemPropatyDlg::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    if (m_party.empty())
        return refuse("パーティ名が設定されていません。", IDC_SYS_PARTY);
    // A tab at either end would not read back either.
    if (cp932::findChar(m_party, ' ') != std::string::npos || setting::hasBlankAtEitherEnd(m_party))
        return refuse("パーティ名にスペースを含む名前は設定できません。", IDC_SYS_PARTY);
    if (m_nodeName.empty())
        return refuse("ノード名が設定されていません。", IDC_SYS_NODE_NAME);
    if (cp932::findChar(m_nodeName, ' ') != std::string::npos)
        return refuse("ノード名にスペースを含む名前は設定できません。", IDC_SYS_NODE_NAME);
    // Checked before the party lock, so that a refused value never moves
    // the lock while the dialog stays open.
    if (!setting::isUsableNodeName(m_nodeName))
        return refuse(setting::NODE_NAME_REFUSAL, IDC_SYS_NODE_NAME);
    if (!setting::LIMITDAY.accepts(m_limitDay))
        return refuse(setting::limitDayRefusal(), IDC_SYS_LIMIT_DAY);
    BOOL badPort = FALSE;
    const int port = m_spin->GetPos(&badPort);
    if (badPort || !setting::isUsablePort(port))
        return refuse(setting::portRefusal(), IDC_SYS_PORT);
    if (m_pMultiCheck && !m_pMultiCheck->check(m_party)) {
        if (m_pMultiCheck->folderProblem().kind != LockFolderProblem::none) {
            MessageBox(lockFolderMessage(m_pMultiCheck->folderProblem()) + cp("パーティ名を変更できません。"),
                       std::string(), MB_OK);
            return;
        }
        return refuse("パーティ名は既に実行中です。この名前は設定できません", 0);
    }
    m_port = port;
    CDialog::OnOK();
}
