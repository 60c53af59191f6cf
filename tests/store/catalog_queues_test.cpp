// Neighbour queue files: taking records for sending, the records in flight
// until the neighbour holds them, renaming, and the names a queue file may
// have.
#include "catalog_testkit.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogQueues : public CatalogTest {
protected:
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];

    // n records of NODE_X, queued for NODE_B in order.
    void queueForeign(int n)
    {
        std::vector<CatalogRecord> v;
        for (int i = 0; i < n; ++i)
            v.push_back(makeRec("NODE_X", ("f" + std::to_string(i) + ".txt").c_str(), 10));
        writeRecords(catalogFile(), v);
        catalog()->syncTo("NODE_B", 1, SYSTEMTIME {});
    }
    int take(const char* node) { return catalog()->takeQueueRecs(node, out); }
};

TEST_F(CatalogQueues, ARecordThatCameWithASentMarkStillWaitsInTheQueue)
{
    settings->addRow("NODE_B", "TCP", "h1");
    CatalogRecord r = makeRec("NODE_X", "f.txt", 0);
    r.pending = 0;
    CCatalog::setCheckSum(&r);
    catalog()->mergeRec(&r); // an empty file is whole at once and travels on
    catalog()->syncTo("NODE_C", 1, SYSTEMTIME {});
    for (const char* node : {"NODE_B", "NODE_C"}) {
        ASSERT_EQ(take(node), 1) << node;
        EXPECT_TRUE(CCatalog::isCheckSumOk(&out[0]));
    }
}

TEST_F(CatalogQueues, FifteenWaitingRecordsAreTakenAsElevenThenFourThenTheFileGoes)
{
    queueForeign(15);
    ASSERT_EQ(take("NODE_B"), 11);
    ASSERT_EQ(take("NODE_B"), 4);
    EXPECT_EQ(fileOf(out[0]), "f11.txt");
    EXPECT_EQ(take("NODE_B"), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

// Junk in a queue file (a hop count out of range, a name without its end)
// is never sent; the entries around it are, and the file goes as usual.
TEST_F(CatalogQueues, AMalformedQueuedEntryIsNeverSent)
{
    CatalogRecord hops = makeRec("NODE_X", "hops.txt", 10);
    hops.hopCount = 0xFFFFFFFF;
    CatalogRecord endless = makeRec("NODE_X", "x", 10);
    std::memset(endless.findData.cFileName, 'n', MAX_PATH);
    writeRecords(queueFile("NODE_B"), {makeRec("NODE_X", "a.txt", 10), summed(hops), summed(endless),
                                       makeRec("NODE_X", "b.txt", 10)});
    ASSERT_EQ(take("NODE_B"), 2);
    EXPECT_EQ(fileOf(out[0]), "a.txt");
    EXPECT_EQ(fileOf(out[1]), "b.txt");
    EXPECT_EQ(take("NODE_B"), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

// Entries handed out for an answer stay waiting on the disk while in
// flight; a take passes over them, and the file stays. Once the neighbour
// holds them they are marked sent, except one rewritten since it was sent,
// which the next take finds again.
TEST_F(CatalogQueues, EntriesInFlightArePassedOverAndMarkedSentOnlyAsTheyWereSent)
{
    queueForeign(15);
    std::uint64_t b1 = 0, b2 = 0, b3 = 0;
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b1), 11);
    const std::string sentF1 = bytesOf(out[1]);
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b2), 4);
    EXPECT_EQ(fileOf(out[0]), "f11.txt");
    EXPECT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b3), 0);
    EXPECT_EQ(b3, 0u);
    EXPECT_TRUE(exists(queueFile("NODE_B"))) << "kept while entries are in flight";
    for (const CatalogRecord& r : readRecords(queueFile("NODE_B")))
        EXPECT_EQ(r.pending, 1u) << fileOf(r);

    CatalogRecord f1 = stored(1); // queued anew meanwhile, with other content
    f1.registered.wYear = 2012;
    catalog()->queueRec("NODE_B", &f1);
    catalog()->confirmQueueRecs(b1);
    catalog()->confirmQueueRecs(b1); // twice changes nothing
    ASSERT_EQ(take("NODE_B"), 1) << "the rewritten entry waits on";
    EXPECT_EQ(out[0].registered.wYear, 2012);
    EXPECT_NE(bytesOf(out[0]), sentF1);
    const std::vector<CatalogRecord> q = readRecords(queueFile("NODE_B"));
    for (std::size_t k = 0; k < q.size(); ++k)
        EXPECT_EQ(q[k].pending, k >= 11 ? 1u : 0u) << k;
    EXPECT_EQ(q[1].registered.wYear, 2012);

    catalog()->confirmQueueRecs(b2);
    EXPECT_EQ(take("NODE_B"), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_EQ(catalog()->queueEntriesInFlight(), 0u);
}

