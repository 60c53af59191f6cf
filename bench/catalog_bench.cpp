// Catalog operations at 1,000 and 10,000 records. The catalog runs on the
// thread that also draws the window and serves every link, so each single
// operation must stay far below a frame's worth of stalling.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/localtime.h"
#include "store/catalog.h"
#include "store/events.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

// A fresh working directory with the node's settings, removed at the end.
class Node {
public:
    // Neighbour rows NODE_B, NODE_C, ... (two by default).
    explicit Node(int rows = 2)
    {
        m_settings.nodeName = "NODE_A";
        m_settings.partyName = "PARTY";
        for (int i = 0; i < rows; ++i) {
            const std::string name = std::string("NODE_") + char('B' + i);
            m_settings.addRow(name.c_str(), "TCP", "");
        }
    }
    ~Node()
    {
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
    }
    std::string catalogFile() const { return m_dir.file("CATALOG/catalog.dat"); }
    std::string queueFile(const char* node) const { return m_dir.file(std::string("CATALOG/") + node + ".dat"); }
    std::string dir() const { return m_dir.path(); }

private:
    testsupport::TempDir m_dir;
    testsupport::ScopedChdir m_cwd {m_dir.path()};
    // Made in the working directory, so after the change into it.
    testsupport::TestSettings m_settings;
};

CatalogRecord makeRec(const char* origin, int n, DWORD state = CATALOG_STATE_NEW)
{
    CatalogRecord r;
    std::memset(&r, 0, sizeof r);
    r.recordSize = CATALOG_RECORD_SIZE;
    r.version = CATALOG_RECORD_VERSION;
    r.pending = 1;
    cp932::copyField(r.originNode, CATALOG_NAME_LEN, origin);
    r.state = state;
    GetLocalTime(&r.registered);
    r.expires = localTimeDaysFromNow(3);
    r.findData.dwFileAttributes = 0x20;
    r.findData.nFileSizeLow = 1000 + DWORD(n);
    char name[64];
    std::snprintf(name, sizeof name, "file%07d.bin", n);
    cp932::copyField(r.findData.cFileName, MAX_PATH, name);
    cp932::copyField(r.partyName, CATALOG_PARTY_LEN, "PARTY");
    CCatalog::setCheckSum(&r);
    return r;
}

// catalog.dat with n records of another node (complete when asked).
void writeCatalog(const Node& node, int n, bool complete = false, int deletedEvery = 0)
{
    std::vector<CatalogRecord> v;
    v.reserve(std::size_t(n));
    for (int i = 0; i < n; ++i) {
        CatalogRecord r = makeRec("NODE_X", i);
        if (complete) {
            r.complete = 1;
            r.heldBytes = r.findData.nFileSizeLow;
        }
        if (deletedEvery > 0 && i % deletedEvery == 0)
            r.state = CATALOG_STATE_DELETED;
        CCatalog::setCheckSum(&r);
        v.push_back(r);
    }
    platform::replaceFileAtomically(node.catalogFile(), v.data(), v.size() * sizeof(CatalogRecord));
}

void BM_Load(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)));
    for (auto _ : state) {
        CCatalog::getInstance();
        state.PauseTiming();
        CCatalog::releaseInstance();
        state.ResumeTiming();
    }
}

// A catalog.dat of zeroed records, as delayed allocation may leave after a
// power cut: every record is dropped at load.
void BM_LoadZeroed(benchmark::State& state)
{
    Node node;
    const std::string zeros(std::size_t(state.range(0)) * sizeof(CatalogRecord), '\0');
    for (auto _ : state) {
        state.PauseTiming();
        platform::replaceFileAtomically(node.catalogFile(), zeros.data(), zeros.size());
        state.ResumeTiming();
        CCatalog::getInstance();
        state.PauseTiming();
        CCatalog::releaseInstance();
        state.ResumeTiming();
    }
}

// A catalog of received files marked whole, each copy under RECV: the load,
// which starts the look at every copy on a worker, and the load with that
// look done and applied.
void writeReceivedCopies(const Node& node, int n)
{
    writeCatalog(node, n, true);
    const std::string folder = node.dir() + "/RECV/NODE_X";
    platform::makeSureDirectoryPathExists(folder);
    for (int i = 0; i < n; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/file%07d.bin", i);
        platform::CFile f;
        if (f.Open(folder + name, platform::CFile::modeCreate | platform::CFile::modeWrite))
            f.SetLength(1000 + std::uint64_t(i)); // the size makeRec gives
    }
}

