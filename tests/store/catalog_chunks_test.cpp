// Writing a received file into RECV/<origin>/ chunk by chunk.
#include "catalog_testkit.h"

#include <unistd.h>

using namespace catalogtest;
using testsupport::exists;
using testsupport::readFile;

namespace {

class CatalogChunks : public CatalogTest {
protected:
    std::string data;

    void SetUp() override
    {
        CatalogTest::SetUp();
        settings->addRow("NODE_B", "TCP", "h1");
        for (int i = 0; i < 100; ++i)
            data.push_back(char('a' + i % 26));
    }

    CatalogRecord receive(const char* file)
    {
        const CatalogRecord r = makeRec("NODE_X", file, 100);
        catalog()->mergeRec(&r);
        return r;
    }
    std::string recvFile(const char* file) const { return recvDir() + "/NODE_X/" + file; }
    int write(DWORD at, DWORD n, const CatalogRecord& r, const char* bytes)
    {
        return catalog()->writeFileData(at, n, &r, bytes);
    }
};

TEST_F(CatalogChunks, ChunksAreTakenInSequenceOnlyAndTheWholeFileTravelsOn)
{
    const CatalogRecord r = receive("f.bin");
    EXPECT_EQ(write(0, 40, r, data.data()), 1);
    EXPECT_EQ(write(20, 40, r, std::string(40, 'X').data()), 0) << "overlap";
    EXPECT_EQ(write(60, 40, r, data.data() + 60), 0) << "a hole";
    EXPECT_EQ(stored(0).heldBytes, 40u);
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    // A chunk past the end completes the file without writing past it.
    const std::string longer = data + "TRAILING";
    EXPECT_EQ(write(40, 68, r, longer.data() + 40), 0);
    EXPECT_EQ(readFile(recvFile("f.bin")), data);
    EXPECT_EQ(stored(0).complete, 1u);
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);
    // Already whole: nothing more is written.
    EXPECT_EQ(write(0, 100, r, std::string(100, 'Z').data()), 0);
    EXPECT_EQ(readFile(recvFile("f.bin")), data);
}

TEST_F(CatalogChunks, OffsetZeroStartsAnewAndBytesGoneFromDiskAreFetchedAgain)
{
    const CatalogRecord r = receive("f.bin");
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X");
    testsupport::writeFile(recvFile("f.bin"), std::string(500, 'o'));
    EXPECT_EQ(write(0, 40, r, data.data()), 1);
    EXPECT_EQ(readFile(recvFile("f.bin")), data.substr(0, 40));

    ASSERT_TRUE(platform::deleteFile(recvFile("f.bin")));
    EXPECT_EQ(write(40, 40, r, data.data() + 40), 0);
    EXPECT_EQ(stored(0).heldBytes, 0u);
}

TEST_F(CatalogChunks, RefusedChunksLeaveNoTrace)
{
    const CatalogRecord r = receive("f.bin");
    CatalogRecord newer = r;
    newer.registered.wYear = 2011;
    catalog()->mergeRec(&newer);
    const CatalogRecord unknown = makeRec("NODE_Y", "u.bin", 10);
    CatalogRecord own = makeRec("NODE_A", "own.bin", 10);
    catalog()->addRec(&own);
    ASSERT_TRUE(catalog()->findRec("own.bin", "NODE_A", &own));
    own.complete = 0;
    for (const CatalogRecord* c : {&r, &unknown, static_cast<const CatalogRecord*>(&own)})
        EXPECT_EQ(write(0, 10, *c, data.data()), 0) << fileOf(*c);
    EXPECT_FALSE(exists(recvDir() + "/NODE_X"));
    EXPECT_FALSE(exists(recvDir() + "/NODE_A"));
}

