// The node's own files follow SEND, never the other way round: a file put
// back into SEND while its old registration waits, deleted, for the
// compaction stays and is registered anew; and files removed from SEND
// while the catalog was only in memory (-CATALOGCASH) are deleted from the
// catalog, and to the neighbours, at the next start after a kill, however
// far the SEND snapshot had got; files deleted from SEND while such a node
// was down after a kill are dropped by its neighbours.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class OwnFilesTest : public NodesTest {};

// The plain names SEND/YUVO/dirlist.dat lists: 344-byte records, each name
// NUL-terminated at byte 68.
std::set<std::string> snapshotNames(const Node& n)
{
    constexpr std::size_t kRecord = 344, kName = 68, kNameWidth = 260;
    const std::string bytes = readFile(n.dir() + "/SEND/YUVO/dirlist.dat");
    std::set<std::string> names;
    for (std::size_t off = 0; off + kRecord <= bytes.size(); off += kRecord) {
        const char* p = bytes.data() + off + kName;
        std::size_t len = 0;
        while (len < kNameWidth && p[len] != '\0')
            ++len;
        names.emplace(p, len);
    }
    return names;
}

std::uint32_t stateOf(const std::vector<CatalogEntry>& cat, const std::string& file)
{
    const CatalogEntry* e = findEntry(cat, "N1", file);
    return e ? e->state : 0;
}

bool live(std::uint32_t state)
{
    return state == 1 || state == 3;
}

void moveFile(const std::string& from, const std::string& to)
{
    fs::rename(from, to); // throws, and so fails the case, when it cannot
}

TEST_F(OwnFilesTest, AFileThatCameBackIntoSendIsKeptAndRegisteredAnew)
{
    Node& n1 = addNode("N1", "P");
    Node& absent = addNode("N2", "P"); // listed, never started: N1 runs online
    n1.addRow(absent);
    ASSERT_TRUE(startNodes({&n1}));

    const std::string first = "version 1";
    const std::string second = "version 2, rewritten";
    const std::string unchanged = "moved out and back, unchanged";
    n1.putFile("report.txt", first);
    n1.putFile("kept.txt", unchanged);
    ASSERT_TRUE(waitFor("both registered", [&] {
        const auto cat = n1.catalog();
        return stateOf(cat, "report.txt") == 1 && stateOf(cat, "kept.txt") == 1;
    }, 60s));

    // Both leave SEND for a folder beside it. The check that misses them
    // marks their registrations deleted; the compaction (every 5 s) drops
    // those records soon after, so the deleted state is caught by polling
    // fast. Should the compaction win the race, the files go back, are
    // registered again, and the round is tried once more.
    const std::string aside = n1.dir() + "/aside";
    fs::create_directories(aside);
    bool caught = false;
    auto movedOut = Clock::now();
    for (int round = 1; round <= 3 && !caught; ++round) {
        movedOut = Clock::now();
        moveFile(n1.sendPath("report.txt"), aside + "/report.txt");
        moveFile(n1.sendPath("kept.txt"), aside + "/kept.txt");
        bool dropped = false;
        const bool settled = waitUntil(
            [&] {
                const auto cat = n1.catalog();
                const std::uint32_t r = stateOf(cat, "report.txt"), k = stateOf(cat, "kept.txt");
                caught = r == 2 && k == 2;
                dropped = r == 0 || k == 0;
                return caught || dropped || n1.diedUnexpectedly();
            },
            30s, 20ms);
        ASSERT_TRUE(settled) << "the registrations of the files moved out were not deleted within 30 s";
        ASSERT_FALSE(n1.diedUnexpectedly());
        if (caught)
            break;
        std::printf("e2e: round %d: the compaction dropped the records before they were seen deleted\n", round);
        moveFile(aside + "/report.txt", n1.sendPath("report.txt"));
        moveFile(aside + "/kept.txt", n1.sendPath("kept.txt"));
        ASSERT_TRUE(waitFor("both registered again", [&] {
            const auto cat = n1.catalog();
            return stateOf(cat, "report.txt") == 1 && stateOf(cat, "kept.txt") == 1;
        }, 60s));
    }
    ASSERT_TRUE(caught) << "the deleted registrations were never seen before the compaction";
    std::printf("e2e: both seen deleted after %.1f s\n", secondsSince(movedOut));

    // At once, while the deleted records still wait for the compaction: a new
    // report.txt of another size, and kept.txt back as it was (same size
    // and last write).
    n1.putFile("report.txt", second);
    moveFile(aside + "/kept.txt", n1.sendPath("kept.txt"));

    // Either both are registered anew, or the compaction took a file: the
    // wait ends at whichever comes first.
    const auto registeredAnew = [&] {
        const auto cat = n1.catalog();
        const CatalogEntry* r = findEntry(cat, "N1", "report.txt");
        return r && r->state == 1 && r->sizeLow == second.size() && stateOf(cat, "kept.txt") == 1;
    };
    const auto fileGone = [&] {
        return !exists(n1.sendPath("report.txt")) || !exists(n1.sendPath("kept.txt"));
    };
    ASSERT_TRUE(waitFor("both registered anew, or a file gone", [&] { return registeredAnew() || fileGone(); },
                        60s));
    EXPECT_EQ(readFile(n1.sendPath("report.txt")), second) << "the user's new report.txt was deleted";
    EXPECT_EQ(readFile(n1.sendPath("kept.txt")), unchanged) << "kept.txt, moved back, was deleted";
    EXPECT_TRUE(registeredAnew());
    if (HasFailure())
        return;

    // Two more compactions change nothing.
    waitUntil(fileGone, 12s);
    EXPECT_EQ(readFile(n1.sendPath("report.txt")), second);
    EXPECT_EQ(readFile(n1.sendPath("kept.txt")), unchanged);
    EXPECT_TRUE(registeredAnew());
    EXPECT_NE(n1.terminate(90s), -1);
}

