// A file transfer between two nodes over loopback, each node a process of
// its own (the catalog is one per process): this process serves a file
// registered in its SEND folder, a child process fetches it through the poll
// and fetch chains. Reports the rate against the design bound of one chunk
// of 51200 bytes per 50 ms tick (1.024 MB/s per link) and the CPU time of
// both nodes per MB; then the resident memory and idle CPU of a node with
// ten established links.
//
//   tcp_transfer_bench [--mib N]      (default 64; e.g. --mib 8 for a quick run)
#include <QCoreApplication>
#include <QEventLoop>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dirlist.h"
#include "support/ports.h"
#include "protocol/frames.h"
#include "store/catalog.h"
#include "support/tempdir.h"
#include "support/test_settings.h"
#include "tcp/tcp_a2a_model.h"

namespace {

using Clock = std::chrono::steady_clock;

// A node's settings: its name and listening port in party "BENCH". Made in
// the node's working directory.
void configure(testsupport::TestSettings& settings, const char* node, int port)
{
    settings.nodeName = node;
    settings.partyName = "BENCH";
    settings.listenPort = port;
}

void addTcpRow(testsupport::TestSettings& settings, const char* name, int peerPort)
{
    settings.addRow(name, "TCP", ("127.0.0.1/" + std::to_string(peerPort)).c_str());
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long residentKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

char patternByte(std::size_t i)
{
    return static_cast<char>((i * 2654435761u) >> 13);
}

template <class Pred>
bool runUntil(Pred pred, double seconds)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// --- The fetching node (child process) --------------------------------------

int runFetcher(const std::string& dir, int servePort, std::size_t size, int resultFd)
{
    std::filesystem::current_path(dir);
    testsupport::TestSettings settings;
    configure(settings, "F", testsupport::freePort());
    addTcpRow(settings, "S", servePort);
    CTcpA2AModel* model = CTcpA2AModel::getInstance();
    model->connect("S", "127.0.0.1", static_cast<UINT>(servePort));

    // The periodic poll would come 20 s after the link is up: poll once
    // at once, as the tick would later.
    if (!runUntil([&] { return model->isConnected("S", "") == 1; }, 10))
        return 3;
    model->established().front()->exchange().sendSyncPoll();

    CCatalog* catalog = CCatalog::getInstance();
    CatalogRecord rec{};
    if (!runUntil([&] { return catalog->findRec("bench.bin", "S", &rec); }, 30))
        return 4;
    const auto t0 = Clock::now();
    const double cpu0 = cpuSeconds();
    if (!runUntil([&] { return catalog->findRec("bench.bin", "S", &rec) && rec.complete == 1; }, 3 * 3600))
        return 5;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;

    // Byte-identical?
    std::ifstream in(dir + "/RECV/S/bench.bin", std::ios::binary);
    std::vector<char> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool same = got.size() == size;
    for (std::size_t i = 0; same && i < size; ++i)
        same = got[i] == patternByte(i);

    char line[256];
    const int n = std::snprintf(line, sizeof line, "%f %f %d\n", wall, cpu, same ? 1 : 0);
    if (::write(resultFd, line, static_cast<std::size_t>(n)) != n)
        return 6;
    CTcpA2AModel::releaseInstance();
    CCatalog::releaseInstance();
    return 0;
}

// --- The serving node (this process) ----------------------------------------

struct Transfer {
    double wall = 0, fetchCpu = 0, serveCpu = 0;
    bool same = false;
};

bool runTransfer(const char* self, std::size_t size, Transfer& out)
{
    const testsupport::TempDir serve, fetch;
    const std::string& serveDir = serve.path();
    const std::string& fetchDir = fetch.path();
    const testsupport::ScopedChdir cwd(serveDir);
    const int port = testsupport::freePort();
    testsupport::TestSettings settings;
    configure(settings, "S", port);
    addTcpRow(settings, "F", 0);

    {
        std::ofstream f(serveDir + "/SEND/bench.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::size_t done = 0; done < size; done += block.size()) {
            const std::size_t n = std::min(block.size(), size - done);
            for (std::size_t i = 0; i < n; ++i)
                block[i] = patternByte(done + i);
            f.write(block.data(), static_cast<std::streamsize>(n));
        }
    }
    WIN32_FIND_DATAA fd;
    if (!platform::findFileData(serveDir + "/SEND/bench.bin", &fd))
        return false;
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    CCatalog::getInstance()->addRec(&rec);

    CTcpA2AModel* model = CTcpA2AModel::getInstance();
    if (!model->startListen())
        return false;

    int pipeFd[2];
    if (::pipe(pipeFd) != 0)
        return false;
    ::fcntl(pipeFd[0], F_SETFL, O_NONBLOCK);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFd[0]);
        const std::string args[] = {"--fetch", fetchDir, std::to_string(port), std::to_string(size),
                                    std::to_string(pipeFd[1])};
        ::execl(self, self, args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4].c_str(),
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    ::close(pipeFd[1]);

    // The serving node's CPU time while the child fetches (its start and end
    // are close enough to the child's own timing for a per-MB figure).
    if (!runUntil([&] { return model->isConnected("F", "") == 1; }, 20))
        return false;
    const double cpu0 = cpuSeconds();
    std::string result;
    int status = 0;
    runUntil(
        [&] {
            char buf[256];
            const ssize_t n = ::read(pipeFd[0], buf, sizeof buf);
            if (n > 0)
                result.append(buf, static_cast<std::size_t>(n));
            return result.find('\n') != std::string::npos || ::waitpid(child, &status, WNOHANG) == child;
        },
        3 * 3600);
    out.serveCpu = cpuSeconds() - cpu0;
    ::waitpid(child, &status, 0);
    ::close(pipeFd[0]);
    CTcpA2AModel::releaseInstance();
    CCatalog::releaseInstance();

    int same = 0;
    if (std::sscanf(result.c_str(), "%lf %lf %d", &out.wall, &out.fetchCpu, &same) != 3) {
        std::fprintf(stderr, "fetching node failed (exit status %d)\n", WEXITSTATUS(status));
        return false;
    }
    out.same = same == 1;
    return true;
}

// --- Ten links ---------------------------------------------------------------

std::string linkName(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "L%d", i);
    return name;
}

