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
    m_viewEvents.push(ViewEvent::APPEND, 0, rec);
}

void CTandrelDlg::onCatalogUpdate(int row, const CatalogRecord* rec)
{
    m_viewEvents.push(ViewEvent::UPDATE, static_cast<std::uint32_t>(row), rec);
}

void CTandrelDlg::onCatalogClear()
{
    m_viewEvents.push(ViewEvent::CLEAR, 0, nullptr);
}

void CTandrelDlg::drainViewEvents()
{
    startDrain();
    continueDrain(std::chrono::steady_clock::time_point::max());
}

void CTandrelDlg::startDrain()
{
    // A refresh that comes while the last one is still under way joins it.
    m_drainLeft = m_viewEvents.size();
}

bool CTandrelDlg::continueDrain(std::chrono::steady_clock::time_point deadline)
{
    if (m_drainLeft == 0)
        return false;
    m_catalogList.SetRedraw(FALSE);
    for (std::size_t done = 0; m_drainLeft > 0 && !m_viewEvents.empty(); ++done) {
        if ((done & 63) == 63 && std::chrono::steady_clock::now() >= deadline)
            break;
        const ViewEvent e = m_viewEvents.front();
        switch (e.kind) {
        case ViewEvent::CLEAR:
            clearCatalogList();
            break;
        case ViewEvent::APPEND:
            // The list learns of the appended rows once per slice, and the
            // refresh scrolls once at its end: per row, both would cost the
            // view a pass over every row it holds.
            m_catalogList.appendRow(e.record, getNodeName(), false);
            ++m_catalogRows;
            m_rowsAppended = true;
            break;
        case ViewEvent::UPDATE: {
            // A progress update that the next event rewrites is skipped.
            std::uint32_t nextKind = 0, nextRow = 0;
            const bool superseded = e.record.complete != 1 && m_viewEvents.second(&nextKind, &nextRow) &&
                                    nextKind == ViewEvent::UPDATE && nextRow == e.row;
            if (!superseded)
                updateCatalogRow(static_cast<int>(e.row), &e.record);
            break;
        }
        default:
            break;
        }
        m_viewEvents.pop_front();
        --m_drainLeft;
    }
    m_catalogList.showRows();
    if (m_viewEvents.empty()) {
        m_drainLeft = 0;
        // The queue's storage goes with its events: keeping room for the
        // largest burst (the load, a compaction) would keep it for good.
        m_viewEvents.clear();
    }
    if (m_drainLeft == 0 && m_rowsAppended) {
        m_rowsAppended = false;
        m_catalogList.EnsureVisible(m_catalogList.GetItemCount() - 1, FALSE);
    }
    m_catalogList.SetRedraw(TRUE);
    return m_drainLeft > 0;
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
