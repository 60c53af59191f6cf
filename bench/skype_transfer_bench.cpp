// Links over the messaging client, measured on real release nodes: two
// nodes, each on a private session bus of its own, with the client
// simulator carrying their app-to-app stream.
//
// 1. One file over one stream: the rate against the design bound of one
//    frame per 100 ms tick per direction (a chunk frame carries 20,480 data
//    bytes: 204.8 kB/s), and the CPU time per MB of both nodes (and of the
//    simulator, for scale). The rate depends on the phase between the two
//    nodes' 100 ms stream ticks: a chunk is asked for at a tick of the
//    fetching node and answered at the serving node's first tick after the
//    request has arrived, and the next request leaves at the fetching
//    node's first tick after the chunk has arrived. When the serving node
//    ticks a little after the fetching one, that is one chunk per tick;
//    when their ticks nearly coincide, each chunk misses a tick at both ends
//    and takes two. So the file goes once as the nodes started (the phase
//    their start-up gave them) and then once per phase set on purpose
//    (default: half a tick, and the ticks together). Each case reports the
//    phase it really had, measured from the times the stream's frames reach
//    the simulator.
// 2. Resident memory per stream: a node linked to ten contacts (whose
//    clients run elsewhere and take what is written to them), before and
//    after its streams come up; and its idle CPU with them.
//
//     skype_transfer_bench [--mib N] [--phases natural,50,0] [--start-offset MS] [--streams N]
//
// --mib: the size of each file (default 4). --phases: the cases in order;
// "natural" keeps the phase the nodes started with and may only come first,
// a number sets the serving node's ticks that many milliseconds after the
// fetching node's (0 to 99; a case whose phase comes out more than 2 ms
// away is run again, up to four times). --start-offset: the fetching node is started
// that many milliseconds after the serving one (default 0). --streams: the
// streams of the memory measurement (default 10, 0 leaves it out).
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
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
constexpr double kTickMs = 100.0;
constexpr double kPi = 3.14159265358979323846;
// How far a phase set on purpose may come out from the one asked for, and
// how often it is set before the case is reported as it came out.
constexpr double kPhaseToleranceMs = 2.0;
constexpr int kPhaseAttempts = 4;
// The hex text of a chunk frame is over 42,000 characters; every other
// frame of a transfer is far shorter.
constexpr long kChunkChars = 40000;
// The users the simulator plays: the serving node is alice's, the fetching
// node bob's.
const std::string kServeUser = "alice", kFetchUser = "bob";

std::optional<e2e::CatalogEntry> entryOf(const e2e::Node& n, const std::string& origin, const std::string& file)
{
    const auto cat = n.catalog();
    const e2e::CatalogEntry* e = e2e::findEntry(cat, origin, file);
    return e ? std::optional<e2e::CatalogEntry>(*e) : std::nullopt;
}

double msSince(Clock::time_point origin, Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(t - origin).count();
}

// What the simulator logs of the stream's traffic, each line stamped with
// the moment it appeared in its log. The simulator logs a command as it
// takes it, so a WRITE's stamp is the writing node's tick plus the way
// over the bus (a node writes only in its stream tick).
struct TrafficEvent {
    enum Kind { Write, ReadData };
    double ms = 0; // since the follower started
    Kind kind = Write;
    std::string user;
    long chars = 0; // of the command or the reply
};

class TrafficFollower {
public:
    explicit TrafficFollower(std::string path) : m_path(std::move(path)), m_origin(Clock::now())
    {
        m_thread = std::thread([this] { run(); });
    }
    ~TrafficFollower()
    {
        m_stop = true;
        m_thread.join();
    }
    TrafficFollower(const TrafficFollower&) = delete;
    TrafficFollower& operator=(const TrafficFollower&) = delete;

    double nowMs() const { return msSince(m_origin, Clock::now()); }
    std::vector<TrafficEvent> events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    void run()
    {
        std::FILE* f = nullptr;
        std::string partial;
        char buf[1 << 16];
        while (!m_stop) {
            if (!f)
                f = std::fopen(m_path.c_str(), "rb");
            std::size_t n = f ? std::fread(buf, 1, sizeof buf, f) : 0;
            if (n == 0) {
                if (f)
                    std::clearerr(f);
                // Fine enough for a tick of 100 ms; the lines come a few
                // dozen a second.
                std::this_thread::sleep_for(250us);
                continue;
            }
            const double t = nowMs();
            partial.append(buf, n);
            std::size_t start = 0;
            for (std::size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1)
                take(partial.substr(start, nl - start), t);
            partial.erase(0, start);
        }
        if (f)
            std::fclose(f);
    }

