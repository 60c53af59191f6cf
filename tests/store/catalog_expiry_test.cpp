// Expiry sweep and compaction with the deletion of exactly the right local
// files.
#include "catalog_testkit.h"

#include <fcntl.h>
#include <sys/stat.h>

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

} // namespace
