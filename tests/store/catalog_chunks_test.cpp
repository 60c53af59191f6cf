// Writing a received file into RECV/<origin>/ chunk by chunk.
#include "catalog_testkit.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dirlist.h"
#include "platform/paths.h"

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
    // Where the file lies while it is being received.
    std::string receivingFile(const char* file) const { return recvFile(file) + "·受信中"; }
    // rec registered again in that year, of that size; received.
    CatalogRecord receiveAgain(const CatalogRecord& rec, WORD year, DWORD size)
    {
        CatalogRecord r = rec;
        r.registered.wYear = year;
        r.findData.nFileSizeLow = size;
        r = summed(r);
        catalog()->mergeRec(&r);
        return r;
    }
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
    settle();
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
    testsupport::writeFile(receivingFile("f.bin"), std::string(500, 'o'));
    EXPECT_EQ(write(0, 40, r, data.data()), 1);
    EXPECT_EQ(readFile(receivingFile("f.bin")), data.substr(0, 40));

    ASSERT_TRUE(platform::deleteFile(receivingFile("f.bin")));
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

// A registration of the file held whole, by the size and last write it
// gives, keeps the copy (complete, passed on, not fetched) while it is whole
// on the disk. A changed file is received beside its place, through a
// restart, and takes the place only when whole; a deletion takes both.
TEST_F(CatalogChunks, TheFileHeldWholeIsKeptAndANewVersionTakesItsPlaceOnlyWhenWhole)
{
    const CatalogRecord r = receive("f.bin");
    ASSERT_EQ(write(0, 100, r, data.data()), 0);
    settle();
    const platform::FileStamp held = platform::fileStamp(recvFile("f.bin"));
    const CatalogRecord again = receiveAgain(r, 2011, 100);
    EXPECT_TRUE(catalog()->isRecComplete(&again));
    EXPECT_EQ(platform::fileStamp(recvFile("f.bin")), held);
    EXPECT_EQ(readRecords(queueFile("NODE_B")).back().registered.wYear, 2011);
    testsupport::writeFile(recvFile("f.bin"), data.substr(0, 60));
    const CatalogRecord third = receiveAgain(r, 2012, 100);
    ASSERT_EQ(write(0, 100, third, data.data()), 0) << "fetched again";

    const std::string newer(150, 'N');
    const CatalogRecord changed = receiveAgain(r, 2013, 150);
    EXPECT_EQ(write(0, 50, changed, newer.data()), 1);
    CCatalog::releaseInstance(); // the node ends in the middle
    EXPECT_EQ(write(50, 50, changed, newer.data() + 50), 1);
    EXPECT_EQ(readFile(recvFile("f.bin")), data);
    EXPECT_EQ(write(100, 50, changed, newer.data() + 100), 0);
    EXPECT_EQ(readFile(recvFile("f.bin")), newer);

    const CatalogRecord last = receiveAgain(r, 2014, 160);
    ASSERT_EQ(write(0, 10, last, data.data()), 1);
    catalog()->recvDeleteRec(&last);
    catalog()->compactList();
    EXPECT_FALSE(exists(recvFile("f.bin")) || exists(receivingFile("f.bin")));
    // No registered name converts to the receiving one; a name that leaves
    // no room for the mark is received under a shorter one.
    EXPECT_FALSE(cp932::fromUtf8("f.bin·受信中").has_value());
    const std::string longName(250, 'L');
    const CatalogRecord l = receive(longName.c_str());
    EXPECT_EQ(write(0, 40, l, data.data()) + write(40, 60, l, data.data() + 40), 1);
    EXPECT_EQ(readFile(recvFile(longName.c_str())), data);
}

