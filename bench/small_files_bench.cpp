// Many small files over one TCP link between two real release nodes.
// NODE_A shares N files of 1 to 20 KB, registered beforehand by the node's
// own store code (node_fixture.h); NODE_B fetches them. The link runs
// through a relay of this bench on 127.0.0.1, which reads the frame headers
// both ways: the file requests NODE_B sends, and the chunks NODE_A sends by
// file and offset, so that a chunk sent twice for one file (which NODE_B
// refuses: it holds those bytes already) is counted.
//
// Reported: files per second from the first file complete at NODE_B to the
// last (taken from NODE_B's catalog.dat, which records each completion), the
// rate of the last third of the files against the first third, the chunks
// sent twice, the requests per file, whether every file arrived
// byte-identical, the CPU time of both nodes, and how many files were
// complete as time went on, with the rate over the ten seconds before.
//
//   small_files_bench [--files N] [--limit SECONDS] [--exe PATH] [--fetching-exe PATH]
//
// --files: how many files (default 3000). --limit: the most seconds to wait
// from NODE_B's start (default 900); what was reached by then is reported.
// --exe: the node program to run for both nodes (default: the one built with
// the bench), so that another build is measured the same way.
// --fetching-exe: another program for NODE_B only (two builds linked).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "node_fixture.h"
#include "platform/cp932.h"
#include "protocol/frames.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::loopback;

std::string smallName(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "small-%05d.bin", i);
    return name;
}

// 1,024 to 20,480 bytes, the same sizes on every run.
std::size_t smallSize(int i)
{
    const std::uint32_t h = std::uint32_t(i) * 2654435761u;
    return 1024 + (h >> 8) % (20480 - 1024 + 1);
}

double secondsBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// What the relay saw of the nodes' frames.
struct FrameCounts {
    std::uint64_t requests = 0;    // file requests from the fetching node
    std::uint64_t chunks = 0;      // chunks from the serving node
    std::uint64_t emptyChunks = 0; // of them: no bytes (no whole copy there)
    std::uint64_t twice = 0;       // a chunk of a file and offset already sent
    bool badStream = false;        // bytes that are no frames
};

// Cuts one direction's bytes into frames and counts them.
class FrameReader {
public:
    FrameReader(bool fromServer, FrameCounts& counts, std::mutex& lock)
        : m_fromServer(fromServer), m_counts(counts), m_lock(lock)
    {
    }

    void feed(const char* bytes, std::size_t n)
    {
        m_buf.append(bytes, n);
        std::size_t at = 0;
        while (m_buf.size() - at >= FRAME_HEADER_LEN) {
            const ExchangeHeader h = readHeader(m_buf.data() + at);
            const std::size_t len = frameLength(h);
            if (len < FRAME_HEADER_LEN) {
                const std::lock_guard<std::mutex> g(m_lock);
                m_counts.badStream = true;
                m_buf.clear();
                return;
            }
            if (m_buf.size() - at < len)
                break;
            count(h, m_buf.data() + at, len);
            at += len;
        }
        m_buf.erase(0, at);
    }

private:
    void count(const ExchangeHeader& h, const char* frame, std::size_t len)
    {
        if (h.category != CATEGORY_FILE)
            return;
        const std::lock_guard<std::mutex> g(m_lock);
        if (!m_fromServer && h.command == COMMAND_FILEREQUEST) {
            ++m_counts.requests;
        } else if (m_fromServer && h.command == COMMAND_FILECHUNK && len >= FILE_CHUNK_DATA_OFFSET) {
            ++m_counts.chunks;
            if (h.length == 0) {
                ++m_counts.emptyChunks;
                return;
            }
            CatalogRecord rec;
            std::memcpy(&rec, frame + FRAME_HEADER_LEN, sizeof rec);
            std::string key(cp932::fieldText(rec.originNode, CATALOG_NAME_LEN));
            key += '/';
            key += cp932::fieldText(rec.findData.cFileName, MAX_PATH);
            key += '@' + std::to_string(h.offset);
            if (++m_seen[key] > 1)
                ++m_counts.twice;
        }
    }

    bool m_fromServer;
    FrameCounts& m_counts;
    std::mutex& m_lock;
    std::string m_buf;
    std::unordered_map<std::string, int> m_seen;
};

