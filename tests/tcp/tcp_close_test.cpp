// Every way a link ends, run under the sanitizers: a link closed inside one
// of its own calls (dispatch, receive, send, tick, connect) leaves the lists
// at once and is destroyed after that call; a lost established link is
// announced to the listeners afterwards. Also: frame errors, a receive queue
// that fills up, and a peer that stops reading and resumes.
#include "tcp_testkit.h"

using namespace tcptest;

namespace {

class TcpClose : public ListeningNodeTest {
protected:
    // Identifies the peer as B and waits for the announcement.
    void establish(int rcvBuf = 0)
    {
        const int before = listener.changes;
        ASSERT_TRUE(peer.connectTo(port, rcvBuf));
        peer.sendHello("B");
        ASSERT_TRUE(pumpUntil([&] { return established("B") != nullptr; }));
        ASSERT_TRUE(pumpUntil([&] { return listener.changes == before + 1; }));
    }

    // The peer asks for the first `count` chunks of the file at once.
    void askForChunks(const CatalogRecord& rec, int count)
    {
        for (int i = 0; i < count; ++i)
            peer.sendRequest(rec, static_cast<DWORD>(i) * CHUNK_LIMIT_TCP);
    }

    // B asks for six chunks of a large own file while neither end's
    // buffers hold them: the link's socket would block.
    CTcpSockStream* blockedSender(const std::string& content)
    {
        const CatalogRecord rec = registerOwnFile("big.bin", content);
        establish(4096);
        CTcpSockStream* s = established("B");
        int small = 4096;
        s->SetSockOpt(SO_SNDBUF, &small, sizeof small);
        askForChunks(rec, 6);
        EXPECT_TRUE(pumpUntil([&] { return s->hasUnsentBytes(); })) << "the socket would block";
        return s;
    }

    // The link is gone from the lists, the peer sees it closed and the
    // listeners hear of it.
    void expectLost(int changesBefore)
    {
        EXPECT_TRUE(peer.waitEnded());
        EXPECT_EQ(model->isConnected("B", ""), 0);
        EXPECT_TRUE(model->established().empty());
        EXPECT_TRUE(pumpUntil([&] { return listener.changes == changesBefore + 1; }));
    }
};

} // namespace

TEST_F(TcpClose, BadFramesCloseTheLinkWithNoticeThree)
{
    // 1: header length 0; 2: a sequence number skipped; 3: a chunk whose
    // length does not match its payload; 4: a length beyond any frame.
    for (int kind = 1; kind <= 4; ++kind) {
        SCOPED_TRACE(kind);
        establish();
        const int changes = listener.changes;
        if (kind == 1) {
            const std::string zeros(48, '\0');
            peer.sendRaw(zeros.data(), zeros.size());
        } else if (kind == 2) {
            KeepAliveFrame f{};
            buildKeepAliveFrame(&f);
            f.header.sequence = 7;
            peer.sendRaw(&f, sizeof f);
        } else if (kind == 3) {
            auto f = std::make_unique<FileChunkFrame>();
            std::memset(f.get(), 0, sizeof *f);
            FileRequestFrame r{};
            buildFileRequestFrame(&r, peerRecord("B", "x.bin", 100));
            beginFileChunkFrame(f.get(), r);
            finishFileChunkFrame(f.get(), 50);
            f->header.length = 60;
            peer.sendFrame(f.get());
        } else {
            KeepAliveFrame f{};
            buildKeepAliveFrame(&f);
            f.header.dataLen = 65000;
            peer.sendRaw(&f, sizeof f);
        }
        expectLost(changes);
        EXPECT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_FRAME_ERROR) == kind; }));
    }
    EXPECT_EQ(noticeCount(POSTERROR_PARTY_MISMATCH), 0);

    // On a link not yet identified: closed too, and no established link
    // was lost.
    const int changes = listener.changes;
    ASSERT_TRUE(peer.connectTo(port));
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 1u; }));
    const std::string zeros(48, '\0');
    peer.sendRaw(zeros.data(), zeros.size());
    EXPECT_TRUE(peer.waitEnded());
    EXPECT_TRUE(model->pending().empty());
    EXPECT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_FRAME_ERROR) == 5; }));
    pumpFor(20);
    EXPECT_EQ(listener.changes, changes);
}

// More frames in one read than the receive queue holds: reading pauses until
// the queue has room, and nothing is lost.
TEST_F(TcpClose, FullReceiveQueuePausesReadingInsteadOfLosingFrames)
{
    establish();
    peer.sendKeepAlives(3 * ZQ_QUE::SLOT_COUNT);
    peer.sendPoll();
    Frame answer;
    EXPECT_TRUE(peer.waitFrame(isRecords, answer));
    EXPECT_EQ(model->isConnected("B", ""), 1);
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
    EXPECT_FALSE(established("B")->isReceivePaused());
}

