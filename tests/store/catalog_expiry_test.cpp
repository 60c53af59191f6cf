// Expiry sweep and compaction with the deletion of exactly the right local
// files.
#include "catalog_testkit.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/dirlist.h"
#include "platform/shortcut.h"

using namespace catalogtest;
using testsupport::exists;

namespace {

class CatalogExpiry : public CatalogTest {
protected:
    // An own registration of a file in SEND (or a shortcut's target), as the
    // scan makes it: the file's own find data.
    CatalogRecord registered(const std::string& path, const char* name, DWORD state = CATALOG_STATE_NEW,
                             bool isLink = false)
    {
        CatalogRecord r = makeRec("NODE_A", name, 0, state);
        EXPECT_TRUE(platform::findFileData(path, &r.findData)) << path;
        r.complete = 1;
        r.heldBytes = r.findData.nFileSizeLow;
        r.isLink = isLink ? 1 : 0;
        return summed(r);
    }
    // Puts content at path with the given last write (seconds since 1970).
    static void writeAt(const std::string& path, const std::string& content, long mtime)
    {
        testsupport::writeFile(path, content);
        const struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
    }
};

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

    const CatalogRecord linked =
        registered(elsewhere + "/linked.txt", "linked.txt", CATALOG_STATE_DELETED, true);
    CatalogRecord liveDup = registered(sendDir() + "/dup.txt", "dup.txt");
    liveDup.registered.wYear = 2011;
    writeRecords(catalogFile(), {registered(sendDir() + "/copy.txt", "copy.txt", CATALOG_STATE_DELETED), linked,
                                 makeRec("NODE_X", "partial.bin", 10, CATALOG_STATE_DELETED),
                                 registered(sendDir() + "/dup.txt", "dup.txt", CATALOG_STATE_DELETED),
                                 summed(liveDup)});
    // The user asked for the deletions of the own ones.
    testsupport::writeFile(dir.path() + "/CATALOG/ownDeletions.lst", std::string("copy.txt\0linked.txt\0dup.txt\0", 29));
    catalog()->compactList();

    EXPECT_FALSE(exists(sendDir() + "/copy.txt"));
    EXPECT_FALSE(exists(sendDir() + "/linked.txt.lnk"));
    EXPECT_TRUE(exists(elsewhere + "/linked.txt")) << "never the target";
    EXPECT_FALSE(exists(recvDir() + "/NODE_X/partial.bin"));
    EXPECT_TRUE(exists(sendDir() + "/dup.txt")) << "a live record shares its key";
    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(bytesOf(readRecords(catalogFile())), bytesOf(all()));
}

