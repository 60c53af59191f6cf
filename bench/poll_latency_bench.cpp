// How quickly a real node answers while it holds many registered files and
// ten neighbour rows. The node (the release program) starts in a working
// directory with N registered files; five of its rows are never online, so
// their queues stay as long as the catalog. This process then speaks the
// node protocol over TCP as the other five neighbours:
//   - a prober polls every 200 ms and times each answer;
//   - a fetcher pulls a large file chunk by chunk and times the gaps between
//     chunks (the bound is one chunk of 51,200 bytes per 50 ms tick);
//   - three drainers poll as nodes do, at once again after every non-empty
//     answer, until their queues are empty.
// Before the peers link in, the node idles for a while and the bytes it
// writes are counted.
//
// With --arriving, the node starts with none of the N files; once the peers
// are linked, the N files arrive in SEND at once (renamed in from a folder
// beside it) and the same figures are taken while the node registers them,
// with the registration's rate: files per second from the first record
// that reaches catalog.dat to the last, and from the arrival.
//
// A link sends one frame per 50 ms tick, and every 20 s the node queues its
// own hello and poll on each link: a poll answer or chunk that waits behind
// those two frames comes up to 100 ms later by design. Such waits are
// counted apart ("behind the node's hello"), so that the figures without
// them show what the node's own work costs.
//
//   poll_latency_bench [--files 2000,20000,100000] [--seconds 60] [--idle-seconds 60]
//   poll_latency_bench --arriving 20000,100000 [--runs 3] [--idle-seconds 10]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "node_fixture.h"
#include "platform/cp932.h"
#include "protocol/frames.h"
#include "store/catalog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kParty = "PARTY"; // the fixture's node is NODE_A of PARTY
constexpr const char* kBigFile = "big.bin";
constexpr std::size_t kBigFileBytes = 200u << 20;
constexpr double kBoundBytesPerSecond = double(CHUNK_LIMIT_TCP) / 0.050;

double msSince(Clock::time_point t, Clock::time_point now)
{
    return std::chrono::duration<double, std::milli>(now - t).count();
}

struct Stats {
    std::size_t n = 0;
    double median = 0, p99 = 0, max = 0;
};

Stats statsOf(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::size_t(std::ceil(0.99 * double(v.size()))) - 1];
    s.max = v.back();
    return s;
}

// One neighbour of the node, linked in over TCP.
class Peer {
public:
    enum class Role { prober, fetcher, drainer };

    Peer(std::string name, Role role) : m_name(std::move(name)), m_role(role) {}
    ~Peer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    const std::string& name() const { return m_name; }
    int fd() const { return m_fd; }
    bool failed() const { return m_failed; }

    bool connectTo(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            return false;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        NodeInfoFrame hello{};
        buildNodeInfoFrame(&hello, m_name.c_str(), kParty, 0, SYSTEMTIME{});
        send(&hello);
        return !m_failed;
    }

    // The record of the file to fetch (fetcher only); the first request goes
    // out with it.
    void startFetching(const CatalogRecord& rec)
    {
        m_fetchRec = rec;
        requestFrom(0);
    }

    void poll(Clock::time_point now)
    {
        SyncPollFrame f{};
        buildSyncPollFrame(&f);
        send(&f);
        m_pollsOut.push_back(now);
        m_pollsBehindHello.push_back(false);
    }