TEST_F(TcpClose, PeerClosesOrResetsTheConnection)
{
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        establish();
        const int changes = listener.changes;
        if (reset)
            peer.reset();
        else
            peer.close();
        ASSERT_TRUE(pumpUntil([&] { return model->established().empty(); }));
        EXPECT_TRUE(pumpUntil([&] { return listener.changes == changes + 1; }));
    }
    EXPECT_EQ(notices.size(), 2u) << "only the establishments were notices";
}

TEST_F(TcpClose, SendErrorInTheTick)
{
    establish();
    const int changes = listener.changes;
    CTcpSockStream* s = established("B");
    s->ShutDown(SD_SEND);
    s->exchange().sendSyncPoll(); // the next tick's send fails
    ASSERT_TRUE(pumpUntil([&] { return model->established().empty(); }));
    EXPECT_TRUE(pumpUntil([&] { return listener.changes == changes + 1; }));
}

TEST_F(TcpClose, SendErrorInTheSendEvent)
{
    CTcpSockStream* s = blockedSender(pattern(8 * CHUNK_LIMIT_TCP));
    const int changes = listener.changes;
    s->ShutDown(SD_SEND); // the socket becomes writable, and the send fails
    ASSERT_TRUE(pumpUntil([&] { return model->established().empty(); }));
    EXPECT_TRUE(pumpUntil([&] { return listener.changes == changes + 1; }));
}

TEST_F(TcpClose, PeerThatStopsReadingAndResumesGetsEverythingInOrder)
{
    const std::string content = pattern(8 * CHUNK_LIMIT_TCP);
    CTcpSockStream* s = blockedSender(content);
    pumpFor(300);
    EXPECT_TRUE(s->hasUnsentBytes());
    EXPECT_EQ(model->isConnected("B", ""), 1);

    // Reading again: every chunk arrives whole, numbered in order.
    for (int i = 0; i < 6; ++i) {
        Frame chunk;
        ASSERT_TRUE(peer.waitFrame(isChunk, chunk)) << i;
        const ExchangeHeader h = headerOf(chunk);
        EXPECT_EQ(h.offset, static_cast<DWORD>(i) * CHUNK_LIMIT_TCP);
        ASSERT_EQ(h.length, CHUNK_LIMIT_TCP);
        EXPECT_EQ(std::memcmp(chunk.data() + FILE_CHUNK_DATA_OFFSET, content.data() + h.offset, h.length), 0);
    }
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
    EXPECT_EQ(model->isConnected("B", ""), 1);
}

TEST_F(TcpClose, ConnectErrorEndsThePendingLink)
{
    const int closedPort = freePort();
    model->connect("C", "127.0.0.1", static_cast<UINT>(closedPort));
    EXPECT_TRUE(pumpUntil([&] { return model->pending().empty(); }));
    model->connect("C", "127.0.0.1", static_cast<UINT>(closedPort));
    EXPECT_TRUE(pumpUntil([&] { return model->pending().empty(); })) << "and may be tried again";
}

TEST_F(TcpClose, CloseReportedForALink)
{
    establish();
    const int changes = listener.changes;
    model->notifyOnClose(established("B")->getId());
    expectLost(changes);
}

TEST_F(TcpClose, DisconnectClosesEveryLinkOfThatNameAndAnnouncesIt)
{
    establish();
    ScriptedPeer outgoingEnd;
    const int peerPort = outgoingEnd.listen();
    addTcpRow("C", peerPort);
    model->connect("C", "127.0.0.1", static_cast<UINT>(peerPort));
    ASSERT_TRUE(outgoingEnd.accept());
    const int changes = listener.changes;

    model->disconnect("B", "");
    EXPECT_EQ(listener.changes, changes + 1) << "told at once, also for the caller";
    EXPECT_TRUE(model->established().empty());
    EXPECT_TRUE(peer.waitEnded());
    model->disconnect("C", "");
    EXPECT_TRUE(model->pending().empty());
    EXPECT_TRUE(outgoingEnd.waitEnded());
    model->disconnect("nobody", "");
    EXPECT_EQ(listener.changes, changes + 3);
    pumpFor(20);
    EXPECT_EQ(listener.changes, changes + 3) << "nothing more is posted";
}

TEST_F(TcpClose, StopListenClosesPendingLinksAndKeepsEstablishedOnes)
{
    establish();
    ScriptedPeer unidentified;
    ASSERT_TRUE(unidentified.connectTo(port));
    ASSERT_TRUE(pumpUntil([&] { return model->pending().size() == 1u; }));
    model->stopListen();
    EXPECT_FALSE(model->isListening());
    EXPECT_TRUE(model->pending().empty());
    EXPECT_TRUE(unidentified.waitEnded());
    EXPECT_EQ(model->isConnected("B", ""), 1);
    ScriptedPeer late;
    EXPECT_FALSE(late.connectTo(port));

    ASSERT_EQ(model->startListen(), 1) << "listening again on the same port";
    EXPECT_TRUE(late.connectTo(port));
}
