// The two panes inside the node window that show the node clicked in the
// node list: its contact data, neighbours, route and information text, and
// its complete catalog files (extract for another node, delete the
// registration for the own one).
#pragma once

#include <string>
#include <vector>

#include "nodes/node_info.h"
#include "platform/ui/dialog.h"
#include "platform/ui/text.h"
#include "store/catalog_record.h"

class CPropatyTandrel;

enum : int {
    IDD_NODE_DETAIL = 138,
    IDD_NODE_FILES = 140,
    IDC_DETAIL_MAILTO = 1064,
    IDC_DETAIL_ADJACENT = 1065,
    IDC_DETAIL_ROUTE = 1066,
    IDC_DETAIL_SKYPEID = 1069,
    IDC_DETAIL_MAIL = 1070,
    IDC_DETAIL_INFO = 1078,
    IDC_DETAIL_INFO_LABEL = 1079,
    IDC_FILES_LIST = 1073,
    IDC_FILES_TITLE = 1074,
    IDC_FILES_AUTO = 1075,
    IDC_FILES_EXTRACT = 1076,
    IDC_FILES_DELETE = 1077,
};

constexpr COLORREF PANE_GRAY = RGB(160, 160, 160);
constexpr COLORREF PANE_YELLOW = RGB(255, 255, 180);

class CNodeDetailDlg : public CDialog {
public:
    explicit CNodeDetailDlg(CWnd* pParent = nullptr) : CDialog(pParent)
    {
        MapCommand(IDC_DETAIL_MAILTO, [this] { OnBnClickedMailTo(); });
    }

    void setNodeInfo(CNodeInfo info);
    void updateView();
    const CNodeInfo& nodeInfo() const { return m_info; }
    // Whether a node was handed to the pane yet.
    bool hasNode() const { return m_hasNode; }

    CEdit m_infoEdit;
    CListBox m_routeList;
    CListBox m_adjacentList;

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;

private:
    void OnBnClickedMailTo();

    CNodeInfo m_info;
    bool m_hasNode = false;
    // The plain labels (no control id), drawn white on the pane's grey.
    std::vector<CWnd*> m_labels;
};

// The file list: rows of node record files (".nod") are drawn in grey.
class CFileMFCListCtrl : public CListCtrlEx {
protected:
    COLORREF OnGetCellTextColor(int nRow, int nColumn) override;
};

class CNodeFileDlg : public CDialog {
public:
    explicit CNodeFileDlg(CWnd* pParent = nullptr);

    BOOL DestroyWindow() override;
    void setNode(const std::string& node);
    void updateMode();
    void loadFileList();
    void updateFileList();

    CFileMFCListCtrl m_fileList;
    BOOL m_autoRefresh = FALSE;
    std::string m_node;
    int m_mode = 0;
    CPropatyTandrel* m_pProp = nullptr;
    std::vector<CatalogRecord> m_files;

    static constexpr UINT_PTR TIMER_REFRESH = 105;

protected:
    void BuildDialog() override;
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnTimer(UINT_PTR nIDEvent) override;

private:
    void OnBnClickedExtract();
    void OnBnClickedDeleteRegistration();
    // The checks shared by extract and delete; the found record, or false
    // after the refusal's message.
    bool selectedRecord(const char* managementRefusal, CatalogRecord& rec);
};

// Makes the first row whose column 0 is `remembered` the selected, hot and
// visible row; with no such row, none is selected.
void reselectRow(CListCtrlEx& list, const std::string& remembered);

// Text of a file size: "2G超" past 32 bits, else the digits grouped by ",".
inline std::string nodeFileSizeText(const WIN32_FIND_DATAA& fd) { return ui::fileSizeText(fd); }
