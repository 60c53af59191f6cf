// The tray icon: menu commands by id, clicks, and a desktop without a
// notification area (the offscreen platform has none).
#include <QMenu>

#include "platform/ui/text.h"
#include "platform/ui/tray_icon.h"
#include "ui_testkit.h"

using ui::cp;

namespace {

using TrayIconTest = uitest::UiTest;

} // namespace

TEST_F(TrayIconTest, WithoutANotificationAreaNothingIsShownAndNothingBreaks)
{
    EXPECT_FALSE(CTrayIcon::isAvailable());
    CTrayIcon tray;
    tray.setToolTip(cp("Yuvo [パーティ]"));
    EXPECT_FALSE(tray.Add());
    EXPECT_FALSE(tray.isShown());
    EXPECT_FALSE(tray.Modify()); // a failed refresh: the caller adds again
    EXPECT_FALSE(tray.Delete());
    EXPECT_EQ(tray.toolTip(), cp("Yuvo [パーティ]"));
}

TEST_F(TrayIconTest, MenuItemsAndClicksReachTheirHandlers)
{
    CTrayIcon tray;
    tray.addMenuItem(32771, cp("メインウィンドウを開く"));
    tray.addMenuSeparator();
    tray.addMenuItem(32772, cp("終了"));
    ASSERT_EQ(tray.menu()->actions().size(), 3);
    EXPECT_EQ(tray.menu()->actions()[0]->text(), QString::fromUtf8("メインウィンドウを開く"));

    std::vector<UINT> commands;
    tray.setCommandHandler([&](UINT id) { commands.push_back(id); });
    EXPECT_TRUE(tray.invokeCommand(32772));
    EXPECT_TRUE(tray.invokeCommand(32771));
    EXPECT_FALSE(tray.invokeCommand(1));
    EXPECT_EQ(commands, (std::vector<UINT>{32772, 32771}));

    std::vector<CTrayIcon::Activation> clicks;
    tray.activate(CTrayIcon::Activation::doubleClick); // no handler yet: ignored
    tray.setActivationHandler([&](CTrayIcon::Activation a) { clicks.push_back(a); });
    tray.activate(CTrayIcon::Activation::doubleClick);
    EXPECT_EQ(clicks, std::vector<CTrayIcon::Activation>{CTrayIcon::Activation::doubleClick});
}
