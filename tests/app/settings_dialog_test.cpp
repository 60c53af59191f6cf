// The system settings dialog opened from the main window: what it shows,
// what OK applies (title, tray tooltip, party lock, Yuvo.ini), what it
// refuses, the Skype-ID and port boxes, the connection lock; and the About
// box.

#include <QAction>

#include "app/about_dlg.h"
#include "app/settings_dlg.h"
#include "app/tandrel_app.h"
#include "dialog_testkit.h"
#include "platform/profile.h"

using namespace apptest;

namespace {

class SettingsDialog : public MainWindowTest {
protected:
    testsupport::TempDir lockDir;
    std::unique_ptr<CMultiCheck> lock;

    void startLocked()
    {
        lock = std::make_unique<CMultiCheck>(lockDir.path());
        ASSERT_TRUE(lock->check(cp(ini.party)));
        start();
        dlg->m_pMultiCheck = lock.get();
    }

    std::string iniText(const char* key)
    {
        char buf[261] = {};
        platform::GetPrivateProfileStringA("SYSTEM", key, "<none>", buf, sizeof buf, dir.file("Yuvo.ini"));
        return buf;
    }
    int iniInt(const char* key)
    {
        return static_cast<int>(platform::GetPrivateProfileIntA("SYSTEM", key, -99, dir.file("Yuvo.ini")));
    }

    void openSettings() { button(IDC_SYSTEM_SETTINGS)->Click(); }
};

} // namespace

TEST_F(SettingsDialog, ShowsTheWindowsSettingsAndFixedFolders)
{
    ini.party = "東京";
    ini.name = "本社";
    ini.limitDay = 7;
    ini.window = 1;
    ini.listenPort = 42000;
    start();
    OnDialog<CSystemPropatyDlg> on([&](CSystemPropatyDlg& d) {
        EXPECT_EQ(textOf(d, IDC_SYS_PARTY), cp("東京"));
        EXPECT_EQ(textOf(d, IDC_SYS_NODE_NAME), cp("本社"));
        EXPECT_EQ(textOf(d, IDC_SYS_LIMIT_DAY), "7");
        EXPECT_EQ(buttonOf(d, IDC_SYS_WINDOW_CLOSED)->GetCheck(), BST_CHECKED);
        EXPECT_EQ(buttonOf(d, IDC_SYS_WINDOW_OPEN)->GetCheck(), BST_UNCHECKED);
        // Port 42000: the box is unticked and the port cannot be edited.
        EXPECT_EQ(buttonOf(d, IDC_SYS_CHANGE_PORT)->GetCheck(), BST_UNCHECKED);
        EXPECT_EQ(textOf(d, IDC_SYS_PORT), "42000");
        EXPECT_FALSE(enabled(d, IDC_SYS_PORT));
        EXPECT_FALSE(enabled(d, IDC_SYS_PORT_SPIN));
        EXPECT_EQ(textOf(d, IDC_SYS_SEND_FOLDER), dir.path() + "/SEND");
        EXPECT_EQ(textOf(d, IDC_SYS_RECV_FOLDER), dir.path() + "/RECV");
        // A 19th byte of party and a 31st of node name cannot be typed.
        EXPECT_EQ(dynamic_cast<CEdit*>(d.GetDlgItem(IDC_SYS_PARTY))->GetLimitText(), 18u);
        EXPECT_EQ(dynamic_cast<CEdit*>(d.GetDlgItem(IDC_SYS_NODE_NAME))->GetLimitText(), 30u);
    });
    openSettings();
    EXPECT_EQ(on.runs, 1);
}

