#include "platform/ui/tray_icon.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTextDocument>

#include "platform/ui/text.h"

namespace {

// Tooltips may be shown as rich text: text that looks like markup is
// passed escaped, so it shows as written.
QString tipText(const std::string& text)
{
    const QString plain = ui::toQt(text);
    return Qt::mightBeRichText(plain) ? Qt::convertFromPlainText(plain) : plain;
}

} // namespace

struct CTrayIcon::Impl {
    // Made on first use, when the application object exists.
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> tray;
    QIcon icon;
    std::function<void(UINT)> onCommand;
    std::function<void(Activation)> onActivation;
};

CTrayIcon::CTrayIcon() : m_impl(std::make_unique<Impl>()) {}

CTrayIcon::~CTrayIcon()
{
    if (m_impl->tray)
        m_impl->tray->hide();
}

bool CTrayIcon::isAvailable()
{
    return QApplication::instance() && QSystemTrayIcon::isSystemTrayAvailable();
}

void CTrayIcon::ensure()
{
    if (m_impl->tray)
        return;
    m_impl->menu = std::make_unique<QMenu>();
    m_impl->tray = std::make_unique<QSystemTrayIcon>();
    QIcon icon = m_impl->icon;
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    m_impl->tray->setIcon(icon);
    m_impl->tray->setToolTip(tipText(m_tip));
    m_impl->tray->setContextMenu(m_impl->menu.get());
    Impl* impl = m_impl.get();
    QObject::connect(m_impl->tray.get(), &QSystemTrayIcon::activated, m_impl->tray.get(),
                     [impl](QSystemTrayIcon::ActivationReason reason) {
                         if (!impl->onActivation)
                             return;
                         switch (reason) {
                         case QSystemTrayIcon::Trigger:
                             impl->onActivation(Activation::click);
                             break;
                         case QSystemTrayIcon::DoubleClick:
                             impl->onActivation(Activation::doubleClick);
                             break;
                         case QSystemTrayIcon::MiddleClick:
                             impl->onActivation(Activation::middleClick);
                             break;
                         default:
                             impl->onActivation(Activation::context);
                             break;
                         }
                     });
}

void CTrayIcon::setIcon(const QIcon& icon)
{
    m_impl->icon = icon;
    if (m_impl->tray && !icon.isNull())
        m_impl->tray->setIcon(icon);
}

void CTrayIcon::setToolTip(const std::string& text)
{
    m_tip = text;
    if (m_impl->tray)
        m_impl->tray->setToolTip(tipText(text));
}

void CTrayIcon::addMenuItem(UINT id, const std::string& text)
{
    ensure();
    QAction* action = m_impl->menu->addAction(ui::toQt(text));
    action->setData(id);
    Impl* impl = m_impl.get();
    QObject::connect(action, &QAction::triggered, action, [impl, id] {
        if (impl->onCommand)
            impl->onCommand(id);
    });
}

void CTrayIcon::addMenuSeparator()
{
    ensure();
    m_impl->menu->addSeparator();
}

void CTrayIcon::setCommandHandler(std::function<void(UINT id)> handler)
{
    m_impl->onCommand = std::move(handler);
}

void CTrayIcon::setActivationHandler(std::function<void(Activation)> handler)
{
    m_impl->onActivation = std::move(handler);
}

BOOL CTrayIcon::Add()
{
    if (!isAvailable())
        return FALSE;
    ensure();
    m_impl->tray->show();
    return m_impl->tray->isVisible();
}

BOOL CTrayIcon::Modify()
{
    return isShown();
}

BOOL CTrayIcon::Delete()
{
    if (!isShown())
        return FALSE;
    m_impl->tray->hide();
    return TRUE;
}

BOOL CTrayIcon::isShown() const
{
    return m_impl->tray && m_impl->tray->isVisible();
}

BOOL CTrayIcon::invokeCommand(UINT id)
{
    if (!m_impl->menu)
        return FALSE;
    for (QAction* a : m_impl->menu->actions()) {
        if (!a->isSeparator() && a->data().toUInt() == id) {
            a->trigger();
            return TRUE;
        }
    }
    return FALSE;
}

void CTrayIcon::activate(Activation how)
{
    if (m_impl->onActivation)
        m_impl->onActivation(how);
}

QMenu* CTrayIcon::menu()
{
    ensure();
    return m_impl->menu.get();
}
