// catalog.dat: load and repair, the whole rewrite at release, a file that
// cannot be loaded, and the file that asks the neighbours again after an
// end without the save.
#include "catalog_testkit.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <thread>

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
    settings->switches.catalogCashMode = 1; // nothing written until release
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

// CATALOG/resyncNeighbours.flg stands while what the neighbours sent may be
// lost: from a load under -CATALOGCASH until a good final save, and from a
// load that finds it until every row has been asked (under -CATALOGCASH
// until the save after that).
TEST_F(CatalogStore, TheFileThatAsksTheNeighboursAgainStandsUntilWhatTheySentIsSafe)
{
    using testsupport::exists;
    const std::string mark = dir.path() + "/CATALOG/resyncNeighbours.flg";
    settings->addRow("NODE_B", "TCP", "127.0.0.1/42001");
    settings->addRow("NODE_C", "TCP", "127.0.0.1/42002");
    const auto start = [&](int cashMode) {
        CCatalog::releaseInstance();
        settings->switches.catalogCashMode = cashMode;
        return catalog();
    };
    EXPECT_FALSE(start(1)->owesWholeSync("NODE_B"));
    EXPECT_TRUE(exists(mark)) << "written at the load";
    CCatalog::releaseInstance();
    EXPECT_FALSE(exists(mark)) << "removed by the good final save";

    for (int cashMode : {1, 0}) {
        testsupport::writeFile(mark, ""); // the last run was killed
        start(cashMode)->wholeSyncAsked("NODE_B");
        CCatalog* c = start(cashMode);
        EXPECT_TRUE(c->owesWholeSync("NODE_B")) << cashMode << ": an end before all were asked asks again";
        c->wholeSyncAsked("NODE_B");
        c->wholeSyncAsked("NODE_C");
        EXPECT_FALSE(c->owesWholeSync("NODE_C"));
        EXPECT_EQ(exists(mark), cashMode == 1) << "under -CATALOGCASH what came is in memory only";
        CCatalog::releaseInstance();
        EXPECT_FALSE(exists(mark));
    }
    std::remove(catalogFile().c_str());
    ASSERT_EQ(::mkfifo(catalogFile().c_str(), 0600), 0); // the final save is refused
    start(1);
    CCatalog::releaseInstance();
    EXPECT_TRUE(exists(mark)) << "kept when the save fails";
}

// Such a start holds the catalog of the last save, which may name received
// files that their origin deleted since (the lost run deleted their copies
// with their records): a received record marked whole whose copy is gone
// from RECV is dropped before anything comes from a neighbour, and the
// neighbours' whole catalogs bring back what is still shared. A copy of
// another size is fetched again, and stays until the new one is whole.
TEST_F(CatalogStore, AStartThatAsksTheNeighboursAgainHoldsNoReceivedFileGoneFromRECV)
{
    settings->addRow("NODE_B", "TCP", "127.0.0.1/42001");
    settings->switches.catalogCashMode = 1;
    const auto whole = [](const char* file) {
        CatalogRecord r = makeRec("NODE_X", file, 4);
        r.complete = 1;
        r.heldBytes = 4;
        return summed(r);
    };
    const CatalogRecord kept = whole("kept.txt"), gone = whole("gone.txt"), cut = whole("cut.txt");
    std::filesystem::create_directories(recvDir() + "/NODE_X");
    testsupport::writeFile(recvDir() + "/NODE_X/kept.txt", "four");
    testsupport::writeFile(recvDir() + "/NODE_X/cut.txt", "fo");
    writeRecords(catalogFile(), {kept, gone, cut});
    testsupport::writeFile(dir.path() + "/CATALOG/resyncNeighbours.flg", ""); // the last run was killed

    // No poll goes until the check is applied.
    while (!catalog()->storesAtOnce())
        std::this_thread::yield();
    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(fileOf(stored(0)), "kept.txt");
    EXPECT_EQ(stored(0).complete, 1u);
    EXPECT_EQ(fileOf(stored(1)), "cut.txt");
    EXPECT_EQ(stored(1).complete + stored(1).heldBytes, 0u) << "fetched again";
    EXPECT_EQ(testsupport::readFile(recvDir() + "/NODE_X/cut.txt"), "fo");
    catalog()->mergeRec(&gone); // still listed by a neighbour
    ASSERT_EQ(catalog()->getRecCount(), 3);
    EXPECT_EQ(stored(2).complete, 0u) << "fetched again";
}

} // namespace

