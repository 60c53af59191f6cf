// The system settings dialog opened from the main window: refused values
// (limits, ports, unsafe names) keep it open before the party lock is
// touched, and a party another instance holds (or a lock folder that
// cannot be used) is refused with the old lock kept.
#include <sys/stat.h>

#include "app/settings_dlg.h"
#include "dialog_testkit.h"

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
};

} // namespace

TEST_F(SettingsDialog, RefusedValuesKeepTheDialogOpenAndChangeNothing)
{
    const std::string unusable = setting::NODE_NAME_REFUSAL;
    const std::string badDays = setting::limitDayRefusal();
    const std::string badPort = setting::portRefusal();
    const std::string partySpace = "パーティ名にスペースを含む名前は設定できません。";
    const struct {
        const char* typed;
        int id;
        std::string message;
    } table[] = {
        {"", IDC_SYS_PARTY, "パーティ名が設定されていません。"},
        {" PARTY", IDC_SYS_PARTY, partySpace},
        {"PARTY\t", IDC_SYS_PARTY, partySpace}, // would not read back
        {"\tNODE", IDC_SYS_NODE_NAME, unusable},
        {"NODE B", IDC_SYS_NODE_NAME, "ノード名にスペースを含む名前は設定できません。"},
        {"a/b", IDC_SYS_NODE_NAME, unusable},
        {"a:b", IDC_SYS_NODE_NAME, unusable},
        {"..", IDC_SYS_NODE_NAME, unusable},
        {"CaTaLoG", IDC_SYS_NODE_NAME, unusable},
        {"3651", IDC_SYS_LIMIT_DAY, badDays},
        {"-1", IDC_SYS_LIMIT_DAY, badDays},
        {"0", IDC_SYS_PORT, badPort},
        {"65536", IDC_SYS_PORT, badPort},
    };
    startLocked();
    const std::string before = testsupport::readFile(dir.file("Yuvo.ini"));
    for (const auto& c : table) {
        Boxes boxes;
        OnDialog<CSystemPropatyDlg> on([&](CSystemPropatyDlg& d) {
            setText(d, IDC_SYS_PARTY, "NEWPARTY");
            setText(d, c.id, c.typed);
            clickOk(d);
            EXPECT_EQ(d.GetFocusId(), c.id) << c.typed;
        });
        button(IDC_SYSTEM_SETTINGS)->Click();
        EXPECT_TRUE(on.stayedOpen) << c.typed;
        EXPECT_EQ(boxes.texts, std::vector<std::string>{c.message}) << c.typed;
        // Refused before the party check: the lock stays where it was.
        EXPECT_EQ(lock->heldName(), cp(ini.party)) << c.typed;
    }
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
    button(IDC_SYSTEM_SETTINGS)->Click();
    EXPECT_TRUE(on.stayedOpen);
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"パーティ名は既に実行中です。この名前は設定できません"});
    EXPECT_EQ(lock->heldName(), cp(ini.party));
    EXPECT_FALSE(CMultiCheck(lockDir.path()).check(cp(ini.party)));

    // A lock folder others can enter is named as the fault, not the party.
    ::chmod(lockDir.path().c_str(), 0755);
    boxes.texts.clear();
    OnDialog<CSystemPropatyDlg> open([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_PARTY, "FREE");
        clickOk(d);
    });
    button(IDC_SYSTEM_SETTINGS)->Click();
    EXPECT_TRUE(open.stayedOpen);
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"ロック用フォルダ " + lockDir.path()
                                                    + " を使用できません。他のユーザーにもアクセス権があります"
                                                      "（モード 0755、0700 にしてください）。パーティ名を変更できません。"});
    EXPECT_EQ(lock->heldName(), cp(ini.party));
    ::chmod(lockDir.path().c_str(), 0700);

    // A free party is taken, and the old one given up.
    OnDialog<CSystemPropatyDlg> ok([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_PARTY, "大阪");
        clickOk(d);
    });
    button(IDC_SYSTEM_SETTINGS)->Click();
    EXPECT_FALSE(ok.stayedOpen);
    EXPECT_EQ(lock->heldName(), cp("大阪"));
    EXPECT_EQ(dlg->GetWindowText(), cp("Yuvo [大阪]"));
    EXPECT_TRUE(CMultiCheck(lockDir.path()).check(cp(ini.party)));
}

TEST_F(SettingsDialog, ASettingsFileThatCannotBeWrittenIsTold)
{
    start();
    // A folder where the file should be: no write can replace it.
    ASSERT_TRUE(platform::deleteFile(dir.file("Yuvo.ini")));
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(dir.file("Yuvo.ini")));
    Boxes boxes;
    OnDialog<CSystemPropatyDlg> on([](CSystemPropatyDlg& d) {
        setText(d, IDC_SYS_LIMIT_DAY, "7");
        clickOk(d);
    });
    button(IDC_SYSTEM_SETTINGS)->Click();
    EXPECT_FALSE(on.stayedOpen);
    EXPECT_EQ(boxes.texts, std::vector<std::string>{setting::WRITE_FAILURE});
    EXPECT_EQ(dlg->getLimitDay(), 7); // in force until the program ends
}
