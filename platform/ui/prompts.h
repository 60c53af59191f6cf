// What the program asks of the user or the desktop outside its own windows:
// message boxes, the save-file dialog, opening a URL (a "mailto:" address),
// and the start of every modal dialog. Each goes through a handler that a
// test can replace; without one the real thing is shown (QMessageBox,
// QFileDialog, QDesktopServices). Texts are CP932, file paths native UTF-8.
//
// A test installs failOnUnexpectedPrompts once, so that anything it did not
// expect fails it instead of waiting for a user, and answers what it expects
// with the Scoped* handlers.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/ui/winui.h"

class CWnd;
class CDialog;

namespace ui {

struct MessageBoxRequest {
    CWnd* owner = nullptr; // null for AfxMessageBox
    std::string text;      // CP932, exactly as the program passed it
    std::string caption;   // CP932; "Yuvo" when the program passed none
    UINT type = MB_OK;
    std::string utf8Text() const;
};

struct FileDialogRequest {
    bool open = false;        // false: a save dialog
    std::string defaultExt;   // CP932
    std::string fileName;     // CP932: the proposed name
    std::string filter;       // CP932, "text|pattern|...||"
    DWORD flags = 0;
};

using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
// The chosen native path, or nothing for Cancel.
using FileDialogHandler = std::function<std::optional<std::string>(const FileDialogRequest&)>;
// The URL as CP932; true when the desktop took it.
using OpenUrlHandler = std::function<bool(const std::string& url)>;
// Called once a modal dialog runs (inside its loop, after OnInitDialog).
using ModalDialogHandler = std::function<void(CDialog&)>;

// Each returns the handler it replaces; an empty handler restores the real
// behaviour (for the modal hook: none).
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler h);
FileDialogHandler setFileDialogHandler(FileDialogHandler h);
OpenUrlHandler setOpenUrlHandler(OpenUrlHandler h);
ModalDialogHandler setModalDialogHandler(ModalDialogHandler h);

// Installs handlers that report every message box, file dialog, URL and
// modal dialog to `report` (a test's ADD_FAILURE) and then answer IDCANCEL
// (IDNO for a Yes/No box, IDOK for an OK-only box), Cancel, failure, and
// end the dialog with IDCANCEL.
void failOnUnexpectedPrompts(std::function<void(const std::string& what)> report);

// A handler for the lifetime of the object; the previous one comes back.
template <typename Handler, Handler (*Set)(Handler)>
class ScopedHandler {
public:
    explicit ScopedHandler(Handler h) : m_previous(Set(std::move(h))) {}
    ~ScopedHandler() { Set(std::move(m_previous)); }
    ScopedHandler(const ScopedHandler&) = delete;
    ScopedHandler& operator=(const ScopedHandler&) = delete;

private:
    Handler m_previous;
};
using ScopedMessageBoxHandler = ScopedHandler<MessageBoxHandler, &setMessageBoxHandler>;
using ScopedFileDialogHandler = ScopedHandler<FileDialogHandler, &setFileDialogHandler>;
using ScopedOpenUrlHandler = ScopedHandler<OpenUrlHandler, &setOpenUrlHandler>;
using ScopedModalDialogHandler = ScopedHandler<ModalDialogHandler, &setModalDialogHandler>;

// The answer a message box of that type gives when it is closed without a
// choice: IDOK for an OK-only box, IDNO for Yes/No, IDCANCEL otherwise.
int closedAnswer(UINT type);

// --- The end of the session. ---
// Every modal loop (a modal dialog, a message box, a file dialog) is listed
// while it runs, so that the end of the session can end them all: a nested
// loop would otherwise keep the program waiting for a user who is gone.
class ModalLoop {
public:
    // owner: the dialog whose loop this is (null for a box); cancel ends the
    // loop as if the user had cancelled it.
    ModalLoop(const CDialog* owner, std::function<void()> cancel);
    ~ModalLoop();
    ModalLoop(const ModalLoop&) = delete;
    ModalLoop& operator=(const ModalLoop&) = delete;

private:
    friend void cancelModalLoops(const CDialog* keep);
    const CDialog* m_owner;
    std::function<void()> m_cancel;
};

// Ends, latest first, every modal loop that started inside keep's own
// (every one when keep runs none) as if cancelled. From then on, until
// keep's window is destroyed, a dialog, message box or file dialog that
// would open is answered the same way at once, without showing it.
void cancelModalLoops(const CDialog* keep);
// Whether prompts are being answered as cancelled.
bool modalLoopsCancelled();
// For the dialog layer: that dialog's window is gone.
void modalOwnerDestroyed(const CDialog* dlg);

// The layer's entry points (CWnd::MessageBox and the free functions below
// call these).
int showMessageBox(CWnd* owner, const std::string& text, const std::string& caption, UINT type);
void notifyModalDialogRunning(CDialog& dlg);

} // namespace ui

// A message box without an owner window.
int AfxMessageBox(const std::string& text, UINT nType = MB_OK);

// Opens a URL with the desktop's handler (a "mailto:" address opens the
// mail program); false when it could not.
bool OpenUrl(const std::string& url);

// The common save (or open) dialog. Filters are "text|pattern|...||" with
// patterns separated by ';'. The save dialog always asks before it names an
// existing file, since the copy that follows replaces it without asking.
class CFileDialog {
public:
    CFileDialog(BOOL bOpenFileDialog, const char* lpszDefExt = nullptr,
                const char* lpszFileName = nullptr,
                DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                const char* lpszFilter = nullptr, CWnd* pParentWnd = nullptr);

    // IDOK with a chosen path, else IDCANCEL.
    INT_PTR DoModal();
    // The chosen native path (UTF-8), "" before an IDOK.
    std::string GetPathName() const { return m_path; }
    // Its last component.
    std::string GetFileName() const;

private:
    ui::FileDialogRequest m_request;
    CWnd* m_parent;
    std::string m_path;
};
