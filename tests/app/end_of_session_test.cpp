// The whole run in-process (start-up, the main window's modal loop, its
// end): the end of the session, or the tray's exit, while a dialog of the
// main window is open cancels that dialog and ends the program in order.
#include <signal.h>
#include <unistd.h>

#include "app/settings_dlg.h"
#include "app/tandrel_app.h"
#include "app_testkit.h"

using namespace apptest;

namespace {

class EndOfSessionTest : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    Ini ini;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        ini.party = "EndParty";
        ini.name = "N1";
        ini.listenPort = freePort();
        ini.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(freePort()), ""}};
        std::string text = ini.text(); // without LIMITDAY: the end writes it
        text.erase(text.find("LIMITDAY"), text.find("WINDOW") - text.find("LIMITDAY"));
        testsupport::writeFile(dir.file("Yuvo.ini"), text);
        platform::makeSureDirectoryPathExists(dir.file("CATALOG") + "/");
        const CatalogRecord a = catalogtest::makeRec("OTHER", "a.txt", 100, CATALOG_STATE_NEW, "EndParty");
        catalogtest::writeRecords(dir.file("CATALOG/catalog.dat"), {a}, std::string(100, 'x'));
    }

    // Runs the program; `inside` is called once the main window's loop runs
    // and again for each dialog opened from there.
    int runProgram(std::function<void(CDialog&)> inside)
    {
        ui::ScopedModalDialogHandler hook(std::move(inside));
        CTandrelApp app(dir.file("locks"));
        return app.InitInstance({"-D386", "-CATALOGCASH"});
    }

    void expectEndedInOrder()
    {
        const std::string written = testsupport::readFile(dir.file("Yuvo.ini"));
        EXPECT_NE(written.find("LIMITDAY=3"), std::string::npos) << written;
        EXPECT_NE(written.find("NAME=N1"), std::string::npos) << "a cancelled dialog changed the settings";
        EXPECT_EQ(platform::fileSize(dir.file("CATALOG/catalog.dat")), 820);
        EXPECT_FALSE(accepts(ini.listenPort));
        EXPECT_EQ(g_pMainDlg, nullptr);
    }
};

} // namespace

TEST_F(EndOfSessionTest, SigtermWithTheSettingsDialogOpenCancelsItAndEnds)
{
    bool settingsShown = false;
    const int status = runProgram([&](CDialog& d) {
        if (&d == g_pMainDlg) {
            d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_SYSTEM_SETTINGS, BN_CLICKED), 0);
            return;
        }
        ASSERT_NE(dynamic_cast<CSystemPropatyDlg*>(&d), nullptr);
        settingsShown = true;
        d.GetDlgItem(IDC_SYS_NODE_NAME)->SetWindowText("CHANGED");
        ::kill(::getpid(), SIGTERM);
    });
    EXPECT_EQ(status, CTandrelApp::EXIT_ENDED);
    EXPECT_TRUE(settingsShown);
    expectEndedInOrder();
}

TEST_F(EndOfSessionTest, TheTraysExitWithTheAboutBoxOpenEndsTheProgram)
{
    int dialogs = 0;
    const int status = runProgram([&](CDialog& d) {
        ++dialogs;
        if (&d == g_pMainDlg)
            d.SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        else
            EXPECT_TRUE(g_pMainDlg->trayIcon().invokeCommand(ID_TRAY_EXIT));
    });
    EXPECT_EQ(status, CTandrelApp::EXIT_ENDED);
    EXPECT_EQ(dialogs, 2);
    expectEndedInOrder();
}
