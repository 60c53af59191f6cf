// Skype streams: the tick (one frame under way, hello and poll every 201
// ready ticks, keep-alive when idle, "-PASV"), the sequence and frame checks
// of what is read, and the key that addresses a READ to one stream.
#include "protocol/post_error.h"
#include "skype/skype_testkit.h"
#include "store/catalog_testkit.h"

using namespace skypetest;

namespace {

class SkypeStream : public SkypeAppTest {
protected:
    void SetUp() override
    {
        SkypeAppTest::SetUp();
        createApplication();
    }

    // A stream to bob, made by the client's list.
    ZQ_SKYPESTREAM* open(const char* key = "bob:1")
    {
        EXPECT_TRUE(notifyApp(std::string("STREAMS ") + key));
        return stream(key);
    }
    bool read(const std::string& key, const std::string& hex)
    {
        return api->notify(std::string("ALTER APPLICATION ") + APP_NAME + " READ " + key + " " + hex);
    }
    std::vector<std::vector<BYTE>> written(std::size_t from = 0) { return writtenFrames(*api, "bob:1", from); }
    std::string disconnectCmd() const { return std::string("ALTER APPLICATION ") + APP_NAME + " DISCONNECT bob:1"; }
    static bool isKind(const std::vector<BYTE>& f, WORD category, WORD command)
    {
        return headerOf(f).category == category && headerOf(f).command == command;
    }
    void sendingDone() { ASSERT_TRUE(notifyApp("SENDING")); }
    // A file of this node's in SEND, registered and queued for bob.
    CatalogRecord addOwnFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(std::string(settings->getSendFolder()) + "/" + name, content);
        CatalogRecord own = catalogtest::makeRec("A", name, static_cast<DWORD>(content.size()), CATALOG_STATE_NEW, "P");
        own.complete = 1;
        own.heldBytes = static_cast<DWORD>(content.size());
        CCatalog::setCheckSum(&own);
        CCatalog::getInstance()->addRec(&own);
        return own;
    }
};

} // namespace

TEST_F(SkypeStream, NewStreamSaysHelloThenPollsOneFrameAtATime)
{
    ASSERT_NE(open(), nullptr);
    tick(); // the first ready tick queues hello and poll
    EXPECT_TRUE(written().empty());
    tick();
    auto frames = written();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(isKind(frames[0], CATEGORY_NODEINFO, COMMAND_NODEINFO));
    EXPECT_EQ(headerOf(frames[0]).sequence, 0u);

    tick(500); // under way: nothing leaves, nothing is counted
    EXPECT_EQ(written().size(), 1u);
    sendingDone();
    tick();
    frames = written();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(isKind(frames[1], CATEGORY_CATALOG, COMMAND_SYNCPOLL));
    EXPECT_EQ(headerOf(frames[1]).sequence, 1u);

    // The next pair is queued 201 ready ticks after the first.
    int ticks = 3; // ready ticks so far
    while (written().size() == 2u && ticks < 400) {
        sendingDone();
        tick();
        ++ticks;
    }
    EXPECT_EQ(ticks, 203) << "queued on ready tick 202, written on the next";
    frames = written();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(isKind(frames[2], CATEGORY_NODEINFO, COMMAND_NODEINFO));
}

TEST_F(SkypeStream, PassiveStreamOnlyKeepsAliveEveryThreeThousandAndOneIdleTicks)
{
    settings->switches.pasvMode = 1;
    ASSERT_NE(open(), nullptr);
    stream("bob:1")->setSyncRequest(1, SYSTEMTIME{});
    tick(3000);
    EXPECT_TRUE(written().empty());
    tick();
    auto frames = written();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(isKind(frames[0], CATEGORY_KEEPALIVE, COMMAND_KEEPALIVE));
    EXPECT_EQ(headerOf(frames[0]).sequence, 0u);
    sendingDone();
    tick(3001);
    frames = written();
    ASSERT_EQ(frames.size(), 2u) << "no hello, no poll, no sync request ever";
    EXPECT_EQ(headerOf(frames[1]).sequence, 1u);
}

TEST_F(SkypeStream, SyncRequestGoesWithTheNextHelloOnly)
{
    ASSERT_NE(open(), nullptr);
    stream("bob:1")->setSyncRequest(2, catalogtest::makeTime(2011, 3, 4));
    stream("bob:1")->setSyncRequest(1, SYSTEMTIME{}); // the newer one replaces it
    for (int i = 0; i < 210; ++i) {
        sendingDone();
        tick();
    }
    std::vector<DWORD> modes;
    for (const auto& f : written())
        if (isKind(f, CATEGORY_NODEINFO, COMMAND_NODEINFO))
            modes.push_back(reinterpret_cast<const NodeInfoFrame*>(f.data())->syncMode);
    EXPECT_EQ(modes, (std::vector<DWORD>{1, 0}));
}

