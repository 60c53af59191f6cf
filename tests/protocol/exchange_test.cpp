// The protocol engine against a real catalog: the frames it builds, the poll
// chain, the fetch chain to a byte-identical file under RECV, the chunk
// answers and the hello.
#include "exchange_testkit.h"

#include <cstdio>

namespace {

using namespace exchangetest;
using catalogtest::readRecords;

// --- Frames built from nothing ---------------------------------------------

// The layouts themselves are pinned byte by byte with the frame builders;
// here: the engine queues exactly those frames, with the node's own names.
TEST_F(ExchangeTest, HelloAndPollAreQueuedWithTheNodesNames)
{
    settings->nodeName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"; // 32: no terminating zero
    const SYSTEMTIME since = makeTime(2010, 10, 1, 0, 0, 0, 0);
    ex.sendNodeInfo(2, since);
    ex.sendSyncPoll();
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 2u);
    NodeInfoFrame hello{};
    ASSERT_EQ(frames[0].size(), buildNodeInfoFrame(&hello, settings->nodeName.c_str(), "PARTY", 2, since));
    EXPECT_EQ(std::memcmp(frames[0].data(), &hello, sizeof hello), 0);
    SyncPollFrame poll{};
    ASSERT_EQ(frames[1].size(), buildSyncPollFrame(&poll));
    EXPECT_EQ(std::memcmp(frames[1].data(), &poll, sizeof poll), 0);
}

// --- Poll answers ----------------------------------------------------------

TEST_F(ExchangeTest, PollAnswersCarryElevenThenTheRestThenNothing)
{
    for (int i = 0; i < 15; ++i) {
        CatalogRecord r = makeRec("NODE_A", ("f" + std::to_string(i)).c_str(), 1);
        catalog()->addRec(&r);
    }
    Frame poll = pollFrame();
    poll.mutableHeader()->offset = 0x11223344; // echoed unchanged
    poll.mutableHeader()->fileSize = 0x55667788;

    std::vector<DWORD> counts;
    for (int round = 0; round < 3; ++round) {
        ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
        auto frames = drain(ex);
        ASSERT_EQ(frames.size(), 1u);
        const ExchangeHeader h = frames[0].header();
        EXPECT_EQ(h.command, COMMAND_CATALOGRECORDS);
        EXPECT_EQ(h.offset, 0x11223344u);
        EXPECT_EQ(h.fileSize, 0x55667788u);
        EXPECT_EQ(frames[0].size(), 48u + h.count * 820u);
        for (DWORD i = 0; i < h.count; ++i) {
            CatalogRecord r = frames[0].record(i);
            EXPECT_TRUE(CCatalog::isCheckSumOk(&r));
        }
        counts.push_back(h.count);
    }
    EXPECT_EQ(counts, (std::vector<DWORD>{11, 4, 0}));
    EXPECT_FALSE(testsupport::exists(queueFile("NODE_B")));
}

// --- The poll chain and the fetch chain ------------------------------------

