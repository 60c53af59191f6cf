// Same history, same bytes: scripted histories of registrations, queue
// traffic and SEND scans, whose resulting catalog.dat, queue files,
// dirlist.dat and change events are pinned by hashes recorded from the
// store before its queue index and its sliced scan existed. Fields that
// come from the clock or the file system (registration and expiry times,
// creation and access times, and so the checksum) are masked where the
// history takes them from there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/catalog_testkit.h"
#include "store/folder_watch.h"

namespace {

using catalogtest::CatalogTest;
using catalogtest::Event;
using catalogtest::makeTime;

struct Hash {
    std::uint64_t h = 1469598103934665603ull;
    void add(const void* data, std::size_t n)
    {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    }
    void add(const std::string& s) { add(s.data(), s.size()); }
};

// The clock and the file system give these fields; everything else is
// compared byte for byte.
CatalogRecord masked(CatalogRecord r)
{
    std::memset(&r.registered, 0, sizeof r.registered);
    std::memset(&r.expires, 0, sizeof r.expires);
    std::memset(&r.findData.ftCreationTime, 0, sizeof r.findData.ftCreationTime);
    std::memset(&r.findData.ftLastAccessTime, 0, sizeof r.findData.ftLastAccessTime);
    r.checkSum = 0;
    return r;
}

DirListRecord masked(DirListRecord r)
{
    std::memset(&r.findData.ftCreationTime, 0, sizeof r.findData.ftCreationTime);
    std::memset(&r.findData.ftLastAccessTime, 0, sizeof r.findData.ftLastAccessTime);
    return r;
}

// Every file of CATALOG (name and bytes, by name), of SEND/YUVO, and the
// events heard, in one hash; records masked when `mask`.
std::uint64_t stateHash(const std::string& root, const std::vector<Event>& events, bool mask)
{
    namespace fs = std::filesystem;
    Hash h;
    for (const char* sub : {"CATALOG", "SEND/YUVO"}) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(root + "/" + sub, ec)) {
            // The journal of in-place writes names its catalog.dat by device
            // and inode: its bytes are the run's own, as are SEND's device
            // and inode and the token of SEND's marker; the marks of
            // deletions asked for came later than the recorded values.
            const std::string name = e.path().filename().string();
            if (name != "catalog.jnl" && name != "SEND.id" && name != "ownDeletions.lst" && name != "owner.id")
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string bytes;
            platform::readWholeFile(root + "/" + sub + "/" + name, bytes);
            h.add(name);
            h.add(std::to_string(bytes.size()));
            if (!mask) {
                h.add(bytes);
            } else if (name == "dirlist.dat") {
                for (std::size_t off = 0; off + sizeof(DirListRecord) <= bytes.size(); off += sizeof(DirListRecord)) {
                    DirListRecord r;
                    std::memcpy(&r, bytes.data() + off, sizeof r);
                    r = masked(r);
                    h.add(&r, sizeof r);
                }
            } else {
                for (std::size_t off = 0; off + sizeof(CatalogRecord) <= bytes.size(); off += sizeof(CatalogRecord)) {
                    CatalogRecord r;
                    std::memcpy(&r, bytes.data() + off, sizeof r);
                    r = masked(r);
                    h.add(&r, sizeof r);
                }
            }
        }
    }
    for (const Event& e : events) {
        h.add(&e.kind, sizeof e.kind);
        h.add(&e.index, sizeof e.index);
        const CatalogRecord r = mask ? masked(e.rec) : e.rec;
        h.add(&r, sizeof r);
    }
    return h.h;
}

std::string hex(std::uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016" PRIx64 "ull", v);
    return buf;
}

// Checkpoint hashes against their recorded values; on a mismatch every
// actual value is printed, so a deliberate change can record them anew.
void expectCheckpoints(const std::vector<std::uint64_t>& got, const std::vector<std::uint64_t>& want)
{
    std::string all;
    for (std::uint64_t v : got)
        all += hex(v) + ", ";
    ASSERT_EQ(got.size(), want.size()) << all;
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(hex(got[i]), hex(want[i])) << "checkpoint " << i << " differs; all: " << all;
}

