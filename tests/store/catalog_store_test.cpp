// catalog.dat: load and repair, the whole rewrite at release, and a file
// that cannot be loaded.
#include "catalog_testkit.h"

#include <sys/stat.h>

#include <filesystem>
#include <iterator>

using namespace catalogtest;

namespace {

class CatalogStore : public CatalogTest {};

TEST_F(CatalogStore, APartialTailIsCutAndAppendsLandAtTheirIndex)
{
    writeRecords(catalogFile(), {makeRec("NODE_X", "a.txt", 1), makeRec("NODE_X", "b.txt", 1)},
                 std::string(100, 'q'));
    ASSERT_EQ(catalog()->getRecCount(), 2);
    const CatalogRecord c = makeRec("NODE_A", "c.txt", 5);
    catalog()->addRec(&c);
    ASSERT_EQ(platform::fileSize(catalogFile()), 3 * 820);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
}

TEST_F(CatalogStore, ReleaseRewritesTheFileWholeWithoutATemporaryLeftBehind)
{
    g_bCatalogCashMode = 1; // nothing written until release
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    catalog()->addRec(&a);
    EXPECT_LE(platform::fileSize(catalogFile()), 0);
    const std::string expected = bytesOf(all());
    CCatalog::releaseInstance();
    EXPECT_EQ(testsupport::readFile(catalogFile()), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + "/CATALOG"), {}), 1);
}

TEST_F(CatalogStore, AFileThatCannotBeLoadedIsNeverOverwritten)
{
    ASSERT_EQ(::mkfifo(catalogFile().c_str(), 0600), 0);
    const CatalogRecord a = makeRec("NODE_A", "a.txt", 1);
    catalog()->addRec(&a);
    EXPECT_EQ(catalog()->getRecCount(), 1) << "the catalog works in memory";
    catalog()->compactList();
    CCatalog::releaseInstance();
    struct stat st {};
    ASSERT_EQ(::lstat(catalogFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

} // namespace
