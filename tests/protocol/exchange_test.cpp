// The protocol engine against a real catalog of node "NODE_A" with TCP
// neighbours NODE_B and NODE_C. Frames are handed over in buffers of exactly
// their length, so any read beyond one fails under AddressSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <random>
#include <set>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/exchange.h"
#include "protocol/frame_check.h"
#include "platform/files.h"
#include "store/catalog_testkit.h"

namespace {

using catalogtest::makeRec;

class Frame {
public:
    explicit Frame(std::size_t length) : m_len(length), m_buf(new BYTE[length]()) {}
    Frame(const void* bytes, std::size_t length) : Frame(length) { std::memcpy(m_buf.get(), bytes, length); }
    BYTE* data() { return m_buf.get(); }
    const BYTE* data() const { return m_buf.get(); }
    std::size_t size() const { return m_len; }
    ExchangeHeader header() const { return readHeader(m_buf.get()); }
    ExchangeHeader* h() { return reinterpret_cast<ExchangeHeader*>(m_buf.get()); }
    template <class T> T* as() { return reinterpret_cast<T*>(m_buf.get()); }
    CatalogRecord record(std::size_t i = 0) const
    {
        CatalogRecord r;
        std::memcpy(&r, m_buf.get() + FRAME_HEADER_LEN + i * sizeof r, sizeof r);
        return r;
    }

private:
    std::size_t m_len;
    std::unique_ptr<BYTE[]> m_buf;
};

// Every frame the engine queued, oldest first; each passes the frame check.
std::vector<Frame> drain(CExchange& ex)
{
    std::vector<Frame> out;
    std::unique_ptr<BYTE[]> slot(new BYTE[ZQ_QUE::SLOT_SIZE]);
    while (ex.sendQueue().dequeue(slot.get()) == 1) {
        out.emplace_back(slot.get(), std::min<std::size_t>(frameLength(readHeader(slot.get())), ZQ_QUE::SLOT_SIZE));
        EXPECT_NE(checkFrame(out.back().data(), out.back().size(), CHUNK_LIMIT_TCP), FrameKind::Bad);
    }
    return out;
}

// Fills the engine's send queue, so that the next frame it queues is refused.
void fillQueue(CExchange& ex)
{
    KeepAliveFrame k{};
    buildKeepAliveFrame(&k);
    while (ex.sendQueue().enqueue(&k, sizeof k) == 1) {
    }
}

Frame pollFrame()
{
    Frame f(FRAME_HEADER_LEN);
    buildSyncPollFrame(f.as<SyncPollFrame>());
    return f;
}

Frame recordsFrame(const std::vector<CatalogRecord>& recs)
{
    Frame f(FRAME_HEADER_LEN + recs.size() * sizeof(CatalogRecord));
    initSyncPollHeader(f.h());
    f.h()->command = COMMAND_CATALOGRECORDS;
    f.h()->count = DWORD(recs.size());
    f.h()->dataLen = WORD(recs.size() * sizeof(CatalogRecord));
    if (!recs.empty())
        std::memcpy(f.data() + FRAME_HEADER_LEN, recs.data(), recs.size() * sizeof(CatalogRecord));
    return f;
}

Frame requestFrame(const CatalogRecord& rec, DWORD offset)
{
    Frame f(sizeof(FileRequestFrame));
    buildFileRequestFrame(f.as<FileRequestFrame>(), rec);
    f.h()->offset = offset;
    return f;
}

// The peer's answer: at most `limit` bytes of content from the offset asked.
Frame chunkFor(const Frame& request, const std::string& content, DWORD limit = CHUNK_LIMIT_TCP)
{
    auto f = std::make_unique<FileChunkFrame>();
    beginFileChunkFrame(f.get(), *reinterpret_cast<const FileRequestFrame*>(request.data()));
    const std::size_t off = request.header().offset;
    const std::size_t n = off < content.size() ? std::min<std::size_t>(limit, content.size() - off) : 0;
    std::memcpy(f->data, content.data() + std::min(off, content.size()), n);
    return Frame(f.get(), finishFileChunkFrame(f.get(), DWORD(n)));
}

std::string fileName(const CatalogRecord& r) { return catalogtest::fileOf(r); }

std::string patternBytes(std::size_t n, unsigned seed = 7)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + seed + (i >> 8)) & 0xFF);
    return s;
}

class ExchangeTest : public catalogtest::CatalogTest {
protected:
    CExchange ex;

