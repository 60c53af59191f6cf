// The connection dialog from the main window's list: refusals keep it open,
// hosts are judged as hosts and go through the dialog and back, a contact is
// found by its exact ID, and no more rows than the settings file reads back.
#include "app/connect_dlg.h"
#include "dialog_testkit.h"
#include "platform/profile.h"

using namespace apptest;

TEST_F(MainWindowTest, ConnectionRefusalsKeepTheDialogOpen)
{
    const std::string unusableNode = setting::NODE_NAME_REFUSAL;
    const std::string unusableHost = setting::HOST_REFUSAL;
    const std::string badPort = setting::portRefusal();
    const struct {
        const char* host;
        const char* node;
        const char* port; // nullptr: the port box stays unticked
        int focus;
        std::string message;
    } table[] = {
        {"", "PEER", nullptr, IDC_CON_HOST, "ホスト名を入力してください"},
        {"host", "", nullptr, IDC_CON_NODE_NAME, "接続先のノード名称を設定してください."},
        {"my host", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {" host", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"-host", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"300.1.1.1", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"1:2::x", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"[::1]", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"ホスト", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"host/0", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"host/x", "PEER", nullptr, IDC_CON_HOST, unusableHost},
        {"host/43000", "PEER", "43001", IDC_CON_HOST,
         "ポート番号はホスト名の後ろか「ポート番号設定を行う」のどちらか一方で指定してください。"},
        // Blanks at the ends would not read back from the settings file.
        {"host", " NODE_B", nullptr, IDC_CON_NODE_NAME, unusableNode},
        {"host", "NODE_B ", nullptr, IDC_CON_NODE_NAME, unusableNode},
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

// A host is kept as the row's "host/port" and comes back into the dialog
// as it went in: the host alone, the port box ticked with its port.
TEST_F(MainWindowTest, HostsAndPortsGoThroughTheDialogAndBack)
{
    const struct {
        const char* typed;
        const char* boxPort; // nullptr: the box stays unticked
        std::string stored;
        int port;
    } table[] = {
        {"catalog", nullptr, "catalog", 42000},
        {"node-b.example.org", "43000", "node-b.example.org/43000", 43000},
        {"192.168.10.20", nullptr, "192.168.10.20", 42000},
        {"::1", "42001", "::1/42001", 42001},
        {"fe80::1:2", nullptr, "fe80::1:2", 42000},
        {"PC_OSAKA/50000", nullptr, "PC_OSAKA/50000", 50000}, // a port typed after the host
    };
    start();
    Boxes boxes;
    for (const auto& c : table) {
        SCOPED_TRACE(c.typed);
        OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
            buttonOf(d, IDC_CON_TCP)->Click();
            setText(d, IDC_CON_HOST, c.typed);
            setText(d, IDC_CON_NODE_NAME, "PEER");
            setText(d, IDC_CON_COMMENT, "  大阪の共有 \t");
            if (c.boxPort) {
                buttonOf(d, IDC_CON_SET_PORT)->Click();
                setText(d, IDC_CON_PORT, c.boxPort);
            }
            clickOk(d);
        });
        button(IDC_CONNECT_ADD)->Click();
        ASSERT_FALSE(add.stayedOpen);
        const int row = dlg->getConnectNum() - 1;
        EXPECT_STREQ(dlg->getRecHostName(row), c.stored.c_str());
        EXPECT_EQ(dlg->getRecPort(row), c.port);
        // The comment is stored as the settings file will give it back.
        EXPECT_STREQ(dlg->getRecComment(row), cp("大阪の共有").c_str());

        // Opened again and confirmed unchanged: the same row, the port not doubled.
        const std::string host = c.stored.substr(0, c.stored.find('/'));
        const bool hasPort = c.stored.find('/') != std::string::npos;
        dlg->connectList().SetSelectionMark(row);
        OnDialog<CDialogConnectMethod> change([&](CDialogConnectMethod& d) {
            EXPECT_EQ(textOf(d, IDC_CON_HOST), host);
            EXPECT_EQ(buttonOf(d, IDC_CON_SET_PORT)->GetCheck(), hasPort ? BST_CHECKED : BST_UNCHECKED);
            EXPECT_EQ(textOf(d, IDC_CON_PORT), std::to_string(c.port));
            clickOk(d);
        });
        button(IDC_CONNECT_CHANGE)->Click();
        EXPECT_STREQ(dlg->getRecHostName(row), c.stored.c_str());
    }
    EXPECT_EQ(boxes.texts.size(), 2u) << "only the two port warnings";
    // What the file holds reads back the same.
    const std::string ini = dir.file("Yuvo.ini");
    char buf[300];
    platform::GetPrivateProfileStringA("REC4", "HOSTNAME", "", buf, sizeof buf, ini);
    EXPECT_STREQ(buf, "::1/42001");
    platform::GetPrivateProfileStringA("REC4", "COMMENT", "", buf, sizeof buf, ini);
    EXPECT_EQ(std::string(buf), cp("大阪の共有"));
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
    EXPECT_EQ(boxes.texts, std::vector<std::string>{setting::connectionRowsRefusal()});
    EXPECT_EQ(connectNum(), 10u);
}

// A row with an IPv6 address is linked over IPv6.
TEST_F(MainWindowTest, AnIpv6RowIsReachedOverIpv6)
{
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (listener >= 0)
            ::close(listener);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ::listen(listener, 4);
    socklen_t len = sizeof sa;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    ini.rows = {{"PEER", "TCP", "::1/" + std::to_string(ntohs(sa.sin6_port)), ""}};
    start();
    tick(); // the connect pass
    int accepted = -1;
    EXPECT_TRUE(uitest::waitUntil([&] { return (accepted = ::accept(listener, nullptr, nullptr)) >= 0; }));
    if (accepted >= 0)
        ::close(accepted);
    ::close(listener);
}
