// What a crash, a power cut, a damaged or huge catalog.dat and a full disk
// may cost. A crash is a child process that ends without a word in the
// middle of its work (the page cache keeps what it wrote, as after a kill);
// a power cut then tears the record being written: the test puts back the
// old bytes of half of it, as a disk that wrote only some of its sectors.
#include "catalog_testkit.h"
#include "store/catalog_journal.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace catalogtest;
using testsupport::exists;
using testsupport::readFile;

namespace {

class CatalogCrash : public CatalogTest {
protected:
    // Record i of catalog.dat gets back the second half of `old`, in place.
    void tear(int i, const CatalogRecord& old) const
    {
        platform::CFile f;
        ASSERT_TRUE(f.Open(catalogFile(), platform::CFile::modeReadWrite));
        constexpr std::size_t half = sizeof(CatalogRecord) / 2;
        f.Seek(std::int64_t(i) * 820 + std::int64_t(half), platform::CFile::begin);
        f.Write(reinterpret_cast<const char*>(&old) + half, sizeof old - half);
        f.Close();
    }

    CatalogRecord ownFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(sendDir() + "/" + name, content);
        CatalogRecord r = makeRec("NODE_A", name, DWORD(content.size()));
        r.complete = 1;
        r.heldBytes = r.findData.nFileSizeLow;
        return summed(r);
    }
};

// One damaged byte never deletes a user's file: the damaged record is dropped
// (and written to the error file), and the file it names stays.
TEST_F(CatalogCrash, ADamagedRecordIsDroppedAndItsFileLeftWhereItIs)
{
    CatalogRecord own = ownFile("own.txt", "mine");
    own.findData.nFileSizeLow = 5; // changed after the checksum
    CatalogRecord theirs = makeRec("NODE_X", "x.txt", 3);
    theirs.complete = 1;
    theirs = summed(theirs);
    theirs.hopCount = 11;
    theirs.checkSum = 0;
    theirs = summed(theirs); // checksummed, yet not well formed
    platform::makeSureDirectoryPathExists(recvDir() + "/NODE_X");
    testsupport::writeFile(recvDir() + "/NODE_X/x.txt", "abc");
    const CatalogRecord good = makeRec("NODE_X", "good.txt", 1);
    const CatalogRecord noParty = makeRec("NODE_X", "np.txt", 1, CATALOG_STATE_NEW, "");
    writeRecords(catalogFile(), {own, good, theirs, noParty});

    ASSERT_EQ(catalog()->getRecCount(), 2);
    EXPECT_EQ(fileOf(stored(0)), "good.txt");
    EXPECT_EQ(cp932::fieldText(stored(1).partyName, CATALOG_PARTY_LEN), "PARTY");
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all())) << "the mended catalog is written";
    const auto err = readRecords(errFile());
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(fileOf(err[0]), "x.txt");

    catalog()->checkLimit();
    catalog()->compactList();
    EXPECT_EQ(readFile(sendDir() + "/own.txt"), "mine");
    EXPECT_EQ(readFile(recvDir() + "/NODE_X/x.txt"), "abc");
}

// A power cut while a complete record is written over in place: the
// journal's copy, synced before the write, mends the record at the next
// load; nothing registered before is lost.
TEST_F(CatalogCrash, ATornOverwriteOfACompleteRecordIsMendedFromTheJournal)
{
    const CatalogRecord a = ownFile("a.txt", "a");
    const CatalogRecord b = ownFile("b.txt", "bb");
    const CatalogRecord c = ownFile("c.txt", "ccc");
    writeRecords(catalogFile(), {a, b, c});
    CatalogRecord changed = makeRec("NODE_A", "b.txt", 20000, CATALOG_STATE_UPDATED);
    changed.registered = makeTime(2011, 1, 2);
    crashAfter([&] { catalog()->updateRec(&changed); });

    const CatalogRecord written = readRecords(catalogFile()).at(1);
    ASSERT_EQ(written.findData.nFileSizeLow, 20000u);
    tear(1, b);
    const CatalogRecord torn = readRecords(catalogFile()).at(1);
    ASSERT_FALSE(CCatalog::isCheckSumOk(&torn));

    ASSERT_EQ(catalog()->getRecCount(), 3);
    EXPECT_EQ(bytesOf(stored(1)), bytesOf(written));
    EXPECT_EQ(bytesOf(stored(0)), bytesOf(a));
    EXPECT_EQ(bytesOf(stored(2)), bytesOf(c));
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_FALSE(exists(dir.path() + "/CATALOG/catalog.jnl")) << "folded into the file";
}

