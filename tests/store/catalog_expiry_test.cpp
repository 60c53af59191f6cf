// Expiry sweep, compaction with the deletion of exactly the right local
// files, the error-record file, and the list of one node's files.
#include "catalog_testkit.h"

#include "platform/shortcut.h"

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogExpiry : public CatalogTest {};

TEST_F(CatalogExpiry, RecordsExpireTheDayAfterTheirExpiryDateWhateverTheTime)
{
    CatalogRecord today = makeRec("NODE_X", "today.txt", 1);
    today.expires = daysFromNow(0);
    today.expires.wHour = 0;
    today.expires.wMinute = 0;
    today.expires.wSecond = 0;
    CatalogRecord yesterday = makeRec("NODE_X", "yesterday.txt", 1);
    yesterday.expires = daysFromNow(-1);
    yesterday.expires.wHour = 23;
    yesterday.expires.wMinute = 59;
    yesterday.expires.wSecond = 59;
    CatalogRecord lastYear = makeRec("NODE_X", "old.txt", 1);
    lastYear.expires = daysFromNow(-365);
    for (CatalogRecord* r : {&today, &yesterday, &lastYear})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {today, yesterday, lastYear});
    ASSERT_EQ(catalog()->getRecCount(), 3);
    listener.events.clear();

    catalog()->checkLimit();
    EXPECT_EQ(bytesOf(stored(0)), bytesOf(today)) << "unchanged";
    EXPECT_EQ(stored(1).state, CATALOG_STATE_DELETED);
    EXPECT_EQ(stored(2).state, CATALOG_STATE_DELETED);
    const CatalogRecord s = stored(1);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    EXPECT_TRUE(listener.events.empty()) << "the sweep fires nothing";
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_FALSE(exists(errFile()));
}

TEST_F(CatalogExpiry, ManyScatteredMarksReachTheFileExactly)
{
    std::vector<CatalogRecord> v;
    for (int i = 0; i < 300; ++i) {
        CatalogRecord r = makeRec("NODE_X", ("f" + std::to_string(i)).c_str(), 1);
        if (i % 2 == 1 || i == 0)
            r.expires = daysFromNow(-1);
        CCatalog::setCheckSum(&r);
        v.push_back(r);
    }
    writeRecords(catalogFile(), v);
    catalog()->checkLimit();
    int deleted = 0;
    for (const CatalogRecord& r : all())
        deleted += r.state == CATALOG_STATE_DELETED;
    EXPECT_EQ(deleted, 151);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_EQ(platform::fileSize(catalogFile()), 300 * 820);
}

TEST_F(CatalogExpiry, InvalidRecordsAreMarkedAndTheLastOneIsKeptInTheErrorFile)
{
    CatalogRecord hops = makeRec("NODE_X", "hops.txt", 1);
    hops.hopCount = 11;
    CatalogRecord noOrigin = makeRec("", "noorigin.txt", 1);
    CatalogRecord good = makeRec("NODE_X", "good.txt", 1);
    for (CatalogRecord* r : {&hops, &noOrigin, &good})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {hops, noOrigin, good});

    catalog()->checkLimit();
    EXPECT_EQ(stored(0).state, CATALOG_STATE_DELETED);
    EXPECT_EQ(stored(1).state, CATALOG_STATE_DELETED);
    EXPECT_EQ(stored(2).state, CATALOG_STATE_NEW);
    const auto err = readRecords(errFile());
    ASSERT_EQ(platform::fileSize(errFile()), 820);
    EXPECT_EQ(bytesOf(err[0]), bytesOf(stored(1)));
}

TEST_F(CatalogExpiry, CompactionWithoutDeletedRecordsChangesNothing)
{
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    catalog()->addRec(&a);
    const std::string before = testsupport::readFile(catalogFile());
    listener.events.clear();
    catalog()->compactList();
    EXPECT_TRUE(listener.events.empty());
    EXPECT_EQ(testsupport::readFile(catalogFile()), before);
    EXPECT_FALSE(exists(errFile()));
}