// Released entries (a link that closed) wait again and are taken again,
// though the take had gone past them; an end, orderly or not, leaves what
// is in flight waiting on the disk and what the neighbour holds marked.
TEST_F(CatalogQueues, ReleasedEntriesAndThoseInFlightAtTheEndAreTakenAgain)
{
    queueForeign(30);
    std::uint64_t b1 = 0, b2 = 0, b3 = 0;
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b1), 11);
    const std::string first = bytesOf(std::vector<CatalogRecord>(out, out + 11));
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b2), 11);
    catalog()->releaseQueueRecs(b1);
    catalog()->releaseQueueRecs(b1);
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b3), 11);
    EXPECT_EQ(bytesOf(std::vector<CatalogRecord>(out, out + 11)), first) << "the same bytes go out again";
    ASSERT_EQ(take("NODE_B"), 8);
    EXPECT_EQ(fileOf(out[0]), "f22.txt");

    catalog()->confirmQueueRecs(b2); // held, its marks not yet written
    CCatalog::releaseInstance();     // the end writes them
    ASSERT_EQ(take("NODE_B"), 11);
    EXPECT_EQ(fileOf(out[0]), "f0.txt") << "b3 was in flight at the end";
    EXPECT_EQ(take("NODE_B"), 0);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
}

TEST_F(CatalogQueues, RenameQueueMergesTheWaitingRecordsIntoAnExistingQueue)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    const CatalogRecord c = makeRec("NODE_X", "c.txt", 1);
    catalog()->queueRec("NODE_B", &a);
    catalog()->queueRec("skype.id", &b);
    ASSERT_EQ(take("skype.id"), 1); // b is sent
    catalog()->queueRec("skype.id", &c);
    std::uint64_t batch = 0;
    ASSERT_EQ(catalog()->takeQueueRecs("skype.id", out, &batch), 1); // c in flight
    catalog()->renameQueue("skype.id", "NODE_B");
    EXPECT_FALSE(exists(queueFile("skype.id")));
    catalog()->confirmQueueRecs(batch); // of the old name: c waits on
    ASSERT_EQ(take("NODE_B"), 2);
    EXPECT_EQ(fileOf(out[0]), "a.txt");
    EXPECT_EQ(fileOf(out[1]), "c.txt");
}

// A queue file renamed (a messaging contact that took its node's name) is
// put on the disk under its new name, and its folder with it, whether its
// entries were on the disk before or not.
TEST_F(CatalogQueues, ARenamedQueueIsPutOnTheDiskUnderItsNewName)
{
    std::vector<std::string> synced;
    SyncHook hook([&synced](const std::string& path) {
        synced.push_back(path.substr(path.rfind('/') + 1));
        return 0;
    });
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    catalog()->queueRec("skype.id", &a);
    settle();
    synced.clear();
    catalog()->renameQueue("skype.id", "NODE_B");
    settle();
    std::sort(synced.begin(), synced.end());
    EXPECT_EQ(synced, (std::vector<std::string>{"CATALOG", "NODE_B.dat"}));

    synced.clear();
    catalog()->queueRec("skype.id", &b);
    catalog()->renameQueue("skype.id", "NODE_C");
    settle();
    std::sort(synced.begin(), synced.end());
    EXPECT_EQ(synced, (std::vector<std::string>{"CATALOG", "NODE_C.dat"}));
}

