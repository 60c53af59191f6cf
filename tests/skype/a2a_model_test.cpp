// App-to-app applications: the slot's states, its stream, sending and
// received lists, what comes from outside and is refused, and streams that
// go while they are at work.
#include "skype/skype_testkit.h"

using namespace skypetest;

namespace {

class A2AModel : public SkypeAppTest {
protected:
    std::string cmd(const std::string& rest) const { return std::string("ALTER APPLICATION ") + APP_NAME + " " + rest; }
    std::vector<std::string> keys()
    {
        std::vector<std::string> k;
        for (ZQ_SKYPESTREAM* s : slot().streams())
            k.push_back(s ? s->key() : "-");
        return k;
    }
};

} // namespace

TEST_F(A2AModel, SlotStateFollowsTheEchoesAndAsksForConnectablesWhileCreated)
{
    const std::string query = std::string("GET APPLICATION ") + APP_NAME + " CONNECTABLE";
    tick(301);
    EXPECT_EQ(api->count(query), 0) << "never in state 0";
    attach();
    ASSERT_TRUE(api->notify("CREATE APPLICATION YUVO000Q"));
    EXPECT_EQ(slot().getState(), 0) << "an echo for another name";
    ASSERT_TRUE(api->notify(std::string("CREATE APPLICATION ") + APP_NAME));
    EXPECT_EQ(slot().getState(), 1);
    EXPECT_EQ(api->count(query), 1) << "asked at the echo";
    ASSERT_TRUE(notifyApp("CONNECTABLE bob"));
    ASSERT_TRUE(api->notify("USERS bob, carol"));
    ASSERT_TRUE(notifyApp("CONNECTABLE bob"));
    EXPECT_EQ(model->isConnectable(0, "bob"), 1);
    EXPECT_EQ(model->isConnectable(0, "carol"), 0);

    ASSERT_TRUE(notifyApp("STREAMS bob:1"));
    EXPECT_EQ(slot().getState(), 2);
    ASSERT_TRUE(notifyApp("STREAMS"));
    EXPECT_EQ(slot().getState(), 1);
    EXPECT_TRUE(keys().empty());

    // Repeated every 301 ticks (the count went on since the start).
    const int before = api->count(query);
    tick(301);
    EXPECT_EQ(api->count(query), before + 1);

    ASSERT_TRUE(notifyApp("STREAMS bob:1"));
    a2a->deleteApplications();
    ASSERT_TRUE(api->notify(std::string("DELETE APPLICATION ") + APP_NAME));
    EXPECT_EQ(slot().getState(), 0);
    EXPECT_EQ(keys(), std::vector<std::string>{"bob:1"}) << "the streams stay";

    const std::size_t calls = api->calls.size();
    a2a->closeAllStreams();
    EXPECT_TRUE(keys().empty());
    EXPECT_EQ(api->calls.size(), calls) << "no command when all streams go";
}