TEST_F(OwnFilesTest, AfterAKillWithTheCatalogInMemoryDeletionsAreRegisteredAtTheNextStart)
{
    Node& n1 = addNode("N1", "P");
    Node& absent = addNode("N2", "P"); // listed, never started: its queue keeps what is sent to it
    n1.addRow(absent);
    const std::vector<std::string> cashMode = {"-D386", "-CATALOGCASH"};
    const std::string queuePath = n1.dir() + "/CATALOG/N2.dat";

    std::vector<std::string> removed, kept;
    for (int i = 0; i < 30; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "file%02d.txt", i);
        (i < 20 ? removed : kept).push_back(name);
    }
    const auto contentOf = [](const std::string& name) { return "content of " + name; };
    const auto upAndListening = [&] { return exists(n1.dir() + "/SEND") && accepts(n1.port()); };

    // First run: the 30 files are registered and catalog.dat written at the
    // clean end.
    n1.start(cashMode);
    ASSERT_TRUE(waitFor("N1 up", upAndListening, 60s));
    for (const auto* names : {&removed, &kept})
        for (const std::string& f : *names)
            n1.putFile(f, contentOf(f));
    ASSERT_TRUE(waitFor("all 30 in the snapshot", [&] {
        const auto listed = snapshotNames(n1);
        for (const auto* names : {&removed, &kept})
            for (const std::string& f : *names)
                if (!listed.count(f))
                    return false;
        return true;
    }, 60s));
    ASSERT_NE(n1.terminate(90s), -1);
    {
        const auto cat = n1.catalog();
        for (const auto* names : {&removed, &kept})
            for (const std::string& f : *names)
                ASSERT_EQ(stateOf(cat, f), 1u) << f << " after the clean end of the first run";
    }

    // Second run: 20 files leave SEND; the snapshot says so, catalog.dat
    // (written only at a clean end) does not, and the node is killed.
    n1.start(cashMode);
    ASSERT_TRUE(waitFor("N1 up again", upAndListening, 60s));
    for (const std::string& f : removed)
        n1.removeFile(f);
    ASSERT_TRUE(waitFor("the 20 gone from the snapshot", [&] {
        const auto listed = snapshotNames(n1);
        for (const std::string& f : removed)
            if (listed.count(f))
                return false;
        for (const std::string& f : kept)
            if (!listed.count(f))
                return false;
        return true;
    }, 60s));
    n1.kill();
    {
        const auto cat = n1.catalog();
        for (const std::string& f : removed)
            ASSERT_EQ(stateOf(cat, f), 1u) << f << ": catalog.dat was expected to lag behind the snapshot";
    }
    // Whatever the killed run queued goes, so that only the next run's
    // deletions can be found there.
    fs::remove(queuePath);

    // Third run: the first check makes the catalog follow SEND.
    n1.start(cashMode);
    ASSERT_TRUE(waitFor("N1 up a third time", upAndListening, 60s));
    const auto deletionsQueued = [&] {
        const auto queue = readCatalog(queuePath);
        for (const std::string& f : removed)
            if (stateOf(queue, f) != 2)
                return false;
        return true;
    };
    const bool queued = waitUntil([&] { return deletionsQueued() || n1.diedUnexpectedly(); }, 30s);
    ASSERT_FALSE(n1.diedUnexpectedly()) << "N1 ended unexpectedly (status " << n1.exitStatus() << ")";
    std::printf("e2e: deletions queued to N2: %s\n", queued ? "yes" : "not within 30 s");
    ASSERT_NE(n1.terminate(90s), -1);

    // Each check names the files it fails for, in one line.
    const auto namesWhere = [](const std::vector<std::string>& names,
                               const std::function<bool(const std::string&)>& bad) {
        std::string out;
        for (const std::string& f : names)
            if (bad(f))
                out += (out.empty() ? "" : " ") + f;
        return out;
    };
    const auto cat = n1.catalog();
    const auto queue = readCatalog(queuePath);
    EXPECT_EQ(namesWhere(removed, [&](const std::string& f) { return live(stateOf(cat, f)); }), "")
        << "still registered in catalog.dat, though they left SEND";
    EXPECT_EQ(namesWhere(kept, [&](const std::string& f) { return stateOf(cat, f) != 1; }), "")
        << "no longer registered in catalog.dat, though they are in SEND";
    EXPECT_EQ(namesWhere(removed, [&](const std::string& f) { return stateOf(queue, f) != 2; }), "")
        << "no deletion queued to N2";
    EXPECT_EQ(namesWhere(kept, [&](const std::string& f) { return readFile(n1.sendPath(f)) != contentOf(f); }), "")
        << "gone from SEND or changed";
}

