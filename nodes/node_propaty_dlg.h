// The own-contact dialog "ノード情報設定": edits the Skype ID, mail address
// and information text of a CNodeInfo in place; OK stores them, Cancel
// leaves it untouched.
#pragma once

#include <string>

#include "nodes/node_info.h"
#include "platform/ui/dialog.h"

enum : int {
    IDD_NODE_PROPATY = 139,
    IDC_PROP_SKYPEID = 1060,
    IDC_PROP_MAIL = 1061,
    IDC_PROP_AUTOGET = 1067,
    IDC_PROP_INFO = 1078,
};

class CNodePropatyDlg : public CDialog {
public:
    explicit CNodePropatyDlg(CWnd* pParent = nullptr);

    CEdit m_infoEdit;
    std::string m_mail;
    std::string m_skypeId;
    CNodeInfo* m_pInfo = nullptr;
    std::string m_autoSkypeId;

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnOK() override;

private:
    void OnBnClickedAutoGet();
};
