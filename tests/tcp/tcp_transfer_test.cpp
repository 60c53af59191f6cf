// Catalog entries and files over a real link: the node serves its own file
// to a polling and fetching peer, fetches a peer's file through the poll and
// fetch chains until it is whole, resumes at the held offset after the peer
// dropped the link, and puts back entries it took but never sent.
#include "tcp_testkit.h"

using namespace tcptest;

namespace {

class TcpTransfer : public ListeningNodeTest {
protected:
    // The peer B comes, and answers the node's polls with rec and then with
    // nothing, which starts the node's fetching.
    void offer(const CatalogRecord& rec)
    {
        ASSERT_TRUE(identify(peer, "B"));
        Frame poll;
        ASSERT_TRUE(peer.waitFrame(isPoll, poll));
        peer.sendRecords(poll, {rec});
        ASSERT_TRUE(peer.waitFrame(isPoll, poll)) << "records bring the next poll at once";
        peer.sendRecords(poll, {});
    }

    CatalogRecord heldRecord(const char* origin, const char* file)
    {
        CatalogRecord r{};
        EXPECT_TRUE(CCatalog::getInstance()->findRec(file, origin, &r));
        return r;
    }

    // Answers the node's requests with chunks of `content` until `stop`
    // holds; the offsets asked for, in order.
    std::vector<DWORD> serveChunks(const std::string& content, const std::function<bool()>& stop)
    {
        std::vector<DWORD> offsets;
        for (;;) {
            Frame request;
            bool asked = false;
            pumpUntil([&] {
                if (stop())
                    return true;
                peer.readAvailable();
                Frame f;
                while (peer.takeFrame(f)) {
                    if (isRequest(f)) {
                        request = std::move(f);
                        return asked = true;
                    }
                }
                return false;
            });
            if (!asked)
                return offsets;
            offsets.push_back(headerOf(request).offset);
            peer.sendChunk(request, content);
        }
    }
};

} // namespace

TEST_F(TcpTransfer, NodeServesItsFileToAPollingAndFetchingPeer)
{
    const std::string content = pattern(2 * CHUNK_LIMIT_TCP + 12345);
    registerOwnFile("data.bin", content);
    ASSERT_TRUE(identify(peer, "B"));

    // The poll chain: the entry, then an empty answer.
    peer.sendPoll();
    Frame answer;
    ASSERT_TRUE(peer.waitFrame(isRecords, answer));
    ASSERT_EQ(headerOf(answer).count, 1u);
    const CatalogRecord rec = reinterpret_cast<const CatalogRecordsFrame*>(answer.data())->records[0];
    EXPECT_EQ(std::string(cp932::fieldText(rec.originNode, CATALOG_NAME_LEN)), "A");
    EXPECT_EQ(rec.findData.nFileSizeLow, content.size());
    peer.sendPoll();
    ASSERT_TRUE(peer.waitFrame(isRecords, answer));
    EXPECT_EQ(headerOf(answer).count, 0u);

    // The fetch chain: each chunk brings the request for the next.
    std::string fetched;
    peer.sendRequest(rec, 0);
    for (;;) {
        Frame chunk;
        ASSERT_TRUE(peer.waitFrame(isChunk, chunk));
        const ExchangeHeader h = headerOf(chunk);
        ASSERT_EQ(h.offset, fetched.size());
        ASSERT_LE(h.length, CHUNK_LIMIT_TCP);
        fetched.append(reinterpret_cast<const char*>(chunk.data()) + FILE_CHUNK_DATA_OFFSET, h.length);
        if (fetched.size() >= content.size() || h.length == 0)
            break;
        auto* next = reinterpret_cast<FileChunkFrame*>(chunk.data());
        ASSERT_GT(chunkToNextRequest(next), 0u);
        peer.sendFrame(next);
    }
    EXPECT_TRUE(fetched == content) << "byte-identical";

    // A request of the first frame version gets the old, smaller chunks.
    peer.sendRequest(rec, 0, 1);
    Frame chunk;
    ASSERT_TRUE(peer.waitFrame(isChunk, chunk));
    EXPECT_EQ(headerOf(chunk).length, CHUNK_LIMIT_TCP_OLD);
}

