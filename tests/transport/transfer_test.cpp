// The transport facade: rows routed by their transport word, the null
// messaging-client side, the "-SERVER" and "-CLIENT" switches, listening
// and its retry, and the events passed on to the facade's listeners.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tcp/tcp_testkit.h"
#include "transport/transfer.h"

using namespace tcptest;

namespace {

class RecordingSide : public CSkypeSide {
public:
    std::vector<std::string> calls;
    int connectable = 1;
    int connected = 0;

    int getStatus() override { return 1; }
    int isConnectable(const char* id) override
    {
        calls.push_back(std::string("isConnectable ") + id);
        return connectable;
    }
    int isConnected(const char* id) override
    {
        calls.push_back(std::string("isConnected ") + id);
        return connected;
    }
    void connect(const char* id) override { calls.push_back(std::string("connect ") + id); }
    void disconnect(const char* id) override { calls.push_back(std::string("disconnect ") + id); }
    void requestSync(const char* id, int mode, SYSTEMTIME since) override
    {
        calls.push_back(std::string("requestSync ") + id + " " + std::to_string(mode) + " "
                        + std::to_string(since.wYear));
    }
    void linkLost() override { calls.push_back("linkLost"); }
};

class RecordingListener : public CTransferListener {
public:
    std::vector<std::string> events;
    void onCatalogAdd(const CatalogRecord*) override { events.push_back("add"); }
    void onCatalogUpdate(int row, const CatalogRecord*) override { events.push_back("update " + std::to_string(row)); }
    void onCatalogClear() override { events.push_back("clear"); }
    void onEventLog(int a, int b) override { events.push_back("log " + std::to_string(a) + " " + std::to_string(b)); }
    void onSkypeStateChanged() override { events.push_back("skypeState"); }
    void onModelChanged() override { events.push_back("model"); }
    void onConnectionsChanged() override { events.push_back("connections"); }
    void onConnectedChanged(int any) override { events.push_back("connected " + std::to_string(any)); }

    int count(const std::string& e) const
    {
        int n = 0;
        for (const std::string& x : events)
            n += x == e;
        return n;
    }
};

// The facade of node "A" with rows: 0 SKYPE "S" (id "sk.id"), 1 TCP "B",
// 2 "tcp" (lower case) "L", 3 "MAIL" "M".
class Transfer : public TcpNodeTest {
protected:
    std::unique_ptr<CTransfer> transfer;
    RecordingListener events;
    RecordingSide side;

    void SetUp() override
    {
        TcpNodeTest::SetUp();
        CTcpA2AModel::releaseInstance(); // the facade makes its own
        model = nullptr;
        g_bServerOnly = 0;
        g_bClientOnly = 0;
        settings->addRow("S", "SKYPE", "sk.id");
        addTcpRow("B");
        settings->addRow("L", "tcp", "127.0.0.1");
        settings->addRow("M", "MAIL", "127.0.0.1");
        transfer = std::make_unique<CTransfer>();
        transfer->addListener(&events);
        transfer->initialize(nullptr);
        model = CTcpA2AModel::getInstance();
    }

    void TearDown() override
    {
        transfer.reset();
        model = nullptr;
        g_bServerOnly = 0;
        g_bClientOnly = 0;
        TcpNodeTest::TearDown();
    }

    bool canConnect()
    {
        ScriptedPeer probe;
        return probe.connectTo(port);
    }
};

} // namespace

TEST_F(Transfer, NullMessagingSideIsNeverReachableOrConnected)
{
    EXPECT_EQ(transfer->getSkypeStatus(), 0);
    EXPECT_EQ(transfer->getContactCount(), 0);
    EXPECT_EQ(transfer->getContact(0), nullptr);
    EXPECT_EQ(transfer->getSkypeId(), "");
    EXPECT_EQ(transfer->isReachable(0), 0);
    EXPECT_EQ(transfer->isConnected(0), 0);
    transfer->connect(0);
    transfer->disconnect(0);
    transfer->requestSync(0, 1, SYSTEMTIME{});
    EXPECT_TRUE(model->pending().empty());
}

TEST_F(Transfer, RowsGoToTheTransportTheyName)
{
    transfer->setSkypeSide(&side);
    SYSTEMTIME since{};
    since.wYear = 2010;
    EXPECT_EQ(transfer->getSkypeStatus(), 1);
    EXPECT_EQ(transfer->isReachable(0), 1);
    EXPECT_EQ(transfer->isConnected(0), 0);
    transfer->connect(0);
    transfer->requestSync(0, 2, since);
    transfer->disconnect(0);
    EXPECT_EQ(side.calls, (std::vector<std::string>{"isConnectable sk.id", "isConnected sk.id", "connect sk.id",
                                                    "requestSync sk.id 2 2010", "disconnect sk.id"}));
    side.calls.clear();

    // TCP: always reachable; links found by the row's node name.
    EXPECT_EQ(transfer->isReachable(1), 1);
    EXPECT_EQ(transfer->isConnected(1), 0);
    ScriptedPeer peer;
    const int peerPort = peer.listen();
    settings->rows.setRecHostName(1, ("127.0.0.1/" + std::to_string(peerPort)).c_str());
    transfer->connect(1);
    ASSERT_EQ(model->pending().size(), 1u);
    EXPECT_EQ(model->pending()[0]->getNodeName(), "B");
    ASSERT_TRUE(peer.accept());
    peer.sendHello("B");
    ASSERT_TRUE(pumpUntil([&] { return transfer->isConnected(1) == 1; }));
    CTcpSockStream::setHelloTicks(2);
    transfer->requestSync(1, 1, since);
    Frame hello;
    EXPECT_TRUE(peer.waitFrame(
        [](const Frame& f) { return isHello(f) && reinterpret_cast<const NodeInfoFrame*>(f.data())->syncMode == 1; },
        hello));
    transfer->disconnect(1);
    EXPECT_TRUE(peer.waitEnded());
    EXPECT_EQ(transfer->isConnected(1), 0);

    // Words other than the two exact ones: nothing at all.
    side.calls.clear();
    for (int row : {2, 3}) {
        EXPECT_EQ(transfer->isReachable(row), 0);
        EXPECT_EQ(transfer->isConnected(row), 0);
        transfer->connect(row);
        transfer->requestSync(row, 1, since);
        transfer->disconnect(row);
    }
    EXPECT_TRUE(side.calls.empty());
    EXPECT_TRUE(model->pending().empty());
}