    // Reads what the node sent and answers it.
    void onReadable(Clock::time_point now)
    {
        char buf[1 << 16];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0) {
                m_in.append(buf, std::size_t(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                m_failed = true;
            break;
        }
        while (m_in.size() >= FRAME_HEADER_LEN) {
            const ExchangeHeader h = readHeader(m_in.data());
            const std::size_t len = frameLength(h);
            if (len < FRAME_HEADER_LEN || len > MAX_FRAME_SIZE) {
                m_failed = true;
                return;
            }
            if (m_in.size() < len)
                break;
            if (h.sequence != m_rxSeq++)
                m_failed = true;
            m_frame.assign(m_in.data(), len);
            m_in.erase(0, len);
            handle(h, now);
        }
    }

    // Measuring starts now: earlier figures are dropped.
    void resetFigures()
    {
        m_latencies.clear();
        m_ownLatencies.clear();
        m_gaps.clear();
        m_ownGaps.clear();
        m_bytes = 0;
        m_lastChunk = {};
    }

    bool answered() const { return m_answers > 0; }
    bool drained() const { return m_drained; }
    const std::vector<double>& latencies() const { return m_latencies; }
    const std::vector<double>& gaps() const { return m_gaps; }
    const std::vector<double>& ownLatencies() const { return m_ownLatencies; }
    const std::vector<double>& ownGaps() const { return m_ownGaps; }
    std::size_t unanswered() const { return m_pollsOut.size(); }
    std::uint64_t bytes() const { return m_bytes; }
    Clock::time_point firstChunk() const { return m_firstChunk; }
    Clock::time_point lastChunk() const { return m_lastChunk; }

private:
    void handle(const ExchangeHeader& h, Clock::time_point now)
    {
        const bool ownPoll = h.category == CATEGORY_CATALOG && h.command == COMMAND_SYNCPOLL;
        if (h.category == CATEGORY_NODEINFO || ownPoll) {
            // The node's own hello or poll took this link's tick: whatever
            // waits for an answer or a chunk now comes a tick later.
            m_helloSeen = true;
            std::fill(m_pollsBehindHello.begin(), m_pollsBehindHello.end(), true);
        }
        if (ownPoll) {
            // Nothing waits here for the node.
            SyncPollFrame poll{};
            std::memcpy(&poll, m_frame.data(), sizeof poll);
            auto answer = std::make_unique<CatalogRecordsFrame>();
            std::memset(answer.get(), 0, sizeof *answer);
            buildCatalogRecordsFrame(answer.get(), poll, nullptr, 0);
            send(answer.get());
        } else if (h.category == CATEGORY_CATALOG && h.command == COMMAND_CATALOGRECORDS) {
            ++m_answers;
            if (!m_pollsOut.empty()) {
                const double ms = msSince(m_pollsOut.front(), now);
                m_latencies.push_back(ms);
                if (!m_pollsBehindHello.front())
                    m_ownLatencies.push_back(ms);
                m_pollsOut.pop_front();
                m_pollsBehindHello.pop_front();
            }
            if (m_role == Role::drainer) {
                if (std::int32_t(h.count) > 0)
                    poll(now);
                else
                    m_drained = true;
            }
        } else if (h.category == CATEGORY_FILE && h.command == COMMAND_FILECHUNK && m_role == Role::fetcher) {
            // The rate counts the bytes after the first chunk of the window,
            // over the time from that chunk to the last.
            if (m_lastChunk != Clock::time_point{}) {
                const double ms = msSince(m_lastChunk, now);
                m_gaps.push_back(ms);
                if (!m_helloSeen)
                    m_ownGaps.push_back(ms);
                m_bytes += h.length;
            } else {
                m_firstChunk = now;
            }
            m_lastChunk = now;
            m_helloSeen = false;
            const std::uint64_t next = std::uint64_t(h.offset) + h.length;
            requestFrom(h.length == 0 || next >= m_fetchRec.findData.nFileSizeLow ? 0 : DWORD(next));
        }
    }

    void requestFrom(DWORD offset)
    {
        CatalogRecord rec = m_fetchRec;
        rec.heldBytes = offset;
        CCatalog::setCheckSum(&rec);
        FileRequestFrame f{};
        buildFileRequestFrame(&f, rec);
        f.header.offset = offset;
        send(&f);
    }

    void send(void* frame)
    {
        m_seq.stamp(frame);
        const char* p = static_cast<const char*>(frame);
        std::size_t n = frameLength(readHeader(frame));
        while (n > 0 && !m_failed) {
            const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
            if (w > 0) {
                p += w;
                n -= std::size_t(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd pf{m_fd, POLLOUT, 0};
                ::poll(&pf, 1, 100);
            } else {
                m_failed = true;
            }
        }
    }

    std::string m_name;
    Role m_role;
    int m_fd = -1;
    bool m_failed = false;
    FrameSequencer m_seq;
    DWORD m_rxSeq = 0;
    std::string m_in;
    std::string m_frame;
    CatalogRecord m_fetchRec{};
    std::deque<Clock::time_point> m_pollsOut;
    std::deque<bool> m_pollsBehindHello;
    bool m_helloSeen = false; // since the last chunk
    std::size_t m_answers = 0;
    bool m_drained = false;
    std::vector<double> m_latencies, m_ownLatencies;
    std::vector<double> m_gaps, m_ownGaps;
    std::uint64_t m_bytes = 0;
    Clock::time_point m_firstChunk{};
    Clock::time_point m_lastChunk{};
};

// Runs every peer's socket until `until` or until stop() holds; the prober
// polls every 200 ms meanwhile, each poll at a random point of the first
// 50 ms of its period, so that the node's 50 ms tick meets the polls at
// every phase.
template <class Stop>
bool runPeers(std::vector<std::unique_ptr<Peer>>& peers, Peer* prober, Clock::time_point until, Stop stop)
{
    static std::mt19937 rng(12345);
    std::uniform_int_distribution<int> jitter(0, 49999);
    Clock::time_point period = Clock::now();
    Clock::time_point nextPoll = period + std::chrono::microseconds(jitter(rng));
    std::vector<pollfd> fds;
    for (auto& p : peers)
        fds.push_back({p->fd(), POLLIN, 0});
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= until || stop())
            return true;
        if (prober && now >= nextPoll) {
            prober->poll(now);
            period += std::chrono::milliseconds(200);
            nextPoll = period + std::chrono::microseconds(jitter(rng));
        }
        const auto wait = std::min(until, prober ? nextPoll : until) - now;
        const int ms = int(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
        ::poll(fds.data(), fds.size(), std::min(ms, 200));
        now = Clock::now();
        for (std::size_t i = 0; i < peers.size(); ++i) {
            if (fds[i].revents)
                peers[i]->onReadable(now);
            if (peers[i]->failed()) {
                std::fprintf(stderr, "link %s failed\n", peers[i]->name().c_str());
                return false;
            }
        }
    }
}

struct Run {
    int files = 0;
    bool arriving = false;
    double setupSeconds = 0, startSeconds = 0, idleSeconds = 0;
    std::uint64_t idleWriteCalls = 0, idleStorage = 0;
    Stats latency, gaps, ownLatency, ownGaps;
    // The samples behind them, so that runs can be pooled.
    std::vector<double> latencies, ownLatencies, gapSamples, ownGapSamples;
    std::size_t unanswered = 0;
    double rate = 0;
    double cpuShare = 0;
    long residentKiB = 0;
    int drained = 0;
    // --arriving: seconds from the arrival to the first record in
    // catalog.dat, and from that record to the last.
    double firstRecordSeconds = 0, registerSeconds = 0;
    bool registered = false;
};

// The record of an own file as catalog.dat holds it.
bool registeredRecord(const std::string& catalogPath, const std::string& file, CatalogRecord* out)
{
    std::ifstream in(catalogPath, std::ios::binary);
    CatalogRecord r;
    while (in.read(reinterpret_cast<char*>(&r), sizeof r)) {
        if (cp932::fieldText(r.findData.cFileName, MAX_PATH) == file) {
            *out = r;
            return true;
        }
    }
    return false;
}

std::uint64_t fileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0;
}

