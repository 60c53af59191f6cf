// The question asked when one file is dropped on the file list: register it
// through a shortcut in SEND, or through a copy.
#pragma once

#include "platform/ui/dialog.h"

enum : int {
    IDC_ENTRY_SHORTCUT = 1040,
    IDC_ENTRY_COPY = 1041,
};

class CEntryDlg : public CDialog {
public:
    explicit CEntryDlg(CWnd* pParent = nullptr);

    // 0 shortcut, 1 copy; -1 until set.
    int m_entryMode = -1;

protected:
    void BuildDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
};
