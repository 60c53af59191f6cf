// File chunks: writing a received file into RECV/<origin>/ in sequence,
// reading chunks of files held whole (copies, shortcut targets, received
// files), and the shortcut target cache.
#include "catalog_testkit.h"

#include <filesystem>

#include "platform/dirlist.h"
#include "platform/shortcut.h"

using namespace catalogtest;
using testsupport::exists;
using testsupport::readFile;

namespace {

class CatalogChunks : public CatalogTest {
protected:
    std::string data100;

    void SetUp() override
    {
        CatalogTest::SetUp();
        for (int i = 0; i < 100; ++i)
            data100.push_back(char('a' + i % 26));
        settings->addRow("NODE_B", "TCP", "h1");
    }

    // A received record of NODE_X for a file of `size` bytes, stored.
    CatalogRecord receive(const char* file, DWORD size)
    {
        const CatalogRecord r = makeRec("NODE_X", file, size);
        catalog()->mergeRec(&r);
        return r;
    }

    std::string recvFile(const char* file) const { return recvDir() + "/NODE_X/" + file; }
};

TEST_F(CatalogChunks, AFileArrivesInChunksAndTravelsOnOnlyWhenWhole)
{
    const CatalogRecord r = receive("f.bin", 100);
    listener.events.clear();

    EXPECT_EQ(catalog()->writeFileData(0, 40, &r, data100.data()), 1);
    EXPECT_EQ(stored(0).heldBytes, 40u);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_EQ(catalog()->writeFileData(40, 40, &r, data100.data() + 40), 1);
    EXPECT_EQ(stored(0).heldBytes, 80u);
    EXPECT_EQ(stored(0).complete, 0u);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_EQ(catalog()->writeFileData(80, 20, &r, data100.data() + 80), 0);

    const CatalogRecord s = stored(0);
    EXPECT_EQ(s.complete, 1u);
    EXPECT_EQ(s.heldBytes, 100u);
    EXPECT_TRUE(CCatalog::isCheckSumOk(&s));
    EXPECT_EQ(readFile(recvFile("f.bin")), data100);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())[0]), bytesOf(s));

    ASSERT_EQ(listener.events.size(), 3u);
    for (const Event& e : listener.events) {
        EXPECT_EQ(e.kind, Event::RecordAt);
        EXPECT_EQ(e.index, 0);
    }
    const auto q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(routeOf(q[0], 0), "NODE_A");
    EXPECT_TRUE(catalog()->isRecComplete(&r));
}

TEST_F(CatalogChunks, ChunksAreTakenOnlyInSequence)
{
    const CatalogRecord r = receive("f.bin", 100);
    ASSERT_EQ(catalog()->writeFileData(0, 40, &r, data100.data()), 1);
    listener.events.clear();

    EXPECT_EQ(catalog()->writeFileData(20, 40, &r, "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"), 0);
    EXPECT_EQ(catalog()->writeFileData(60, 40, &r, data100.data() + 60), 0) << "a hole is no data";
    EXPECT_EQ(stored(0).heldBytes, 40u);
    EXPECT_EQ(readFile(recvFile("f.bin")), data100.substr(0, 40));
    EXPECT_TRUE(listener.events.empty());
}

TEST_F(CatalogChunks, AChunkPastTheEndCompletesTheFileWithoutWritingPastIt)
{
    const CatalogRecord r = receive("f.bin", 100);
    ASSERT_EQ(catalog()->writeFileData(0, 90, &r, data100.data()), 1);
    const std::string longer = data100 + "TRAILING";
    EXPECT_EQ(catalog()->writeFileData(90, 18, &r, longer.data() + 90), 0);
    EXPECT_EQ(readFile(recvFile("f.bin")), data100);
    EXPECT_EQ(stored(0).heldBytes, 100u);
    EXPECT_EQ(stored(0).complete, 1u);
}

TEST_F(CatalogChunks, AFetchFromOffsetZeroStartsTheFileAnew)
{
    const CatalogRecord r = receive("f.bin", 100);
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X");
    testsupport::writeFile(recvFile("f.bin"), std::string(500, 'o'));
    EXPECT_EQ(catalog()->writeFileData(0, 10, &r, data100.data()), 1);
    EXPECT_EQ(readFile(recvFile("f.bin")), data100.substr(0, 10));
}

