#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cp932.h"
#include "store/catalog.h"
#include "store/events.h"
#include "store/folder_watch.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::ScopedChdir;
using testsupport::TempDir;
using testsupport::TestSettings;

// One catalog change as the file lists hear it.
struct Heard {
    std::string kind; // "new" (appended) or "at" (changed in place)
    std::string name;
    DWORD state;
    DWORD isLink;
    DWORD size;
};

class Recorder : public ZQ_EVENTCATALOGLISTENER {
public:
    std::vector<Heard> heard;
    void onRecord(const CatalogRecord* rec) override { add("new", rec); }
    void onRecordAt(int, const CatalogRecord* rec) override { add("at", rec); }

private:
    void add(const char* kind, const CatalogRecord* rec)
    {
        heard.push_back({kind, std::string(cp932::fieldText(rec->findData.cFileName, MAX_PATH)), rec->state,
                         rec->isLink, rec->findData.nFileSizeLow});
    }
};

std::string names(const std::vector<Heard>& v, DWORD state)
{
    std::string out;
    for (const Heard& h : v) {
        if (h.state == state)
            out += (out.empty() ? "" : ",") + h.name;
    }
    return out;
}

// Last-write time in whole seconds since 1970.
void setMtime(const std::string& path, long secs)
{
    struct timespec ts[2];
    ts[0].tv_sec = secs;
    ts[0].tv_nsec = 0;
    ts[1].tv_sec = secs;
    ts[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0) << path;
}

std::string sjis(const char* utf8)
{
    return *cp932::fromUtf8(utf8);
}

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
        cd = std::make_unique<ScopedChdir>(work.path());
        settings = std::make_unique<TestSettings>();
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
        settings.reset();
        cd.reset();
    }

    std::string inSend(const std::string& name) const { return send + "/" + name; }
    std::string outside() const { return work.path() + "/elsewhere"; }
    void put(const std::string& name, const std::string& content, long mtime = 1500000000)
    {
        testsupport::writeFile(inSend(name), content);
        setMtime(inSend(name), mtime);
    }
    std::string snapshotNames() const
    {
        std::string out;
        for (const DirListRecord& r : watch.snapshot())
            out += (out.empty() ? "" : ",") + std::string(r.findData.cFileName);
        return out;
    }
    const DirListRecord* snap(const std::string& name) const
    {
        for (const DirListRecord& r : watch.snapshot()) {
            if (name == r.findData.cFileName)
                return &r;
        }
        return nullptr;
    }
    // Runs one check and returns what it printed.
    std::string check()
    {
        testing::internal::CaptureStdout();
        watch.checkFolder();
        return testing::internal::GetCapturedStdout();
    }

    TempDir work;
    std::unique_ptr<ScopedChdir> cd;
    std::unique_ptr<TestSettings> settings;
    std::string send;
    Recorder rec;
    CFolderWatch watch;
};

// --- dirlist.dat ---------------------------------------------------------

TEST_F(FolderWatch, SnapshotFileHoldsRawRecordsAndReadsBack)
{
    EXPECT_TRUE(testsupport::exists(inSend("YUVO/dirlist.dat"))); // made empty by loadList
    put("a.txt", "hello", 1500000000);
    put("b.txt", "hi", 1500000100);
    check();
    const std::string bytes = testsupport::readFile(watch.listPath());
    ASSERT_EQ(bytes.size(), 2u * 344);
    DWORD v;
    std::memcpy(&v, bytes.data() + 0, 4);
    EXPECT_EQ(v, 0u); // plain file
    EXPECT_EQ(bytes.substr(4, 20), std::string(20, '\0'));
    std::memcpy(&v, bytes.data() + 56, 4);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(std::string(bytes.data() + 68), "a.txt");
    // 1500000000 s after 1970 in 100 ns units after 1601.
    std::uint64_t ft;
    std::memcpy(&ft, bytes.data() + 44, 8);
    EXPECT_EQ(ft, (1500000000ull + 11644473600ull) * 10000000ull);
    EXPECT_EQ(std::string(bytes.data() + 344 + 68), "b.txt");

    CFolderWatch other;
    other.setFolder(send.c_str());
    other.loadList();
    ASSERT_EQ(other.snapshot().size(), 2u);
    EXPECT_EQ(std::memcmp(other.snapshot().data(), bytes.data(), bytes.size()), 0);
}

