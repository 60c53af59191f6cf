// The connection list's add, change and delete buttons with the connection
// dialog: TCP rows with and without a port, Skype rows from the contact
// list, the refusals, the port box, and Yuvo.ini rewritten after each change.

#include "app/connect_dlg.h"
#include "dialog_testkit.h"
#include "platform/profile.h"

using namespace apptest;

namespace {

class ConnectDialog : public MainWindowTest {
protected:
    std::string rec(int n, const char* key)
    {
        char buf[261] = {};
        const std::string section = "REC" + std::to_string(n);
        platform::GetPrivateProfileStringA(section.c_str(), key, "<none>", buf, sizeof buf, dir.file("Yuvo.ini"));
        return buf;
    }
    int connectNum()
    {
        return static_cast<int>(platform::GetPrivateProfileIntA("SYSTEM", "CONNECTNUM", -1, dir.file("Yuvo.ini")));
    }
    // The cells of a row but its state (the tick writes that).
    std::vector<std::string> row(int i)
    {
        std::vector<std::string> cells;
        for (int c : {0, 1, 2, 4})
            cells.push_back(cell(dlg->connectList(), i, c));
        return cells;
    }
    void select(int i)
    {
        dlg->connectList().SetItemState(i, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        dlg->connectList().SetSelectionMark(i);
    }
    std::vector<std::string> comboItems(CDialogConnectMethod& d)
    {
        std::vector<std::string> items;
        for (int i = 0; i < d.m_combo->GetCount(); ++i)
            items.push_back(d.m_combo->GetLBText(i));
        return items;
    }
};

} // namespace

TEST_F(ConnectDialog, AddATcpLinkWithAPort)
{
    start();
    Boxes boxes;
    OnDialog<CDialogConnectMethod> on([](CDialogConnectMethod& d) {
        // Opened for a Skype link: the TCP fields are locked.
        EXPECT_EQ(buttonOf(d, IDC_CON_SKYPE)->GetCheck(), BST_CHECKED);
        EXPECT_FALSE(enabled(d, IDC_CON_HOST));
        EXPECT_FALSE(enabled(d, IDC_CON_NODE_NAME));
        EXPECT_FALSE(enabled(d, IDC_CON_SET_PORT));
        EXPECT_TRUE(enabled(d, IDC_CON_CONTACT));
        buttonOf(d, IDC_CON_TCP)->Click();
        EXPECT_TRUE(enabled(d, IDC_CON_HOST));
        EXPECT_TRUE(enabled(d, IDC_CON_NODE_NAME));
        EXPECT_FALSE(enabled(d, IDC_CON_CONTACT));
        EXPECT_FALSE(enabled(d, IDC_CON_PORT));
        EXPECT_EQ(textOf(d, IDC_CON_PORT), "42000");
        setText(d, IDC_CON_HOST, "127.0.0.1");
        setText(d, IDC_CON_NODE_NAME, "大阪");
        setText(d, IDC_CON_COMMENT, "支店");
        buttonOf(d, IDC_CON_SET_PORT)->Click();
        EXPECT_TRUE(enabled(d, IDC_CON_PORT));
        setText(d, IDC_CON_PORT, "43000");
        clickOk(d);
    });
    button(IDC_CONNECT_ADD)->Click();
    EXPECT_FALSE(on.stayedOpen);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "接続ポートを変更します。接続先の設定を確認して同じポート番号を設定してください");
    EXPECT_EQ(boxes.types[0], MB_OKCANCEL);
    ASSERT_EQ(dlg->getConnectNum(), 1);
    EXPECT_EQ(row(0), (std::vector<std::string>{cp("大阪"), "TCP", "127.0.0.1/43000", cp("支店")}));
    EXPECT_STREQ(dlg->getRecHost(0), "127.0.0.1");
    EXPECT_EQ(dlg->getRecPort(0), 43000);
    EXPECT_EQ(connectNum(), 1);
    EXPECT_EQ(rec(1, "NAME"), cp("大阪"));
    EXPECT_EQ(rec(1, "TRS"), "TCP");
    EXPECT_EQ(rec(1, "HOSTNAME"), "127.0.0.1/43000");
    EXPECT_EQ(rec(1, "COMMENT"), cp("支店"));
}