// The key index against a plain scan of the list, through appends of new and
// repeated keys, records whose key changes in place, and whole replacements,
// across the index's growth.
TEST_F(CatalogStore, LookupsByKeyAgreeWithAScanOfTheList)
{
    CCatalogCash cash;
    cash.setupList(catalogFile(), 0, 200000);
    auto keyed = [](int node, int file) {
        return makeRec(("N" + std::to_string(node)).c_str(), ("f" + std::to_string(file) + ".txt").c_str(), 1);
    };
    auto scan = [&cash](const CatalogRecord& key) {
        std::vector<int> out;
        for (int i = 0; i < cash.getCount(); ++i)
            if (CCatalog::isSameKey(&cash.list()[std::size_t(i)], &key))
                out.push_back(i);
        return out;
    };
    std::uint32_t seed = 7;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int step = 0; step < 6000; ++step) {
        const CatalogRecord r = keyed(int(next(4)), int(next(400)));
        const std::uint32_t what = next(200);
        if (what < 150 || cash.getCount() == 0)
            cash.addRec(r);
        else if (what < 198)
            cash.setRec(int(next(std::uint32_t(cash.getCount()))), r);
        else {
            std::vector<CatalogRecord> kept(cash.list().begin() + cash.getCount() / 3, cash.list().end());
            cash.setList(kept);
        }
        if (step % 50 == 0) {
            for (int k = 0; k < 40; ++k) {
                // Half the keys looked up are held (often more than once).
                const CatalogRecord key = k % 2 ? cash.list()[next(std::uint32_t(cash.getCount()))]
                                                : keyed(int(next(4)), int(next(400)));
                const std::vector<int> expect = scan(key);
                ASSERT_EQ(cash.indexesOf(key), expect) << "step " << step;
                CatalogRecord found;
                ASSERT_EQ(cash.findRec(key, &found), expect.empty() ? -1 : expect.front());
                if (!expect.empty()) {
                    EXPECT_EQ(bytesOf(found), bytesOf(cash.list()[std::size_t(expect.front())]));
                }
            }
        }
    }
}

// A load leaves its keys to be indexed at the first use, whatever that use
// is: a lookup, an append or a record whose key changes in place.
TEST_F(CatalogStore, KeysLoadedAreIndexedAtTheirFirstUseOnce)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    const CatalogRecord c = makeRec("NODE_X", "c.txt", 1);
    writeRecords(catalogFile(), {a, b, a});
    for (int firstUse = 0; firstUse < 3; ++firstUse) {
        CCatalogCash cash;
        cash.setupList(catalogFile(), 0, 200000);
        if (firstUse == 0)
            EXPECT_EQ(cash.findRec(b, nullptr), 1);
        else if (firstUse == 1)
            cash.addRec(c);
        else
            cash.setRec(1, c);
        EXPECT_EQ(cash.indexesOf(a), (std::vector<int> {0, 2})) << firstUse;
        EXPECT_EQ(cash.indexesOf(b), firstUse == 2 ? std::vector<int> {} : std::vector<int> {1}) << firstUse;
        EXPECT_EQ(cash.indexesOf(c), firstUse == 0   ? std::vector<int> {}
                                     : firstUse == 1 ? std::vector<int> {3}
                                                     : std::vector<int> {1})
            << firstUse;
    }
}
