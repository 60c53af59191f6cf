#include "app/catalog_list.h"

#include <cstdio>

#include "platform/cp932.h"
#include "platform/ui/text.h"
#include "store/settings.h"

namespace {

std::string fieldOf(const char* field, std::size_t width)
{
    return std::string(cp932::fieldText(field, width));
}

std::string statusText(const CatalogRecord& rec, const char* ownNode)
{
    if (rec.state == CATALOG_STATE_DELETED)
        return ui::cp("削除");
    if (rec.complete == 1) {
        if (fieldOf(rec.originNode, CATALOG_NAME_LEN) != (ownNode ? ownNode : ""))
            return ui::cp("取得済");
        return rec.isLink == 1 ? "link" : "------";
    }
    if (rec.findData.nFileSizeHigh != 0)
        return ui::cp("2G超");
    if (rec.findData.nFileSizeLow == 0)
        return ui::cp("データ異常");
    const double p = double(std::uint32_t(rec.heldBytes)) * 100.0 / double(std::uint32_t(rec.findData.nFileSizeLow));
    if (p >= 0 && p < 100) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%2.2f%%", p);
        return buf;
    }
    return "???";
}

} // namespace

std::string catalogCellText(const CatalogRecord& rec, int column, const char* ownNode)
{
    char buf[64];
    switch (column) {
    case CATCOL_FILE:
        return fieldOf(rec.findData.cFileName, MAX_PATH);
    case CATCOL_ORIGIN:
        return fieldOf(rec.originNode, CATALOG_NAME_LEN);
    case CATCOL_REGISTERED: {
        const SYSTEMTIME& t = rec.registered;
        std::snprintf(buf, sizeof buf, "%4d/%2d/%2d %02d:%02d:%02d:%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond, t.wMilliseconds);
        return buf;
    }
    case CATCOL_EXPIRES: {
        const SYSTEMTIME& t = rec.expires;
        std::snprintf(buf, sizeof buf, "%4d/%2d/%2d", t.wYear, t.wMonth, t.wDay);
        return buf;
    }
    case CATCOL_STATUS:
        return statusText(rec, ownNode);
    case CATCOL_SIZE:
        return ui::fileSizeText(rec.findData);
    default:
        return std::string();
    }
}

bool isNodeFileName(const std::string& name)
{
    // No byte of ".nod" can be the second half of a CP932 character here:
    // none of '.', 'n', 'o' is a lead byte.
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".nod") == 0;
}

COLORREF CCatalogMFCListCtl::OnGetCellTextColor(int nRow, int)
{
    if (isNodeFileName(GetItemText(nRow, CATCOL_FILE)))
        return NODE_FILE_TEXT;
    return GetTextColor();
}

COLORREF CCatalogMFCListCtl::OnGetCellBkColor(int nRow, int)
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const char* own = settings ? settings->getNodeName() : nullptr;
    if (GetItemText(nRow, CATCOL_ORIGIN) == (own ? own : ""))
        return GetBkColor();
    if (GetItemText(nRow, CATCOL_STATUS).find('%') != std::string::npos)
        return TRANSFER_BACKGROUND;
    return RECEIVED_BACKGROUND;
}
