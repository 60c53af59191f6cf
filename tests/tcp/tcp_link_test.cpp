// Links of the connection model over real loopback sockets with a scripted
// peer: identification, what an unidentified link may do, party checks, the
// limits on pending and silent links, frame errors and the send queue.
#include "tcp_testkit.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

using namespace tcptest;

namespace {

class TcpLink : public TcpNodeTest {
protected:
    void SetUp() override
    {
        TcpNodeTest::SetUp();
        ASSERT_EQ(model->startListen(), 1);
    }
};

} // namespace

TEST_F(TcpLink, AcceptedLinkIsIdentifiedByItsFirstHello)
{
    ASSERT_TRUE(peer.connectTo(port));
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 1; }));
    EXPECT_EQ(model->pending()[0]->getNodeName(), "Pending");
    // The node's first hello comes at its first tick, not a period later.
    Frame hello;
    ASSERT_TRUE(peer.waitFrame(isHello, hello, 1000));
    EXPECT_EQ(listener.changes, 0) << "an accepted link is no change yet";

    peer.sendHello("B");
    ASSERT_TRUE(pumpUntil([&] { return listener.changes == 1 && noticeCount(1, POSTERROR_FREE_TEXT) == 1; }));
    EXPECT_TRUE(model->pending().empty());
    EXPECT_EQ(established("B")->getAddress(), "127.0.0.1");
    EXPECT_EQ(notices.back().text, "B" + cp932::fromUtf8("ノードとTCP接続が確立しました").value());

    peer.close();
    EXPECT_TRUE(pumpUntil([&] { return listener.changes == 2 && model->established().empty(); }))
        << "listeners hear of the close";
}

// Before its hello a link is not served: a poll and a file request are
// counted for the sequence and ignored, so nothing is taken from the queues.
TEST_F(TcpLink, UnidentifiedLinkIsNotServed)
{
    const CatalogRecord own = registerOwn("own.txt");
    ASSERT_TRUE(peer.connectTo(port));
    Frame f;
    ASSERT_TRUE(peer.waitFrame(isHello, f));
    peer.sendPoll();
    peer.sendRequest(own);
    peer.sendHello("B");
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 1; }));
    pumpFor(150);
    peer.readAvailable();
    while (peer.takeFrame(f))
        ADD_FAILURE() << "answered before the hello: " << headerOf(f).category << "/" << headerOf(f).command;
    peer.sendPoll();
    ASSERT_TRUE(peer.waitFrame(isRecords, f));
    EXPECT_EQ(headerOf(f).count, 1u) << "the entry is still waiting for B";
}

TEST_F(TcpLink, OtherPartyAtTheFirstHelloIsClosedUnannounced)
{
    ASSERT_TRUE(peer.connectTo(port));
    peer.sendHello("B", "Q");
    EXPECT_TRUE(peer.waitEnded());
    ASSERT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_PARTY_MISMATCH) == 1; }));
    EXPECT_EQ(noticeCount(1, POSTERROR_FREE_TEXT), 0);
    EXPECT_TRUE(model->established().empty());
    EXPECT_EQ(listener.changes, 0);
}

// A link dialled for a row and answered by another node name is refused,
// and the user hears once which row, which name it expected and which came;
// a refused accepted link has no row to name and is said on the console only.
TEST_F(TcpLink, ADialledRowAnsweredByAnotherNameIsRefusedAndSaidOnce)
{
    ScriptedPeer dialled;
    const int peerPort = dialled.listen();
    addTcpRow("C", peerPort);
    for (int attempt = 0; attempt < 2; ++attempt) {
        model->connect("C", "127.0.0.1", static_cast<UINT>(peerPort));
        ASSERT_TRUE(dialled.accept());
        dialled.sendHello("X");
        EXPECT_TRUE(dialled.waitEnded());
        ASSERT_TRUE(pumpUntil([&] { return model->pending().empty(); }));
    }
    ASSERT_TRUE(peer.connectTo(port));
    peer.sendHello("Y");
    EXPECT_TRUE(peer.waitEnded());
    pumpFor(50);
    ASSERT_EQ(noticeCount(POSTERROR_WARNING, POSTERROR_FREE_TEXT), 1);
    const std::string& said = notices.back().text;
    for (const char* part : {"[REC2]", "「C」", "「X」"})
        EXPECT_NE(said.find(cp932::fromUtf8(part).value()), std::string::npos) << part;
    EXPECT_TRUE(model->established().empty());
    EXPECT_EQ(noticeCount(1, POSTERROR_FREE_TEXT), 0);
}

