#include "platform/ui/list_ctrl.h"

#include <algorithm>

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QUrl>

#include "platform/ui/dialog.h"
#include "platform/ui/text.h"

namespace {

Qt::Alignment alignmentOf(int format)
{
    switch (format & 0x3) {
    case LVCFMT_RIGHT:
        return Qt::AlignRight | Qt::AlignVCenter;
    case LVCFMT_CENTER:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    default:
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

std::vector<std::string> localPaths(const QMimeData* mime)
{
    std::vector<std::string> out;
    if (!mime || !mime->hasUrls())
        return out;
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile())
            out.push_back(url.toLocalFile().toStdString());
    }
    return out;
}

} // namespace

// The rows behind the view: the CP932 texts of each cell, or for an
// owner-data list only the number of rows, the texts being asked of the
// list as they are drawn.
class ListModel : public QAbstractTableModel {
public:
    ListModel(CListCtrlEx* owner, QObject* parent) : QAbstractTableModel(parent), m_owner(owner) {}
    CListCtrlEx* m_owner;

    struct Column {
        QString heading;
        int format;
    };
    std::vector<Column> m_columns;
    std::vector<std::vector<std::string>> m_cells; // stored lists only
    int m_ownerRows = 0;                           // owner-data lists only

    int rows() const
    {
        return m_owner && m_owner->isOwnerData() ? m_ownerRows : static_cast<int>(m_cells.size());
    }
    int columns() const { return static_cast<int>(m_columns.size()); }
    bool inRange(int row, int col) const { return row >= 0 && row < rows() && col >= 0 && col < columns(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override { return parent.isValid() ? 0 : rows(); }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : columns();
    }
    Qt::ItemFlags flags(const QModelIndex&) const override { return Qt::ItemIsEnabled | Qt::ItemIsSelectable; }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!m_owner || !inRange(index.row(), index.column()))
            return QVariant();
        if (role == Qt::DisplayRole)
            return ui::toQt(m_owner->GetItemText(index.row(), index.column()));
        if (role == Qt::TextAlignmentRole)
            return int(alignmentOf(m_columns[std::size_t(index.column())].format));
        return QVariant();
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || section < 0 || section >= columns())
            return QAbstractTableModel::headerData(section, orientation, role);
        if (role == Qt::DisplayRole)
            return m_columns[std::size_t(section)].heading;
        if (role == Qt::TextAlignmentRole)
            return int(alignmentOf(m_columns[std::size_t(section)].format));
        return QVariant();
    }

    void insertColumnAt(int at, const QString& heading, int format)
    {
        beginInsertColumns(QModelIndex(), at, at);
        m_columns.insert(m_columns.begin() + at, Column{heading, format});
        for (auto& row : m_cells)
            row.insert(row.begin() + at, std::string());
        endInsertColumns();
    }
    void insertRowAt(int at)
    {
        beginInsertRows(QModelIndex(), at, at);
        m_cells.insert(m_cells.begin() + at, std::vector<std::string>(m_columns.size()));
        endInsertRows();
    }
    void removeRowAt(int at)
    {
        beginRemoveRows(QModelIndex(), at, at);
        if (m_owner && m_owner->isOwnerData())
            --m_ownerRows;
        else
            m_cells.erase(m_cells.begin() + at);
        endRemoveRows();
    }
    void removeAll()
    {
        beginResetModel();
        m_cells.clear();
        m_cells.shrink_to_fit();
        m_ownerRows = 0;
        endResetModel();
    }
    void setOwnerRows(int n)
    {
        if (n > m_ownerRows) {
            beginInsertRows(QModelIndex(), m_ownerRows, n - 1);
            m_ownerRows = n;
            endInsertRows();
        } else if (n < m_ownerRows) {
            beginRemoveRows(QModelIndex(), n, m_ownerRows - 1);
            m_ownerRows = n;
            endRemoveRows();
        }
    }
    void setCell(int row, int col, const std::string& text)
    {
        m_cells[std::size_t(row)][std::size_t(col)] = text;
        const QModelIndex i = index(row, col);
        emit dataChanged(i, i);
    }
    void rowsChanged(int first, int last)
    {
        emit dataChanged(index(first, 0), index(last, columns() - 1));
    }
};