TEST_F(A2AModel, StreamListKeepsKnownAddsAcceptedDropsTheRest)
{
    createApplication();
    ASSERT_TRUE(notifyApp("STREAMS bob:1 carol:2 bob:3"));
    EXPECT_EQ(keys(), (std::vector<std::string>{"bob:1", "carol:2", "bob:3"}));
    facade.changes = 0;
    ASSERT_TRUE(notifyApp("STREAMS bob:1 bob:3"));
    EXPECT_EQ(keys(), (std::vector<std::string>{"bob:1", "-", "bob:3"}));
    EXPECT_EQ(facade.changes, 1);

    // Known, new (into the free entry, named twice), and one gone.
    facade.changes = 0;
    const std::size_t from = api->calls.size();
    ASSERT_TRUE(notifyApp("STREAMS bob:1, carol:4 carol:4 dave:5"));
    EXPECT_EQ(keys(), (std::vector<std::string>{"bob:1", "carol:4", "-"}));
    EXPECT_EQ(facade.changes, 2) << "once for the addition, once for the removal";
    EXPECT_EQ(api->texts(from), std::vector<std::string>{cmd("DISCONNECT dave:5")}) << "no row for dave";
    EXPECT_EQ(a2a->isConnected(0, "carol"), 1);
    EXPECT_EQ(a2a->isConnected(5, "carol"), 0);

    // Malformed lists change nothing at all.
    for (const char* bad : {"STREAMS bob:1 carol", "STREAMS bob:1 ", "STREAMS bob:1 carol:-4", "STREAMS bob:x1",
                            "STREAMS bob:1 carol:4z", "STREAMS bob:1 carol:"}) {
        ASSERT_TRUE(notifyApp(bad));
        EXPECT_EQ(keys(), (std::vector<std::string>{"bob:1", "carol:4", "-"})) << bad;
    }

    settings->online = false;
    const std::size_t off = api->calls.size();
    ASSERT_TRUE(notifyApp("STREAMS bob:1 carol:4 bob:9"));
    EXPECT_EQ(api->texts(off), std::vector<std::string>{cmd("DISCONNECT bob:9")}) << "offline: refused";

    // An ID that cannot be named in a command is neither taken nor named.
    settings->online = true;
    settings->addRow("x", "SKYPE", std::string(40, 'x').c_str());
    const std::size_t idFrom = api->calls.size();
    ASSERT_TRUE(notifyApp("STREAMS bob:1 carol:4 " + std::string(40, 'x') + ":6"));
    EXPECT_EQ(api->calls.size(), idFrom);
    EXPECT_EQ(slot().streamCount(), 2);
}

TEST_F(A2AModel, AtMostSixtyFourStreamsPerSlot)
{
    createApplication();
    std::string list = "STREAMS";
    for (int i = 1; i <= 65; ++i)
        list += " bob:" + std::to_string(i);
    const std::size_t from = api->calls.size();
    ASSERT_TRUE(notifyApp(list));
    EXPECT_EQ(slot().streamCount(), 64);
    EXPECT_EQ(api->texts(from), std::vector<std::string>{cmd("DISCONNECT bob:65")});

    // A list that names 64 other streams only: the old ones go, the new
    // ones are taken.
    list = "STREAMS";
    for (int i = 1; i <= 64; ++i)
        list += " carol:" + std::to_string(i);
    const std::size_t next = api->calls.size();
    ASSERT_TRUE(notifyApp(list));
    EXPECT_EQ(slot().streamCount(), 64);
    EXPECT_EQ(a2a->isConnected(0, "bob"), 0);
    EXPECT_EQ(api->calls.size(), next) << "none refused";
}

TEST_F(A2AModel, SendingAndReceivedListsReadyTheStreamsAndReadOneAtATime)
{
    createApplication();
    ASSERT_TRUE(notifyApp("STREAMS bob:1 carol:2"));
    tick(2); // each stream writes its hello and waits
    ASSERT_EQ(stream("bob:1")->isReadyToSend(), 0);
    ASSERT_EQ(stream("carol:2")->isReadyToSend(), 0);
    ASSERT_TRUE(notifyApp("SENDING bob:1=10"));
    EXPECT_EQ(stream("bob:1")->isReadyToSend(), 0);
    ASSERT_TRUE(notifyApp("SENDING"));
    EXPECT_EQ(stream("bob:1")->isReadyToSend(), 1);
    EXPECT_EQ(stream("carol:2")->isReadyToSend(), 1);

    const std::string read = cmd("READ carol:2");
    std::size_t from = api->calls.size();
    ASSERT_TRUE(notifyApp("RECEIVED carol:2=96 bob:1=96"));
    ASSERT_TRUE(notifyApp("RECEIVED carol:2=96 bob:1=96"));
    EXPECT_EQ(api->texts(from), std::vector<std::string>{read}) << "the first entry, once while unanswered";
    EXPECT_TRUE(slot().isReadPending("carol:2"));
    api->answer(-1, read + " ");
    EXPECT_FALSE(slot().isReadPending("carol:2"));
    ASSERT_TRUE(notifyApp("RECEIVED carol:2=96"));
    EXPECT_EQ(api->count(read, from), 2) << "asked again once answered";

    // A stream whose ID no command can name is never read; it does not hold
    // up the next.
    from = api->calls.size();
    ASSERT_TRUE(notifyApp("RECEIVED " + std::string(33, 'x') + ":3=96 bob:1=96"));
    EXPECT_EQ(api->texts(from), std::vector<std::string>{cmd("READ bob:1")});

    from = api->calls.size();
    for (const char* bad : {"RECEIVED", "RECEIVED bob:1", "RECEIVED bob:1=5 carol", "RECEIVED bob:-1=5",
                            "RECEIVED bob=1:5"}) {
        ASSERT_TRUE(notifyApp(bad));
    }
    EXPECT_EQ(api->calls.size(), from) << "empty or malformed received lists read nothing";
}