// More frames in one read than the receive queue holds: reading pauses
// until the queue has room, and nothing is lost.
TEST_F(TcpLink, FullReceiveQueuePausesReadingInsteadOfLosingFrames)
{
    ASSERT_TRUE(identify(peer, "B"));
    peer.sendKeepAlives(3 * ZQ_QUE::SLOT_COUNT);
    peer.sendPoll();
    Frame answer;
    EXPECT_TRUE(peer.waitFrame(isRecords, answer));
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
    EXPECT_FALSE(established("B")->isReceivePaused());
}

// Links that never say hello cannot lock out a real neighbour: at the cap
// the one that has waited longest goes, and the newcomer is heard.
TEST_F(TcpLink, AtTheCapTheOldestSilentLinkMakesRoom)
{
    std::vector<std::unique_ptr<ScriptedPeer>> silent;
    for (int i = 0; i < CTcpA2AModel::MAX_UNIDENTIFIED_ACCEPTED; ++i) {
        silent.push_back(std::make_unique<ScriptedPeer>());
        ASSERT_TRUE(silent.back()->connectTo(port));
        ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == silent.size(); }));
    }
    ScriptedPeer neighbour;
    ASSERT_TRUE(neighbour.connectTo(port));
    EXPECT_TRUE(silent[0]->waitEnded()) << "the oldest silent link is closed";
    EXPECT_FALSE(silent[1]->waitEnded(100));
    neighbour.sendHello("B");
    EXPECT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 1; }));
    EXPECT_EQ(model->pending().size(), std::size_t(CTcpA2AModel::MAX_UNIDENTIFIED_ACCEPTED - 1));
}

// Frames other than the hello keep no link waiting, either way round; an
// established link that hears nothing is closed and announced.
TEST_F(TcpLink, PendingAndSilentLinksAreClosedAfterTheirTime)
{
    CTcpA2AModel::setTimeouts(std::chrono::milliseconds(300), std::chrono::milliseconds(600));
    ScriptedPeer outgoingEnd, silent, talking;
    const int peerPort = outgoingEnd.listen();
    addTcpRow("C", peerPort);
    ASSERT_TRUE(identify(talking, "B"));
    ASSERT_TRUE(pumpUntil([&] { return listener.changes == 1; }));
    ASSERT_TRUE(silent.connectTo(port));
    model->connect("C", "127.0.0.1", static_cast<UINT>(peerPort));
    ASSERT_TRUE(outgoingEnd.accept());
    for (int i = 0; i < 4; ++i) {
        silent.sendKeepAlives();
        talking.sendKeepAlives();
        pumpFor(100);
    }
    EXPECT_TRUE(silent.waitEnded(3000));
    EXPECT_TRUE(outgoingEnd.waitEnded(3000));
    EXPECT_TRUE(model->pending().empty());
    EXPECT_EQ(model->isConnected("B", ""), 1) << "a link that receives stays";

    const int before = listener.changes;
    EXPECT_TRUE(talking.waitEnded(3000));
    EXPECT_TRUE(pumpUntil([&] { return listener.changes == before + 1; })) << "the lost link is announced";
}

