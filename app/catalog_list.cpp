#include "app/catalog_list.h"

#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/ui/text.h"
#include "store/settings.h"

namespace {

using Status = CCatalogMFCListCtl::Status;

std::string fieldOf(const char* field, std::size_t width)
{
    return std::string(cp932::fieldText(field, width));
}

// The share of the file held, in percent.
double heldPercent(DWORD held, DWORD sizeLow)
{
    return double(std::uint32_t(held)) * 100.0 / double(std::uint32_t(sizeLow));
}

std::string statusText(Status status, DWORD held, DWORD sizeLow)
{
    switch (status) {
    case Status::deleted:
        return ui::cp("削除");
    case Status::received:
        return ui::cp("取得済");
    case Status::link:
        return "link";
    case Status::own:
        return "------";
    case Status::over2G:
        return ui::cp("2G超");
    case Status::badSize:
        return ui::cp("データ異常");
    case Status::percent: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%2.2f%%", heldPercent(held, sizeLow));
        return buf;
    }
    case Status::unknown:
        break;
    }
    return "???";
}

} // namespace

std::string catalogCellText(const CatalogRecord& rec, int column, const char* ownNode)
{
    switch (column) {
    case CATCOL_FILE:
        return fieldOf(rec.findData.cFileName, MAX_PATH);
    case CATCOL_ORIGIN:
        return fieldOf(rec.originNode, CATALOG_NAME_LEN);
    case CATCOL_REGISTERED:
        return ui::registeredText(rec.registered);
    case CATCOL_EXPIRES:
        return ui::expiryText(rec.expires.wYear, rec.expires.wMonth, rec.expires.wDay);
    case CATCOL_STATUS:
        return statusText(CCatalogMFCListCtl::statusOf(rec, ownNode), rec.heldBytes, rec.findData.nFileSizeLow);
    case CATCOL_SIZE:
        return ui::fileSizeText(rec.findData.nFileSizeHigh, rec.findData.nFileSizeLow);
    default:
        return std::string();
    }
}

bool isNodeFileName(std::string_view name)
{
    // No byte of ".nod" can be the second half of a CP932 character here:
    // none of '.', 'n', 'o' is a lead byte.
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".nod") == 0;
}

// --- The queue of changes ---------------------------------------------------------

void CViewEventQueue::push(ViewEvent::Kind kind, std::uint32_t row, const CatalogRecord* rec)
{
    Header h{};
    h.kind = kind;
    h.row = row;
    std::string_view name, origin;
    if (rec) {
        name = cp932::fieldText(rec->findData.cFileName, MAX_PATH);
        origin = cp932::fieldText(rec->originNode, CATALOG_NAME_LEN);
        h.nameLen = static_cast<std::uint16_t>(name.size());
        h.originLen = static_cast<std::uint8_t>(origin.size());
        h.isLink = static_cast<std::uint8_t>(rec->isLink == 1 ? 1 : 0);
        h.state = rec->state;
        h.complete = rec->complete;
        h.heldBytes = rec->heldBytes;
        h.sizeHigh = rec->findData.nFileSizeHigh;
        h.sizeLow = rec->findData.nFileSizeLow;
        h.registered = rec->registered;
        h.expires = rec->expires;
    }
    m_bytes.append(reinterpret_cast<const char*>(&h), sizeof h);
    m_bytes.append(name);
    m_bytes.append(origin);
    ++m_count;
}

CViewEventQueue::Header CViewEventQueue::headerAt(std::size_t at) const
{
    Header h;
    std::memcpy(&h, m_bytes.data() + at, sizeof h);
    return h;
}

std::size_t CViewEventQueue::lengthAt(std::size_t at) const
{
    const Header h = headerAt(at);
    return sizeof h + h.nameLen + h.originLen;
}

ViewEvent CViewEventQueue::front() const
{
    ViewEvent e;
    std::memset(&e, 0, sizeof e);
    const Header h = headerAt(m_first);
    e.kind = h.kind;
    e.row = h.row;
    CatalogRecord& r = e.record;
    const char* text = m_bytes.data() + m_first + sizeof h;
    std::memcpy(r.findData.cFileName, text, h.nameLen);
    std::memcpy(r.originNode, text + h.nameLen, h.originLen);
    r.isLink = h.isLink;
    r.state = h.state;
    r.complete = h.complete;
    r.heldBytes = h.heldBytes;
    r.findData.nFileSizeHigh = h.sizeHigh;
    r.findData.nFileSizeLow = h.sizeLow;
    r.registered = h.registered;
    r.expires = h.expires;
    return e;
}

bool CViewEventQueue::second(std::uint32_t* kind, std::uint32_t* row) const
{
    if (m_count < 2)
        return false;
    const Header h = headerAt(m_first + lengthAt(m_first));
    *kind = h.kind;
    *row = h.row;
    return true;
}

void CViewEventQueue::pop_front()
{
    if (m_count == 0)
        return;
    m_first += lengthAt(m_first);
    if (--m_count == 0) {
        m_bytes.clear();
        m_first = 0;
    } else if (m_first > (1u << 20) && m_first * 2 > m_bytes.size()) {
        // What was applied goes, once it is the larger part.
        m_bytes.erase(0, m_first);
        m_first = 0;
    }
}

