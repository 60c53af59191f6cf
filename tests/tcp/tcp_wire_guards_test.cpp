// Guards of the wire over real loopback sockets with a scripted peer: each
// frame must carry the next sequence number (a keep-alive counts too), a
// waiting synchronisation goes out with the next hello only, and a send that
// blocks is finished through the write event before the next frame starts.
#include "tcp_testkit.h"

using namespace tcptest;

namespace {

class TcpWire : public TcpNodeTest {
protected:
    void SetUp() override
    {
        TcpNodeTest::SetUp();
        ASSERT_EQ(model->startListen(), 1);
    }
    void TearDown() override
    {
        CTcpSockStream::setHelloTicks(CTcpSockStream::HELLO_TICKS);
        TcpNodeTest::TearDown();
    }

    // An own file in SEND, registered.
    static CatalogRecord ownFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(std::string("SEND/") + name, content);
        CatalogRecord rec = catalogtest::makeRec("A", name, DWORD(content.size()), CATALOG_STATE_NEW, "P");
        CCatalog::getInstance()->addRec(&rec);
        CCatalog::getInstance()->findRec(name, "A", &rec);
        return rec;
    }
};

// A skipped or a repeated number is a frame error: notice 3, link closed.
TEST_F(TcpWire, ASkippedOrRepeatedSequenceNumberClosesTheLinkWithNoticeThree)
{
    for (int skip : {1, -1}) {
        SCOPED_TRACE(skip);
        ASSERT_TRUE(identify(peer, "B"));
        const int before = noticeCount(POSTERROR_FRAME_ERROR);
        KeepAliveFrame f{};
        buildKeepAliveFrame(&f);
        f.header.sequence = peer.nextSequence() + DWORD(skip);
        peer.sendRaw(&f, sizeof f);
        EXPECT_TRUE(peer.waitEnded());
        EXPECT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_FRAME_ERROR) == before + 1; }));
        EXPECT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 0; }));
    }
}

// Keep-alives are numbered like every frame: after them, the next poll is
// answered as the frame it is.
TEST_F(TcpWire, AKeepAliveAdvancesTheExpectedSequenceNumber)
{
    ASSERT_TRUE(identify(peer, "B"));
    peer.sendKeepAlives(3);
    peer.sendPoll();
    Frame answer;
    EXPECT_TRUE(peer.waitFrame(isRecords, answer));
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
    EXPECT_EQ(model->isConnected("B", ""), 1);
}

// A synchronisation asked for waits for the link's next hello, goes out in
// it, and is not repeated in the hello after.
TEST_F(TcpWire, AWaitingSyncRequestGoesOutWithTheNextHelloOnly)
{
    CTcpSockStream::setHelloTicks(4);
    ASSERT_TRUE(identify(peer, "B"));
    Frame hello;
    ASSERT_TRUE(peer.waitFrame(isHello, hello));
    SYSTEMTIME since = catalogtest::makeTime(2024, 2, 29, 0, 0, 0, 0);
    model->requestSync("B", "", 2, since);
    ASSERT_TRUE(peer.waitFrame(isHello, hello));
    const auto* first = reinterpret_cast<const NodeInfoFrame*>(hello.data());
    EXPECT_EQ(first->syncMode, 2u);
    EXPECT_EQ(std::memcmp(&first->syncSince, &since, sizeof since), 0);
    ASSERT_TRUE(peer.waitFrame(isHello, hello));
    const auto* second = reinterpret_cast<const NodeInfoFrame*>(hello.data());
    EXPECT_EQ(second->syncMode, 0u);
    const SYSTEMTIME zero{};
    EXPECT_EQ(std::memcmp(&second->syncSince, &zero, sizeof zero), 0);
}

// The peer asks for six chunks while neither end's buffers can hold them:
// the node's send blocks part-way, the rest waits for the write event, and
// the next frame starts only after it. Once the peer reads again every
// chunk arrives whole and in order.
TEST_F(TcpWire, ABlockedSendIsFinishedThroughTheWriteEventBeforeTheNextFrame)
{
    std::string content(8 * CHUNK_LIMIT_TCP, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = char((i * 131 + (i >> 9)) & 0xFF);
    const CatalogRecord rec = ownFile("big.bin", content);
    ASSERT_TRUE(peer.connectTo(port, 4096));
    peer.sendHello("B");
    ASSERT_TRUE(pumpUntil([&] { return established("B") != nullptr; }));
    CTcpSockStream* s = established("B");
    int small = 4096;
    s->SetSockOpt(SO_SNDBUF, &small, sizeof small);
    for (DWORD i = 0; i < 6; ++i)
        peer.sendRequestAt(rec, i * CHUNK_LIMIT_TCP);
    ASSERT_TRUE(pumpUntil([&] { return s->hasUnsentBytes(); })) << "the socket would block";
    pumpFor(300);
    EXPECT_TRUE(s->hasUnsentBytes());
    EXPECT_EQ(model->isConnected("B", ""), 1);

    for (DWORD i = 0; i < 6; ++i) {
        Frame chunk;
        ASSERT_TRUE(peer.waitFrame([](const Frame& f) { return isKind(f, CATEGORY_FILE, COMMAND_FILECHUNK); }, chunk)) << i;
        const ExchangeHeader h = headerOf(chunk);
        EXPECT_EQ(h.offset, i * CHUNK_LIMIT_TCP);
        ASSERT_EQ(h.length, CHUNK_LIMIT_TCP);
        EXPECT_EQ(std::memcmp(chunk.data() + FILE_CHUNK_DATA_OFFSET, content.data() + h.offset, h.length), 0);
    }
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
    EXPECT_EQ(model->isConnected("B", ""), 1);
}

} // namespace