// --- A history of catalog operations with records of fixed bytes ----------

class CatalogHistory : public CatalogTest {
protected:
    // Fixed registration and expiry, so that every byte is the history's own.
    static CatalogRecord rec(const char* origin, int i, DWORD size, DWORD state = CATALOG_STATE_NEW)
    {
        char name[32];
        std::snprintf(name, sizeof name, "file%02d.txt", i);
        CatalogRecord r = catalogtest::makeRec(origin, name, size, state, "PARTY");
        r.registered = makeTime(2010, 10, 14, 10, 15, 30, 250 + i);
        r.expires = makeTime(2099, 1, 1);
        r.findData.ftLastWriteTime = {DWORD(1000 + i), 30000000};
        CCatalog::setCheckSum(&r);
        return r;
    }

    static CatalogRecord viaB(CatalogRecord r)
    {
        r.hopCount = 1;
        cp932::copyField(r.route[0], CATALOG_NAME_LEN, "NODE_B");
        CCatalog::setCheckSum(&r);
        return r;
    }

    void take(const char* peer, int times)
    {
        CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
        for (int i = 0; i < times; ++i)
            catalog()->takeQueueRecs(peer, out);
    }

    // Marks the queue entries that are these records sent, as the catalog
    // does once the neighbour holds them.
    static void markSent(const std::string& queue, const CatalogRecord* recs, int n)
    {
        std::vector<CatalogRecord> q = catalogtest::readRecords(queue);
        for (int i = 0; i < n; ++i)
            for (CatalogRecord& e : q)
                if (std::memcmp(&e, &recs[i], sizeof e) == 0) {
                    e.pending = 0;
                    CCatalog::setCheckSum(&e);
                    break;
                }
        catalogtest::writeRecords(queue, q);
    }

    void checkpoint() { hashes.push_back(stateHash(dir.path(), listener.events, false)); }

    std::vector<std::uint64_t> hashes;
};

