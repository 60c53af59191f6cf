#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cp932.h"
#include "platform/files.h"
#include "store/catalog.h"
#include "store/events.h"
#include "store/folder_watch.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::exists;

struct Heard {
    std::string name;
    DWORD state;
    DWORD size;
};

class Recorder : public ZQ_EVENTCATALOGLISTENER {
public:
    std::vector<Heard> heard;
    void onRecord(const CatalogRecord* rec) override { add(rec); }
    void onRecordAt(int, const CatalogRecord* rec) override { add(rec); }

private:
    void add(const CatalogRecord* rec)
    {
        heard.push_back({std::string(cp932::fieldText(rec->findData.cFileName, MAX_PATH)), rec->state,
                         rec->findData.nFileSizeLow});
    }
};

int count(const std::string& hay, const std::string& needle)
{
    int n = 0;
    for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

class FolderWatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        CFolderWatch::setUseLeases(true);
        CFolderWatch::setFullListingEvery(std::chrono::minutes(1));
        cd = std::make_unique<testsupport::ScopedChdir>(work.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "nodeA";
        settings->partyName = "party";
        send = settings->getSendFolder();
        ZQ_EVENTCATALOG::getInstance()->addListener(&rec);
        CCatalog::getInstance();
        watch.setFolder(send.c_str());
        watch.loadList();
        ASSERT_EQ(mkdir(outside().c_str(), 0755), 0);
    }
    void TearDown() override
    {
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
    }

    std::string inSend(const std::string& name) const { return send + "/" + name; }
    std::string outside() const { return work.path() + "/elsewhere"; }
    void put(const std::string& name, const std::string& content, long mtime = 1500000000)
    {
        testsupport::writeFile(inSend(name), content);
        const struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, inSend(name).c_str(), ts, 0), 0);
    }
    std::optional<DirListRecord> snap(const std::string& name) const
    {
        for (const DirListRecord r : watch.snapshot()) {
            if (name == r.findData.cFileName)
                return r;
        }
        return std::nullopt;
    }
    // Runs one check and returns what it printed.
    std::string check()
    {
        testing::internal::CaptureStdout();
        watch.checkFolder();
        return testing::internal::GetCapturedStdout();
    }

    testsupport::TempDir work;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    std::string send;
    Recorder rec;
    CFolderWatch watch;
};

TEST_F(FolderWatch, SnapshotFileHoldsRawRecords)
{
    put("a.txt", "hello", 1500000000);
    check();
    const std::string bytes = testsupport::readFile(watch.listPath());
    ASSERT_EQ(bytes.size(), 344u);
    EXPECT_EQ(bytes.substr(0, 24), std::string(24, '\0')); // plain file, no link
    std::uint64_t ft;
    std::memcpy(&ft, bytes.data() + 44, 8); // 100 ns units since 1601
    EXPECT_EQ(ft, (1500000000ull + 11644473600ull) * 10000000ull);
    EXPECT_EQ(bytes.substr(56, 4), std::string("\x05\0\0\0", 4));
    EXPECT_EQ(bytes.substr(68, 6), std::string("a.txt\0", 6));
}

TEST_F(FolderWatch, AFileHeldOpenForWritingWaitsUntilClosed)
{
    const int fd = open(inSend("copying.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "partial", 7), 7);
    check();
    EXPECT_TRUE(rec.heard.empty());
    ASSERT_EQ(write(fd, " and the rest", 13), 13);
    close(fd);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].size, 20u);
}

TEST_F(FolderWatch, AnEmptyFileIsRegisteredAsNewOnceItHasContent)
{
    put("empty.txt", "");
    check();
    EXPECT_TRUE(rec.heard.empty());
    // An empty entry an older snapshot took in is new too, not an update.
    DirListRecord r {};
    r.findData.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    std::strcpy(r.findData.cFileName, "empty.txt");
    testsupport::writeFile(watch.listPath(), std::string(reinterpret_cast<const char*>(&r), sizeof r));
    watch.loadList();
    put("empty.txt", "grown", 1500000200);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_NEW);
}