// range(1) 1: until the look is done and applied.
void BM_LoadReceivedCopies(benchmark::State& state)
{
    Node node;
    writeReceivedCopies(node, int(state.range(0)));
    for (auto _ : state) {
        CCatalog* c = CCatalog::getInstance();
        if (state.range(1) == 1)
            c->finishStartCheck();
        state.PauseTiming();
        CCatalog::releaseInstance();
        state.ResumeTiming();
    }
}

void BM_AddRec(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)));
    CCatalog* c = CCatalog::getInstance();
    int n = 0;
    for (auto _ : state) {
        const CatalogRecord r = makeRec("NODE_A", 10000000 + n++);
        c->addRec(&r);
    }
}

void BM_MergeRecNew(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)));
    CCatalog* c = CCatalog::getInstance();
    int n = 0;
    for (auto _ : state) {
        const CatalogRecord r = makeRec("NODE_Y", n++);
        c->mergeRec(&r);
    }
}

void BM_MergeRecReplace(benchmark::State& state)
{
    Node node;
    const int total = int(state.range(0));
    writeCatalog(node, total);
    CCatalog* c = CCatalog::getInstance();
    int n = 0;
    for (auto _ : state) {
        CatalogRecord r = makeRec("NODE_X", (n * 7919) % total);
        r.registered.wYear = WORD(2100 + n / total); // always later than stored
        r.registered.wMilliseconds = WORD(n % 1000);
        ++n;
        c->mergeRec(&r);
    }
}

// The same over complete records: each overwrite goes through the journal
// (a copy synced to the disk first), so a power cut cannot tear a complete
// registration.
void BM_MergeRecReplaceComplete(benchmark::State& state)
{
    Node node;
    const int total = int(state.range(0));
    writeCatalog(node, total, true);
    CCatalog* c = CCatalog::getInstance();
    int n = 0;
    for (auto _ : state) {
        CatalogRecord r = makeRec("NODE_X", (n * 7919) % total);
        r.registered.wYear = WORD(2100 + n / total);
        r.registered.wMilliseconds = WORD(n % 1000);
        r.findData.nFileSizeLow = 0; // whole at once, so the next round overwrites a complete record
        ++n;
        c->mergeRec(&r);
    }
}

void BM_SyncTo(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)), true);
    CCatalog* c = CCatalog::getInstance();
    for (auto _ : state) {
        c->syncTo("NODE_B", 1, SYSTEMTIME {});
        state.PauseTiming();
        platform::deleteFile(node.queueFile("NODE_B"));
        state.ResumeTiming();
    }
}

// Empties NODE_B's queue as a link's poll chain does: each poll confirms
// the answer before the newest, then takes; the periodic poll after the
// chain confirms the last answer, and its take finds the queue empty and
// deletes it. Returns the takes that found entries.
std::int64_t drainAsALink(CCatalog* c)
{
    CatalogRecord out[CCatalog::MAX_TAKE_RECORDS];
    std::int64_t takes = 0;
    std::uint64_t older = 0, newest = 0;
    for (;;) {
        c->confirmQueueRecs(older);
        older = newest;
        if (c->takeQueueRecs("NODE_B", out, &newest) == 0)
            break;
        ++takes;
    }
    c->confirmQueueRecs(older);
    c->takeQueueRecs("NODE_B", out, &newest);
    return takes;
}

void BM_TakeQueueRecsUntilEmpty(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)), true);
    CCatalog* c = CCatalog::getInstance();
    std::int64_t takes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        c->syncTo("NODE_B", 1, SYSTEMTIME {});
        state.ResumeTiming();
        takes += drainAsALink(c);
    }
    state.counters["takes"] = benchmark::Counter(double(takes), benchmark::Counter::kAvgIterations);
}

void BM_SyncToAndDrain(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)), true);
    CCatalog* c = CCatalog::getInstance();
    for (auto _ : state) {
        c->syncTo("NODE_B", 1, SYSTEMTIME {});
        drainAsALink(c);
    }
}

// Every `every`-th record expired: all of them (one run of writes) or every
// other one (scattered writes).
void checkLimitBench(benchmark::State& state, int every)
{
    Node node;
    const int total = int(state.range(0));
    std::vector<CatalogRecord> v;
    for (int i = 0; i < total; ++i) {
        CatalogRecord r = makeRec("NODE_X", i);
        if (i % every == 0)
            r.expires = localTimeDaysFromNow(-2);
        CCatalog::setCheckSum(&r);
        v.push_back(r);
    }
    platform::replaceFileAtomically(node.catalogFile(), v.data(), v.size() * sizeof(CatalogRecord));
    CCatalog* c = CCatalog::getInstance();
    for (auto _ : state)
        c->checkLimit();
}