// The table behind the list: passes drops, clicks and double clicks on.
class ListTable : public QTableView {
public:
    ListTable(CListCtrlEx* owner, QWidget* parent) : QTableView(parent), m_owner(owner) {}
    CListCtrlEx* m_owner;

protected:
    void dragEnterEvent(QDragEnterEvent* e) override { acceptIfFiles(e); }
    void dragMoveEvent(QDragMoveEvent* e) override { acceptIfFiles(e); }
    void dropEvent(QDropEvent* e) override
    {
        const auto paths = localPaths(e->mimeData());
        if (!m_owner || !m_owner->m_acceptFiles || paths.empty()) {
            e->ignore();
            return;
        }
        e->acceptProposedAction();
        m_owner->dropped(paths);
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        QTableView::mouseReleaseEvent(e);
        if (m_owner)
            m_owner->mouseReleased();
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override
    {
        QTableView::mouseDoubleClickEvent(e);
        if (m_owner)
            m_owner->doubleClicked();
    }

private:
    void acceptIfFiles(QDropEvent* e)
    {
        if (m_owner && m_owner->m_acceptFiles && !localPaths(e->mimeData()).empty())
            e->acceptProposedAction();
        else
            e->ignore();
    }
};

// Asks the list for each cell's colours as the cell is drawn.
class CellColourDelegate : public QStyledItemDelegate {
public:
    CellColourDelegate(CListCtrlEx* owner, QObject* parent) : QStyledItemDelegate(parent), m_owner(owner) {}
    CListCtrlEx* m_owner;

protected:
    void initStyleOption(QStyleOptionViewItem* opt, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(opt, index);
        if (!m_owner)
            return;
        const COLORREF bk = m_owner->OnGetCellBkColor(index.row(), index.column());
        const COLORREF text = m_owner->OnGetCellTextColor(index.row(), index.column());
        if (bk != CLR_DEFAULT)
            opt->backgroundBrush = QBrush(ui::toQColor(bk));
        if (text != CLR_DEFAULT) {
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                opt->palette.setColor(group, QPalette::Text, ui::toQColor(text));
        }
    }
};

CListCtrlEx::CListCtrlEx() = default;

CListCtrlEx::~CListCtrlEx()
{
    // The widget may outlive this object by a moment (deleted later).
    if (auto* t = table()) {
        static_cast<ListTable*>(t)->m_owner = nullptr;
        if (auto* d = dynamic_cast<CellColourDelegate*>(t->itemDelegate()))
            d->m_owner = nullptr;
        if (auto* m = model())
            m->m_owner = nullptr;
    }
}

QTableView* CListCtrlEx::table() const
{
    return static_cast<QTableView*>(widget());
}

ListModel* CListCtrlEx::model() const
{
    auto* t = table();
    return t ? static_cast<ListModel*>(t->model()) : nullptr;
}

BOOL CListCtrlEx::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    m_style = dwStyle;
    m_selectionMark = -1;
    auto* t = new ListTable(this, parent);
    t->setModel(new ListModel(this, t));
    t->verticalHeader()->hide();
    t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 4);
    t->horizontalHeader()->setHighlightSections(false);
    t->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode((dwStyle & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                  : QAbstractItemView::ExtendedSelection);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setWordWrap(false);
    t->setTabKeyNavigation(false);
    t->setItemDelegate(new CellColourDelegate(this, t));
    pParent->addControl(this, t, nID, dwStyle, rect);
    applyGrid();
    DragAcceptFiles(m_acceptFiles);
    QObject::connect(t->selectionModel(), &QItemSelectionModel::selectionChanged, signalContext(),
                     [this] { userSelectionChanged(); });
    return TRUE;
}

DWORD CListCtrlEx::SetExtendedStyle(DWORD dwNewStyle)
{
    const DWORD old = m_exStyle;
    m_exStyle = dwNewStyle;
    applyGrid();
    return old;
}

void CListCtrlEx::applyGrid()
{
    if (auto* t = table())
        t->setShowGrid((m_exStyle & LVS_EX_GRIDLINES) != 0);
}

int CListCtrlEx::InsertColumn(int nCol, const std::string& heading, int nFormat, int nWidth)
{
    auto* t = table();
    if (!t)
        return -1;
    const int at = std::clamp(nCol, 0, model()->columns());
    model()->insertColumnAt(at, ui::toQt(heading), nFormat);
    if (nWidth >= 0) {
        const auto* dlg = dynamic_cast<const CDialog*>(GetParent());
        t->setColumnWidth(at, dlg ? dlg->ScalePixels(nWidth) : nWidth);
    }
    return at;
}