TEST_F(FolderWatch, HiddenFilesFoldersAndFifosAreLeftOut)
{
    put(".hidden", "h");
    ASSERT_EQ(mkdir(inSend("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(inSend("pipe").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((outside() + "/pipe2").c_str(), 0644), 0);
    ASSERT_EQ(symlink((outside() + "/pipe2").c_str(), inSend("pipe.lnk").c_str()), 0);
    put("plain.txt", "p");
    const std::string said = check() + check(); // would hang here if a FIFO were opened
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "plain.txt");
    EXPECT_EQ(count(said, "\".hidden\" is not shared: hidden files"), 1) << said;
}

TEST_F(FolderWatch, AShortcutWhoseTargetIsGoneIsRemovedOnceAndItsDuplicatesDeleted)
{
    for (const char* d : {"/x", "/y"})
        ASSERT_EQ(mkdir((outside() + d).c_str(), 0755), 0);
    testsupport::writeFile(outside() + "/x/same.txt", "from x");
    testsupport::writeFile(outside() + "/y/same.txt", "from y");
    ASSERT_EQ(symlink((outside() + "/x/same.txt").c_str(), inSend("a.lnk").c_str()), 0);
    ASSERT_EQ(symlink((outside() + "/y/same.txt").c_str(), inSend("b.lnk").c_str()), 0);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_FALSE(exists(inSend("b.lnk"))) << "a second shortcut to the same name";
    EXPECT_TRUE(exists(outside() + "/y/same.txt")) << "targets are never touched";

    rec.heard.clear();
    unlink((outside() + "/x/same.txt").c_str());
    check();
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_DELETED);
    EXPECT_TRUE(exists(inSend("a.lnk")));
}

TEST_F(FolderWatch, NamesWindowsCannotTakeAreSkippedAndReportedOnce)
{
    const std::vector<std::string> bad = {"a?b.txt", "a:b",  "back\\slash", "x<y",        "pipe|",  "quote\"",
                                          "dot.",    "blank ", "CON",      "Com1.log",   "aux .txt",
                                          "\xF0\x9F\x98\x80.txt", "tab\tx"};
    for (const std::string& n : bad)
        put(n, "content");
    put("\xE8\xA1\xA8.txt", "fine"); // 表: its second CP932 byte is 0x5C
    put("COM10.txt", "fine");
    const std::string out = check() + check();
    ASSERT_EQ(rec.heard.size(), 2u);
    for (const std::string& n : bad)
        EXPECT_EQ(count(out, "\"" + n + "\""), 1) << n;
}

TEST_F(FolderWatch, NothingIsScannedWithoutNodeOrPartyName)
{
    put("a.txt", "a");
    settings->nodeName = "";
    std::string out = check() + check();
    settings->nodeName = "nodeA";
    settings->partyName = "";
    out += check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_TRUE(watch.snapshot().empty());
    EXPECT_EQ(count(out, "not set"), 1);
}

TEST_F(FolderWatch, FilesOf4GiBOrMoreAreSkippedAndAGrownOneKeepsItsRegistration)
{
    put("huge.bin", "");
    ASSERT_EQ(truncate(inSend("huge.bin").c_str(), off_t(1) << 32), 0);
    put("grows.bin", "small");
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_FALSE(snap("huge.bin"));
    rec.heard.clear();
    ASSERT_EQ(truncate(inSend("grows.bin").c_str(), (off_t(1) << 32) + 1), 0);
    check();
    check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(snap("grows.bin")->findData.nFileSizeLow, 5u);
}

TEST_F(FolderWatch, AFolderThatCannotBeListedReportsNothing)
{
    put("a.txt", "a");
    check();
    rec.heard.clear();
    ASSERT_EQ(rename(send.c_str(), (work.path() + "/SEND.away").c_str()), 0);
    const std::string out = check() + check();
    EXPECT_TRUE(rec.heard.empty()) << "no file counts as removed";
    EXPECT_EQ(count(out, "cannot be listed"), 1);
}

TEST_F(FolderWatch, ARegistrationTheCatalogLostIsMadeAgainAtTheNextCheck)
{
    settings->addRow("nodeB", "TCP", "127.0.0.1");
    put("kept.txt", "same", 1500000000);
    put("edited.txt", "old", 1500000000);
    check();
    ASSERT_EQ(rec.heard.size(), 2u);

    // The node dies, and its catalog.dat is emptied; the snapshot still
    // lists both files, and one of them changes meanwhile.
    CCatalog::releaseInstance();
    testsupport::writeFile(work.path() + "/CATALOG/catalog.dat", "");
    put("edited.txt", "new content", 1500000100);
    rec.heard.clear();
    CCatalog* catalog = CCatalog::getInstance();
    check();
    ASSERT_EQ(rec.heard.size(), 2u);
    for (const Heard& h : rec.heard) {
        EXPECT_EQ(h.state, DWORD(CATALOG_STATE_NEW)) << h.name;
        EXPECT_TRUE(catalog->findRec(h.name.c_str(), "nodeA", nullptr)) << h.name;
    }
    EXPECT_EQ(rec.heard[0].size, 11u);
    EXPECT_EQ(testsupport::readFile(work.path() + "/CATALOG/nodeB.dat").size(), 4 * sizeof(CatalogRecord));

    rec.heard.clear();
    check();
    EXPECT_TRUE(rec.heard.empty()) << "registered once";
}

TEST_F(FolderWatch, AnOwnRegistrationMarkedDeletedIsNotMadeAgainBeforeItsFileGoes)
{
    put("a.txt", "a");
    check();
    CCatalog* catalog = CCatalog::getInstance();
    CatalogRecord r;
    ASSERT_TRUE(catalog->findRec("a.txt", "nodeA", &r));
    r.state = CATALOG_STATE_DELETED;
    catalog->deleteRecLocal(&r);
    rec.heard.clear();
    check();
    EXPECT_TRUE(rec.heard.empty());
    catalog->compactList(); // drops the record and its file
    EXPECT_FALSE(exists(inSend("a.txt")));
    rec.heard.clear();
    check();
    EXPECT_FALSE(catalog->findRec("a.txt", "nodeA", nullptr));
}

TEST_F(FolderWatch, AStepwiseCheckListsOnAWorkerAndNeverStartsTwice)
{
    settings->addRow("nodeB", "TCP", "127.0.0.1");
    for (int i = 0; i < 5; ++i)
        put("f" + std::to_string(i), "data", 1500000000 + i);
    const auto later = std::chrono::steady_clock::time_point::max();
    ASSERT_TRUE(watch.startCheck());
    EXPECT_FALSE(watch.startCheck()) << "one check at a time";
    watch.waitForWorker();
    EXPECT_TRUE(rec.heard.empty()) << "the worker hands nothing to the catalog";

    // Each step leaves the catalog and the queue with the same records.
    EXPECT_TRUE(watch.continueCheck(later, 2));
    EXPECT_EQ(rec.heard.size(), 2u);
    EXPECT_EQ(CCatalog::getInstance()->getRecCount(), 2);
    EXPECT_EQ(testsupport::readFile(work.path() + "/CATALOG/nodeB.dat").size(), 2 * sizeof(CatalogRecord));
    EXPECT_FALSE(watch.startCheck()) << "not while the last one is being applied";
    EXPECT_TRUE(watch.snapshot().empty()) << "committed only at the end";

    while (watch.continueCheck(later, 2))
        watch.waitForWorker();
    EXPECT_EQ(rec.heard.size(), 5u);
    EXPECT_EQ(watch.snapshot().size(), 5u);
    EXPECT_EQ(testsupport::readFile(watch.listPath()).size(), 5 * sizeof(DirListRecord));
    EXPECT_TRUE(watch.startCheck());
    watch.waitForWorker();
}

// A neighbour's queue file that cannot be read (here a folder in its place)
// never holds a check up: the change is registered, the other neighbour's
// queue gets it, and the one that cannot be written owes it.
TEST_F(FolderWatch, AQueueFileThatCannotBeReadHoldsNoCheckUp)
{
    settings->addRow("nodeB", "TCP", "127.0.0.1");
    settings->addRow("nodeC", "TCP", "127.0.0.1");
    put("a.txt", "one");
    check();
    ASSERT_EQ(::mkdir((work.path() + "/CATALOG/nodeB.dat.new").c_str(), 0755), 0);
    std::filesystem::remove(work.path() + "/CATALOG/nodeB.dat");
    ASSERT_EQ(::rename((work.path() + "/CATALOG/nodeB.dat.new").c_str(), (work.path() + "/CATALOG/nodeB.dat").c_str()),
              0);
    put("a.txt", "one more", 1500000100);
    rec.heard.clear();

    testing::internal::CaptureStdout();
    ASSERT_TRUE(watch.startCheck());
    int steps = 0;
    while (watch.continueCheck(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)) && steps < 500) {
        watch.waitForWorker();
        ++steps;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(watch.checking()) << "the check came to its end";
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, DWORD(CATALOG_STATE_UPDATED));
    const std::string queueC = testsupport::readFile(work.path() + "/CATALOG/nodeC.dat");
    ASSERT_EQ(queueC.size(), sizeof(CatalogRecord)) << "over the entry of its key";
    CatalogRecord queued;
    std::memcpy(&queued, queueC.data(), sizeof queued);
    EXPECT_EQ(queued.findData.nFileSizeLow, 8u);
    EXPECT_EQ(CCatalog::getInstance()->owedQueueEntries(), 1u);
}