    void SetUp() override
    {
        catalogtest::CatalogTest::SetUp();
        settings->addRow("NODE_B", "TCP", "127.0.0.1/42001");
        settings->addRow("NODE_C", "TCP", "127.0.0.1/42002");
    }

    static CatalogRecord peerRec(const char* file, DWORD size, DWORD state = CATALOG_STATE_NEW)
    {
        CatalogRecord r = makeRec("NODE_B", file, size, state);
        cp932::copyField(r.route[0], CATALOG_NAME_LEN, "NODE_B");
        r.hopCount = 1;
        CCatalog::setCheckSum(&r);
        return r;
    }

    CatalogRecord ownFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(sendDir() + "/" + name, content);
        CatalogRecord r = makeRec("NODE_A", name, DWORD(content.size()));
        catalog()->addRec(&r);
        return storedOf(name, "NODE_A");
    }

    CatalogRecord storedOf(const char* file, const char* node = "NODE_B")
    {
        CatalogRecord r{};
        EXPECT_TRUE(catalog()->findRec(file, node, &r)) << file;
        return r;
    }

    void apply(Frame f) { ex.onCatalogRecords(f.as<CatalogRecordsFrame>()); }
    std::vector<CatalogRecord> queued(const std::string& node) { return catalogtest::readRecords(queueFile(node)); }
};

} // namespace

// NODE_B offers its files: each non-empty answer brings the next poll, the
// empty one the fetch chain, which runs chunk by chunk to byte-identical
// files; an empty file is whole at once and skipped by the chain.
TEST_F(ExchangeTest, PollChainThenFetchChainBringsEveryFileWhole)
{
    const std::vector<std::pair<CatalogRecord, std::string>> offered = {
        {peerRec("big.bin", 2 * CHUNK_LIMIT_TCP + 1234), patternBytes(2 * CHUNK_LIMIT_TCP + 1234, 1)},
        {peerRec("empty.txt", 0), ""},
        {peerRec("small.txt", 10), patternBytes(10, 3)},
    };
    apply(recordsFrame({offered[0].first, offered[1].first}));
    apply(recordsFrame({offered[2].first}));
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 2u);
    for (const Frame& f : frames)
        EXPECT_EQ(f.header().command, COMMAND_SYNCPOLL);
    EXPECT_EQ(storedOf("empty.txt").complete, 1u);

    apply(recordsFrame({}));
    frames = drain(ex);
    std::vector<std::pair<std::string, DWORD>> asked;
    for (int guard = 0; guard < 50 && !frames.empty(); ++guard) {
        ASSERT_EQ(frames.size(), 1u);
        ASSERT_EQ(frames[0].header().command, COMMAND_FILEREQUEST);
        const std::string name = fileName(frames[0].record());
        asked.emplace_back(name, frames[0].header().offset);
        for (const auto& [rec, content] : offered)
            if (fileName(rec) == name)
                ex.onChunk(chunkFor(frames[0], content).as<FileChunkFrame>());
        frames = drain(ex);
    }
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, DWORD>>{
                         {"big.bin", 0}, {"big.bin", 51200}, {"big.bin", 102400}, {"small.txt", 0}}));
    settle();
    for (const auto& [rec, content] : offered) {
        EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_B/" + fileName(rec)), content) << fileName(rec);
        EXPECT_EQ(storedOf(fileName(rec).c_str()).complete, 1u);
    }
    // Whole files travel on to the other neighbour, never back.
    EXPECT_EQ(queued("NODE_C").size(), 3u);
    EXPECT_FALSE(testsupport::exists(queueFile("NODE_B")));

}

// Frames whose header promises more than they hold are answered from the
// header and record only, or not at all.
TEST_F(ExchangeTest, OversizedClaimsAreReadNoFurtherThanTheFrame)
{
    Frame poll = pollFrame();
    poll.h()->dataLen = 65000;
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 48u);
    poll.h()->headerLen = 0;
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    EXPECT_TRUE(drain(ex).empty());

    Frame req = requestFrame(ownFile("m.bin", patternBytes(3000)), 0);
    req.h()->dataLen = 60000;
    ex.sendChunk(req.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 868u + 3000u);

    // Too short for a record or a hello's fields: nothing read, nothing done.
    Frame tiny(100);
    initFileRequestHeader(tiny.h());
    tiny.h()->dataLen = 52;
    ex.sendChunk(tiny.as<FileRequestFrame>(), CHUNK_LIMIT_TCP);
    tiny.h()->command = COMMAND_FILECHUNK;
    ex.onChunk(tiny.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
    Frame hello(148);
    initNodeInfoHeader(hello.h());
    hello.h()->dataLen = 100;
    int party = -1;
    EXPECT_EQ(ex.onNodeInfo(hello.as<NodeInfoFrame>(), 1, "127.0.0.1", &party), 0);
    EXPECT_EQ(party, 0);
}

