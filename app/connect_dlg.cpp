#include "app/connect_dlg.h"

#include <cstring>

#include "app/tandrel_dlg.h"
#include "platform/cp932.h"
#include "platform/ui/text.h"
#include "store/setting_values.h"

using ui::cp;

namespace {

const int DEFAULT_PORT = setting::LISTENPORT.defaultValue;

} // namespace

CDialogConnectMethod::CDialogConnectMethod(CWnd* pParent) : CDialog(pParent)
{
    MapCommand(IDC_CON_SKYPE, [this] { OnBnClickedMethod(); });
    MapCommand(IDC_CON_TCP, [this] { OnBnClickedMethod(); });
    MapCommand(IDC_CON_SET_PORT, [this] { OnBnClickedSetPort(); });
}

void CDialogConnectMethod::BuildDialog()
{
    SetTemplate(280, 214, cp("接続先設定ダイアログ"));

    AddGroupBox(cp("接続方法"), {6, 4, 268, 24});
    AddRadioButton(IDC_CON_SKYPE, "SKYPE", {14, 14, 60, 10}, WS_GROUP);
    AddRadioButton(IDC_CON_TCP, "TCP", {90, 14, 60, 10});

    AddGroupBox(cp("SKYPE ID設定（以下のリストから選択してください）"), {6, 32, 268, 30}, IDC_CON_SKYPE_GROUP);
    m_combo = AddComboBox(IDC_CON_CONTACT, {14, 44, 200, 12}, CBS_DROPDOWN | WS_GROUP);

    AddGroupBox(cp("TCP設定(ホスト名またはIPアドレスを設定します）"), {6, 66, 268, 80}, IDC_CON_TCP_GROUP);
    AddEdit(IDC_CON_HOST, {14, 78, 200, 12});
    AddCheckBox(IDC_CON_SET_PORT, cp("ポート番号設定を行う"), {14, 96, 100, 10});
    AddEdit(IDC_CON_PORT, {120, 95, 50, 12});
    m_spin = AddSpin(IDC_CON_PORT_SPIN, {170, 95, 10, 12}, IDC_CON_PORT);
    AddStatic(IDC_STATIC, cp("接続先ノード名称（TCP接続時のみ:半角３１文字以内）"), {14, 114, 250, 10});
    AddEdit(IDC_CON_NODE_NAME, {14, 126, 200, 12});

    AddStatic(IDC_STATIC, cp("コメント："), {6, 154, 40, 10});
    AddEdit(IDC_CON_COMMENT, {48, 152, 226, 12});

    AddButton(IDOK, "OK", {156, 194, 56, 14}, BS_DEFPUSHBUTTON);
    AddButton(IDCANCEL, cp("ｷｬﾝｾﾙ"), {218, 194, 56, 14});
}

void CDialogConnectMethod::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    // The choices first: a text refused below still leaves them read.
    DDX_Radio(pDX, IDC_CON_SKYPE, m_method);
    DDX_Check(pDX, IDC_CON_SET_PORT, m_setPort);
    DDX_CBString(pDX, IDC_CON_CONTACT, m_contact);
    DDX_Text(pDX, IDC_CON_HOST, m_host);
    DDV_MaxChars(pDX, m_host, int(setting::REC_HOSTNAME.typedMax));
    DDX_Text(pDX, IDC_CON_COMMENT, m_comment);
    // The node name names the neighbour's queue file and RECV folder.
    DDX_Text(pDX, IDC_CON_NODE_NAME, m_nodeName);
    DDV_MaxChars(pDX, m_nodeName, int(setting::REC_NAME.typedMax));
}

BOOL CDialogConnectMethod::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_spin->SetRange(0, 65535);
    const std::size_t slash = m_host.empty() ? std::string::npos : cp932::findChar(m_host, '/');
    if (slash != std::string::npos) {
        int port = 0;
        if (!ui::parseWholeNumber(m_host.substr(slash + 1), port))
            port = 0;
        m_host.resize(slash);
        m_spin->SetPos(port);
        m_setPort = 1;
    } else {
        m_spin->SetPos(DEFAULT_PORT);
        m_setPort = 0;
    }
    updateMethodControls();
    enablePortControls();
    UpdateData(FALSE);
    return TRUE;
}

void CDialogConnectMethod::fillContacts()
{
    // Emptied first: clicking the radio again must not repeat the entries.
    m_combo->ResetContent();
    CTransfer* transfer = m_pOwner ? &m_pOwner->transfer() : nullptr;
    const int count = transfer ? transfer->getContactCount() : 0;
    if (count == 0) {
        if (!m_contact.empty())
            m_combo->AddString(m_contact);
    } else {
        for (int i = 0; i < count; ++i) {
            const CONTACT* c = transfer->getContact(i);
            if (c)
                m_combo->AddString(std::string(c->handle, strnlen(c->handle, sizeof c->handle)));
        }
    }
    // The contact itself before one whose ID merely begins like it: "bob"
    // must not turn into "bob.smith" because that one is listed first.
    int found = CB_ERR;
    for (int i = 0; i < m_combo->GetCount() && found == CB_ERR; ++i) {
        if (cp932::equalsIgnoreAsciiCase(m_combo->GetLBText(i), m_contact))
            found = i;
    }
    if (found == CB_ERR)
        found = m_combo->FindString(-1, m_contact);
    if (found != CB_ERR)
        m_combo->SetCurSel(found);
    else
        m_combo->SetWindowText(m_contact);
}