TEST_F(FolderWatch, PartialTailIsDroppedAndUnterminatedNamesAreCut)
{
    std::string bytes(700, '\0');
    std::memcpy(&bytes[68], "one", 3);
    std::memset(&bytes[344 + 68], 'x', 260); // no terminating zero in the field
    testsupport::writeFile(watch.listPath(), bytes);
    testing::internal::CaptureStdout();
    watch.loadList();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(watch.snapshot().size(), 2u);
    EXPECT_STREQ(watch.snapshot()[0].findData.cFileName, "one");
    EXPECT_EQ(std::strlen(watch.snapshot()[1].findData.cFileName), 259u);
    EXPECT_EQ(count(out, "12 trailing bytes"), 1);
}

TEST_F(FolderWatch, EmptyFolderDeletesEverySnapshotRecordInOrder)
{
    put("c.txt", "3");
    put("a.txt", "1");
    put("b.txt", "2");
    check();
    // A snapshot in an order of its own, as an older run may have left it.
    std::vector<DirListRecord> order(watch.snapshot().rbegin(), watch.snapshot().rend());
    testsupport::writeFile(watch.listPath(), std::string(reinterpret_cast<const char*>(order.data()),
                                                         order.size() * sizeof(DirListRecord)));
    watch.loadList();
    for (const char* n : {"a.txt", "b.txt", "c.txt"})
        unlink(inSend(n).c_str());
    rec.heard.clear();
    check();
    EXPECT_EQ(names(rec.heard, CATALOG_STATE_DELETED), "c.txt,b.txt,a.txt");
    EXPECT_TRUE(watch.snapshot().empty());
    EXPECT_EQ(testsupport::readFile(watch.listPath()).size(), 0u);
}

// --- new, changed, removed --------------------------------------------------

TEST_F(FolderWatch, RegistersNewFilesOnceInListingOrder)
{
    put("b.txt", "bb");
    put("a.txt", "a");
    put("notes.LNK", "not a shortcut");
    check();
    ASSERT_EQ(rec.heard.size(), 3u);
    EXPECT_EQ(names(rec.heard, CATALOG_STATE_NEW), "a.txt,b.txt,notes.LNK");
    EXPECT_EQ(rec.heard[1].size, 2u);
    EXPECT_EQ(rec.heard[2].isLink, 0u);

    CatalogRecord r;
    ASSERT_TRUE(CCatalog::getInstance()->findRec("a.txt", "nodeA", &r));
    EXPECT_EQ(r.isLink, 0u);
    EXPECT_STREQ(r.partyName, "party");
    EXPECT_EQ(r.complete, 1u);

    rec.heard.clear();
    check();
    check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(snapshotNames(), "a.txt,b.txt,notes.LNK");
}

TEST_F(FolderWatch, AddsThenRemovesThenChangesInOneCheck)
{
    put("keep.txt", "k");
    put("gone1.txt", "g");
    put("gone2.txt", "g");
    put("edit.txt", "e", 1500000000);
    check();
    rec.heard.clear();
    unlink(inSend("gone2.txt").c_str());
    unlink(inSend("gone1.txt").c_str());
    put("edit.txt", "edited", 1500000500);
    put("new2.txt", "n");
    put("new1.txt", "n");
    check();
    std::string order;
    for (const Heard& h : rec.heard)
        order += h.name + ":" + std::to_string(h.state) + " ";
    EXPECT_EQ(order, "new1.txt:1 new2.txt:1 gone1.txt:2 gone2.txt:2 edit.txt:3 ");
    EXPECT_EQ(rec.heard.back().size, 6u);
    EXPECT_EQ(snapshotNames(), "edit.txt,keep.txt,new1.txt,new2.txt");
}