TEST_F(A2AModel, ConnectAndDisconnectGoByStreamsAndUsableIds)
{
    createApplication();
    std::size_t from = api->calls.size();
    EXPECT_EQ(a2a->connect(0, "bob"), 1);
    EXPECT_EQ(api->texts(from), std::vector<std::string>{cmd("CONNECT bob")});
    ASSERT_TRUE(notifyApp("STREAMS bob:1 bob:2"));
    from = api->calls.size();
    EXPECT_EQ(a2a->connect(0, "bob"), 1);
    EXPECT_EQ(api->calls.size(), from) << "a stream exists: nothing sent";
    EXPECT_EQ(a2a->connect(0, "bob WRITE carol:1 00"), 0);
    EXPECT_EQ(a2a->connect(0, "a:b"), 0);
    EXPECT_EQ(api->calls.size(), from) << "an ID that would break the command is never sent";
    a2a->disconnect(0, "bob");
    EXPECT_EQ(api->texts(from), (std::vector<std::string>{cmd("DISCONNECT bob:1"), cmd("DISCONNECT bob:2")}));
    EXPECT_EQ(slot().streamCount(), 2) << "until the client's list drops them";
}

TEST_F(A2AModel, AnApplicationNameThatIsNotOneWordLeavesTheSlotUnnamed)
{
    for (const char* party : {"my team", "a-b", "x.y", "tab\tbed"}) {
        testing::internal::CaptureStdout();
        a2a->setApplicationName(0, (std::string("YUVO000") + party).c_str());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(slot().name(), "") << party;
        EXPECT_NE(out.find("no links over the messaging client"), std::string::npos) << party;
    }
    attach();
    ASSERT_TRUE(api->notify("USERS bob"));
    EXPECT_EQ(api->count("CREATE APPLICATION"), 0);
    const std::size_t from = api->calls.size();
    EXPECT_EQ(a2a->connect(0, "bob"), 0);
    EXPECT_EQ(api->calls.size(), from);

    a2a->setApplicationName(0, "YUVO000\x93\xfa\x96\x7b"); // a party of double-byte characters
    EXPECT_EQ(slot().name(), "YUVO000\x93\xfa\x96\x7b");
}

TEST_F(A2AModel, AStreamDroppedWhileAtWorkGoesWhenItsWorkIsDone)
{
    createApplication();
    ASSERT_TRUE(notifyApp("STREAMS bob:1 carol:2"));
    tick(); // hello and poll queued
    // The client goes unseen: the next write finds no client, the link is
    // lost and the facade drops every stream, the writing one included.
    com->onAttach(ZQ_SKYPECOM::ATTACH_REFUSED, "");
    tick();
    EXPECT_EQ(slot().streamCount(), 0);
    EXPECT_EQ(slot().getState(), 0);

    // Same inside the read handling: a frame out of sequence is answered
    // with DISCONNECT, which finds no client.
    com->onAttach(ZQ_SKYPECOM::ATTACH_SUCCESS, CLIENT);
    ASSERT_TRUE(notifyApp("STREAMS bob:1"));
    PeerFrames peer;
    peer.skip();
    const std::string frame = peer.keepAlive();
    com->onAttach(ZQ_SKYPECOM::ATTACH_NOT_AVAILABLE, "");
    slot().onAlterReply(("READ bob:1 " + frame).c_str());
    EXPECT_EQ(slot().streamCount(), 0);
}
