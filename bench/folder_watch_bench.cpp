// The SEND folder check over folders of 1,000 to 10,000 files: unchanged,
// and with 100 files changed before each check.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "store/catalog.h"
#include "store/events.h"
#include "store/folder_watch.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

void setMtime(const std::string& path, long secs)
{
    struct timespec ts[2] = {{secs, 0}, {secs, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), ts, 0) != 0)
        throw std::runtime_error("utimensat " + path);
}

// A working directory with SEND holding n registered files.
class Node {
public:
    explicit Node(int n) : m_count(n)
    {
        m_settings.nodeName = "benchNode";
        m_settings.partyName = "benchParty";
        m_send = m_settings.getSendFolder();
        for (int i = 0; i < n; ++i) {
            const std::string p = path(i);
            FILE* f = std::fopen(p.c_str(), "wb");
            if (!f)
                throw std::runtime_error("fopen " + p);
            std::fprintf(f, "content of file %d\n", i);
            std::fclose(f);
            setMtime(p, 1500000000);
        }
        CCatalog::getInstance();
        watch.setFolder(m_send.c_str());
        watch.loadList();
        // Registers everything; not part of what is measured.
        watch.checkFolder();
        if (watch.snapshot().size() != static_cast<std::size_t>(n))
            throw std::runtime_error("first check did not take every file");
    }
    ~Node()
    {
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
    }

    std::string path(int i) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/file%05d.dat", i);
        return m_send + name;
    }
    int count() const { return m_count; }

private:
    int m_count;
    testsupport::TempDir m_dir;
    testsupport::ScopedChdir m_cwd {m_dir.path()};
    // Made in the working directory, so after the change into it.
    testsupport::TestSettings m_settings;
    std::string m_send;

public:
    CFolderWatch watch;
};

void BM_CheckUnchanged(benchmark::State& state)
{
    Node node(static_cast<int>(state.range(0)));
    for (auto _ : state)
        node.watch.checkFolder();
    state.SetComplexityN(state.range(0));
}

void BM_CheckWith100Changes(benchmark::State& state)
{
    Node node(static_cast<int>(state.range(0)));
    long stamp = 1600000000;
    int next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++stamp;
        for (int k = 0; k < 100; ++k) {
            setMtime(node.path(next), stamp);
            next = (next + 1) % node.count();
        }
        state.ResumeTiming();
        node.watch.checkFolder();
    }
    state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(BM_CheckUnchanged)->Arg(1000)->Arg(5000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(BM_CheckWith100Changes)
    ->Arg(1000)
    ->Arg(5000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
