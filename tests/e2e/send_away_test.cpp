// N1's SEND is a mount point whose drive holds its files: a drive not
// there at two starts, one unmounted during a check, one swapped for an
// empty drive of the same device and inode. Nothing is lost anywhere, and
// nothing is written where the drive is not.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class SendAwayTest : public NodesTest {
protected:
    // N1 and N2 linked; N1's SEND and a drive folder beside it, empty.
    void SetUp() override
    {
        n1 = &addNode("N1", "P");
        n2 = &addNode("N2", "P");
        link(*n1, *n2);
        drive = root() + "/drive";
        send = n1->dir() + "/SEND";
        fs::create_directories(drive);
        fs::create_directories(send);
    }
    Node* n1 = nullptr;
    Node* n2 = nullptr;
    std::string drive, send;

    static std::string contentOf(const std::string& name) { return "on the drive: " + name; }
    // A file put on the drive whole before it shows.
    static void put(const std::string& drive, const std::string& name)
    {
        writeFile(drive + "/." + name, contentOf(name));
        fs::rename(drive + "/." + name, drive + "/" + name);
    }
    static std::vector<std::string> names(const std::string& stem, int n)
    {
        std::vector<std::string> out;
        for (int i = 0; i < n; ++i)
            out.push_back(stem + std::to_string(i) + ".txt");
        return out;
    }
    // N2 holds each of N1's files whole and live.
    static bool holds(Node& n2, const std::vector<std::string>& files)
    {
        const auto cat = n2.catalog();
        for (const std::string& f : files) {
            const CatalogEntry* e = findEntry(cat, "N1", f);
            if (!e || e->state == 2 || e->complete != 1 || readFile(n2.recvPath("N1", f)) != contentOf(f))
                return false;
        }
        return true;
    }
    static bool registered(Node& n1, const std::vector<std::string>& files)
    {
        const auto cat = n1.catalog();
        for (const std::string& f : files) {
            const CatalogEntry* e = findEntry(cat, "N1", f);
            if (!e || e->state == 2)
                return false;
        }
        return true;
    }
    // How often N1 said that SEND is away.
    static int saidAway(Node& n)
    {
        const std::string out = n.stdoutText(), away = "is not the folder this node knows";
        int count = 0;
        for (std::size_t at = out.find(away); at != std::string::npos; at = out.find(away, at + 1))
            ++count;
        return count;
    }
};

struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
};

TEST_F(SendAwayTest, ADriveNotMountedAtStartLosesNothingAnywhere)
{
    Node& n1 = *this->n1;
    Node& n2 = *this->n2;
    // The drive is a folder bind-mounted onto SEND; where mounting is
    // refused, SEND is a link to it, pointed at an empty folder while the
    // drive is away: to the node the same change of device and inode.
    const bool mounts = ::mount(drive.c_str(), send.c_str(), nullptr, MS_BIND, nullptr) == 0;
    const auto attach = [&](bool on) {
        if (mounts) {
            on ? ::mount(drive.c_str(), send.c_str(), nullptr, MS_BIND, nullptr) : ::umount2(send.c_str(), 0);
            return;
        }
        fs::remove_all(send);
        fs::create_directories(root() + "/bare");
        fs::create_directory_symlink(on ? drive : root() + "/bare", send);
    };
    const struct Unmount {
        std::function<void()> f;
        ~Unmount() { f(); }
    } unmount{[&] { attach(false); }};
    if (!mounts)
        attach(true);
    const std::vector<std::string> files = names("file", 20);
    const auto n2Holds = [&](const std::vector<std::string>& these) { return holds(n2, these); };
    ASSERT_TRUE(startNodes({&n1, &n2}));
    for (const std::string& f : files)
        put(drive, f);
    ASSERT_TRUE(waitFor("the 20 files at N2", [&] { return n2Holds(files); }, 180s));
    ASSERT_NE(n1.terminate(90s), -1);

    // Each start's first check says that SEND is away (an older node deleted
    // the registrations instead); the node ends within seconds of its start.
    attach(false);
    const auto said = [&] { return saidAway(n1); };
    n1.start();
    waitUntil([&] { return said() == 1 || (!n1.catalog().empty() && n1.catalog()[0].state == 2); }, 60s);
    ASSERT_NE(n1.terminate(90s), -1);
    n1.start();
    waitUntil([&] { return said() == 2; }, 5s);
    n1.kill();
    EXPECT_EQ(said(), 2);
    EXPECT_TRUE(fs::is_empty(send)) << "nothing written into SEND without its drive";

    attach(true);
    n1.start();
    put(drive, "marker.txt");
    ASSERT_TRUE(waitFor("a file put in after the drive came back at N2", [&] { return n2Holds({"marker.txt"}); },
                        180s));
    for (const std::string& f : files)
        EXPECT_EQ(readFile(drive + "/" + f), contentOf(f)) << "gone from the drive";
    EXPECT_TRUE(n2Holds(files));
    ASSERT_NE(n1.terminate(90s), -1);
}