// A TCP relay on 127.0.0.1: every connection it accepts is joined to a new
// connection to the serving node, and the bytes go both ways unchanged.
class Relay {
public:
    explicit Relay(int serverPort) : m_serverPort(serverPort)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = loopback(0);
        socklen_t len = sizeof sa;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(m_listen, 8) != 0
            || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            throw std::runtime_error("the relay cannot listen");
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~Relay()
    {
        m_stop = true;
        m_thread.join();
        for (auto& l : m_links) {
            ::close(l->client);
            ::close(l->server);
        }
        ::close(m_listen);
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    int port() const { return m_port; }
    FrameCounts counts()
    {
        const std::lock_guard<std::mutex> g(m_lock);
        return m_counts;
    }

private:
    struct Link {
        int client = -1, server = -1;
        std::string toClient, toServer; // bytes not yet taken by the other end
        std::unique_ptr<FrameReader> fromClient, fromServer;
        bool closed = false;
    };

    void accept()
    {
        const int c = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0)
            return;
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in sa = loopback(m_serverPort);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(s);
            ::close(c);
            return;
        }
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
        auto l = std::make_unique<Link>();
        l->client = c;
        l->server = s;
        l->fromClient = std::make_unique<FrameReader>(false, m_counts, m_lock);
        l->fromServer = std::make_unique<FrameReader>(true, m_counts, m_lock);
        m_links.push_back(std::move(l));
    }

    // Reads what fd has, counts it and keeps it for the other end; false
    // when fd has closed.
    static bool pump(int fd, FrameReader& reader, std::string& out)
    {
        char buf[1 << 16];
        for (;;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                reader.feed(buf, std::size_t(n));
                out.append(buf, std::size_t(n));
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }

    static bool flush(int fd, std::string& pending)
    {
        while (!pending.empty()) {
            const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (n > 0) {
                pending.erase(0, std::size_t(n));
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return true;
    }

    void run()
    {
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            for (auto& l : m_links) {
                if (l->closed)
                    continue;
                fds.push_back({l->client, short(POLLIN | (l->toClient.empty() ? 0 : POLLOUT)), 0});
                fds.push_back({l->server, short(POLLIN | (l->toServer.empty() ? 0 : POLLOUT)), 0});
            }
            ::poll(fds.data(), fds.size(), 100);
            if (fds[0].revents & POLLIN)
                accept();
            for (auto& l : m_links) {
                if (l->closed)
                    continue;
                bool ok = pump(l->client, *l->fromClient, l->toServer) && pump(l->server, *l->fromServer, l->toClient);
                ok = flush(l->server, l->toServer) && flush(l->client, l->toClient) && ok;
                if (!ok) {
                    // One end went: the other goes too, as with a direct link.
                    ::shutdown(l->client, SHUT_RDWR);
                    ::shutdown(l->server, SHUT_RDWR);
                    l->closed = true;
                }
            }
        }
    }

    int m_serverPort;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    FrameCounts m_counts;
    std::vector<std::unique_ptr<Link>> m_links;
    std::thread m_thread;
};

struct Options {
    int files = 3000;
    int limitSeconds = 900;
    std::string fetchingExe;
};

int run(const Options& opt, FILE* report)
{
    // NODE_A's row for NODE_B names a port where nobody listens, so the
    // link is only ever NODE_B's, through the relay.
    benchnode::RegisterOptions reg;
    std::uint64_t totalBytes = 0;
    for (int i = 0; i < opt.files; ++i) {
        reg.extra.push_back({smallName(i), smallSize(i)});
        totalBytes += smallSize(i);
    }
    benchnode::ScaledNode serving(0, {{"NODE_B", "TCP", "127.0.0.1/" + std::to_string(e2e::freePort())}}, reg);
    e2e::Node& a = serving.node();
    a.start({});
    if (!e2e::waitUntil([&] { return e2e::accepts(a.port()) || !a.running(); }, 5min) || !a.running()) {
        std::fprintf(stderr, "NODE_A did not start listening\n%s", a.logTails().c_str());
        return 1;
    }

    Relay relay(a.port());
    const std::string servingExe = e2e::yuvoPath();
    if (!opt.fetchingExe.empty())
        ::setenv("YUVO_E2E_EXE", opt.fetchingExe.c_str(), 1);
    const e2e::Workspace ws;
    e2e::Node b(ws.path(), "NODE_B", "PARTY");
    b.addRow("NODE_A", "127.0.0.1/" + std::to_string(relay.port()));
    const auto start = Clock::now();
    b.start({});

    // Completions as NODE_B's catalog records them, checked every 100 ms.
    std::map<std::string, Clock::time_point> done;
    std::vector<Clock::time_point> times;
    const auto end = start + std::chrono::seconds(opt.limitSeconds);
    auto nextLine = start + 30s;
    std::fprintf(report, "%d files of 1-20 KB (%.1f MB) from NODE_A (%s) to NODE_B (%s) over one TCP link\n",
                 opt.files, double(totalBytes) / 1e6, servingExe.c_str(), e2e::yuvoPath());
    std::fprintf(report, "  s after start | files complete | files/s over the last 10 s | chunks | sent twice\n");
    while (int(done.size()) < opt.files && Clock::now() < end) {
        if (!a.running() || !b.running()) {
            std::fprintf(stderr, "a node ended\n%s%s", a.logTails().c_str(), b.logTails().c_str());
            return 1;
        }
        std::this_thread::sleep_for(100ms);
        const auto now = Clock::now();
        for (const e2e::CatalogEntry& e : b.catalog())
            if (e.originNode == "NODE_A" && e.complete == 1 && e.fileName.rfind("small-", 0) == 0
                && done.emplace(e.fileName, now).second)
                times.push_back(now);
        if (now >= nextLine) {
            const auto recent = std::count_if(times.begin(), times.end(), [&](auto t) { return now - t <= 10s; });
            const FrameCounts c = relay.counts();
            std::fprintf(report, "  %13.0f | %14zu | %26.1f | %6llu | %llu\n", secondsBetween(start, now),
                         done.size(), double(recent) / 10.0, static_cast<unsigned long long>(c.chunks),
                         static_cast<unsigned long long>(c.twice));
            std::fflush(report);
            nextLine += 30s;
        }
    }

    const benchnode::ProcessSample cpuA = benchnode::sampleProcess(a.pid());
    const benchnode::ProcessSample cpuB = benchnode::sampleProcess(b.pid());
    int identical = 0;
    for (const auto& [name, t] : done)
        identical += e2e::readFile(b.recvPath("NODE_A", name)) == e2e::readFile(a.sendPath(name)) ? 1 : 0;
    const FrameCounts c = relay.counts();
    b.terminate();
    a.terminate();

    const std::size_t m = times.size();
    std::fprintf(report, "  complete: %zu of %d (%d byte-identical) after %.1f s from NODE_B's start\n", m,
                 opt.files, identical, m ? secondsBetween(start, times.back()) : 0.0);
    if (m >= 3) {
        const double span = secondsBetween(times.front(), times.back());
        const std::size_t k = m / 3;
        const double first = double(k) / secondsBetween(times.front(), times[k]);
        const double last = double(k) / secondsBetween(times[m - 1 - k], times.back());
        std::fprintf(report,
                     "  %.1f files/s from the first complete file to the last (%.1f s); first third %.1f files/s, "
                     "last third %.1f files/s: %.2f x the first\n",
                     double(m - 1) / span, span, first, last, last / first);
    }
    std::fprintf(report,
                 "  frames: %llu requests (%.2f per file), %llu chunks, %llu of them sent twice for one file "
                 "(refused), %llu empty%s\n",
                 static_cast<unsigned long long>(c.requests), m ? double(c.requests) / double(m) : 0.0,
                 static_cast<unsigned long long>(c.chunks), static_cast<unsigned long long>(c.twice),
                 static_cast<unsigned long long>(c.emptyChunks), c.badStream ? "; BYTES THAT ARE NO FRAMES" : "");
    std::fprintf(report, "  CPU: NODE_A %.1f s, NODE_B %.1f s\n", cpuA.cpuSeconds, cpuB.cpuSeconds);
    return int(m) == opt.files && identical == opt.files && !c.badStream ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--files") == 0)
            opt.files = std::max(3, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--limit") == 0)
            opt.limitSeconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--exe") == 0)
            ::setenv("YUVO_E2E_EXE", argv[i + 1], 1);
        else if (std::strcmp(argv[i], "--fetching-exe") == 0)
            opt.fetchingExe = argv[i + 1];
    }
    // The store's console lines go to standard output; the report gets its
    // own stream and the console goes to the null device.
    FILE* report = ::fdopen(::dup(1), "w");
    if (!report || !std::freopen("/dev/null", "w", stdout))
        return 2;
    try {
        const int r = run(opt, report);
        std::fclose(report);
        return r;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
