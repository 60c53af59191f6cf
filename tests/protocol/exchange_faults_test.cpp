// What the engine does with frames that promise more than they carry, with
// chunks out of step, with names that could leave the node's folders, and
// with a full send queue. Frames are handed over in buffers of exactly their
// length, so any read beyond one fails under AddressSanitizer.
#include "exchange_testkit.h"

#include <cstdio>
#include <filesystem>

namespace {

using namespace exchangetest;

// --- Headers that claim more than the frame holds --------------------------

TEST_F(ExchangeTest, FramesClaimingALongPayloadAreAnsweredFromHeaderAndRecordOnly)
{
    Frame poll = pollFrame();
    poll.mutableHeader()->dataLen = 65000;
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 48u);
    EXPECT_EQ(frames[0].header().dataLen, 0);

    // A header that is not 48 bytes is no frame to answer.
    poll.mutableHeader()->headerLen = 0;
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    EXPECT_TRUE(drain(ex).empty());

    // A request: answered from its header and record.
    CatalogRecord mine = ownFile("m.bin", patternBytes(3000));
    Frame req = requestFrame(mine, 0);
    req.mutableHeader()->dataLen = 60000;
    ex.sendChunk(req.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 868u + 3000u);

    // Too short to hold the record: nothing is read and nothing answered.
    Frame shortReq(100);
    buildSyncPollFrame(shortReq.as<SyncPollFrame>());
    shortReq.mutableHeader()->category = CATEGORY_FILE;
    shortReq.mutableHeader()->command = COMMAND_FILEREQUEST;
    shortReq.mutableHeader()->dataLen = 52;
    ex.sendChunk(shortReq.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    EXPECT_TRUE(drain(ex).empty());
}

TEST_F(ExchangeTest, AHelloTooShortForItsFieldsIsRefused)
{
    Frame f(148);
    initNodeInfoHeader(f.mutableHeader());
    f.mutableHeader()->dataLen = 100;
    int party = -1;
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 1, "127.0.0.1", &party), 0);
    EXPECT_EQ(party, 0);
}

// --- How many records a frame applies ---------------------------------------

// min(count, 11, dataLen / 820) records are applied; each non-empty answer
// brings the next poll, a negative count starts fetching instead.
TEST_F(ExchangeTest, RecordsAppliedAreBoundedByCountElevenAndPayload)
{
    std::vector<CatalogRecord> recs;
    for (int i = 0; i < 12; ++i)
        recs.push_back(peerRec(("r" + std::to_string(i)).c_str(), 1));
    Frame twelve = recordsFrame(recs);
    ex.onCatalogRecords(twelve.as<CatalogRecordsFrame>());
    EXPECT_EQ(catalog()->getRecCount(), 11);
    EXPECT_FALSE(catalog()->findRec("r11", "NODE_B", nullptr));

    // Eleven records in the buffer, but a payload of two: the rest are
    // stale bytes of an earlier frame.
    recs.resize(11);
    for (int i = 0; i < 11; ++i)
        recs[i] = peerRec(("s" + std::to_string(i)).c_str(), 1);
    Frame stale = recordsFrame(recs);
    stale.mutableHeader()->dataLen = 2 * 820;
    ex.onCatalogRecords(stale.as<CatalogRecordsFrame>());
    EXPECT_EQ(catalog()->getRecCount(), 13);

    // count 11 in a frame of exactly two records.
    Frame shortOne = recordsFrame({peerRec("t0", 1), peerRec("t1", 1)});
    shortOne.mutableHeader()->count = 11;
    ex.onCatalogRecords(shortOne.as<CatalogRecordsFrame>());
    EXPECT_EQ(catalog()->getRecCount(), 15);
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 3u);
    for (const Frame& f : frames)
        EXPECT_EQ(f.header().command, COMMAND_SYNCPOLL);

    Frame negative = recordsFrame({});
    negative.mutableHeader()->count = 0xFFFFFFFF;
    ex.onCatalogRecords(negative.as<CatalogRecordsFrame>());
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().command, COMMAND_FILEREQUEST);
}