// A registration that expires or is deleted takes its file in SEND along
// only while that file is still the one registered (its size and last
// write as the record holds them). A file written or put there since, a
// shortcut whose target has changed, and a file that came back after it
// left SEND (the scan deleted its registration) all stay, as the user's.
TEST_F(CatalogExpiry, AnOwnFileGoesWithItsRegistrationOnlyWhileItIsTheFileRegistered)
{
    const std::string elsewhere = dir.path() + "/elsewhere";
    platform::makeSureDirectoryPathExists(elsewhere + "/");
    platform::makeSureDirectoryPathExists(sendDir() + "/");
    writeAt(sendDir() + "/expired.txt", "as registered", 1500000000);
    writeAt(sendDir() + "/asked.txt", "as registered", 1500000000);
    writeAt(sendDir() + "/rewritten.txt", "version 1", 1500000000);
    writeAt(sendDir() + "/touched.txt", "same size", 1500000000);
    writeAt(sendDir() + "/came-back.txt", "moved out and back", 1500000000);
    writeAt(elsewhere + "/target.txt", "target 1", 1500000000);
    ASSERT_TRUE(platform::makeShortcut(sendDir() + "/target.txt.lnk", elsewhere + "/target.txt"));

    CatalogRecord expired = registered(sendDir() + "/expired.txt", "expired.txt");
    expired.expires = localTimeDaysFromNow(-1);
    writeRecords(catalogFile(),
                 {summed(expired), registered(sendDir() + "/asked.txt", "asked.txt"),
                  registered(sendDir() + "/rewritten.txt", "rewritten.txt"),
                  registered(sendDir() + "/touched.txt", "touched.txt"),
                  registered(sendDir() + "/came-back.txt", "came-back.txt"),
                  registered(elsewhere + "/target.txt", "target.txt", CATALOG_STATE_NEW, true)});
    ASSERT_EQ(catalog()->getRecCount(), 6);

    // Changed after registration, before the deletion reaches them.
    writeAt(sendDir() + "/rewritten.txt", "version 2 of it", 1500000000);
    writeAt(sendDir() + "/touched.txt", "same size", 1500000001);
    writeAt(elsewhere + "/target.txt", "target 2, longer", 1500000000);
    for (int i = 1; i < 6; ++i) {
        CatalogRecord r = stored(i);
        r.state = CATALOG_STATE_DELETED;
        if (i == 4)
            catalog()->deleteGoneRecs(&r, 1); // the scan found it gone ...
        else
            catalog()->deleteRec(&r);
    }
    writeAt(sendDir() + "/came-back.txt", "moved out and back", 1500000000); // ... and it is back as it was
    catalog()->checkLimit();
    testing::internal::CaptureStdout();
    catalog()->compactList();
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_EQ(catalog()->getRecCount(), 0) << "every deleted registration is dropped";
    EXPECT_FALSE(exists(sendDir() + "/expired.txt"));
    EXPECT_FALSE(exists(sendDir() + "/asked.txt"));
    EXPECT_EQ(testsupport::readFile(sendDir() + "/rewritten.txt"), "version 2 of it");
    EXPECT_TRUE(exists(sendDir() + "/touched.txt"));
    EXPECT_EQ(testsupport::readFile(sendDir() + "/came-back.txt"), "moved out and back");
    EXPECT_TRUE(exists(sendDir() + "/target.txt.lnk"));
    EXPECT_TRUE(exists(elsewhere + "/target.txt"));
    EXPECT_NE(console.find("rewritten.txt in SEND has changed since it was registered"), std::string::npos)
        << console;
}

// A file whose registration the scan deleted because it had left SEND, and
// which is registered again before the compaction, goes as usual when the
// user then deletes that registration.
TEST_F(CatalogExpiry, ARegistrationMadeAgainAfterItsFileCameBackGoesWithItsFileWhenDeleted)
{
    platform::makeSureDirectoryPathExists(sendDir() + "/");
    writeAt(sendDir() + "/report.txt", "v1", 1500000000);
    const CatalogRecord first = registered(sendDir() + "/report.txt", "report.txt");
    catalog()->addRec(&first);
    CatalogRecord gone = first;
    gone.state = CATALOG_STATE_DELETED;
    catalog()->deleteGoneRecs(&gone, 1);
    writeAt(sendDir() + "/report.txt", "v2, other", 1500000100);
    const CatalogRecord again = registered(sendDir() + "/report.txt", "report.txt");
    catalog()->addRec(&again);
    CatalogRecord asked = stored(0);
    asked.state = CATALOG_STATE_DELETED;
    catalog()->deleteRec(&asked);
    catalog()->compactList();
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(sendDir() + "/report.txt"));
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

// The marks of own deletions (CATALOG/ownDeletions.lst): each names one
// registration, is on the disk before its deletion is made anywhere, and is
// read back whole and within a bound.
class DeletionMarks : public CatalogExpiry {
protected:
    std::string marksFile() const { return dir.path() + "/CATALOG/ownDeletions.lst"; }
    // An own file in SEND, registered in that year.
    CatalogRecord put(const char* name, const std::string& content, WORD year = 2010,
                      DWORD state = CATALOG_STATE_NEW)
    {
        platform::makeSureDirectoryPathExists(sendDir() + "/");
        writeAt(sendDir() + "/" + name, content, 1500000000);
        CatalogRecord r = registered(sendDir() + "/" + name, name, state);
        r.registered.wYear = year;
        return summed(r);
    }
    // The line of the marks file that names rec's registration.
    static std::string markLine(const CatalogRecord& r)
    {
        char numbers[40];
        std::snprintf(numbers, sizeof numbers, "%08x %08x %08x %08x ", unsigned(r.findData.nFileSizeHigh),
                      unsigned(r.findData.nFileSizeLow), unsigned(r.findData.ftLastWriteTime.dwHighDateTime),
                      unsigned(r.findData.ftLastWriteTime.dwLowDateTime));
        std::string line = numbers;
        const auto hex = [&line](const void* p, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                char h[3];
                std::snprintf(h, sizeof h, "%02x", static_cast<const unsigned char*>(p)[i]);
                line += h;
            }
        };
        hex(&r.registered, sizeof r.registered);
        return line + " " + fileOf(r) + "\n";
    }
    static constexpr const char* HEADER = "yuvo-deletion-marks 2\n";
    std::string notices()
    {
        std::string all;
        for (const std::string& t : catalog()->takeNotices())
            all += cp932::toUtf8(t).value_or(t) + "\n";
        return all;
    }
};