// NODE_B offers three files; the engine takes the records, polls until the
// answer is empty, then fetches each file chunk by chunk from frames that
// the test serves the way NODE_B would, until nothing is left to fetch.
TEST_F(ExchangeTest, PollChainThenFetchChainBringsEveryFileWhole)
{
    const std::string big = patternBytes(2 * CHUNK_LIMIT_TCP + 1234, 1);
    const std::string exact = patternBytes(CHUNK_LIMIT_TCP, 2);
    const std::string small = patternBytes(10, 3);
    const std::vector<std::pair<CatalogRecord, std::string>> offered = {
        {peerRec("big.bin", DWORD(big.size())), big},
        {peerRec("exact.bin", DWORD(exact.size())), exact},
        {peerRec("small.txt", DWORD(small.size())), small},
    };
    auto contentOf = [&](const CatalogRecord& r) {
        for (const auto& [rec, content] : offered)
            if (fileName(rec) == fileName(r))
                return content;
        ADD_FAILURE() << "unknown file " << fileName(r);
        return std::string();
    };

    // Poll chain: a non-empty answer brings the next poll, an empty one the
    // first request.
    Frame first = recordsFrame({offered[0].first, offered[1].first});
    ex.onCatalogRecords(first.as<CatalogRecordsFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().category, 3);
    EXPECT_EQ(frames[0].header().command, 0);
    Frame second = recordsFrame({offered[2].first});
    ex.onCatalogRecords(second.as<CatalogRecordsFrame>());
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().command, 0);
    EXPECT_EQ(catalog()->getRecCount(), 3);

    Frame empty = recordsFrame({});
    ex.onCatalogRecords(empty.as<CatalogRecordsFrame>());
    frames = drain(ex);

    // Fetch chain.
    std::vector<std::pair<std::string, DWORD>> asked;
    for (int guard = 0; guard < 50 && !frames.empty(); ++guard) {
        ASSERT_EQ(frames.size(), 1u);
        Frame& req = frames[0];
        const ExchangeHeader h = req.header();
        ASSERT_EQ(h.category, 4);
        ASSERT_EQ(h.command, 4);
        ASSERT_EQ(req.size(), 868u);
        EXPECT_EQ(h.count, 1u);
        EXPECT_EQ(h.fileSize, req.record().findData.nFileSizeLow);
        asked.emplace_back(fileName(req.record()), h.offset);
        Frame chunk = chunkFor(req, contentOf(req.record()));
        ex.onChunk(chunk.as<FileChunkFrame>());
        frames = drain(ex);
    }
    const std::vector<std::pair<std::string, DWORD>> expected = {
        {"big.bin", 0}, {"big.bin", 51200}, {"big.bin", 102400},
        {"exact.bin", 0},
        {"small.txt", 0},
    };
    EXPECT_EQ(asked, expected);

    for (const auto& [rec, content] : offered) {
        EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_B/" + fileName(rec)), content) << fileName(rec);
        const CatalogRecord s = storedOf(fileName(rec).c_str());
        EXPECT_EQ(s.complete, 1u);
        EXPECT_EQ(s.heldBytes, DWORD(content.size()));
    }
    // Whole files travel on to the other neighbour, never back to NODE_B.
    EXPECT_EQ(queued("NODE_C").size(), 3u);
    EXPECT_FALSE(testsupport::exists(queueFile("NODE_B")));

    // A later empty answer finds nothing more to fetch.
    ex.onCatalogRecords(empty.as<CatalogRecordsFrame>());
    EXPECT_TRUE(drain(ex).empty());
}