// Waits until the node's first check of SEND is applied (its own record
// file, made at the start, is a change), which a large catalog makes wait
// until the queue indexes are read; then measures what it writes while idle.
void idleWrites(e2e::Node& node, int idleSeconds, Run& out)
{
    const std::string dirlist = node.dir() + "/SEND/YUVO/dirlist.dat";
    struct stat before {};
    ::stat(dirlist.c_str(), &before);
    e2e::waitUntil(
        [&] {
            struct stat now {};
            return ::stat(dirlist.c_str(), &now) == 0
                && (now.st_mtim.tv_sec != before.st_mtim.tv_sec || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec);
        },
        std::chrono::minutes(5), std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const benchnode::ProcessSample idle0 = benchnode::sampleProcess(node.pid());
    const auto i0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const benchnode::ProcessSample idle1 = benchnode::sampleProcess(node.pid());
    out.idleSeconds = std::chrono::duration<double>(Clock::now() - i0).count();
    out.idleWriteCalls = idle1.writeCallBytes - idle0.writeCallBytes;
    out.idleStorage = idle1.storageBytes - idle0.storageBytes;
}

// Puts `files` files into a folder beside SEND, to be renamed in at once.
std::string stageFiles(e2e::Node& node, int files)
{
    const std::string staging = node.dir() + "/arriving";
    ::mkdir(staging.c_str(), 0755);
    for (int i = 0; i < files; ++i) {
        const std::string path = staging + "/" + benchnode::fileName(i);
        const std::string content = benchnode::fileContent(i);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size()))
            return {};
        ::close(fd);
    }
    return staging;
}

