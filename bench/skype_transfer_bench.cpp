// Links over the messaging client, measured on real release nodes: two
// nodes, each on a private session bus of its own, with the client
// simulator carrying their app-to-app stream.
//
// 1. One file over one stream: the rate against the design bound of one
//    frame per 100 ms tick per direction (a chunk frame carries 20,480 data
//    bytes: 204.8 kB/s), and the CPU time per MB of both nodes (and of the
//    simulator, for scale).
// 2. Resident memory per stream: a node linked to ten contacts (whose
//    clients run elsewhere and take what is written to them), before and
//    after its ten streams come up; and its idle CPU with them.
//
//     skype_transfer_bench [--mib N]     (default 4)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "node_fixture.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::Clock;
using skypesim::PrivateBus;
using skypesim::SimProcess;

constexpr double kChunkBytes = 20480;
constexpr double kTickSeconds = 0.100;

std::optional<e2e::CatalogEntry> entryOf(const e2e::Node& n, const std::string& origin, const std::string& file)
{
    const auto cat = n.catalog();
    const e2e::CatalogEntry* e = e2e::findEntry(cat, origin, file);
    return e ? std::optional<e2e::CatalogEntry>(*e) : std::nullopt;
}

bool attached(SimProcess& sim, const std::string& user)
{
    return !sim.status(user)["attached"].empty();
}

struct TransferResult {
    double wall = 0, mb = 0;
    double cpuServe = 0, cpuFetch = 0, cpuSim = 0;
    bool same = false;
};

bool measureTransfer(std::size_t bytes, TransferResult& r)
{
    e2e::Workspace ws;
    const PrivateBus busA(ws.path() + "/bus-alice"), busB(ws.path() + "/bus-bob");
    std::filesystem::create_directories(ws.path() + "/sim");
    SimProcess sim(ws.path() + "/sim", {"--quiet", "--user", "alice", "--bus", busA.address(), "--friends", "bob",
                                         "--user", "bob", "--bus", busB.address()});
    if (!sim.ready()) {
        std::fprintf(stderr, "the simulator did not start:\n%s", sim.logTail().c_str());
        return false;
    }
    e2e::Node serve(ws.path(), "S", "BENCH"), fetch(ws.path(), "F", "BENCH");
    serve.setSessionBus(busA.address());
    fetch.setSessionBus(busB.address());
    serve.addSkypeRow("F", "bob");
    fetch.addSkypeRow("S", "alice");
    serve.start({});
    fetch.start({});
    if (!e2e::waitUntil([&] { return !sim.streams("alice").empty(); }, 120s)) {
        std::fprintf(stderr, "no stream came up\n%s%s", serve.logTails().c_str(), fetch.logTails().c_str());
        return false;
    }

    std::string content(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i)
        content[i] = static_cast<char>((i * 2654435761u) >> 13);
    serve.putFile("bench.bin", content);
    // From the moment the fetching node knows the entry (its fetch starts
    // at once) to the last chunk.
    if (!e2e::waitUntil([&] { return entryOf(fetch, "S", "bench.bin").has_value(); }, 120s, 20ms))
        return false;
    const auto t0 = Clock::now();
    const auto s0 = benchnode::sampleProcess(serve.pid()), f0 = benchnode::sampleProcess(fetch.pid());
    const double sim0 = benchnode::sampleProcess(sim.pid()).cpuSeconds;
    if (!e2e::waitUntil([&] {
            const auto e = entryOf(fetch, "S", "bench.bin");
            return e && e->complete == 1;
        }, std::chrono::hours(2), 20ms))
        return false;
    r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpuServe = benchnode::sampleProcess(serve.pid()).cpuSeconds - s0.cpuSeconds;
    r.cpuFetch = benchnode::sampleProcess(fetch.pid()).cpuSeconds - f0.cpuSeconds;
    r.cpuSim = benchnode::sampleProcess(sim.pid()).cpuSeconds - sim0;
    r.mb = double(bytes) / 1e6;
    r.same = e2e::readFile(fetch.recvPath("S", "bench.bin")) == content;
    serve.terminate();
    fetch.terminate();
    return true;
}

