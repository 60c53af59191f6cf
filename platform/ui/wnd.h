// CWnd: one window of the user interface (a dialog or one of its controls)
// over a Qt widget, addressed the Windows way: by control id, with texts in
// CP932, timers by id and messages that go through WindowProc.
//
// Delivery rules:
// - Everything runs on the main thread, from whatever event loop runs there,
//   nested ones (modal dialogs, message boxes) included.
// - SetTimer(id, ms) delivers WM_TIMER (wParam id) to WindowProc every ms
//   milliseconds; the default WindowProc calls OnTimer(id). A handler that
//   opens a modal dialog does not get its own timer's ticks meanwhile (they
//   are skipped); every other timer goes on. KillTimer may be called from
//   inside the tick.
// - PostMessage queues the message; it reaches WindowProc after the current
//   handler has returned, in the order of posting (across windows too).
//   Messages still queued when the window is destroyed are dropped.
//   SendMessage calls WindowProc at once.
// - Control notifications arrive at the dialog as WM_COMMAND
//   (wParam = MAKEWPARAM(id, code)) or WM_NOTIFY (wParam = id, lParam =
//   code) through its WindowProc; the default handling calls the handler
//   that MapCommand / MapNotify registered for that id and code.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/ui/winui.h"

class QIcon;
class QObject;
class QWidget;
class CDialog;

namespace platform {
class CTimer;
class CDeferredCalls;
} // namespace platform

class CWnd {
public:
    CWnd();
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // The Qt widget while the window exists, else null.
    QWidget* widget() const { return m_widget; }
    // The handle of an existing window (this object), else null.
    HWND GetSafeHwnd() const;
    // The window behind a handle, or null when no such window exists now.
    static CWnd* FromHandle(HWND hWnd);
    // The dialog a control lies in, or the owner a dialog was made with.
    CWnd* GetParent() const { return m_parent; }
    int GetDlgCtrlID() const { return m_id; }

    // Both return the former state like Windows: EnableWindow non-zero when
    // the window was disabled before, ShowWindow non-zero when it was
    // visible before. ShowWindow knows SW_HIDE, SW_SHOW, SW_SHOWNORMAL,
    // SW_RESTORE, SW_MINIMIZE and SW_SHOWMINIMIZED.
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL ShowWindow(int nCmdShow);
    // On screen: shown itself and every window it lies in.
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;

    // CP932. A dialog's text is its title; a multi-line edit gives its line
    // ends as "\r\n" and takes "\r\n" or "\n".
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;

    void SetFocus();
    // Centres a dialog over its owner (or the screen when it has none).
    void CenterWindow(CWnd* pAlternateOwner = nullptr);
    // Raises and activates the window.
    void SetForegroundWindow();
    void Invalidate(BOOL bErase = TRUE);
    // FALSE stops painting (while many rows change); TRUE paints again.
    void SetRedraw(BOOL bRedraw = TRUE);
    BOOL isRedrawOn() const;
    // Colours of the window's text and background; CLR_DEFAULT keeps the
    // style's own. Takes the place of painting in a WM_CTLCOLOR handler.
    void SetCtlColors(COLORREF text, COLORREF background);
    void SetIcon(const QIcon& icon);

    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse);
    BOOL KillTimer(UINT_PTR nIDEvent);
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // A message box owned by this window (platform/ui/prompts.h).
    int MessageBox(const std::string& text, const std::string& caption = {}, UINT nType = MB_OK);

    // Destroys the window (OnDestroy, then the widgets, then
    // PostNcDestroy); the object stays and may create it again. Timers stop
    // and queued messages are dropped.
    virtual BOOL DestroyWindow();

    // The message map: handlers of the notifications of the controls
    // inside this window. Registering again replaces the handler.
    void MapCommand(UINT id, std::function<void()> handler, UINT code = BN_CLICKED);
    void MapNotify(UINT id, int code, std::function<void()> handler);

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The default handling of WindowProc: WM_TIMER to OnTimer, WM_COMMAND
    // to OnCommand, WM_NOTIFY to OnNotify, WM_CLOSE to OnClose.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void OnTimer(UINT_PTR nIDEvent);
    // Run the mapped handler; TRUE when there was one.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam);
    virtual void OnClose();
    virtual void OnDestroy();
    virtual void PostNcDestroy();

    // For the layer's own classes.
    void attachWidget(QWidget* w, int id, CWnd* parent);
    // Forgets the widget (the caller deletes it); stops timers and drops
    // queued messages.
    void detachWidget();
    // The context object of the widget's signal connections: they end when
    // the window is detached.
    QObject* signalContext() const { return m_signals.get(); }
    // Sends a control notification to the window the control lies in.
    void notifyParentCommand(UINT code);
    void notifyParentNotify(int code);
    virtual void setTextFromCp932(const std::string& text);
    virtual std::string textAsCp932() const;
    // Runs a call that reaches the program's own code from a Qt event
    // (like SendMessage does), so that windows it destroys are deleted safely.
    static void runDelivery(const std::function<void()>& fn);
    // Deletes a widget now, or once control is back in the event loop when
    // a handler of the layer may still have it on its stack.
    static void disposeWidget(QWidget* w);

private:
    friend class CDialog;
    QWidget* m_widget = nullptr;
    CWnd* m_parent = nullptr;
    CDialog* m_inDialog = nullptr; // the dialog that lists this control
    int m_id = 0;
    std::map<UINT_PTR, std::unique_ptr<platform::CTimer>> m_timers;
    std::unique_ptr<platform::CDeferredCalls> m_posted;
    std::unique_ptr<QObject> m_signals;
    // (kind, id, code) -> handler; kind 0 command, 1 notify.
    std::map<std::pair<int, std::pair<UINT, int>>, std::function<void()>> m_handlers;
};

// Handle-based forms, for code that keeps a window handle.
BOOL IsWindow(HWND hWnd);
BOOL PostMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