// When the journal cannot take the copy, a complete record is never written
// over in place: catalog.dat keeps it until the tick's whole rewrite, made
// under another name and renamed into place, brings the change.
TEST_F(CatalogCrash, WithoutTheJournalACompleteRecordIsNeverWrittenOverInPlace)
{
    const CatalogRecord a = ownFile("a.txt", "a");
    const CatalogRecord b = ownFile("b.txt", "bb");
    writeRecords(catalogFile(), {a, b});
    ASSERT_EQ(catalog()->getRecCount(), 2);
    platform::createDirectory(dir.path() + "/CATALOG/catalog.jnl"); // no file can be made there
    CatalogRecord changed = makeRec("NODE_A", "b.txt", 20000, CATALOG_STATE_UPDATED);
    testing::internal::CaptureStdout();
    catalog()->updateRec(&changed);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(std::vector<CatalogRecord>{a, b}));
    EXPECT_EQ(catalog()->takeNotices().size(), 1u) << "told at once, as any failed write of catalog.dat";

    tick();
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_EQ(stored(1).findData.nFileSizeLow, 20000u);
}

// Writes that go over no complete record (an append, a transfer's progress)
// cost at most that record when torn; the journal of an earlier catalog
// file is never applied to a later one.
TEST_F(CatalogCrash, OtherTornWritesCostAtMostTheirOwnRecord)
{
    const CatalogRecord a = ownFile("a.txt", "a");
    CatalogRecord fetching = makeRec("NODE_X", "f.bin", 100);
    writeRecords(catalogFile(), {a, fetching});
    const std::string bytes(100, 'f');
    crashAfter([&] {
        catalog()->writeFileData(0, 40, &fetching, bytes.data());
        const CatalogRecord d = ownFile("d.txt", "dddd");
        catalog()->addRec(&d);
    });
    const auto before = readRecords(catalogFile());
    ASSERT_EQ(before.size(), 3u);
    ASSERT_EQ(before[1].heldBytes, 40u);
    tear(1, fetching);
    // The append reached the disk as a block of zeros and half a record.
    testsupport::writeFile(catalogFile(),
                           readFile(catalogFile()).substr(0, 2 * 820) + std::string(820, '\0') + std::string(400, 'x'));
    // A journal left by an earlier catalog file names the same index.
    CatalogRecord stale = fetching;
    stale.heldBytes = 7;
    testsupport::writeFile(dir.path() + "/earlier.dat", "");
    platform::FileId earlier;
    ASSERT_TRUE(platform::fileId(dir.path() + "/earlier.dat", &earlier));
    catalog_detail::CatalogJournal journal;
    journal.setPath(dir.path() + "/CATALOG/catalog.jnl");
    ASSERT_TRUE(journal.append(earlier, {{1, summed(stale)}}));

    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(bytesOf(stored(0)), bytesOf(a));
    EXPECT_EQ(platform::fileSize(catalogFile()), 820);
}

// A huge catalog.dat is never read into memory: it is refused with a
// clear message and left as it stands.
TEST_F(CatalogCrash, ACatalogFileBeyondWhatTheCatalogHoldsIsRefusedAndLeftAsItIs)
{
    {
        platform::CFile f;
        ASSERT_TRUE(f.Open(catalogFile(), platform::CFile::modeCreate | platform::CFile::modeWrite));
        f.SetLength(8ull << 30); // sparse: takes no room on the disk
    }
    EXPECT_EQ(catalog()->getRecCount(), 0);
    const auto notices = catalog()->takeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("catalog.dat"), std::string::npos);

    const CatalogRecord a = ownFile("a.txt", "a");
    catalog()->addRec(&a);
    EXPECT_EQ(catalog()->getRecCount(), 1) << "the catalog works in memory";
    CCatalog::releaseInstance();
    EXPECT_EQ(platform::fileSize(catalogFile()), std::int64_t(8ull << 30));
}

// A full disk: the first failed write is told once, later changes wait in
// memory instead of trying a whole rewrite each, the tick tries the
// rewrite once, and once there is room the file catches up whole.
TEST_F(CatalogCrash, AFullDiskIsToldOnceAndTheTickRetriesTheRewriteOnce)
{
    const CatalogRecord first = ownFile("first.txt", "1");
    catalog()->addRec(&first);
    ASSERT_EQ(platform::fileSize(catalogFile()), 820);

    testsupport::FileSizeLimit full(2 * 820);

    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) {
        const CatalogRecord r = ownFile(("f" + std::to_string(i)).c_str(), "x");
        catalog()->addRec(&r);
    }
    const std::string adding = testing::internal::GetCapturedStdout();
    EXPECT_EQ(catalog()->takeNotices().size(), 1u) << "told once";
    EXPECT_LE(std::count(adding.begin(), adding.end(), '\n'), 3) << adding.substr(0, 2000);

    // Only the tick tries again: the rounds of the polls wait long after a
    // failure.
    CCatalog::setSyncRetryDelay(std::chrono::hours(1));
    testing::internal::CaptureStdout();
    tick();
    tick();
    const std::string ticks = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(ticks.begin(), ticks.end(), '\n'), 2) << "one attempt per tick:\n" << ticks;
    EXPECT_TRUE(catalog()->takeNotices().empty());

    full.lift();
    tick();
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_EQ(catalog()->getRecCount(), 301);
    EXPECT_EQ(catalog()->takeNotices().size(), 1u) << "saved again";
}