TEST_F(SettingsDialog, OkWithANewNodeNameWritesTheIniButKeepsTheTitle)
{
    ini.listenPort = 42000;
    startLocked();
    const std::string title = dlg->GetWindowText();
    OnDialog<CSystemPropatyDlg> on([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_NODE_NAME, "NODE_B");
        setText(d, IDC_SYS_LIMIT_DAY, "3650");
        buttonOf(d, IDC_SYS_WINDOW_CLOSED)->Click();
        clickOk(d);
    });
    openSettings();
    EXPECT_FALSE(on.stayedOpen);
    EXPECT_STREQ(dlg->getNodeName(), "NODE_B");
    EXPECT_EQ(text(IDC_NODE_NAME), "NODE_B");
    EXPECT_EQ(dlg->GetWindowText(), title);
    EXPECT_EQ(iniText("NAME"), "NODE_B");
    EXPECT_EQ(iniInt("LIMITDAY"), 3650);
    EXPECT_EQ(iniInt("WINDOW"), 1);
    EXPECT_EQ(dlg->getLimitDay(), 3650);
    EXPECT_EQ(dlg->getWindow(), 1);
    EXPECT_EQ(lock->heldName(), cp(ini.party));
}

TEST_F(SettingsDialog, ANewPartyRetitlesMovesTheLockAndTheTooltip)
{
    startLocked();
    OnDialog<CSystemPropatyDlg> on([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_PARTY, "大阪");
        clickOk(d);
    });
    openSettings();
    EXPECT_EQ(dlg->GetWindowText(), cp("Yuvo [大阪]"));
    EXPECT_EQ(text(IDC_PARTY_NAME), cp("大阪"));
    EXPECT_EQ(dlg->trayIcon().toolTip(), cp("Yuvo [大阪]"));
    EXPECT_EQ(iniText("PARTY"), cp("大阪"));
    EXPECT_EQ(lock->heldName(), cp("大阪"));
    // The old party is free for another instance now.
    CMultiCheck other(lockDir.path());
    EXPECT_TRUE(other.check(cp(ini.party)));
}

TEST_F(SettingsDialog, APortOtherThanTheDefaultIsEditedThroughTheBox)
{
    const int port = ini.listenPort; // a free port, not 42000
    ASSERT_NE(port, 42000);
    start();
    OnDialog<CSystemPropatyDlg> on([&](CSystemPropatyDlg& d) {
        EXPECT_EQ(buttonOf(d, IDC_SYS_CHANGE_PORT)->GetCheck(), BST_CHECKED);
        EXPECT_EQ(textOf(d, IDC_SYS_PORT), std::to_string(port));
        EXPECT_TRUE(enabled(d, IDC_SYS_PORT));
        // Unticking puts 42000 back and locks the field.
        buttonOf(d, IDC_SYS_CHANGE_PORT)->Click();
        EXPECT_EQ(textOf(d, IDC_SYS_PORT), "42000");
        EXPECT_FALSE(enabled(d, IDC_SYS_PORT));
        EXPECT_FALSE(enabled(d, IDC_SYS_PORT_SPIN));
        buttonOf(d, IDC_SYS_CHANGE_PORT)->Click();
        EXPECT_TRUE(enabled(d, IDC_SYS_PORT));
        setText(d, IDC_SYS_PORT, "43001");
        clickOk(d);
    });
    openSettings();
    EXPECT_FALSE(on.stayedOpen);
    EXPECT_EQ(dlg->getListenPort(), 43001);
    EXPECT_EQ(iniInt("LISTENPORT"), 43001);
}

