#include "app/resources.h"

#include <QPixmap>

#include "res_icons.h"

namespace res {

namespace {

QIcon fromPng(const unsigned char* data, std::size_t size)
{
    QPixmap pm;
    pm.loadFromData(data, static_cast<uint>(size), "PNG");
    return QIcon(pm);
}

} // namespace

QIcon windowIcon()
{
    return fromPng(k_yuvo_window_png, sizeof k_yuvo_window_png);
}

QIcon trayIcon()
{
    return fromPng(k_yuvo_tray_png, sizeof k_yuvo_tray_png);
}

} // namespace res