// 300 files registered while the disk is full, three neighbours: neither the
// queues, nor their .owed files, nor catalog.dat take anything (catalog.dat
// is not even tried while the queues' entries are on no disk). Each queue's
// failure is told once; once there is room, the tick writes every queue's
// entries and then catalog.dat.
TEST_F(CatalogCrash, AFullDiskOwesEveryNeighbourEveryRegistrationUntilThereIsRoom)
{
    for (const char* row : {"NODE_B", "NODE_C", "NODE_D"})
        settings->addRow(row, "TCP", "h");
    const CatalogRecord first = ownFile("first.txt", "1");
    catalog()->addRec(&first);

    testsupport::FileSizeLimit full(2 * 820);
    testing::internal::CaptureStdout();
    std::vector<CatalogRecord> batch;
    for (int i = 0; i < 300; ++i) {
        batch.push_back(ownFile(("f" + std::to_string(i)).c_str(), "x"));
        if (batch.size() == 64 || i == 299) {
            catalog()->addRecs(batch.data(), batch.size());
            batch.clear();
            tick();
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(catalog()->takeNotices().size(), 3u) << "each queue once; catalog.dat waits behind them";
    EXPECT_LT(readRecords(queueFile("NODE_C")).size(), 3u);
    EXPECT_LT(readRecords(catalogFile()).size(), 3u);

    full.lift();
    testing::internal::CaptureStdout();
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(catalog()->owedQueueEntries(), 0u);
    for (const char* row : {"NODE_B", "NODE_C", "NODE_D"}) {
        std::set<std::string> names;
        for (const CatalogRecord& r : readRecords(queueFile(row)))
            names.insert(fileOf(r));
        EXPECT_EQ(names.size(), 301u) << row;
        EXPECT_FALSE(exists(queueFile(row) + ".owed")) << row;
    }
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_EQ(catalog()->getRecCount(), 301);
}

// What delayed allocation may leave after a power cut: blocks of zeroed
// records. Each is dropped, but they are said once (one console line, one
// notice for the user) and the error file is written once, with the last
// damaged record as it stood in the file.
TEST_F(CatalogCrash, ManyDamagedRecordsAreToldOnceAndTheLastIsCopied)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    CatalogRecord last = makeRec("NODE_X", "last.txt", 1);
    last.findData.nFileSizeLow = 2; // changed after the checksum
    const std::string zeros(500 * 820, '\0');
    testsupport::writeFile(catalogFile(), bytesOf(a) + zeros + bytesOf(b) + zeros + bytesOf(last));

    testing::internal::CaptureStdout();
    ASSERT_EQ(catalog()->getRecCount(), 2);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fileOf(stored(0)), "a.txt");
    EXPECT_EQ(fileOf(stored(1)), "b.txt");
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
    EXPECT_EQ(testsupport::readFile(errFile()), bytesOf(last));
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 1) << console.substr(0, 2000);
    EXPECT_NE(console.find("1001 damaged"), std::string::npos) << console;
    EXPECT_NE(console.find("the first at index 1;"), std::string::npos) << console;
    const std::vector<std::string> notices = catalog()->takeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("1001"), std::string::npos);
}

// Half a record at the end, an append cut short, is a damaged record too:
// its bytes reach the error file, padded with zeros to a whole record,
// before the file is cut at the last whole record. Alone it is said on
// the console only; beside a damaged whole record it is counted.
TEST_F(CatalogCrash, AHalfRecordAtTheEndIsCopiedOutBeforeItIsCut)
{
    const CatalogRecord a = makeRec("NODE_X", "a.txt", 1);
    const CatalogRecord b = makeRec("NODE_X", "b.txt", 1);
    const std::string half = bytesOf(makeRec("NODE_X", "c.txt", 1)).substr(0, 300);
    settings->switches.catalogCashMode = 1; // cut all the same
    writeRecords(catalogFile(), {a, b}, half);

    testing::internal::CaptureStdout();
    ASSERT_EQ(catalog()->getRecCount(), 2);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(platform::fileSize(catalogFile()), 2 * 820);
    EXPECT_EQ(testsupport::readFile(errFile()), half + std::string(820 - 300, '\0'));
    EXPECT_NE(console.find("1 damaged record(s) dropped, the first at index 2 (the last a partial record"),
              std::string::npos)
        << console;
    EXPECT_TRUE(catalog()->takeNotices().empty());

    CCatalog::releaseInstance();
    CatalogRecord broken = b;
    broken.heldBytes = 9; // changed after the checksum
    writeRecords(catalogFile(), {a, broken}, half);
    ASSERT_EQ(catalog()->getRecCount(), 1);
    const std::vector<std::string> notices = catalog()->takeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(" 2 "), std::string::npos);
}

} // namespace
