// What a neighbour may make the catalog do: records of this node's own name,
// malformed records, a catalog at its cap, and reads of a file beyond the
// size its record shares.
#include "catalog_testkit.h"

#include <algorithm>
#include <functional>

using namespace catalogtest;
using testsupport::exists;

namespace {

class ReceivedRecords : public CatalogTest {
protected:
    void SetUp() override
    {
        CatalogTest::SetUp();
        settings->addRow("NODE_B", "TCP", "127.0.0.1");
    }
    void TearDown() override
    {
        CCatalog::setRecordLimits(CCatalog::MAX_RECORDS, CCatalog::MAX_FILE_RECORDS);
        CatalogTest::TearDown();
    }

    CatalogRecord ownFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(sendDir() + "/" + name, content);
        CatalogRecord r = makeRec("NODE_A", name, DWORD(content.size()));
        catalog()->addRec(&r);
        EXPECT_TRUE(catalog()->findRec(name, "NODE_A", &r));
        return r;
    }

    // Console lines printed while fn runs that hold `mark`.
    static int linesWith(const std::string& mark, const std::function<void()>& fn)
    {
        testing::internal::CaptureStdout();
        fn();
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        int n = 0;
        for (std::size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1))
            ++n;
        return n;
    }
};

// A node's own records never come back to it: a peer that sends them forges
// them (or bears the same name). Neither a deletion with the very times the
// node handed out, nor a later update, nor a new record of a file the node
// never shared is taken; the console says so once per neighbour.
TEST_F(ReceivedRecords, RecordsOfThisNodesNameAreRefusedWhateverTheirTimes)
{
    const CatalogRecord own = ownFile("own.txt", "mine");
    const std::size_t queuedBefore = readRecords(queueFile("NODE_B")).size();

    CatalogRecord deletion = own;
    deletion.state = CATALOG_STATE_DELETED;
    CatalogRecord update = own;
    update.state = CATALOG_STATE_UPDATED;
    update.registered.wYear = 2030;
    update.findData.nFileSizeLow = 1;
    CatalogRecord secret = makeRec("NODE_A", ".secret", 0);
    testsupport::writeFile(sendDir() + "/.secret", "never shared");
    for (CatalogRecord* r : {&deletion, &update, &secret})
        CCatalog::setCheckSum(r);

    const std::string mark = "NODE_B";
    EXPECT_EQ(linesWith(mark,
                        [&] {
                            catalog()->recvDeleteRec(&deletion, "NODE_B");
                            deletion.registered.wYear = 2031;
                            CCatalog::setCheckSum(&deletion);
                            catalog()->recvDeleteRec(&deletion, "NODE_B");
                            catalog()->mergeRec(&update, "NODE_B");
                            catalog()->recvNewRec(&secret, "NODE_B");
                        }),
              1)
        << "one console line for the neighbour";
    EXPECT_EQ(linesWith("NODE_C", [&] { catalog()->mergeRec(&update, "NODE_C"); }), 1);
    EXPECT_EQ(linesWith("NODE_C", [&] { catalog()->mergeRec(&update, "NODE_C"); }), 0);

    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(bytesOf(stored(0)), bytesOf(own));
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), queuedBefore) << "nothing relayed";
    catalog()->compactList();
    EXPECT_EQ(testsupport::readFile(sendDir() + "/own.txt"), "mine");

    char buf[64];
    EXPECT_EQ(catalog()->readFileData(0, sizeof buf, &secret, buf), 0u);
    EXPECT_FALSE(exists(recvDir() + "/NODE_A"));
}