TEST_F(FolderWatch, ChangeIsReportedOnceAndSnapshotTakesTheNewTime)
{
    put("f.txt", "v1", 1500000000);
    check();
    rec.heard.clear();
    setMtime(inSend("f.txt"), 1500000600);
    check();
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_UPDATED);
    EXPECT_EQ(fileTimeToU64(snap("f.txt")->findData.ftLastWriteTime),
              (1500000600ull + 11644473600ull) * 10000000ull);

    // Another file put in its place with an older time is a change as well.
    put("f.txt", "other content", 1400000000);
    rec.heard.clear();
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].size, 13u);
}

// --- files still being written ------------------------------------------

TEST_F(FolderWatch, NewFileHeldOpenForWritingWaitsUntilClosed)
{
    put("early.txt", "x");
    check(); // the snapshot is not empty for the second half
    for (int round = 0; round < 2; ++round) {
        const std::string name = round == 0 ? "copying.bin" : "copying2.bin";
        rec.heard.clear();
        const int fd = open(inSend(name).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "partial", 7), 7);
        check();
        check();
        EXPECT_TRUE(rec.heard.empty());
        EXPECT_EQ(snap(name), nullptr);
        ASSERT_EQ(write(fd, " and the rest", 13), 13);
        close(fd);
        check();
        ASSERT_EQ(rec.heard.size(), 1u) << name;
        EXPECT_EQ(rec.heard[0].size, 20u);
        EXPECT_NE(snap(name), nullptr);
        if (round == 0) {
            // With no snapshot at all the same holds.
            unlink(watch.listPath().c_str());
            watch.loadList();
            ASSERT_TRUE(watch.snapshot().empty());
            for (const char* n : {"early.txt", "copying.bin"})
                unlink(inSend(n).c_str());
        }
    }
}

TEST_F(FolderWatch, ChangeOfABusyFileIsKeptUntilItCanBeReported)
{
    put("doc.txt", "v1", 1500000000);
    check();
    rec.heard.clear();
    const int fd = open(inSend("doc.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "+more", 5), 5);
    check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(snap("doc.txt")->findData.nFileSizeLow, 2u); // the old entry stays
    close(fd);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_UPDATED);
    EXPECT_EQ(rec.heard[0].size, 7u);
    EXPECT_EQ(snap("doc.txt")->findData.nFileSizeLow, 7u);
}

TEST_F(FolderWatch, WithoutLeasesAFileCountsOnceItHasSettled)
{
    CFolderWatch::setUseLeases(false);
    const int fd = open(inSend("slow.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "a", 1), 1);
    check();
    ASSERT_EQ(write(fd, "b", 1), 1);
    check();
    EXPECT_TRUE(rec.heard.empty());
    close(fd);
    check(); // size and time unchanged since the previous check
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].size, 2u);

    // A known file's change also waits for a second look.
    rec.heard.clear();
    put("slow.bin", "abc", 1600000000);
    check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(snap("slow.bin")->findData.nFileSizeLow, 2u);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_UPDATED);
}

TEST_F(FolderWatch, EmptyFileIsRegisteredOnceItHasContent)
{
    put("empty.txt", "");
    check();
    check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(snap("empty.txt"), nullptr);
    put("empty.txt", "now something", 1500000100);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].kind, "new");
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_NEW);

    // An empty entry that an older snapshot took in is registered as new
    // too, not handed on as an update of something never registered.
    put("old.txt", "", 1500000000);
    DirListRecord r{};
    r.findData.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    r.findData.ftLastWriteTime = FILETIME{0, 0};
    std::strcpy(r.findData.cFileName, "old.txt");
    std::string bytes = testsupport::readFile(watch.listPath());
    bytes.append(reinterpret_cast<const char*>(&r), sizeof r);
    testsupport::writeFile(watch.listPath(), bytes);
    watch.loadList();
    put("old.txt", "grown", 1500000200);
    rec.heard.clear();
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "old.txt");
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_NEW);
}