TEST_F(CatalogChunks, BytesHeldButGoneFromDiskAreFetchedAgain)
{
    const CatalogRecord r = receive("f.bin", 100);
    ASSERT_EQ(catalog()->writeFileData(0, 40, &r, data100.data()), 1);
    ASSERT_TRUE(platform::deleteFile(recvFile("f.bin")));
    EXPECT_EQ(catalog()->writeFileData(40, 40, &r, data100.data() + 40), 0);
    EXPECT_EQ(stored(0).heldBytes, 0u);
    EXPECT_EQ(stored(0).complete, 0u);
    EXPECT_EQ(catalog()->writeFileData(0, 100, &r, data100.data()), 0);
    EXPECT_EQ(readFile(recvFile("f.bin")), data100);
}

TEST_F(CatalogChunks, RefusedChunksLeaveNoTrace)
{
    // Another version of the record (a newer registration replaced it).
    const CatalogRecord r = receive("f.bin", 100);
    CatalogRecord newer = r;
    newer.registered.wYear = 2011;
    catalog()->mergeRec(&newer);
    EXPECT_EQ(catalog()->writeFileData(0, 40, &r, data100.data()), 0);
    EXPECT_FALSE(exists(recvDir() + "/NODE_X"));

    // A record the catalog does not hold.
    const CatalogRecord unknown = makeRec("NODE_Y", "u.bin", 10);
    EXPECT_EQ(catalog()->writeFileData(0, 10, &unknown, data100.data()), 0);

    // An own record: its bytes are in SEND, never written from a peer.
    const CatalogRecord own = makeRec("NODE_A", "own.bin", 10);
    catalog()->addRec(&own);
    CatalogRecord ownStored;
    ASSERT_TRUE(catalog()->findRec("own.bin", "NODE_A", &ownStored));
    ownStored.complete = 0;
    EXPECT_EQ(catalog()->writeFileData(0, 10, &ownStored, data100.data()), 0);
    EXPECT_FALSE(exists(recvDir() + "/NODE_A"));

    // A file already whole here.
    ASSERT_EQ(catalog()->writeFileData(0, 100, &newer, data100.data()), 0);
    EXPECT_EQ(catalog()->writeFileData(0, 100, &newer, std::string(100, 'Z').data()), 0);
    EXPECT_EQ(readFile(recvFile("f.bin")), data100);
}

TEST_F(CatalogChunks, ChunksForNamesThatAreNoPlainNamesAreNeverWritten)
{
    // Such records can only come from an old catalog file.
    CatalogRecord up = makeRec("..", "escaped.bin", 10);
    CatalogRecord sub = makeRec("NODE_X", "../../escaped2.bin", 10);
    CCatalog::setCheckSum(&up);
    CCatalog::setCheckSum(&sub);
    writeRecords(catalogFile(), {up, sub});
    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(catalog()->writeFileData(0, 10, &up, data100.data()), 0);
    EXPECT_EQ(catalog()->writeFileData(0, 10, &sub, data100.data()), 0);
    EXPECT_FALSE(exists(dir.path() + "/escaped.bin"));
    EXPECT_FALSE(exists(dir.path() + "/escaped2.bin"));
    EXPECT_FALSE(exists(recvDir() + "/escaped.bin"));
}

TEST_F(CatalogChunks, ReadFileDataServesOnlyWholeFilesInTheVersionAsked)
{
    // A received file, whole.
    const CatalogRecord r = receive("f.bin", 100);
    ASSERT_EQ(catalog()->writeFileData(0, 100, &r, data100.data()), 0);
    char buf[200];
    EXPECT_EQ(catalog()->readFileData(10, 30, &r, buf), 30u);
    EXPECT_EQ(std::string(buf, 30), data100.substr(10, 30));
    EXPECT_EQ(catalog()->readFileData(90, 30, &r, buf), 10u);
    EXPECT_EQ(catalog()->readFileData(100, 30, &r, buf), 0u);
    EXPECT_EQ(catalog()->readFileData(5000, 30, &r, buf), 0u);

    CatalogRecord otherVersion = r;
    otherVersion.findData.nFileSizeLow = 99;
    EXPECT_EQ(catalog()->readFileData(0, 30, &otherVersion, buf), 0u);

    // Held only in part.
    const CatalogRecord part = receive("part.bin", 100);
    ASSERT_EQ(catalog()->writeFileData(0, 40, &part, data100.data()), 1);
    EXPECT_EQ(catalog()->readFileData(0, 30, &part, buf), 0u);
}

