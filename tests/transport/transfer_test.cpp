// The transport facade: rows routed by their transport word, the "-SERVER"
// and "-CLIENT" switches, listening and its retry, and whether any row is
// connected.
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
    int getStatus() override { return 1; }
    int isConnectable(const char* id) override { return calls.push_back(std::string("reachable ") + id), 1; }
    int isConnected(const char* id) override { return calls.push_back(std::string("connected ") + id), 0; }
    void connect(const char* id) override { calls.push_back(std::string("connect ") + id); }
    void disconnect(const char* id) override { calls.push_back(std::string("disconnect ") + id); }
    void requestSync(const char* id, int mode, SYSTEMTIME) override
    {
        calls.push_back(std::string("sync ") + id + " " + std::to_string(mode));
    }
    void linkLost() override {}
};

class RecordingListener : public CTransferListener {
public:
    std::vector<int> connected;
    void onCatalogAdd(const CatalogRecord*) override {}
    void onCatalogUpdate(int, const CatalogRecord*) override {}
    void onCatalogClear() override {}
    void onEventLog(int, int) override {}
    void onSkypeStateChanged() override {}
    void onModelChanged() override {}
    void onConnectionsChanged() override {}
    void onConnectedChanged(int any) override { connected.push_back(any); }
};

// Rows: 0 TCP "B", 1 SKYPE "S" (id "sk.id"), 2 "tcp" (lower case), 3 "MAIL",
// 4 and 5 TCP rows whose HOSTNAME names no usable host and port.
class Transfer : public TcpNodeTest {
protected:
    std::unique_ptr<CTransfer> transfer;
    RecordingListener events;
    RecordingSide side;

    void SetUp() override
    {
        TcpNodeTest::SetUp();
        CTcpA2AModel::releaseInstance(); // the facade makes its own
        settings->addRow("S", "SKYPE", "sk.id");
        settings->addRow("L", "tcp", "127.0.0.1");
        settings->addRow("M", "MAIL", "127.0.0.1");
        settings->addRow("H", "TCP", "127.0.0.1:43000");
        settings->addRow("P", "TCP", "127.0.0.1/70000");
        transfer = std::make_unique<CTransfer>();
        transfer->addListener(&events);
        transfer->initialize(nullptr);
        model = CTcpA2AModel::getInstance();
    }

    void TearDown() override
    {
        transfer.reset();
        TcpNodeTest::TearDown();
    }
};

} // namespace

TEST_F(Transfer, RowsGoToTheTransportTheyNameWithinTheSwitches)
{
    EXPECT_EQ(transfer->isReachable(1), 0) << "no messaging client: nothing reachable";
    transfer->setSkypeSide(&side);
    transfer->isReachable(1);
    transfer->isConnected(1);
    transfer->connect(1);
    transfer->requestSync(1, 2, SYSTEMTIME{});
    transfer->disconnect(1);
    EXPECT_EQ(side.calls, (std::vector<std::string>{"reachable sk.id", "connected sk.id", "connect sk.id",
                                                    "sync sk.id 2", "disconnect sk.id"}));
    side.calls.clear();
    // Words other than the two exact ones, and hosts that are not dialled
    // rather than dialled at another port.
    for (int row : {2, 3, 4, 5}) {
        EXPECT_EQ(transfer->isReachable(row), 0);
        transfer->connect(row);
    }
    EXPECT_TRUE(side.calls.empty());
    EXPECT_TRUE(model->pending().empty());

    ScriptedPeer peerEnd;
    settings->rows.setRecHostName(0, ("127.0.0.1/" + std::to_string(peerEnd.listen())).c_str());
    settings->switches.serverOnly = 1;
    transfer->connect(0);
    EXPECT_TRUE(model->pending().empty()) << "-SERVER never connects";
    settings->switches.serverOnly = 0;
    settings->switches.clientOnly = 1;
    transfer->startListen();
    EXPECT_EQ(transfer->isListening(), 1);
    EXPECT_FALSE(model->isListening()) << "-CLIENT listens nowhere";
    transfer->connect(0);
    ASSERT_EQ(model->pending().size(), 1u);
    EXPECT_EQ(model->pending()[0]->getNodeName(), "B");
    transfer->stopListen();
    EXPECT_TRUE(model->pending().empty()) << "and still stops pending links";
}

TEST_F(Transfer, FailedListenIsTriedAgainAndConnectionsAreTold)
{
    auto holder = std::make_unique<ScriptedPeer>();
    settings->listenPort = port = holder->listen();
    transfer->startListen();
    EXPECT_EQ(transfer->isListening(), 0) << "a failed listen is no success";
    holder.reset();
    transfer->startListen();
    EXPECT_EQ(transfer->isListening(), 1);

    ASSERT_TRUE(identify(peer, "B"));
    ASSERT_TRUE(pumpUntil([&] { return events.connected == std::vector<int>{1}; }));
    peer.close();
    EXPECT_TRUE(pumpUntil([&] { return events.connected == std::vector<int>{1, 0}; }));
}

// "-SERVER" stops only outgoing links: disconnect still closes an
// established link of the row.
TEST_F(Transfer, DisconnectClosesALinkAlsoUnderServerOnly)
{
    transfer->startListen();
    ASSERT_TRUE(identify(peer, "B"));
    ASSERT_TRUE(pumpUntil([&] { return events.connected == std::vector<int>{1}; }));
    settings->switches.serverOnly = 1;
    EXPECT_EQ(transfer->isConnected(0), 1);
    transfer->disconnect(0);
    EXPECT_TRUE(peer.waitEnded());
    EXPECT_EQ(transfer->isConnected(0), 0);
    EXPECT_EQ(events.connected, (std::vector<int>{1, 0}));
}

// With no rows at all nothing is connected or reachable, and a change of
// the connections tells the listeners so.
TEST_F(Transfer, WithNoRowsAChangeTellsNothingIsConnected)
{
    while (settings->rows.removeRow(0)) {
    }
    EXPECT_EQ(transfer->isConnected(0), 0);
    EXPECT_EQ(transfer->isReachable(0), 0);
    transfer->connect(0);
    EXPECT_TRUE(model->pending().empty());
    transfer->onConnectionsChanged();
    EXPECT_EQ(events.connected, std::vector<int>{0});
}