TEST_F(ExchangeTest, AChunkOfLengthZeroAsksForTheNextFileAfterIt)
{
    Frame recs = recordsFrame({peerRec("a.txt", 5), peerRec("b.txt", 7)});
    ex.onCatalogRecords(recs.as<CatalogRecordsFrame>());
    drain(ex);
    Frame req = requestFrame(storedOf("a.txt"), 0);
    Frame none = chunkFor(req, ""); // the peer holds no whole copy
    ASSERT_EQ(none.size(), 868u);
    ex.onChunk(none.as<FileChunkFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(fileName(frames[0].record()), "b.txt");
    EXPECT_EQ(storedOf("a.txt").heldBytes, 0u);

    // After the last record nothing is asked for, even with a.txt missing.
    Frame reqB = requestFrame(storedOf("b.txt"), 0);
    Frame noneB = chunkFor(reqB, "");
    ex.onChunk(noneB.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
}

// --- Records ---------------------------------------------------------------

TEST_F(ExchangeTest, RecordsAreAppliedByStateAndBadOnesSkipped)
{
    CatalogRecord one = peerRec("one.txt", 3);
    CatalogRecord badSum = peerRec("two.txt", 3);
    badSum.checkSum ^= 1;
    CatalogRecord three = peerRec("three.txt", 3, CATALOG_STATE_UPDATED);
    CatalogRecord oddState = peerRec("four.txt", 3, 4);
    Frame f = recordsFrame({one, badSum, three, oddState});
    ex.onCatalogRecords(f.as<CatalogRecordsFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().command, 0); // the next poll
    EXPECT_EQ(catalog()->getRecCount(), 2);
    EXPECT_TRUE(catalog()->findRec("one.txt", "NODE_B", nullptr));
    EXPECT_TRUE(catalog()->findRec("three.txt", "NODE_B", nullptr));

    // A deletion marks the stored record deleted and travels on.
    CatalogRecord del = one;
    del.state = CATALOG_STATE_DELETED;
    CCatalog::setCheckSum(&del);
    Frame d = recordsFrame({del});
    ex.onCatalogRecords(d.as<CatalogRecordsFrame>());
    EXPECT_EQ(storedOf("one.txt").state, DWORD(CATALOG_STATE_DELETED));
    const auto toC = queued("NODE_C");
    ASSERT_EQ(toC.size(), 1u);
    EXPECT_EQ(toC[0].state, DWORD(CATALOG_STATE_DELETED));
}

TEST_F(ExchangeTest, AnEmptyFileIsWholeAtOnceAndTravelsOn)
{
    Frame f = recordsFrame({peerRec("empty.txt", 0), peerRec("later.txt", 4)});
    ex.onCatalogRecords(f.as<CatalogRecordsFrame>());
    drain(ex);
    const CatalogRecord s = storedOf("empty.txt");
    EXPECT_EQ(s.complete, 1u);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    EXPECT_TRUE(testsupport::exists(recvDir() + "/NODE_B/empty.txt"));
    EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_B/empty.txt"), "");
    const auto toC = queued("NODE_C");
    ASSERT_EQ(toC.size(), 1u);
    EXPECT_EQ(fileName(toC[0]), "empty.txt");

    // The fetch chain goes straight to the file that has bytes.
    Frame empty = recordsFrame({});
    ex.onCatalogRecords(empty.as<CatalogRecordsFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(fileName(frames[0].record()), "later.txt");

    // An own empty file is served as a chunk of no bytes.
    CatalogRecord mine = ownFile("nothing.txt", "");
    Frame req = requestFrame(mine, 0);
    ex.sendChunk(req.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 868u);
}

// --- Chunk answers ---------------------------------------------------------

TEST_F(ExchangeTest, ChunkAnswersEchoTheRequestAndKeepToTheLimit)
{
    const std::string content = patternBytes(60000, 9);
    CatalogRecord mine = ownFile("data.bin", content);

    Frame req = requestFrame(mine, 0);
    req.mutableHeader()->fileSize = 0xABCD; // echoed, never used
    ex.sendChunk(req.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    ExchangeHeader h = frames[0].header();
    EXPECT_EQ(h.fileSize, 0xABCDu);
    EXPECT_EQ(h.length, CHUNK_LIMIT_TCP);
    EXPECT_EQ(catalogtest::bytesOf(frames[0].record()), catalogtest::bytesOf(mine));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frames[0].data()) + 868, h.length),
              content.substr(0, CHUNK_LIMIT_TCP));

    // The old carriers' limit, and the rest of the file from an offset.
    Frame old = requestFrame(mine, 100, 1);
    ex.sendChunk(old.as<FileRequestFrame>(), tcpChunkLimit(1));
    Frame tail = requestFrame(mine, 51200);
    ex.sendChunk(tail.as<FileRequestFrame>(), CHUNK_LIMIT_SKYPE);
    Frame past = requestFrame(mine, 60000);
    ex.sendChunk(past.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].header().length, CHUNK_LIMIT_TCP_OLD);
    EXPECT_EQ(frames[0].header().version, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frames[0].data()) + 868, CHUNK_LIMIT_TCP_OLD),
              content.substr(100, CHUNK_LIMIT_TCP_OLD));
    EXPECT_EQ(frames[1].header().length, 60000u - 51200u);
    EXPECT_EQ(frames[2].header().length, 0u);
    EXPECT_EQ(frames[2].size(), 868u);

    // A limit above the largest chunk any carrier sends is cut to it.
    const std::string huge = patternBytes(CHUNK_LIMIT_TCP + 5000, 4);
    CatalogRecord large = ownFile("large.bin", huge);
    Frame all = requestFrame(large, 0);
    ex.sendChunk(all.as<FileRequestFrame>(), 1u << 20);
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().length, CHUNK_LIMIT_TCP);
}

