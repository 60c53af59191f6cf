#include "platform/ui/prompts.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/text.h"

namespace ui {

int closedAnswer(UINT type)
{
    switch (type & MB_TYPEMASK) {
    case MB_OK:
        return IDOK;
    case MB_YESNO:
        return IDNO;
    default:
        return IDCANCEL;
    }
}

namespace {

struct Handlers {
    MessageBoxHandler messageBox;
    FileDialogHandler fileDialog;
    OpenUrlHandler openUrl;
    ModalDialogHandler modalDialog;
};

Handlers& handlers()
{
    static Handlers h;
    return h;
}

template <typename H>
H replace(H& slot, H h)
{
    H old = std::move(slot);
    slot = std::move(h);
    return old;
}

struct ModalLoops {
    std::vector<ModalLoop*> running; // in the order they started
    bool cancelled = false;
    const CDialog* keep = nullptr;
};

ModalLoops& modalLoops()
{
    static ModalLoops m;
    return m;
}

QWidget* ownerWidget(CWnd* owner)
{
    return (owner && owner->widget()) ? owner->widget()->window() : nullptr;
}

int realMessageBox(const MessageBoxRequest& r)
{
    QMessageBox box(ownerWidget(r.owner));
    box.setTextFormat(Qt::PlainText);
    box.setWindowTitle(toQt(r.caption));
    box.setText(toQt(r.text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    switch (r.type & MB_ICONMASK) {
    case MB_ICONHAND:
        box.setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        box.setIcon(QMessageBox::Question);
        break;
    case MB_ICONEXCLAMATION:
        box.setIcon(QMessageBox::Warning);
        break;
    case MB_ICONASTERISK:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    struct Choice {
        QMessageBox::StandardButton button;
        const char* text;
        int answer;
    };
    std::vector<Choice> choices;
    switch (r.type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        choices = {{QMessageBox::Ok, "OK", IDOK}, {QMessageBox::Cancel, "キャンセル", IDCANCEL}};
        break;
    case MB_YESNO:
        choices = {{QMessageBox::Yes, "はい(&Y)", IDYES}, {QMessageBox::No, "いいえ(&N)", IDNO}};
        break;
    case MB_YESNOCANCEL:
        choices = {{QMessageBox::Yes, "はい(&Y)", IDYES},
                   {QMessageBox::No, "いいえ(&N)", IDNO},
                   {QMessageBox::Cancel, "キャンセル", IDCANCEL}};
        break;
    default:
        choices = {{QMessageBox::Ok, "OK", IDOK}};
        break;
    }
    QMessageBox::StandardButtons buttons;
    for (const auto& c : choices)
        buttons |= c.button;
    box.setStandardButtons(buttons);
    for (const auto& c : choices)
        box.button(c.button)->setText(QString::fromUtf8(c.text));
    const std::size_t def = (r.type & MB_DEFBUTTON2) && choices.size() > 1 ? 1 : 0;
    box.setDefaultButton(choices[def].button);
    bool cancelled = false;
    {
        ModalLoop running(nullptr, [&] {
            cancelled = true;
            box.done(0);
        });
        box.exec();
    }
    if (cancelled)
        return closedAnswer(r.type);
    const auto clicked = box.standardButton(box.clickedButton());
    for (const auto& c : choices) {
        if (c.button == clicked)
            return c.answer;
    }
    return closedAnswer(r.type);
}

QString qtFilter(const std::string& filter)
{
    const QStringList parts = toQt(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        out << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}

std::optional<std::string> realFileDialog(const FileDialogRequest& r, CWnd* parent)
{
    // The proposed name is one file name, whatever it holds.
    QString name = toQt(r.fileName);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString start = name.isEmpty() ? QDir::homePath() : QDir::homePath() + QLatin1Char('/') + name;
    QFileDialog dlg(ownerWidget(parent), QString(), start, qtFilter(r.filter));
    dlg.setAcceptMode(r.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dlg.setFileMode(r.open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    int result;
    {
        ModalLoop running(nullptr, [&] { dlg.reject(); });
        result = dlg.exec();
    }
    if (result != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    QString chosen = dlg.selectedFiles().constFirst();
    if (chosen.isEmpty())
        return std::nullopt;
    if (!r.open && !r.defaultExt.empty() && QFileInfo(chosen).suffix().isEmpty())
        chosen += QLatin1Char('.') + toQt(r.defaultExt);
    return chosen.toStdString();
}

} // namespace

ModalLoop::ModalLoop(const CDialog* owner, std::function<void()> cancel)
    : m_owner(owner), m_cancel(std::move(cancel))
{
    modalLoops().running.push_back(this);
}

ModalLoop::~ModalLoop()
{
    std::erase(modalLoops().running, this);
}

void cancelModalLoops(const CDialog* keep)
{
    ModalLoops& m = modalLoops();
    m.cancelled = true;
    m.keep = keep;
    const std::vector<ModalLoop*> running = m.running;
    std::size_t from = 0;
    for (std::size_t i = 0; i < running.size(); ++i) {
        if (keep && running[i]->m_owner == keep)
            from = i + 1;
    }
    for (std::size_t i = running.size(); i-- > from;) {
        // A cancel may end loops of its own; each one only once.
        if (std::find(m.running.begin(), m.running.end(), running[i]) != m.running.end() && running[i]->m_cancel)
            std::exchange(running[i]->m_cancel, nullptr)();
    }
}

bool modalLoopsCancelled()
{
    return modalLoops().cancelled;
}

void modalOwnerDestroyed(const CDialog* dlg)
{
    ModalLoops& m = modalLoops();
    if (m.cancelled && m.keep == dlg) {
        m.cancelled = false;
        m.keep = nullptr;
    }
}

std::string MessageBoxRequest::utf8Text() const
{
    return toQt(text).toStdString();
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler h)
{
    return replace(handlers().messageBox, std::move(h));
}

FileDialogHandler setFileDialogHandler(FileDialogHandler h)
{
    return replace(handlers().fileDialog, std::move(h));
}

OpenUrlHandler setOpenUrlHandler(OpenUrlHandler h)
{
    return replace(handlers().openUrl, std::move(h));
}

ModalDialogHandler setModalDialogHandler(ModalDialogHandler h)
{
    return replace(handlers().modalDialog, std::move(h));
}

void failOnUnexpectedPrompts(std::function<void(const std::string& what)> report)
{
    setMessageBoxHandler([report](const MessageBoxRequest& r) {
        report("unexpected message box: " + r.utf8Text());
        return closedAnswer(r.type);
    });
    setFileDialogHandler([report](const FileDialogRequest& r) -> std::optional<std::string> {
        report("unexpected file dialog for " + toQt(r.fileName).toStdString());
        return std::nullopt;
    });
    setOpenUrlHandler([report](const std::string& url) {
        report("unexpected URL: " + toQt(url).toStdString());
        return false;
    });
    setModalDialogHandler([report](CDialog& dlg) {
        report("unexpected modal dialog: " + toQt(dlg.GetWindowText()).toStdString());
        dlg.EndDialog(IDCANCEL);
    });
}

int showMessageBox(CWnd* owner, const std::string& text, const std::string& caption, UINT type)
{
    MessageBoxRequest r;
    r.owner = owner;
    r.text = text;
    r.caption = caption.empty() ? std::string("Yuvo") : caption;
    r.type = type;
    if (modalLoopsCancelled())
        return closedAnswer(type);
    if (auto h = handlers().messageBox)
        return h(r);
    return realMessageBox(r);
}

void notifyModalDialogRunning(CDialog& dlg)
{
    if (auto h = handlers().modalDialog)
        h(dlg);
}

} // namespace ui

int AfxMessageBox(const std::string& text, UINT nType)
{
    return ui::showMessageBox(nullptr, text, std::string(), nType);
}

bool OpenUrl(const std::string& url)
{
    if (auto h = ui::handlers().openUrl)
        return h(url);
    return QDesktopServices::openUrl(QUrl(ui::toQt(url), QUrl::TolerantMode));
}

CFileDialog::CFileDialog(BOOL bOpenFileDialog, const char* lpszDefExt, const char* lpszFileName,
                         DWORD dwFlags, const char* lpszFilter, CWnd* pParentWnd)
    : m_parent(pParentWnd)
{
    m_request.open = bOpenFileDialog != FALSE;
    m_request.defaultExt = lpszDefExt ? lpszDefExt : "";
    m_request.fileName = lpszFileName ? lpszFileName : "";
    m_request.filter = lpszFilter ? lpszFilter : "";
    m_request.flags = dwFlags;
}

INT_PTR CFileDialog::DoModal()
{
    if (ui::modalLoopsCancelled())
        return IDCANCEL;
    std::optional<std::string> chosen;
    if (auto h = ui::handlers().fileDialog)
        chosen = h(m_request);
    else
        chosen = ui::realFileDialog(m_request, m_parent);
    if (!chosen || chosen->empty())
        return IDCANCEL;
    m_path = *chosen;
    return IDOK;
}

std::string CFileDialog::GetFileName() const
{
    const auto slash = m_path.rfind('/');
    return slash == std::string::npos ? m_path : m_path.substr(slash + 1);
}