// N1 runs with -CATALOGCASH, so a kill loses every registration since its
// last orderly end; its snapshot still lists the files. Those deleted from
// SEND while it is down are deleted at the neighbour after the restart.
TEST_F(OwnFilesTest, FilesDeletedWhileANodeKilledUnderCatalogCashWasDownLeaveItsNeighbours)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    link(n1, n2);
    const std::vector<std::string> cashMode = {"-D386", "-CATALOGCASH"};
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i)
        names.push_back("file" + std::to_string(i) + ".txt");
    const std::vector<std::string> removed(names.begin(), names.begin() + 12), kept(names.begin() + 12, names.end());
    const auto atN2 = [&](const std::vector<std::string>& files, bool whole) {
        const auto cat = n2.catalog();
        for (const std::string& f : files) {
            const CatalogEntry* e = findEntry(cat, "N1", f);
            const bool held = e && live(e->state) && e->complete == 1 && exists(n2.recvPath("N1", f));
            if (held != whole || (!whole && exists(n2.recvPath("N1", f))))
                return false;
        }
        return true;
    };
    n1.start(cashMode);
    n2.start();
    ASSERT_TRUE(waitFor("both up", [&] { return n1.ready() && n2.ready(); }, 60s));
    for (const std::string& f : names)
        n1.putFile(f, "content of " + f);
    ASSERT_TRUE(waitFor("the 30 files at N2 and in N1's snapshot",
                        [&] { return atN2(names, true) && snapshotNames(n1).size() >= 30; }, 180s));
    n1.kill();
    for (const std::string& f : removed)
        n1.removeFile(f);
    n1.start(cashMode);
    ASSERT_TRUE(waitFor("the 12 deleted at N2", [&] { return atN2(removed, false); }, 180s));
    ASSERT_TRUE(waitFor("the other 18 still at N2", [&] { return atN2(kept, true); }, 180s));
    EXPECT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