// --- what is never scanned ------------------------------------------------

TEST_F(FolderWatch, HiddenFilesFoldersAndFifosAreLeftOut)
{
    put(".hidden", "h");
    ASSERT_EQ(mkdir(inSend("sub").c_str(), 0755), 0);
    testsupport::writeFile(inSend("sub/inner.txt"), "i");
    ASSERT_EQ(mkfifo(inSend("pipe").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((outside() + "/pipe2").c_str(), 0644), 0);
    ASSERT_EQ(symlink((outside() + "/pipe2").c_str(), inSend("pipe.lnk").c_str()), 0);
    ASSERT_EQ(symlink((outside() + "/pipe2").c_str(), inSend("pipe2").c_str()), 0);
    put("plain.txt", "p");
    check(); // would hang here if a FIFO were opened
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "plain.txt");
    EXPECT_EQ(snapshotNames(), "plain.txt");
    EXPECT_TRUE(testsupport::exists(inSend("pipe.lnk")));
}

// --- shortcuts --------------------------------------------------------------

TEST_F(FolderWatch, ShortcutRegistersItsTargetWithFreshData)
{
    testsupport::writeFile(outside() + "/report.txt", "first");
    ASSERT_EQ(symlink((outside() + "/report.txt").c_str(), inSend("r.lnk").c_str()), 0);
    testsupport::writeFile(outside() + "/report.txt", "first, longer");
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "report.txt");
    EXPECT_EQ(rec.heard[0].isLink, 1u);
    EXPECT_EQ(rec.heard[0].size, 13u);
    CatalogRecord r;
    ASSERT_TRUE(CCatalog::getInstance()->findRec("report.txt", "nodeA", &r));
    EXPECT_EQ(r.isLink, 1u);
    EXPECT_EQ(snap("report.txt")->isLink, 1u);

    rec.heard.clear();
    testsupport::writeFile(outside() + "/report.txt", "changed");
    setMtime(outside() + "/report.txt", 1700000000);
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_UPDATED);
    EXPECT_EQ(rec.heard[0].size, 7u);
    EXPECT_EQ(rec.heard[0].isLink, 1u);
}

TEST_F(FolderWatch, ShortcutWhoseTargetIsGoneIsRemovedOnce)
{
    testsupport::writeFile(outside() + "/t.txt", "target");
    ASSERT_EQ(symlink((outside() + "/t.txt").c_str(), inSend("t.lnk").c_str()), 0);
    check();
    rec.heard.clear();
    unlink((outside() + "/t.txt").c_str());
    const std::string out = check() + check() + check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_DELETED);
    EXPECT_EQ(rec.heard[0].isLink, 1u);
    EXPECT_EQ(snap("t.txt"), nullptr);
    EXPECT_TRUE(testsupport::exists(inSend("t.lnk"))); // the shortcut itself stays
    EXPECT_EQ(count(out, "\"t.lnk\""), 0);

    // Back again: registered anew.
    testsupport::writeFile(outside() + "/t.txt", "target");
    rec.heard.clear();
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].state, CATALOG_STATE_NEW);
}

