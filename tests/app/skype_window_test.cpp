// The main window over the messaging-client link (an in-process carrier
// playing the client): the Skype state label, the contact list of the
// connection dialog, the own Skype ID, a "SKYPE" row connected once its
// contact is connectable, and IDs the dialog refuses.
#include "app/connect_dlg.h"
#include "dialog_testkit.h"
#include "skype/fake_api.h"
#include "skype/skype_com.h"

using namespace apptest;
using skypetest::CLIENT;
using skypetest::FakeApi;

namespace {

class SkypeWindow : public MainWindowTest {
protected:
    FakeApi* api = nullptr;

    void SetUp() override
    {
        MainWindowTest::SetUp();
        auto fake = std::make_unique<FakeApi>();
        api = fake.get();
        ZQ_SKYPECOM::useApi(std::move(fake));
    }
    // The latest unanswered call with that text.
    int callOf(const std::string& text) const
    {
        for (int i = static_cast<int>(api->calls.size()) - 1; i >= 0; --i)
            if (api->calls[static_cast<std::size_t>(i)].text == text && !api->calls[static_cast<std::size_t>(i)].answered)
                return i;
        return -1;
    }
    const std::string& label() const { return dlg->skypeStateText(); }
};

} // namespace

TEST_F(SkypeWindow, StateLabelContactsAndOwnIdFollowTheClient)
{
    ini.party = "P";
    ini.rows = {{"BOB", "SKYPE", "bob", ""}};
    start();
    ZQ_SKYPECOM* com = ZQ_SKYPECOM::existingInstance();
    ASSERT_NE(com, nullptr);

    api->setOwner(CLIENT);
    EXPECT_EQ(label(), "") << "the API being available changes no text";
    com->onNameWaitOver();
    EXPECT_EQ(label(), cp("SKYPEと認証中"));
    api->answer(callOf("NAME Yuvo"), "ERROR 68");
    EXPECT_EQ(label(), cp("SKYPEと切断"));
    com->onTimer();
    api->answer(callOf("NAME Yuvo"), "ERROR 5 busy");
    EXPECT_EQ(label(), cp("SKYPEと切断")) << "not available leaves the text";
    com->onTimer();
    api->answer(callOf("NAME Yuvo"), "OK");
    EXPECT_EQ(label(), cp("SKYPEと接続"));

    api->answer(callOf("SEARCH FRIENDS"), "USERS alice, bob");
    api->answer(callOf("GET CURRENTUSERHANDLE"), "CURRENTUSERHANDLE me");
    EXPECT_EQ(dlg->transfer().getSkypeId(), "me");
    OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
        ASSERT_EQ(d.m_combo->GetCount(), 2);
        EXPECT_EQ(d.m_combo->GetLBText(0), "alice");
        EXPECT_EQ(d.m_combo->GetLBText(1), "bob");
    });
    button(IDC_CONNECT_ADD)->Click();

    // Connectable: the next connect pass asks for a stream; the client's
    // stream list connects the row.
    api->answer(callOf("CREATE APPLICATION YUVO000P"), "CREATE APPLICATION YUVO000P");
    ASSERT_TRUE(api->notify("APPLICATION YUVO000P CONNECTABLE bob"));
    tick();
    EXPECT_EQ(api->count("ALTER APPLICATION YUVO000P CONNECT bob"), 1);
    ASSERT_TRUE(api->notify("APPLICATION YUVO000P STREAMS bob:1"));
    tick(3);
    EXPECT_EQ(cell(dlg->connectList(), 0, 3), cp("接続"));

    // The client goes: not attached, no contacts, no stream.
    api->setOwner("");
    EXPECT_EQ(label(), cp("SKYPEと未接続"));
    EXPECT_EQ(dlg->transfer().getContactCount(), 0);
    EXPECT_EQ(dlg->transfer().getSkypeId(), "");
    EXPECT_EQ(dlg->transfer().isConnected(0), 0);
}

TEST_F(SkypeWindow, AnIdThatWouldBreakACommandIsRefused)
{
    start();
    for (const char* id : {"bob smith", "bob,carol", "live:bob", "0123456789abcdef0123456789abcdefX"}) {
        Boxes boxes;
        OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
            buttonOf(d, IDC_CON_SKYPE)->Click();
            setText(d, IDC_CON_CONTACT, id);
            clickOk(d);
            EXPECT_EQ(d.GetFocusId(), IDC_CON_CONTACT) << id;
        });
        button(IDC_CONNECT_ADD)->Click();
        EXPECT_TRUE(add.stayedOpen) << id;
        EXPECT_EQ(boxes.texts, std::vector<std::string>{CDialogConnectMethod::SKYPE_ID_REFUSAL}) << id;
    }
    EXPECT_EQ(dlg->getConnectNum(), 0);
}