void BM_CheckLimitAllExpired(benchmark::State& state)
{
    checkLimitBench(state, 1);
}

void BM_CheckLimitHalfExpired(benchmark::State& state)
{
    checkLimitBench(state, 2);
}

void BM_CheckLimitNoneExpired(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)));
    CCatalog* c = CCatalog::getInstance();
    for (auto _ : state)
        c->checkLimit();
}

void BM_CompactListNothingDeleted(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)));
    CCatalog* c = CCatalog::getInstance();
    for (auto _ : state)
        c->compactList();
}

// One record in ten deleted, each with its received file to remove.
void BM_CompactListTenthDeleted(benchmark::State& state)
{
    Node node;
    const int total = int(state.range(0));
    platform::makeSureDirectoryPathExists(node.dir() + "/RECV/NODE_X/");
    for (auto _ : state) {
        state.PauseTiming();
        CCatalog::releaseInstance();
        writeCatalog(node, total, true, 10);
        for (int i = 0; i < total; i += 10) {
            char name[64];
            std::snprintf(name, sizeof name, "/RECV/NODE_X/file%07d.bin", i);
            std::FILE* f = std::fopen((node.dir() + name).c_str(), "wb");
            if (f) {
                std::fputc('x', f);
                std::fclose(f);
            }
        }
        CCatalog* c = CCatalog::getInstance();
        state.ResumeTiming();
        c->compactList();
    }
}

// n registrations of the node's own, expiring in that many days.
std::vector<CatalogRecord> ownRecords(int n, int expiresInDays)
{
    std::vector<CatalogRecord> v;
    for (int i = 0; i < n; ++i) {
        CatalogRecord r = makeRec("NODE_A", i);
        r.complete = 1;
        r.expires = localTimeDaysFromNow(expiresInDays);
        CCatalog::setCheckSum(&r);
        v.push_back(r);
    }
    return v;
}

// Own registrations (files no longer in SEND) all expired: the sweep marks
// every one in CATALOG/ownDeletions.lst first, the compaction drops them and
// their marks.
void BM_ExpireOwnAndCompact(benchmark::State& state)
{
    Node node;
    const std::vector<CatalogRecord> v = ownRecords(int(state.range(0)), -2);
    for (auto _ : state) {
        state.PauseTiming();
        CCatalog::releaseInstance();
        platform::replaceFileAtomically(node.catalogFile(), v.data(), v.size() * sizeof(CatalogRecord));
        CCatalog* c = CCatalog::getInstance();
        state.ResumeTiming();
        c->checkLimit();
        c->compactList();
    }
}

// The user deletes one own registration, and the compaction drops it.
void BM_DeleteOwnRecAndCompact(benchmark::State& state)
{
    Node node;
    const int total = int(state.range(0));
    const std::vector<CatalogRecord> v = ownRecords(total, 3);
    platform::replaceFileAtomically(node.catalogFile(), v.data(), v.size() * sizeof(CatalogRecord));
    CCatalog* c = CCatalog::getInstance();
    int k = 0;
    for (auto _ : state) {
        CatalogRecord r = v[std::size_t(k++ % total)];
        r.state = CATALOG_STATE_DELETED;
        c->deleteRec(&r);
        c->compactList();
        state.PauseTiming();
        r.state = CATALOG_STATE_NEW;
        c->addRec(&r);
        state.ResumeTiming();
    }
}

void BM_WriteFileDataChunk(benchmark::State& state)
{
    Node node;
    const int total = int(state.range(0));
    writeCatalog(node, total);
    CCatalog* c = CCatalog::getInstance();
    std::vector<char> chunk(51200, 'c');
    // A big file fetched in 50 KiB chunks, at the end of the catalog.
    CatalogRecord big = makeRec("NODE_Z", 1);
    big.findData.nFileSizeLow = 0x7fffffff;
    CCatalog::setCheckSum(&big);
    c->mergeRec(&big);
    DWORD offset = 0;
    for (auto _ : state) {
        if (c->writeFileData(offset, DWORD(chunk.size()), &big, chunk.data()) != 1)
            state.SkipWithError("chunk refused");
        offset += DWORD(chunk.size());
    }
}

