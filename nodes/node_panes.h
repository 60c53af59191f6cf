// The two panes inside the node window that show the node clicked in the
// node list: its contact data, neighbours, route and information text, and
// its complete catalog files (extract for another node, delete the
// registration for the own one).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

// What the file pane shows of a node's files: per file its name, its
// registration time, its expiry date and its size, kept compact (about 40
// bytes and the name), so that a node of 100,000 files costs its texts and
// not a copy of its records.
class CNodeFileRows {
public:
    void assign(const std::vector<CatalogRecord>& recs);
    std::size_t size() const { return m_rows.size(); }
    // The text of a column: 0 name, 1 registration time, 2 expiry date, 3 size.
    std::string text(std::size_t row, int column) const;
    std::string_view name(std::size_t row) const
    {
        return std::string_view(m_names).substr(m_rows[row].nameAt, m_rows[row].nameLen);
    }

private:
    struct Row {
        std::uint32_t nameAt; // the name in m_names
        std::uint16_t nameLen;
        SYSTEMTIME registered;
        WORD expiresYear, expiresMonth, expiresDay;
        DWORD sizeHigh, sizeLow;
    };
    std::vector<Row> m_rows;
    std::string m_names; // the names back to back
};

// The file list: its rows are a CNodeFileRows, whose texts the list asks for
// as it draws them; rows of node record files (".nod") are drawn in grey.
class CFileMFCListCtrl : public CListCtrlEx {
public:
    // Shows these rows in place of the ones shown so far (no row selected).
    void showRows(const CNodeFileRows& rows);

protected:
    std::string OnGetItemText(int nRow, int nColumn) const override;
    COLORREF OnGetCellTextColor(int nRow, int nColumn) override;

private:
    CNodeFileRows m_rows;
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
    // The node's files as the catalog held them at the last load.
    CNodeFileRows m_files;

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

