// The icon in the desktop's notification area, with its menu (items by id)
// and tooltip. Where the desktop has no notification area (isAvailable()
// false) Add fails and nothing is shown; the window then has to stay
// reachable some other way (shown, minimised instead of hidden).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/winui.h"

class QIcon;
class QMenu;
class QSystemTrayIcon;

class CTrayIcon {
public:
    enum class Activation { click, doubleClick, middleClick, context };

    CTrayIcon();
    ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // Whether the desktop has a notification area now (false without an
    // application object).
    static bool isAvailable();

    void setIcon(const QIcon& icon);
    // CP932; shown at once when the icon is shown.
    void setToolTip(const std::string& text);
    std::string toolTip() const { return m_tip; }
    void addMenuItem(UINT id, const std::string& text);
    void addMenuSeparator();
    // The id of a chosen menu item.
    void setCommandHandler(std::function<void(UINT id)> handler);
    // Clicks on the icon itself (the menu opens by itself on the context
    // click).
    void setActivationHandler(std::function<void(Activation)> handler);

    // Shows the icon; FALSE where there is no notification area.
    BOOL Add();
    // TRUE while the icon is shown (the tooltip and icon are current).
    BOOL Modify();
    // Removes the icon; FALSE when it was not shown.
    BOOL Delete();
    BOOL isShown() const;

    // As if the user chose the menu item; FALSE when there is no such item.
    BOOL invokeCommand(UINT id);
    // As if the user clicked the icon.
    void activate(Activation how);

    QMenu* menu();

private:
    void ensure();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_tip;
};