void BM_GetFirstFetchRecNoneLeft(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)), true);
    CCatalog* c = CCatalog::getInstance();
    CatalogRecord r;
    for (auto _ : state)
        benchmark::DoNotOptimize(c->getFirstFetchRec(&r));
}

// An own file changed while both neighbours' queues hold the whole catalog
// (neighbours offline): the change goes over the first entry of each queue.
void BM_UpdateRecLongQueues(benchmark::State& state)
{
    Node node;
    const int n = int(state.range(0));
    CCatalog* c = CCatalog::getInstance();
    std::vector<CatalogRecord> own;
    for (int i = 0; i < n; ++i)
        own.push_back(makeRec("NODE_A", i));
    c->addRecs(own.data(), own.size());
    CatalogRecord r = makeRec("NODE_A", 0, CATALOG_STATE_UPDATED);
    for (auto _ : state) {
        ++r.findData.nFileSizeLow;
        c->updateRec(&r);
    }
}

// Write calls this process has made so far (/proc/self/io); -1 unknown.
long long writeCalls()
{
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value) {
        if (key == "syscw:")
            return value;
    }
    return -1;
}

// The SEND scan registering a slice of new files on a node with ten
// neighbour rows and 10,000 records: each batch goes to catalog.dat and to
// the end of ten queue files.
void BM_AddRecsBatchTenRows(benchmark::State& state)
{
    Node node(10);
    writeCatalog(node, 10000);
    CCatalog* c = CCatalog::getInstance();
    const std::size_t batch = std::size_t(state.range(0));
    std::vector<CatalogRecord> recs(batch);
    int n = 0;
    const long long writesBefore = writeCalls();
    for (auto _ : state) {
        state.PauseTiming();
        for (CatalogRecord& r : recs)
            r = makeRec("NODE_A", 20000000 + n++);
        state.ResumeTiming();
        c->addRecs(recs.data(), recs.size());
    }
    state.counters["writes"] =
        benchmark::Counter(double(writeCalls() - writesBefore), benchmark::Counter::kAvgIterations);
    state.counters["records"] = benchmark::Counter(double(batch));
}

void BM_ReleaseRewrite(benchmark::State& state)
{
    Node node;
    writeCatalog(node, int(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        CCatalog::getInstance();
        state.ResumeTiming();
        CCatalog::releaseInstance();
    }
}

} // namespace

#define CATALOG_SIZES ->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)

BENCHMARK(BM_Load) CATALOG_SIZES;
BENCHMARK(BM_LoadZeroed)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadReceivedCopies)->ArgsProduct({{20000, 100000}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddRec) CATALOG_SIZES;
BENCHMARK(BM_MergeRecNew) CATALOG_SIZES;
BENCHMARK(BM_MergeRecReplace) CATALOG_SIZES;
BENCHMARK(BM_MergeRecReplaceComplete) CATALOG_SIZES;
BENCHMARK(BM_SyncTo) CATALOG_SIZES;
BENCHMARK(BM_TakeQueueRecsUntilEmpty) CATALOG_SIZES;
BENCHMARK(BM_SyncToAndDrain) CATALOG_SIZES;
BENCHMARK(BM_CheckLimitAllExpired) CATALOG_SIZES;
BENCHMARK(BM_CheckLimitHalfExpired) CATALOG_SIZES;
BENCHMARK(BM_CheckLimitNoneExpired) CATALOG_SIZES;
BENCHMARK(BM_CompactListNothingDeleted) CATALOG_SIZES;
BENCHMARK(BM_CompactListTenthDeleted) CATALOG_SIZES;
BENCHMARK(BM_ExpireOwnAndCompact) CATALOG_SIZES;
BENCHMARK(BM_DeleteOwnRecAndCompact) CATALOG_SIZES;
BENCHMARK(BM_WriteFileDataChunk) CATALOG_SIZES;
BENCHMARK(BM_GetFirstFetchRecNoneLeft) CATALOG_SIZES;
BENCHMARK(BM_ReleaseRewrite) CATALOG_SIZES;
BENCHMARK(BM_UpdateRecLongQueues) CATALOG_SIZES;
// Bounded runs: every batch stays in ten growing queue files.
BENCHMARK(BM_AddRecsBatchTenRows)->Arg(64)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddRecsBatchTenRows)->Arg(500)->Iterations(40)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