TEST_F(ConnectDialog, ChangeSplitsThePortAndStoresTheSameTextAgain)
{
    ini.rows = {{"PEER", "TCP", "peer.example/43000", "c"}, {"OTHER", "TCP", "other.example", ""}};
    start();
    select(0);
    OnDialog<CDialogConnectMethod> on([](CDialogConnectMethod& d) {
        EXPECT_EQ(buttonOf(d, IDC_CON_TCP)->GetCheck(), BST_CHECKED);
        EXPECT_EQ(textOf(d, IDC_CON_HOST), "peer.example");
        EXPECT_EQ(buttonOf(d, IDC_CON_SET_PORT)->GetCheck(), BST_CHECKED);
        EXPECT_EQ(textOf(d, IDC_CON_PORT), "43000");
        EXPECT_TRUE(enabled(d, IDC_CON_PORT));
        EXPECT_EQ(textOf(d, IDC_CON_NODE_NAME), "PEER");
        EXPECT_EQ(textOf(d, IDC_CON_COMMENT), "c");
        clickOk(d);
    });
    button(IDC_CONNECT_CHANGE)->Click();
    EXPECT_EQ(row(0), (std::vector<std::string>{"PEER", "TCP", "peer.example/43000", "c"}));
    EXPECT_EQ(rec(1, "HOSTNAME"), "peer.example/43000");

    // A row without a port opens with the box unticked; a new name and host
    // are taken.
    select(1);
    OnDialog<CDialogConnectMethod> second([](CDialogConnectMethod& d) {
        EXPECT_EQ(buttonOf(d, IDC_CON_SET_PORT)->GetCheck(), BST_UNCHECKED);
        EXPECT_EQ(textOf(d, IDC_CON_PORT), "42000");
        EXPECT_FALSE(enabled(d, IDC_CON_PORT));
        setText(d, IDC_CON_NODE_NAME, "RENAMED");
        setText(d, IDC_CON_HOST, "10.0.0.9");
        clickOk(d);
    });
    button(IDC_CONNECT_CHANGE)->Click();
    EXPECT_EQ(cell(dlg->connectList(), 1, 0), "RENAMED");
    EXPECT_EQ(cell(dlg->connectList(), 1, 2), "10.0.0.9");
    EXPECT_EQ(rec(2, "NAME"), "RENAMED");
    EXPECT_EQ(rec(2, "HOSTNAME"), "10.0.0.9");
}

TEST_F(ConnectDialog, ChangeWithoutARowDoesNothingAndCancelKeepsTheRow)
{
    ini.rows = {{"PEER", "TCP", "peer.example", ""}};
    start();
    button(IDC_CONNECT_CHANGE)->Click(); // no selection: no dialog
    select(0);
    OnDialog<CDialogConnectMethod> on([](CDialogConnectMethod& d) {
        setText(d, IDC_CON_HOST, "elsewhere");
        buttonOf(d, IDCANCEL)->Click();
    });
    button(IDC_CONNECT_CHANGE)->Click();
    EXPECT_EQ(on.runs, 1);
    EXPECT_EQ(cell(dlg->connectList(), 0, 2), "peer.example");
}

TEST_F(ConnectDialog, FieldLimitsAndAHostOfFiftyBytesWithAPortIsStored)
{
    start();
    const std::string host(50, 'h');
    Boxes boxes;
    OnDialog<CDialogConnectMethod> on([&](CDialogConnectMethod& d) {
        buttonOf(d, IDC_CON_TCP)->Click();
        auto* edit = dynamic_cast<CEdit*>(d.GetDlgItem(IDC_CON_HOST));
        EXPECT_EQ(edit->GetLimitText(), 50u);
        edit->SetWindowText(host);
        auto* node = dynamic_cast<CEdit*>(d.GetDlgItem(IDC_CON_NODE_NAME));
        EXPECT_EQ(node->GetLimitText(), 32u);
        EXPECT_TRUE(node->ReplaceSel(std::string(32, 'n')));
        EXPECT_FALSE(node->ReplaceSel("x"));
        setText(d, IDC_CON_NODE_NAME, "PEER");
        buttonOf(d, IDC_CON_SET_PORT)->Click();
        setText(d, IDC_CON_PORT, "43000");
        clickOk(d);
    });
    button(IDC_CONNECT_ADD)->Click();
    EXPECT_FALSE(on.stayedOpen);
    ASSERT_EQ(dlg->getConnectNum(), 1);
    EXPECT_EQ(cell(dlg->connectList(), 0, 2), host + "/43000");
    EXPECT_EQ(dlg->getRecPort(0), 43000);
}