TEST_F(Transfer, ServerOnlyNeverConnectsButStillDisconnects)
{
    g_bServerOnly = 1;
    transfer->startListen();
    ScriptedPeer peer;
    ASSERT_TRUE(identify(peer, "B"));
    transfer->connect(1);
    EXPECT_TRUE(model->pending().empty());
    transfer->disconnect(1);
    EXPECT_TRUE(peer.waitEnded());
    EXPECT_EQ(transfer->isConnected(1), 0);
}

TEST_F(Transfer, ClientOnlyListensNowhereAndStillStopsPendingLinks)
{
    g_bClientOnly = 1;
    transfer->startListen();
    EXPECT_EQ(transfer->isListening(), 1);
    EXPECT_FALSE(model->isListening());
    EXPECT_FALSE(canConnect());

    ScriptedPeer peer;
    const int peerPort = peer.listen();
    settings->rows.setRecHostName(1, ("127.0.0.1/" + std::to_string(peerPort)).c_str());
    transfer->connect(1);
    ASSERT_EQ(model->pending().size(), 1u);
    transfer->stopListen();
    EXPECT_EQ(transfer->isListening(), 0);
    EXPECT_TRUE(model->pending().empty()) << "the model's stop ran all the same";
}

TEST_F(Transfer, ListensOnceFailedListenIsTriedAgainAndStopEnds)
{
    auto holder = std::make_unique<ScriptedPeer>();
    settings->listenPort = holder->listen();
    port = settings->listenPort;
    transfer->startListen();
    EXPECT_EQ(transfer->isListening(), 0) << "a failed listen is no success";
    transfer->startListen();
    EXPECT_EQ(transfer->isListening(), 0);
    holder.reset(); // the port is free again
    transfer->startListen();
    transfer->startListen(); // listening already: no second listener
    EXPECT_EQ(transfer->isListening(), 1);
    EXPECT_TRUE(canConnect());

    // Stopped, and listening again.
    transfer->stopListen();
    EXPECT_EQ(transfer->isListening(), 0);
    EXPECT_FALSE(model->isListening());
    transfer->startListen();
    EXPECT_TRUE(canConnect());
}

TEST_F(Transfer, ConnectionChangesTellWhetherAnyRowIsConnected)
{
    transfer->startListen();
    ScriptedPeer peer;
    ASSERT_TRUE(identify(peer, "B"));
    ASSERT_TRUE(pumpUntil([&] { return events.count("connected 1") == 1; }));
    EXPECT_EQ(events.events.back(), "connected 1");
    EXPECT_EQ(events.events[events.events.size() - 2], "connections");

    // The peer goes: the window's buttons are unlocked again.
    peer.close();
    ASSERT_TRUE(pumpUntil([&] { return events.count("connected 0") == 1; }));
    EXPECT_EQ(events.events[events.events.size() - 2], "connections");

    // No rows at all: nothing connected.
    while (settings->rows.getConnectNum() > 0)
        settings->rows.removeRow(0);
    events.events.clear();
    transfer->onConnectionsChanged();
    EXPECT_EQ(events.events, (std::vector<std::string>{"connections", "connected 0"}));
}

TEST_F(Transfer, CatalogAndClientEventsReachTheListeners)
{
    transfer->setSkypeSide(&side);
    CatalogRecord rec{};
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&rec);
    ZQ_EVENTCATALOG::getInstance()->fireRecordAt(4, &rec);
    ZQ_EVENTCATALOG::getInstance()->fireReset();
    transfer->onEvent(1, 2);
    transfer->onModelChanged();
    transfer->onStatus(2);
    transfer->onStatus(0);
    EXPECT_EQ(events.events, (std::vector<std::string>{"add", "update 4", "clear", "log 1 2", "model", "skypeState",
                                                       "skypeState"}));
    EXPECT_EQ(side.calls, (std::vector<std::string>{"linkLost"})) << "after the listeners heard of it";
}

TEST_F(Transfer, ReleaseTwiceFindsNothingLeft)
{
    transfer->startListen();
    transfer->release();
    EXPECT_EQ(transfer->isListening(), 0);
    EXPECT_FALSE(canConnect());
    transfer->release();
}