TEST_F(CatalogQueues, NodeNamesThatAreNoPlainNamesOrCatalogNeverNameAQueueFile)
{
    const CatalogRecord own = makeRec("NODE_A", "a.txt", 10);
    settings->addRow("catalog", "TCP", "h");
    settings->addRow("../escape", "TCP", "h");
    catalog()->addRec(&own);
    const std::string catalogBytes = testsupport::readFile(catalogFile());
    ASSERT_EQ(catalogBytes.size(), 820u);

    const CatalogRecord r = makeRec("NODE_X", "f.txt", 10);
    for (const char* name : {"catalog", "CATALOG", "Catalog", "../x", "a/b", "..", ""}) {
        catalog()->queueRec(name, &r);
        catalog()->syncTo(name, 1, SYSTEMTIME {});
        EXPECT_EQ(take(name), 0) << name;
        catalog()->renameQueue(name, "NODE_B");
        catalog()->renameQueue("NODE_B", name);
    }
    EXPECT_EQ(testsupport::readFile(catalogFile()), catalogBytes);
    EXPECT_FALSE(exists(dir.path() + "/x.dat"));
    EXPECT_FALSE(exists(dir.path() + "/escape.dat"));
}

} // namespace

// --- The index of queued keys ---------------------------------------------------

namespace {

// Bytes this process has read and handed to write calls so far.
struct IoCount {
    long long read = 0, written = 0, writeCalls = 0;
};

IoCount ioCount()
{
    IoCount c;
    std::FILE* f = std::fopen("/proc/self/io", "r");
    char key[32];
    long long value;
    while (f && std::fscanf(f, "%31s %lld", key, &value) == 2) {
        if (std::strcmp(key, "rchar:") == 0)
            c.read = value;
        else if (std::strcmp(key, "wchar:") == 0)
            c.written = value;
        else if (std::strcmp(key, "syscw:") == 0)
            c.writeCalls = value;
    }
    if (f)
        std::fclose(f);
    return c;
}

class QueueIndex : public CatalogQueues {
protected:
    // n own registrations, queued for every row.
    void registerOwn(int n)
    {
        std::vector<CatalogRecord> v;
        for (int i = 0; i < n; ++i)
            v.push_back(makeRec("NODE_A", ("own" + std::to_string(i) + ".txt").c_str(), 100));
        catalog()->addRecs(v.data(), v.size());
    }
    static CatalogRecord changed(const char* file, DWORD size)
    {
        return makeRec("NODE_A", file, size, CATALOG_STATE_UPDATED);
    }
};

} // namespace

TEST_F(QueueIndex, OnceReadAChangeInLongQueuesCostsAboutOneRecordPerRow)
{
    for (const char* row : {"NODE_B", "NODE_C", "NODE_D"})
        settings->addRow(row, "TCP", "h");
    registerOwn(2000);
    ASSERT_TRUE(catalog()->prepareQueueIndexes(std::chrono::steady_clock::time_point::max()));

    const IoCount before = ioCount();
    const CatalogRecord first = changed("own0.txt", 200);
    catalog()->updateRec(&first);
    const IoCount after = ioCount();
    // One record into catalog.dat (and its copy into the journal) and one
    // into each queue, each queue entry read back once to check its key;
    // not the 1.6 MB of each queue.
    EXPECT_LE(after.written - before.written, 6 * 820);
    EXPECT_LE(after.read - before.read, 3 * 820 + 4096);
    for (const char* row : {"NODE_B", "NODE_C", "NODE_D"}) {
        const std::vector<CatalogRecord> q = readRecords(queueFile(row));
        ASSERT_EQ(q.size(), 2000u) << row;
        EXPECT_EQ(q[0].findData.nFileSizeLow, 200u) << row;
        EXPECT_EQ(q[1].findData.nFileSizeLow, 100u) << row;
    }
}

