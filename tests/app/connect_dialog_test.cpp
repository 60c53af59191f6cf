// The connection dialog from the main window's list: refusals keep it open,
// a contact is found by its exact ID, and no more rows than the settings
// file reads back.
#include "app/connect_dlg.h"
#include "dialog_testkit.h"
#include "platform/profile.h"

using namespace apptest;

TEST_F(MainWindowTest, ConnectionRefusalsKeepTheDialogOpen)
{
    const std::string unusableNode =
        "このノード名は使用できません。ノード名はフォルダ名とファイル名に使われるため、"
        "「/」「\\」「:」や制御文字を含む名前、「.」「..」「catalog」は設定できません。";
    const std::string unusableHost =
        "このホスト名は使用できません。「/」「\\」「:」や制御文字を含む名前、「.」「..」「catalog」は設定できません。";
    const std::string badPort = "ポート番号は1から65535の範囲で入力してください。";
    const struct {
        const char* host;
        const char* node;
        const char* port; // nullptr: no port
        int focus;
        std::string message;
    } table[] = {
        {"", "PEER", nullptr, IDC_CON_HOST, "ホスト名を入力してください"},
        {"host", "", nullptr, IDC_CON_NODE_NAME, "接続先のノード名称を設定してください."},
        {"host/43000", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"::1", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"host", "CATALOG", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "a\\b", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "..", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "PEER", "0", IDC_CON_PORT, badPort},
        {"host", "PEER", "65536", IDC_CON_PORT, badPort},
    };
    start();
    for (const auto& c : table) {
        Boxes boxes;
        OnDialog<CDialogConnectMethod> on([&](CDialogConnectMethod& d) {
            buttonOf(d, IDC_CON_TCP)->Click();
            setText(d, IDC_CON_HOST, c.host);
            setText(d, IDC_CON_NODE_NAME, c.node);
            if (c.port) {
                buttonOf(d, IDC_CON_SET_PORT)->Click(); // its warning answered OK
                setText(d, IDC_CON_PORT, c.port);
            }
            boxes.texts.clear();
            clickOk(d);
            EXPECT_EQ(d.GetFocusId(), c.focus) << c.host << " " << c.node;
        });
        button(IDC_CONNECT_ADD)->Click();
        EXPECT_TRUE(on.stayedOpen) << c.host << " " << c.node;
        EXPECT_EQ(boxes.texts, std::vector<std::string>{c.message}) << c.host << " " << c.node;
    }
    EXPECT_EQ(dlg->getConnectNum(), 0);
    EXPECT_EQ(testsupport::readFile(dir.file("Yuvo.ini")).find("REC1"), std::string::npos);
}

TEST_F(MainWindowTest, AContactIsNeverTakenForAnotherThatBeginsLikeIt)
{
    ContactSide side;
    side.add("bob.smith");
    side.add("bob");
    ini.rows = {{"BOB", "SKYPE", "bob", ""}};
    start();
    dlg->transfer().setSkypeSide(&side);
    dlg->connectList().SetSelectionMark(0);
    OnDialog<CDialogConnectMethod> change([&](CDialogConnectMethod& d) {
        EXPECT_EQ(d.m_combo->GetCurSel(), 1);
        buttonOf(d, IDC_CON_SKYPE)->Click(); // fills the list anew, keeps the choice
        EXPECT_EQ(textOf(d, IDC_CON_CONTACT), "bob");
        clickOk(d);
    });
    button(IDC_CONNECT_CHANGE)->Click();
    EXPECT_EQ(cell(dlg->connectList(), 0, 2), "bob");
    // An ID typed in part still finds the first contact that begins with it.
    OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
        setText(d, IDC_CON_CONTACT, "BOB.S");
        buttonOf(d, IDC_CON_SKYPE)->Click();
        EXPECT_EQ(textOf(d, IDC_CON_CONTACT), "bob.smith");
    });
    button(IDC_CONNECT_ADD)->Click();
    dlg->transfer().setSkypeSide(nullptr);
}

TEST_F(MainWindowTest, NoMoreRowsThanTheSettingsFileReadsBack)
{
    for (int i = 1; i <= 9; ++i)
        ini.rows.push_back({"N" + std::to_string(i), "TCP", "h" + std::to_string(i) + ".example", ""});
    start();
    OnDialog<CDialogConnectMethod> tenth([](CDialogConnectMethod& d) {
        buttonOf(d, IDC_CON_TCP)->Click();
        setText(d, IDC_CON_HOST, "h10.example");
        setText(d, IDC_CON_NODE_NAME, "N10");
        clickOk(d);
    });
    button(IDC_CONNECT_ADD)->Click();
    const auto connectNum = [&] {
        return platform::GetPrivateProfileIntA("SYSTEM", "CONNECTNUM", -1, dir.file("Yuvo.ini"));
    };
    ASSERT_EQ(dlg->getConnectNum(), 10);
    EXPECT_EQ(connectNum(), 10u);

    // An eleventh row would be gone at the next start: refused before the
    // dialog opens.
    Boxes boxes;
    OnDialog<CDialogConnectMethod> eleventh([](CDialogConnectMethod& d) { clickOk(d); });
    button(IDC_CONNECT_ADD)->Click();
    EXPECT_EQ(eleventh.runs, 0);
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"接続先は10件まで設定できます。"});
    EXPECT_EQ(connectNum(), 10u);
}