// --- Chunks out of step ----------------------------------------------------

class ChunkFaults : public ExchangeTest {
protected:
    std::string content = patternBytes(100000, 5);
    CatalogRecord rec;

    void SetUp() override
    {
        ExchangeTest::SetUp();
        Frame recs = recordsFrame({peerRec("f.bin", DWORD(content.size())), peerRec("g.bin", 3)});
        ex.onCatalogRecords(recs.as<CatalogRecordsFrame>());
        drain(ex);
        rec = storedOf("f.bin");
    }

    bool nothingStored()
    {
        return storedOf("f.bin").heldBytes == 0
            && !testsupport::exists(recvDir() + "/NODE_B/f.bin");
    }
};

TEST_F(ChunkFaults, ALengthOtherThanThePayloadOrOverAnyLimitIsDropped)
{
    Frame chunk = chunkFor(requestFrame(rec, 0), content, 1000);
    for (DWORD length : {2000u, 999u}) { // the payload carries 1000
        chunk.mutableHeader()->length = length;
        ex.onChunk(chunk.as<FileChunkFrame>());
        EXPECT_TRUE(drain(ex).empty());
        EXPECT_TRUE(nothingStored());
    }

    // Larger than any carrier sends, though length and payload agree.
    const DWORD n = CHUNK_LIMIT_TCP + 100;
    Frame big(868 + n);
    beginFileChunkFrame(big.as<FileChunkFrame>(), *requestFrame(rec, 0).as<FileRequestFrame>());
    big.mutableHeader()->command = COMMAND_FILECHUNK;
    big.mutableHeader()->length = n;
    big.mutableHeader()->dataLen = WORD(820 + n);
    ex.onChunk(big.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
    EXPECT_TRUE(nothingStored());

    // Shorter than a record: not even the record is read.
    Frame tiny(100);
    initFileRequestHeader(tiny.mutableHeader());
    tiny.mutableHeader()->command = COMMAND_FILECHUNK;
    tiny.mutableHeader()->dataLen = 52;
    ex.onChunk(tiny.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
}

TEST_F(ChunkFaults, AChunkNotAtTheBytesHeldIsNotStoredAndTheNextFileIsAskedFor)
{
    Frame ahead = chunkFor(requestFrame(rec, 40), content, 1000);
    ex.onChunk(ahead.as<FileChunkFrame>());
    auto frames = drain(ex);
    EXPECT_TRUE(nothingStored());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(fileName(frames[0].record()), "g.bin");

    // In step it is stored and the next request follows on from it.
    Frame first = chunkFor(requestFrame(rec, 0), content, 1000);
    ex.onChunk(first.as<FileChunkFrame>());
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().command, 4);
    EXPECT_EQ(frames[0].header().offset, 1000u);
    EXPECT_EQ(storedOf("f.bin").heldBytes, 1000u);

    // A repeat of that chunk (a second chain on the link) changes nothing.
    ex.onChunk(first.as<FileChunkFrame>());
    frames = drain(ex);
    EXPECT_EQ(storedOf("f.bin").heldBytes, 1000u);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(fileName(frames[0].record()), "g.bin");
    EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_B/f.bin"), content.substr(0, 1000));
}

TEST_F(ChunkFaults, AChunkForARecordNoLongerHeldIsRefused)
{
    CatalogRecord gone = rec;
    cp932::copyField(gone.findData.cFileName, MAX_PATH, "unknown.bin");
    CCatalog::setCheckSum(&gone);
    Frame chunk = chunkFor(requestFrame(gone, 0), content, 1000);
    ex.onChunk(chunk.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
    EXPECT_FALSE(testsupport::exists(recvDir() + "/NODE_B/unknown.bin"));
}

// --- Names -----------------------------------------------------------------

TEST_F(ExchangeTest, RecordsWithNamesThatAreNoPlainNamesAreSkipped)
{
    std::vector<CatalogRecord> bad;
    for (const char* origin : {"..", "catalog", "CATALOG", "a/b", "."}) {
        CatalogRecord r = makeRec(origin, "x.txt", 0);
        bad.push_back(r);
    }
    for (const char* file : {"../x.txt", "x/y.txt", "..", "a\x01" "b", ""}) {
        CatalogRecord r = makeRec("NODE_B", file, 0);
        bad.push_back(r);
    }
    bad.push_back(peerRec("ok.txt", 0));
    ASSERT_EQ(bad.size(), 11u);
    Frame f = recordsFrame(bad);
    ex.onCatalogRecords(f.as<CatalogRecordsFrame>());
    EXPECT_EQ(catalog()->getRecCount(), 1);
    EXPECT_TRUE(catalog()->findRec("ok.txt", "NODE_B", nullptr));

    // Nothing was made outside the node's three folders, nor inside RECV
    // but the one good origin's file.
    std::vector<std::string> top;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        top.push_back(e.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"CATALOG", "RECV", "SEND"}));
    std::vector<std::string> inRecv;
    for (const auto& e : std::filesystem::recursive_directory_iterator(recvDir()))
        inRecv.push_back(std::filesystem::relative(e.path(), recvDir()).string());
    std::sort(inRecv.begin(), inRecv.end());
    EXPECT_EQ(inRecv, (std::vector<std::string>{"NODE_B", "NODE_B/ok.txt"}));
}