TEST_F(QueueIndex, EntriesMovedBehindTheIndexWithTheStampKeptAreFoundByReadingBack)
{
    settings->addRow("NODE_B", "TCP", "h");
    registerOwn(3);
    const CatalogRecord first = changed("own0.txt", 5);
    catalog()->updateRec(&first); // indexed now

    // Someone swaps the first and last entries in place and puts the time
    // back: length, file and time are what the index last saw.
    const std::string path = queueFile("NODE_B");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    std::vector<CatalogRecord> q = readRecords(path);
    std::swap(q[0], q[2]);
    {
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        ASSERT_TRUE(f);
        ASSERT_EQ(std::fwrite(q.data(), sizeof(CatalogRecord), q.size(), f), q.size());
        std::fclose(f);
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    const CatalogRecord last = changed("own2.txt", 7);
    catalog()->updateRec(&last);
    q = readRecords(path);
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(fileOf(q[0]), "own2.txt");
    EXPECT_EQ(q[0].findData.nFileSizeLow, 7u);
    EXPECT_EQ(fileOf(q[2]), "own0.txt");
    EXPECT_EQ(q[2].findData.nFileSizeLow, 5u);
}

TEST_F(QueueIndex, IndexesAreReadInStepsAndKeepWhatIsAppendedMeanwhile)
{
    settings->addRow("NODE_B", "TCP", "h");
    registerOwn(1000);
    CCatalog::releaseInstance(); // a fresh start: nothing indexed yet

    // Each call with its deadline gone reads one step and no more.
    int steps = 0;
    const CatalogRecord late = makeRec("NODE_A", "late.txt", 9);
    while (!catalog()->prepareQueueIndexes(std::chrono::steady_clock::now())) {
        if (++steps == 2)
            catalog()->addRec(&late); // appended while half read
        ASSERT_LT(steps, 1000);
    }
    EXPECT_GT(steps, 2);

    const IoCount before = ioCount();
    const CatalogRecord upd = changed("late.txt", 11);
    catalog()->updateRec(&upd);
    EXPECT_LE(ioCount().read - before.read, 820 + 4096);
    const std::vector<CatalogRecord> q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 1001u); // over the appended entry, not a second one
    EXPECT_EQ(q[1000].findData.nFileSizeLow, 11u);
}

// Sent marks and released entries cost a few records of reading, not the
// whole queue, and leave the index trusted.
TEST_F(QueueIndex, ConfirmedAndReleasedEntriesCostNoReadOfTheWholeQueue)
{
    settings->addRow("NODE_B", "TCP", "h");
    registerOwn(2000);
    std::uint64_t b1 = 0, b2 = 0, b3 = 0;
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b1), 11);
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b2), 11);
    ASSERT_TRUE(catalog()->prepareQueueIndexes(std::chrono::steady_clock::time_point::max()));

    const IoCount before = ioCount();
    catalog()->confirmQueueRecs(b1);
    catalog()->releaseQueueRecs(b2);
    ASSERT_EQ(catalog()->takeQueueRecs("NODE_B", out, &b3), 11);
    EXPECT_EQ(fileOf(out[0]), "own11.txt") << "the released records are sent again";
    const CatalogRecord upd = changed("own1500.txt", 3);
    catalog()->updateRec(&upd);
    EXPECT_LE(ioCount().read - before.read, (11 + 64 + 1) * 820 + 4096);
    const std::vector<CatalogRecord> q = readRecords(queueFile("NODE_B"));
    for (int k = 0; k < 22; ++k)
        EXPECT_EQ(q[std::size_t(k)].pending, k < 11 ? 0u : 1u) << k;
    EXPECT_EQ(q[1500].findData.nFileSizeLow, 3u);
}

// --- Own changes in batches ----------------------------------------------------