// min(count, 11, dataLen / 820) records are applied; a negative count starts
// fetching instead.
TEST_F(ExchangeTest, RecordsAppliedAreBoundedByCountElevenAndPayload)
{
    std::vector<CatalogRecord> recs;
    for (int i = 0; i < 12; ++i)
        recs.push_back(peerRec(("r" + std::to_string(i)).c_str(), 1));
    apply(recordsFrame(recs));
    EXPECT_EQ(catalog()->getRecCount(), 11);

    for (int i = 0; i < 11; ++i)
        recs[i] = peerRec(("s" + std::to_string(i)).c_str(), 1);
    recs.resize(11);
    Frame stale = recordsFrame(recs); // a payload of two: the rest is stale
    stale.h()->dataLen = 2 * 820;
    apply(std::move(stale));
    Frame shortOne = recordsFrame({peerRec("t0", 1), peerRec("t1", 1)});
    shortOne.h()->count = 11;
    settle(); // the answers before the last one are on the disk: the chain polls on
    apply(std::move(shortOne));
    EXPECT_EQ(catalog()->getRecCount(), 15);
    EXPECT_EQ(drain(ex).size(), 3u);

    Frame negative = recordsFrame({});
    negative.h()->count = 0xFFFFFFFF;
    apply(std::move(negative));
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().command, COMMAND_FILEREQUEST);
}

// A chunk whose length disagrees with its payload, exceeds every limit, or
// is not at the bytes held is not stored; out of step, the next file is
// asked for.
TEST_F(ExchangeTest, ChunksOutOfStepAreNotStored)
{
    const std::string content = patternBytes(100000, 5);
    apply(recordsFrame({peerRec("f.bin", DWORD(content.size())), peerRec("g.bin", 3)}));
    drain(ex);
    const CatalogRecord rec = storedOf("f.bin");
    auto nothingStored = [&] {
        return storedOf("f.bin").heldBytes == 0 && !testsupport::exists(recvDir() + "/NODE_B/f.bin")
            && !testsupport::exists(recvDir() + "/NODE_B/f.bin·受信中");
    };

    Frame chunk = chunkFor(requestFrame(rec, 0), content, 1000);
    for (DWORD length : {2000u, 999u}) {
        chunk.h()->length = length;
        ex.onChunk(chunk.as<FileChunkFrame>());
        EXPECT_TRUE(drain(ex).empty());
        EXPECT_TRUE(nothingStored());
    }
    const DWORD n = CHUNK_LIMIT_TCP + 100;
    Frame big(868 + n);
    beginFileChunkFrame(big.as<FileChunkFrame>(), *requestFrame(rec, 0).as<FileRequestFrame>());
    big.h()->length = n;
    big.h()->dataLen = WORD(820 + n);
    ex.onChunk(big.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
    EXPECT_TRUE(nothingStored());

    ex.onChunk(chunkFor(requestFrame(rec, 40), content, 1000).as<FileChunkFrame>());
    auto frames = drain(ex);
    EXPECT_TRUE(nothingStored());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(fileName(frames[0].record()), "g.bin");
    ex.onChunk(chunkFor(frames[0], "xyz").as<FileChunkFrame>()); // the chain ends there
    EXPECT_TRUE(drain(ex).empty());

    Frame first = chunkFor(requestFrame(rec, 0), content, 1000);
    ex.onChunk(first.as<FileChunkFrame>());
    frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().offset, 1000u);
    ex.onChunk(first.as<FileChunkFrame>()); // a repeat changes nothing
    drain(ex);
    EXPECT_EQ(storedOf("f.bin").heldBytes, 1000u);
    EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_B/f.bin·受信中"), content.substr(0, 1000))
        << "received beside its place";
}