TEST_F(FolderWatch, ShortcutsThatDuplicateANameAreDeleted)
{
    ASSERT_EQ(mkdir((outside() + "/x").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((outside() + "/y").c_str(), 0755), 0);
    testsupport::writeFile(outside() + "/x/same.txt", "from x");
    testsupport::writeFile(outside() + "/y/same.txt", "from y, longer");
    testsupport::writeFile(outside() + "/x/copy.txt", "linked");
    ASSERT_EQ(symlink((outside() + "/x/same.txt").c_str(), inSend("a.lnk").c_str()), 0);
    ASSERT_EQ(symlink((outside() + "/y/same.txt").c_str(), inSend("b.lnk").c_str()), 0);
    ASSERT_EQ(symlink((outside() + "/x/copy.txt").c_str(), inSend("c.lnk").c_str()), 0);
    put("copy.txt", "a plain copy");
    // A dangling shortcut is passed over and stays.
    ASSERT_EQ(symlink((outside() + "/nothing.txt").c_str(), inSend("d.lnk").c_str()), 0);
    const std::string out = check() + check();
    ASSERT_EQ(rec.heard.size(), 2u);
    EXPECT_EQ(rec.heard[0].name, "same.txt");
    EXPECT_EQ(rec.heard[0].size, 6u); // a.lnk, listed first
    EXPECT_EQ(rec.heard[0].isLink, 1u);
    EXPECT_EQ(rec.heard[1].name, "copy.txt");
    EXPECT_EQ(rec.heard[1].isLink, 0u);
    EXPECT_TRUE(testsupport::exists(inSend("a.lnk")));
    EXPECT_FALSE(testsupport::exists(inSend("b.lnk")));
    EXPECT_FALSE(testsupport::exists(inSend("c.lnk")));
    EXPECT_TRUE(testsupport::exists(inSend("d.lnk")));
    EXPECT_TRUE(testsupport::exists(outside() + "/y/same.txt")); // targets are never touched
    EXPECT_TRUE(testsupport::exists(outside() + "/x/copy.txt"));
    EXPECT_EQ(count(out, "deleted"), 2);
}

// --- names Windows nodes cannot take ------------------------------------

TEST_F(FolderWatch, NamesWindowsCannotTakeAreSkippedAndReportedOnce)
{
    const std::vector<std::string> bad = {
        "a?b.txt", "a:b", "back\\slash", "x<y", "y>x", "pipe|", "quote\"", "star*", "dot.",   "blank ",
        "CON",     "con.txt", "Com1.log", "lpt9", "NUL.tar.gz", "aux .txt", "\xF0\x9F\x98\x80.txt", "tab\tx"};
    for (const std::string& n : bad)
        put(n, "content");
    const std::string ok1 = "\xE8\xA1\xA8.txt"; // U+8868, whose second CP932 byte is 0x5C
    const std::string ok2 = "COM10.txt";
    put(ok1, "fine");
    put(ok2, "fine");
    const std::string out = check() + check();
    std::vector<std::string> got;
    for (const Heard& h : rec.heard)
        got.push_back(h.name);
    std::sort(got.begin(), got.end());
    std::vector<std::string> want = {ok2, sjis(ok1.c_str())};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    for (const std::string& n : bad)
        EXPECT_EQ(count(out, "\"" + n + "\" is not shared"), 1) << n;
    EXPECT_EQ(watch.snapshot().size(), 2u);

    // Reported again when it comes back after being gone.
    unlink(inSend("star*").c_str());
    check();
    put("star*", "again");
    EXPECT_EQ(count(check(), "\"star*\""), 1);

    std::string why;
    EXPECT_FALSE(CFolderWatch::isShareableName(std::string(260, 'n'), nullptr, &why));
    EXPECT_NE(why.find("too long"), std::string::npos);
    EXPECT_TRUE(CFolderWatch::isShareableName(std::string(259, 'n'), nullptr, nullptr));
}

TEST_F(FolderWatch, NamesDifferingOnlyInCaseKeepTheFirst)
{
    put("readme.txt", "r");
    check();
    rec.heard.clear();
    put("README.txt", "R"); // listed before readme.txt, but readme.txt was there first
    put("Report.txt", "1");
    put("report.txt", "2");
    const std::string fullWidthUpper = "\xEF\xBC\xA1.txt"; // U+FF21
    const std::string fullWidthLower = "\xEF\xBD\x81.txt"; // U+FF41
    put(fullWidthUpper, "w");
    put(fullWidthLower, "w");
    const std::string out = check() + check();
    EXPECT_EQ(names(rec.heard, CATALOG_STATE_NEW), "Report.txt," + sjis(fullWidthUpper.c_str()));
    EXPECT_TRUE(names(rec.heard, CATALOG_STATE_DELETED).empty());
    EXPECT_EQ(count(out, "\"README.txt\""), 1);
    EXPECT_EQ(count(out, "\"report.txt\""), 1);
    EXPECT_EQ(count(out, "\"" + fullWidthLower + "\""), 1);

    // A rename that changes only the case is a removal and a registration.
    rec.heard.clear();
    for (const std::string& n : {std::string("README.txt"), std::string("report.txt"), fullWidthLower})
        unlink(inSend(n).c_str());
    ASSERT_EQ(rename(inSend("readme.txt").c_str(), inSend("README.txt").c_str()), 0);
    check();
    EXPECT_EQ(names(rec.heard, CATALOG_STATE_NEW), "README.txt");
    EXPECT_EQ(names(rec.heard, CATALOG_STATE_DELETED), "readme.txt");
}

// --- settings, size, listing ----------------------------------------------

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
    settings->partyName = "party";
    check();
    ASSERT_EQ(rec.heard.size(), 1u);
    CatalogRecord r;
    ASSERT_TRUE(CCatalog::getInstance()->findRec("a.txt", "nodeA", &r));
    EXPECT_TRUE(CCatalog::isValidRec(&r));
}