void CViewEventQueue::clear()
{
    std::string().swap(m_bytes);
    m_first = 0;
    m_count = 0;
}

// --- The rows -------------------------------------------------------------------

CCatalogMFCListCtl::Status CCatalogMFCListCtl::statusOf(const CatalogRecord& rec, const char* ownNode)
{
    if (rec.state == CATALOG_STATE_DELETED)
        return Status::deleted;
    if (rec.complete == 1) {
        if (cp932::fieldText(rec.originNode, CATALOG_NAME_LEN) != std::string_view(ownNode ? ownNode : ""))
            return Status::received;
        return rec.isLink == 1 ? Status::link : Status::own;
    }
    if (rec.findData.nFileSizeHigh != 0)
        return Status::over2G;
    if (rec.findData.nFileSizeLow == 0)
        return Status::badSize;
    const double p = heldPercent(rec.heldBytes, rec.findData.nFileSizeLow);
    return p >= 0 && p < 100 ? Status::percent : Status::unknown;
}

void CCatalogMFCListCtl::setRow(Row& row, const CatalogRecord& rec, const char* ownNode, bool keepName)
{
    const std::string_view name = cp932::fieldText(rec.findData.cFileName, MAX_PATH);
    // Row i keeps its entry's key until the list is cleared, so an update
    // normally brings the name the row already has.
    if (!keepName || nameOf(row) != name) {
        row.nameAt = static_cast<std::uint32_t>(m_names.size());
        row.nameLen = static_cast<std::uint16_t>(name.size());
        m_names.append(name);
    }
    const std::string origin(cp932::fieldText(rec.originNode, CATALOG_NAME_LEN));
    const auto [it, added] = m_originIndex.emplace(origin, static_cast<std::uint32_t>(m_origins.size()));
    if (added)
        m_origins.push_back(origin);
    row.origin = it->second;
    row.status = statusOf(rec, ownNode);
    row.registered = rec.registered;
    row.expiresYear = rec.expires.wYear;
    row.expiresMonth = rec.expires.wMonth;
    row.expiresDay = rec.expires.wDay;
    row.sizeHigh = rec.findData.nFileSizeHigh;
    row.sizeLow = rec.findData.nFileSizeLow;
    row.heldBytes = rec.heldBytes;
}

void CCatalogMFCListCtl::clearRows()
{
    DeleteAllItems();
    // The storage goes too: a list that held 100,000 rows keeps nothing.
    std::vector<Row>().swap(m_rows);
    std::string().swap(m_names);
    m_origins.clear();
    m_originIndex.clear();
}

int CCatalogMFCListCtl::appendRow(const CatalogRecord& rec, const char* ownNode, bool show)
{
    Row row{};
    setRow(row, rec, ownNode, false);
    m_rows.push_back(row);
    if (show)
        showRows();
    return static_cast<int>(m_rows.size()) - 1;
}

void CCatalogMFCListCtl::showRows()
{
    if (GetItemCount() != static_cast<int>(m_rows.size()))
        SetItemCount(static_cast<int>(m_rows.size()));
}

bool CCatalogMFCListCtl::updateRow(int row, const CatalogRecord& rec, const char* ownNode)
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return false;
    setRow(m_rows[std::size_t(row)], rec, ownNode, true);
    RedrawItems(row, row);
    return true;
}

const CCatalogMFCListCtl::Row* CCatalogMFCListCtl::rowAt(int i) const
{
    return i >= 0 && i < static_cast<int>(m_rows.size()) ? &m_rows[std::size_t(i)] : nullptr;
}

std::string CCatalogMFCListCtl::OnGetItemText(int nRow, int nColumn) const
{
    const Row* r = rowAt(nRow);
    if (!r)
        return std::string();
    switch (nColumn) {
    case CATCOL_FILE:
        return std::string(nameOf(*r));
    case CATCOL_ORIGIN:
        return m_origins[r->origin];
    case CATCOL_REGISTERED:
        return ui::registeredText(r->registered);
    case CATCOL_EXPIRES:
        return ui::expiryText(r->expiresYear, r->expiresMonth, r->expiresDay);
    case CATCOL_STATUS:
        return statusText(r->status, r->heldBytes, r->sizeLow);
    case CATCOL_SIZE:
        return ui::fileSizeText(r->sizeHigh, r->sizeLow);
    default:
        return std::string();
    }
}

// --- Colours --------------------------------------------------------------------

COLORREF CCatalogMFCListCtl::OnGetCellTextColor(int nRow, int)
{
    const Row* r = rowAt(nRow);
    if (r && isNodeFileName(nameOf(*r)))
        return NODE_FILE_TEXT;
    return GetTextColor();
}

COLORREF CCatalogMFCListCtl::OnGetCellBkColor(int nRow, int)
{
    const Row* r = rowAt(nRow);
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const char* own = settings ? settings->getNodeName() : nullptr;
    // An own entry keeps the list's colour; of the others, one in transfer
    // (a percentage in its status) is yellow, one held green.
    if (!r || m_origins[r->origin] == (own ? own : ""))
        return GetBkColor();
    if (r->status == Status::percent)
        return TRANSFER_BACKGROUND;
    return RECEIVED_BACKGROUND;
}