// A link runs one fetch chain: an empty answer while it waits for a chunk
// starts none, a stalled or refused one is started again, and a late answer
// to a stalled chain is stored without starting a second.
TEST_F(ExchangeTest, OneFetchChainPerLink)
{
    struct StallTime {
        StallTime() { CExchange::setStallTime(std::chrono::hours(1)); }
        ~StallTime() { CExchange::setStallTime(CExchange::STALL_TIME); }
    } stallTime;
    const std::string big = patternBytes(CHUNK_LIMIT_TCP + 500, 2), small = patternBytes(700, 4);
    apply(recordsFrame({peerRec("big.bin", DWORD(big.size())), peerRec("small.bin", DWORD(small.size()))}));
    drain(ex);
    auto askedFor = [&](const char* file, DWORD offset) {
        auto frames = drain(ex);
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() != 1)
            return Frame(0);
        EXPECT_EQ(fileName(frames[0].record()), file);
        EXPECT_EQ(frames[0].header().offset, offset);
        return std::move(frames[0]);
    };

    apply(recordsFrame({}));
    const Frame first = askedFor("big.bin", 0);
    apply(recordsFrame({}));
    EXPECT_TRUE(drain(ex).empty());
    EXPECT_TRUE(ex.isFetching());
    ex.onChunk(chunkFor(first, big).as<FileChunkFrame>());
    const Frame second = askedFor("big.bin", CHUNK_LIMIT_TCP);
    apply(recordsFrame({}));
    EXPECT_TRUE(drain(ex).empty());

    // Its answer never came: the next empty answer asks again from the
    // bytes held.
    CExchange::setStallTime(std::chrono::milliseconds(0));
    apply(recordsFrame({}));
    const Frame again = askedFor("big.bin", CHUNK_LIMIT_TCP);
    CExchange::setStallTime(std::chrono::hours(1));

    // A late answer of an earlier chain is stored and asks for nothing.
    Frame late = chunkFor(requestFrame(storedOf("small.bin"), 0), small);
    ex.onChunk(late.as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
    settle();
    EXPECT_EQ(storedOf("small.bin").complete, 1u);
    ex.onChunk(chunkFor(again, big).as<FileChunkFrame>());
    settle();
    EXPECT_EQ(storedOf("big.bin").complete, 1u);
    EXPECT_TRUE(drain(ex).empty());
    EXPECT_FALSE(ex.isFetching());
    // The answer to the request asked twice changes nothing.
    ex.onChunk(chunkFor(second, big).as<FileChunkFrame>());
    EXPECT_TRUE(drain(ex).empty());
    EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_B/big.bin"), big);

    // A request the full queue refuses leaves no chain running.
    apply(recordsFrame({peerRec("next.bin", 10)}));
    drain(ex);
    fillQueue(ex);
    apply(recordsFrame({}));
    EXPECT_FALSE(ex.isFetching());
    drain(ex);
    apply(recordsFrame({}));
    askedFor("next.bin", 0);
}

// Names that are no plain names, in records or in a hello, never reach the
// catalog or the file system.
TEST_F(ExchangeTest, UnusableNamesAreSkipped)
{
    std::vector<CatalogRecord> bad;
    for (const char* origin : {"..", "catalog", "CATALOG", "a/b", "."})
        bad.push_back(makeRec(origin, "x.txt", 0));
    for (const char* file : {"../x.txt", "x/y.txt", "..", "a\x01" "b", ""})
        bad.push_back(makeRec("NODE_B", file, 0));
    bad.push_back(peerRec("ok.txt", 0));
    apply(recordsFrame(bad));
    EXPECT_EQ(catalog()->getRecCount(), 1);

    settings->addRow("skype.id", "SKYPE", "skype.id");
    const std::string catalogBefore = testsupport::readFile(catalogFile());
    for (const char* name : {"../evil", "catalog", "Catalog", "a/b", ""}) {
        Frame f(sizeof(NodeInfoFrame));
        buildNodeInfoFrame(f.as<NodeInfoFrame>(), name, "PARTY", 1, SYSTEMTIME{});
        int party = 0;
        EXPECT_EQ(ex.onNodeInfo(f.as<NodeInfoFrame>(), 0, "skype.id", &party), 0) << name;
    }
    EXPECT_STREQ(settings->getRecName(2), "skype.id");
    EXPECT_EQ(ex.getPeerNode(), "");
    EXPECT_EQ(testsupport::readFile(catalogFile()), catalogBefore);

    EXPECT_FALSE(testsupport::exists(dir.path() + "/evil.dat"));
    EXPECT_FALSE(testsupport::exists(dir.path() + "/x.txt"));
}

