// Own registrations and records received from peers.
#include "catalog_testkit.h"

#include <unistd.h>

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogChanges : public CatalogTest {
protected:
    void SetUp() override
    {
        CatalogTest::SetUp();
        settings->addRow("NODE_B", "TCP", "127.0.0.1");
    }
};

TEST_F(CatalogChanges, AddRecOfAKeyAlreadyHeldReplacesThatRecord)
{
    const CatalogRecord first = makeRec("NODE_A", "a.txt", 10);
    const CatalogRecord other = makeRec("NODE_A", "b.txt", 20);
    catalog()->addRec(&first);
    catalog()->addRec(&other);
    const CatalogRecord again = makeRec("NODE_A", "a.txt", 30);
    catalog()->addRec(&again);
    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(stored(0).findData.nFileSizeLow, 30u);
    EXPECT_EQ(listener.events.back().kind, Event::RecordAt);
    EXPECT_EQ(readRecords(catalogFile()).size(), 2u);
}

TEST_F(CatalogChanges, FilesOf4GiBOrMoreAreNeitherRegisteredNorTakenFromAPeer)
{
    CatalogRecord own = makeRec("NODE_A", "big.iso", 5);
    own.findData.nFileSizeHigh = 1;
    catalog()->addRec(&own);
    CatalogRecord received = makeRec("NODE_X", "big.iso", 5);
    received.findData.nFileSizeHigh = 2;
    catalog()->mergeRec(&received);
    catalog()->recvNewRec(&received);
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    // Nor does a big update replace a held registration.
    const CatalogRecord small = makeRec("NODE_A", "f.bin", 5);
    catalog()->addRec(&small);
    CatalogRecord grown = small;
    grown.findData.nFileSizeHigh = 1;
    catalog()->updateRec(&grown);
    EXPECT_EQ(stored(0).findData.nFileSizeHigh, 0u);
}

TEST_F(CatalogChanges, ReceivedRecordsWhoseNamesAreNoPlainNamesAreRefused)
{
    struct Bad {
        const char* origin;
        const char* file;
    };
    const Bad bad[] = {{"..", "f.txt"},    {".", "f.txt"},           {"a/b", "f.txt"},  {"..\\x", "f.txt"},
                       {"c:d", "f.txt"},   {"", "f.txt"},            {"NODE_X", ".."},  {"NODE_X", "sub/f.txt"},
                       {"NODE_X", "\\e"},  {"NODE_X", "../../etc/passwd"}, {"NODE_X", "x\x01y"}};
    for (const Bad& b : bad) {
        CatalogRecord r = makeRec(b.origin, b.file, 10);
        catalog()->mergeRec(&r);
        catalog()->recvNewRec(&r);
        r.state = CATALOG_STATE_DELETED;
        catalog()->recvDeleteRec(&r);
    }
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    // A full 32-byte origin followed in memory by a slash is the name alone;
    // a CP932 name whose second byte is 0x5C is one plain name.
    CatalogRecord full = makeRec("NODE_X", "g.txt", 10);
    std::memcpy(full.originNode, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32);
    full.reserved1 = '/';
    catalog()->mergeRec(&full);
    const CatalogRecord sjis = makeRec("NODE_X", "\x95\x5c.txt", 10);
    catalog()->mergeRec(&sjis);
    EXPECT_EQ(catalog()->getRecCount(), 2);
}

TEST_F(CatalogChanges, ADeletionOfAnOlderRegistrationLeavesTheNewerOneButTravelsOn)
{
    CatalogRecord held = makeRec("NODE_X", "f.txt", 10);
    held.registered = makeTime(2010, 10, 14, 12, 0, 0, 0);
    catalog()->mergeRec(&held);

    CatalogRecord del = held;
    del.state = CATALOG_STATE_DELETED;
    del.registered = makeTime(2010, 10, 14, 11, 59, 59, 999);
    catalog()->recvDeleteRec(&del);
    EXPECT_EQ(stored(0).state, CATALOG_STATE_NEW);
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);

    del.registered = held.registered;
    catalog()->recvDeleteRec(&del);
    EXPECT_EQ(stored(0).state, CATALOG_STATE_DELETED);
}

// A deletion of a registration the catalog does not hold (a kill under
// -CATALOGCASH took back the catalog that had it) takes the copy that the
// compaction would have taken, and only while its size and last-write time
// are the registration's: not a copy written since, nor a file being
// received, nor anything behind a folder that is a link.
TEST_F(CatalogChanges, ADeletionOfARegistrationNotHeldTakesOnlyThatRegistrationsCopy)
{
    settings->switches.catalogCashMode = 1;
    const std::string data(100, 'd');
    const struct timespec written {1700000000, 123456700};
    const auto rec = [&](const char* origin, const char* file) {
        CatalogRecord r = makeRec(origin, file, 100);
        r.findData.ftLastWriteTime = fileTimeFromTimespec(written);
        return summed(r);
    };
    const CatalogRecord a = rec("NODE_X", "a.txt"), edited = rec("NODE_X", "edited.txt"),
                        partial = rec("NODE_X", "partial.txt"), linked = rec("NODE_Y", "y.txt");
    crashAfter([&] {
        for (const CatalogRecord* r : {&a, &edited, &partial})
            catalog()->mergeRec(r);
        catalog()->writeFileData(0, 100, &a, data.data());
        catalog()->writeFileData(0, 100, &edited, data.data());
        catalog()->writeFileData(0, 50, &partial, data.data());
    });
    ASSERT_EQ(catalog()->getRecCount(), 0) << "the kill took the catalog back";
    const std::string x = recvDir() + "/NODE_X/";
    testsupport::writeFile(x + "edited.txt", std::string(100, 'e'));
    const std::string outside = dir.path() + "/outside";
    platform::makeSureDirectoryPathExists(outside);
    testsupport::writeFile(outside + "/y.txt", data);
    ASSERT_TRUE(platform::setLastWrite(outside + "/y.txt", written));
    ASSERT_EQ(::symlink(outside.c_str(), (recvDir() + "/NODE_Y").c_str()), 0);

    const auto deleteIt = [this](CatalogRecord r) {
        r.state = CATALOG_STATE_DELETED;
        r = summed(r);
        catalog()->recvDeleteRec(&r);
    };
    CatalogRecord older = a;
    older.findData.ftLastWriteTime.dwLowDateTime ^= 1;
    for (const CatalogRecord& r : {older, edited, partial, linked})
        deleteIt(r);
    EXPECT_TRUE(exists(x + "a.txt")) << "another version's deletion";
    deleteIt(a);
    EXPECT_FALSE(exists(x + "a.txt"));
    EXPECT_TRUE(exists(x + "edited.txt"));
    EXPECT_TRUE(exists(x + "partial.txt·受信中"));
    EXPECT_TRUE(exists(outside + "/y.txt"));
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 4u) << "each travels on, one entry a key";
}

} // namespace
