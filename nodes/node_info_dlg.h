// The node window "ノード情報": a modeless window listing every node of the
// party known here (the own node first, then one row per node record found
// under RECV) with presence, record time stamp and version, the panes of
// the clicked node, the own presence and the own-contact dialog. Its 30 s
// timer builds the own node record (and writes it into SEND while the node
// name is set) and refreshes the list, shown or hidden.
#pragma once

#include <string>
#include <vector>

#include "nodes/node_info.h"
#include "nodes/node_panes.h"
#include "platform/ui/dialog.h"

class CFolderWatch;
class CPropatyTandrel;
class CTransfer;

enum : int {
    IDD_NODE_INFO = 137,
    IDC_NODEWIN_CLOSE = 8,
    IDC_NODEWIN_LIST = 1059,
    IDC_NODEWIN_PRESENT = 1062,
    IDC_NODEWIN_ABSENT = 1063,
    IDC_NODEWIN_NOT_CONTACTABLE = 1064,
    IDC_NODEWIN_OWN_SETTINGS = 1068,
};

// "Ver.:" and the product version, as the About box shows it.
const char* nodeRecordVersion();

class CNodeInfoDlg : public CDialog {
public:
    explicit CNodeInfoDlg(CWnd* pParent = nullptr);

    static constexpr UINT_PTR TIMER_NODE_TICK = 201;
    static constexpr UINT TICK_PERIOD_MS = 30000;

    // The own record and the own-contact keys of the settings file.
    void loadOwnSettings();
    // False when the settings file could not be written.
    bool saveOwnSettings();
    void buildOwnRecord();
    void writeOwnRecord();

    void loadNodeList();
    void updateNodeList();
    // One 30 s tick: build (and write) the own record, refresh the list.
    void tick();

    CListCtrlEx m_nodeList;
    int m_presence = -1;
    std::string m_iniPath;
    CNodeDetailDlg m_detailDlg;
    CNodeFileDlg m_fileDlg;
    CNodeInfo m_ownInfo;
    CTransfer* m_pTransfer = nullptr;
    CPropatyTandrel* m_pProp = nullptr;
    // The SEND check: the own record is written only into the SEND it
    // judged to be the known one (none without it).
    const CFolderWatch* m_pFolderWatch = nullptr;
    NodeInfoRecord m_ownRecord{};
    std::vector<CNodeInfo> m_nodes;

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnTimer(UINT_PTR nIDEvent) override;

private:
    void OnBnClickedClose();
    void OnBnClickedOwnNodeSettings();
    void OnBnClickedPresence();
    // saveOwnSettings, with a failure told to the user.
    void saveOwnSettingsOrTell();
    void OnNMClickNodeList();
};
