// Links of the connection model over real loopback sockets, with a scripted
// peer: identification by the first hello both ways, refused and duplicate
// names, the simultaneous connect, party checks, what an unidentified link
// may do, the limits on pending and silent links.
#include "tcp_testkit.h"

using namespace tcptest;

namespace {

class TcpLink : public TcpNodeTest {
protected:
    void simultaneousConnect(const char* peer, bool acceptedHelloFirst, const char* keptType);
};

// Listening, with a row for B and the peer that plays B.
class TcpAccept : public ListeningNodeTest {};

std::string establishedNotice(const char* name)
{
    return name + cp932::fromUtf8("ノードとTCP接続が確立しました").value();
}

} // namespace

TEST_F(TcpAccept, AcceptedLinkIsIdentifiedByItsFirstHello)
{
    ASSERT_TRUE(peer.connectTo(port));
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 1; }));
    EXPECT_EQ(model->pending()[0]->getNodeName(), "Pending");
    EXPECT_EQ(model->pending()[0]->getConnectType(), "Accept");

    // The node's first hello comes at its first tick, not a period later.
    Frame hello;
    ASSERT_TRUE(peer.waitFrame(isHello, hello, 1000));
    EXPECT_EQ(helloName(hello), "A");
    EXPECT_EQ(helloParty(hello), "P");
    EXPECT_EQ(headerOf(hello).sequence, 0u);
    EXPECT_EQ(listener.changes, 0) << "an accepted link is no change yet";

    peer.sendHello("B");
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected("B", "elsewhere") == 1; }));
    EXPECT_TRUE(model->pending().empty());
    CTcpSockStream* s = established("B");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getAddress(), "127.0.0.1") << "the host of the matching row";
    EXPECT_EQ(s->getState(), CTcpSockStream::STATE_IDENTIFIED);
    ASSERT_TRUE(pumpUntil([&] { return listener.changes == 1 && noticeCount(1, POSTERROR_FREE_TEXT) == 1; }));
    for (const PostedNotice& n : notices) {
        if (n.lParam == POSTERROR_FREE_TEXT) {
            EXPECT_EQ(n.text, establishedNotice("B"));
        }
    }
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
}

TEST_F(TcpAccept, UnidentifiedLinkSaysHelloOnlyAndIdentifiedLinkAlsoPolls)
{
    CTcpSockStream::setHelloTicks(3);
    ASSERT_TRUE(peer.connectTo(port));
    Frame f;
    ASSERT_TRUE(peer.waitFrame(isHello, f));
    ASSERT_TRUE(peer.waitFrame(isHello, f)); // the next period: a hello again
    EXPECT_TRUE(peer.skipped.empty()) << "no poll before the peer is identified";

    peer.sendHello("B");
    ASSERT_TRUE(peer.waitFrame(isPoll, f));
    ASSERT_FALSE(peer.skipped.empty());
    EXPECT_TRUE(isHello(peer.skipped.back())) << "each period: the hello, then the poll";
}

TEST_F(TcpLink, OutgoingLinkIsIdentifiedByThePeersHello)
{
    ScriptedPeer peer;
    const int peerPort = peer.listen();
    addTcpRow("B", peerPort);
    model->connect("B", "127.0.0.1", static_cast<UINT>(peerPort));
    ASSERT_EQ(model->pending().size(), 1u);
    EXPECT_EQ(model->pending()[0]->getNodeName(), "B");
    EXPECT_EQ(model->pending()[0]->getConnectType(), "connect()");
    EXPECT_EQ(model->isConnected("B", ""), 0);

    // A second connect while one is under way does nothing.
    model->connect("B", "127.0.0.1", static_cast<UINT>(peerPort));
    EXPECT_EQ(model->pending().size(), 1u);

    ASSERT_TRUE(peer.accept());
    Frame hello;
    ASSERT_TRUE(peer.waitFrame(isHello, hello, 1000));
    EXPECT_EQ(helloName(hello), "A");
    peer.sendHello("B");
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 1; }));
    EXPECT_EQ(established("B")->getConnectType(), "connect()");

    model->connect("B", "127.0.0.1", static_cast<UINT>(peerPort));
    EXPECT_TRUE(model->pending().empty()) << "no second link to an established node";
}