void CDialogConnectMethod::updateMethodControls()
{
    const BOOL skype = m_method == 0 ? TRUE : FALSE;
    const BOOL tcp = m_method == 1 ? TRUE : FALSE;
    if (!skype && !tcp)
        return;
    for (int id : {IDC_CON_SKYPE_GROUP, IDC_CON_CONTACT})
        GetDlgItem(id)->EnableWindow(skype);
    for (int id : {IDC_CON_TCP_GROUP, IDC_CON_HOST, IDC_CON_SET_PORT, IDC_CON_NODE_NAME})
        GetDlgItem(id)->EnableWindow(tcp);
    if (skype)
        fillContacts();
}

void CDialogConnectMethod::enablePortControls()
{
    const BOOL enable = m_method == 1 && m_setPort == 1 ? TRUE : FALSE;
    GetDlgItem(IDC_CON_PORT)->EnableWindow(enable);
    GetDlgItem(IDC_CON_PORT_SPIN)->EnableWindow(enable);
}

void CDialogConnectMethod::OnBnClickedMethod()
{
    UpdateData(TRUE);
    updateMethodControls();
    enablePortControls();
}

void CDialogConnectMethod::OnBnClickedSetPort()
{
    UpdateData(TRUE);
    if (!m_setPort) {
        m_spin->SetRange(0, 65535);
        m_spin->SetPos(DEFAULT_PORT);
    } else if (MessageBox(cp("接続ポートを変更します。接続先の設定を確認して同じポート番号を設定してください"),
                          std::string(), MB_OKCANCEL) != IDOK) {
        m_setPort = 0;
        UpdateData(FALSE);
    }
    enablePortControls();
}

const char CDialogConnectMethod::SKYPE_ID_REFUSAL[] =
    "このSkype IDは使用できません。空白、「,」「:」や制御文字を含むID、32バイトを超えるIDは設定できません。";

void CDialogConnectMethod::refuse(const std::string& utf8Message, int focusId)
{
    MessageBox(cp(utf8Message), std::string(), MB_OK);
    if (focusId != 0)
        GotoDlgCtrl(GetDlgItem(focusId));
}

void CDialogConnectMethod::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    if (m_method == 1) {
        if (m_host.empty())
            return refuse("ホスト名を入力してください", IDC_CON_HOST);
        if (m_nodeName.empty())
            return refuse("接続先のノード名称を設定してください.", IDC_CON_NODE_NAME);
        // The row keeps host "/" port: a port typed after the host is taken
        // as it stands, but not besides the port box's.
        const bool typedPort = cp932::findChar(m_host, '/') != std::string::npos;
        if (typedPort && m_setPort == 1)
            return refuse("ポート番号はホスト名の後ろか「ポート番号設定を行う」のどちらか一方で指定してください。",
                          IDC_CON_HOST);
        if (!setting::isUsableHostName(m_host))
            return refuse(setting::HOST_REFUSAL, IDC_CON_HOST);
        if (!setting::isUsableNodeName(m_nodeName))
            return refuse(setting::NODE_NAME_REFUSAL, IDC_CON_NODE_NAME);
    }
    if (m_method == 0) {
        if (m_contact.empty())
            return refuse("Skpeコンタクト名を入力（選択）してください", IDC_CON_CONTACT);
        // The ID goes between blanks into the commands sent to the client.
        if (!CTransfer::isUsableSkypeId(m_contact))
            return refuse(SKYPE_ID_REFUSAL, IDC_CON_CONTACT);
        // A new Skype row is named after the contact until its first hello.
        if (!setting::isUsableNodeName(m_contact))
            return refuse(setting::NODE_NAME_REFUSAL, IDC_CON_CONTACT);
    }
    // The settings file gives a value back without blanks at its ends.
    m_comment = setting::trimmed(m_comment);
    if (m_method == 1 && m_setPort == 1) {
        BOOL bad = FALSE;
        const int port = m_spin->GetPos(&bad);
        if (bad || !setting::isUsablePort(port))
            return refuse(setting::portRefusal(), IDC_CON_PORT);
        // The controls are not read again: the host with its port may be
        // longer than the host edit takes.
        // Appended piece by piece: g++ 12 takes '"/" + std::string' for an
        // overlapping copy (-Wrestrict) once it is inlined.
        m_host += '/';
        m_host += std::to_string(port);
    }
    EndDialog(IDOK);
}