// Both nodes connect at once and each end may hear the hellos in any order;
// both keep the link opened by the node with the smaller name ("A" here).
class SimultaneousConnect : public TcpLink, public testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(SimultaneousConnect, LeavesExactlyOneLink)
{
    const auto& [peerName, acceptedHelloFirst] = GetParam();
    const char* name = peerName.c_str();
    const bool keepOutgoing = peerName > "A";
    ScriptedPeer outgoingEnd, acceptedEnd;
    const int peerPort = outgoingEnd.listen();
    addTcpRow(name, peerPort);
    model->connect(name, "127.0.0.1", static_cast<UINT>(peerPort));
    ASSERT_TRUE(acceptedEnd.connectTo(port));
    ASSERT_TRUE(outgoingEnd.accept());
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 2; }));
    Frame hello;
    ASSERT_TRUE(outgoingEnd.waitFrame(isHello, hello));
    ASSERT_TRUE(acceptedEnd.waitFrame(isHello, hello));
    (acceptedHelloFirst ? acceptedEnd : outgoingEnd).sendHello(name);
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected(name, "") == 1; }));
    (acceptedHelloFirst ? outgoingEnd : acceptedEnd).sendHello(name);

    EXPECT_TRUE((keepOutgoing ? acceptedEnd : outgoingEnd).waitEnded());
    EXPECT_TRUE(pumpUntil([&] { return model->pending().empty(); }));
    ASSERT_EQ(model->established().size(), 1u);
    EXPECT_EQ(model->established()[0]->getConnectType(), keepOutgoing ? "connect()" : "Accept");
    EXPECT_FALSE((keepOutgoing ? outgoingEnd : acceptedEnd).waitEnded(100));
}

INSTANTIATE_TEST_SUITE_P(Orders, SimultaneousConnect,
                         testing::Combine(testing::Values(std::string("C"), std::string("0")), testing::Bool()));

// Eleven records at most per answer: twelve are a frame error that closes
// the link, and none of them reaches the catalog.
TEST_F(TcpLink, AnAnswerOfTwelveRecordsIsAFrameError)
{
    CTcpSockStream::setHelloTicks(4);
    ASSERT_TRUE(identify(peer, "B"));
    Frame poll;
    ASSERT_TRUE(peer.waitFrame(isPoll, poll));
    constexpr DWORD n = 12;
    Frame answer(FRAME_HEADER_LEN + n * CATALOG_RECORD_SIZE, 0);
    ExchangeHeader h = headerOf(poll);
    h.command = COMMAND_CATALOGRECORDS;
    h.count = n;
    h.dataLen = static_cast<WORD>(n * CATALOG_RECORD_SIZE);
    std::memcpy(answer.data(), &h, sizeof h);
    for (DWORD i = 0; i < n; ++i) {
        const CatalogRecord rec =
            catalogtest::makeRec("B", ("f" + std::to_string(i)).c_str(), 10, CATALOG_STATE_NEW, "P");
        std::memcpy(answer.data() + FRAME_HEADER_LEN + i * CATALOG_RECORD_SIZE, &rec, sizeof rec);
    }
    peer.sendFrame(answer.data());
    EXPECT_TRUE(peer.waitEnded());
    EXPECT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_FRAME_ERROR) == 1; }));
    EXPECT_EQ(model->isConnected("B", ""), 0);
    EXPECT_EQ(CCatalog::getInstance()->getRecCount(), 0);
}

// The periodic hello and poll wait while fewer than 15 of the 20 send slots
// are free.
TEST_F(TcpLink, HelloWaitsForFifteenFreeSendSlots)
{
    ASSERT_TRUE(identify(peer, "B"));
    CTcpSockStream* s = established("B");
    ZQ_QUE& q = s->exchange().sendQueue();
    auto slot = std::make_unique<BYTE[]>(ZQ_QUE::SLOT_SIZE);
    while (q.dequeue(slot.get())) {
    }
    CTcpSockStream::setHelloTicks(0); // ticks driven by hand, no event loop
    for (int i = 0; i < 7; ++i)
        s->exchange().sendNodeInfo(0, SYSTEMTIME{});
    s->onTick(); // one frame leaves; 14 free: no hello
    EXPECT_EQ(q.freeCount(), 14);
    s->onTick(); // 15 free: hello and poll are queued
    EXPECT_EQ(q.freeCount(), 13);
    CTcpSockStream::setHelloTicks(CTcpSockStream::HELLO_TICKS);
}

