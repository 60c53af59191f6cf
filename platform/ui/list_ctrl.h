// A list control in report view: rows of CP932 texts in columns, with the
// colours of each cell decided by the derived list when the cell is drawn
// (OnGetCellTextColor / OnGetCellBkColor, like custom draw), full-row
// selection, optional grid lines and single selection, and files dropped
// from the desktop.
//
// Notifications to the dialog (WM_NOTIFY): NM_CLICK when a mouse button is
// released over the list, NM_DBLCLK on a double click, LVN_ITEMCHANGED when
// the user changes the selection.
//
// The selection mark is the row the user last selected (or that
// SetSelectionMark set); clicking the empty part of the list keeps it.
// Removing rows moves it with its row, or clears it with its row.
//
// A list made with LVS_OWNERDATA holds no texts: the derived list keeps its
// rows in whatever form it likes, sets their number (SetItemCount) and
// answers OnGetItemText for each cell as it is drawn or read, so a list of
// 100,000 rows costs what its own rows cost.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/controls.h"

class QTableView;
class ListModel;

class CListCtrlEx : public CWnd {
public:
    CListCtrlEx();
    ~CListCtrlEx() override;

    // LVS_SINGLESEL for single selection; the report view is implied.
    BOOL Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    // LVS_EX_GRIDLINES draws grid lines; rows are always selected whole.
    DWORD SetExtendedStyle(DWORD dwNewStyle);
    DWORD GetExtendedStyle() const { return m_exStyle; }

    // Width in pixels of the original screen, scaled to the font of the
    // list's dialog (CDialog::ScalePixels); -1 leaves the default.
    int InsertColumn(int nCol, const std::string& heading, int nFormat = LVCFMT_LEFT, int nWidth = -1);
    int GetColumnCount() const;
    // In pixels of this screen.
    int GetColumnWidth(int nCol) const;

    int GetItemCount() const;
    // Index of the new row (at the end when nItem is past it), -1 on failure
    // (and always in an owner-data list).
    int InsertItem(int nItem, const std::string& text);
    // FALSE in an owner-data list, whose texts are the owner's.
    BOOL SetItemText(int nItem, int nSubItem, const std::string& text);
    // The text exactly as set ("" for a cell never set or out of range); in
    // an owner-data list, OnGetItemText's answer within range.
    std::string GetItemText(int nItem, int nSubItem) const;
    BOOL DeleteItem(int nItem);
    BOOL DeleteAllItems();

    // Owner-data lists: the number of rows (rows past the new end are
    // removed, new ones added at the end), and the rows whose texts changed.
    void SetItemCount(int nItems);
    BOOL RedrawItems(int nFirst, int nLast);
    bool isOwnerData() const { return (m_style & LVS_OWNERDATA) != 0; }

    // The next row after nItem (-1: from the top) with the flags:
    // LVNI_SELECTED, LVNI_FOCUSED, or LVNI_ALL for any row.
    int GetNextItem(int nItem, UINT nFlags) const;
    int GetSelectedCount() const;
    // LVIS_SELECTED and LVIS_FOCUSED in mask are set or cleared from state.
    BOOL SetItemState(int nItem, UINT nState, UINT nMask);
    UINT GetItemState(int nItem, UINT nMask) const;
    int GetSelectionMark() const { return m_selectionMark; }
    int SetSelectionMark(int nIndex);
    int SetHotItem(int nIndex);
    BOOL EnsureVisible(int nItem, BOOL bPartialOK);

    // The list's own colours (the defaults the cell hooks fall back to).
    COLORREF GetBkColor() const;
    COLORREF GetTextColor() const;
    BOOL SetBkColor(COLORREF cr);
    BOOL SetTextColor(COLORREF cr);

    // Lets files be dropped on the list; each drop of local files calls
    // OnDropFiles.
    void DragAcceptFiles(BOOL bAccept = TRUE);
    BOOL acceptsFiles() const { return m_acceptFiles; }

    // The colours a cell is drawn with, as the hooks decide (for tests and
    // for code that wants to know).
    COLORREF cellTextColor(int nRow, int nCol) { return OnGetCellTextColor(nRow, nCol); }
    COLORREF cellBkColor(int nRow, int nCol) { return OnGetCellBkColor(nRow, nCol); }

    QTableView* table() const;

protected:
    // An owner-data list's text of a cell within range.
    virtual std::string OnGetItemText(int nRow, int nColumn) const;
    // Asked for every cell each time it is drawn.
    virtual COLORREF OnGetCellTextColor(int nRow, int nColumn);
    virtual COLORREF OnGetCellBkColor(int nRow, int nColumn);
    // Native paths (UTF-8) of the dropped local files, in drop order.
    virtual void OnDropFiles(const std::vector<std::string>& paths);

private:
    friend class ListTable;
    friend class CellColourDelegate;
    friend class ListModel;
    ListModel* model() const;
    void userSelectionChanged();
    void dropped(const std::vector<std::string>& paths)
    {
        runDelivery([&] { OnDropFiles(paths); });
    }
    void mouseReleased() { notifyParentNotify(NM_CLICK); }
    void doubleClicked() { notifyParentNotify(NM_DBLCLK); }
    void applyGrid();

    DWORD m_style = 0;
    DWORD m_exStyle = 0;
    int m_selectionMark = -1;
    int m_programmatic = 0;
    bool m_acceptFiles = false;
    COLORREF m_bkColor = CLR_DEFAULT;
    COLORREF m_textColor = CLR_DEFAULT;
};

// The name the windows' list classes derive from.
using CMFCListCtrl = CListCtrlEx;