// Erasing a mark fails (here a folder stands at the file's name): the tick
// tries again and the window is told, once each way. A mark left on the disk
// names the old registration only, so a file of the same name registered
// after it is never taken, whatever ends come between.
TEST_F(DeletionMarks, AMarkThatCouldNotBeErasedNeverTakesAFileRegisteredAfterIt)
{
    CatalogRecord first = put("f.txt", "first version");
    catalog()->addRec(&first);
    first = stored(0);
    first.state = CATALOG_STATE_DELETED;
    catalog()->deleteRec(&first);
    const std::string stale = testsupport::readFile(marksFile());
    ASSERT_EQ(stale, HEADER + markLine(stored(0)));

    ASSERT_TRUE(platform::deleteFile(marksFile()));
    platform::makeSureDirectoryPathExists(marksFile() + "/blocked/");
    testing::internal::CaptureStdout();
    catalog()->compactList();
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(exists(sendDir() + "/f.txt"));
    std::string told = notices();
    EXPECT_NE(told.find("削除の記録 (CATALOG/ownDeletions.lst) を書き込めません"), std::string::npos) << told;
    EXPECT_EQ(told.find("書き込めません", told.find("書き込めません") + 1), std::string::npos) << "told once";
    ASSERT_EQ(::rmdir((marksFile() + "/blocked").c_str()), 0);
    ASSERT_EQ(::rmdir(marksFile().c_str()), 0);
    testsupport::writeFile(marksFile(), stale);
    testing::internal::CaptureStdout();
    tick();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(exists(marksFile())) << "written (no mark left)";
    told = notices();
    EXPECT_NE(told.find("を書き込みました"), std::string::npos) << told;

    // The user puts another f.txt into SEND; then the node ends with the
    // stale mark on the disk once more, and starts again.
    const CatalogRecord second = put("f.txt", "second version, another file", 2011);
    catalog()->addRec(&second);
    CCatalog::releaseInstance();
    testsupport::writeFile(marksFile(), stale);
    testing::internal::CaptureStdout();
    catalog()->compactList();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.find("made again"), std::string::npos) << console;
    EXPECT_EQ(testsupport::readFile(sendDir() + "/f.txt"), "second version, another file");
    ASSERT_EQ(catalog()->getRecCount(), 1);
    EXPECT_EQ(stored(0).state, DWORD(CATALOG_STATE_NEW));
    EXPECT_EQ(stored(0).registered.wYear, 2011);
    EXPECT_FALSE(exists(marksFile())) << "a mark that names nothing held is dropped at the load";
}