TEST_F(TcpAccept, UnknownNamesAreRefused)
{
    settings->addRow("SK", "SKYPE", "skype.id");
    ScriptedPeer unknown, otherCase, skypeOnly;
    ASSERT_TRUE(unknown.connectTo(port));
    ASSERT_TRUE(otherCase.connectTo(port));
    ASSERT_TRUE(skypeOnly.connectTo(port));
    unknown.sendHello("C");
    otherCase.sendHello("b");
    skypeOnly.sendHello("SK");
    EXPECT_TRUE(unknown.waitEnded());
    EXPECT_TRUE(otherCase.waitEnded());
    EXPECT_TRUE(skypeOnly.waitEnded());
    EXPECT_TRUE(model->established().empty());
    EXPECT_TRUE(model->pending().empty());
    pumpFor(50);
    EXPECT_EQ(listener.changes, 0);
    EXPECT_TRUE(notices.empty()) << "a refusal is no notice to the user";
}

TEST_F(TcpAccept, SecondLinkOfAnEstablishedNodeIsDropped)
{
    ScriptedPeer first, second;
    ASSERT_TRUE(identify(first, "B"));
    CTcpSockStream* kept = established("B");
    const int keptId = kept->getId();

    ASSERT_TRUE(second.connectTo(port));
    second.sendHello("B");
    EXPECT_TRUE(second.waitEnded());
    ASSERT_EQ(model->established().size(), 1u);
    EXPECT_EQ(model->established()[0]->getId(), keptId);

    // The kept link goes on serving.
    first.sendPoll();
    Frame answer;
    EXPECT_TRUE(first.waitFrame(isRecords, answer));
}

// Both nodes connect at once: each holds an outgoing and an accepted link to
// the other, and each end may hear the hellos in any order. Both ends keep
// the link opened by the node with the smaller name, so exactly one link is
// left whatever the order.
void TcpLink::simultaneousConnect(const char* peer, bool acceptedHelloFirst, const char* keptType)
{
    ScriptedPeer outgoingEnd; // the peer's end of the node's outgoing link
    const int peerPort = outgoingEnd.listen();
    addTcpRow(peer, peerPort);
    ASSERT_EQ(model->startListen(), 1);

    model->connect(peer, "127.0.0.1", static_cast<UINT>(peerPort));
    ScriptedPeer acceptedEnd; // the peer's own outgoing link
    ASSERT_TRUE(acceptedEnd.connectTo(port));
    ASSERT_TRUE(outgoingEnd.accept());
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 2; }));

    Frame hello;
    ASSERT_TRUE(outgoingEnd.waitFrame(isHello, hello));
    ASSERT_TRUE(acceptedEnd.waitFrame(isHello, hello));
    ScriptedPeer& first = acceptedHelloFirst ? acceptedEnd : outgoingEnd;
    ScriptedPeer& second = acceptedHelloFirst ? outgoingEnd : acceptedEnd;
    first.sendHello(peer);
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected(peer, "") == 1; }));
    second.sendHello(peer);

    ScriptedPeer& dropped = std::string(keptType) == "Accept" ? outgoingEnd : acceptedEnd;
    ScriptedPeer& kept = std::string(keptType) == "Accept" ? acceptedEnd : outgoingEnd;
    EXPECT_TRUE(dropped.waitEnded());
    EXPECT_TRUE(pumpUntil([&] { return model->pending().empty(); }));
    ASSERT_EQ(model->established().size(), 1u);
    EXPECT_EQ(model->established()[0]->getConnectType(), keptType);
    kept.readAvailable();
    EXPECT_FALSE(kept.ended());
}