TEST_F(FolderWatch, ChangesThatKeepEveryNameInPlaceRewriteOnlyTheirRecords)
{
    for (int i = 0; i < 100; ++i)
        put("f" + std::to_string(100 + i), "data", 1500000000);
    check();
    auto inode = [this] {
        struct stat st {};
        stat(watch.listPath().c_str(), &st);
        return st.st_ino;
    };
    auto snapshotBytes = [this] {
        std::string bytes;
        watch.snapshot().writeTo([&bytes](const void* data, std::size_t n) {
            bytes.append(static_cast<const char*>(data), n);
            return true;
        });
        return bytes;
    };
    const ino_t whole = inode();

    put("f150", "new data", 1500000100);
    put("f170", "more", 1500000200);
    check();
    EXPECT_EQ(inode(), whole) << "written in place";
    EXPECT_EQ(testsupport::readFile(watch.listPath()), snapshotBytes());

    // A file added or gone moves names: the file is replaced whole.
    put("f300", "added", 1500000300);
    check();
    EXPECT_NE(inode(), whole);
    EXPECT_EQ(testsupport::readFile(watch.listPath()), snapshotBytes());
}

// Files that match their snapshot records (names in any script, shortcuts
// looked at anew every time) leave the snapshot and dirlist.dat untouched;
// a change among them is found by its name all the same.
TEST_F(FolderWatch, UnchangedFilesLeaveTheSnapshotAloneAndChangesAmongThemAreFound)
{
    const std::string hyo = "\xE8\xA1\xA8.txt"; // 表.txt: its CP932 form holds 0x5C
    const std::string kana = "\xE3\x81\x82\xE3\x81\x84.doc"; // あい.doc
    for (int i = 0; i < 50; ++i)
        put("plain" + std::to_string(i) + ".txt", "data", 1500000000);
    put(hyo, "hyo", 1500000000);
    put(kana, "kana", 1500000000);
    testsupport::writeFile(outside() + "/target.bin", "linked");
    ASSERT_EQ(symlink((outside() + "/target.bin").c_str(), inSend("t.lnk").c_str()), 0);
    check();
    ASSERT_EQ(rec.heard.size(), 53u);
    struct stat before {};
    ASSERT_EQ(stat(watch.listPath().c_str(), &before), 0);
    const std::string bytes = testsupport::readFile(watch.listPath());

    rec.heard.clear();
    check();
    check();
    EXPECT_TRUE(rec.heard.empty());
    struct stat after {};
    ASSERT_EQ(stat(watch.listPath().c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(testsupport::readFile(watch.listPath()), bytes);

    put(kana, "kana, longer", 1500000100);
    testsupport::writeFile(outside() + "/target.bin", "linked, and changed");
    check();
    ASSERT_EQ(rec.heard.size(), 2u);
    EXPECT_EQ(rec.heard[0].state, DWORD(CATALOG_STATE_UPDATED));
    EXPECT_EQ(rec.heard[1].state, DWORD(CATALOG_STATE_UPDATED));

    rec.heard.clear();
    ASSERT_EQ(unlink(inSend(hyo).c_str()), 0);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "\x95\x5C.txt");
    EXPECT_EQ(rec.heard[0].state, DWORD(CATALOG_STATE_DELETED));
    EXPECT_EQ(watch.snapshot().size(), 52u);
}

// Between checks the folder's change notification spares the status calls
// of files the snapshot knows. Changes it cannot tell are found all the
// same: a file with another hard link (written under that name) and a
// symbolic link's target at every check, anything else by the full listing
// made at least once a minute.
TEST_F(FolderWatch, ChangesTheFolderDoesNotTellOfAreFoundAllTheSame)
{
    const auto grow = [](const std::string& path, const std::string& more) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, more.data(), more.size()), ssize_t(more.size()));
        close(fd);
    };
    put("linked.txt", "one");
    ASSERT_EQ(link(inSend("linked.txt").c_str(), (outside() + "/other-name.txt").c_str()), 0);
    testsupport::writeFile(outside() + "/target.txt", "t");
    ASSERT_EQ(symlink((outside() + "/target.txt").c_str(), inSend("plain-link.txt").c_str()), 0);
    put("later.txt", "two");
    check();
    ASSERT_EQ(rec.heard.size(), 3u);

    rec.heard.clear();
    grow(outside() + "/other-name.txt", " more");
    grow(outside() + "/target.txt", " more");
    check();
    ASSERT_EQ(rec.heard.size(), 2u);
    EXPECT_EQ(rec.heard[0].name, "linked.txt");
    EXPECT_EQ(rec.heard[1].name, "plain-link.txt");

    // A hard link made after the listing, and a write under it: nothing in
    // SEND tells of either until a full listing.
    rec.heard.clear();
    ASSERT_EQ(link(inSend("later.txt").c_str(), (outside() + "/later-too.txt").c_str()), 0);
    check(); // quiet since the last one
    grow(outside() + "/later-too.txt", " more");
    check();
    EXPECT_TRUE(rec.heard.empty()) << "taken as it was while the folder is quiet";
    CFolderWatch::setFullListingEvery(std::chrono::milliseconds(0));
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "later.txt");
    EXPECT_EQ(rec.heard[0].state, DWORD(CATALOG_STATE_UPDATED));
}