// Links planted under RECV are removed or refused, never followed: no file
// outside RECV is written, cut or served.
TEST_F(CatalogChunks, LinksPlantedUnderRecvAreNeverFollowed)
{
    const std::string victim = dir.path() + "/victim.txt";
    testsupport::writeFile(victim, "victim");
    auto victimIntact = [&] { return readFile(victim) == "victim"; };
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X");

    // At the first chunk: a symbolic link and a hard link at the name.
    const CatalogRecord f = receive("f.bin");
    ASSERT_EQ(::symlink(victim.c_str(), recvFile("f.bin").c_str()), 0);
    EXPECT_EQ(write(0, 40, f, data.data()), 1);
    const CatalogRecord g = receive("g.bin");
    ASSERT_EQ(::link(victim.c_str(), recvFile("g.bin").c_str()), 0);
    EXPECT_EQ(write(0, 40, g, data.data()), 1);
    EXPECT_TRUE(victimIntact());
    EXPECT_EQ(readFile(recvFile("f.bin")), data.substr(0, 40));
    EXPECT_TRUE(platform::isRegularFile(recvFile("f.bin")));

    // In the middle of a transfer: the chunk is refused and the file starts
    // over from its first byte.
    ASSERT_TRUE(platform::deleteFile(recvFile("f.bin")));
    ASSERT_EQ(::symlink(victim.c_str(), recvFile("f.bin").c_str()), 0);
    ASSERT_TRUE(platform::deleteFile(recvFile("g.bin")));
    ASSERT_EQ(::link(victim.c_str(), recvFile("g.bin").c_str()), 0);
    EXPECT_EQ(write(40, 40, f, data.data() + 40), 0);
    EXPECT_EQ(write(40, 40, g, data.data() + 40), 0);
    EXPECT_TRUE(victimIntact());
    EXPECT_EQ(stored(0).heldBytes, 0u);
    EXPECT_EQ(stored(1).heldBytes, 0u);

    // A whole file behind a link is not served, and an empty file is made
    // at its name, never through a link there.
    char buf[16];
    ASSERT_EQ(write(0, 100, f, data.data()), 0);
    ASSERT_TRUE(platform::deleteFile(recvFile("f.bin")));
    ASSERT_EQ(::symlink(victim.c_str(), recvFile("f.bin").c_str()), 0);
    EXPECT_EQ(catalog()->readFileData(0, sizeof buf, &f, buf), 0u);
    ASSERT_EQ(::symlink(victim.c_str(), recvFile("empty.txt").c_str()), 0);
    const CatalogRecord empty = makeRec("NODE_X", "empty.txt", 0);
    catalog()->mergeRec(&empty);
    EXPECT_TRUE(victimIntact());
    EXPECT_TRUE(platform::isRegularFile(recvFile("empty.txt")));

    // The origin's folder itself as a link to another folder.
    const std::string outside = dir.path() + "/outside";
    platform::makeSureDirectoryPathExists(outside);
    ASSERT_EQ(::symlink(outside.c_str(), (recvDir() + "/NODE_Y").c_str()), 0);
    const CatalogRecord y = makeRec("NODE_Y", "y.bin", 10);
    catalog()->mergeRec(&y);
    EXPECT_EQ(write(0, 10, y, data.data()), 0);
    EXPECT_FALSE(exists(outside + "/y.bin"));
    EXPECT_EQ(readFile(recvDir() + "/NODE_Y/y.bin"), data.substr(0, 10));
}

TEST_F(CatalogChunks, RecordsWithNamesThatAreNoPlainNamesNeverLoadAndAreNeverWritten)
{
    // Such records can only come from an old or damaged catalog file.
    const CatalogRecord up = makeRec("..", "escaped.bin", 10);
    const CatalogRecord sub = makeRec("NODE_X", "../../escaped2.bin", 10);
    writeRecords(catalogFile(), {up, sub});
    ASSERT_EQ(catalog()->getRecCount(), 0);
    EXPECT_EQ(write(0, 10, up, data.data()), 0);
    EXPECT_EQ(write(0, 10, sub, data.data()), 0);
    EXPECT_FALSE(exists(dir.path() + "/escaped.bin"));
    EXPECT_FALSE(exists(dir.path() + "/escaped2.bin"));
    EXPECT_FALSE(exists(recvDir() + "/escaped.bin"));
}

} // namespace