TEST_F(ConnectDialog, RefusalsKeepTheDialogOpen)
{
    struct Case {
        const char* host;
        const char* node;
        const char* port; // nullptr: no port
        int focus;
        std::string message;
    };
    const std::string unusableNode =
        "このノード名は使用できません。ノード名はフォルダ名とファイル名に使われるため、"
        "「/」「\\」「:」や制御文字を含む名前、「.」「..」「catalog」は設定できません。";
    const std::string unusableHost =
        "このホスト名は使用できません。「/」「\\」「:」や制御文字を含む名前、「.」「..」「catalog」は設定できません。";
    const std::string badPort = "ポート番号は1から65535の範囲で入力してください。";
    const Case cases[] = {
        {"", "PEER", nullptr, IDC_CON_HOST, "ホスト名を入力してください"},
        {"host", "", nullptr, IDC_CON_NODE_NAME, "接続先のノード名称を設定してください."},
        {"host/43000", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"::1", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"host", "CATALOG", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "a/b", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "a\\b", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "..", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "PEER", "0", IDC_CON_PORT, badPort},
        {"host", "PEER", "65536", IDC_CON_PORT, badPort},
        {"host", "PEER", "port", IDC_CON_PORT, badPort},
    };
    start();
    for (const Case& c : cases) {
        Boxes boxes;
        OnDialog<CDialogConnectMethod> on([&](CDialogConnectMethod& d) {
            buttonOf(d, IDC_CON_TCP)->Click();
            setText(d, IDC_CON_HOST, c.host);
            setText(d, IDC_CON_NODE_NAME, c.node);
            if (c.port) {
                buttonOf(d, IDC_CON_SET_PORT)->Click();
                setText(d, IDC_CON_PORT, c.port);
            }
            boxes.texts.clear();
            clickOk(d);
            EXPECT_EQ(d.GetFocusId(), c.focus) << c.host << " " << c.node;
        });
        button(IDC_CONNECT_ADD)->Click();
        EXPECT_TRUE(on.stayedOpen) << c.host << " " << c.node;
        ASSERT_EQ(boxes.texts.size(), 1u) << c.host << " " << c.node;
        EXPECT_EQ(boxes.texts[0], c.message);
    }
    EXPECT_EQ(dlg->getConnectNum(), 0);
    EXPECT_FALSE(testsupport::readFile(dir.file("Yuvo.ini")).find("REC1") != std::string::npos);
}

TEST_F(ConnectDialog, ThePortBox)
{
    start();
    Boxes boxes;
    boxes.okCancel = IDCANCEL;
    OnDialog<CDialogConnectMethod> on([&](CDialogConnectMethod& d) {
        buttonOf(d, IDC_CON_TCP)->Click();
        // Cancelling the warning unticks the box again.
        buttonOf(d, IDC_CON_SET_PORT)->Click();
        EXPECT_EQ(buttonOf(d, IDC_CON_SET_PORT)->GetCheck(), BST_UNCHECKED);
        EXPECT_FALSE(enabled(d, IDC_CON_PORT));
        boxes.okCancel = IDOK;
        buttonOf(d, IDC_CON_SET_PORT)->Click();
        EXPECT_TRUE(enabled(d, IDC_CON_PORT));
        setText(d, IDC_CON_PORT, "43000");
        // Unticking resets the spin to 42000.
        buttonOf(d, IDC_CON_SET_PORT)->Click();
        EXPECT_EQ(textOf(d, IDC_CON_PORT), "42000");
        EXPECT_FALSE(enabled(d, IDC_CON_PORT));
        // Back to SKYPE: the port field stays locked even with the box ticked.
        buttonOf(d, IDC_CON_SET_PORT)->Click();
        buttonOf(d, IDC_CON_SKYPE)->Click();
        EXPECT_FALSE(enabled(d, IDC_CON_PORT));
        EXPECT_FALSE(enabled(d, IDC_CON_SET_PORT));
    });
    button(IDC_CONNECT_ADD)->Click();
    EXPECT_EQ(boxes.texts.size(), 3u);
}