bool arrive(e2e::Node& node, const std::string& staging, int files)
{
    for (int i = 0; i < files; ++i) {
        const std::string name = benchnode::fileName(i);
        if (::rename((staging + "/" + name).c_str(), (node.dir() + "/SEND/" + name).c_str()) != 0)
            return false;
    }
    return true;
}

void takeFigures(std::vector<std::unique_ptr<Peer>>& peers, Run& out)
{
    const Peer& prober = *peers[0];
    const Peer& fetcher = *peers[1];
    out.latencies = prober.latencies();
    out.ownLatencies = prober.ownLatencies();
    out.gapSamples = fetcher.gaps();
    out.ownGapSamples = fetcher.ownGaps();
    out.latency = statsOf(out.latencies);
    out.unanswered = prober.unanswered();
    out.gaps = statsOf(out.gapSamples);
    out.ownLatency = statsOf(out.ownLatencies);
    out.ownGaps = statsOf(out.ownGapSamples);
    const double fetchSeconds = std::chrono::duration<double>(fetcher.lastChunk() - fetcher.firstChunk()).count();
    out.rate = fetchSeconds > 0 ? double(fetcher.bytes()) / fetchSeconds : 0;
    for (std::size_t i = 2; i < peers.size(); ++i)
        out.drained += peers[i]->drained() ? 1 : 0;
}