// The fetch chain to a byte-identical file, cut by the peer half way.
TEST_F(TcpTransfer, FetchResumesAtTheHeldOffsetAfterThePeerDroppedTheLink)
{
    CTcpSockStream::setHelloTicks(4);
    const std::string content = pattern(4 * CHUNK_LIMIT_TCP + 10, 5);
    const CatalogRecord rec = peerRecord("B", "file.bin", static_cast<DWORD>(content.size()));
    ASSERT_NO_FATAL_FAILURE(offer(rec));

    EXPECT_EQ(serveChunks(content, [&] { return heldRecord("B", "file.bin").heldBytes == 2 * CHUNK_LIMIT_TCP; }),
              (std::vector<DWORD>{0, CHUNK_LIMIT_TCP}));
    ASSERT_EQ(heldRecord("B", "file.bin").heldBytes, 2 * CHUNK_LIMIT_TCP);
    peer.close();
    ASSERT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 0; }));
    pumpFor(50);
    EXPECT_EQ(heldRecord("B", "file.bin").heldBytes, 2 * CHUNK_LIMIT_TCP);

    // The peer comes back: the next empty answer starts the fetch where it
    // stopped.
    ASSERT_TRUE(identify(peer, "B"));
    Frame poll;
    ASSERT_TRUE(peer.waitFrame(isPoll, poll));
    peer.sendRecords(poll, {});
    const auto offsets = serveChunks(content, [&] { return heldRecord("B", "file.bin").complete == 1; });
    EXPECT_EQ(offsets, (std::vector<DWORD>{2 * CHUNK_LIMIT_TCP, 3 * CHUNK_LIMIT_TCP, 4 * CHUNK_LIMIT_TCP}));
    EXPECT_EQ(heldRecord("B", "file.bin").complete, 1u);
    EXPECT_TRUE(testsupport::readFile(recvDir() + "/B/file.bin") == content) << "byte-identical";
    EXPECT_EQ(noticeCount(POSTERROR_FRAME_ERROR), 0);
}

TEST_F(TcpTransfer, EntriesTakenButNotSentGoBackToTheQueue)
{
    registerOwnFile("one.txt", "first");
    registerOwnFile("two.txt", "second");
    ASSERT_TRUE(identify(peer, "B"));

    // The answer to a poll is queued, and the link goes before it is sent.
    SyncPollFrame poll{};
    buildSyncPollFrame(&poll);
    established("B")->exchange().replyCatalog("B", &poll);
    model->disconnect("B", "");
    EXPECT_TRUE(peer.waitEnded());
    peer.readAvailable();
    Frame f;
    while (peer.takeFrame(f))
        EXPECT_FALSE(isRecords(f)) << "the answer never left";

    ASSERT_TRUE(identify(peer, "B"));
    peer.sendPoll();
    ASSERT_TRUE(peer.waitFrame(isRecords, f));
    EXPECT_EQ(headerOf(f).count, 2u) << "both entries are sent again";
}

// A records frame holds at most eleven records (no node takes more for one
// answer); a larger one is a frame error that closes the link, and none of
// its records reaches the catalog.
TEST_F(TcpTransfer, AnAnswerOfTwelveRecordsIsAFrameError)
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
        const std::string file = "f" + std::to_string(i) + ".bin";
        const CatalogRecord rec = peerRecord("B", file.c_str(), 10);
        std::memcpy(answer.data() + FRAME_HEADER_LEN + i * CATALOG_RECORD_SIZE, &rec, sizeof rec);
    }
    peer.sendFrame(answer.data());

    EXPECT_TRUE(peer.waitEnded());
    EXPECT_TRUE(pumpUntil([&] { return model->isConnected("B", "") == 0; }));
    EXPECT_EQ(CCatalog::getInstance()->getRecCount(), 0);
    EXPECT_TRUE(pumpUntil([&] { return noticeCount(POSTERROR_FRAME_ERROR) == 1; }));
}