TEST_F(ConnectDialog, SkypeRowsFromTheContactList)
{
    ContactSide side;
    side.add("alice");
    side.add("bob.smith");
    start();
    dlg->transfer().setSkypeSide(&side);
    OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
        EXPECT_EQ(comboItems(d), (std::vector<std::string>{"alice", "bob.smith"}));
        // Clicking the radio again does not repeat the entries.
        buttonOf(d, IDC_CON_SKYPE)->Click();
        EXPECT_EQ(comboItems(d), (std::vector<std::string>{"alice", "bob.smith"}));
        d.m_combo->choose(1);
        setText(d, IDC_CON_COMMENT, "friend");
        clickOk(d);
    });
    button(IDC_CONNECT_ADD)->Click();
    ASSERT_EQ(dlg->getConnectNum(), 1);
    EXPECT_EQ(row(0), (std::vector<std::string>{"bob.smith", "SKYPE", "bob.smith", "friend"}));
    EXPECT_EQ(rec(1, "TRS"), "SKYPE");
    EXPECT_EQ(rec(1, "SKYPEID"), "bob.smith");
    EXPECT_EQ(rec(1, "HOSTNAME"), "");

    // Changed to another contact: the row keeps its name.
    select(0);
    OnDialog<CDialogConnectMethod> change([&](CDialogConnectMethod& d) {
        EXPECT_EQ(buttonOf(d, IDC_CON_SKYPE)->GetCheck(), BST_CHECKED);
        EXPECT_EQ(d.m_combo->GetCurSel(), 1);
        EXPECT_EQ(textOf(d, IDC_CON_CONTACT), "bob.smith");
        d.m_combo->choose(0);
        clickOk(d);
    });
    button(IDC_CONNECT_CHANGE)->Click();
    EXPECT_EQ(row(0), (std::vector<std::string>{"bob.smith", "SKYPE", "alice", "friend"}));
    EXPECT_EQ(rec(1, "SKYPEID"), "alice");
    dlg->transfer().setSkypeSide(nullptr);
}

TEST_F(ConnectDialog, WithoutContactsTheIdIsTypedAndMustBeThere)
{
    ini.rows = {{"PEER", "SKYPE", "peer.id", ""}};
    start();
    // The row's own ID is the one item.
    select(0);
    OnDialog<CDialogConnectMethod> change([&](CDialogConnectMethod& d) {
        EXPECT_EQ(comboItems(d), (std::vector<std::string>{"peer.id"}));
        EXPECT_EQ(textOf(d, IDC_CON_CONTACT), "peer.id");
    });
    button(IDC_CONNECT_CHANGE)->Click();

    Boxes boxes;
    OnDialog<CDialogConnectMethod> empty([](CDialogConnectMethod& d) {
        EXPECT_EQ(d.m_combo->GetCount(), 0);
        clickOk(d);
        setText(d, IDC_CON_CONTACT, "catalog");
        clickOk(d);
        setText(d, IDC_CON_CONTACT, "typed.id");
        clickOk(d);
    });
    button(IDC_CONNECT_ADD)->Click();
    EXPECT_FALSE(empty.stayedOpen);
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts[0], "Skpeコンタクト名を入力（選択）してください");
    EXPECT_EQ(boxes.texts[1].rfind("このノード名は使用できません。", 0), 0u);
    ASSERT_EQ(dlg->getConnectNum(), 2);
    EXPECT_EQ(cell(dlg->connectList(), 1, 0), "typed.id");
    EXPECT_EQ(cell(dlg->connectList(), 1, 2), "typed.id");
}