    // "[bob] <- :1.7: ALTER APPLICATION A WRITE alice:1 0030...(1776 chars)",
    // "[alice] -> ALTER APPLICATION A READ bob:1 0030...": long texts are cut
    // and end with their length.
    void take(const std::string& line, double t)
    {
        if (line.size() < 4 || line[0] != '[')
            return;
        const std::size_t close = line.find("] ");
        if (close == std::string::npos)
            return;
        TrafficEvent e;
        e.ms = t;
        e.user = line.substr(1, close - 1);
        const std::string rest = line.substr(close + 2);
        std::string text;
        if (rest.rfind("<- ", 0) == 0) {
            const std::size_t colon = rest.find(": ", 3);
            if (colon == std::string::npos)
                return;
            text = rest.substr(colon + 2);
            std::istringstream w(text);
            std::string a, b, app, verb;
            w >> a >> b >> app >> verb;
            if (a != "ALTER" || verb != "WRITE")
                return;
            e.kind = TrafficEvent::Write;
        } else if (rest.rfind("-> ", 0) == 0) {
            text = rest.substr(3);
            std::istringstream w(text);
            std::string a, b, app, verb, key, data;
            w >> a >> b >> app >> verb >> key >> data;
            if (a != "ALTER" || verb != "READ" || data.empty())
                return;
            e.kind = TrafficEvent::ReadData;
        } else {
            return;
        }
        e.chars = static_cast<long>(text.size());
        const std::size_t cut = text.rfind("...(");
        if (cut != std::string::npos && text.size() > 7 && text.compare(text.size() - 7, 7, " chars)") == 0)
            e.chars = std::atol(text.c_str() + cut + 4);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
    }

    std::string m_path;
    Clock::time_point m_origin;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<TrafficEvent> m_events;
    std::thread m_thread;
};

// Where in the 100 ms tick a set of times falls (their circular mean), and
// how closely they keep to it.
struct TickGrid {
    double phaseMs = 0;  // 0 to 100
    double jitterMs = 0; // circular standard deviation
    int samples = 0;
};

