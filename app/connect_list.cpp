#include "app/connect_list.h"

#include "platform/ui/text.h"
#include "app/connection_rows.h"

COLORREF CConnectMFCListCtl::OnGetCellBkColor(int nRow, int)
{
    static const std::string connected = ui::cp("接続");
    if (GetItemText(nRow, CConnectionRows::COL_STATE) == connected)
        return CONNECTED_BACKGROUND;
    return GetSysColor(COLOR_WINDOW);
}