TEST_F(SettingsDialog, RefusedValuesKeepTheDialogOpenAndChangeNothing)
{
    struct Case {
        const char* field; // utf-8 text typed
        int id;
        const char* message;
    };
    const std::string unusable =
        "このノード名は使用できません。ノード名はフォルダ名とファイル名に使われるため、"
        "「/」「\\」「:」や制御文字を含む名前、「.」「..」「catalog」は設定できません。";
    const Case cases[] = {
        {"", IDC_SYS_PARTY, "パーティ名が設定されていません。"},
        {" PARTY", IDC_SYS_PARTY, "パーティ名にスペースを含む名前は設定できません。"},
        {"", IDC_SYS_NODE_NAME, "ノード名が設定されていません。"},
        {"NODE B", IDC_SYS_NODE_NAME, "ノード名にスペースを含む名前は設定できません。"},
        {"a/b", IDC_SYS_NODE_NAME, unusable.c_str()},
        {"a:b", IDC_SYS_NODE_NAME, unusable.c_str()},
        {"..", IDC_SYS_NODE_NAME, unusable.c_str()},
        {"CaTaLoG", IDC_SYS_NODE_NAME, unusable.c_str()},
        {"3651", IDC_SYS_LIMIT_DAY, "登録の有効日数は0から3650の範囲で入力してください。"},
        {"-1", IDC_SYS_LIMIT_DAY, "登録の有効日数は0から3650の範囲で入力してください。"},
        {"abc", IDC_SYS_LIMIT_DAY, "整数を入力してください。"},
        {"0", IDC_SYS_PORT, "ポート番号は1から65535の範囲で入力してください。"},
        {"65536", IDC_SYS_PORT, "ポート番号は1から65535の範囲で入力してください。"},
        {"x", IDC_SYS_PORT, "ポート番号は1から65535の範囲で入力してください。"},
    };
    startLocked();
    const std::string before = testsupport::readFile(dir.file("Yuvo.ini"));
    for (const Case& c : cases) {
        Boxes boxes;
        OnDialog<CSystemPropatyDlg> on([&](CSystemPropatyDlg& d) {
            setText(d, IDC_SYS_PARTY, "NEWPARTY");
            setText(d, c.id, c.field);
            clickOk(d);
            EXPECT_EQ(d.GetFocusId(), c.id) << c.field;
        });
        openSettings();
        EXPECT_TRUE(on.stayedOpen) << c.field;
        ASSERT_EQ(boxes.texts.size(), 1u) << c.field;
        EXPECT_EQ(boxes.texts[0], c.message) << c.field;
        // Refused before the party check: the lock stays where it was.
        EXPECT_EQ(lock->heldName(), cp(ini.party)) << c.field;
    }
    EXPECT_STREQ(dlg->getPartyName(), cp(ini.party).c_str());
    EXPECT_STREQ(dlg->getNodeName(), cp(ini.name).c_str());
    EXPECT_EQ(testsupport::readFile(dir.file("Yuvo.ini")), before);
}

TEST_F(SettingsDialog, APartyOfAnotherRunningInstanceIsRefusedAndTheOldLockKept)
{
    startLocked();
    CMultiCheck other(lockDir.path());
    ASSERT_TRUE(other.check("BUSY"));
    Boxes boxes;
    OnDialog<CSystemPropatyDlg> on([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_PARTY, "BUSY");
        clickOk(d);
    });
    openSettings();
    EXPECT_TRUE(on.stayedOpen);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "パーティ名は既に実行中です。この名前は設定できません");
    EXPECT_EQ(lock->heldName(), cp(ini.party));
    CMultiCheck third(lockDir.path());
    EXPECT_FALSE(third.check(cp(ini.party)));
    EXPECT_STREQ(dlg->getPartyName(), cp(ini.party).c_str());
}

TEST_F(SettingsDialog, AFullWidthSpaceIsNoSpaceAndCancelDiscards)
{
    start();
    OnDialog<CSystemPropatyDlg> cancel([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_NODE_NAME, "CHANGED");
        buttonOf(d, IDCANCEL)->Click();
    });
    openSettings();
    EXPECT_FALSE(cancel.stayedOpen);
    EXPECT_STREQ(dlg->getNodeName(), "NODE_A");

    OnDialog<CSystemPropatyDlg> ok([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_NODE_NAME, "本社　一課");
        setText(d, IDC_SYS_PARTY, "東京　本部");
        clickOk(d);
    });
    openSettings();
    EXPECT_FALSE(ok.stayedOpen);
    EXPECT_EQ(dlg->getNodeName(), cp("本社　一課"));
    EXPECT_EQ(dlg->GetWindowText(), cp("Yuvo [東京　本部]"));
}

