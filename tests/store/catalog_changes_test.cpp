// Own registrations, received records and the lookups of the catalog.
#include "catalog_testkit.h"

#include <filesystem>

#include "platform/shortcut.h"

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogChanges : public CatalogTest {
protected:
    void twoRows()
    {
        settings->addRow("NODE_B", "TCP", "127.0.0.1");
        settings->addRow("NODE_C", "TCP", "127.0.0.2");
    }
};

TEST_F(CatalogChanges, AddRecStoresCompleteRecordAnnouncesAndQueuesToEveryRow)
{
    twoRows();
    CatalogRecord r = makeRec("NODE_A", "a.txt", 1234);
    r.complete = 0;
    r.heldBytes = 7;
    catalog()->addRec(&r);

    ASSERT_EQ(catalog()->getRecCount(), 1);
    const CatalogRecord s = stored(0);
    EXPECT_EQ(s.complete, 1u);
    EXPECT_EQ(s.heldBytes, 1234u);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    ASSERT_EQ(listener.events.size(), 1u);
    EXPECT_EQ(listener.events[0].kind, Event::Record);
    EXPECT_EQ(bytesOf(listener.events[0].rec), bytesOf(s));

    for (const char* node : {"NODE_B", "NODE_C"}) {
        const auto q = readRecords(queueFile(node));
        ASSERT_EQ(q.size(), 1u) << node;
        EXPECT_EQ(bytesOf(q[0]), bytesOf(s)) << "the row gets the stored record, no route added";
        EXPECT_EQ(q[0].hopCount, 0u);
    }
    // Written through to catalog.dat at once.
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(s));
}

TEST_F(CatalogChanges, AddRecWithoutRowsWritesNoQueueFile)
{
    const CatalogRecord r = makeRec("NODE_A", "a.txt", 10);
    catalog()->addRec(&r);
    EXPECT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(count(Event::Record), 1);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(catalogDir()))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string> {"catalog.dat"});
}

TEST_F(CatalogChanges, AddRecOfAKeyAlreadyHeldReplacesThatRecord)
{
    const CatalogRecord first = makeRec("NODE_A", "a.txt", 10);
    const CatalogRecord other = makeRec("NODE_A", "b.txt", 20);
    catalog()->addRec(&first);
    catalog()->addRec(&other);
    CatalogRecord again = makeRec("NODE_A", "a.txt", 30);
    again.registered = makeTime(2011, 1, 1);
    catalog()->addRec(&again);

    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(stored(0).findData.nFileSizeLow, 30u);
    EXPECT_EQ(stored(0).registered.wYear, 2011);
    ASSERT_EQ(listener.events.size(), 3u);
    EXPECT_EQ(listener.events[2].kind, Event::RecordAt);
    EXPECT_EQ(listener.events[2].index, 0);
    EXPECT_EQ(readRecords(catalogFile()).size(), 2u);
}

TEST_F(CatalogChanges, FilesOf4GiBOrMoreAreNeitherRegisteredNorTakenFromAPeer)
{
    twoRows();
    CatalogRecord own = makeRec("NODE_A", "big.iso", 5);
    own.findData.nFileSizeHigh = 1;
    catalog()->addRec(&own);
    CatalogRecord received = makeRec("NODE_X", "big.iso", 5);
    received.findData.nFileSizeHigh = 2;
    catalog()->mergeRec(&received);
    catalog()->recvNewRec(&received);

    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_TRUE(listener.events.empty());
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    // A held small registration is not replaced by a big update either.
    const CatalogRecord small = makeRec("NODE_A", "f.bin", 5);
    catalog()->addRec(&small);
    CatalogRecord grown = small;
    grown.findData.nFileSizeHigh = 1;
    catalog()->updateRec(&grown);
    EXPECT_EQ(stored(0).findData.nFileSizeHigh, 0u);
}

