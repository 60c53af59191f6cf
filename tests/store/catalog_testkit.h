// Shared set-up for the catalog tests: a node in a temporary working
// directory with its settings, a listener that records every change event,
// and small record and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/localtime.h"
#include "store/catalog.h"
#include "store/events.h"
#include "store/switches.h"
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
    void onRecordAt(int index, const CatalogRecord* rec) override
    {
        events.push_back({Event::RecordAt, index, *rec});
    }
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

inline SYSTEMTIME daysFromNow(int days)
{
    return localTimeDaysFromNow(days);
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
    r.expires = daysFromNow(3);
    r.findData.dwFileAttributes = 0x20;
    r.findData.nFileSizeLow = size;
    r.findData.ftLastWriteTime.dwLowDateTime = 12345;
    cp932::copyField(r.findData.cFileName, MAX_PATH, file);
    cp932::copyField(r.partyName, CATALOG_PARTY_LEN, party);
    CCatalog::setCheckSum(&r);
    return r;
}

inline std::string nodeOf(const CatalogRecord& r)
{
    return std::string(cp932::fieldText(r.originNode, CATALOG_NAME_LEN));
}

inline std::string fileOf(const CatalogRecord& r)
{
    return std::string(cp932::fieldText(r.findData.cFileName, MAX_PATH));
}

inline std::string routeOf(const CatalogRecord& r, int j)
{
    return std::string(cp932::fieldText(r.route[j], CATALOG_NAME_LEN));
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

// The whole records of a file, back to back.
inline std::vector<CatalogRecord> readRecords(const std::string& path)
{
    std::string bytes;
    std::vector<CatalogRecord> out;
    if (!platform::readWholeFile(path, bytes))
        return out;
    out.resize(bytes.size() / sizeof(CatalogRecord));
    if (!out.empty())
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(CatalogRecord));
    return out;
}

inline void writeRecords(const std::string& path, const std::vector<CatalogRecord>& recs,
                         const std::string& tail = "")
{
    testsupport::writeFile(path, bytesOf(recs) + tail);
}

// A node "NODE_A" of party "PARTY" in a fresh working directory, with a
// listener on the change broadcaster. The catalog is made on first use by
// the test (catalog()) so that a test can prepare catalog.dat first.
class CatalogTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    RecordingListener listener;

    void SetUp() override
    {
        g_bCatalogCashMode = 0;
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "NODE_A";
        settings->partyName = "PARTY";
        ZQ_EVENTCATALOG::getInstance()->addListener(&listener);
    }

    void TearDown() override
    {
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
        g_bCatalogCashMode = 0;
    }

    CCatalog* catalog() { return CCatalog::getInstance(); }

    std::string catalogDir() const { return dir.path() + "/CATALOG"; }
    std::string catalogFile() const { return catalogDir() + "/catalog.dat"; }
    std::string queueFile(const std::string& node) const { return catalogDir() + "/" + node + ".dat"; }
    std::string errFile() const { return catalogDir() + "/catalogErroRec.err"; }
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
        const int n = catalog()->getRecCount();
        for (int i = 0; i < n; ++i)
            v.push_back(stored(i));
        return v;
    }

    int count(Event::Kind kind) const
    {
        int n = 0;
        for (const Event& e : listener.events)
            n += e.kind == kind;
        return n;
    }
};

} // namespace catalogtest