int CListCtrlEx::GetColumnCount() const
{
    auto* m = model();
    return m ? m->columns() : 0;
}

int CListCtrlEx::GetColumnWidth(int nCol) const
{
    auto* t = table();
    return t ? t->columnWidth(nCol) : 0;
}

int CListCtrlEx::GetItemCount() const
{
    auto* m = model();
    return m ? m->rows() : 0;
}

int CListCtrlEx::InsertItem(int nItem, const std::string& text)
{
    auto* m = model();
    if (!m || m->columns() == 0 || isOwnerData())
        return -1;
    const int at = std::clamp(nItem, 0, m->rows());
    ++m_programmatic;
    m->insertRowAt(at);
    --m_programmatic;
    if (m_selectionMark >= at)
        ++m_selectionMark;
    SetItemText(at, 0, text);
    return at;
}

BOOL CListCtrlEx::SetItemText(int nItem, int nSubItem, const std::string& text)
{
    auto* m = model();
    if (!m || isOwnerData() || !m->inRange(nItem, nSubItem))
        return FALSE;
    m->setCell(nItem, nSubItem, text);
    return TRUE;
}

std::string CListCtrlEx::GetItemText(int nItem, int nSubItem) const
{
    auto* m = model();
    if (!m || !m->inRange(nItem, nSubItem))
        return std::string();
    if (isOwnerData())
        return OnGetItemText(nItem, nSubItem);
    return m->m_cells[std::size_t(nItem)][std::size_t(nSubItem)];
}

std::string CListCtrlEx::OnGetItemText(int, int) const
{
    return std::string();
}

BOOL CListCtrlEx::DeleteItem(int nItem)
{
    auto* m = model();
    if (!m || nItem < 0 || nItem >= m->rows())
        return FALSE;
    ++m_programmatic;
    m->removeRowAt(nItem);
    --m_programmatic;
    if (m_selectionMark == nItem)
        m_selectionMark = -1;
    else if (m_selectionMark > nItem)
        --m_selectionMark;
    return TRUE;
}

BOOL CListCtrlEx::DeleteAllItems()
{
    auto* m = model();
    if (!m)
        return FALSE;
    ++m_programmatic;
    m->removeAll();
    --m_programmatic;
    m_selectionMark = -1;
    return TRUE;
}

void CListCtrlEx::SetItemCount(int nItems)
{
    auto* m = model();
    if (!m || !isOwnerData())
        return;
    nItems = std::max(nItems, 0);
    if (nItems == 0) {
        DeleteAllItems();
        return;
    }
    ++m_programmatic;
    m->setOwnerRows(nItems);
    --m_programmatic;
    if (m_selectionMark >= nItems)
        m_selectionMark = -1;
}

BOOL CListCtrlEx::RedrawItems(int nFirst, int nLast)
{
    auto* m = model();
    if (!m || nFirst < 0 || nLast < nFirst || nLast >= m->rows() || m->columns() == 0)
        return FALSE;
    m->rowsChanged(nFirst, nLast);
    return TRUE;
}

int CListCtrlEx::GetNextItem(int nItem, UINT nFlags) const
{
    auto* t = table();
    if (!t)
        return -1;
    for (int i = std::max(nItem + 1, 0); i < GetItemCount(); ++i) {
        if ((nFlags & LVNI_SELECTED) && !(GetItemState(i, LVIS_SELECTED) & LVIS_SELECTED))
            continue;
        if ((nFlags & LVNI_FOCUSED) && !(GetItemState(i, LVIS_FOCUSED) & LVIS_FOCUSED))
            continue;
        return i;
    }
    return -1;
}

int CListCtrlEx::GetSelectedCount() const
{
    auto* t = table();
    return t ? int(t->selectionModel()->selectedRows().size()) : 0;
}