TEST_F(SkypeStream, OutOfSequenceFrameAsksToCloseAndTheExpectedOneIsStillTaken)
{
    ASSERT_NE(open(), nullptr);
    PeerFrames peer;
    peer.skip();
    const std::string early = peer.poll(); // carries 1, 0 expected
    std::size_t from = api->calls.size();
    ASSERT_TRUE(read("bob:1", early));
    EXPECT_EQ(api->texts(from), std::vector<std::string>{disconnectCmd()});

    PeerFrames fresh;
    from = api->calls.size();
    ASSERT_TRUE(read("bob:1", fresh.poll())); // 0: handled, the answer queued
    EXPECT_EQ(api->calls.size(), from);
    tick(3);
    const auto frames = written();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(isKind(frames[0], CATEGORY_CATALOG, COMMAND_CATALOGRECORDS)) << "the poll was answered first";
}

TEST_F(SkypeStream, OnlyAStrictWholeCheckedFrameIsRead)
{
    ASSERT_NE(open(), nullptr);
    PeerFrames peer;
    const std::string good = peer.keepAlive();
    NodeInfoFrame hello{};
    DWORD n = buildNodeInfoFrame(&hello, "bob", "P", 0, SYSTEMTIME{});
    hello.header.dataLen = NODEINFO_DATA_LEN - 1; // no hello's size
    const std::string shortHello = PeerFrames::hex(&hello, n - 1);
    std::string upper = good;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    const std::string bad[] = {
        good.substr(1),                      // odd length
        good.substr(0, 10) + "zz" + good.substr(12), // not a hex digit
        good + "00",                         // more bytes than the header says
        good.substr(0, good.size() - 2),     // fewer
        shortHello,                          // fails the frame check
        std::string(2 * ZQ_SKYPESTREAM::RX_FRAME_SIZE + 2, '0'), // beyond the buffer
        "",
    };
    const std::size_t from = api->calls.size();
    for (const std::string& hex : bad)
        ASSERT_TRUE(read("bob:1", hex));
    EXPECT_EQ(api->calls.size(), from) << "ignored: no DISCONNECT";
    ASSERT_TRUE(read("bob:1", upper)) << "upper-case digits are hex too";
    ASSERT_TRUE(read("bob:1", peer.poll())); // sequence 1: the keep-alive above counted, nothing else did
    EXPECT_EQ(api->calls.size(), from);
}

TEST_F(SkypeStream, ReadGoesOnlyToTheStreamItsKeyNames)
{
    ASSERT_TRUE(notifyApp("STREAMS bob:1 bob:12"));
    PeerFrames peer;
    peer.skip(); // stream 1 would ask to close on this number
    const std::string frame = peer.keepAlive();
    const std::size_t from = api->calls.size();
    ASSERT_TRUE(read("bob:12", frame));
    EXPECT_EQ(api->texts(from), std::vector<std::string>{std::string("ALTER APPLICATION ") + APP_NAME +
                                                          " DISCONNECT bob:12"});
}

TEST_F(SkypeStream, FrameTooLongForACommandIsDroppedBeforeItTakesANumber)
{
    ZQ_SKYPESTREAM* s = open();
    ASSERT_NE(s, nullptr);
    std::vector<BYTE> big(33000, 0);
    s->sendFrame(static_cast<int>(big.size()), big.data());
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(s->isReadyToSend(), 1);
    s->sendKeepAlive();
    const auto frames = written();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(headerOf(frames[0]).sequence, 0u);
}

TEST_F(SkypeStream, FileRequestIsAnsweredWithAtMostTwentyKilobytes)
{
    const CatalogRecord own = addOwnFile("big.bin", std::string(50000, 'q'));

    ASSERT_NE(open(), nullptr);
    PeerFrames peer;
    FileRequestFrame req{};
    const DWORD n = buildFileRequestFrame(&req, own);
    req.header.offset = 0;
    ASSERT_TRUE(read("bob:1", peer.hexOf(req, n)));
    tick(3);
    std::vector<BYTE> chunk;
    for (const auto& fr : written())
        if (isKind(fr, CATEGORY_FILE, COMMAND_FILECHUNK))
            chunk = fr;
    ASSERT_FALSE(chunk.empty());
    EXPECT_EQ(headerOf(chunk).length, CHUNK_LIMIT_SKYPE);
    EXPECT_EQ(chunk.size(), FILE_CHUNK_DATA_OFFSET + CHUNK_LIMIT_SKYPE);
}