TEST_F(CatalogChunks, ReadFileDataOfAnotherNodesFileMakesItsFolder)
{
    CatalogRecord r = makeRec("NODE_Z", "z.bin", 3);
    r.complete = 1;
    r.heldBytes = 3;
    CCatalog::setCheckSum(&r);
    writeRecords(catalogFile(), {r});
    char buf[10];
    EXPECT_EQ(catalog()->readFileData(0, 10, &r, buf), 0u);
    EXPECT_TRUE(platform::isDirectory(recvDir() + "/NODE_Z"));
    testsupport::writeFile(recvDir() + "/NODE_Z/z.bin", "xyz");
    EXPECT_EQ(catalog()->readFileData(0, 10, &r, buf), 3u);
}

TEST_F(CatalogChunks, OwnFilesAreReadFromSendOrFromTheShortcutTarget)
{
    testsupport::writeFile(sendDir() + "/copy.txt", "copy content");
    WIN32_FIND_DATAA fd;
    ASSERT_TRUE(platform::findFileData(sendDir() + "/copy.txt", &fd));
    CatalogRecord copy;
    CCatalog::makeNewRec(&fd, &copy);
    catalog()->addRec(&copy);

    const std::string elsewhere = dir.path() + "/elsewhere";
    platform::makeSureDirectoryPathExists(elsewhere);
    testsupport::writeFile(elsewhere + "/linked.txt", "linked content");
    testsupport::writeFile(elsewhere + "/decoy.txt", "decoy");
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/decoy.txt.lnk", elsewhere + "/decoy.txt"));
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/linked.txt.lnk", elsewhere + "/linked.txt"));
    ASSERT_TRUE(platform::findFileData(elsewhere + "/linked.txt", &fd));
    CatalogRecord link;
    CCatalog::makeNewRec(&fd, &link);
    link.isLink = 1;
    catalog()->addRec(&link);

    CatalogRecord s;
    ASSERT_TRUE(catalog()->findRec("copy.txt", "NODE_A", &s));
    char buf[64];
    ASSERT_EQ(catalog()->readFileData(0, 64, &s, buf), 12u);
    EXPECT_EQ(std::string(buf, 12), "copy content");

    ASSERT_TRUE(catalog()->findRec("linked.txt", "NODE_A", &s));
    ASSERT_EQ(catalog()->readFileData(7, 64, &s, buf), 7u);
    EXPECT_EQ(std::string(buf, 7), "content");

    // A peer claiming the copy is a link changes nothing: the stored record
    // decides where the bytes come from.
    CatalogRecord claimed;
    ASSERT_TRUE(catalog()->findRec("copy.txt", "NODE_A", &claimed));
    claimed.isLink = 1;
    EXPECT_EQ(catalog()->readFileData(0, 64, &claimed, buf), 12u);

    // With the shortcut gone (and the cache emptied by a compaction), nothing
    // else is read, not even the other shortcut's target.
    ASSERT_TRUE(platform::deleteShortcut(sendDir() + "/linked.txt.lnk"));
    catalog()->compactList();
    EXPECT_EQ(catalog()->readFileData(0, 64, &s, buf), 0u);
}

TEST_F(CatalogChunks, FindLinkTargetAnswersFromItsCacheUntilTheNextCompaction)
{
    const std::string elsewhere = dir.path() + "/elsewhere";
    platform::makeSureDirectoryPathExists(elsewhere);
    testsupport::writeFile(elsewhere + "/t.txt", "t");
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/t.txt.lnk", elsewhere + "/t.txt"));
    std::string out;
    catalog()->findLinkTarget("t.txt", out);
    EXPECT_EQ(out, elsewhere + "/t.txt");

    ASSERT_TRUE(platform::deleteShortcut(sendDir() + "/t.txt.lnk"));
    catalog()->findLinkTarget("t.txt", out);
    EXPECT_EQ(out, elsewhere + "/t.txt") << "from the cache";
    catalog()->compactList();
    catalog()->findLinkTarget("t.txt", out);
    EXPECT_EQ(out, "");
    catalog()->findLinkTarget("none.txt", out);
    EXPECT_EQ(out, "");
}

} // namespace