bool runOne(int files, bool arriving, int seconds, int idleSeconds, Run& out)
{
    out.files = files;
    out.arriving = arriving;
    // Rows NB01..NB05 link in from here; NB06..NB10 stay offline. Nobody
    // listens on any row's port, so the node's own connects fail at once.
    // The node's record file stands first in every queue, as on a node that
    // published it before its user added the files.
    benchnode::RegisterOptions options;
    options.earlier = {{"nodeInfomation.nod", 9124}};
    options.extra = {{kBigFile, kBigFileBytes}};
    const auto t0 = Clock::now();
    benchnode::ScaledNode scaled(arriving ? 0 : files, benchnode::unreachableRows(10), options);
    e2e::Node& node = scaled.node();
    CatalogRecord big{};
    if (!registeredRecord(node.catalogPath(), kBigFile, &big)) {
        std::fprintf(stderr, "%s is not registered\n", kBigFile);
        return false;
    }
    const std::string staging = arriving ? stageFiles(node, files) : std::string();
    if (arriving && staging.empty()) {
        std::fprintf(stderr, "cannot stage the arriving files\n");
        return false;
    }
    out.setupSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    const auto t1 = Clock::now();
    node.start();
    if (!e2e::waitUntil([&] { return e2e::accepts(node.port()) || !node.running(); }, std::chrono::minutes(5))
        || !node.running()) {
        std::fprintf(stderr, "the node did not start listening\n%s", node.logTails().c_str());
        return false;
    }
    idleWrites(node, idleSeconds, out);

    std::vector<std::unique_ptr<Peer>> peers;
    const std::vector<e2e::Node::Row>& rows = node.rows();
    peers.push_back(std::make_unique<Peer>(rows[0].name, Peer::Role::prober));
    peers.push_back(std::make_unique<Peer>(rows[1].name, Peer::Role::fetcher));
    for (int i = 2; i < 5; ++i)
        peers.push_back(std::make_unique<Peer>(rows[std::size_t(i)].name, Peer::Role::drainer));
    for (auto& p : peers) {
        if (!p->connectTo(node.port())) {
            std::fprintf(stderr, "link %s: cannot connect\n", p->name().c_str());
            return false;
        }
    }
    Peer* prober = peers[0].get();
    // The node is ready once it has answered a poll; the fetch and the
    // drains start then.
    if (!runPeers(peers, prober, Clock::now() + std::chrono::minutes(5), [&] { return prober->answered(); })
        || !prober->answered()) {
        std::fprintf(stderr, "the node did not answer\n");
        return false;
    }
    out.startSeconds = std::chrono::duration<double>(Clock::now() - t1).count();
    peers[1]->startFetching(big);
    for (std::size_t i = 2; i < peers.size(); ++i)
        peers[i]->poll(Clock::now());
    if (!runPeers(peers, prober, Clock::now() + std::chrono::seconds(3), [] { return false; }))
        return false;

    for (auto& p : peers)
        p->resetFigures();
    const double cpu0 = benchnode::sampleProcess(node.pid()).cpuSeconds;
    const auto m0 = Clock::now();
    Clock::time_point m1;
    if (!arriving) {
        if (!runPeers(peers, prober, m0 + std::chrono::seconds(seconds), [] { return false; }))
            return false;
        m1 = Clock::now();
    } else {
        // Measured from the arrival until fifteen seconds after the last
        // record reached catalog.dat, so that the file list's refresh of the
        // last records and the next check of SEND are inside the window.
        const std::uint64_t base = fileSize(node.catalogPath());
        const std::uint64_t want = base + std::uint64_t(files) * sizeof(CatalogRecord);
        if (!arrive(node, staging, files)) {
            std::fprintf(stderr, "cannot move the arriving files into SEND\n");
            return false;
        }
        const auto arrived = Clock::now();
        Clock::time_point first{}, done{};
        const auto watch = [&] {
            const std::uint64_t size = fileSize(node.catalogPath());
            const auto now = Clock::now();
            if (first == Clock::time_point{} && size > base)
                first = now;
            if (done == Clock::time_point{} && size >= want)
                done = now;
            return done != Clock::time_point{} && now - done >= std::chrono::seconds(15);
        };
        if (!runPeers(peers, prober, arrived + std::chrono::minutes(10), watch))
            return false;
        m1 = Clock::now();
        out.registered = done != Clock::time_point{};
        out.firstRecordSeconds = std::chrono::duration<double>(first - arrived).count();
        out.registerSeconds = std::chrono::duration<double>(done - first).count();
    }
    const benchnode::ProcessSample end = benchnode::sampleProcess(node.pid());
    out.cpuShare = (end.cpuSeconds - cpu0) / std::chrono::duration<double>(m1 - m0).count();
    out.residentKiB = end.rssKb;
    takeFigures(peers, out);
    peers.clear();
    if (node.terminate() != 0)
        std::fprintf(stderr, "the node did not end cleanly\n");
    return true;
}

// Runs one case `runs` times and pools the samples (a p99 of a hundred
// polls is their maximum); the rates, CPU and memory are of the last run,
// and each run's registration is reported on its own line.
bool runPooled(int files, bool arriving, int runs, int seconds, int idleSeconds, FILE* report, Run& out)
{
    std::vector<double> latencies, own, gaps, ownGaps;
    std::size_t unanswered = 0;
    const auto pool = [](std::vector<double>& into, const std::vector<double>& from) {
        into.insert(into.end(), from.begin(), from.end());
    };
    for (int k = 0; k < runs; ++k) {
        Run r;
        if (!runOne(files, arriving, seconds, idleSeconds, r))
            return false;
        if (runs > 1 && arriving)
            std::fprintf(report, "  run %d: first record after %.1f s, all %s %.2f s later: %.0f files/s\n", k + 1,
                         r.firstRecordSeconds, r.registered ? "registered" : "NOT registered", r.registerSeconds,
                         r.registerSeconds > 0 ? r.files / r.registerSeconds : 0.0);
        pool(latencies, r.latencies);
        pool(own, r.ownLatencies);
        pool(gaps, r.gapSamples);
        pool(ownGaps, r.ownGapSamples);
        unanswered += r.unanswered;
        out = std::move(r); // rates, CPU and memory: of the last run
    }
    out.unanswered = unanswered;
    out.latency = statsOf(latencies);
    out.ownLatency = statsOf(own);
    out.gaps = statsOf(gaps);
    out.ownGaps = statsOf(ownGaps);
    return true;
}

