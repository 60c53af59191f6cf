// Neighbour queue files: the route rules, relaying, synchronising, taking
// records for sending and putting them back, renaming, and the choice of
// the next file to fetch.
#include "catalog_testkit.h"

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogQueues : public CatalogTest {
protected:
    // n records of NODE_X, registered on consecutive days from 2010-10-01.
    void loadForeign(int n)
    {
        std::vector<CatalogRecord> v;
        for (int i = 0; i < n; ++i) {
            CatalogRecord r = makeRec("NODE_X", ("f" + std::to_string(i) + ".txt").c_str(), 10);
            r.registered = makeTime(2010, 10, 1 + i);
            CCatalog::setCheckSum(&r);
            v.push_back(r);
        }
        writeRecords(catalogFile(), v);
    }
};

TEST_F(CatalogQueues, QueueRecNeverGoesBackToOriginOrRouteAndStopsAtAFullRoute)
{
    CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    r.hopCount = 2;
    cp932::copyField(r.route[0], CATALOG_NAME_LEN, "NODE_Y");
    cp932::copyField(r.route[1], CATALOG_NAME_LEN, "NODE_Z");
    catalog()->queueRec("NODE_X", &r);
    catalog()->queueRec("NODE_Y", &r);
    catalog()->queueRec("NODE_Z", &r);
    catalog()->queueRec("", &r);
    EXPECT_FALSE(exists(queueFile("NODE_X")));
    EXPECT_FALSE(exists(queueFile("NODE_Y")));
    EXPECT_FALSE(exists(queueFile("NODE_Z")));

    CatalogRecord full = r;
    full.hopCount = CATALOG_ROUTE_MAX;
    for (int j = 0; j < CATALOG_ROUTE_MAX; ++j)
        cp932::copyField(full.route[j], CATALOG_NAME_LEN, ("R" + std::to_string(j)).c_str());
    catalog()->queueRec("NODE_B", &full);
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    catalog()->queueRec("NODE_B", &r);
    const auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].hopCount, 3u);
    EXPECT_EQ(routeOf(q[0], 2), "NODE_A");
    EXPECT_TRUE(CCatalog::isCheckSumOk(&q[0]));
}

TEST_F(CatalogQueues, QueueingOneKeyTwiceLeavesOneWaitingEntryWithTheLaterRecord)
{
    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    catalog()->queueRec("NODE_B", &r);
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 1);

    CatalogRecord later = r;
    later.state = CATALOG_STATE_UPDATED;
    later.registered.wYear = 2011;
    catalog()->queueRec("NODE_B", &later);
    const auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].pending, 1u);
    EXPECT_EQ(q[0].registered.wYear, 2011);
    EXPECT_EQ(catalog()->findQueueRec(&r, "NODE_B.dat"), 0);
    EXPECT_EQ(catalog()->findQueueRec(&r, "NODE_C.dat"), -1);

    // The queue-fetching poll now sees it again.
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 1);
    EXPECT_EQ(out[0].registered.wYear, 2011);
}

TEST_F(CatalogQueues, RelayRecQueuesAnotherNodesRecordToEveryRowWithThisNodeOnTheRoute)
{
    settings->addRow("NODE_B", "TCP", "h1");
    settings->addRow("NODE_C", "SKYPE", "skype.c");
    const CatalogRecord own = makeRec("NODE_A", "mine.txt", 10);
    catalog()->relayRec(&own);
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    catalog()->relayRec(&r);
    for (const char* node : {"NODE_B", "NODE_C"}) {
        const auto q = readRecords(queueFile(node));
        ASSERT_EQ(q.size(), 1u) << node;
        EXPECT_EQ(q[0].hopCount, 1u);
        EXPECT_EQ(routeOf(q[0], 0), "NODE_A");
    }
}

TEST_F(CatalogQueues, ARecordThatCameWithASentMarkStillWaitsInTheQueue)
{
    // A peer's record marked as sent would otherwise sit in every queue
    // without ever being taken.
    settings->addRow("NODE_B", "TCP", "h1");
    CatalogRecord r = makeRec("NODE_X", "f.txt", 0);
    r.pending = 0;
    CCatalog::setCheckSum(&r);
    catalog()->mergeRec(&r); // an empty file is whole at once and travels on
    catalog()->syncTo("NODE_C", 1, SYSTEMTIME {});

    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    for (const char* node : {"NODE_B", "NODE_C"}) {
        ASSERT_EQ(catalog()->takeQueueRecs(node, out), 1) << node;
        EXPECT_EQ(fileOf(out[0]), "f.txt");
        EXPECT_EQ(out[0].pending, 1u);
        EXPECT_TRUE(CCatalog::isCheckSumOk(&out[0]));
    }
}