TEST_F(ConnectDialog, Delete)
{
    ini.rows = {{"ONE", "TCP", "one.example", ""}, {"TWO", "TCP", "two.example/43000", "x"}};
    start();
    {
        Boxes boxes;
        button(IDC_CONNECT_DELETE)->Click();
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], "削除する接続を選択してください。");
    }
    select(0);
    {
        Boxes boxes;
        boxes.yesNo = IDNO;
        button(IDC_CONNECT_DELETE)->Click();
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], "接続を削除しますか？");
        EXPECT_EQ(boxes.types[0], MB_YESNO);
        EXPECT_EQ(dlg->getConnectNum(), 2);
    }
    {
        Boxes boxes;
        button(IDC_CONNECT_DELETE)->Click();
        ASSERT_EQ(dlg->getConnectNum(), 1);
        EXPECT_EQ(row(0), (std::vector<std::string>{"TWO", "TCP", "two.example/43000", "x"}));
        EXPECT_EQ(connectNum(), 1);
        EXPECT_EQ(rec(1, "NAME"), "TWO");
        EXPECT_EQ(rec(1, "HOSTNAME"), "two.example/43000");
    }
}

TEST_F(ConnectDialog, TheButtonsAreLockedWhileALinkIsUp)
{
    ini.rows = {{"ONE", "TCP", "one.example", ""}};
    start();
    select(0);
    dlg->onConnectedChanged(1);
    dlg->onConnectedChanged(1); // a second link changes nothing
    for (int id : {IDC_SYSTEM_SETTINGS, IDC_CONNECT_ADD, IDC_CONNECT_CHANGE, IDC_CONNECT_DELETE}) {
        EXPECT_FALSE(button(id)->IsWindowEnabled()) << id;
        button(id)->Click();
        dlg->SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
    EXPECT_EQ(dlg->getConnectNum(), 1);
    dlg->onConnectedChanged(0);
    EXPECT_EQ(dlg->anyConnected(), 0);
    for (int id : {IDC_SYSTEM_SETTINGS, IDC_CONNECT_ADD, IDC_CONNECT_CHANGE, IDC_CONNECT_DELETE})
        EXPECT_TRUE(button(id)->IsWindowEnabled()) << id;
}

TEST_F(ConnectDialog, AContactIsNeverTakenForAnotherThatBeginsLikeIt)
{
    ContactSide side;
    side.add("bob.smith");
    side.add("bob");
    ini.rows = {{"BOB", "SKYPE", "bob", ""}};
    start();
    dlg->transfer().setSkypeSide(&side);
    select(0);
    OnDialog<CDialogConnectMethod> change([&](CDialogConnectMethod& d) {
        EXPECT_EQ(d.m_combo->GetCurSel(), 1);
        // The radio clicked again fills the list anew and keeps the choice.
        buttonOf(d, IDC_CON_SKYPE)->Click();
        EXPECT_EQ(d.m_combo->GetCurSel(), 1);
        EXPECT_EQ(textOf(d, IDC_CON_CONTACT), "bob");
        clickOk(d);
    });
    button(IDC_CONNECT_CHANGE)->Click();
    EXPECT_EQ(row(0), (std::vector<std::string>{"BOB", "SKYPE", "bob", ""}));
    // An ID typed in part still finds the first contact that begins with it.
    OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
        setText(d, IDC_CON_CONTACT, "BOB.S");
        buttonOf(d, IDC_CON_SKYPE)->Click();
        EXPECT_EQ(d.m_combo->GetCurSel(), 0);
        EXPECT_EQ(textOf(d, IDC_CON_CONTACT), "bob.smith");
    });
    button(IDC_CONNECT_ADD)->Click();
    dlg->transfer().setSkypeSide(nullptr);
}

TEST_F(ConnectDialog, NoMoreRowsThanTheSettingsFileReadsBack)
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
    ASSERT_EQ(dlg->getConnectNum(), 10);
    EXPECT_EQ(connectNum(), 10);

    // An eleventh row would be gone at the next start: refused before the
    // dialog opens.
    Boxes boxes;
    OnDialog<CDialogConnectMethod> eleventh([](CDialogConnectMethod& d) { clickOk(d); });
    button(IDC_CONNECT_ADD)->Click();
    EXPECT_EQ(eleventh.runs, 0);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "接続先は10件まで設定できます。");
    EXPECT_EQ(dlg->getConnectNum(), 10);
    EXPECT_EQ(connectNum(), 10);
}