// SEND as a symbolic link pointed at another folder: the old folder's change
// notification tells nothing of the new one, so the next check looks at
// every file there, and the new folder's changes are told from then on.
TEST_F(FolderWatch, ASendLinkPointedAtAnotherFolderIsLookedAtAfresh)
{
    CFolderWatch::setFullListingEvery(std::chrono::hours(1)); // only the notification can tell
    const std::string a = outside() + "/A";
    const std::string b = outside() + "/B";
    ASSERT_EQ(rename(send.c_str(), a.c_str()), 0);
    ASSERT_EQ(symlink(a.c_str(), send.c_str()), 0);
    put("same.txt", "one");
    check();
    check(); // quiet: the watch is set
    ASSERT_EQ(rec.heard.size(), 1u);

    rec.heard.clear();
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    testsupport::writeFile(b + "/same.txt", "other content");
    const struct timespec ts[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (b + "/same.txt").c_str(), ts, 0), 0);
    ASSERT_EQ(symlink(b.c_str(), (send + ".new").c_str()), 0);
    ASSERT_EQ(rename((send + ".new").c_str(), send.c_str()), 0);
    check();
    ASSERT_EQ(rec.heard.size(), 1u) << "the new folder's file is looked at, not taken as its old record says";
    EXPECT_EQ(rec.heard[0].name, "same.txt");
    EXPECT_EQ(rec.heard[0].state, DWORD(CATALOG_STATE_UPDATED));
    EXPECT_EQ(rec.heard[0].size, 13u);

    rec.heard.clear();
    check(); // quiet again, now on the new folder
    EXPECT_TRUE(rec.heard.empty());
    const int fd = open((b + "/same.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, " more", 5), 5);
    close(fd);
    check();
    ASSERT_EQ(rec.heard.size(), 1u) << "a write in the new folder is told by its own watch";
    EXPECT_EQ(rec.heard[0].size, 18u);
}

// SEND is a link to a drive's folder; under the running node the drive goes
// (the link names an empty folder, as a mount point without its drive) and
// comes back. Nothing is reported or written meanwhile, and it is said once;
// a user who then empties the SEND the node knows deletes the registrations.
TEST_F(FolderWatch, ASendThatIsAwayLosesNothingAndIsWrittenToUntilItIsBack)
{
    const std::string drive = outside() + "/drive", bare = outside() + "/bare";
    ASSERT_EQ(rename(send.c_str(), drive.c_str()), 0);
    ASSERT_EQ(mkdir(bare.c_str(), 0755), 0);
    const auto pointAt = [&](const std::string& to) {
        std::filesystem::remove(send);
        std::filesystem::create_directory_symlink(to, send);
    };
    pointAt(drive);
    put("a.txt", "a");
    put("b.txt", "b");
    check();
    rec.heard.clear();
    pointAt(bare);
    EXPECT_EQ(count(check() + check(), "is not the folder this node knows"), 1);
    EXPECT_TRUE(watch.sendAway());
    EXPECT_EQ(watch.takeNotices().size(), 1u);
    EXPECT_TRUE(rec.heard.empty()) << "nothing reported gone";
    EXPECT_TRUE(std::filesystem::is_empty(bare)) << "nothing written into the folder";
    pointAt(drive);
    check();
    EXPECT_FALSE(watch.sendAway());
    EXPECT_TRUE(rec.heard.empty()) << "nothing registered anew";
    for (const char* f : {"a.txt", "b.txt"})
        ASSERT_EQ(unlink(inSend(f).c_str()), 0);
    EXPECT_NE(check().find("2 registration(s) of files gone from"), std::string::npos);
    EXPECT_EQ(rec.heard.size(), 2u) << "both deleted";

    // A folder taken while the node shared nothing is no longer the node's
    // once another one is taken: back under SEND, it is away.
    pointAt(bare);
    check();
    pointAt(drive);
    put("c.txt", "c");
    check();
    rec.heard.clear();
    pointAt(bare);
    check();
    EXPECT_TRUE(watch.sendAway());
    EXPECT_TRUE(rec.heard.empty());
}

// SEND renamed between the listing and the writing of the snapshot (as a
// drive unmounted then): the check writes into the folder it listed and
// judged, nothing into the one SEND names now, which the next check finds
// away; the node's own writes are refused there meanwhile.
TEST_F(FolderWatch, ACheckWritesIntoTheFolderItListedWhateverSendNamesMeanwhile)
{
    put("a.txt", "a");
    check();
    put("b.txt", "b");
    ASSERT_TRUE(watch.startCheck());
    watch.waitForWorker();
    const std::string judged = outside() + "/judged";
    ASSERT_EQ(rename(send.c_str(), judged.c_str()), 0);
    ASSERT_EQ(mkdir(send.c_str(), 0755), 0);
    while (watch.continueCheck(std::chrono::steady_clock::time_point::max()))
        watch.waitForWorker();
    EXPECT_TRUE(std::filesystem::is_empty(send));
    EXPECT_EQ(std::filesystem::file_size(judged + "/YUVO/dirlist.dat"), 2 * sizeof(DirListRecord));
    platform::COpenFolder dir;
    EXPECT_FALSE(watch.openKnownSend(dir));
    rec.heard.clear();
    check();
    EXPECT_TRUE(watch.sendAway());
    EXPECT_TRUE(rec.heard.empty());
}

// SEND deleted and made anew, at a restart whose CATALOG/SEND.id names the
// new folder's device and inode (as a reused inode, or another drive on the
// same port, gives): without the node's snapshot it is away, and nothing is
// written into it. No file that appears in it takes it for SEND (a desktop's,
// the user's own); the user's one act does, once: a file YUVO/use-this-folder.
// Taking it deletes no registration: those of files not in it stand, through
// a restart's mend too, and neighbours keep their copies. The old folder
// back under SEND is taken again as it is, and what the other held stands in
// turn. An older SEND.id (device and inode alone) is still read.
TEST_F(FolderWatch, ASendMadeAnewIsAwayWhateverAppearsInItUntilItsUserTakesItAndThatDeletesNoRegistration)
{
    put("a.txt", "a");
    put("b.txt", "b");
    check();
    CatalogRecord before;
    ASSERT_TRUE(CCatalog::getInstance()->findRec("a.txt", "nodeA", &before));
    const std::string old = outside() + "/SEND.old";
    ASSERT_EQ(rename(send.c_str(), old.c_str()), 0);
    ASSERT_EQ(mkdir(send.c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(stat(send.c_str(), &st), 0);
    const std::string idPath = work.path() + "/CATALOG/SEND.id";
    const auto keptIs = [&](const std::string& rest) {
        testsupport::writeFile(idPath, std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + "\n" + rest);
    };
    const std::string token = testsupport::readFile(idPath).substr(testsupport::readFile(idPath).find('\n') + 1);
    keptIs(token);
    CCatalog::releaseInstance();
    CCatalog::getInstance();
    rec.heard.clear();
    auto fresh = std::make_unique<CFolderWatch>();
    const auto start = [&] {
        fresh = std::make_unique<CFolderWatch>();
        fresh->setFolder(send.c_str());
        fresh->loadList();
    };
    const auto checkFresh = [&] {
        testing::internal::CaptureStdout();
        fresh->checkFolder();
        return testing::internal::GetCapturedStdout();
    };
    start();
    platform::COpenFolder dir;
    EXPECT_FALSE(fresh->openKnownSend(dir)) << "no node record, no drop";
    EXPECT_EQ(count(checkFresh() + checkFresh(), "is not the folder this node knows"), 1);
    EXPECT_TRUE(fresh->sendAway());
    EXPECT_NE(fresh->awayNotice().find(*cp932::fromUtf8("SEND/YUVO/use-this-folder")), std::string::npos);
    for (const char* stray : {"Thumbs.db", "desktop.ini", "mine.txt"}) {
        put(stray, std::string("appeared: ") + stray);
        checkFresh();
        EXPECT_TRUE(fresh->sendAway()) << stray;
    }
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_FALSE(exists(inSend("YUVO"))) << "nothing written into it";

    ASSERT_EQ(mkdir(inSend("YUVO").c_str(), 0755), 0);
    testsupport::writeFile(inSend(CFolderWatch::TAKE_FILE), "");
    const std::string said = checkFresh();
    EXPECT_FALSE(fresh->sendAway());
    EXPECT_TRUE(fresh->awayNotice().empty());
    EXPECT_NE(said.find("2 registration(s) of files not in it stand"), std::string::npos) << said;
    const auto notices = fresh->takeNotices();
    EXPECT_NE(notices.back().find(*cp932::fromUtf8("ここにないファイルの登録 2 件は削除せず")), std::string::npos);
    EXPECT_FALSE(exists(inSend(CFolderWatch::TAKE_FILE))) << "acted on once";
    std::map<std::string, DWORD> heard;
    for (const Heard& h : rec.heard)
        heard[h.name] = h.state;
    EXPECT_EQ(heard, (std::map<std::string, DWORD>{{"Thumbs.db", CATALOG_STATE_NEW},
                                                   {"desktop.ini", CATALOG_STATE_NEW},
                                                   {"mine.txt", CATALOG_STATE_NEW}}));
    EXPECT_TRUE(fresh->openKnownSend(dir));

    // A restart mends the catalog against the folder: the registrations of
    // files elsewhere stand, and their expiry takes no file of SEND but the
    // one registered.
    CCatalog::releaseInstance();
    CCatalog::getInstance();
    rec.heard.clear();
    start();
    checkFresh();
    CCatalog::getInstance()->compactList();
    checkFresh();
    EXPECT_TRUE(rec.heard.empty());
    CatalogRecord a;
    ASSERT_TRUE(CCatalog::getInstance()->findRec("a.txt", "nodeA", &a));
    EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0) << "its registration as it was";

    // The old folder back: taken again as it is, nothing registered anew or
    // deleted, and what the other folder held stands in turn.
    ASSERT_EQ(rename(send.c_str(), (outside() + "/SEND.taken").c_str()), 0);
    ASSERT_EQ(rename(old.c_str(), send.c_str()), 0);
    EXPECT_NE(checkFresh().find("3 registration(s) of files not in it stand"), std::string::npos);
    EXPECT_FALSE(fresh->sendAway());
    EXPECT_TRUE(rec.heard.empty());
    ASSERT_TRUE(CCatalog::getInstance()->findRec("a.txt", "nodeA", &a));
    EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);

    ASSERT_EQ(stat(send.c_str(), &st), 0);
    keptIs("");
    CFolderWatch older;
    older.setFolder(send.c_str());
    older.loadList();
    EXPECT_FALSE(older.sendAway());
    EXPECT_TRUE(older.openKnownSend(dir));
}

// SEND with mode 644, looked at by an ordinary user: its names can be
// listed, no file's status read (nor dirlist.dat by a node that starts so).
// Files, a shortcut and a file new since keep what they had.
TEST_F(FolderWatch, FilesWhoseStatusCannotBeReadKeepTheirRecordsAndRegistrations)
{
    put("a.txt", "a");
    put("b.txt", "b");
    testsupport::writeFile(outside() + "/t.txt", "target");
    ASSERT_EQ(symlink((outside() + "/t.txt").c_str(), inSend("t.lnk").c_str()), 0);
    check();
    ASSERT_EQ(rec.heard.size(), 3u);
    put("new.txt", "new");
    ASSERT_EQ(chmod(work.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(send.c_str(), 0644), 0);
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) { // root reads every status: the checks run as nobody
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        rec.heard.clear();
        CFolderWatch started;
        started.setFolder(send.c_str());
        started.loadList();
        watch.checkFolder();
        started.checkFolder();
        const bool kept = rec.heard.empty() && CCatalog::getInstance()->getRecCount() == 3;
        _exit(kept && watch.snapshot().size() == 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(chmod(send.c_str(), 0755), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// A snapshot that names a file twice (written by another program) is matched
// by that name in both records: nothing is removed while the file stays.
TEST_F(FolderWatch, ASnapshotRecordNamedTwiceIsMatchedByItsName)
{
    put("twice.txt", "same", 1500000000);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    const std::string one = testsupport::readFile(watch.listPath());
    testsupport::writeFile(watch.listPath(), one + one);
    watch.loadList();
    rec.heard.clear();
    check();
    EXPECT_TRUE(rec.heard.empty());
}

TEST_F(FolderWatch, EnsureSubFolderMakesOneLevelInsideTheBase)
{
    CFolderWatch::ensureSubFolder(work.path().c_str(), "made");
    EXPECT_TRUE(exists(work.path() + "/made"));
    CFolderWatch::ensureSubFolder((work.path() + "/made").c_str(), "../escape");
    EXPECT_FALSE(exists(work.path() + "/escape"));
}

} // namespace

// The snapshot is kept compact in memory, yet what is read from dirlist.dat is
// written back byte for byte, odd records (bytes after a name's end, an
// alternate name, a non-zero pad) included.
TEST_F(FolderWatch, TheSnapshotComesBackByteForByte)
{
    std::vector<DirListRecord> recs(600); // more than one piece of the writer
    for (std::size_t i = 0; i < recs.size(); ++i) {
        DirListRecord& r = recs[i];
        std::memset(&r, 0, sizeof r);
        r.isLink = i == 1 ? 1 : 0;
        r.findData.dwFileAttributes = 0x20;
        r.findData.ftLastWriteTime = {DWORD(1000 + i), DWORD(7)};
        r.findData.nFileSizeLow = DWORD(10 * i + 1);
        const std::string name = "file" + std::to_string(i) + ".txt";
        std::memcpy(r.findData.cFileName, name.data(), name.size());
    }
    std::memcpy(recs[2].findData.cFileName + 20, "junk", 4); // after the name's zero
    std::memcpy(recs[3].findData.cAlternateFileName, "FILE3~1", 7);
    recs[4].zero[3] = 9;
    std::string bytes(reinterpret_cast<const char*>(recs.data()), recs.size() * sizeof(DirListRecord));
    testsupport::writeFile(watch.listPath(), bytes);

    watch.loadList();
    ASSERT_EQ(watch.snapshot().size(), recs.size());
    for (std::size_t i = 0; i < recs.size(); ++i) {
        const DirListRecord r = watch.snapshot()[i];
        EXPECT_EQ(std::memcmp(&r, &recs[i], sizeof r), 0) << i;
        EXPECT_EQ(watch.snapshot().name(i), "file" + std::to_string(i) + ".txt");
    }
    testsupport::writeFile(watch.listPath(), "");
    watch.saveList();
    EXPECT_EQ(testsupport::readFile(watch.listPath()), bytes);
}

namespace {

// A node whose SEND check is run the way a restart does it: a catalog and a
// folder watch made afresh over what the last run left on the disk.
class NodeRestart : public FolderWatch {
protected:
    struct Held {
        DWORD state;
        DWORD size;
    };
    // The records of a file of CATALOG (catalog.dat by default), by name.
    std::map<std::string, Held> savedCatalog(const std::string& file = "catalog.dat") const
    {
        std::map<std::string, Held> out;
        const std::string bytes = testsupport::readFile(work.path() + "/CATALOG/" + file);
        for (std::size_t at = 0; at + sizeof(CatalogRecord) <= bytes.size(); at += sizeof(CatalogRecord)) {
            CatalogRecord r;
            std::memcpy(&r, bytes.data() + at, sizeof r);
            out[std::string(cp932::fieldText(r.findData.cFileName, MAX_PATH))] = {r.state, r.findData.nFileSizeLow};
        }
        return out;
    }
    // One check of a fresh node over the disk as it stands, then the
    // compaction and a clean end.
    void restartAndCheck()
    {
        CCatalog::releaseInstance();
        CCatalog::getInstance();
        CFolderWatch fresh;
        fresh.setFolder(send.c_str());
        fresh.loadList();
        testing::internal::CaptureStdout();
        fresh.checkFolder();
        CCatalog::getInstance()->compactList();
        fresh.checkFolder();
        testing::internal::GetCapturedStdout();
        CCatalog::releaseInstance();
    }
};

} // namespace

// The disk fills while files change: catalog.dat can take neither the
// change nor its whole rewrite, but the snapshot is written (it needs no
// room it does not have). The node ends that way; at the next start with
// room, the catalog follows SEND: the grown file is updated, the removed
// one deleted, the new one registered, and a neighbour's queue gets each.
TEST_F(NodeRestart, ChangesTheSnapshotSawButCatalogDatCouldNotSaveAreRegisteredAtTheNextStart)
{
    put("a-kept.txt", "kept as it is");
    put("b-removed.txt", "to be removed");
    put("c-grown.txt", std::string(100, 'c'));
    check();
    ASSERT_EQ(savedCatalog().size(), 3u);
    settings->addRow("nodeB", "TCP", "127.0.0.1");

    // Room enough for the snapshot (3 records of 344 bytes) and a journal
    // entry, none for catalog.dat's records beyond the first or its rewrite.
    testsupport::FileSizeLimit full(1100);
    put("c-grown.txt", std::string(112, 'c'), 1500000100);
    ASSERT_EQ(::unlink(inSend("b-removed.txt").c_str()), 0);
    put("d-new.txt", "arrived meanwhile");
    check();
    CCatalog::releaseInstance(); // the end: catalog.dat cannot be saved either
    full.lift();
    ASSERT_EQ(savedCatalog()["c-grown.txt"].size, 100u) << "catalog.dat is behind";
    ASSERT_EQ(snap("c-grown.txt")->findData.nFileSizeLow, 112u) << "the snapshot is not";
    testsupport::writeFile(work.path() + "/CATALOG/nodeB.dat", ""); // whatever reached the queue is gone too

    restartAndCheck();
    const auto saved = savedCatalog();
    EXPECT_EQ(saved.count("b-removed.txt"), 0u);
    ASSERT_EQ(saved.count("c-grown.txt"), 1u);
    EXPECT_EQ(saved.at("c-grown.txt").size, 112u);
    EXPECT_EQ(saved.at("c-grown.txt").state, DWORD(CATALOG_STATE_UPDATED));
    EXPECT_EQ(saved.count("d-new.txt"), 1u);
    EXPECT_EQ(saved.count("a-kept.txt"), 1u);
    std::map<std::string, DWORD> queued;
    for (const auto& [name, held] : savedCatalog("nodeB.dat"))
        queued[name] = held.state;
    EXPECT_EQ(queued, (std::map<std::string, DWORD>{{"b-removed.txt", CATALOG_STATE_DELETED},
                                                    {"c-grown.txt", CATALOG_STATE_UPDATED},
                                                    {"d-new.txt", CATALOG_STATE_NEW}}));
    EXPECT_TRUE(exists(inSend("a-kept.txt")));
}

// "-CATALOGCASH" keeps catalog.dat as it was until the end; a node killed
// after a check wrote the snapshot without the files deleted from SEND
// leaves them in catalog.dat as live. The next start deletes their
// registrations (and no file: they are gone), as a clean stop then saves.
TEST_F(NodeRestart, AfterAKillWithTheCatalogInMemoryTheDeletionsAreRegisteredAtTheNextStart)
{
    settings->switches.catalogCashMode = 1;
    for (int i = 0; i < 40; ++i)
        put("f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
    check();
    CCatalog::releaseInstance(); // a clean stop saves all 40
    ASSERT_EQ(savedCatalog().size(), 40u);

    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(::unlink(inSend("f" + std::to_string(i) + ".txt").c_str()), 0);
    std::fflush(stdout);
    const pid_t pid = ::fork(); // the run that is killed after its check
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CCatalog::getInstance();
        CFolderWatch killed;
        killed.setFolder(send.c_str());
        killed.loadList();
        killed.checkFolder();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(watch.snapshot().size(), 40u);
    CFolderWatch after;
    after.setFolder(send.c_str());
    after.loadList();
    ASSERT_EQ(after.snapshot().size(), 10u) << "the snapshot on disk is without them";
    ASSERT_EQ(savedCatalog().size(), 40u) << "catalog.dat is not";

    restartAndCheck();
    const auto saved = savedCatalog();
    EXPECT_EQ(saved.size(), 10u);
    for (int i = 30; i < 40; ++i)
        EXPECT_EQ(saved.count("f" + std::to_string(i) + ".txt"), 1u) << i;
}

// A deleted own record that a restart loads from catalog.dat cannot tell
// whether its file left SEND or the user asked for the deletion. Until the
// first check has looked at the folder, the compaction keeps such records
// and their files: a file back in SEND as it was is then registered again,
// and a deletion the user asked for still takes its unchanged file.
TEST_F(NodeRestart, AFileBackInSendAfterARestartIsNotTakenByTheFirstCompaction)
{
    put("came-back.txt", "moved out, the node killed, moved back");
    put("asked.txt", "its registration deleted by the user");
    check();
    ASSERT_EQ(::rename(inSend("came-back.txt").c_str(), (outside() + "/came-back.txt").c_str()), 0);
    check(); // the registration is deleted: the file left SEND
    CCatalog* catalog = CCatalog::getInstance();
    CatalogRecord asked;
    ASSERT_TRUE(catalog->findRec("asked.txt", "nodeA", &asked));
    asked.state = CATALOG_STATE_DELETED;
    catalog->deleteRec(&asked);
    CCatalog::releaseInstance(); // the node ends before the compaction
    ASSERT_EQ(savedCatalog()["came-back.txt"].state, DWORD(CATALOG_STATE_DELETED));
    ASSERT_EQ(::rename((outside() + "/came-back.txt").c_str(), inSend("came-back.txt").c_str()), 0);

    catalog = CCatalog::getInstance();
    CFolderWatch fresh;
    fresh.setFolder(send.c_str());
    fresh.loadList();
    catalog->compactList(); // before the first check
    EXPECT_TRUE(exists(inSend("came-back.txt")));
    EXPECT_TRUE(exists(inSend("asked.txt")));
    testing::internal::CaptureStdout();
    fresh.checkFolder();
    testing::internal::GetCapturedStdout();
    catalog->compactList();
    EXPECT_EQ(testsupport::readFile(inSend("came-back.txt")), "moved out, the node killed, moved back");
    CatalogRecord again;
    ASSERT_TRUE(catalog->findRec("came-back.txt", "nodeA", &again));
    EXPECT_EQ(again.state, DWORD(CATALOG_STATE_NEW));
    EXPECT_FALSE(exists(inSend("asked.txt"))) << "the deletion the user asked for";
    EXPECT_FALSE(catalog->findRec("asked.txt", "nodeA", nullptr));
}

// Whatever ends come between, a registration deleted because its file had
// left SEND (here: while its drive was away) never takes the file when it is
// back as the snapshot knows it: it is registered again. A deletion the user
// asked for that catalog.dat lost (-CATALOGCASH and a kill) is made again.
TEST_F(NodeRestart, WhatLeftSendIsRegisteredAgainWhenItIsBackAfterAnEnd)
{
    put("back.txt", "on the drive, unchanged");
    put("asked.txt", "its deletion asked for");
    check();
    const std::string before = testsupport::readFile(work.path() + "/CATALOG/catalog.dat");
    for (const char* name : {"back.txt", "asked.txt"}) {
        CatalogRecord r;
        ASSERT_TRUE(CCatalog::getInstance()->findRec(name, "nodeA", &r));
        r.state = CATALOG_STATE_DELETED;
        name[0] == 'b' ? (void)CCatalog::getInstance()->deleteGoneRecs(&r, 1) : CCatalog::getInstance()->deleteRec(&r);
    }
    CCatalog::releaseInstance(); // ends before the compaction
    ASSERT_EQ(savedCatalog()["back.txt"].state, DWORD(CATALOG_STATE_DELETED));
    std::string lost = testsupport::readFile(work.path() + "/CATALOG/catalog.dat");
    const std::size_t at = before.find("asked.txt") / sizeof(CatalogRecord) * sizeof(CatalogRecord);
    lost.replace(at, sizeof(CatalogRecord), before, at, sizeof(CatalogRecord));
    testsupport::writeFile(work.path() + "/CATALOG/catalog.dat", lost); // asked.txt as it was registered
    restartAndCheck();
    EXPECT_EQ(testsupport::readFile(inSend("back.txt")), "on the drive, unchanged");
    EXPECT_EQ(savedCatalog()["back.txt"].state, DWORD(CATALOG_STATE_NEW));
    EXPECT_FALSE(exists(inSend("asked.txt")));
    EXPECT_EQ(savedCatalog().count("asked.txt"), 0u);
}

// A start that cannot match SEND to its marker (owner.id cleaned away, a
// CATALOG/SEND.id of another token restored from a backup) takes SEND anew:
// the deletion its user asked for just before the end (its mark on the
// disk) is made, and every other file keeps its registration as it is, its
// registration time and expiry too.
TEST_F(NodeRestart, AStartThatCannotMatchSendToItsMarkerMakesTheMarkedDeletionAndRegistersNothingAnew)
{
    const auto rawRecord = [&](const std::string& name) {
        const std::string bytes = testsupport::readFile(work.path() + "/CATALOG/catalog.dat");
        for (std::size_t at = 0; at + sizeof(CatalogRecord) <= bytes.size(); at += sizeof(CatalogRecord)) {
            if (bytes.compare(at + offsetof(CatalogRecord, findData.cFileName), name.size() + 1,
                              name.c_str(), name.size() + 1) == 0)
                return bytes.substr(at, sizeof(CatalogRecord));
        }
        return std::string();
    };
    for (const std::string how : {"owner.id deleted", "SEND.id of another token"}) {
        const std::string kept = "kept " + how, asked = "asked " + how;
        put(kept, "registered before the end");
        put(asked, "its deletion asked for before the end");
        check();
        CatalogRecord r;
        ASSERT_TRUE(CCatalog::getInstance()->findRec(asked.c_str(), "nodeA", &r));
        r.state = CATALOG_STATE_DELETED;
        CCatalog::getInstance()->deleteRec(&r);
        CCatalog::releaseInstance(); // the end, before the compaction
        const std::string before = rawRecord(kept);
        ASSERT_FALSE(before.empty());
        if (how == "owner.id deleted") {
            ASSERT_EQ(::unlink(inSend("YUVO/owner.id").c_str()), 0);
        } else {
            const std::string id = work.path() + "/CATALOG/SEND.id";
            const std::string text = testsupport::readFile(id);
            testsupport::writeFile(id, text.substr(0, text.find('\n') + 1) + std::string(32, 'b') + "\n");
        }

        restartAndCheck();
        EXPECT_FALSE(exists(inSend(asked))) << how;
        EXPECT_TRUE(rawRecord(asked).empty()) << how;
        EXPECT_EQ(rawRecord(kept), before) << how << ": registered anew";
        CCatalog::getInstance();
    }
}