TEST_F(CatalogQueues, SyncToQueuesByModeAndDateAndKeepsTheRouteRules)
{
    loadForeign(5); // registered 10-01 .. 10-05
    CatalogRecord deleted = makeRec("NODE_A", "gone.txt", 1, CATALOG_STATE_DELETED);
    deleted.registered = makeTime(2010, 10, 9);
    catalog()->addRec(&deleted);
    CatalogRecord fromPeer = makeRec("NODE_B", "theirs.txt", 1);
    catalog()->mergeRec(&fromPeer);

    catalog()->syncTo("NODE_B", 2, makeTime(2010, 10, 4, 23, 59, 59, 999));
    auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 3u) << "10-04 and 10-05 (the since day counts), the deleted record";
    EXPECT_EQ(fileOf(q[0]), "f3.txt");
    EXPECT_EQ(fileOf(q[1]), "f4.txt");
    EXPECT_EQ(fileOf(q[2]), "gone.txt");
    EXPECT_EQ(q[2].state, CATALOG_STATE_DELETED);

    catalog()->syncTo("NODE_C", 2, makeTime(2010, 10, 15));
    EXPECT_FALSE(exists(queueFile("NODE_C")));
    catalog()->syncTo("NODE_C", 3, makeTime(2000, 1, 1));
    catalog()->syncTo("NODE_C", 0, makeTime(2000, 1, 1));
    EXPECT_FALSE(exists(queueFile("NODE_C")));

    // Mode 1 over a queue that already holds some of the keys: the same
    // entries as record-by-record queueing, in place and appended.
    catalog()->syncTo("NODE_B", 1, SYSTEMTIME {});
    q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 6u);
    const char* order[] = {"f3.txt", "f4.txt", "gone.txt", "f0.txt", "f1.txt", "f2.txt"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(fileOf(q[i]), order[i]);
        EXPECT_EQ(q[i].pending, 1u);
        EXPECT_EQ(routeOf(q[i], int(q[i].hopCount) - 1), "NODE_A");
        EXPECT_TRUE(CCatalog::isCheckSumOk(&q[i]));
    }
}

TEST_F(CatalogQueues, FifteenWaitingRecordsAreTakenAsElevenThenFourThenTheFileGoes)
{
    loadForeign(15);
    catalog()->syncTo("NODE_B", 1, SYSTEMTIME {});
    const auto before = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(before.size(), 15u);

    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 11);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(bytesOf(out[i]), bytesOf(before[i])) << "handed out as read";
    auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 15u) << "sent entries stay in place";
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(q[i].pending, i < 11 ? 0u : 1u);
        EXPECT_TRUE(CCatalog::isCheckSumOk(&q[i]));
    }
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 4);
    EXPECT_EQ(fileOf(out[0]), "f11.txt");
    EXPECT_TRUE(exists(queueFile("NODE_B")));
    EXPECT_EQ(catalog()->takeQueueRecs("NODE_B", out), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_EQ(catalog()->takeQueueRecs("NODE_B", out), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B"))) << "a take of a missing queue leaves no file";
}

TEST_F(CatalogQueues, AnEntryQueuedAgainBehindTheTakenOnesIsTakenAgain)
{
    loadForeign(15);
    catalog()->syncTo("NODE_B", 1, SYSTEMTIME {});
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 11);
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 4);

    // f2 changes and is queued again: it goes over its sent entry at index 2.
    CatalogRecord f2 = stored(2);
    f2.registered.wYear = 2011;
    catalog()->queueRec("NODE_B", &f2);
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 1);
    EXPECT_EQ(fileOf(out[0]), "f2.txt");
    EXPECT_EQ(out[0].registered.wYear, 2011);
    EXPECT_EQ(catalog()->takeQueueRecs("NODE_B", out), 0);
}

TEST_F(CatalogQueues, TakenRecordsCanBePutBackWhileTheirEntryIsUnchanged)
{
    loadForeign(3);
    catalog()->syncTo("NODE_B", 1, SYSTEMTIME {});
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 3);

    // f1 is queued anew meanwhile: its entry is waiting with other content.
    CatalogRecord f1 = stored(1);
    f1.registered.wYear = 2012;
    catalog()->queueRec("NODE_B", &f1);

    EXPECT_EQ(catalog()->putBackQueueRecs("NODE_B", out, 3), 2);
    auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].pending, 1u);
    EXPECT_EQ(q[1].registered.wYear, 2012);
    EXPECT_EQ(q[2].pending, 1u);
    for (const CatalogRecord& e : q)
        EXPECT_TRUE(CCatalog::isCheckSumOk(&e));
    EXPECT_FALSE(catalog()->putBackQueueRec("NODE_B", &out[0])) << "already waiting";

    CatalogRecord again[CCatalog::MAX_TAKE_RECORDS];
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", again), 3);
    EXPECT_EQ(bytesOf(again[0]), bytesOf(out[0])) << "the same bytes go out again";
    EXPECT_EQ(catalog()->takeQueueRecs("NODE_B", again), 0);
    EXPECT_FALSE(catalog()->putBackQueueRec("NODE_B", &out[0])) << "the queue file is gone";
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