// The node is "A": towards "B" it keeps its own outgoing link, towards "0"
// the link "0" opened; either hello may come first.
TEST_F(TcpLink, SimultaneousConnectToALargerNameAcceptedHelloFirst) { simultaneousConnect("B", true, "connect()"); }
TEST_F(TcpLink, SimultaneousConnectToALargerNameOutgoingHelloFirst) { simultaneousConnect("B", false, "connect()"); }
TEST_F(TcpLink, SimultaneousConnectToASmallerNameAcceptedHelloFirst) { simultaneousConnect("0", true, "Accept"); }
TEST_F(TcpLink, SimultaneousConnectToASmallerNameOutgoingHelloFirst) { simultaneousConnect("0", false, "Accept"); }

// Another party closes the link: at the first hello before it is ever
// established or announced, at a later hello as a lost link.
TEST_F(TcpAccept, OtherPartyAtAnyHelloClosesTheLink)
{
    ScriptedPeer stranger;
    ASSERT_TRUE(stranger.connectTo(port));
    stranger.sendHello("B", "Q");
    EXPECT_TRUE(stranger.waitEnded());
    ASSERT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_PARTY_MISMATCH) == 1; }));
    EXPECT_EQ(noticeCount(1, POSTERROR_FREE_TEXT), 0) << "never announced as established";
    EXPECT_TRUE(model->established().empty());
    EXPECT_TRUE(model->pending().empty());
    EXPECT_EQ(listener.changes, 0);

    ASSERT_TRUE(identify(peer, "B"));
    ASSERT_TRUE(pumpUntil([&] { return listener.changes == 1; }));
    peer.sendHello("B", "Q");
    EXPECT_TRUE(peer.waitEnded());
    ASSERT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_PARTY_MISMATCH) == 2; }));
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
    EXPECT_EQ(model->isConnected("B", ""), 0);
    EXPECT_TRUE(pumpUntil([&] { return listener.changes == 2; })) << "the lost link is announced";
}

// Before its hello a link is not served: a poll and a file request are
// counted for the sequence and ignored, so nothing is taken from the queues.
TEST_F(TcpAccept, UnidentifiedLinkIsNotServed)
{
    const CatalogRecord own = registerOwnFile("own.txt", "own content");
    ASSERT_TRUE(peer.connectTo(port));
    Frame f;
    ASSERT_TRUE(peer.waitFrame(isHello, f)); // the node's first tick is over
    peer.sendPoll();
    peer.sendRequest(own, 0);
    peer.sendKeepAlive();
    peer.sendHello("B"); // sequence 3: the frames before it were counted
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 1; }));
    pumpFor(150);
    peer.readAvailable();
    while (peer.takeFrame(f))
        ADD_FAILURE() << "a frame answered before the peer said hello: " << headerOf(f).category << "/"
                      << headerOf(f).command;

    peer.sendPoll();
    ASSERT_TRUE(peer.waitFrame(isRecords, f));
    EXPECT_EQ(headerOf(f).count, 1u) << "the entry is still waiting for B";
}

TEST_F(TcpLink, SyncRequestOfTheFirstHelloIsKept)
{
    const CatalogRecord own = registerOwnFile("own.txt", "own content"); // no row yet: queued to nobody
    addTcpRow("B");
    ASSERT_EQ(model->startListen(), 1);
    ScriptedPeer peer;
    ASSERT_TRUE(peer.connectTo(port));
    peer.sendHello("B", "P", 1);
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 1; }));
    peer.sendPoll();
    Frame f;
    ASSERT_TRUE(peer.waitFrame(isRecords, f));
    ASSERT_EQ(headerOf(f).count, 1u);
    const auto* records = reinterpret_cast<const CatalogRecordsFrame*>(f.data());
    EXPECT_TRUE(CCatalog::isSameKey(&records->records[0], &own));
}

