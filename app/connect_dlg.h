// The connection dialog: edits one connection record, a Skype contact
// (chosen from the messaging client's contact list) or a TCP host with an
// optional port and the neighbour's node name. The main window presets the
// members, runs it modally and takes them back after IDOK.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

class CTandrelDlg;

// Control ids of the connection dialog.
enum : int {
    IDD_CONNECT_METHOD = 129,
    IDC_CON_HOST = 1012,
    IDC_CON_CONTACT = 1016,
    IDC_CON_COMMENT = 1018,
    IDC_CON_SKYPE = 1019,
    IDC_CON_TCP = 1020,
    IDC_CON_SKYPE_GROUP = 1021,
    IDC_CON_TCP_GROUP = 1022,
    IDC_CON_SET_PORT = 1047,
    IDC_CON_PORT = 1048,
    IDC_CON_PORT_SPIN = 1051,
    IDC_CON_NODE_NAME = 1087,
};

class CDialogConnectMethod : public CDialog {
public:
    explicit CDialogConnectMethod(CWnd* pParent = nullptr);

    // Said when the contact's ID could not stand in a command to the client.
    static const char SKYPE_ID_REFUSAL[];

    // The main window, source of the Skype contacts; set before DoModal.
    void setOwner(CTandrelDlg* owner) { m_pOwner = owner; }

    CSpinButtonCtrl* m_spin = nullptr;
    CComboBox* m_combo = nullptr;
    std::string m_contact;  // Skype ID
    std::string m_host;     // host; after IDOK with a port: host "/" port
    std::string m_comment;
    int m_method = -1;      // 0 SKYPE, 1 TCP
    int m_setPort = 0;      // a port other than the default is given
    CTandrelDlg* m_pOwner = nullptr;
    std::string m_nodeName; // the neighbour's node name (TCP)

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnOK() override;

private:
    void OnBnClickedMethod();
    void OnBnClickedSetPort();
    void updateMethodControls();
    void enablePortControls();
    void fillContacts();
    void refuse(const std::string& utf8Message, int focusId);
};
