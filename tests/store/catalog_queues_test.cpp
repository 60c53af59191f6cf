// Neighbour queue files: taking records for sending, putting them back,
// renaming, and the names a queue file may have.
#include "catalog_testkit.h"

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogQueues : public CatalogTest {
protected:
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];

    // n records of NODE_X, queued for NODE_B in order.
    void queueForeign(int n)
    {
        std::vector<CatalogRecord> v;
        for (int i = 0; i < n; ++i)
            v.push_back(makeRec("NODE_X", ("f" + std::to_string(i) + ".txt").c_str(), 10));
        writeRecords(catalogFile(), v);
        catalog()->syncTo("NODE_B", 1, SYSTEMTIME {});
    }
    int take(const char* node) { return catalog()->takeQueueRecs(node, out); }
};

TEST_F(CatalogQueues, ARecordThatCameWithASentMarkStillWaitsInTheQueue)
{
    settings->addRow("NODE_B", "TCP", "h1");
    CatalogRecord r = makeRec("NODE_X", "f.txt", 0);
    r.pending = 0;
    CCatalog::setCheckSum(&r);
    catalog()->mergeRec(&r); // an empty file is whole at once and travels on
    catalog()->syncTo("NODE_C", 1, SYSTEMTIME {});
    for (const char* node : {"NODE_B", "NODE_C"}) {
        ASSERT_EQ(take(node), 1) << node;
        EXPECT_TRUE(CCatalog::isCheckSumOk(&out[0]));
    }
}

TEST_F(CatalogQueues, FifteenWaitingRecordsAreTakenAsElevenThenFourThenTheFileGoes)
{
    queueForeign(15);
    ASSERT_EQ(take("NODE_B"), 11);
    ASSERT_EQ(take("NODE_B"), 4);
    EXPECT_EQ(fileOf(out[0]), "f11.txt");
    EXPECT_EQ(take("NODE_B"), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

// Junk in a queue file (a hop count out of range, a name without its end)
// is never sent; the entries around it are, and the file goes as usual.
TEST_F(CatalogQueues, AMalformedQueuedEntryIsNeverSent)
{
    CatalogRecord hops = makeRec("NODE_X", "hops.txt", 10);
    hops.hopCount = 0xFFFFFFFF;
    CatalogRecord endless = makeRec("NODE_X", "x", 10);
    std::memset(endless.findData.cFileName, 'n', MAX_PATH);
    writeRecords(queueFile("NODE_B"), {makeRec("NODE_X", "a.txt", 10), summed(hops), summed(endless),
                                       makeRec("NODE_X", "b.txt", 10)});
    ASSERT_EQ(take("NODE_B"), 2);
    EXPECT_EQ(fileOf(out[0]), "a.txt");
    EXPECT_EQ(fileOf(out[1]), "b.txt");
    EXPECT_EQ(take("NODE_B"), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

TEST_F(CatalogQueues, TakenRecordsArePutBackOnlyWhileTheirEntryIsUnchanged)
{
    queueForeign(3);
    ASSERT_EQ(take("NODE_B"), 3);
    CatalogRecord f1 = stored(1); // queued anew meanwhile, with other content
    f1.registered.wYear = 2012;
    catalog()->queueRec("NODE_B", &f1);

    EXPECT_EQ(catalog()->putBackQueueRecs("NODE_B", out, 3), 2);
    EXPECT_EQ(readRecords(queueFile("NODE_B"))[1].registered.wYear, 2012);
    const std::string first = bytesOf(out[0]);
    ASSERT_EQ(take("NODE_B"), 3);
    EXPECT_EQ(bytesOf(out[0]), first) << "the same bytes go out again";
}

TEST_F(CatalogQueues, RenameQueueMergesTheWaitingRecordsIntoAnExistingQueue)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    const CatalogRecord c = makeRec("NODE_X", "c.txt", 1);
    catalog()->queueRec("NODE_B", &a);
    catalog()->queueRec("skype.id", &b);
    catalog()->queueRec("skype.id", &c);
    ASSERT_EQ(take("skype.id"), 2);
    catalog()->putBackQueueRec("skype.id", &out[1]); // b is sent, c still waits
    catalog()->renameQueue("skype.id", "NODE_B");
    EXPECT_FALSE(exists(queueFile("skype.id")));
    ASSERT_EQ(take("NODE_B"), 2);
    EXPECT_EQ(fileOf(out[0]), "a.txt");
    EXPECT_EQ(fileOf(out[1]), "c.txt");
}

TEST_F(CatalogQueues, NodeNamesThatAreNoPlainNamesOrCatalogNeverNameAQueueFile)
{
    const CatalogRecord own = makeRec("NODE_A", "a.txt", 10);
    settings->addRow("catalog", "TCP", "h");
    settings->addRow("../escape", "TCP", "h");
    catalog()->addRec(&own);
    const std::string catalogBytes = testsupport::readFile(catalogFile());
    ASSERT_EQ(catalogBytes.size(), 820u);

    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    for (const char* name : {"catalog", "CATALOG", "Catalog", "../x", "a/b", "..", ""}) {
        catalog()->queueRec(name, &r);
        catalog()->syncTo(name, 1, SYSTEMTIME {});
        EXPECT_EQ(take(name), 0) << name;
        catalog()->renameQueue(name, "NODE_B");
        catalog()->renameQueue("NODE_B", name);
    }
    EXPECT_EQ(testsupport::readFile(catalogFile()), catalogBytes);
    EXPECT_FALSE(exists(dir.path() + "/x.dat"));
    EXPECT_FALSE(exists(dir.path() + "/escape.dat"));
}

} // namespace
