// A node "NODE_A" of party "PARTY" in a fresh working directory, a listener
// recording every change event, and record and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/cp932.h"
#include "platform/disk_sync.h"
#include "platform/files.h"
#include "platform/localtime.h"
#include "store/catalog.h"
#include "store/events.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace catalogtest {

struct Event {
    enum Kind { Record, RecordAt, Reset } kind;
    int index;
    CatalogRecord rec;
};

class RecordingListener : public ZQ_EVENTCATALOGLISTENER {
public:
    std::vector<Event> events;
    void onRecord(const CatalogRecord* rec) override { events.push_back({Event::Record, -1, *rec}); }
    void onRecordAt(int i, const CatalogRecord* rec) override { events.push_back({Event::RecordAt, i, *rec}); }
    void onReset() override { events.push_back({Event::Reset, -1, {}}); }
};

inline SYSTEMTIME makeTime(int y, int mo, int d, int h = 10, int mi = 15, int s = 30, int ms = 250)
{
    SYSTEMTIME t {};
    t.wYear = WORD(y);
    t.wMonth = WORD(mo);
    t.wDay = WORD(d);
    t.wHour = WORD(h);
    t.wMinute = WORD(mi);
    t.wSecond = WORD(s);
    t.wMilliseconds = WORD(ms);
    return t;
}

// A record as a peer or the SEND scan would hand it over.
inline CatalogRecord makeRec(const char* origin, const char* file, DWORD size,
                             DWORD state = CATALOG_STATE_NEW, const char* party = "PARTY")
{
    CatalogRecord r;
    std::memset(&r, 0, sizeof r);
    r.recordSize = CATALOG_RECORD_SIZE;
    r.version = CATALOG_RECORD_VERSION;
    r.pending = 1;
    cp932::copyField(r.originNode, CATALOG_NAME_LEN, origin);
    r.state = state;
    r.registered = makeTime(2010, 10, 14);
    r.expires = localTimeDaysFromNow(3);
    r.findData.dwFileAttributes = 0x20;
    r.findData.nFileSizeLow = size;
    cp932::copyField(r.findData.cFileName, MAX_PATH, file);
    cp932::copyField(r.partyName, CATALOG_PARTY_LEN, party);
    CCatalog::setCheckSum(&r);
    return r;
}

inline std::string fileOf(const CatalogRecord& r)
{
    return std::string(cp932::fieldText(r.findData.cFileName, MAX_PATH));
}

inline std::string bytesOf(const CatalogRecord& r)
{
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

inline std::string bytesOf(const std::vector<CatalogRecord>& v)
{
    std::string s;
    for (const CatalogRecord& r : v)
        s += bytesOf(r);
    return s;
}

inline std::vector<CatalogRecord> readRecords(const std::string& path)
{
    std::string bytes;
    std::vector<CatalogRecord> out;
    if (platform::readWholeFile(path, bytes) && bytes.size() >= sizeof(CatalogRecord)) {
        out.resize(bytes.size() / sizeof(CatalogRecord));
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(CatalogRecord));
    }
    return out;
}

inline void writeRecords(const std::string& path, const std::vector<CatalogRecord>& recs,
                         const std::string& tail = "")
{
    testsupport::writeFile(path, bytesOf(recs) + tail);
}

// A record changed after makeRec, with its checksum made afresh.
inline CatalogRecord summed(CatalogRecord r)
{
    CCatalog::setCheckSum(&r);
    return r;
}

// Runs fn in a child process that then dies at once, as a kill -9 ends a
// node: nothing is saved at the end. The child fails the case by exiting
// with another status.
inline void crashAfter(const std::function<void()>& fn)
{
    std::fflush(stdout);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        fn();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A hook on every sync the catalog runs (see platform::setSyncFault) for the
// life of the object.
class SyncHook {
public:
    explicit SyncHook(std::function<int(const std::string& path)> hook) { platform::setSyncFault(std::move(hook)); }
    ~SyncHook() { platform::setSyncFault({}); }
    SyncHook(const SyncHook&) = delete;
    SyncHook& operator=(const SyncHook&) = delete;
};

// The catalog is made on first use (catalog()), so a test can prepare
// catalog.dat first.
class CatalogTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    RecordingListener listener;

    void SetUp() override
    {
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "NODE_A";
        settings->partyName = "PARTY";
        ZQ_EVENTCATALOG::getInstance()->addListener(&listener);
        // A failed sync is tried again at once, not a second later.
        CCatalog::setSyncRetryDelay(std::chrono::milliseconds(0));
    }

    void TearDown() override
    {
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
        CCatalog::setSyncRetryDelay(std::chrono::milliseconds(1000));
    }

    // The tick, and the syncs it began taken back.
    void tick()
    {
        catalog()->onTick();
        catalog()->settleSyncs();
    }
    // What was written put on the disk, as before a poll; fetched files
    // complete.
    void settle()
    {
        catalog()->wantSynced(catalog()->roundOfWrites());
        catalog()->settleSyncs();
    }

    CCatalog* catalog() { return CCatalog::getInstance(); }
    std::string catalogFile() const { return dir.path() + "/CATALOG/catalog.dat"; }
    std::string queueFile(const std::string& node) const { return dir.path() + "/CATALOG/" + node + ".dat"; }
    std::string errFile() const { return dir.path() + "/CATALOG/catalogErroRec.err"; }
    std::string sendDir() const { return dir.path() + "/SEND"; }
    std::string recvDir() const { return dir.path() + "/RECV"; }

    CatalogRecord stored(int i)
    {
        CatalogRecord r;
        catalog()->getRec(i, &r);
        return r;
    }

    std::vector<CatalogRecord> all()
    {
        std::vector<CatalogRecord> v;
        for (int i = 0; i < catalog()->getRecCount(); ++i)
            v.push_back(stored(i));
        return v;
    }
};

} // namespace catalogtest
