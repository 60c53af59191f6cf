// Resident memory and idle CPU of a real release node holding 2,000, 20,000
// and 100,000 registered files (other counts as arguments), and of one with
// none, whose memory the bytes per entry are counted from. Each node is
// started, left until it has loaded and shown its catalog, and then watched
// while idle: no links, the SEND scan and the window's ticks running.
//
//     memory_bench [files ...] [--idle SECONDS]
//
// rss_med and rss_max: resident memory while idle (the maximum catches a
// SEND scan in progress); peak: the highest since the start; B/entry: the
// resident bytes per file above the node without files (when it is
// measured first); idle_cpu: the node's share of one core while idle.
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

struct Result {
    int files = 0;
    double registerSeconds = 0;
    double startSeconds = 0;
    long rssMedianKb = 0;
    long rssMaxKb = 0;
    long peakKb = 0;
    double idleCpuPercent = 0;
};

bool measure(int files, int idleSeconds, Result& r)
{
    r.files = files;
    benchnode::ScaledNode scaled(files);
    r.registerSeconds = scaled.registerSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    if (!scaled.startAndSettle()) {
        std::fprintf(stderr, "the node with %d files did not settle\n%s", files, scaled.node().logTails().c_str());
        return false;
    }
    r.startSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const pid_t pid = scaled.node().pid();
    const benchnode::ProcessSample first = benchnode::sampleProcess(pid);
    const auto w0 = std::chrono::steady_clock::now();
    std::vector<long> rss;
    for (int s = 0; s < idleSeconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        rss.push_back(benchnode::sampleProcess(pid).rssKb);
    }
    const benchnode::ProcessSample last = benchnode::sampleProcess(pid);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    std::sort(rss.begin(), rss.end());
    r.rssMedianKb = rss[rss.size() / 2];
    r.rssMaxKb = rss.back();
    r.peakKb = last.peakRssKb;
    r.idleCpuPercent = 100.0 * (last.cpuSeconds - first.cpuSeconds) / wall;
    return scaled.node().running();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> counts;
    int idleSeconds = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc)
            idleSeconds = std::max(1, std::atoi(argv[++i]));
        else
            counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty())
        counts = {0, 2000, 20000, 100000};

    std::printf("%8s %10s %9s %12s %12s %12s %10s %9s\n", "files", "register_s", "start_s", "rss_med_MB",
                "rss_max_MB", "peak_MB", "B/entry", "idle_cpu%");
    int failed = 0;
    long emptyKb = 0; // the node with no files, when measured
    for (int n : counts) {
        Result r;
        if (!measure(n, idleSeconds, r)) {
            ++failed;
            continue;
        }
        if (n == 0)
            emptyKb = r.rssMedianKb;
        std::printf("%8d %10.1f %9.1f %12.1f %12.1f %12.1f %10.0f %9.2f\n", r.files, r.registerSeconds,
                    r.startSeconds, r.rssMedianKb / 1024.0, r.rssMaxKb / 1024.0, r.peakKb / 1024.0,
                    r.files ? (r.rssMedianKb - emptyKb) * 1024.0 / r.files : 0.0, r.idleCpuPercent);
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