TEST_F(CatalogExpiry, CompactionDropsDeletedRecordsWithExactlyTheirLocalFiles)
{
    // Own copy, own shortcut registration, own shortcut already gone,
    // another node's partial file, and records that stay.
    testsupport::writeFile(sendDir() + "/copy.txt", "c");
    testsupport::writeFile(sendDir() + "/keep.txt", "k");
    const std::string elsewhere = dir.path() + "/elsewhere";
    platform::makeSureDirectoryPathExists(elsewhere);
    testsupport::writeFile(elsewhere + "/linked.txt", "l");
    testsupport::writeFile(elsewhere + "/other.txt", "o");
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/linked.txt.lnk", elsewhere + "/linked.txt"));
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/other.txt.lnk", elsewhere + "/other.txt"));
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X");
    testsupport::writeFile(recvDir() + "/NODE_X/partial.bin", "pa");
    testsupport::writeFile(recvDir() + "/NODE_X/live.bin", "li");

    CatalogRecord copy = makeRec("NODE_A", "copy.txt", 1, CATALOG_STATE_DELETED);
    CatalogRecord keep = makeRec("NODE_A", "keep.txt", 1);
    CatalogRecord linked = makeRec("NODE_A", "linked.txt", 1, CATALOG_STATE_DELETED);
    linked.isLink = 1;
    CatalogRecord vanished = makeRec("NODE_A", "vanished.txt", 1, CATALOG_STATE_DELETED);
    vanished.isLink = 1;
    CatalogRecord partial = makeRec("NODE_X", "partial.bin", 10, CATALOG_STATE_DELETED);
    CatalogRecord live = makeRec("NODE_X", "live.bin", 2, CATALOG_STATE_UPDATED);
    for (CatalogRecord* r : {&copy, &keep, &linked, &vanished, &partial, &live})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {copy, keep, linked, vanished, partial, live});
    ASSERT_EQ(catalog()->getRecCount(), 6);
    listener.events.clear();

    catalog()->compactList();

    EXPECT_FALSE(exists(sendDir() + "/copy.txt"));
    EXPECT_TRUE(exists(sendDir() + "/keep.txt"));
    EXPECT_FALSE(exists(sendDir() + "/linked.txt.lnk"));
    EXPECT_TRUE(exists(elsewhere + "/linked.txt")) << "never the target";
    EXPECT_TRUE(exists(sendDir() + "/other.txt.lnk"));
    EXPECT_TRUE(exists(elsewhere + "/other.txt"));
    EXPECT_FALSE(exists(recvDir() + "/NODE_X/partial.bin"));
    EXPECT_TRUE(exists(recvDir() + "/NODE_X/live.bin"));
    EXPECT_TRUE(platform::isDirectory(recvDir() + "/NODE_X"));

    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(fileOf(stored(0)), "keep.txt");
    EXPECT_EQ(fileOf(stored(1)), "live.bin");
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));

    ASSERT_EQ(listener.events.size(), 3u);
    EXPECT_EQ(listener.events[0].kind, Event::Reset);
    EXPECT_EQ(listener.events[1].kind, Event::Record);
    EXPECT_EQ(fileOf(listener.events[1].rec), "keep.txt");
    EXPECT_EQ(fileOf(listener.events[2].rec), "live.bin");
}

TEST_F(CatalogExpiry, CompactionNeverDeletesOutsideTheNodesFolders)
{
    // Old catalog files may hold names that are no plain names.
    testsupport::writeFile(dir.path() + "/Yuvo.ini", "[SYSTEM]\n");
    testsupport::writeFile(dir.path() + "/victim.txt", "v");
    CatalogRecord ownUp = makeRec("NODE_A", "../victim.txt", 1, CATALOG_STATE_DELETED);
    CatalogRecord originUp = makeRec("..", "Yuvo.ini", 1, CATALOG_STATE_DELETED);
    CatalogRecord fileUp = makeRec("NODE_X", "../../Yuvo.ini", 1, CATALOG_STATE_DELETED);
    for (CatalogRecord* r : {&ownUp, &originUp, &fileUp})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {ownUp, originUp, fileUp});

    catalog()->compactList();
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_TRUE(exists(dir.path() + "/victim.txt"));
    EXPECT_TRUE(exists(dir.path() + "/Yuvo.ini"));
}

TEST_F(CatalogExpiry, ADeletedRecordSharingItsKeyWithALiveOneLeavesTheFile)
{
    testsupport::writeFile(sendDir() + "/dup.txt", "d");
    CatalogRecord oldOne = makeRec("NODE_A", "dup.txt", 1, CATALOG_STATE_DELETED);
    CatalogRecord liveOne = makeRec("NODE_A", "dup.txt", 1);
    liveOne.registered.wYear = 2011;
    CCatalog::setCheckSum(&oldOne);
    CCatalog::setCheckSum(&liveOne);
    writeRecords(catalogFile(), {oldOne, liveOne});

    catalog()->compactList();
    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(stored(0).registered.wYear, 2011);
    EXPECT_TRUE(exists(sendDir() + "/dup.txt"));
}

TEST_F(CatalogExpiry, ARecordOfAnUnknownStateIsWrittenOutOnceAndLeaves)
{
    CatalogRecord odd = makeRec("NODE_X", "odd.txt", 1, 4);
    CatalogRecord zero = makeRec("NODE_X", "zero.txt", 1, 0);
    CatalogRecord ok = makeRec("NODE_X", "ok.txt", 1);
    for (CatalogRecord* r : {&odd, &zero, &ok})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {odd, zero, ok});
    ASSERT_EQ(catalog()->getRecCount(), 3);
    listener.events.clear();

    catalog()->compactList();
    const auto err = readRecords(errFile());
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(bytesOf(err[0]), bytesOf(zero));
    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(fileOf(stored(0)), "ok.txt");
    EXPECT_EQ(listener.events.front().kind, Event::Reset);

    ASSERT_TRUE(platform::deleteFile(errFile()));
    catalog()->compactList();
    EXPECT_FALSE(exists(errFile())) << "not written again";
}

TEST_F(CatalogExpiry, GetNodeRecsListsTheCompleteRecordsOfOneNodeInOrder)
{
    std::vector<CatalogRecord> out;
    catalog()->getNodeRecs("NODE_X", out);
    EXPECT_TRUE(out.empty());
    CCatalog::releaseInstance();

    CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    CatalogRecord c = makeRec("NODE_X", "c.txt", 1, CATALOG_STATE_DELETED);
    CatalogRecord y = makeRec("NODE_Y", "y.txt", 1);
    a.complete = 1;
    c.complete = 1;
    y.complete = 1;
    for (CatalogRecord* r : {&a, &b, &c, &y})
        CCatalog::setCheckSum(r);
    writeRecords(catalogFile(), {a, b, c, y});

    catalog()->getNodeRecs("NODE_X", out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(fileOf(out[0]), "a.txt");
    EXPECT_EQ(fileOf(out[1]), "c.txt") << "a deleted complete record is listed until compaction";
}

} // namespace