namespace {

class QueueBatch : public QueueIndex {
protected:
    // Every file of CATALOG but the journal (whose bytes name the run's own
    // catalog file), by name.
    std::map<std::string, std::string> catalogFiles() const
    {
        std::map<std::string, std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(dir.path() + "/CATALOG")) {
            const std::string name = e.path().filename().string();
            if (name != "catalog.jnl")
                files[name] = testsupport::readFile(e.path().string());
        }
        return files;
    }
    // Puts CATALOG back as it was and starts a fresh catalog over it.
    void restore(const std::map<std::string, std::string>& files)
    {
        CCatalog::releaseInstance();
        std::filesystem::remove_all(dir.path() + "/CATALOG");
        std::filesystem::create_directory(dir.path() + "/CATALOG");
        for (const auto& [name, bytes] : files)
            testsupport::writeFile(dir.path() + "/CATALOG/" + name, bytes);
    }
    static std::vector<CatalogRecord> own(std::initializer_list<int> numbers, DWORD size,
                                          DWORD state = CATALOG_STATE_NEW)
    {
        std::vector<CatalogRecord> v;
        for (int n : numbers)
            v.push_back(makeRec("NODE_A", ("own" + std::to_string(n) + ".txt").c_str(), size, state));
        return v;
    }
};

} // namespace

// A slice of the SEND scan's registrations reaches catalog.dat and each
// queue file in one write per file, leaving the bytes that registering the
// records one by one leaves.
TEST_F(QueueBatch, AppendsReachTheCatalogAndEachQueueInOneWriteEach)
{
    for (const char* row : {"NODE_B", "NODE_C", "NODE_D"})
        settings->addRow(row, "TCP", "h");
    registerOwn(5);
    const auto before = catalogFiles();
    std::vector<CatalogRecord> batch;
    for (int n = 100; n < 164; ++n)
        batch.push_back(own({n}, DWORD(n))[0]);

    const IoCount io = ioCount();
    catalog()->addRecs(batch.data(), batch.size());
    EXPECT_EQ(ioCount().writeCalls - io.writeCalls, 4) << "catalog.dat and three queues";
    const auto batched = catalogFiles();

    restore(before);
    for (const CatalogRecord& r : batch)
        catalog()->addRec(&r);
    EXPECT_EQ(catalogFiles(), batched);
    EXPECT_EQ(readRecords(queueFile("NODE_D")).size(), 69u);
}

// Changes over the entries of their keys: neighbouring ones, one before
// them, one far off, a key twice in one batch, a row whose queue is new.
// The bytes are those of one change at a time, and the take goes back to
// the first entry waiting again.
TEST_F(QueueBatch, ChangesOverScatteredAndRepeatedKeysLeaveTheBytesOfOneByOne)
{
    settings->addRow("NODE_B", "TCP", "h");
    registerOwn(20);
    ASSERT_EQ(take("NODE_B"), 11);
    settings->addRow("NODE_C", "TCP", "h");
    const auto before = catalogFiles();
    std::vector<CatalogRecord> batch = own({3, 4, 5, 2, 15, 4, 99}, 7, CATALOG_STATE_UPDATED);
    batch[5].findData.nFileSizeLow = 8; // the second change of own4 wins
    batch[5] = summed(batch[5]);

    catalog()->updateRecs(batch.data(), batch.size());
    const auto batched = catalogFiles();
    const std::vector<CatalogRecord> queueB = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(queueB.size(), 20u);
    EXPECT_EQ(queueB[4].findData.nFileSizeLow, 8u);
    EXPECT_EQ(readRecords(queueFile("NODE_C")).size(), 5u) << "own4 appended once, then changed in place";
    ASSERT_EQ(take("NODE_B"), 11);
    EXPECT_EQ(fileOf(out[0]), "own2.txt");
    EXPECT_EQ(fileOf(out[4]), "own11.txt");

    restore(before);
    for (const CatalogRecord& r : batch)
        catalog()->updateRec(&r);
    EXPECT_EQ(catalogFiles(), batched);
}