TEST_F(TcpLink, EntriesTakenButNotSentGoBackToTheQueue)
{
    registerOwn("one.txt");
    registerOwn("two.txt");
    ASSERT_TRUE(identify(peer, "B"));
    SyncPollFrame poll{};
    buildSyncPollFrame(&poll);
    established("B")->exchange().replyCatalog("B", &poll);
    model->disconnect("B", ""); // before the answer is sent
    EXPECT_TRUE(peer.waitEnded());
    Frame f;
    while (peer.takeFrame(f))
        EXPECT_FALSE(isRecords(f)) << "the answer never left";

    ASSERT_TRUE(identify(peer, "B"));
    peer.sendPoll();
    ASSERT_TRUE(peer.waitFrame(isRecords, f));
    EXPECT_EQ(headerOf(f).count, 2u) << "both entries are sent again";
}

// A disk that takes its time holds neither the event loop nor the link's
// answers: while what an answer brought waits to reach the disk, the node
// answers the neighbour's poll and goes on polling as far as the answers
// before the last allow (the poll after the first answer vouches for none),
// the poll that needs that answer on the disk waits, and the link stays;
// once it is on the disk, that poll goes.
TEST_F(TcpLink, ASlowDiskHoldsNeitherTheEventLoopNorTheAnswers)
{
    registerOwn("mine.txt");
    std::mutex m;
    std::condition_variable cv;
    bool held = true;
    int waiting = 0;
    catalogtest::SyncHook hook([&](const std::string&) {
        std::unique_lock<std::mutex> lock(m);
        ++waiting;
        cv.wait(lock, [&] { return !held; });
        return 0;
    });
    const auto release = [&] {
        {
            std::lock_guard<std::mutex> lock(m);
            held = false;
        }
        cv.notify_all();
    };
    struct AtEnd {
        std::function<void()> f;
        ~AtEnd() { f(); }
    } atEnd{release};

    CTcpSockStream::setHelloTicks(4);
    ASSERT_TRUE(identify(peer, "B"));
    const auto answer = [&](const Frame& poll, const char* file) {
        Frame f(FRAME_HEADER_LEN + CATALOG_RECORD_SIZE, 0);
        ExchangeHeader h = headerOf(poll);
        h.command = COMMAND_CATALOGRECORDS;
        h.count = 1;
        h.dataLen = static_cast<WORD>(CATALOG_RECORD_SIZE);
        std::memcpy(f.data(), &h, sizeof h);
        const CatalogRecord rec = catalogtest::makeRec("B", file, 10, CATALOG_STATE_NEW, "P");
        std::memcpy(f.data() + FRAME_HEADER_LEN, &rec, sizeof rec);
        peer.sendFrame(f.data());
    };
    Frame poll;
    ASSERT_TRUE(peer.waitFrame(isPoll, poll));
    answer(poll, "b1.txt");
    ASSERT_TRUE(peer.waitFrame(isPoll, poll)) << "the poll after the first answer";
    answer(poll, "b2.txt");
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return waiting > 0;
    })) << "a sync under way";

    peer.skipped.clear();
    peer.sendPoll();
    Frame records;
    ASSERT_TRUE(peer.waitFrame(isRecords, records)) << "answered while the sync is held";
    EXPECT_EQ(headerOf(records).count, 1u);
    pumpFor(500); // ten ticks, two hellos with their periodic polls
    peer.readAvailable();
    for (Frame f; peer.takeFrame(f);)
        peer.skipped.push_back(std::move(f));
    EXPECT_TRUE(std::none_of(peer.skipped.begin(), peer.skipped.end(), isPoll)) << "no poll before b1 is on the disk";
    EXPECT_EQ(model->isConnected("B", ""), 1);
    EXPECT_EQ(CCatalog::getInstance()->getRecCount(), 3);

    release();
    EXPECT_TRUE(peer.waitFrame(isPoll, poll)) << "on the disk: the poll goes";
}
