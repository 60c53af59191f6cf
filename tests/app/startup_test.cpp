// Start-up in-process: the switches and their console lines, the version
// text, the party and working-directory locks on the start-up path, the end
// of the run through the session's end (also by a real SIGTERM), and the
// rule that turns unseen message boxes into console lines.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "app/tandrel_app.h"
#include "app_testkit.h"
#include "store/switches.h"

using namespace apptest;

namespace {

std::string linesOf(void (*print)(std::FILE*))
{
    std::FILE* f = std::tmpfile();
    print(f);
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f))
        out += buf;
    std::fclose(f);
    return out;
}

void resetSwitches()
{
    g_bDebugMode = g_bPasvMode = g_bServerOnly = g_bClientOnly = g_bCatalogCashMode = 0;
    g_bUseSkype = 1;
}

// A node folder with its Yuvo.ini and a private lock folder, and the
// message boxes that start-up shows.
class StartUpTest : public uitest::UiTest {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::string lockFolder;
    std::vector<std::string> boxes;
    std::unique_ptr<ui::ScopedMessageBoxHandler> boxHandler;

    void SetUp() override
    {
        uitest::UiTest::SetUp();
        lockFolder = dir.file("locks");
        ::mkdir(lockFolder.c_str(), 0700);
        platform::makeSureDirectoryPathExists(dir.file("node") + "/");
        cd = std::make_unique<testsupport::ScopedChdir>(dir.file("node"));
        boxHandler = std::make_unique<ui::ScopedMessageBoxHandler>([this](const ui::MessageBoxRequest& r) {
            boxes.push_back(r.text);
            return IDOK;
        });
    }
    void TearDown() override
    {
        boxHandler.reset();
        uitest::UiTest::TearDown();
    }

    void writeIni(const std::string& party)
    {
        Ini ini;
        ini.party = party;
        ini.listenPort = freePort();
        testsupport::writeFile(dir.file("node/Yuvo.ini"), ini.text());
    }
};

} // namespace

TEST(SwitchTest, OnlyExactSwitchesCountAndTwiceIsOnce)
{
    resetSwitches();
    parseSwitches({"-d386", "-D3860", "-D386 ", "D386", "-server", "x-CLIENT", "-CATALOGCASh", "-PASV", "-PASV",
                   "-NOSKYPE"});
    EXPECT_EQ(g_bDebugMode, 0);
    EXPECT_EQ(g_bServerOnly, 0);
    EXPECT_EQ(g_bClientOnly, 0);
    EXPECT_EQ(g_bCatalogCashMode, 0);
    EXPECT_EQ(g_bPasvMode, 1);
    EXPECT_EQ(g_bUseSkype, 0);
    EXPECT_EQ(linesOf(printSwitchLines), "PASV_MODE ON\nNO SKYPE MODE\n");
}

TEST(SwitchTest, ConsoleLinesComeInTheirOwnOrderWhateverTheCommandLine)
{
    resetSwitches();
    EXPECT_EQ(linesOf(printSwitchLines), "");
    parseSwitches({"-NOSKYPE", "-CATALOGCASH", "unknown", "-CLIENT", "-SERVER", "-PASV", "-D386"});
    EXPECT_EQ(g_bDebugMode, 1);
    EXPECT_EQ(g_bServerOnly, 1);
    EXPECT_EQ(g_bClientOnly, 1);
    EXPECT_EQ(g_bCatalogCashMode, 1);
    EXPECT_EQ(linesOf(printSwitchLines), "DEBUG_MODE ON\nPASV_MODE ON\nSERVERONLY_MODE ON\nCLIENTONLY_MODE ON\n"
                                         "CATALOGCASH_MODE ON\nNO SKYPE MODE\n");
}

TEST(VersionTest, ProductVersionBuiltOnce)
{
    const char* v = getVersionString();
    EXPECT_STREQ(v, "Ver.:1.1.7.170");
    EXPECT_EQ(getVersionString(), v);
}

