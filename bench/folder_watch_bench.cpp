// The SEND folder check over folders of 1,000 to 10,000 files: unchanged,
// and with 100 files changed before each check.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "store/catalog.h"
#include "store/events.h"
#include "store/folder_watch.h"
#include "store/settings.h"

namespace {

class BenchSettings : public CPropatyTandrel {
public:
    const char* getRecHost(int) override { return ""; }
    int getRecPort(int) override { return 0; }
    const char* getNodeName() override { return "benchNode"; }
    const char* getPartyName() override { return "benchParty"; }
    int getLimitDay() override { return 3; }
    int getWindow() override { return 0; }
    void setWindow(int) override {}
    void setListenPort(int) override {}
    int getListenPort() override { return 42000; }
    std::string& findRecName(std::string& out, int, const char*) override { return out = ""; }
    void renameRecName(int, const char*, const char*, const char*) override {}
};

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
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/yuvo-bench-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp");
        m_dir = tmpl;
        m_oldDir = std::filesystem::current_path();
        std::filesystem::current_path(m_dir);
        m_settings = std::make_unique<BenchSettings>();
        const std::string send = m_settings->getSendFolder();
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
        watch.setFolder(send.c_str());
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
        m_settings.reset();
        std::filesystem::current_path(m_oldDir);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string path(int i) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/file%05d.dat", i);
        return std::string(m_settings->getSendFolder()) + name;
    }
    int count() const { return m_count; }

    CFolderWatch watch;

private:
    int m_count;
    std::string m_dir;
    std::filesystem::path m_oldDir;
    std::unique_ptr<BenchSettings> m_settings;
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