// Each field is checked before the record is stored or relayed.
TEST_F(ReceivedRecords, MalformedRecordsAreNeitherStoredNorRelayed)
{
    using Spoil = std::function<void(CatalogRecord&)>;
    const std::vector<std::pair<const char*, Spoil>> spoiled = {
        {"hop count 11", [](CatalogRecord& r) { r.hopCount = 11; }},
        {"hop count -1", [](CatalogRecord& r) { r.hopCount = 0xFFFFFFFF; }},
        {"no record size", [](CatalogRecord& r) { r.recordSize = 0; }},
        {"state 4", [](CatalogRecord& r) { r.state = 4; }},
        {"month 13", [](CatalogRecord& r) { r.registered.wMonth = 13; }},
        {"hour 24", [](CatalogRecord& r) { r.registered.wHour = 24; }},
        {"no registration", [](CatalogRecord& r) { r.registered = SYSTEMTIME {}; }},
        {"expiry day 0", [](CatalogRecord& r) { r.expires.wDay = 0; }},
        {"name without end", [](CatalogRecord& r) { std::memset(r.findData.cFileName, 'a', MAX_PATH); }},
        {"4 GiB", [](CatalogRecord& r) { r.findData.nFileSizeHigh = 1; }},
        {"no party", [](CatalogRecord& r) { std::memset(r.partyName, 0, sizeof r.partyName); }},
        {"origin catalog", [](CatalogRecord& r) { cp932::copyField(r.originNode, CATALOG_NAME_LEN, "catalog"); }},
    };
    for (const auto& [what, spoil] : spoiled) {
        SCOPED_TRACE(what);
        for (DWORD state : {CATALOG_STATE_NEW, CATALOG_STATE_UPDATED, CATALOG_STATE_DELETED}) {
            CatalogRecord r = makeRec("NODE_X", "f.txt", 10, state);
            spoil(r);
            CCatalog::setCheckSum(&r);
            EXPECT_FALSE(CCatalog::isWholeRec(&r));
            catalog()->recvNewRec(&r, "NODE_B");
            catalog()->mergeRec(&r, "NODE_B");
            catalog()->recvDeleteRec(&r, "NODE_B");
        }
    }
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    // The same record unspoilt is taken; a full 32-byte origin and an expiry
    // left all zero by its registration are well formed.
    CatalogRecord good = makeRec("NODE_X", "f.txt", 10);
    catalog()->mergeRec(&good, "NODE_B");
    CatalogRecord full = makeRec("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "g.txt", 10);
    full.expires = SYSTEMTIME {};
    EXPECT_TRUE(CCatalog::isWholeRec(&full));
    EXPECT_EQ(catalog()->getRecCount(), 1);
}

// A hostile member of the party cannot fill the disk: past the cap no new
// key from a neighbour is taken (said once per neighbour), while updates of
// held keys and the node's own registrations go on.
TEST_F(ReceivedRecords, NoNewKeysFromNeighboursBeyondTheCapButOwnRegistrationsGoOn)
{
    CCatalog::setRecordLimits(3, 5);
    for (int i = 0; i < 3; ++i) {
        const CatalogRecord r = makeRec("NODE_X", ("f" + std::to_string(i)).c_str(), 0);
        catalog()->mergeRec(&r, "NODE_B");
    }
    ASSERT_EQ(catalog()->getRecCount(), 3);
    EXPECT_EQ(linesWith("NODE_B",
                        [&] {
                            for (int i = 3; i < 6; ++i) {
                                const CatalogRecord r = makeRec("NODE_X", ("f" + std::to_string(i)).c_str(), 0);
                                catalog()->mergeRec(&r, "NODE_B");
                            }
                        }),
              1);
    EXPECT_EQ(catalog()->getRecCount(), 3);
    EXPECT_FALSE(exists(recvDir() + "/NODE_X/f3")) << "no empty file made for a refused record";

    CatalogRecord later = makeRec("NODE_X", "f0", 7);
    later.registered.wYear = 2011;
    CCatalog::setCheckSum(&later);
    catalog()->mergeRec(&later, "NODE_B");
    EXPECT_EQ(stored(0).findData.nFileSizeLow, 7u);

    // Own registrations go beyond the neighbours' cap, up to what the
    // catalog file may hold.
    for (const char* name : {"own0", "own1", "own2"}) {
        testsupport::writeFile(sendDir() + "/" + name, "x");
        const CatalogRecord r = makeRec("NODE_A", name, 1);
        catalog()->addRec(&r);
    }
    EXPECT_EQ(catalog()->getRecCount(), 5);
    EXPECT_TRUE(catalog()->findRec("own1", "NODE_A", nullptr));
    EXPECT_FALSE(catalog()->findRec("own2", "NODE_A", nullptr));
}

// A file in SEND that grew after its registration is served only up to
// the size its record shares.
TEST_F(ReceivedRecords, ChunksAreReadNoFurtherThanTheRecordsSize)
{
    const CatalogRecord own = ownFile("grow.txt", "0123456789");
    testsupport::writeFile(sendDir() + "/grow.txt", "0123456789-not-shared-yet");
    char buf[64] = {};
    EXPECT_EQ(catalog()->readFileData(0, sizeof buf, &own, buf), 10u);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(catalog()->readFileData(6, sizeof buf, &own, buf), 4u);
    EXPECT_EQ(catalog()->readFileData(10, sizeof buf, &own, buf), 0u);
    EXPECT_EQ(catalog()->readFileData(0xFFFFFFF0u, sizeof buf, &own, buf), 0u);
}

} // namespace