struct TenLinks {
    std::size_t links = 0;
    long before = 0, listening = 0, linked = 0;
    double idleShare = 0;
};

TenLinks measureTenLinks()
{
    TenLinks out;
    const testsupport::TempDir dir;
    const testsupport::ScopedChdir cwd(dir.path());
    out.before = residentKiB();
    testsupport::TestSettings settings;
    configure(settings, "S", testsupport::freePort());
    for (int i = 0; i < 10; ++i)
        addTcpRow(settings, linkName(i).c_str(), 0);
    CTcpA2AModel* model = CTcpA2AModel::getInstance();
    model->startListen();
    out.listening = residentKiB();

    // Ten peers that say hello and then only read.
    std::vector<int> peers;
    for (int i = 0; i < 10; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(settings.listenPort));
        ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        NodeInfoFrame hello{};
        buildNodeInfoFrame(&hello, linkName(i).c_str(), "BENCH", 0, SYSTEMTIME{});
        ::send(s, &hello, sizeof hello, MSG_NOSIGNAL);
        peers.push_back(s);
        // One at a time, so the listen backlog never fills.
        runUntil([&] { return model->established().size() == peers.size(); }, 10);
    }
    runUntil([&] { return model->established().size() == 10; }, 10);
    // Every link ticks for a while.
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    runUntil([] { return false; }, 3);
    out.idleShare = (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
    out.linked = residentKiB();
    out.links = model->established().size();

    CTcpA2AModel::releaseInstance();
    for (int s : peers)
        ::close(s);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    // The nodes' console lines go to standard output; the report gets its
    // own stream and the console goes to the null device.
    FILE* report = ::fdopen(::dup(1), "w");
    if (!report || !std::freopen("/dev/null", "w", stdout))
        return 2;
    if (argc == 6 && std::strcmp(argv[1], "--fetch") == 0) {
        QCoreApplication app(argc, argv);
        return runFetcher(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]));
    }
    std::size_t mib = 64;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
    QCoreApplication app(argc, argv);

    const std::size_t size = mib << 20;
    Transfer t;
    // The working directory changes before the child starts.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    if (!runTransfer(self.c_str(), size, t)) {
        std::fprintf(stderr, "transfer failed\n");
        return 1;
    }
    const double mb = double(size) / 1e6;
    const double bound = double(CHUNK_LIMIT_TCP) / 0.050 / 1e6;
    std::fprintf(report,
                 "transfer of %zu MiB over loopback: %.1f s, %.3f MB/s = %.1f%% of the design bound %.3f MB/s "
                 "(one %u-byte chunk per 50 ms tick); byte-identical: %s\n",
                 mib, t.wall, mb / t.wall, 100.0 * (mb / t.wall) / bound, bound, CHUNK_LIMIT_TCP,
                 t.same ? "yes" : "NO");
    std::fprintf(report, "CPU: fetching node %.4f s/MB (%.2f%% of one core), serving node %.4f s/MB (%.2f%% of one core)\n",
                 t.fetchCpu / mb, 100.0 * t.fetchCpu / t.wall, t.serveCpu / mb, 100.0 * t.serveCpu / t.wall);
    std::fflush(report);

    const TenLinks l = measureTenLinks();
    std::fprintf(report,
                 "node with %zu established links: resident %ld KiB (%ld KiB before the model, %ld KiB listening; "
                 "%.0f KiB per link); idle CPU %.2f%% of one core\n",
                 l.links, l.linked, l.before, l.listening, double(l.linked - l.listening) / 10.0, 100.0 * l.idleShare);
    std::fclose(report);
    return t.same ? 0 : 1;
}