TEST_F(CatalogHistory, QueueFilesCatalogAndEventsComeOutAsRecorded)
{
    for (const char* row : {"NODE_B", "NODE_C", "NODE_D"})
        settings->addRow(row, "TCP", "127.0.0.1");

    // Own registrations, some of them sent to B.
    for (int i = 0; i < 30; ++i) {
        const CatalogRecord r = rec("NODE_A", i, 1000 + i);
        catalog()->addRec(&r);
    }
    take("NODE_B", 2);
    checkpoint();

    // Changes: over a sent entry, the first and last entries, a key not held.
    CatalogRecord u = rec("NODE_A", 0, 2000, CATALOG_STATE_UPDATED);
    u.registered.wSecond = 40;
    catalog()->updateRec(&u);
    for (int i : {15, 29, 77}) {
        const CatalogRecord r = rec("NODE_A", i, 3000 + i, CATALOG_STATE_UPDATED);
        catalog()->updateRec(&r);
    }
    const CatalogRecord del5 = rec("NODE_A", 5, 1005, CATALOG_STATE_DELETED);
    catalog()->deleteRec(&del5);
    // A key registered again: a second queue entry; the change then goes
    // over the first.
    const CatalogRecord again3 = rec("NODE_A", 3, 4003);
    catalog()->addRec(&again3);
    const CatalogRecord upd3 = rec("NODE_A", 3, 5003, CATALOG_STATE_UPDATED);
    catalog()->updateRec(&upd3);
    checkpoint();

    // Another node's records through B: an empty file is complete at once
    // and relayed; a deletion is relayed; queueing one key twice.
    for (int i = 0; i < 5; ++i) {
        const CatalogRecord x = viaB(rec("NODE_X", i, i == 2 ? 0 : 100 + i));
        catalog()->recvNewRec(&x);
    }
    const CatalogRecord xdel = viaB(rec("NODE_X", 1, 101, CATALOG_STATE_DELETED));
    catalog()->recvDeleteRec(&xdel);
    const CatalogRecord x3 = viaB(rec("NODE_X", 3, 103));
    catalog()->queueRec("NODE_C", &x3);
    catalog()->queueRec("NODE_C", &x3);
    // The last two entries of an answer reached the neighbour before the
    // link went; the others wait again.
    CatalogRecord taken[CCatalog::MAX_TAKE_RECORDS];
    std::uint64_t batch = 0;
    const int n = catalog()->takeQueueRecs("NODE_C", taken, &batch);
    ASSERT_GE(n, 2);
    catalog()->releaseQueueRecs(batch);
    markSent(queueFile("NODE_C"), taken + n - 2, 2);
    checkpoint();

    // Synchronisation requests, and a rename to a new name.
    catalog()->syncTo("NODE_D", 1, SYSTEMTIME{});
    catalog()->syncTo("NODE_B", 2, makeTime(2010, 10, 14, 0, 0, 0, 0));
    catalog()->renameQueue("NODE_D", "NODE_E");
    settings->setRecName(2, "NODE_E");
    const CatalogRecord r30 = rec("NODE_A", 30, 1030);
    catalog()->addRec(&r30);
    checkpoint();

    // Queue files changed behind the catalog's back: C removed, a partial
    // record at B's end, E replaced by an older copy of itself.
    const std::string olderE = testsupport::readFile(queueFile("NODE_E"));
    ASSERT_TRUE(platform::deleteFile(queueFile("NODE_C")));
    testsupport::writeFile(queueFile("NODE_B"), testsupport::readFile(queueFile("NODE_B")) + "partial");
    for (int i : {15, 16}) {
        const CatalogRecord r = rec("NODE_A", i, 6000 + i, CATALOG_STATE_UPDATED);
        catalog()->updateRec(&r);
    }
    testsupport::writeFile(queueFile("NODE_E"), olderE.substr(0, 40 * sizeof(CatalogRecord)));
    const CatalogRecord r31 = rec("NODE_A", 31, 1031);
    catalog()->addRec(&r31);
    const CatalogRecord r17 = rec("NODE_A", 17, 6017, CATALOG_STATE_UPDATED);
    catalog()->updateRec(&r17);
    const CatalogRecord x4 = viaB(rec("NODE_X", 4, 204, CATALOG_STATE_DELETED));
    catalog()->recvDeleteRec(&x4);
    checkpoint();

    // Emptied by takes (the file goes), then a change makes it anew; then
    // the compaction, a local deletion and a row added.
    take("NODE_B", 20);
    const CatalogRecord r18 = rec("NODE_A", 18, 6018, CATALOG_STATE_UPDATED);
    catalog()->updateRec(&r18);
    catalog()->compactList();
    const CatalogRecord local7 = rec("NODE_A", 7, 1007, CATALOG_STATE_DELETED);
    catalog()->deleteRecLocal(&local7);
    settings->addRow("NODE_F", "TCP", "127.0.0.1");
    const CatalogRecord r32 = rec("NODE_A", 32, 1032);
    catalog()->addRec(&r32);
    const CatalogRecord r19 = rec("NODE_A", 19, 6019, CATALOG_STATE_UPDATED);
    catalog()->updateRec(&r19);
    take("NODE_E", 3);
    checkpoint();

    expectCheckpoints(hashes, {0xb1aa6b60a3fce39dull, 0xa549af02089150e9ull, 0xc60ba2b1ea889493ull,
                               0xda2dc3f396961054ull, 0x5a736a17574ea5fcull, 0x8726cb058b0d1b59ull});
}

// --- Histories of the SEND scan -------------------------------------------

// Each history runs with checks made at once and with checks made in steps
// (the listing on a worker, then records handed on a few at a time).
class ScanHistory : public CatalogTest, public testing::WithParamInterface<std::size_t> {
protected:
    void SetUp() override
    {
        CatalogTest::SetUp();
        CFolderWatch::setUseLeases(true);
        for (const char* row : {"NODE_B", "NODE_C"})
            settings->addRow(row, "TCP", "127.0.0.1");
    }