// While its mark cannot be written (a full disk), a deletion the user asks
// for and an expiry go nowhere: not into catalog.dat, not into a queue, not
// to the compaction; the user is told. A kill then costs nothing: the start
// finds both files registered as they were, and once there is room the
// deletion asked again and the next sweep take them.
TEST_F(DeletionMarks, ADeletionWhoseMarkCannotBeWrittenGoesNowhereThroughAKill)
{
    settings->addRow("NODE_B", "TCP", "h1");
    CatalogRecord expired = put("expired.txt", "its registration expired");
    expired.expires = localTimeDaysFromNow(-1);
    writeRecords(catalogFile(), {put("asked.txt", "its deletion asked for"), summed(expired)});
    const std::string before = testsupport::readFile(catalogFile());
    CCatalog::releaseInstance();
    std::string told;
    crashAfter([&] {
        testsupport::FileSizeLimit full(16);
        CatalogRecord asked = stored(0);
        asked.state = CATALOG_STATE_DELETED;
        testing::internal::CaptureStdout();
        catalog()->deleteRec(&asked);
        catalog()->checkLimit();
        catalog()->compactList();
        testing::internal::GetCapturedStdout();
        told = notices();
        const bool none = stored(0).state == CATALOG_STATE_NEW && stored(1).state == CATALOG_STATE_NEW
                          && !exists(queueFile("NODE_B")) && exists(sendDir() + "/asked.txt")
                          && told.find("asked.txt の登録を削除できませんでした") != std::string::npos
                          && told.find("期限切れの登録 expired.txt の削除を次の期限確認まで延ばします") != std::string::npos;
        if (!none)
            ::_exit(1);
    });
    EXPECT_EQ(testsupport::readFile(catalogFile()), before);
    EXPECT_FALSE(exists(marksFile()));
    EXPECT_TRUE(exists(sendDir() + "/asked.txt"));
    EXPECT_TRUE(exists(sendDir() + "/expired.txt"));
    EXPECT_FALSE(exists(queueFile("NODE_B")));

    ASSERT_EQ(bytesOf(all()), before) << "both registered as they were";
    CatalogRecord asked = stored(0);
    asked.state = CATALOG_STATE_DELETED;
    catalog()->deleteRec(&asked);
    catalog()->checkLimit();
    catalog()->compactList();
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(sendDir() + "/asked.txt"));
    EXPECT_FALSE(exists(sendDir() + "/expired.txt"));
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u) << "the asked deletion; an expiry goes to nobody";
    EXPECT_FALSE(exists(marksFile()));
}

// A marks file that cannot be read at start (a folder in its place): what it
// marks is not known, so a deletion, asked or expired, is refused and said,
// as when its mark cannot be written, and the file is left as it is;
// nothing reaches catalog.dat or a queue, so no end undoes anything, and a
// deletion the last run made waits with its file. Once the file can be read
// (the tick tries), deletions are made, that one too.
TEST_F(DeletionMarks, WhileTheMarksCannotBeReadNoDeletionIsMade)
{
    settings->addRow("NODE_B", "TCP", "h1");
    CatalogRecord expired = put("expired.txt", "its registration expired");
    expired.expires = localTimeDaysFromNow(-1);
    const CatalogRecord earlier = put("earlier.txt", "deleted in the last run", 2010, CATALOG_STATE_DELETED);
    writeRecords(catalogFile(), {put("asked.txt", "its deletion asked for"), summed(expired), earlier});
    const std::string before = testsupport::readFile(catalogFile());
    const std::string marks = HEADER + markLine(earlier);
    platform::makeSureDirectoryPathExists(marksFile() + "/");
    CCatalog::releaseInstance();
    testing::internal::CaptureStdout();
    CatalogRecord asked = stored(0);
    asked.state = CATALOG_STATE_DELETED;
    catalog()->deleteRec(&asked);
    catalog()->checkLimit();
    catalog()->compactList();
    catalog()->onTick();
    testing::internal::GetCapturedStdout();
    const std::string told = notices();
    EXPECT_EQ(bytesOf(all()), before) << "both registered as they were";
    EXPECT_EQ(testsupport::readFile(catalogFile()), before);
    EXPECT_FALSE(exists(queueFile("NODE_B")));
    EXPECT_TRUE(exists(sendDir() + "/asked.txt"));
    EXPECT_TRUE(exists(sendDir() + "/earlier.txt"));
    EXPECT_TRUE(platform::isDirectory(marksFile())) << "left as it is";
    for (const char* said : {"を読み込めません", "を読み込めないため、asked.txt の登録を削除できませんでした",
                             "期限切れの登録 expired.txt の削除を次の期限確認まで延ばします"})
        EXPECT_NE(told.find(said), std::string::npos) << said << "\n" << told;

    ASSERT_EQ(::rmdir(marksFile().c_str()), 0);
    testsupport::writeFile(marksFile(), marks);
    testing::internal::CaptureStdout();
    catalog()->onTick();
    catalog()->deleteRec(&asked);
    catalog()->checkLimit();
    catalog()->compactList();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(notices().find("を読み込みました"), std::string::npos);
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(sendDir() + "/asked.txt"));
    EXPECT_FALSE(exists(sendDir() + "/expired.txt"));
    EXPECT_FALSE(exists(sendDir() + "/earlier.txt"));
    EXPECT_EQ(readRecords(queueFile("NODE_B")).size(), 1u);
}