TickGrid gridOf(const std::vector<double>& ms)
{
    TickGrid g;
    double c = 0, s = 0;
    for (double t : ms) {
        const double a = 2 * kPi * std::fmod(t, kTickMs) / kTickMs;
        c += std::cos(a);
        s += std::sin(a);
    }
    g.samples = static_cast<int>(ms.size());
    if (ms.empty())
        return g;
    const double r = std::min(1.0, std::hypot(c, s) / double(ms.size()));
    g.phaseMs = std::fmod(std::atan2(s, c) / (2 * kPi) * kTickMs + kTickMs, kTickMs);
    g.jitterMs = r > 0 ? std::sqrt(-2 * std::log(r)) * kTickMs / (2 * kPi) : kTickMs;
    return g;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return std::nan("");
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct TransferResult {
    std::string label;
    double wall = 0, mb = 0;
    double cpuServe = 0, cpuFetch = 0, cpuSim = 0;
    bool same = false;
    // From the simulator's log, over the transfer.
    TickGrid serveTicks, fetchTicks;
    double phaseMs = 0;            // serving node's ticks after the fetching node's, 0 to 100
    double phaseFirstHalfMs = 0, phaseSecondHalfMs = 0;
    double chunkPeriodMs = 0;      // median between the serving node's chunk frames
    double chunkRate = 0;          // chunk frames per second, first to last
    int chunks = 0;
    double requestWayMs = 0;       // fetching node's WRITE to the serving node's READ reply
    double chunkWayMs = 0;         // serving node's WRITE of a chunk to the fetching node's READ reply
};

// Both nodes' stream ticks run on a precise 100 ms timer which, after a stall
// longer than a tick, goes on from the moment the process runs again. So
// stopping both nodes for a few ticks and letting them go on `phaseMs` apart
// puts the serving node's ticks that far after the fetching node's.
void setPhase(pid_t serve, pid_t fetch, double phaseMs)
{
    ::kill(fetch, SIGSTOP);
    ::kill(serve, SIGSTOP);
    std::this_thread::sleep_for(350ms);
    const auto t = Clock::now();
    ::kill(fetch, SIGCONT);
    const auto at = t + std::chrono::microseconds(static_cast<long>(phaseMs * 1000));
    // A sleep on a busy machine ends late: the last 2 ms are waited out here.
    std::this_thread::sleep_until(at - 2ms);
    while (Clock::now() < at) {
    }
    ::kill(serve, SIGCONT);
}

void analyse(const std::vector<TrafficEvent>& all, double fromMs, double toMs, TransferResult& r)
{
    // Frames pair up in order per direction: the n-th WRITE of one user is
    // the n-th READ with data of the other (one stream, one frame under way).
    std::vector<const TrafficEvent*> serveWrites, fetchWrites, serveReads, fetchReads;
    for (const TrafficEvent& e : all) {
        const bool serve = e.user == kServeUser;
        if (e.kind == TrafficEvent::Write)
            (serve ? serveWrites : fetchWrites).push_back(&e);
        else
            (serve ? serveReads : fetchReads).push_back(&e);
    }
    const auto inside = [&](const TrafficEvent* e) { return e->ms >= fromMs && e->ms <= toMs; };
    std::vector<double> sTimes, fTimes, chunkTimes, requestWays, chunkWays;
    for (std::size_t i = 0; i < serveWrites.size(); ++i) {
        const TrafficEvent* w = serveWrites[i];
        if (!inside(w))
            continue;
        sTimes.push_back(w->ms);
        if (w->chars >= kChunkChars) {
            chunkTimes.push_back(w->ms);
            if (i < fetchReads.size())
                chunkWays.push_back(fetchReads[i]->ms - w->ms);
        }
    }
    for (std::size_t i = 0; i < fetchWrites.size(); ++i) {
        const TrafficEvent* w = fetchWrites[i];
        if (!inside(w))
            continue;
        fTimes.push_back(w->ms);
        if (w->chars < kChunkChars && i < serveReads.size())
            requestWays.push_back(serveReads[i]->ms - w->ms);
    }
    r.serveTicks = gridOf(sTimes);
    r.fetchTicks = gridOf(fTimes);
    const auto phaseOf = [](const TickGrid& s, const TickGrid& f) {
        return std::fmod(s.phaseMs - f.phaseMs + 2 * kTickMs, kTickMs);
    };
    r.phaseMs = phaseOf(r.serveTicks, r.fetchTicks);
    const double mid = (fromMs + toMs) / 2;
    std::vector<double> s1, s2, f1, f2;
    for (double t : sTimes)
        (t < mid ? s1 : s2).push_back(t);
    for (double t : fTimes)
        (t < mid ? f1 : f2).push_back(t);
    r.phaseFirstHalfMs = phaseOf(gridOf(s1), gridOf(f1));
    r.phaseSecondHalfMs = phaseOf(gridOf(s2), gridOf(f2));
    r.chunks = static_cast<int>(chunkTimes.size());
    std::vector<double> gaps;
    for (std::size_t i = 1; i < chunkTimes.size(); ++i)
        gaps.push_back(chunkTimes[i] - chunkTimes[i - 1]);
    r.chunkPeriodMs = median(gaps);
    if (chunkTimes.size() > 1)
        r.chunkRate = double(chunkTimes.size() - 1) / ((chunkTimes.back() - chunkTimes.front()) / 1000);
    r.requestWayMs = median(requestWays);
    r.chunkWayMs = median(chunkWays);
}

// A pair of linked nodes on the simulator, kept for every case so that the
// phase they started with is the first case's.
class LinkedPair {
public:
    explicit LinkedPair(int startOffsetMs)
        : m_busA(m_ws.path() + "/bus-alice"), m_busB(m_ws.path() + "/bus-bob"), m_startOffsetMs(startOffsetMs)
    {
        std::filesystem::create_directories(m_ws.path() + "/sim");
        // Not quiet: the traffic log is what the phase is measured from.
        m_sim = std::make_unique<SimProcess>(m_ws.path() + "/sim",
                                             std::vector<std::string>{"--user", kServeUser, "--bus", m_busA.address(),
                                                                      "--friends", kFetchUser, "--user", kFetchUser,
                                                                      "--bus", m_busB.address()});
    }

    bool start()
    {
        if (!m_sim->ready()) {
            std::fprintf(stderr, "the simulator did not start:\n%s", m_sim->logTail().c_str());
            return false;
        }
        m_traffic = std::make_unique<TrafficFollower>(m_sim->logPath());
        serve = std::make_unique<e2e::Node>(m_ws.path(), "S", "BENCH");
        fetch = std::make_unique<e2e::Node>(m_ws.path(), "F", "BENCH");
        serve->setSessionBus(m_busA.address());
        fetch->setSessionBus(m_busB.address());
        serve->addSkypeRow("F", kFetchUser);
        fetch->addSkypeRow("S", kServeUser);
        const auto t = Clock::now();
        serve->start({});
        std::this_thread::sleep_until(t + std::chrono::milliseconds(m_startOffsetMs));
        fetch->start({});
        if (!e2e::waitUntil([&] { return !m_sim->streams(kServeUser).empty(); }, 120s)) {
            std::fprintf(stderr, "no stream came up\n%s%s", serve->logTails().c_str(), fetch->logTails().c_str());
            return false;
        }
        return true;
    }

    // label: "natural" or the phase to set, in ms.
    bool transfer(const std::string& label, std::size_t bytes, TransferResult& r)
    {
        r.label = label;
        if (label != "natural")
            setPhase(serve->pid(), fetch->pid(), std::atof(label.c_str()));
        const std::string file = "bench-" + std::to_string(++m_files) + ".bin";
        std::string content(bytes, '\0');
        for (std::size_t i = 0; i < bytes; ++i)
            content[i] = static_cast<char>(((i + m_files) * 2654435761u) >> 13);
        serve->putFile(file, content);
        // From the moment the fetching node knows the entry (its fetch
        // starts at once) to the last chunk.
        if (!e2e::waitUntil([&] { return entryOf(*fetch, "S", file).has_value(); }, 120s, 20ms))
            return false;
        const auto t0 = Clock::now();
        const double from = m_traffic->nowMs();
        const auto s0 = benchnode::sampleProcess(serve->pid()), f0 = benchnode::sampleProcess(fetch->pid());
        const double sim0 = benchnode::sampleProcess(m_sim->pid()).cpuSeconds;
        if (!e2e::waitUntil([&] {
                const auto e = entryOf(*fetch, "S", file);
                return e && e->complete == 1;
            }, std::chrono::hours(2), 20ms))
            return false;
        r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double to = m_traffic->nowMs();
        r.cpuServe = benchnode::sampleProcess(serve->pid()).cpuSeconds - s0.cpuSeconds;
        r.cpuFetch = benchnode::sampleProcess(fetch->pid()).cpuSeconds - f0.cpuSeconds;
        r.cpuSim = benchnode::sampleProcess(m_sim->pid()).cpuSeconds - sim0;
        r.mb = double(bytes) / 1e6;
        r.same = e2e::readFile(fetch->recvPath("S", file)) == content;
        // The last chunk's way to the fetching node is logged just before it
        // completes the file.
        std::this_thread::sleep_for(50ms);
        analyse(m_traffic->events(), from, to, r);
        return true;
    }

    void stop()
    {
        if (serve)
            serve->terminate();
        if (fetch)
            fetch->terminate();
        m_traffic.reset();
    }
    ~LinkedPair() { stop(); }

private:
    e2e::Workspace m_ws;
    const PrivateBus m_busA, m_busB;
    int m_startOffsetMs = 0;
    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<TrafficFollower> m_traffic;
    int m_files = 0;

public:
    // Last, so that they go before the simulator, the buses and the folder.
    std::unique_ptr<e2e::Node> serve, fetch;
};

void report(const TransferResult& t, std::size_t mib)
{
    const double bound = kChunkBytes / kTickSeconds / 1e6;
    const double rate = t.mb / t.wall;
    const std::string what = t.label == "natural" ? std::string("tick phase as the nodes started")
                                                  : "tick phase set to " + t.label + " ms";
    std::printf("%s: the serving node ticks %.1f ms after the fetching node (first half %.1f, second half %.1f; "
                "tick jitter serving %.1f ms, fetching %.1f ms)\n",
                what.c_str(), t.phaseMs, t.phaseFirstHalfMs, t.phaseSecondHalfMs, t.serveTicks.jitterMs,
                t.fetchTicks.jitterMs);
    std::printf("  one file of %zu MiB over one stream: %.1f s, %.3f MB/s = %.1f%% of the design bound %.3f MB/s "
                "(one %.0f-byte chunk frame per 100 ms tick per direction); byte-identical: %s\n",
                mib, t.wall, rate, 100.0 * rate / bound, bound, kChunkBytes, t.same ? "yes" : "NO");
    std::printf("  chunk frames: %.2f per second overall, %.2f from first to last (%d frames), median %.0f ms apart "
                "(bound 10 per second, 100 ms)\n",
                double(t.mb * 1e6) / kChunkBytes / t.wall, t.chunkRate, t.chunks, t.chunkPeriodMs);
    std::printf("  a frame's way, WRITE to the other node's READ reply (median): request %.1f ms, chunk %.1f ms\n",
                t.requestWayMs, t.chunkWayMs);
    std::printf("  CPU: serving node %.3f s/MB (%.1f%% of one core), fetching node %.3f s/MB (%.1f%%), "
                "simulator %.3f s/MB\n",
                t.cpuServe / t.mb, 100.0 * t.cpuServe / t.wall, t.cpuFetch / t.mb, 100.0 * t.cpuFetch / t.wall,
                t.cpuSim / t.mb);
    std::fflush(stdout);
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

std::vector<std::string> splitList(const std::string& s)
{
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty())
            out.push_back(item);
    return out;
}

bool validPhases(const std::vector<std::string>& phases)
{
    for (std::size_t i = 0; i < phases.size(); ++i) {
        if (phases[i] == "natural") {
            if (i != 0)
                return false;
            continue;
        }
        char* end = nullptr;
        const double v = std::strtod(phases[i].c_str(), &end);
        if (*end != '\0' || v < 0 || v >= kTickMs)
            return false;
    }
    return !phases.empty();
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t mib = 4;
    int startOffsetMs = 0;
    int streams = 10;
    std::vector<std::string> phases = {"natural", "50", "0"};
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--phases") == 0)
            phases = splitList(argv[i + 1]);
        else if (std::strcmp(argv[i], "--start-offset") == 0)
            startOffsetMs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--streams") == 0)
            streams = std::atoi(argv[i + 1]);
    }
    if (!validPhases(phases) || mib == 0 || startOffsetMs < 0 || streams < 0 || streams > 64) {
        std::fprintf(stderr, "usage: skype_transfer_bench [--mib N] [--phases natural,50,0] [--start-offset MS] "
                             "[--streams N]\n");
        return 2;
    }
    if (skypesim::dbusDaemonPath().empty()) {
        std::fprintf(stderr, "dbus-daemon is not installed\n");
        return 2;
    }

    bool same = true;
    {
        LinkedPair pair(startOffsetMs);
        if (!pair.start())
            return 1;
        if (startOffsetMs > 0)
            std::printf("the fetching node was started %d ms after the serving node\n", startOffsetMs);
        for (const std::string& p : phases) {
            TransferResult t;
            for (int attempt = 1;; ++attempt) {
                if (!pair.transfer(p, mib << 20, t)) {
                    std::fprintf(stderr, "transfer failed\n");
                    return 1;
                }
                same = same && t.same;
                if (p == "natural")
                    break;
                // A node woken on a busy machine may run a few ms late; the
                // case is run again rather than reported for another phase.
                const double off = std::fabs(t.phaseMs - std::atof(p.c_str()));
                const double miss = std::min(off, kTickMs - off);
                if (miss <= kPhaseToleranceMs || attempt == kPhaseAttempts)
                    break;
                std::printf("(tick phase set to %s ms came out at %.1f ms; set again)\n", p.c_str(), t.phaseMs);
                std::fflush(stdout);
            }
            report(t, mib);
        }
        std::printf("one chunk per tick when the serving node ticks after the request has reached it and early enough "
                    "for the chunk to reach the fetching node before its next tick; else two ticks per chunk\n");
    }

    if (streams == 0)
        return same ? 0 : 1;
    StreamsResult s;
    if (!measureStreams(streams, s)) {
        std::fprintf(stderr, "the streams did not come up\n");
        return 1;
    }
    std::printf("node with %d streams: resident %ld KiB (%ld KiB attached without streams; %.0f KiB per stream); "
                "CPU with the streams idle %.2f%% of one core\n",
                s.streams, s.with, s.before, double(s.with - s.before) / s.streams, s.idleCpuPercent);
    return same ? 0 : 1;
}
