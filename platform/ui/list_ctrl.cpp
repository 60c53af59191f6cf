#include "platform/ui/list_ctrl.h"

#include <algorithm>

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QUrl>

#include "platform/ui/dialog.h"
#include "platform/ui/text.h"

namespace {

constexpr int kBytesRole = Qt::UserRole + 1; // the cell's CP932 text

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

// The table behind the list: passes drops, clicks and double clicks on.
class ListTable : public QTableWidget {
public:
    ListTable(CListCtrlEx* owner, QWidget* parent) : QTableWidget(parent), m_owner(owner) {}
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
        QTableWidget::mouseReleaseEvent(e);
        if (m_owner)
            m_owner->mouseReleased();
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override
    {
        QTableWidget::mouseDoubleClickEvent(e);
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
    }
}

QTableWidget* CListCtrlEx::table() const
{
    return static_cast<QTableWidget*>(widget());
}

BOOL CListCtrlEx::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    m_style = dwStyle;
    m_formats.clear();
    m_selectionMark = -1;
    auto* t = new ListTable(this, parent);
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
    QObject::connect(t, &QTableWidget::itemSelectionChanged, signalContext(), [this] { userSelectionChanged(); });
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
    const int at = std::clamp(nCol, 0, t->columnCount());
    t->insertColumn(at);
    auto* header = new QTableWidgetItem(ui::toQt(heading));
    header->setTextAlignment(alignmentOf(nFormat));
    t->setHorizontalHeaderItem(at, header);
    m_formats.insert(m_formats.begin() + at, nFormat);
    if (nWidth >= 0) {
        const auto* dlg = dynamic_cast<const CDialog*>(GetParent());
        t->setColumnWidth(at, dlg ? dlg->ScalePixels(nWidth) : nWidth);
    }
    return at;
}

int CListCtrlEx::GetColumnCount() const
{
    auto* t = table();
    return t ? t->columnCount() : 0;
}

int CListCtrlEx::GetColumnWidth(int nCol) const
{
    auto* t = table();
    return t ? t->columnWidth(nCol) : 0;
}

int CListCtrlEx::GetItemCount() const
{
    auto* t = table();
    return t ? t->rowCount() : 0;
}

int CListCtrlEx::InsertItem(int nItem, const std::string& text)
{
    auto* t = table();
    if (!t || t->columnCount() == 0)
        return -1;
    const int at = std::clamp(nItem, 0, t->rowCount());
    ++m_programmatic;
    t->insertRow(at);
    --m_programmatic;
    if (m_selectionMark >= at)
        ++m_selectionMark;
    SetItemText(at, 0, text);
    return at;
}

BOOL CListCtrlEx::SetItemText(int nItem, int nSubItem, const std::string& text)
{
    auto* t = table();
    if (!t || nItem < 0 || nItem >= t->rowCount() || nSubItem < 0 || nSubItem >= t->columnCount())
        return FALSE;
    QTableWidgetItem* item = t->item(nItem, nSubItem);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        item->setTextAlignment(alignmentOf(m_formats[std::size_t(nSubItem)]));
        t->setItem(nItem, nSubItem, item);
    }
    item->setText(ui::toQt(text));
    item->setData(kBytesRole, QByteArray(text.data(), qsizetype(text.size())));
    return TRUE;
}

std::string CListCtrlEx::GetItemText(int nItem, int nSubItem) const
{
    auto* t = table();
    if (!t)
        return std::string();
    QTableWidgetItem* item = t->item(nItem, nSubItem);
    if (!item)
        return std::string();
    const QByteArray b = item->data(kBytesRole).toByteArray();
    return std::string(b.constData(), std::size_t(b.size()));
}

BOOL CListCtrlEx::DeleteItem(int nItem)
{
    auto* t = table();
    if (!t || nItem < 0 || nItem >= t->rowCount())
        return FALSE;
    ++m_programmatic;
    t->removeRow(nItem);
    --m_programmatic;
    if (m_selectionMark == nItem)
        m_selectionMark = -1;
    else if (m_selectionMark > nItem)
        --m_selectionMark;
    return TRUE;
}

BOOL CListCtrlEx::DeleteAllItems()
{
    auto* t = table();
    if (!t)
        return FALSE;
    ++m_programmatic;
    t->setRowCount(0);
    --m_programmatic;
    m_selectionMark = -1;
    return TRUE;
}

int CListCtrlEx::GetNextItem(int nItem, UINT nFlags) const
{
    auto* t = table();
    if (!t)
        return -1;
    for (int i = std::max(nItem + 1, 0); i < t->rowCount(); ++i) {
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
    if (!t || nItem < -1 || nItem >= t->rowCount())
        return FALSE;
    QItemSelectionModel* sm = t->selectionModel();
    ++m_programmatic;
    const int first = nItem < 0 ? 0 : nItem;
    const int last = nItem < 0 ? t->rowCount() - 1 : nItem;
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
    if (!t || nItem < 0 || nItem >= t->rowCount())
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
    if (!t || nItem < 0 || nItem >= t->rowCount())
        return FALSE;
    static_cast<void>(bPartialOK); // scrolling always shows the whole row
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
    const int current = t->currentRow();
    if (current >= 0 && t->selectionModel()->isRowSelected(current, QModelIndex()))
        m_selectionMark = current;
    notifyParentNotify(LVN_ITEMCHANGED);
}