TEST_F(CatalogChanges, UpdateRecReplacesAndOverwritesTheQueuedEntryInPlace)
{
    twoRows();
    CatalogRecord unknown = makeRec("NODE_A", "none.txt", 1, CATALOG_STATE_UPDATED);
    catalog()->updateRec(&unknown);
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_TRUE(listener.events.empty());
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    const CatalogRecord a = makeRec("NODE_A", "a.txt", 10);
    const CatalogRecord b = makeRec("NODE_A", "b.txt", 10);
    catalog()->addRec(&a);
    catalog()->addRec(&b);
    // NODE_C's queue loses a.txt, so there the update is appended.
    testsupport::writeFile(queueFile("NODE_C"), bytesOf(readRecords(queueFile("NODE_C"))[1]));
    listener.events.clear();

    CatalogRecord u = makeRec("NODE_A", "a.txt", 99, CATALOG_STATE_UPDATED);
    catalog()->updateRec(&u);

    EXPECT_EQ(stored(0).state, CATALOG_STATE_UPDATED);
    EXPECT_EQ(stored(0).heldBytes, 99u);
    ASSERT_EQ(listener.events.size(), 1u);
    EXPECT_EQ(listener.events[0].kind, Event::RecordAt);
    EXPECT_EQ(listener.events[0].index, 0);

    const auto qb = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(qb.size(), 2u);
    EXPECT_EQ(qb[0].state, CATALOG_STATE_UPDATED);
    EXPECT_EQ(fileOf(qb[1]), "b.txt");
    const auto qc = readRecords(queueFile("NODE_C"));
    ASSERT_EQ(qc.size(), 2u);
    EXPECT_EQ(fileOf(qc[0]), "b.txt");
    EXPECT_EQ(fileOf(qc[1]), "a.txt");
    EXPECT_EQ(qc[1].state, CATALOG_STATE_UPDATED);
}

TEST_F(CatalogChanges, DeleteRecMarksTheStoredRecordAndQueuesTheCallersRecord)
{
    twoRows();
    CatalogRecord missing = makeRec("NODE_A", "x.txt", 1, CATALOG_STATE_DELETED);
    catalog()->deleteRec(&missing);
    catalog()->deleteRecLocal(&missing);
    EXPECT_TRUE(listener.events.empty());
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    const CatalogRecord a = makeRec("NODE_A", "a.txt", 10);
    catalog()->addRec(&a);
    listener.events.clear();

    CatalogRecord del = makeRec("NODE_A", "a.txt", 10, CATALOG_STATE_DELETED);
    del.registered = makeTime(2012, 2, 2);
    del.complete = 0;
    catalog()->deleteRec(&del);

    const CatalogRecord s = stored(0);
    EXPECT_EQ(s.state, CATALOG_STATE_DELETED);
    EXPECT_EQ(s.registered.wYear, 2010) << "the stored registration stays";
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    ASSERT_EQ(listener.events.size(), 1u);
    EXPECT_EQ(listener.events[0].kind, Event::RecordAt);

    for (const char* node : {"NODE_B", "NODE_C"}) {
        const auto q = readRecords(queueFile(node));
        ASSERT_EQ(q.size(), 2u);
        EXPECT_EQ(q[1].state, CATALOG_STATE_DELETED);
        EXPECT_EQ(q[1].registered.wYear, 2012);
        EXPECT_EQ(q[1].complete, 1u);
        EXPECT_EQ(q[1].heldBytes, 10u);
        EXPECT_TRUE(CCatalog::isCheckSumOk(&q[1]));
    }
}

TEST_F(CatalogChanges, DeleteRecLocalTouchesNoQueueFile)
{
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 10);
    catalog()->addRec(&a);
    twoRows();
    CatalogRecord del = a;
    del.state = CATALOG_STATE_DELETED;
    catalog()->deleteRecLocal(&del);
    EXPECT_EQ(stored(0).state, CATALOG_STATE_DELETED);
    EXPECT_EQ(count(Event::RecordAt), 1);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_FALSE(exists(queueFile("NODE_C")));
}