// Over TCP a sync request goes to the node the link was identified as, not
// to the name the hello carries.
TEST_F(ExchangeTest, OverTcpTheSyncGoesToTheLinksIdentifiedNode)
{
    CatalogRecord r = makeRec("NODE_A", "own.txt", 1);
    catalog()->addRec(&r);
    std::remove(queueFile("NODE_B").c_str());
    std::remove(queueFile("NODE_C").c_str());
    Frame f(sizeof(NodeInfoFrame));
    buildNodeInfoFrame(f.as<NodeInfoFrame>(), "NODE_C", "PARTY", 1, SYSTEMTIME{});
    int party = 0;
    ex.onNodeInfo(f.as<NodeInfoFrame>(), 1, "127.0.0.1", &party, "NODE_B");
    EXPECT_EQ(queued("NODE_B").size(), 1u);
    EXPECT_FALSE(testsupport::exists(queueFile("NODE_C")));
}

// A link owed a neighbour's whole catalog asks in one hello; only the answer
// to a poll queued after that hello tells that it went through.
TEST_F(ExchangeTest, AHelloAsksForTheWholeCatalogUntilALaterAnswerShowsItWentThrough)
{
    testsupport::writeFile(dir.path() + "/CATALOG/resyncNeighbours.flg", "");
    SyncRequest none;
    ex.sendSyncPoll();
    ex.sendHello("NODE_B", none);
    ex.sendHello("NODE_B", none);
    ex.sendSyncPoll();
    std::vector<DWORD> modes;
    for (Frame& f : drain(ex))
        if (f.header().category == CATEGORY_NODEINFO)
            modes.push_back(f.as<NodeInfoFrame>()->syncMode);
    EXPECT_EQ(modes, (std::vector<DWORD>{1, 0}));
    Frame empty = recordsFrame({});
    for (bool owedAfter : {true, false}) {
        ex.onCatalogRecords(empty.as<CatalogRecordsFrame>(), "NODE_B");
        EXPECT_EQ(catalog()->owesWholeSync("NODE_B"), owedAfter);
    }
}

TEST_F(ExchangeTest, AnAnswerThatCannotBeQueuedLeavesItsRecordsWaiting)
{
    for (int i = 0; i < 3; ++i) {
        CatalogRecord r = makeRec("NODE_A", ("q" + std::to_string(i)).c_str(), 1);
        catalog()->addRec(&r);
    }
    fillQueue(ex);
    Frame poll = pollFrame();
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    EXPECT_EQ(drain(ex).size(), std::size_t(ZQ_QUE::SLOT_COUNT));
    ex.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header().count, 3u);
}

// A poll tells that the answers sent before the link's previous poll
// arrived have reached the neighbour, never the newest one (a second poll
// may have crossed it). A second link takes past what the first has in
// flight; a link that goes leaves what it had not confirmed waiting again.
TEST_F(ExchangeTest, APollConfirmsTheAnswersBeforeTheLinksPreviousPollAndALinkThatGoesReleasesTheRest)
{
    for (int i = 0; i < 40; ++i) {
        CatalogRecord r = makeRec("NODE_A", ("q" + std::to_string(i)).c_str(), 1);
        catalog()->addRec(&r);
    }
    const auto answer = [](CExchange& link) {
        Frame poll = pollFrame();
        link.replyCatalog("NODE_B", poll.as<SyncPollFrame>());
        auto frames = drain(link);
        EXPECT_EQ(frames.size(), 1u);
        std::vector<std::string> names;
        for (DWORD i = 0; !frames.empty() && i < frames[0].header().count; ++i)
            names.push_back(fileName(frames[0].record(i)));
        return names;
    };
    const auto sentMarks = [&] {
        std::string marks;
        for (const CatalogRecord& r : queued("NODE_B"))
            marks += r.pending == 0 ? 's' : 'w';
        return marks;
    };
    const std::string s11(11, 's');

    EXPECT_EQ(answer(ex).front(), "q0");
    EXPECT_EQ(answer(ex).front(), "q11");
    EXPECT_EQ(sentMarks(), std::string(40, 'w')) << "no answer is known to be held yet";
    EXPECT_EQ(answer(ex).front(), "q22");
    EXPECT_EQ(sentMarks(), s11 + std::string(29, 'w')) << "the first answer is held";
    EXPECT_EQ(ex.answersInFlight(), 2u);
    {
        CExchange other; // a second link to the same neighbour
        EXPECT_EQ(answer(other).size(), 7u);
        EXPECT_EQ(answer(other).size(), 0u);
    }
    ex.releaseAnswers(); // the link goes
    EXPECT_EQ(ex.answersInFlight(), 0u);

    CExchange next;
    EXPECT_EQ(answer(next).front(), "q11") << "what was not confirmed goes again";
    EXPECT_EQ(answer(next).front(), "q22");
    EXPECT_EQ(answer(next).front(), "q33");
    EXPECT_EQ(sentMarks(), s11 + s11 + std::string(18, 'w'));
}