// A queue write that fails part way (the file may grow no further): the
// records that reached the file whole are sent at once; the write is owed
// (what reached the file is not known, so all of it), later changes for
// that queue wait behind it, and the tick writes them once the file takes
// them, each over the entry of its key: nothing is lost, and what had been
// sent already goes once more.
TEST_F(QueueBatch, AWriteThatFailsPartWayIsMadeGoodOnceTheQueueTakesIt)
{
    settings->addRow("NODE_B", "TCP", "h");
    std::vector<CatalogRecord> sent;
    for (int n = 0; n < 20; ++n) {
        CatalogRecord r = makeRec("NODE_X", ("x" + std::to_string(n) + ".txt").c_str(), 1);
        r.pending = 0;
        sent.push_back(summed(r));
    }
    writeRecords(queueFile("NODE_B"), sent);
    const std::vector<CatalogRecord> batch = own({0, 1, 2, 3, 4}, 10);

    testsupport::FileSizeLimit full(22 * 820 + 100);
    testing::internal::CaptureStdout();
    catalog()->addRecs(batch.data(), batch.size());
    const CatalogRecord later = own({5}, 10)[0];
    catalog()->addRec(&later);
    const CatalogRecord changed0 = own({0}, 11, CATALOG_STATE_UPDATED)[0];
    catalog()->updateRec(&changed0);
    const std::string console = testing::internal::GetCapturedStdout();
    full.lift();

    EXPECT_EQ(catalog()->getRecCount(), 6) << "catalog.dat had room";
    EXPECT_EQ(catalog()->owedQueueEntries(), 6u) << "own0 (its change) to own4, then own5";
    EXPECT_EQ(catalog()->takeNotices().size(), 1u) << "told once";
    EXPECT_NE(console.find("NODE_B"), std::string::npos) << console;
    ASSERT_EQ(take("NODE_B"), 2) << "what reached the file goes at once";
    EXPECT_EQ(fileOf(out[0]), "own0.txt");
    EXPECT_EQ(fileOf(out[1]), "own1.txt");

    tick();
    EXPECT_EQ(catalog()->owedQueueEntries(), 0u);
    EXPECT_EQ(catalog()->takeNotices().size(), 1u) << "written again, said once";
    EXPECT_FALSE(exists(queueFile("NODE_B") + ".owed"));
    const std::vector<CatalogRecord> q = readRecords(queueFile("NODE_B"));
    ASSERT_EQ(q.size(), 26u);
    EXPECT_EQ(q[20].findData.nFileSizeLow, 11u) << "own0's change over the entry of its key";
    ASSERT_EQ(take("NODE_B"), 6);
    EXPECT_EQ(fileOf(out[0]), "own0.txt");
    EXPECT_EQ(out[0].findData.nFileSizeLow, 11u);
    EXPECT_EQ(fileOf(out[1]), "own1.txt");
    EXPECT_EQ(fileOf(out[2]), "own2.txt");
    EXPECT_EQ(fileOf(out[5]), "own5.txt");
    EXPECT_EQ(take("NODE_B"), 0);
}