TEST_F(StartUpTest, PartyHeldElsewhereIsRefusedBeforeAnythingIsMade)
{
    writeIni("P");
    CMultiCheck other(lockFolder);
    ASSERT_TRUE(other.check("P"));

    CTandrelApp app(lockFolder);
    EXPECT_EQ(app.InitInstance({"-D386"}), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], cp("    ２重起動です。処理を中止します    "));
    EXPECT_FALSE(testsupport::exists(dir.file("node/CATALOG")));
    EXPECT_EQ(g_pMainDlg, nullptr);
}

TEST_F(StartUpTest, WorkingDirectoryHeldElsewhereIsRefusedEvenWithoutAParty)
{
    writeIni("");
    CWorkDirLock other;
    ASSERT_EQ(other.lock(dir.file("node")), CWorkDirLock::locked);

    CTandrelApp app(lockFolder);
    EXPECT_EQ(app.InitInstance({"-D386"}), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], cp("    ２重起動です。処理を中止します    "));
    EXPECT_FALSE(testsupport::exists(dir.file("node/CATALOG")));
}

TEST_F(StartUpTest, RunningNodeKeepsItsPartyLockWhenAnotherPartyIsRefused)
{
    writeIni("A");
    CMultiCheck holderOfB(lockFolder);
    ASSERT_TRUE(holderOfB.check("B"));

    CTandrelApp app(lockFolder);
    bool ran = false;
    ui::ScopedModalDialogHandler modal([&](CDialog& d) {
        ran = true;
        auto& dlg = dynamic_cast<CTandrelDlg&>(d);
        EXPECT_EQ(g_pMainDlg, &dlg);
        ASSERT_EQ(dlg.m_pMultiCheck, &app.multiCheck());
        EXPECT_EQ(dlg.m_pMultiCheck->heldName(), "A");
        // A change to a party that another node holds fails, and the lock of
        // the party this node runs in stays with it.
        EXPECT_FALSE(dlg.m_pMultiCheck->check("B"));
        EXPECT_EQ(dlg.m_pMultiCheck->heldName(), "A");
        CMultiCheck probe(lockFolder);
        EXPECT_FALSE(probe.check("A"));
        // A free party is taken before A is given up.
        EXPECT_TRUE(dlg.m_pMultiCheck->check("C"));
        EXPECT_TRUE(probe.check("A"));
        EXPECT_FALSE(CMultiCheck(lockFolder).check("C"));
        dlg.SendMessage(WM_ENDSESSION, TRUE, 0);
    });
    EXPECT_EQ(app.InitInstance({"-D386"}), 0);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(g_pMainDlg, nullptr);
}

TEST_F(StartUpTest, SigtermEndsTheRunThroughTheSessionEnd)
{
    writeIni("S");
    CTandrelApp app(lockFolder);
    ui::ScopedModalDialogHandler modal([&](CDialog&) { std::raise(SIGTERM); });
    EXPECT_EQ(app.InitInstance({"-D386"}), 0);
    // Shutdown rewrote the settings (the keys the INI lacked are there now)
    // and the catalog.
    const std::string ini = testsupport::readFile(dir.file("node/Yuvo.ini"));
    EXPECT_NE(ini.find("PARTY=S"), std::string::npos) << ini;
    EXPECT_TRUE(testsupport::exists(dir.file("node/CATALOG/catalog.dat")));
    // The handler is gone with the run: the default action stands again.
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(StartUpTest, UnseenMessageBoxesBecomeConsoleLinesUnlessAHandlerAnswers)
{
    // A handler in place (this test's) keeps answering.
    EXPECT_FALSE(installConsolePrompts());
    boxHandler.reset();
    ui::setMessageBoxHandler(nullptr);
    ASSERT_TRUE(installConsolePrompts());
    testing::internal::CaptureStderr();
    EXPECT_EQ(AfxMessageBox(cp("ノード名が未設定です。ノード名を設定してください。"), MB_OK), IDOK);
    EXPECT_EQ(AfxMessageBox(cp("よろしいですか？"), MB_YESNO), IDNO);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ノード名が未設定です。ノード名を設定してください。\nよろしいですか？\n");
    ui::setMessageBoxHandler(nullptr);
}
