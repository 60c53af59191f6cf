// The connection list of the main window: a connected row is light blue.
#pragma once

#include "platform/ui/list_ctrl.h"

constexpr COLORREF CONNECTED_BACKGROUND = RGB(210, 210, 255);

class CConnectMFCListCtl : public CMFCListCtrl {
protected:
    COLORREF OnGetCellBkColor(int nRow, int nColumn) override;
};