// Whatever a link does to the frames (held for any time, then the link
// dropped), a neighbour that polls as this node does is never confirmed an
// entry it did not receive: after the link, what it holds and what is
// offered again over the next link make up the whole queue. The neighbour's
// side is its ledger alone, on a clock of the test's own. A neighbour that
// sends three polls at once is not confirmed the answers still queued here.
TEST_F(ExchangeTest, TwoPollsOnTheirWayAtMostAndNoEntryConfirmedThatTheNeighbourMayNotHold)
{
    constexpr int ENTRIES = 120;
    const auto namesOf = [](Frame& f) {
        std::vector<std::string> names;
        for (DWORD i = 0; i < f.header().count; ++i)
            names.push_back(fileName(f.record(i)));
        return names;
    };
    for (int i = 0; i < 40; ++i) {
        CatalogRecord r = makeRec("NODE_A", ("q" + std::to_string(i)).c_str(), 1);
        catalog()->addRec(&r);
    }
    {
        CExchange eager;
        for (int k = 0; k < 3; ++k) {
            Frame p = pollFrame();
            eager.replyCatalog("NODE_B", p.as<SyncPollFrame>());
        }
    }
    Frame p = pollFrame();
    ex.replyCatalog("NODE_B", p.as<SyncPollFrame>());
    auto frames = drain(ex);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(namesOf(frames[0]).front(), "q0") << "offered again from the first";
    ex.releaseAnswers();

    std::mt19937 random(12345);
    for (int run = 0; run < 60; ++run) {
        const std::string prefix = "r" + std::to_string(run) + "_";
        for (int i = 0; i < ENTRIES; ++i) {
            CatalogRecord r = makeRec("NODE_A", (prefix + std::to_string(i)).c_str(), 1);
            catalog()->addRec(&r);
        }
        std::set<std::string> held; // what the neighbour received
        auto link = std::make_unique<CExchange>();
        CLinkLedger neighbour;
        CLinkLedger::Clock::time_point now{};
        std::deque<Frame> toNode, toNeighbour; // polls, answers
        const auto poll = [&] {
            toNode.push_back(pollFrame());
            neighbour.pollSent(now);
        };
        poll();
        bool open = true;
        for (int step = 0; open && step < 400; ++step) {
            switch (random() % 4) {
            case 0: // the node answers the oldest poll
                if (!toNode.empty()) {
                    link->replyCatalog("NODE_B", toNode.front().as<SyncPollFrame>());
                    toNode.pop_front();
                    for (Frame& f : drain(*link))
                        toNeighbour.push_back(std::move(f));
                }
                break;
            case 1: // an answer arrives, unless the link holds it
                if (!toNeighbour.empty() && random() % 3 != 0) {
                    for (const std::string& n : namesOf(toNeighbour.front()))
                        held.insert(n);
                    toNeighbour.pop_front();
                    neighbour.answerReceived();
                    if (neighbour.mayPoll())
                        poll();
                }
                break;
            case 2: // time passes: the neighbour's periodic poll
                now += std::chrono::seconds(random() % 40);
                switch (neighbour.pollDue(now)) {
                case CLinkLedger::Due::poll:
                    poll();
                    break;
                case CLinkLedger::Due::closeLink:
                    open = false;
                    break;
                case CLinkLedger::Due::wait:
                    break;
                }
                break;
            default:
                open = random() % 40 != 0; // the link drops
            }
            ASSERT_LE(neighbour.unanswered(), 2u);
        }
        link.reset(); // what was not confirmed waits again

        CExchange next; // a fresh link offers what is left: with the rest, all
        for (;;) {
            Frame p = pollFrame();
            next.replyCatalog("NODE_B", p.as<SyncPollFrame>());
            auto frames = drain(next);
            ASSERT_EQ(frames.size(), 1u);
            if (frames[0].header().count == 0)
                break;
            for (const std::string& n : namesOf(frames[0]))
                held.insert(n);
        }
        int ofRun = 0;
        for (const std::string& n : held)
            ofRun += n.rfind(prefix, 0) == 0 ? 1 : 0;
        ASSERT_EQ(ofRun, ENTRIES) << "run " << run;
    }
}

