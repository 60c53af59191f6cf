// The system settings dialog: party name, node name, the days a
// registration stays valid, the window at start and the TCP listening port;
// it also shows the two fixed folders. The main window fills its members,
// runs it modally and takes the members back after IDOK.
#pragma once

#include <string>

#include "platform/ui/dialog.h"
#include "store/setting_values.h"

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
    int m_port = setting::LISTENPORT.defaultValue;
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
    void refuse(const std::string& utf8Message, int focusId);
};