std::vector<int> parseList(const char* text)
{
    std::vector<int> out;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ','))
        out.push_back(std::atoi(item.c_str()));
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> counts{2000, 20000, 100000};
    bool arriving = false;
    int runs = 1;
    int seconds = 60;
    int idleSeconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--files") == 0) {
            counts = parseList(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--arriving") == 0) {
            counts = parseList(argv[i + 1]);
            arriving = true;
            idleSeconds = 10;
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
            idleSeconds = std::atoi(argv[i + 1]);
        }
    }
    // The store's console lines go to standard output; the report gets its
    // own stream and the console goes to the null device.
    FILE* report = ::fdopen(::dup(1), "w");
    if (!report || !std::freopen("/dev/null", "w", stdout))
        return 2;

    int failures = 0;
    for (const int files : counts) {
        Run r;
        if (!runPooled(files, arriving, runs, seconds, idleSeconds, report, r)) {
            std::fprintf(report, "%d files: FAILED\n", files);
            ++failures;
            continue;
        }
        const double perMinute = 60.0 / r.idleSeconds;
        if (r.arriving)
            std::fprintf(report,
                         "%d files arriving at once, 10 rows (5 offline): first record after %.1f s, all %s"
                         " %.1f s later: %.0f files/s (%.0f files/s from the arrival)\n",
                         r.files, r.firstRecordSeconds, r.registered ? "registered" : "NOT registered",
                         r.registerSeconds, r.registerSeconds > 0 ? r.files / r.registerSeconds : 0.0,
                         r.files / (r.firstRecordSeconds + r.registerSeconds));
        else
            std::fprintf(report, "%d files, 10 rows (5 offline): set-up %.1f s, node ready after %.1f s\n", r.files,
                         r.setupSeconds, r.startSeconds);
        std::fprintf(report,
                     "  poll answer (every 200 ms, %zu polls): median %.1f ms, p99 %.1f ms, max %.1f ms"
                     " (%zu unanswered at the end)\n"
                     "    not behind the node's hello (%zu): median %.1f ms, p99 %.1f ms, max %.1f ms\n"
                     "  chunk gaps of the fetching link (%zu chunks): median %.1f ms, p99 %.1f ms, max %.1f ms;"
                     " rate %.0f B/s = %.1f%% of the bound\n"
                     "    not behind the node's hello (%zu): median %.1f ms, p99 %.1f ms, max %.1f ms\n"
                     "  node CPU %.1f%% of one core, resident %ld KiB; drainers done: %d of 3\n"
                     "  idle: %.1f KB handed to write calls per minute, %.1f KB to storage per minute\n",
                     r.latency.n, r.latency.median, r.latency.p99, r.latency.max, r.unanswered, r.ownLatency.n,
                     r.ownLatency.median, r.ownLatency.p99, r.ownLatency.max, r.gaps.n, r.gaps.median, r.gaps.p99,
                     r.gaps.max, r.rate, 100.0 * r.rate / kBoundBytesPerSecond, r.ownGaps.n, r.ownGaps.median,
                     r.ownGaps.p99, r.ownGaps.max, 100.0 * r.cpuShare, r.residentKiB, r.drained,
                     double(r.idleWriteCalls) * perMinute / 1e3, double(r.idleStorage) * perMinute / 1e3);
        std::fflush(report);
    }
    std::fclose(report);
    return failures == 0 ? 0 : 1;
}