TEST_F(CatalogChanges, MergeRecTakesNewRecordsThatHaveNotExpiredAndQueuesNothing)
{
    twoRows();
    CatalogRecord fresh = makeRec("NODE_X", "today.txt", 10);
    fresh.expires = daysFromNow(0);
    fresh.expires.wHour = 0;
    fresh.expires.wMinute = 0;
    fresh.complete = 1;
    fresh.heldBytes = 10;
    catalog()->mergeRec(&fresh);
    CatalogRecord old = makeRec("NODE_X", "yesterday.txt", 10);
    old.expires = daysFromNow(-1);
    old.expires.wHour = 23;
    old.expires.wMinute = 59;
    catalog()->recvNewRec(&old);

    ASSERT_EQ(catalog()->getRecCount(), 1);
    const CatalogRecord s = stored(0);
    EXPECT_EQ(fileOf(s), "today.txt");
    EXPECT_EQ(s.complete, 0u);
    EXPECT_EQ(s.heldBytes, 0u);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    EXPECT_EQ(count(Event::Record), 1);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

TEST_F(CatalogChanges, MergeRecReplacesOnlyByAStrictlyLaterRegistration)
{
    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    catalog()->mergeRec(&r);
    listener.events.clear();

    CatalogRecord same = r;
    same.state = CATALOG_STATE_UPDATED;
    same.findData.nFileSizeLow = 11;
    catalog()->mergeRec(&same);
    CatalogRecord earlier = same;
    earlier.registered.wMilliseconds -= 1;
    catalog()->mergeRec(&earlier);
    EXPECT_TRUE(listener.events.empty());
    EXPECT_EQ(stored(0).findData.nFileSizeLow, 10u);

    CatalogRecord later = same;
    later.registered.wMilliseconds += 1;
    catalog()->mergeRec(&later);
    ASSERT_EQ(listener.events.size(), 1u);
    EXPECT_EQ(listener.events[0].kind, Event::RecordAt);
    EXPECT_EQ(listener.events[0].index, 0);
    EXPECT_EQ(stored(0).findData.nFileSizeLow, 11u);
    EXPECT_EQ(stored(0).state, CATALOG_STATE_UPDATED);
}

TEST_F(CatalogChanges, RecordsOfAnotherPartyChangeNothingAndAreNotRelayed)
{
    twoRows();
    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10, CATALOG_STATE_NEW, "OTHER");
    catalog()->mergeRec(&r);
    CatalogRecord d = r;
    d.state = CATALOG_STATE_DELETED;
    catalog()->recvDeleteRec(&d);
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

TEST_F(CatalogChanges, ReceivedRecordsWhoseNamesAreNoPlainNamesAreRefused)
{
    twoRows();
    const char* badOrigins[] = {"..", ".", "a/b", "..\\x", "c:d", ""};
    for (const char* origin : badOrigins) {
        const CatalogRecord r = makeRec(origin, "f.txt", 10);
        catalog()->mergeRec(&r);
        catalog()->recvNewRec(&r);
        CatalogRecord d = r;
        d.state = CATALOG_STATE_DELETED;
        catalog()->recvDeleteRec(&d);
    }
    const char* badFiles[] = {"../../etc/passwd", "..", "sub/f.txt", "\\evil", "x\x01y"};
    for (const char* file : badFiles) {
        const CatalogRecord r = makeRec("NODE_X", file, 10);
        catalog()->mergeRec(&r);
        CatalogRecord d = r;
        d.state = CATALOG_STATE_DELETED;
        catalog()->recvDeleteRec(&d);
    }
    // An origin filling its whole field without a terminating zero, followed
    // in memory by a slash, is still the 32-byte name alone.
    CatalogRecord full = makeRec("NODE_X", "g.txt", 10);
    std::memcpy(full.originNode, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32);
    full.reserved1 = '/';
    catalog()->mergeRec(&full);

    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(nodeOf(stored(0)), "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_FALSE(exists(queueFile("NODE_C")));

    // A CP932 name whose second byte is 0x5C is one plain name.
    const CatalogRecord sjis = makeRec("NODE_X", "\x95\x5c.txt", 10);
    catalog()->mergeRec(&sjis);
    EXPECT_EQ(catalog()->getRecCount(), 2);
}

TEST_F(CatalogChanges, RecvDeleteRecOfAnUnknownRecordStoresNothingButRelaysIt)
{
    twoRows();
    CatalogRecord d = makeRec("NODE_X", "f.txt", 10, CATALOG_STATE_DELETED);
    d.hopCount = 1;
    cp932::copyField(d.route[0], CATALOG_NAME_LEN, "NODE_X");
    catalog()->recvDeleteRec(&d);

    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_TRUE(listener.events.empty());
    for (const char* node : {"NODE_B", "NODE_C"}) {
        const auto q = readRecords(queueFile(node));
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(q[0].hopCount, 2u);
        EXPECT_EQ(routeOf(q[0], 1), "NODE_A");
        EXPECT_EQ(q[0].complete, 0u);
        EXPECT_EQ(q[0].pending, 1u);
        EXPECT_TRUE(CCatalog::isCheckSumOk(&q[0]));
    }
}

TEST_F(CatalogChanges, RecvDeleteRecOfAnOwnRecordMarksItAndRelaysNothing)
{
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 10);
    catalog()->addRec(&a);
    twoRows();
    listener.events.clear();
    CatalogRecord d = a;
    d.state = CATALOG_STATE_DELETED;
    catalog()->recvDeleteRec(&d);
    EXPECT_EQ(stored(0).state, CATALOG_STATE_DELETED);
    const CatalogRecord s = stored(0);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    EXPECT_TRUE(listener.events.empty()) << "a received deletion fires nothing";
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

TEST_F(CatalogChanges, ADeletionOfAnOlderRegistrationLeavesTheNewerOneButTravelsOn)
{
    CatalogRecord held = makeRec("NODE_X", "f.txt", 10);
    held.registered = makeTime(2010, 10, 14, 12, 0, 0, 0);
    catalog()->mergeRec(&held);
    twoRows();

    CatalogRecord olderDel = held;
    olderDel.state = CATALOG_STATE_DELETED;
    olderDel.registered = makeTime(2010, 10, 14, 11, 59, 59, 999);
    catalog()->recvDeleteRec(&olderDel);
    EXPECT_EQ(stored(0).state, CATALOG_STATE_NEW);
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);

    CatalogRecord sameDel = held;
    sameDel.state = CATALOG_STATE_DELETED;
    catalog()->recvDeleteRec(&sameDel);
    const CatalogRecord s = stored(0);
    EXPECT_EQ(s.state, CATALOG_STATE_DELETED);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
}

TEST_F(CatalogChanges, LookupsFindTheFirstRecordOfAKey)
{
    CatalogRecord first = makeRec("NODE_X", "dup.txt", 1);
    CatalogRecord second = makeRec("NODE_X", "dup.txt", 2);
    const CatalogRecord other = makeRec("NODE_Y", "dup.txt", 3);
    first.complete = 1;
    second.complete = 1;
    CCatalog::setCheckSum(&first);
    CCatalog::setCheckSum(&second);
    writeRecords(catalogFile(), {first, second, other});

    CatalogRecord out;
    EXPECT_TRUE(catalog()->findRec("dup.txt", "NODE_X", &out));
    EXPECT_EQ(out.findData.nFileSizeLow, 1u);
    EXPECT_TRUE(catalog()->findRec("dup.txt", "NODE_Y", nullptr));
    EXPECT_FALSE(catalog()->findRec("NODE_X", "dup.txt", nullptr)) << "file name comes first";
    EXPECT_FALSE(catalog()->findRec("dup.txt", "NODE_Z", &out));

    EXPECT_TRUE(catalog()->isRecComplete(&second)) << "any complete record of that transfer";
    CatalogRecord changed = first;
    changed.findData.ftLastWriteTime.dwLowDateTime += 1;
    EXPECT_FALSE(catalog()->isRecComplete(&changed));
    EXPECT_FALSE(catalog()->isRecComplete(&other)) << "not complete";

    EXPECT_EQ(catalog()->getRec(0, nullptr), 1);
    CatalogRecord zero;
    std::memset(&zero, 0xAB, sizeof zero);
    EXPECT_EQ(catalog()->getRec(3, &zero), 1);
    EXPECT_EQ(bytesOf(zero), std::string(sizeof zero, '\0'));
    catalog()->getRec(-1, &zero);
    EXPECT_EQ(bytesOf(zero), std::string(sizeof zero, '\0'));
}

TEST_F(CatalogChanges, FindLinkFileFindsOnlyAShortcutWhoseTargetHasThatName)
{
    const std::string elsewhere = dir.path() + "/elsewhere";
    platform::makeSureDirectoryPathExists(elsewhere);
    testsupport::writeFile(elsewhere + "/one.txt", "1");
    testsupport::writeFile(elsewhere + "/two.txt", "2");
    testsupport::writeFile(elsewhere + "/upper.txt", "3");
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/one.txt.lnk", elsewhere + "/one.txt"));
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/two.txt.lnk", elsewhere + "/two.txt"));
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/upper.LNK", elsewhere + "/upper.txt"));

    std::string out = "junk";
    catalog()->findLinkFile("three.txt", out);
    EXPECT_EQ(out, "");
    catalog()->findLinkFile("two.txt", out);
    EXPECT_EQ(out, sendDir() + "/two.txt.lnk");
    catalog()->findLinkFile("upper.txt", out);
    EXPECT_EQ(out, "") << "only an exact .lnk suffix counts";
}

} // namespace
