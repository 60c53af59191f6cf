// The program's icons, compiled into it.
#pragma once

#include <QIcon>

namespace res {

// Icon 128: the main window's big and small icon.
QIcon windowIcon();
// Icon 134: the tray icon, also shown in the main window.
QIcon trayIcon();

} // namespace res
