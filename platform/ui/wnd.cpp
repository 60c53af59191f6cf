#include "platform/ui/wnd.h"

#include <unordered_set>

#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QScreen>
#include <QWidget>

#include "platform/qt/main_thread.h"
#include "platform/qt/timer.h"
#include "platform/ui/dialog.h"
#include "platform/ui/prompts.h"
#include "platform/ui/text.h"

namespace {

std::unordered_set<const CWnd*>& liveWindows()
{
    static std::unordered_set<const CWnd*> windows;
    return windows;
}

// How many layer deliveries (messages, notifications) are on the stack; a
// widget destroyed meanwhile may still be in use below.
int g_deliveryDepth = 0;

struct DeliveryScope {
    DeliveryScope() { ++g_deliveryDepth; }
    ~DeliveryScope() { --g_deliveryDepth; }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;
};

} // namespace

CWnd::CWnd() = default;

CWnd::~CWnd()
{
    if (m_inDialog)
        m_inDialog->forgetControl(this);
    if (m_widget) {
        QWidget* w = m_widget;
        detachWidget();
        disposeWidget(w);
    }
}

HWND CWnd::GetSafeHwnd() const
{
    return m_widget ? const_cast<CWnd*>(this) : nullptr;
}

CWnd* CWnd::FromHandle(HWND hWnd)
{
    auto* w = static_cast<CWnd*>(hWnd);
    return liveWindows().count(w) ? w : nullptr;
}

void CWnd::attachWidget(QWidget* w, int id, CWnd* parent)
{
    m_widget = w;
    m_id = id;
    m_parent = parent;
    m_posted = std::make_unique<platform::CDeferredCalls>();
    m_signals = std::make_unique<QObject>();
    liveWindows().insert(this);
}

void CWnd::detachWidget()
{
    liveWindows().erase(this);
    m_widget = nullptr;
    // A timer may be detached from inside its own tick: stop it now and let
    // the objects go with this window object.
    for (auto& [id, timer] : m_timers)
        timer->stop();
    m_posted.reset();
    m_signals.reset();
}

void CWnd::runDelivery(const std::function<void()>& fn)
{
    DeliveryScope scope;
    fn();
}

void CWnd::disposeWidget(QWidget* w)
{
    if (!w)
        return;
    if (g_deliveryDepth > 0) {
        w->hide();
        w->deleteLater();
    } else {
        delete w;
    }
}

BOOL CWnd::EnableWindow(BOOL bEnable)
{
    if (!m_widget)
        return FALSE;
    const BOOL wasDisabled = !m_widget->isEnabled();
    m_widget->setEnabled(bEnable != FALSE);
    return wasDisabled;
}

BOOL CWnd::IsWindowEnabled() const
{
    return m_widget && m_widget->isEnabled();
}

BOOL CWnd::ShowWindow(int nCmdShow)
{
    if (!m_widget)
        return FALSE;
    const BOOL wasVisible = !m_widget->isHidden();
    switch (nCmdShow) {
    case SW_HIDE:
        m_widget->hide();
        break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
        m_widget->showMinimized();
        break;
    case SW_SHOWNORMAL:
    case SW_RESTORE:
        if (m_widget->isWindow())
            m_widget->showNormal();
        else
            m_widget->show();
        break;
    default:
        m_widget->show();
        break;
    }
    return wasVisible;
}

BOOL CWnd::IsWindowVisible() const
{
    return m_widget && m_widget->isVisible();
}

BOOL CWnd::IsIconic() const
{
    return m_widget && m_widget->isMinimized();
}

void CWnd::SetWindowText(const std::string& text)
{
    if (m_widget)
        setTextFromCp932(text);
}

std::string CWnd::GetWindowText() const
{
    return m_widget ? textAsCp932() : std::string();
}

void CWnd::setTextFromCp932(const std::string& text)
{
    m_widget->setWindowTitle(ui::toQt(text));
}

std::string CWnd::textAsCp932() const
{
    return ui::fromQt(m_widget->windowTitle());
}

void CWnd::SetFocus()
{
    if (m_widget)
        m_widget->setFocus(Qt::OtherFocusReason);
}

void CWnd::CenterWindow(CWnd* pAlternateOwner)
{
    if (!m_widget)
        return;
    QRect area;
    CWnd* owner = pAlternateOwner ? pAlternateOwner : m_parent;
    if (m_widget->isWindow() && owner && owner->m_widget && owner->m_widget->isVisible()) {
        area = owner->m_widget->frameGeometry();
    } else if (QScreen* screen = m_widget->screen()) {
        area = screen->availableGeometry();
    }
    if (!area.isValid())
        return;
    QRect r = m_widget->frameGeometry();
    r.moveCenter(area.center());
    if (m_widget->isWindow())
        m_widget->move(r.topLeft());
    else
        m_widget->move(m_widget->parentWidget()->mapFromGlobal(r.topLeft()));
}

