// The system settings dialog: party name, node name, the days a
// registration stays valid, the window at start and the TCP listening port;
// it also shows the two fixed folders. The main window fills its members,
// runs it modally and takes the members back after IDOK.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

class CMultiCheck;

// Control ids of the system settings dialog.
enum : int {
    IDD_SYSTEM_SETTINGS = 131,
    IDC_SYS_SEND_FOLDER_BUTTON = 1026,
    IDC_SYS_NODE_NAME = 1027,
    IDC_SYS_RECV_FOLDER_BUTTON = 1028,
    IDC_SYS_PARTY = 1032,
    IDC_SYS_USE_SKYPE_ID = 1033,
    IDC_SYS_LIMIT_DAY = 1035,
    IDC_SYS_SEND_FOLDER = 1036,
    IDC_SYS_RECV_FOLDER = 1037,
    IDC_SYS_WINDOW_OPEN = 1044,
    IDC_SYS_WINDOW_CLOSED = 1045,
    IDC_SYS_CHANGE_PORT = 1047,
    IDC_SYS_PORT = 1048,
    IDC_SYS_PORT_SPIN = 1051,
};

// The longest names the dialog takes, in CP932 bytes.
constexpr int SYS_NODE_NAME_CHARS = 30;
constexpr int SYS_PARTY_CHARS = 18;
constexpr int DEFAULT_LISTEN_PORT = 42000;

// Whether a node name typed by the user can serve as one: node names become
// folder names under RECV and queue-file names under CATALOG, so the name
// must be one safe path component and not "catalog" (in any case), whose
// queue file would be the catalog file itself.
bool isUsableNodeName(const std::string& cp932Name);
// The message shown when a typed node name is refused for that reason.
std::string unusableNodeNameMessage();
// Whether a TCP port number is one a link can use.
inline bool isUsablePort(int port)
{
    return port >= 1 && port <= 65535;
}
// The message shown for a port outside 1..65535.
std::string unusablePortMessage();

class CSystemPropatyDlg : public CDialog {
public:
    explicit CSystemPropatyDlg(CWnd* pParent = nullptr);

    std::string m_skypeId;          // own Skype ID, given by the caller
    CSpinButtonCtrl* m_spin = nullptr; // port spin (buddy: the port edit)
    std::string m_nodeName;
    std::string m_party;
    int m_useSkypeId = 0;           // node name = Skype ID
    int m_limitDay = 0;
    std::string m_sendFolder;       // native path, shown only
    std::string m_recvFolder;       // native path, shown only
    int m_window = -1;              // 0 the window opens at start, 1 it starts closed
    int m_changePort = 0;           // the port may be edited
    int m_port = DEFAULT_LISTEN_PORT;
    CMultiCheck* m_pMultiCheck = nullptr;

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnOK() override;

private:
    void OnBnClickedCheckSkypeId();
    void OnBnClickedCheckPort();
    void updatePortControls();
    // A refusal of OnOK: the message, then the focus on the field.
    void refuse(const char* utf8Message, int focusId);
    void refuseText(const std::string& cp932Message, int focusId);
};
