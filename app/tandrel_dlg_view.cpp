// The main window's tray icon, its showing and hiding, and the file list
// fed from the queue of catalog changes.
#include <cstring>

#include <QAction>
#include <QMenu>

#include "app/resources.h"
#include "app/tandrel_dlg.h"
#include "platform/cp932.h"
#include "platform/ui/text.h"

using ui::cp;

namespace {

// The tooltip holds 127 bytes and the terminating zero.
constexpr std::size_t TIP_MAX = 127;

} // namespace

// --- Tray icon and window ------------------------------------------------------

void CTandrelDlg::setupTrayIcon()
{
    m_tray.setIcon(res::trayIcon());
    m_tray.setToolTip(cp932::cutText(GetWindowText(), TIP_MAX));
    if (m_tray.menu()->actions().isEmpty()) {
        m_tray.addMenuItem(ID_TRAY_OPEN, cp("メインウィンドウを開く"));
        m_tray.addMenuSeparator();
        m_tray.addMenuItem(ID_TRAY_EXIT, cp("終了"));
        m_tray.setCommandHandler([this](UINT id) {
            if (widget())
                SendMessage(WM_COMMAND, MAKEWPARAM(WORD(id), BN_CLICKED), 0);
        });
        m_tray.setActivationHandler([this](CTrayIcon::Activation how) {
            if (!widget())
                return;
            if (how == CTrayIcon::Activation::doubleClick)
                SendMessage(WM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK);
            else if (how == CTrayIcon::Activation::click)
                SendMessage(WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
        });
    }
}

void CTandrelDlg::addTrayIcon()
{
    // One attempt: the 5 s refresh tries again.
    m_tray.Add();
    if (m_exitAction)
        m_exitAction->setVisible(!m_tray.isShown());
}

void CTandrelDlg::showMainWindow(BOOL show)
{
    m_visible = show ? 1 : 0;
    if (show) {
        ShowWindow(SW_SHOW);
        ShowWindow(SW_SHOWNORMAL);
    } else if (m_tray.isShown()) {
        ShowWindow(SW_HIDE);
    } else {
        // No tray to come back from: the window stays in the task bar.
        ShowWindow(SW_SHOWMINIMIZED);
    }
}

void CTandrelDlg::OnTrayOpen()
{
    showMainWindow(TRUE);
    if (IsIconic())
        ShowWindow(SW_SHOWNORMAL);
    SetForegroundWindow();
}

void CTandrelDlg::OnTrayExit()
{
    showMainWindow(FALSE);
    SendMessage(WM_ENDSESSION, TRUE, 0);
}

// --- File list -----------------------------------------------------------------

void CTandrelDlg::onCatalogAdd(const CatalogRecord* rec)
{
    ViewEvent e;
    e.kind = ViewEvent::APPEND;
    e.row = 0;
    e.record = *rec;
    m_viewEvents.push_back(e);
}

void CTandrelDlg::onCatalogUpdate(int row, const CatalogRecord* rec)
{
    ViewEvent e;
    e.kind = ViewEvent::UPDATE;
    e.row = static_cast<std::uint32_t>(row);
    e.record = *rec;
    m_viewEvents.push_back(e);
}

void CTandrelDlg::onCatalogClear()
{
    ViewEvent e;
    std::memset(&e, 0, sizeof e);
    e.kind = ViewEvent::CLEAR;
    m_viewEvents.push_back(e);
}

void CTandrelDlg::drainViewEvents()
{
    m_catalogList.SetRedraw(FALSE);
    for (std::size_t i = 0; i < m_viewEvents.size(); ++i) {
        const ViewEvent e = m_viewEvents[i];
        switch (e.kind) {
        case ViewEvent::CLEAR:
            clearCatalogList();
            break;
        case ViewEvent::APPEND:
            appendCatalogRow(&e.record);
            break;
        case ViewEvent::UPDATE: {
            // A progress update that the next event rewrites is skipped.
            const bool superseded = e.record.complete != 1 && i + 1 < m_viewEvents.size() &&
                                    m_viewEvents[i + 1].kind == ViewEvent::UPDATE &&
                                    m_viewEvents[i + 1].row == e.row;
            if (!superseded)
                updateCatalogRow(static_cast<int>(e.row), &e.record);
            break;
        }
        default:
            break;
        }
    }
    // The queue's storage goes with its events: the load and every
    // compaction queue one event of 828 bytes per catalog entry, and keeping
    // room for the largest burst would keep a second catalog in memory.
    std::deque<ViewEvent>().swap(m_viewEvents);
    m_catalogList.SetRedraw(TRUE);
}

void CTandrelDlg::clearCatalogList()
{
    m_catalogList.clearRows();
    m_catalogRows = 0;
}

void CTandrelDlg::appendCatalogRow(const CatalogRecord* rec)
{
    m_catalogList.appendRow(*rec, getNodeName());
    ++m_catalogRows;
    m_catalogList.EnsureVisible(m_catalogList.GetItemCount() - 1, FALSE);
}

void CTandrelDlg::updateCatalogRow(int row, const CatalogRecord* rec)
{
    m_catalogList.updateRow(row, *rec, getNodeName());
}