TEST_F(SkypeStream, RecordsUnderWayWhenTheStreamGoesWaitForTheNextLinkDeliveredOnesDoNot)
{
    settings->switches.pasvMode = 1; // only what the test asks for leaves
    addOwnFile("r.bin", std::string(100, 'r'));
    const auto recordsWritten = [&](std::size_t from) {
        int n = 0;
        for (const auto& f : written(from))
            n += isKind(f, CATEGORY_CATALOG, COMMAND_CATALOGRECORDS) && headerOf(f).count == 1 ? 1 : 0;
        return n;
    };

    // Written, not yet delivered, when the link is lost.
    ASSERT_NE(open(), nullptr);
    PeerFrames peer;
    ASSERT_TRUE(read("bob:1", peer.poll()));
    tick();
    ASSERT_EQ(recordsWritten(0), 1);
    a2a->closeAllStreams();
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    std::uint64_t batch = 0;
    EXPECT_EQ(CCatalog::getInstance()->takeQueueRecs("bob", out, &batch), 1)
        << "the record under way waits for bob again";
    CCatalog::getInstance()->releaseQueueRecs(batch);

    // Delivered, and known to be: bob polled twice more on that stream (the
    // second poll tells that the answer sent before the first had arrived);
    // then an idle keep-alive under way: nothing goes back.
    const std::size_t from = api->calls.size();
    ASSERT_NE(open("bob:2"), nullptr);
    PeerFrames peer2;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(read("bob:2", peer2.poll()));
        tick();
        sendingDone();
    }
    ASSERT_EQ(writtenFrames(*api, "bob:2", from).size(), 3u);
    tick(3001);
    const auto frames = writtenFrames(*api, "bob:2", from);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(headerOf(frames[0]).count, 1u);
    EXPECT_TRUE(isKind(frames[3], CATEGORY_KEEPALIVE, COMMAND_KEEPALIVE));
    a2a->closeAllStreams();
    EXPECT_EQ(CCatalog::getInstance()->takeQueueRecs("bob", out), 0) << "a delivered record is not sent again";
}

// A contact whose node announces the name of another row's neighbour (the
// TCP row R) is refused, on each stream, and said once: its row keeps its
// name, no queue moves, and its poll takes none of R's entries. A node that
// announces a name of its own still gives its row that name, with its queue.
TEST_F(SkypeStream, AContactWhoseNodeAnnouncesAnotherRowsNeighbourIsRefusedAndSaidOnce)
{
    settings->switches.pasvMode = 1; // only what the test asks for leaves
    settings->addRow("R", "TCP", "127.0.0.1/43001");
    std::vector<PostedNotice> notices;
    struct Listening {
        ~Listening() { CPostError::destroyInstance(); }
    } listening;
    CPostError::getInstance()->setTarget([&notices](const PostedNotice& n) { notices.push_back(n); });
    addOwnFile("r.bin", std::string(100, 'r')); // queued for bob, carol and R
    const auto waiting = [](const char* neighbour) {
        CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
        std::uint64_t batch = 0;
        const int n = CCatalog::getInstance()->takeQueueRecs(neighbour, out, &batch);
        CCatalog::getInstance()->releaseQueueRecs(batch);
        return n;
    };

    for (const char* key : {"bob:1", "bob:2"}) {
        ASSERT_NE(open(key), nullptr);
        PeerFrames peer;
        const std::size_t from = api->calls.size();
        ASSERT_TRUE(read(key, peer.hello("R")));
        ASSERT_TRUE(read(key, peer.poll()));
        tick(3);
        EXPECT_EQ(api->texts(from), std::vector<std::string>{std::string("ALTER APPLICATION ") + APP_NAME
                                                              + " DISCONNECT " + key});
    }
    EXPECT_STREQ(settings->getRecName(0), "bob");
    EXPECT_EQ(waiting("R"), 1) << "R's entry stays R's";
    EXPECT_EQ(waiting("bob"), 1);
    testsupport::runFor(20);
    ASSERT_EQ(notices.size(), 1u) << "said once";
    EXPECT_EQ(notices[0].wParam, POSTERROR_WARNING);
    EXPECT_NE(notices[0].text.find("[REC3]"), std::string::npos) << "names R's row";

    ASSERT_NE(open("bob:3"), nullptr);
    PeerFrames own;
    ASSERT_TRUE(read("bob:3", own.hello("N2")));
    EXPECT_STREQ(settings->getRecName(0), "N2");
    EXPECT_EQ(waiting("N2"), 1);
    EXPECT_EQ(waiting("R"), 1);
}
