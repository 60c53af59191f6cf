// The About box: the program's icon and its version.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

enum : int {
    IDD_ABOUTBOX = 100,
    IDC_ABOUT_VERSION = 1031,
};

class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(CWnd* pParent = nullptr);

    std::string m_versionText;

    // "Yuvo", the version text with "," turned into "-" and ":" into a
    // blank, and a blank: "Yuvo Ver. 1.1.7.170 ".
    static std::string versionLine(const char* versionString);

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
};
