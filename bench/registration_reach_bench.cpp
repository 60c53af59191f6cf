// How long a registration of many files takes to reach a neighbour: two
// release nodes, N1 and N2, linked over TCP on 127.0.0.1. Once the link
// stands, N files of a few bytes arrive in N1's SEND at once (renamed in
// from a folder beside it); the run is timed from the arrival until N2's
// catalog.dat holds a live entry of every one. The files are tiny, so the
// catalog exchange (N2's polls and N1's answers of 11 entries) is what
// the time measures, beside N1's registration.
//
//   registration_reach_bench [--files 20000] [--runs 3]
//
// YUVO_E2E_EXE names another program to run (a build of older code, for a
// figure before a change).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "node_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double secondsBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Live entries of origin N1 in a node's catalog.dat, counted once the file
// is long enough to hold `atLeast` of them (0 before: reading 16 MB at
// every look would take the machine from the nodes).
int liveOfN1(const e2e::Node& node, int atLeast)
{
    if (e2e::fileSize(node.catalogPath()) < static_cast<long long>(atLeast) * static_cast<long long>(e2e::kCatalogRecordSize))
        return 0;
    int n = 0;
    for (const e2e::CatalogEntry& e : node.catalog())
        n += e.originNode == "N1" && e.state == 1 ? 1 : 0;
    return n;
}

struct Run {
    double registered = 0; // arrival -> every file in N1's catalog.dat
    double first = 0;      // arrival -> the first entry in N2's catalog.dat
    double reached = 0;    // arrival -> every entry in N2's catalog.dat
};

bool runOne(int files, Run& out)
{
    e2e::Workspace ws;
    e2e::Node n1(ws.path(), "N1", "PARTY");
    e2e::Node n2(ws.path(), "N2", "PARTY");
    n1.addRow(n2);
    n2.addRow(n1);
    const std::string staging = n1.dir() + "/arriving";
    ::mkdir(n1.dir().c_str(), 0755);
    ::mkdir(staging.c_str(), 0755);
    for (int i = 0; i < files; ++i)
        e2e::writeFile(staging + "/" + benchnode::fileName(i), benchnode::fileContent(i));

    n1.start();
    n2.start();
    if (!e2e::waitUntil([&] { return n1.ready() && n2.ready(); }, 60s))
        return false;
    // Linked both ways round: each holds an established socket.
    if (!e2e::waitUntil([&] { return !e2e::establishedSockets(n1.pid()).empty()
                                    && !e2e::establishedSockets(n2.pid()).empty(); }, 60s))
        return false;

    const auto arrived = Clock::now();
    for (int i = 0; i < files; ++i) {
        const std::string name = benchnode::fileName(i);
        if (std::rename((staging + "/" + name).c_str(), n1.sendPath(name).c_str()) != 0)
            return false;
    }
    Clock::time_point registered {}, first {}, reached {};
    const bool done = e2e::waitUntil(
        [&] {
            const auto now = Clock::now();
            if (registered == Clock::time_point {} && liveOfN1(n1, files) == files)
                registered = now;
            if (first == Clock::time_point {} && liveOfN1(n2, 1) > 0)
                first = now;
            if (liveOfN1(n2, files) < files)
                return false;
            reached = now;
            return registered != Clock::time_point {};
        },
        15min, 100ms);
    if (!done || !n1.running() || !n2.running())
        return false;
    out.registered = secondsBetween(arrived, registered);
    out.first = secondsBetween(arrived, first);
    out.reached = secondsBetween(arrived, reached);
    n1.terminate();
    n2.terminate();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int files = 20000;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc)
            files = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--files N] [--runs N]\n", argv[0]);
            return 2;
        }
    }
    std::printf("program: %s\n", e2e::yuvoPath());
    std::vector<double> reached;
    for (int r = 0; r < runs; ++r) {
        Run run;
        if (!runOne(files, run)) {
            std::fprintf(stderr, "run %d failed\n", r + 1);
            return 1;
        }
        std::printf("%d files: registered at N1 after %.1f s, first entry at N2 after %.1f s, all at N2 after %.1f s\n",
                    files, run.registered, run.first, run.reached);
        std::fflush(stdout);
        reached.push_back(run.reached);
    }
    std::sort(reached.begin(), reached.end());
    std::printf("all %d entries at N2: median %.1f s, min %.1f s, max %.1f s over %d runs\n", files,
                reached[reached.size() / 2], reached.front(), reached.back(), runs);
    return 0;
}