    std::string path(int i) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "%s/f%03d.dat", sendDir().c_str(), i);
        return name;
    }

    void put(int i, long mtime, std::size_t size)
    {
        testsupport::writeFile(path(i), std::string(size, char('a' + i % 26)));
        const struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path(i).c_str(), ts, 0), 0);
    }

    void check()
    {
        CFolderWatch watch;
        watch.setFolder(sendDir().c_str());
        watch.loadList();
        const std::size_t step = GetParam();
        if (step == 0) {
            watch.checkFolder();
            return;
        }
        ASSERT_TRUE(watch.startCheck());
        do
            watch.waitForWorker();
        while (watch.continueCheck(std::chrono::steady_clock::time_point::max(), step));
    }

    void checkpoint() { hashes.push_back(stateHash(dir.path(), listener.events, true)); }

    std::vector<std::uint64_t> hashes;
};

INSTANTIATE_TEST_SUITE_P(AtOnceAndInSteps, ScanHistory, testing::Values(std::size_t(0), std::size_t(7)));

TEST_P(ScanHistory, RegistrationsChangesAndRemovalsComeOutAsRecorded)
{
    catalog();
    for (int i = 0; i < 120; ++i)
        put(i, 1500000000 + i, 100 + std::size_t(i));
    put(120, 1500000000, 0); // empty: known, never registered
    check();
    checkpoint();

    for (int i = 10; i < 20; ++i)
        put(i, 1500001000 + i, 300 + std::size_t(i));
    for (int i = 40; i < 45; ++i)
        ASSERT_TRUE(platform::deleteFile(path(i)));
    for (int i = 200; i < 205; ++i)
        put(i, 1500002000 + i, 50);
    put(120, 1500003000, 10); // the empty file got content
    check();
    checkpoint();

    expectCheckpoints(hashes, {0x57999deef79faa23ull, 0xd9956b3d566c5b06ull});
}

// A node killed in the middle of registering a large batch: catalog.dat and
// the queues hold the first 100 registrations, dirlist.dat the snapshot from
// before the batch. The next start registers the rest of the batch; the
// first 100 keep their registrations as they are (recorded anew when files
// that match their registration stopped being registered again).
TEST_P(ScanHistory, ABatchCutShortByAKillIsRegisteredWholeAtTheNextStart)
{
    namespace fs = std::filesystem;
    catalog();
    if (GetParam() == 0) {
        // At once, a kill can only be staged: 100 files registered, the
        // snapshot of that check lost, then the rest of the batch.
        for (int i = 0; i < 100; ++i)
            put(i, 1500000000 + i, 100 + std::size_t(i));
        check();
        testsupport::writeFile(sendDir() + "/YUVO/dirlist.dat", "");
        CCatalog::releaseInstance();
        for (int i = 100; i < 300; ++i)
            put(i, 1500000000 + i, 100 + std::size_t(i));
    } else {
        // In steps: the node dies between two steps, after 100 records; what
        // it leaves is what the folders hold at that moment.
        for (int i = 0; i < 300; ++i)
            put(i, 1500000000 + i, 100 + std::size_t(i));
        const std::string saved = dir.path() + "/at-the-kill";
        {
            CFolderWatch watch;
            watch.setFolder(sendDir().c_str());
            watch.loadList();
            ASSERT_TRUE(watch.startCheck());
            watch.waitForWorker();
            ASSERT_TRUE(watch.continueCheck(std::chrono::steady_clock::time_point::max(), 100));
            ASSERT_EQ(catalog()->getRecCount(), 100);
            fs::create_directories(saved);
            fs::copy(dir.path() + "/CATALOG", saved + "/CATALOG");
            fs::copy(sendDir() + "/YUVO", saved + "/YUVO");
        }
        CCatalog::releaseInstance();
        fs::remove_all(dir.path() + "/CATALOG");
        fs::remove_all(sendDir() + "/YUVO");
        fs::rename(saved + "/CATALOG", dir.path() + "/CATALOG");
        fs::rename(saved + "/YUVO", sendDir() + "/YUVO");
        fs::remove_all(saved);
    }
    listener.events.clear();
    catalog();
    checkpoint();

    check();
    checkpoint();

    EXPECT_EQ(catalog()->getRecCount(), 300);
    EXPECT_EQ(catalogtest::readRecords(queueFile("NODE_B")).size(), 300u) << "each registration queued once";
    expectCheckpoints(hashes, {0xf3bb7c0f201e81f0ull, 0x8ef9ce88a967fdb4ull});
}

} // namespace