TEST_F(TcpAccept, AcceptedLinksWithoutHelloAreCapped)
{
    std::vector<std::unique_ptr<ScriptedPeer>> peers;
    for (int i = 0; i < CTcpA2AModel::MAX_UNIDENTIFIED_ACCEPTED; ++i) {
        peers.push_back(std::make_unique<ScriptedPeer>());
        ASSERT_TRUE(peers.back()->connectTo(port));
    }
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 16u; }));
    ScriptedPeer extra;
    ASSERT_TRUE(extra.connectTo(port));
    EXPECT_TRUE(extra.waitEnded());
    EXPECT_EQ(model->pending().size(), 16u);

    // Room again once one of them is gone.
    peers.front()->close();
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 15u; }));
    ScriptedPeer later;
    ASSERT_TRUE(later.connectTo(port));
    EXPECT_TRUE(pumpUntil([&] { return model->pending().size() == 16u; }));
}

TEST_F(TcpLink, LinkWithoutHelloIsClosedAfterItsTime)
{
    CTcpA2AModel::setTimeouts(std::chrono::milliseconds(300), std::chrono::milliseconds(60000));
    ScriptedPeer outgoingEnd;
    const int peerPort = outgoingEnd.listen();
    addTcpRow("B", peerPort);
    ASSERT_EQ(model->startListen(), 1);
    ScriptedPeer silent;
    ASSERT_TRUE(silent.connectTo(port));
    model->connect("B", "127.0.0.1", static_cast<UINT>(peerPort));
    ASSERT_TRUE(outgoingEnd.accept());
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 2u; }));

    // Frames other than the hello do not keep a link waiting.
    for (int i = 0; i < 4; ++i) {
        silent.sendKeepAlive();
        pumpFor(100);
    }
    EXPECT_TRUE(silent.waitEnded(3000));
    EXPECT_TRUE(outgoingEnd.waitEnded(3000));
    EXPECT_TRUE(model->pending().empty());
}

TEST_F(TcpAccept, SilentEstablishedLinkIsClosedAndAnnounced)
{
    CTcpA2AModel::setTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(400));
    addTcpRow("C");
    ScriptedPeer talking, silent;
    ASSERT_TRUE(identify(talking, "B"));
    ASSERT_TRUE(identify(silent, "C"));
    pumpFor(20);
    const int before = listener.changes;
    for (int i = 0; i < 10; ++i) {
        talking.sendKeepAlive();
        pumpFor(100);
    }
    EXPECT_TRUE(silent.waitEnded(3000));
    EXPECT_EQ(model->isConnected("C", ""), 0);
    EXPECT_EQ(model->isConnected("B", ""), 1) << "a link that receives stays";
    EXPECT_TRUE(pumpUntil([&] { return listener.changes == before + 1; })) << "the lost link is announced";
}

// The periodic hello and poll wait while fewer than 15 of the 20 send slots
// are free, and go on the first tick at which enough have drained.
TEST_F(TcpAccept, HelloWaitsForFifteenFreeSendSlots)
{
    ASSERT_TRUE(identify(peer, "B"));
    CTcpSockStream* s = established("B");
    ZQ_QUE& q = s->exchange().sendQueue();
    auto slot = std::make_unique<BYTE[]>(ZQ_QUE::SLOT_SIZE);
    while (q.dequeue(slot.get())) {
    }
    // Ticks are driven by hand from here: the event loop is not run.
    CTcpSockStream::setHelloTicks(0);
    for (int i = 0; i < 7; ++i)
        s->exchange().sendSyncPoll();
    ASSERT_EQ(q.freeCount(), 13);
    s->onTick(); // one frame leaves; 14 free: no hello
    EXPECT_EQ(q.freeCount(), 14);
    s->onTick(); // one more leaves; 15 free: hello and poll are queued
    EXPECT_EQ(q.freeCount(), 13);
    CTcpSockStream::setHelloTicks(CTcpSockStream::HELLO_TICKS);

    // Everything reaches the peer in order: seven polls, then the hello and
    // its poll.
    Frame f;
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(peer.waitFrame(isPoll, f)) << i;
        EXPECT_TRUE(peer.skipped.empty() || isHello(peer.skipped.back())) << i;
        peer.skipped.clear();
    }
    ASSERT_TRUE(peer.waitFrame(isHello, f));
    ASSERT_TRUE(peer.waitFrame(isPoll, f));
}