// A fetched file is written whole, and passed on, only once its bytes and
// its name are on the disk, and the entries passed on are there before the
// record says it is whole: while the sync is held back the record stays as
// it was, nothing is queued and the file is not asked for again. A sync
// that fails has the file fetched again from its first byte.
TEST_F(CatalogChunks, AFetchedFileIsWholeOnlyOnceItsBytesAndNameAreOnTheDisk)
{
    std::mutex m;
    std::condition_variable cv;
    bool held = true;
    std::vector<std::string> synced;
    std::atomic<int> fault = 0;
    std::atomic<int> queueBeforeBytes = 0, wholeBeforeQueue = 0;
    SyncHook hook([&](const std::string& path) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return !held; });
        synced.push_back(path.substr(path.rfind('/') + 1));
        if (synced.back() == "f.bin" && exists(queueFile("NODE_B")))
            ++queueBeforeBytes;
        if (synced.back() == "NODE_B.dat" && !readRecords(catalogFile()).empty()
            && readRecords(catalogFile()).front().complete == 1)
            ++wholeBeforeQueue;
        return fault.load();
    });
    struct Release {
        std::function<void()> f;
        ~Release() { f(); }
    } release{[&] {
        {
            std::lock_guard<std::mutex> lock(m);
            held = false;
        }
        cv.notify_all();
    }};

    const CatalogRecord r = receive("f.bin");
    EXPECT_EQ(write(0, 40, r, data.data()), 1);
    EXPECT_EQ(write(40, 60, r, data.data() + 40), 0);
    catalog()->collectSyncs();
    EXPECT_EQ(readFile(recvFile("f.bin")), data) << "in its place";
    EXPECT_EQ(stored(0).complete, 0u);
    EXPECT_EQ(stored(0).heldBytes, 40u);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    CatalogRecord next;
    EXPECT_EQ(catalog()->getFirstFetchRec(&next), 0) << "not asked for again";
    EXPECT_EQ(write(40, 60, r, data.data() + 40), 0);
    release.f();
    settle();
    EXPECT_EQ(stored(0).complete, 1u);
    EXPECT_EQ(stored(0).heldBytes, 100u);
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);
    for (const char* name : {"f.bin", "NODE_X", "RECV", "NODE_B.dat", "catalog.dat"})
        EXPECT_NE(std::find(synced.begin(), synced.end(), name), synced.end()) << name;
    EXPECT_EQ(queueBeforeBytes, 0) << "passed on before its bytes were on the disk";
    EXPECT_EQ(wholeBeforeQueue, 0) << "whole before the entries passed on were on the disk";

    const CatalogRecord g = receive("g.bin");
    fault = EIO;
    testing::internal::CaptureStdout();
    EXPECT_EQ(write(0, 100, g, data.data()), 0);
    settle();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("it is fetched again"), std::string::npos);
    EXPECT_EQ(stored(1).complete, 0u);
    EXPECT_EQ(stored(1).heldBytes, 0u);
    ASSERT_EQ(catalog()->getFirstFetchRec(&next), 1);
    EXPECT_EQ(fileOf(next), "g.bin");
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u) << "not passed on";
    fault = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(write(0, 100, g, data.data()), 0);
    settle();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stored(1).complete, 1u);
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 2u);
}

// A copy fetched whole bears the last-write time of its registration. At
// every start, a received file marked whole whose copy is of another size
// (a power cut lost bytes written) or gone is fetched again, the copy in
// place staying until the new one is whole.
TEST_F(CatalogChunks, AStartFetchesAgainAReceivedFileMarkedWholeThatIsNotWholeOnTheDisk)
{
    const FILETIME written = fileTimeFromTimespec({1700000000, 123456700});
    std::vector<CatalogRecord> recs;
    for (const char* file : {"kept.bin", "cut.bin", "gone.bin"}) {
        CatalogRecord r = makeRec("NODE_X", file, 100);
        r.findData.ftLastWriteTime = written;
        recs.push_back(summed(r));
        catalog()->mergeRec(&recs.back());
        ASSERT_EQ(write(0, 100, recs.back(), data.data()), 0);
    }
    settle(); // whole once on the disk
    const platform::PathStatus kept = platform::pathStatus(recvFile("kept.bin"));
    EXPECT_EQ(fileTimeToU64(fileTimeFromTimespec(kept.lastWrite)), fileTimeToU64(written));
    ASSERT_EQ(::truncate(recvFile("cut.bin").c_str(), 60), 0);
    ASSERT_TRUE(platform::deleteFile(recvFile("gone.bin")));

    CCatalog::releaseInstance();
    catalog()->finishStartCheck();
    settle(); // the records written over go in place once the journal's copies are on the disk
    const std::vector<CatalogRecord> onDisk = readRecords(catalogFile());
    ASSERT_EQ(onDisk.size(), 3u);
    EXPECT_EQ(onDisk[0].complete, 1u);
    for (int i : {1, 2})
        EXPECT_EQ(onDisk[std::size_t(i)].complete + onDisk[std::size_t(i)].heldBytes, 0u) << i;
    EXPECT_EQ(write(0, 50, recs[1], data.data()), 1);
    EXPECT_EQ(platform::fileSize(recvFile("cut.bin")), 60);
    EXPECT_EQ(write(50, 50, recs[1], data.data() + 50), 0);
    EXPECT_EQ(readFile(recvFile("cut.bin")), data);
}