BOOL CListCtrlEx::SetItemState(int nItem, UINT nState, UINT nMask)
{
    auto* t = table();
    if (!t || nItem < -1 || nItem >= GetItemCount())
        return FALSE;
    QItemSelectionModel* sm = t->selectionModel();
    ++m_programmatic;
    const int first = nItem < 0 ? 0 : nItem;
    const int last = nItem < 0 ? GetItemCount() - 1 : nItem;
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = t->model()->index(row, 0);
        if (nMask & LVIS_SELECTED) {
            QItemSelectionModel::SelectionFlags how = QItemSelectionModel::Rows;
            if (!(nState & LVIS_SELECTED))
                how |= QItemSelectionModel::Deselect;
            else if (m_style & LVS_SINGLESEL)
                how |= QItemSelectionModel::ClearAndSelect;
            else
                how |= QItemSelectionModel::Select;
            sm->select(index, how);
        }
        if (nMask & LVIS_FOCUSED) {
            if (nState & LVIS_FOCUSED)
                sm->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
            else if (sm->currentIndex().row() == row)
                sm->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        }
    }
    --m_programmatic;
    return TRUE;
}

UINT CListCtrlEx::GetItemState(int nItem, UINT nMask) const
{
    auto* t = table();
    if (!t || nItem < 0 || nItem >= GetItemCount())
        return 0;
    UINT state = 0;
    if (t->selectionModel()->isRowSelected(nItem, QModelIndex()))
        state |= LVIS_SELECTED;
    if (t->selectionModel()->currentIndex().isValid() && t->selectionModel()->currentIndex().row() == nItem)
        state |= LVIS_FOCUSED;
    return state & nMask;
}

int CListCtrlEx::SetSelectionMark(int nIndex)
{
    const int old = m_selectionMark;
    m_selectionMark = nIndex;
    return old;
}

int CListCtrlEx::SetHotItem(int nIndex)
{
    // No hot-tracking look here; the call only answers like Windows.
    static_cast<void>(nIndex);
    return -1;
}

BOOL CListCtrlEx::EnsureVisible(int nItem, BOOL bPartialOK)
{
    auto* t = table();
    if (!t || nItem < 0 || nItem >= GetItemCount())
        return FALSE;
    static_cast<void>(bPartialOK); // scrolling always shows the whole row
    // Rows just inserted are laid out later; the scroll range must know them
    // first, or the scroll stops at the old end.
    t->doItemsLayout();
    t->scrollTo(t->model()->index(nItem, 0), QAbstractItemView::EnsureVisible);
    return TRUE;
}

COLORREF CListCtrlEx::GetBkColor() const
{
    if (m_bkColor != CLR_DEFAULT)
        return m_bkColor;
    auto* t = table();
    return t ? ui::fromQColor(t->palette().color(QPalette::Base)) : GetSysColor(COLOR_WINDOW);
}

COLORREF CListCtrlEx::GetTextColor() const
{
    if (m_textColor != CLR_DEFAULT)
        return m_textColor;
    auto* t = table();
    return t ? ui::fromQColor(t->palette().color(QPalette::Text)) : GetSysColor(COLOR_WINDOWTEXT);
}

BOOL CListCtrlEx::SetBkColor(COLORREF cr)
{
    m_bkColor = cr;
    SetCtlColors(CLR_DEFAULT, cr);
    return TRUE;
}

BOOL CListCtrlEx::SetTextColor(COLORREF cr)
{
    m_textColor = cr;
    SetCtlColors(cr, CLR_DEFAULT);
    return TRUE;
}

void CListCtrlEx::DragAcceptFiles(BOOL bAccept)
{
    m_acceptFiles = bAccept != FALSE;
    if (auto* t = table()) {
        t->setAcceptDrops(m_acceptFiles);
        t->viewport()->setAcceptDrops(m_acceptFiles);
        t->setDragDropMode(m_acceptFiles ? QAbstractItemView::DropOnly : QAbstractItemView::NoDragDrop);
    }
}

COLORREF CListCtrlEx::OnGetCellTextColor(int, int)
{
    return GetTextColor();
}

COLORREF CListCtrlEx::OnGetCellBkColor(int, int)
{
    return GetBkColor();
}

void CListCtrlEx::OnDropFiles(const std::vector<std::string>&) {}

void CListCtrlEx::userSelectionChanged()
{
    if (m_programmatic)
        return;
    auto* t = table();
    const int current = t->currentIndex().row();
    if (current >= 0 && t->selectionModel()->isRowSelected(current, QModelIndex()))
        m_selectionMark = current;
    notifyParentNotify(LVN_ITEMCHANGED);
}