TEST_F(ExchangeTest, AHelloWithAnUnusableNameIsNeitherTakenNorSynchronisedTo)
{
    CatalogRecord r = makeRec("NODE_A", "own.txt", 1);
    catalog()->addRec(&r);
    settings->addRow("skype.id", "SKYPE", "skype.id");
    const std::string catalogBefore = testsupport::readFile(catalogFile());
    for (const char* name : {"../evil", "catalog", "Catalog", "a/b", ""}) {
        Frame f(sizeof(NodeInfoFrame));
        buildNodeInfoFrame(f.as<NodeInfoFrame>(), name, "PARTY", 1, SYSTEMTIME {});
        int party = 0;
        EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 0, "skype.id", &party), 0) << name;
        EXPECT_EQ(party, 1);
    }
    EXPECT_STREQ(settings->getRecName(2), "skype.id");
    EXPECT_EQ(ex.getPeerNode(), "");
    EXPECT_EQ(testsupport::readFile(catalogFile()), catalogBefore);
    EXPECT_FALSE(testsupport::exists(dir.path() + "/evil.dat"));
}

TEST_F(ExchangeTest, OverTcpTheSyncGoesToTheLinksIdentifiedNode)
{
    CatalogRecord r = makeRec("NODE_A", "own.txt", 1);
    catalog()->addRec(&r);
    std::remove(queueFile("NODE_B").c_str());
    Frame f(sizeof(NodeInfoFrame));
    buildNodeInfoFrame(f.as<NodeInfoFrame>(), "NODE_C", "PARTY", 1, SYSTEMTIME {});
    int party = 0;
    std::remove(queueFile("NODE_C").c_str());
    ex.onNodeInfo(f.as<NodeInfoFrame>(), 1, "127.0.0.1", &party, "NODE_B");
    EXPECT_EQ(queued("NODE_B").size(), 1u);
    EXPECT_FALSE(testsupport::exists(queueFile("NODE_C")));
}

// --- A full send queue -----------------------------------------------------

TEST_F(ExchangeTest, AnAnswerThatCannotBeQueuedLeavesItsRecordsWaiting)
{
    for (int i = 0; i < 3; ++i) {
        CatalogRecord r = makeRec("NODE_A", ("q" + std::to_string(i)).c_str(), 1);
        catalog()->addRec(&r);
    }
    for (int i = 0; i < ZQ_QUE::SLOT_COUNT; ++i)
        ex.sendSyncPoll();
    ASSERT_EQ(ex.sendQueue().freeCount(), 0);
    Frame poll = pollFrame();
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    for (const CatalogRecord& q : queued("NODE_B"))
        EXPECT_EQ(q.pending, 1u);

    EXPECT_EQ(drain(ex).size(), std::size_t(ZQ_QUE::SLOT_COUNT));
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().count, 3u);
}

} // namespace