void CWnd::SetForegroundWindow()
{
    if (!m_widget)
        return;
    m_widget->window()->raise();
    m_widget->window()->activateWindow();
}

void CWnd::Invalidate(BOOL)
{
    if (m_widget)
        m_widget->update();
}

void CWnd::SetRedraw(BOOL bRedraw)
{
    if (!m_widget)
        return;
    m_widget->setUpdatesEnabled(bRedraw != FALSE);
    if (bRedraw)
        m_widget->update();
}

BOOL CWnd::isRedrawOn() const
{
    return m_widget && m_widget->updatesEnabled();
}

void CWnd::SetCtlColors(COLORREF text, COLORREF background)
{
    if (!m_widget)
        return;
    QPalette pal = m_widget->palette();
    // A dialog's colours are those of its face only: its edits, lists and
    // push buttons keep their own, as they do under Windows (what a child
    // takes from its dialog would otherwise reach them).
    const bool dialog = dynamic_cast<CDialog*>(this) != nullptr;
    if (text != CLR_DEFAULT) {
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            if (role == QPalette::WindowText || !dialog)
                pal.setColor(role, ui::toQColor(text));
    }
    if (background != CLR_DEFAULT) {
        for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
            if (role == QPalette::Window || !dialog)
                pal.setColor(role, ui::toQColor(background));
        m_widget->setAutoFillBackground(true);
    }
    m_widget->setPalette(pal);
}

void CWnd::SetIcon(const QIcon& icon)
{
    if (m_widget)
        m_widget->setWindowIcon(icon);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse)
{
    if (!m_widget)
        return 0;
    auto& timer = m_timers[nIDEvent];
    if (!timer)
        timer = std::make_unique<platform::CTimer>();
    timer->start(int(nElapse), [this, nIDEvent] { SendMessage(WM_TIMER, nIDEvent, 0); });
    return nIDEvent;
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent)
{
    auto it = m_timers.find(nIDEvent);
    if (it == m_timers.end() || !it->second->isActive())
        return FALSE;
    it->second->stop();
    return TRUE;
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!m_widget || !m_posted)
        return FALSE;
    m_posted->post([this, message, wParam, lParam] { SendMessage(message, wParam, lParam); });
    return TRUE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    DeliveryScope scope;
    return WindowProc(message, wParam, lParam);
}

int CWnd::MessageBox(const std::string& text, const std::string& caption, UINT nType)
{
    return ui::showMessageBox(this, text, caption, nType);
}

BOOL CWnd::DestroyWindow()
{
    if (!m_widget)
        return FALSE;
    OnDestroy();
    QWidget* w = m_widget;
    detachWidget();
    disposeWidget(w);
    PostNcDestroy();
    return TRUE;
}

void CWnd::MapCommand(UINT id, std::function<void()> handler, UINT code)
{
    m_handlers[{0, {id, int(code)}}] = std::move(handler);
}

void CWnd::MapNotify(UINT id, int code, std::function<void()> handler)
{
    m_handlers[{1, {id, code}}] = std::move(handler);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        OnTimer(wParam);
        return 0;
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    case WM_NOTIFY:
        return OnNotify(wParam, lParam);
    case WM_CLOSE:
        OnClose();
        return 0;
    default:
        return 0;
    }
}

void CWnd::OnTimer(UINT_PTR) {}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM)
{
    auto it = m_handlers.find({0, {UINT(LOWORD(wParam)), int(HIWORD(wParam))}});
    if (it == m_handlers.end() || !it->second)
        return FALSE;
    // A copy: the handler may replace itself.
    auto handler = it->second;
    handler();
    return TRUE;
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam)
{
    auto it = m_handlers.find({1, {UINT(wParam), int(lParam)}});
    if (it == m_handlers.end() || !it->second)
        return FALSE;
    auto handler = it->second;
    handler();
    return TRUE;
}

void CWnd::OnClose() {}
void CWnd::OnDestroy() {}
void CWnd::PostNcDestroy() {}

void CWnd::notifyParentCommand(UINT code)
{
    if (m_parent && m_parent->m_widget)
        m_parent->SendMessage(WM_COMMAND, MAKEWPARAM(WORD(m_id), WORD(code)), LPARAM(0));
}

void CWnd::notifyParentNotify(int code)
{
    if (m_parent && m_parent->m_widget)
        m_parent->SendMessage(WM_NOTIFY, WPARAM(m_id), LPARAM(code));
}

BOOL IsWindow(HWND hWnd)
{
    return CWnd::FromHandle(hWnd) != nullptr;
}

BOOL PostMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* w = CWnd::FromHandle(hWnd);
    return w ? w->PostMessage(message, wParam, lParam) : FALSE;
}

LRESULT SendMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* w = CWnd::FromHandle(hWnd);
    return w ? w->SendMessage(message, wParam, lParam) : 0;
}