TEST_F(SettingsDialog, TheSkypeIdBox)
{
    // Without a Skype ID the box cannot be ticked.
    start();
    {
        Boxes boxes;
        OnDialog<CSystemPropatyDlg> on([](CSystemPropatyDlg& d) {
            buttonOf(d, IDC_SYS_USE_SKYPE_ID)->Click();
            EXPECT_EQ(buttonOf(d, IDC_SYS_USE_SKYPE_ID)->GetCheck(), BST_UNCHECKED);
            EXPECT_TRUE(enabled(d, IDC_SYS_NODE_NAME));
        });
        openSettings();
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], "SkypeIdが未取得です。Skypeと接続しているか確認してください。");
    }
    // With one, ticking takes it as the node name and locks the field;
    // unticking unlocks it and keeps the text.
    ContactSide side;
    side.ownId = "me.skype";
    dlg->transfer().setSkypeSide(&side);
    OnDialog<CSystemPropatyDlg> tick([](CSystemPropatyDlg& d) {
        buttonOf(d, IDC_SYS_USE_SKYPE_ID)->Click();
        EXPECT_EQ(textOf(d, IDC_SYS_NODE_NAME), "me.skype");
        EXPECT_FALSE(enabled(d, IDC_SYS_NODE_NAME));
        buttonOf(d, IDC_SYS_USE_SKYPE_ID)->Click();
        EXPECT_TRUE(enabled(d, IDC_SYS_NODE_NAME));
        EXPECT_EQ(textOf(d, IDC_SYS_NODE_NAME), "me.skype");
        buttonOf(d, IDC_SYS_USE_SKYPE_ID)->Click();
        clickOk(d);
    });
    openSettings();
    EXPECT_STREQ(dlg->getNodeName(), "me.skype");
    // Reopened: the node name is the Skype ID, so the box comes up ticked.
    OnDialog<CSystemPropatyDlg> reopened([](CSystemPropatyDlg& d) {
        EXPECT_EQ(buttonOf(d, IDC_SYS_USE_SKYPE_ID)->GetCheck(), BST_CHECKED);
        EXPECT_FALSE(enabled(d, IDC_SYS_NODE_NAME));
    });
    openSettings();
    EXPECT_EQ(reopened.runs, 1);
    dlg->transfer().setSkypeSide(nullptr);
}

// --- About box ---------------------------------------------------------------------

TEST(AboutText, CommasBecomeDashesAndColonsBlanks)
{
    EXPECT_EQ(CAboutDlg::versionLine("Ver.:1.1.7.170"), "Yuvo Ver. 1.1.7.170 ");
    EXPECT_EQ(CAboutDlg::versionLine("Ver.:1,1,7,170"), "Yuvo Ver. 1-1-7-170 ");
    EXPECT_EQ(CAboutDlg::versionLine(""), "Yuvo  ");
}

TEST_F(SettingsDialog, TheAboutItemOpensTheAboutBox)
{
    start();
    OnDialog<CAboutDlg> on([](CAboutDlg& d) {
        EXPECT_EQ(textOf(d, IDC_ABOUT_VERSION), CAboutDlg::versionLine(getVersionString()));
        EXPECT_EQ(textOf(d, IDC_ABOUT_VERSION).rfind("Yuvo Ver. ", 0), 0u);
        clickOk(d);
    });
    ASSERT_NE(dlg->aboutAction(), nullptr);
    dlg->aboutAction()->trigger();
    EXPECT_EQ(on.runs, 1);
    EXPECT_FALSE(on.stayedOpen);
    // The system command does the same.
    OnDialog<CAboutDlg> again([](CAboutDlg& d) { clickOk(d); });
    EXPECT_EQ(dlg->SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0), 0);
    EXPECT_EQ(again.runs, 1);
}