// A record of the marks file that is not whole (a name without its NUL in
// the older layout, a line cut short or spoilt in the present one) is
// ignored, and the start says so. A name of the older layout marks only a
// registration made no later than that file was last written.
TEST_F(DeletionMarks, MarksThatAreNotWholeAreIgnoredAndOlderOnesTakeNoLaterRegistration)
{
    const CatalogRecord old = put("old.txt", "registered before the file", 2008);
    const CatalogRecord later = put("later.txt", "registered after the file", 2010);
    const CatalogRecord cut = put("cut.txt", "its name lacks its NUL", 2008);
    writeRecords(catalogFile(), {old, later, cut});
    testsupport::writeFile(marksFile(), std::string("old.txt\0later.txt\0cut.txt", 25));
    const struct timespec lastWrite[2] = {{1230768000, 0}, {1230768000, 0}}; // 2009-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, marksFile().c_str(), lastWrite, 0), 0);
    testing::internal::CaptureStdout();
    catalog()->compactList();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("1 deletion(s) of own files that catalog.dat lost"), std::string::npos) << console;
    EXPECT_FALSE(exists(sendDir() + "/old.txt"));
    EXPECT_TRUE(exists(sendDir() + "/later.txt"));
    EXPECT_TRUE(exists(sendDir() + "/cut.txt"));
    std::string told = notices();
    EXPECT_NE(told.find("壊れた記録が 1 件"), std::string::npos) << told;
    CCatalog::releaseInstance();

    const CatalogRecord whole = put("whole.txt", "marked whole", 2012);
    const CatalogRecord spoilt = put("spoilt.txt", "marked with a spoilt line", 2012);
    const CatalogRecord torn = put("torn.txt", "its line cut short", 2012);
    writeRecords(catalogFile(), {whole, spoilt, torn});
    std::string bad = markLine(spoilt);
    bad[3] = 'x';
    const std::string tornLine = markLine(torn);
    testsupport::writeFile(marksFile(), HEADER + markLine(whole) + bad + tornLine.substr(0, tornLine.size() - 1));
    testing::internal::CaptureStdout();
    catalog()->compactList();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(exists(sendDir() + "/whole.txt"));
    EXPECT_TRUE(exists(sendDir() + "/spoilt.txt"));
    EXPECT_TRUE(exists(sendDir() + "/torn.txt"));
    told = notices();
    EXPECT_NE(told.find("壊れた記録が 2 件"), std::string::npos) << told;
    EXPECT_EQ(catalog()->getRecCount(), 2);
}

// The marks file is read up to as many marks as the catalog can hold
// records, and the start says when it is cut; it is written back with those
// alone.
TEST_F(DeletionMarks, AMarksFileBeyondTheCatalogsSizeIsCut)
{
    CCatalog::setRecordLimits(3, 5);
    std::vector<CatalogRecord> recs;
    std::string marks = HEADER;
    // Three marks of registrations gone, then one for each record held.
    for (int i = 0; i < 3; ++i)
        marks += markLine(put(("gone" + std::to_string(i) + ".txt").c_str(), "gone"));
    for (int i = 0; i < 5; ++i) {
        const std::string name = "d" + std::to_string(i) + ".txt";
        recs.push_back(put(name.c_str(), "deleted " + name, 2010, CATALOG_STATE_DELETED));
        marks += markLine(recs.back());
    }
    writeRecords(catalogFile(), recs);
    testsupport::writeFile(marksFile(), marks);
    testing::internal::CaptureStdout();
    catalog()->compactList();
    testing::internal::GetCapturedStdout();
    const std::string told = notices();
    CCatalog::setRecordLimits(CCatalog::MAX_RECORDS, CCatalog::MAX_FILE_RECORDS);
    EXPECT_NE(told.find("上限の 5 件を超えている"), std::string::npos) << told;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(exists(sendDir() + "/d" + std::to_string(i) + ".txt"), i >= 2) << i;
    EXPECT_EQ(catalog()->getRecCount(), 0);
    EXPECT_FALSE(exists(marksFile())) << "its marks dropped with their records";
}

} // namespace