// A name whose UTF-8 is too long for a folder (120 kanji) is received and
// kept under the one shortened name that every use of the record finds: the
// last chunk completes it, nothing is fetched again, it is served, a newer
// version takes its place and a deletion takes it.
TEST_F(CatalogChunks, ANameTooLongForTheDiskIsKeptUnderItsShortenedName)
{
    std::string name;
    for (int i = 0; i < 120; ++i)
        name += "\x8A\xBF"; // 漢
    const CatalogRecord r = receive(name.c_str());
    const std::string place = *paths::joinName(recvDir() + "/NODE_X", name);
    EXPECT_EQ(write(0, 40, r, data.data()), 1);
    EXPECT_EQ(write(40, 60, r, data.data() + 40), 0);
    settle();
    EXPECT_EQ(stored(0).complete, 1u);
    EXPECT_EQ(readFile(place), data);
    std::vector<platform::DirEntry> inFolder;
    ASSERT_TRUE(platform::listDirectory(recvDir() + "/NODE_X", "*", inFolder));
    EXPECT_EQ(inFolder.size(), 1u) << "nothing left beside it";
    CatalogRecord next;
    EXPECT_EQ(catalog()->getFirstFetchRec(&next), 0) << "not fetched again";
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);
    char served[100];
    EXPECT_EQ(catalog()->readFileData(0, 100, &r, served), 100u);

    const std::string newer(150, 'N');
    const CatalogRecord changed = receiveAgain(r, 2011, 150);
    EXPECT_EQ(write(0, 150, changed, newer.data()), 0);
    EXPECT_EQ(readFile(place), newer);
    catalog()->recvDeleteRec(&changed);
    catalog()->compactList();
    EXPECT_FALSE(exists(place));
}

// Links planted under RECV are removed or refused, never followed: no file
// outside RECV is written, cut or served.
TEST_F(CatalogChunks, LinksPlantedUnderRecvAreNeverFollowed)
{
    const std::string victim = dir.path() + "/victim.txt";
    testsupport::writeFile(victim, "victim");
    auto victimIntact = [&] { return readFile(victim) == "victim"; };
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X");

    // At the first chunk: a symbolic link and a hard link where the file is
    // received, and a link in its place.
    const CatalogRecord f = receive("f.bin");
    ASSERT_EQ(::symlink(victim.c_str(), receivingFile("f.bin").c_str()), 0);
    EXPECT_EQ(write(0, 40, f, data.data()), 1);
    const CatalogRecord g = receive("g.bin");
    ASSERT_EQ(::link(victim.c_str(), receivingFile("g.bin").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), recvFile("g.bin").c_str()), 0);
    EXPECT_EQ(write(0, 40, g, data.data()), 1);
    EXPECT_TRUE(victimIntact());
    EXPECT_EQ(readFile(receivingFile("f.bin")), data.substr(0, 40));
    EXPECT_TRUE(platform::isRegularFile(receivingFile("f.bin")));

    // In the middle of a transfer: the chunk is refused and the file starts
    // over from its first byte.
    ASSERT_TRUE(platform::deleteFile(receivingFile("f.bin")));
    ASSERT_EQ(::symlink(victim.c_str(), receivingFile("f.bin").c_str()), 0);
    ASSERT_TRUE(platform::deleteFile(receivingFile("g.bin")));
    ASSERT_EQ(::link(victim.c_str(), receivingFile("g.bin").c_str()), 0);
    EXPECT_EQ(write(40, 40, f, data.data() + 40), 0);
    EXPECT_EQ(write(40, 40, g, data.data() + 40), 0);
    EXPECT_TRUE(victimIntact());
    EXPECT_EQ(stored(0).heldBytes, 0u);
    EXPECT_EQ(stored(1).heldBytes, 0u);
    // Whole, the file goes into its place over the link, never through it.
    ASSERT_EQ(write(0, 100, g, data.data()), 0);
    EXPECT_TRUE(victimIntact());
    EXPECT_EQ(readFile(recvFile("g.bin")), data);

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
