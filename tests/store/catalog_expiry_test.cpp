// Expiry sweep and compaction with the deletion of exactly the right local
// files.
#include "catalog_testkit.h"

#include "platform/shortcut.h"

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogExpiry : public CatalogTest {};

TEST_F(CatalogExpiry, RecordsExpireTheDayAfterTheirExpiryDateWhateverTheTime)
{
    CatalogRecord today = makeRec("NODE_X", "today.txt", 1);
    today.expires = localTimeDaysFromNow(0);
    today.expires.wHour = 0;
    CatalogRecord yesterday = makeRec("NODE_X", "yesterday.txt", 1);
    yesterday.expires = localTimeDaysFromNow(-1);
    yesterday.expires.wHour = 23;
    yesterday.expires.wMinute = 59;
    writeRecords(catalogFile(), {summed(today), summed(yesterday)});
    catalog()->checkLimit();
    EXPECT_EQ(stored(0).state, CATALOG_STATE_NEW);
    EXPECT_EQ(stored(1).state, CATALOG_STATE_DELETED);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
}

TEST_F(CatalogExpiry, CompactionDropsDeletedRecordsWithExactlyTheirLocalFiles)
{
    const std::string elsewhere = dir.path() + "/elsewhere";
    platform::makeSureDirectoryPathExists(elsewhere + "/");
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X/");
    for (const std::string& f : {sendDir() + "/copy.txt", sendDir() + "/dup.txt", elsewhere + "/linked.txt",
                                 recvDir() + "/NODE_X/partial.bin"})
        testsupport::writeFile(f, "x");
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/linked.txt.lnk", elsewhere + "/linked.txt"));

    CatalogRecord linked = makeRec("NODE_A", "linked.txt", 1, CATALOG_STATE_DELETED);
    linked.isLink = 1;
    CatalogRecord liveDup = makeRec("NODE_A", "dup.txt", 1);
    liveDup.registered.wYear = 2011;
    writeRecords(catalogFile(), {makeRec("NODE_A", "copy.txt", 1, CATALOG_STATE_DELETED), summed(linked),
                                 makeRec("NODE_X", "partial.bin", 10, CATALOG_STATE_DELETED),
                                 makeRec("NODE_A", "dup.txt", 1, CATALOG_STATE_DELETED), summed(liveDup)});
    catalog()->compactList();

    EXPECT_FALSE(exists(sendDir() + "/copy.txt"));
    EXPECT_FALSE(exists(sendDir() + "/linked.txt.lnk"));
    EXPECT_TRUE(exists(elsewhere + "/linked.txt")) << "never the target";
    EXPECT_FALSE(exists(recvDir() + "/NODE_X/partial.bin"));
    EXPECT_TRUE(exists(sendDir() + "/dup.txt")) << "a live record shares its key";
    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
}

TEST_F(CatalogExpiry, CompactionNeverDeletesOutsideTheNodesFolders)
{
    testsupport::writeFile(dir.path() + "/Yuvo.ini", "[SYSTEM]\n");
    testsupport::writeFile(dir.path() + "/victim.txt", "v");
    writeRecords(catalogFile(), {makeRec("NODE_A", "../victim.txt", 1, CATALOG_STATE_DELETED),
                                 makeRec("..", "Yuvo.ini", 1, CATALOG_STATE_DELETED),
                                 makeRec("NODE_X", "../../Yuvo.ini", 1, CATALOG_STATE_DELETED)});
    catalog()->compactList();
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_TRUE(exists(dir.path() + "/victim.txt"));
    EXPECT_TRUE(exists(dir.path() + "/Yuvo.ini"));
}

TEST_F(CatalogExpiry, ARecordOfAnUnknownStateIsWrittenOutOnceAndLeaves)
{
    writeRecords(catalogFile(), {makeRec("NODE_X", "zero.txt", 1, 0), makeRec("NODE_X", "ok.txt", 1)});
    catalog()->compactList();
    const auto err = readRecords(errFile());
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(fileOf(err[0]), "zero.txt");
    ASSERT_EQ(catalog()->getRecCount(), 1);

    ASSERT_TRUE(platform::deleteFile(errFile()));
    catalog()->compactList();
    EXPECT_FALSE(exists(errFile())) << "not written again";
}

} // namespace