// A queue file that cannot be written at all, here a folder in its place:
// every change for that neighbour waits in memory and in <queue>.owed, a
// node that ends meanwhile owes them still at its next start, and they all
// reach the queue, in order, once it can be written. Other neighbours get
// theirs at once.
TEST_F(QueueBatch, EveryChangeReachesANeighbourWhoseQueueCouldNotBeWrittenForAWhile)
{
    settings->addRow("NODE_B", "TCP", "h");
    settings->addRow("NODE_C", "TCP", "h");
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(queueFile("NODE_B") + "/"));
    testing::internal::CaptureStdout();
    registerOwn(500);
    const CatalogRecord gone = makeRec("NODE_A", "own7.txt", 100, CATALOG_STATE_DELETED);
    catalog()->deleteRec(&gone);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(readRecords(queueFile("NODE_C")).size(), 501u);
    EXPECT_EQ(catalog()->owedQueueEntries(), 500u) << "own7's deletion in the place of its registration";
    EXPECT_EQ(catalog()->takeNotices().size(), 1u);
    EXPECT_EQ(readRecords(queueFile("NODE_B") + ".owed").size(), 501u);
    EXPECT_EQ(readRecords(catalogFile()).size(), 500u) << "kept on the disk, so catalog.dat goes on";

    tick(); // still a folder: nothing more is said
    EXPECT_TRUE(catalog()->takeNotices().empty());
    CCatalog::releaseInstance(); // the node ends

    std::filesystem::remove(queueFile("NODE_B"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(catalog()->owedQueueEntries(), 500u) << "owed still at the next start";
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(catalog()->owedQueueEntries(), 0u);
    EXPECT_EQ(catalog()->takeNotices().size(), 1u) << "written at last, said once";
    EXPECT_FALSE(exists(queueFile("NODE_B") + ".owed"));
    // In order; the deletion went over the entry of its key.
    std::vector<CatalogRecord> got;
    for (int c; (c = take("NODE_B")) > 0;)
        got.insert(got.end(), out, out + c);
    ASSERT_EQ(got.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(fileOf(got[i]), "own" + std::to_string(i) + ".txt");
        EXPECT_EQ(got[i].state, DWORD(i == 7 ? CATALOG_STATE_DELETED : CATALOG_STATE_NEW)) << i;
    }
}

// While neither the queue nor <queue>.owed can be written (a disk with no
// room at all), catalog.dat takes no own change: a node that ends then finds
// the changes in SEND again and queues them anew. Once the queue takes its
// entries, catalog.dat is written whole.
TEST_F(QueueBatch, WhileOwedEntriesAreOnNoDiskCatalogDatTakesNoOwnChange)
{
    settings->addRow("NODE_B", "TCP", "h");
    registerOwn(2);
    ASSERT_EQ(take("NODE_B"), 2);
    ASSERT_EQ(take("NODE_B"), 0);
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(queueFile("NODE_B") + "/"));
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(queueFile("NODE_B") + ".owed/"));
    const std::string before = testsupport::readFile(catalogFile());
    testing::internal::CaptureStdout();
    const std::vector<CatalogRecord> batch = own({0, 5}, 7, CATALOG_STATE_UPDATED);
    catalog()->updateRecs(batch.data(), 1);
    catalog()->addRecs(batch.data() + 1, 1);
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testsupport::readFile(catalogFile()), before);
    EXPECT_EQ(catalog()->getRecCount(), 3);

    std::filesystem::remove(queueFile("NODE_B"));
    testing::internal::CaptureStdout();
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    ASSERT_EQ(take("NODE_B"), 2);
    EXPECT_EQ(fileOf(out[0]), "own0.txt");
    EXPECT_EQ(out[0].findData.nFileSizeLow, 7u);
    EXPECT_EQ(fileOf(out[1]), "own5.txt");
}

// Owed entries are one per key, the latest where the key was first owed: in
// memory, in <queue>.owed (within twice the keys) and after a start. A
// removed row's entries still reach its queue file, which the row leaves.
TEST_F(QueueBatch, OwedEntriesAreOnePerKeyAndFollowTheirQueueFile)
{
    settings->addRow("NODE_B", "TCP", "h");
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(queueFile("NODE_B") + "/"));
    testing::internal::CaptureStdout();
    registerOwn(300);
    for (DWORD size : {7u, 8u, 9u}) {
        std::vector<CatalogRecord> batch;
        for (int n = 299; n >= 0; --n)
            batch.push_back(own({n}, size, CATALOG_STATE_UPDATED)[0]);
        catalog()->updateRecs(batch.data(), batch.size());
        EXPECT_LE(readRecords(queueFile("NODE_B") + ".owed").size(), 2 * 300u + 64);
    }
    EXPECT_EQ(catalog()->owedQueueEntries(), 300u);
    CCatalog::releaseInstance(); // the node ends; its row is removed
    settings->rows.removeRow(0);
    std::filesystem::remove(queueFile("NODE_B"));
    EXPECT_EQ(catalog()->owedQueueEntries(), 300u);
    tick();
    testing::internal::GetCapturedStdout();
    std::vector<CatalogRecord> got;
    for (int c; (c = take("NODE_B")) > 0;)
        got.insert(got.end(), out, out + c);
    ASSERT_EQ(got.size(), 300u);
    for (int i = 0; i < 300; ++i)
        EXPECT_TRUE(fileOf(got[i]) == "own" + std::to_string(i) + ".txt" && got[i].findData.nFileSizeLow == 9) << i;
}