// A slow link is not a stuck one. Every answer comes 50 s after its poll
// while the neighbour's hellos keep arriving every 20 s: in half an hour the
// link is never to be closed and never has a third poll on its way. Once
// nothing at all arrives any more, it is to be closed within a stall time
// and a tick or two.
TEST_F(ExchangeTest, ALinkWhoseAnswersComeLateIsKeptWhileFramesKeepArriving)
{
    using namespace std::chrono_literals;
    CLinkLedger link;
    CLinkLedger::Clock::time_point now = CLinkLedger::Clock::time_point{} + 1h;
    std::deque<CLinkLedger::Clock::time_point> answersDue;
    const auto poll = [&] {
        link.pollSent(now);
        answersDue.push_back(now + 50s);
    };
    // The periodic poll at every 20th second: true when the link is to close.
    const auto tick = [&](int second) {
        const CLinkLedger::Due due = second % 20 == 0 ? link.pollDue(now) : CLinkLedger::Due::wait;
        if (due == CLinkLedger::Due::poll)
            poll();
        return due == CLinkLedger::Due::closeLink;
    };
    int closes = 0;
    for (int second = 0; second < 1800; ++second) {
        now += 1s;
        while (!answersDue.empty() && answersDue.front() <= now) {
            answersDue.pop_front();
            link.arrived(now);
            link.answerReceived();
            if (link.mayPoll())
                poll(); // each answer brings records: the chain polls again
        }
        if (second % 20 == 10)
            link.arrived(now); // the neighbour's hello
        closes += tick(second) ? 1 : 0;
        ASSERT_LE(link.unanswered(), 2u);
    }
    EXPECT_EQ(closes, 0);
    EXPECT_GT(link.answersReceived(), 60u);

    answersDue.clear(); // the neighbour goes silent
    int silentFor = 0;
    while (silentFor < 120 && !tick(silentFor)) {
        now += 1s;
        ++silentFor;
    }
    EXPECT_GE(silentFor, 30);
    EXPECT_LT(silentFor, 120);
}