TEST_F(FolderWatch, FilesOf4GiBOrMoreAreSkipped)
{
    const off_t big = off_t(1) << 32;
    put("huge.bin", "");
    ASSERT_EQ(truncate(inSend("huge.bin").c_str(), big), 0);
    put("grows.bin", "small", 1500000000);
    std::string out = check() + check();
    ASSERT_EQ(rec.heard.size(), 1u);
    EXPECT_EQ(rec.heard[0].name, "grows.bin");
    EXPECT_EQ(count(out, "\"huge.bin\""), 1);
    EXPECT_EQ(snap("huge.bin"), nullptr);

    // A registered file that grows past the limit keeps its registration.
    rec.heard.clear();
    ASSERT_EQ(truncate(inSend("grows.bin").c_str(), big + 1), 0);
    setMtime(inSend("grows.bin"), 1600000000);
    out = check() + check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(snap("grows.bin")->findData.nFileSizeLow, 5u);
    EXPECT_EQ(count(out, "\"grows.bin\""), 1);
}

TEST_F(FolderWatch, FolderThatCannotBeListedReportsNothing)
{
    put("a.txt", "a");
    put("b.txt", "b");
    check();
    rec.heard.clear();
    ASSERT_EQ(rename(send.c_str(), (work.path() + "/SEND.away").c_str()), 0);
    const std::string out = check() + check();
    EXPECT_TRUE(rec.heard.empty());
    EXPECT_EQ(watch.snapshot().size(), 2u);
    EXPECT_EQ(count(out, "cannot be listed"), 1);
    ASSERT_EQ(rename((work.path() + "/SEND.away").c_str(), send.c_str()), 0);
    check();
    EXPECT_TRUE(rec.heard.empty());
}

TEST_F(FolderWatch, EnsureSubFolderMakesOneLevelInsideTheBase)
{
    CFolderWatch::ensureSubFolder(work.path().c_str(), "made");
    EXPECT_TRUE(testsupport::exists(work.path() + "/made"));
    CFolderWatch::ensureSubFolder(work.path().c_str(), "made"); // already there: fine
    CFolderWatch::ensureSubFolder((work.path() + "/made").c_str(), "..");
    CFolderWatch::ensureSubFolder((work.path() + "/made").c_str(), "../escape");
    EXPECT_FALSE(testsupport::exists(work.path() + "/escape"));
    CFolderWatch::ensureSubFolder("", "nowhere");
    EXPECT_FALSE(testsupport::exists("nowhere"));
}

} // namespace
