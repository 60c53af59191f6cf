// The main window against the client simulator, a real process on a private
// session bus: the Skype state label follows the client through a wait, a
// restart and a refusal, and the connection dialog lists the contacts the
// client names.
#include <cstdlib>

#include "app/connect_dlg.h"
#include "dialog_testkit.h"
#include "sim_harness.h"

using namespace apptest;

namespace {

class ClientWindow : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        ASSERT_FALSE(skypesim::dbusDaemonPath().empty()) << "dbus-daemon is missing; scripts/test.sh installs it";
        bus = std::make_unique<skypesim::PrivateBus>(simDir.file("bus"));
        // The node takes its bus from the environment when its link starts.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    }
    void TearDown() override
    {
        MainWindowTest::TearDown();
        if (sim && HasFailure())
            std::printf("----- simulator -----\n%s", sim->logTail(60).c_str());
        sim.reset();
        bus.reset();
    }
    void startSim(const std::string& attach)
    {
        sim = std::make_unique<skypesim::SimProcess>(simDir.path(),
                                                      std::vector<std::string>{"--user", "alice", "--bus", bus->address(),
                                                                               "--friends", "bob,carol", "--attach", attach,
                                                                               "--user", "bob", "--user", "carol", "--offline"});
        sim->setIdle([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); });
        ASSERT_TRUE(sim->ready()) << sim->logTail();
    }
    // Waits until the label shows text (UTF-8).
    bool labelShows(const char* text, int ms = 30000)
    {
        return uitest::waitUntil([&] { return dlg->skypeStateText() == cp(text); }, ms);
    }
    std::vector<std::string> dialogContacts()
    {
        std::vector<std::string> out;
        OnDialog<CDialogConnectMethod> add([&](CDialogConnectMethod& d) {
            buttonOf(d, IDC_CON_SKYPE)->Click();
            for (int i = 0; i < d.m_combo->GetCount(); ++i)
                out.push_back(d.m_combo->GetLBText(i));
        });
        button(IDC_CONNECT_ADD)->Click();
        return out;
    }

    testsupport::TempDir simDir;
    std::unique_ptr<skypesim::PrivateBus> bus;
    std::unique_ptr<skypesim::SimProcess> sim;
};

} // namespace

TEST_F(ClientWindow, LabelAndContactListShowWhatTheClientSays)
{
    startSim("wait:2500");
    ini.party = "P";
    ini.rows = {{"BOB", "SKYPE", "bob", ""}};
    start();
    // The client keeps the node waiting, then allows it.
    EXPECT_TRUE(labelShows("SKYPEと認証中")) << dlg->skypeStateText();
    ASSERT_TRUE(labelShows("SKYPEと接続")) << dlg->skypeStateText();
    ASSERT_TRUE(uitest::waitUntil([&] { return dlg->transfer().getSkypeId() == "alice"; }, 30000));
    EXPECT_EQ(dialogContacts(), (std::vector<std::string>{"bob", "carol"}));
    // A contact added in the client joins the list.
    EXPECT_EQ(sim->control("befriend alice dave"), "OK");
    ASSERT_TRUE(uitest::waitUntil([&] { return dlg->transfer().getContactCount() == 3; }, 30000));
    EXPECT_EQ(dialogContacts(), (std::vector<std::string>{"bob", "carol", "dave"}));

    // The client restarts and now refuses the program.
    EXPECT_EQ(sim->control("attach alice refuse"), "OK");
    EXPECT_EQ(sim->control("restart alice 1500"), "OK");
    EXPECT_TRUE(labelShows("SKYPEと未接続")) << dlg->skypeStateText();
    EXPECT_EQ(dlg->transfer().getContactCount(), 0);
    EXPECT_TRUE(labelShows("SKYPEと切断")) << dlg->skypeStateText();
    EXPECT_EQ(dialogContacts(), std::vector<std::string>{}) << "contacts of a client the node is not attached to";

    // Allowed again: the next discovery attaches.
    EXPECT_EQ(sim->control("attach alice allow"), "OK");
    EXPECT_TRUE(labelShows("SKYPEと接続")) << dlg->skypeStateText();
    EXPECT_TRUE(uitest::waitUntil([&] { return dlg->transfer().getContactCount() == 3; }, 30000));
}