TEST_F(CatalogQueues, RenameQueueMovesTheFileOrMergesTheWaitingRecords)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    const CatalogRecord c = makeRec("NODE_X", "c.txt", 1);
    catalog()->queueRec("skype.id", &a);
    catalog()->renameQueue("skype.id", "NODE_B");
    EXPECT_FALSE(exists(queueFile("skype.id")));
    ASSERT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);
    catalog()->renameQueue("nothing", "NODE_B");
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);

    // A queue under the old name meets an existing one under the new name.
    catalog()->queueRec("skype.id", &b);
    catalog()->queueRec("skype.id", &c);
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    // b is already sent under the old name; only c still waits.
    CatalogRecord first[CCatalog::MAX_TAKE_RECORDS];
    ASSERT_EQ(catalog()->takeQueueRecs("skype.id", first), 2);
    catalog()->putBackQueueRec("skype.id", &first[1]);
    catalog()->renameQueue("skype.id", "NODE_B");
    EXPECT_FALSE(exists(queueFile("skype.id")));
    const auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(fileOf(q[0]), "a.txt");
    EXPECT_EQ(fileOf(q[1]), "c.txt");
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out), 2);
}

TEST_F(CatalogQueues, NodeNamesThatAreNoPlainNamesOrCatalogNeverNameAQueueFile)
{
    const CatalogRecord own = makeRec("NODE_A", "a.txt", 10);
    settings->addRow("catalog", "TCP", "h");
    settings->addRow("../escape", "TCP", "h");
    catalog()->addRec(&own);
    const std::string catalogBytes = testsupport::readFile(catalogFile());
    ASSERT_EQ(catalogBytes.size(), 820u) << "the row named catalog wrote nothing into it";

    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    const char* bad[] = {"catalog", "CATALOG", "Catalog", "../x", "a/b", "..", ""};
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    for (const char* name : bad) {
        catalog()->queueRec(name, &r);
        catalog()->syncTo(name, 1, SYSTEMTIME {});
        EXPECT_EQ(catalog()->takeQueueRecs(name, out), 0) << name;
        catalog()->renameQueue(name, "NODE_B");
        catalog()->renameQueue("NODE_B", name);
    }
    EXPECT_EQ(catalog()->findQueueRec(&own, "catalog.dat"), -1);
    EXPECT_EQ(testsupport::readFile(catalogFile()), catalogBytes);
    EXPECT_FALSE(exists(dir.path() + "/x.dat"));
    EXPECT_FALSE(exists(dir.path() + "/escape.dat"));
}

TEST_F(CatalogQueues, AQueueFileEndingInsideARecordIsCutBeforeAppends)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    catalog()->queueRec("NODE_B", &a);
    std::string bytes = testsupport::readFile(queueFile("NODE_B"));
    testsupport::writeFile(queueFile("NODE_B"), bytes + std::string(100, 'z'));

    catalog()->queueRec("NODE_B", &b);
    const std::string after = testsupport::readFile(queueFile("NODE_B"));
    ASSERT_EQ(after.size(), 2 * 820u);
    EXPECT_EQ(after.substr(0, 820), bytes);

    testsupport::writeFile(queueFile("NODE_B"), after + std::string(10, 'z'));
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    EXPECT_EQ(catalog()->takeQueueRecs("NODE_B", out), 2);
    EXPECT_EQ(testsupport::readFile(queueFile("NODE_B")).size(), 2 * 820u);
}

TEST_F(CatalogQueues, FetchOrderSkipsOwnCompleteAndUnusableRecords)
{
    CatalogRecord own = makeRec("NODE_A", "own.txt", 1);
    CatalogRecord x1 = makeRec("NODE_X", "x1.txt", 1);
    CatalogRecord done = makeRec("NODE_X", "done.txt", 1);
    done.complete = 1;
    CatalogRecord unsafe = makeRec("..", "evil.txt", 1);
    CatalogRecord big = makeRec("NODE_X", "big.txt", 1);
    big.findData.nFileSizeHigh = 1;
    CatalogRecord x2 = makeRec("NODE_Y", "x2.txt", 1);
    for (CatalogRecord* r : {&own, &x1, &done, &unsafe, &big, &x2})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {own, x1, done, unsafe, big, x2});

    CatalogRecord r;
    ASSERT_EQ(catalog()->getFirstFetchRec(&r), 1);
    EXPECT_EQ(fileOf(r), "x1.txt");
    ASSERT_EQ(catalog()->getNextFetchRec(&r), 1);
    EXPECT_EQ(fileOf(r), "x2.txt");
    const std::string before = bytesOf(r);
    EXPECT_EQ(catalog()->getNextFetchRec(&r), 0) << "no wrap-around to x1";
    EXPECT_EQ(bytesOf(r), before);

    CatalogRecord unknown = makeRec("NODE_Q", "q.txt", 1);
    EXPECT_EQ(catalog()->getNextFetchRec(&unknown), 0);
}

} // namespace