struct StreamsResult {
    int streams = 0;
    long before = 0, with = 0;
    double idleCpuPercent = 0;
};

bool measureStreams(int count, StreamsResult& r)
{
    e2e::Workspace ws;
    const PrivateBus bus(ws.path() + "/bus-alice");
    std::filesystem::create_directories(ws.path() + "/sim");
    // Contacts whose clients run elsewhere: offline at first, so that the
    // node's memory is taken before any stream exists.
    std::vector<std::string> args = {"--quiet", "--user", "alice", "--bus", bus.address()};
    std::string friends;
    for (int i = 1; i <= count; ++i) {
        const std::string c = "c" + std::to_string(i);
        friends += (friends.empty() ? "" : ",") + c;
        for (const std::string& a : {std::string("--user"), c, std::string("--apps"), std::string("YUVO000BENCH"),
                                     std::string("--offline")})
            args.push_back(a);
    }
    args.insert(args.begin() + 5, {"--friends", friends});
    SimProcess sim(ws.path() + "/sim", args);
    if (!sim.ready())
        return false;
    e2e::Node node(ws.path(), "S", "BENCH");
    node.setSessionBus(bus.address());
    for (int i = 1; i <= count; ++i)
        node.addSkypeRow("N" + std::to_string(i), "c" + std::to_string(i));
    node.start({});
    if (!e2e::waitUntil([&] { return sim.status("alice")["apps"] == "YUVO000BENCH"; }, 60s))
        return false;
    std::this_thread::sleep_for(5s);
    r.before = benchnode::sampleProcess(node.pid()).rssKb;
    for (int i = 1; i <= count; ++i)
        sim.control("online c" + std::to_string(i));
    if (!e2e::waitUntil([&] { return static_cast<int>(sim.streams("alice").size()) == count; }, 120s))
        return false;
    // Every stream has sent its hello and poll and settled.
    std::this_thread::sleep_for(25s);
    const auto a = benchnode::sampleProcess(node.pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(10s);
    const auto b = benchnode::sampleProcess(node.pid());
    r.idleCpuPercent = 100.0 * (b.cpuSeconds - a.cpuSeconds) / std::chrono::duration<double>(Clock::now() - t0).count();
    r.with = b.rssKb;
    r.streams = static_cast<int>(sim.streams("alice").size());
    node.terminate();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t mib = 4;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (skypesim::dbusDaemonPath().empty()) {
        std::fprintf(stderr, "dbus-daemon is not installed\n");
        return 2;
    }

    TransferResult t;
    if (!measureTransfer(mib << 20, t)) {
        std::fprintf(stderr, "transfer failed\n");
        return 1;
    }
    const double bound = kChunkBytes / kTickSeconds / 1e6;
    const double rate = t.mb / t.wall;
    std::printf("one file of %zu MiB over one stream: %.1f s, %.3f MB/s = %.1f%% of the design bound %.3f MB/s "
                "(one %.0f-byte chunk frame per 100 ms tick per direction); byte-identical: %s\n",
                mib, t.wall, rate, 100.0 * rate / bound, bound, kChunkBytes, t.same ? "yes" : "NO");
    std::printf("  chunk frames: %.2f per second (bound 10)\n", double(mib << 20) / kChunkBytes / t.wall);
    std::printf("CPU: serving node %.3f s/MB (%.1f%% of one core), fetching node %.3f s/MB (%.1f%%), "
                "simulator %.3f s/MB\n",
                t.cpuServe / t.mb, 100.0 * t.cpuServe / t.wall, t.cpuFetch / t.mb, 100.0 * t.cpuFetch / t.wall,
                t.cpuSim / t.mb);
    std::fflush(stdout);

    StreamsResult s;
    if (!measureStreams(10, s)) {
        std::fprintf(stderr, "the streams did not come up\n");
        return 1;
    }
    std::printf("node with %d streams: resident %ld KiB (%ld KiB attached without streams; %.0f KiB per stream); "
                "CPU with the streams idle %.2f%% of one core\n",
                s.streams, s.with, s.before, double(s.with - s.before) / s.streams, s.idleCpuPercent);
    return t.same ? 0 : 1;
}