// One poll chain per link, and never a third poll on its way: the periodic
// poll waits while a poll awaits its answer, one that has stalled lets one
// more go, and when that one stalls too the link is to be closed. And no
// poll goes before what came is stored and on the disk (a full disk, a sync
// that fails): a poll tells the neighbour that the records are held.
TEST_F(ExchangeTest, OnePollChainPerLinkAndNoPollBeforeWhatCameIsOnTheDisk)
{
    const auto polls = [](CExchange& link) {
        int n = 0;
        for (const Frame& f : drain(link))
            n += f.header().command == COMMAND_SYNCPOLL ? 1 : 0;
        return n;
    };
    const auto stalled = [](bool on) {
        CExchange::setStallTime(on ? std::chrono::milliseconds(0) : CExchange::STALL_TIME);
    };
    EXPECT_TRUE(ex.sendPeriodicPoll());
    EXPECT_EQ(polls(ex), 1);
    ex.sendPeriodicPoll();
    EXPECT_EQ(polls(ex), 0) << "the first awaits its answer";
    apply(recordsFrame({peerRec("a.txt", 5)}));
    EXPECT_EQ(polls(ex), 1) << "the chain's poll";
    settle(); // what the answer brought is on the disk
    stalled(true);
    EXPECT_TRUE(ex.sendPeriodicPoll());
    EXPECT_EQ(polls(ex), 1) << "one more poll when the answer does not come";
    ex.sendSyncPoll();
    EXPECT_FALSE(ex.sendPeriodicPoll()) << "both stalled: the link is stuck";
    EXPECT_EQ(polls(ex), 0) << "never a third on its way";
    stalled(false);
    apply(recordsFrame({}));
    apply(recordsFrame({peerRec("b.txt", 5)}));
    EXPECT_EQ(polls(ex), 1) << "the answers came: the chain goes on";

    CExchange link;
    const auto take = [&link](Frame f) { link.onCatalogRecords(f.as<CatalogRecordsFrame>()); };
    link.sendPeriodicPoll();
    drain(link);
    testsupport::FileSizeLimit full(2 * 820);
    testing::internal::CaptureStdout();
    take(recordsFrame({peerRec("c.txt", 5)}));
    link.sendPeriodicPoll();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(polls(link), 0);
    EXPECT_EQ(catalog()->getRecCount(), 3);
    full.lift();
    testing::internal::CaptureStdout();
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(catalogtest::readRecords(catalogFile()).size(), 3u);
    link.sendPeriodicPoll();
    EXPECT_EQ(polls(link), 1);

    // What an answer brought reaches the disk before the poll after next:
    // each file written once, catalog.dat and the queue of the neighbour it
    // is passed on to, with their folder once for both.
    std::vector<std::string> synced;
    std::atomic<int> fault = 0;
    std::atomic<bool> held = false;
    catalogtest::SyncHook hook([&](const std::string& path) {
        while (held)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        synced.push_back(path.substr(path.rfind('/') + 1));
        return fault.load();
    });
    take(recordsFrame({peerRec("d.txt", 0), peerRec("e.txt", 0)})); // whole at once: passed on
    settle();
    std::sort(synced.begin(), synced.end());
    EXPECT_EQ(synced, (std::vector<std::string>{"CATALOG", "NODE_B", "NODE_C.dat", "catalog.dat"}));
    EXPECT_EQ(polls(link), 1);
    synced.clear();
    take(recordsFrame({}));
    settle();
    EXPECT_EQ(polls(link), 0) << "the chain ends at the empty answer";
    EXPECT_TRUE(synced.empty()) << "an answer that brought nothing needs no sync";

    // A sync that fails proves nothing that was written to the file, and a
    // later sync that works proves nothing either (Linux tells a failed
    // write once): no poll goes until each file is written again whole from
    // memory (what the page cache held may be gone) under another name,
    // renamed into place, and its folder synced.
    link.sendPeriodicPoll();
    EXPECT_EQ(polls(link), 1);
    take(recordsFrame({peerRec("f.txt", 0)}));
    EXPECT_EQ(polls(link), 1) << "it vouches for the answers before the last";
    settle();
    fault = EIO;
    held = true; // the failure comes back only once the poll is decided
    testing::internal::CaptureStdout();
    take(recordsFrame({peerRec("g.txt", 0)}));
    const std::uint64_t round = catalog()->roundOfWrites();
    const int afterG = polls(link);
    held = false;
    settle();
    take(recordsFrame({peerRec("h.txt", 0)}));
    settle();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot be put on the disk"), std::string::npos);
    EXPECT_EQ(afterG, 1) << "f.txt is on the disk";
    EXPECT_EQ(polls(link), 0) << "g.txt is not";
    const std::vector<CatalogRecord> queuedC = queued("NODE_C");
    const platform::FileStamp catalogWas = platform::fileStamp(catalogFile());
    const platform::FileStamp queueWas = platform::fileStamp(queueFile("NODE_C"));
    {
        // The pages of the failed writes are gone: the disk has zeros there.
        platform::CFile f;
        ASSERT_TRUE(f.Open(queueFile("NODE_C"), platform::CFile::modeReadWrite));
        f.Seek(std::int64_t(queuedC.size() - 1) * 820, platform::CFile::begin);
        f.Write(std::string(820, '\0').data(), 820);
        f.Close();
        ASSERT_TRUE(f.Open(catalogFile(), platform::CFile::modeReadWrite));
        f.Seek(std::int64_t(catalog()->getRecCount() - 1) * 820, platform::CFile::begin);
        f.Write(std::string(820, '\0').data(), 820);
        f.Close();
    }
    fault = 0;
    synced.clear();
    testing::internal::CaptureStdout();
    for (int n = 0; n < 20 && !catalog()->isSynced(round); ++n)
        catalog()->settleSyncs(1);
    link.onTick();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(polls(link), 1);
    ASSERT_TRUE(catalog()->isSynced(round));
    const auto temporary = [](const std::string& n) { return platform::isTemporaryName(n); };
    EXPECT_EQ(std::count_if(synced.begin(), synced.end(), temporary), 2) << "each written again whole";
    const auto lastTemporary = std::find_if(synced.rbegin(), synced.rend(), temporary);
    EXPECT_NE(std::find(synced.rbegin(), lastTemporary, "CATALOG"), lastTemporary) << "then their folder synced";
    EXPECT_NE(platform::fileStamp(catalogFile()).inode, catalogWas.inode);
    EXPECT_NE(platform::fileStamp(queueFile("NODE_C")).inode, queueWas.inode);
    EXPECT_EQ(catalogtest::bytesOf(queued("NODE_C")), catalogtest::bytesOf(queuedC));
    EXPECT_EQ(catalogtest::bytesOf(catalogtest::readRecords(catalogFile())), catalogtest::bytesOf(all()));
}
