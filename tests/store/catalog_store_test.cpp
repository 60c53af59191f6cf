// catalog.dat: load and repair, write-through and the cache mode, the
// whole rewrite at release, and the single catalog's life.
#include "catalog_testkit.h"

#include <sys/stat.h>

#include <filesystem>

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogStore : public CatalogTest {};

std::vector<std::string> folderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(CatalogStore, WithoutACatalogFileTheStartCreatesAnEmptyOne)
{
    EXPECT_EQ(catalog()->getRecCount(), 0);
    ASSERT_TRUE(exists(catalogFile()));
    EXPECT_EQ(platform::fileSize(catalogFile()), 0);
    CCatalog::releaseInstance();
    EXPECT_EQ(platform::fileSize(catalogFile()), 0);
    CCatalog::releaseInstance(); // a second release does nothing
    EXPECT_TRUE(listener.events.empty());
}

TEST_F(CatalogStore, APartialTailIsCutAndAppendsLandAtTheirIndex)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    writeRecords(catalogFile(), {a, b}, std::string(100, 'q'));

    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(platform::fileSize(catalogFile()), 2 * 820);

    const CatalogRecord c = makeRec("NODE_A", "c.txt", 5);
    catalog()->addRec(&c);
    const auto recs = readRecords(catalogFile());
    ASSERT_EQ(platform::fileSize(catalogFile()), 3 * 820);
    EXPECT_EQ(bytesOf(recs[2]), bytesOf(stored(2)));
}

TEST_F(CatalogStore, LoadRepairsBadChecksumsAndMissingPartiesAndAnnouncesEveryRecord)
{
    CatalogRecord bad = makeRec("NODE_X", "bad.txt", 1);
    bad.findData.nFileSizeLow = 2; // changed after the checksum
    CatalogRecord noParty = makeRec("NODE_X", "np.txt", 1, CATALOG_STATE_NEW, "");
    CatalogRecord plain = makeRec("NODE_X", "plain.txt", 1);
    plain.hasCheckSum = 0;
    plain.checkSum = 777;
    writeRecords(catalogFile(), {bad, noParty, plain});

    ASSERT_EQ(catalog()->getRecCount(), 3);
    const auto disk = readRecords(catalogFile());
    ASSERT_EQ(disk.size(), 3u);
    EXPECT_EQ(disk[0].state, CATALOG_STATE_DELETED);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&disk[0]));
    EXPECT_EQ(cp932::fieldText(disk[1].partyName, CATALOG_PARTY_LEN), "PARTY");
    EXPECT_TRUE(CCatalog::isCheckSumOk(&disk[1]));
    EXPECT_EQ(bytesOf(disk[2]), bytesOf(plain)) << "loaded unchanged";

    ASSERT_EQ(listener.events.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(listener.events[i].kind, Event::Record);
        EXPECT_EQ(bytesOf(listener.events[i].rec), bytesOf(disk[i]));
    }
}

TEST_F(CatalogStore, WriteThroughKeepsTheFileEqualToTheList)
{
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    catalog()->addRec(&a);
    catalog()->mergeRec(&b);
    CatalogRecord d = a;
    d.state = CATALOG_STATE_DELETED;
    catalog()->deleteRecLocal(&d);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));

    // Someone cut the file behind our back: the next write puts it whole.
    testsupport::writeFile(catalogFile(), "");
    const CatalogRecord c = makeRec("NODE_A", "c.txt", 1);
    catalog()->addRec(&c);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_EQ(platform::fileSize(catalogFile()), 3 * 820);
}

TEST_F(CatalogStore, CacheModeLeavesTheFileAsItWasUntilRelease)
{
    g_bCatalogCashMode = 1;
    CatalogRecord bad = makeRec("NODE_X", "bad.txt", 1);
    bad.checkSum += 1;
    CatalogRecord gone = makeRec("NODE_X", "gone.txt", 1, CATALOG_STATE_DELETED);
    writeRecords(catalogFile(), {bad, gone});
    const std::string atStart = testsupport::readFile(catalogFile());

    EXPECT_EQ(stored(0).state, CATALOG_STATE_DELETED);
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    catalog()->addRec(&a);
    CatalogRecord u = a;
    u.state = CATALOG_STATE_UPDATED;
    catalog()->updateRec(&u);
    catalog()->compactList();
    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(testsupport::readFile(catalogFile()), atStart);

    const std::string expected = bytesOf(all());
    CCatalog::releaseInstance();
    EXPECT_EQ(testsupport::readFile(catalogFile()), expected);
}

TEST_F(CatalogStore, ReleaseRewritesTheWholeFileAndAnotherInstanceLoadsIt)
{
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    catalog()->addRec(&a);
    const std::string expected = bytesOf(all());
    CCatalog::releaseInstance();
    EXPECT_EQ(testsupport::readFile(catalogFile()), expected);
    EXPECT_EQ(folderEntries(catalogDir()), std::vector<std::string> {"catalog.dat"})
        << "no temporary file is left behind";

    listener.events.clear();
    EXPECT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(count(Event::Record), 1);
}

TEST_F(CatalogStore, AFileThatCannotBeLoadedIsNeverOverwritten)
{
    // Something that is no regular file cannot be opened as the catalog.
    ASSERT_EQ(::mkfifo(catalogFile().c_str(), 0600), 0);
    EXPECT_EQ(catalog()->getRecCount(), 0);
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    catalog()->addRec(&a);
    EXPECT_EQ(catalog()->getRecCount(), 1) << "the catalog works in memory";
    catalog()->compactList();
    CCatalog::releaseInstance();

    struct stat st {};
    ASSERT_EQ(::lstat(catalogFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the unreadable file is still what it was";
}

TEST_F(CatalogStore, GetInstanceMakesOneCatalogUntilReleased)
{
    CCatalog* first = CCatalog::getInstance();
    EXPECT_EQ(CCatalog::getInstance(), first);
    EXPECT_EQ(CCatalog::getCatalogFolder(), catalogDir());
    EXPECT_EQ(catalog()->cash().path(), catalogFile());
    EXPECT_EQ(catalog()->cash().writeThrough(), 1);
}

} // namespace