TEST_F(ExchangeTest, AFileHeldOnlyInPartIsAnsweredWithNoBytes)
{
    Frame recs = recordsFrame({peerRec("part.bin", 100)});
    ex.onCatalogRecords(recs.as<CatalogRecordsFrame>());
    drain(ex);
    CatalogRecord s = storedOf("part.bin");
    const std::string content = patternBytes(100);
    ASSERT_EQ(catalog()->writeFileData(0, 40, &s, content.data()), 1);
    Frame req = requestFrame(s, 0);
    ex.sendChunk(req.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().length, 0u);
}

// --- The hello -------------------------------------------------------------

class HelloTest : public ExchangeTest {
protected:
    Frame hello(const char* node, const char* party, int mode = 0, SYSTEMTIME since = {})
    {
        Frame f(sizeof(NodeInfoFrame));
        buildNodeInfoFrame(f.as<NodeInfoFrame>(), node, party, mode, since);
        return f;
    }

    void registerOwn(const char* name, SYSTEMTIME registered)
    {
        CatalogRecord r = makeRec("NODE_A", name, 1);
        r.registered = registered;
        catalog()->addRec(&r);
    }
};

TEST_F(HelloTest, OverSkypeARowNamedAfterTheIdTakesTheAnnouncedName)
{
    settings->addRow("skype.id", "SKYPE", "skype.id");
    testsupport::writeFile(queueFile("skype.id"), "");
    catalog();
    Frame f = hello("N2", "PARTY");
    int party = -1;
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 0, "skype.id", &party), 1);
    EXPECT_EQ(party, 1);
    EXPECT_EQ(ex.getPeerNode(), "N2");
    EXPECT_STREQ(settings->getRecName(2), "N2");
    EXPECT_TRUE(testsupport::exists(queueFile("N2")));
    EXPECT_FALSE(testsupport::exists(queueFile("skype.id")));

    // Named already: the peer name is learnt, nothing is renamed.
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 0, "skype.id", &party), 0);
    EXPECT_EQ(ex.getPeerNode(), "N2");
}

TEST_F(HelloTest, NoRenameWithNodeFlagsOrOverTcpOrForAnUnknownIdOrAnotherParty)
{
    settings->addRow("skype.id", "SKYPE", "skype.id");
    registerOwn("x.txt", makeTime(2011, 1, 1));
    std::remove(queueFile("NODE_B").c_str());
    Frame other = hello("NODE_B", "OTHER", 1); // and asks for a sync
    int theirs = -1;
    EXPECT_EQ(ex.onNodeInfo(other.as<NodeInfoFrame>(), 0, "skype.id", &theirs), 0);
    EXPECT_EQ(theirs, 0);
    EXPECT_FALSE(testsupport::exists(queueFile("NODE_B")));

    Frame f = hello("N2", "PARTY");
    f.as<NodeInfoFrame>()->nodeFlags = 1;
    int party = 0;
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 0, "skype.id", &party), 0);
    EXPECT_EQ(party, 1);
    f.as<NodeInfoFrame>()->nodeFlags = 0;
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 1, "skype.id", &party), 0);
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 0, "someone.else", &party), 0);
    EXPECT_STREQ(settings->getRecName(2), "skype.id");
    EXPECT_EQ(ex.getPeerNode(), "");
}

TEST_F(HelloTest, ASyncRequestQueuesEntriesRegisteredOnOrAfterTheDate)
{
    registerOwn("before.txt", makeTime(2010, 9, 30, 23, 59));
    registerOwn("on.txt", makeTime(2010, 10, 1, 0, 0));
    registerOwn("after.txt", makeTime(2011, 1, 1));
    std::remove(queueFile("NODE_B").c_str()); // what registration queued
    Frame f = hello("NODE_B", "PARTY", 2, makeTime(2010, 10, 1, 0, 0, 0, 0));
    int party = 0;
    EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 1, "127.0.0.1", &party), 0);
    EXPECT_EQ(party, 1);
    std::vector<std::string> names;
    for (const CatalogRecord& r : queued("NODE_B"))
        names.push_back(fileName(r));
    EXPECT_EQ(names, (std::vector<std::string>{"on.txt", "after.txt"}));

    // The poll chain then carries them.
    Frame poll = pollFrame();
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().count, 2u);
}

} // namespace