// The drive is unmounted (lazily, as a user's umount -l) at the moment a
// check opens the first of the files new on it: that check goes on with
// the drive it opened, the next one finds SEND away; every registration
// stays, N2 keeps every file, and nothing is written onto the bare mount
// point. Back, the drive goes on.
TEST_F(SendAwayTest, ADriveUnmountedWhileACheckRunsLosesNothing)
{
    Node& n1 = *this->n1;
    Node& n2 = *this->n2;
    if (::mount(drive.c_str(), send.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no bind mounts here";
    const Unmount unmount{send};
    const std::vector<std::string> old = names("old", 20), fresh = names("new", 10);
    for (const std::string& f : old)
        put(drive, f);
    ASSERT_TRUE(startNodes({&n1, &n2}));
    ASSERT_TRUE(waitFor("the 20 files at N2", [&] { return holds(n2, old); }, 180s));

    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, drive.c_str(), IN_OPEN), 0);
    for (const std::string& f : fresh)
        put(drive, f);
    bool opened = false;
    alignas(struct inotify_event) char buf[4096];
    for (struct pollfd p{watch, POLLIN, 0}; !opened && ::poll(&p, 1, 60000) == 1;) {
        const ssize_t n = ::read(watch, buf, sizeof buf);
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
            opened = opened || (e->len > 0 && std::string(e->name).rfind("new", 0) == 0);
            at += ssize_t(sizeof *e + e->len);
        }
    }
    ::close(watch);
    ASSERT_TRUE(opened) << "no check opened a new file";
    ASSERT_EQ(::umount2(send.c_str(), MNT_DETACH), 0);

    ASSERT_TRUE(waitFor("N1 saying that SEND is away", [&] { return saidAway(n1) == 1; }, 60s));
    EXPECT_TRUE(registered(n1, old));
    EXPECT_TRUE(holds(n2, old));
    EXPECT_TRUE(fs::is_empty(send)) << "nothing written onto the bare mount point";

    ASSERT_EQ(::mount(drive.c_str(), send.c_str(), nullptr, MS_BIND, nullptr), 0);
    put(drive, "back.txt");
    ASSERT_TRUE(waitFor("a file put in after the drive came back at N2", [&] { return holds(n2, {"back.txt"}); },
                        180s));
    EXPECT_TRUE(holds(n2, old));
    EXPECT_EQ(saidAway(n1), 1);
}

// SEND's drive (a tmpfs) is swapped under the running node for an empty
// one, which gets the same device and inode: without the node's snapshot it
// is away and gets nothing; the notice says what the user can do. A file the
// user puts into it does not make it SEND; the one act the notice names
// does: the file reaches N2, and N2 keeps every file of the old drive.
TEST_F(SendAwayTest, AnEmptyDriveOfTheSameIdentityIsAwayUntilItsUserTakesItWhichCostsNoCopy)
{
    Node& n1 = *this->n1;
    Node& n2 = *this->n2;
    if (::mount("drive-a", send.c_str(), "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "no tmpfs mounts here";
    const Unmount unmount{send};
    const std::vector<std::string> files = names("file", 10);
    for (const std::string& f : files)
        put(send, f);
    ASSERT_TRUE(startNodes({&n1, &n2}));
    ASSERT_TRUE(waitFor("the 10 files at N2", [&] { return holds(n2, files); }, 180s));

    struct stat a {}, b {};
    ASSERT_EQ(::stat(send.c_str(), &a), 0);
    // A check may hold the drive open for a moment.
    ASSERT_TRUE(waitUntil([&] { return ::umount2(send.c_str(), 0) == 0; }, 10s, 50ms));
    ASSERT_EQ(::mount("drive-b", send.c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(::stat(send.c_str(), &b), 0);
    std::printf("e2e: drive A %ju:%ju, drive B %ju:%ju\n", uintmax_t(a.st_dev), uintmax_t(a.st_ino),
                uintmax_t(b.st_dev), uintmax_t(b.st_ino));
    ASSERT_TRUE(waitFor("N1 saying that SEND is away", [&] { return saidAway(n1) == 1; }, 60s));
    EXPECT_TRUE(waitFor("the notice of what the user can do", [&] {
        return readFile(n1.stderrLog()).find("SEND/YUVO/use-this-folder という名前のファイルを作って") != std::string::npos;
    }, 10s));
    put(send, "mine.txt");
    waitUntil([] { return false; }, 12s); // two more checks
    EXPECT_EQ(saidAway(n1), 1);
    EXPECT_TRUE(registered(n1, files));
    EXPECT_TRUE(holds(n2, files));
    EXPECT_EQ(fs::directory_iterator(send)->path().filename(), "mine.txt") << "nothing written onto drive B";

    fs::create_directories(send + "/YUVO");
    writeFile(send + "/YUVO/use-this-folder", "");
    ASSERT_TRUE(waitFor("the user's file at N2", [&] { return holds(n2, {"mine.txt"}); }, 180s));
    EXPECT_NE(n1.stdoutText().find("10 registration(s) of files not in it stand"), std::string::npos);
    EXPECT_FALSE(fs::exists(send + "/YUVO/use-this-folder"));
    waitUntil([] { return false; }, 25s); // a poll of N2 after the next checks
    EXPECT_TRUE(registered(n1, files));
    EXPECT_TRUE(holds(n2, files)) << "the old drive's files kept at N2";
}

} // namespace
} // namespace e2e
