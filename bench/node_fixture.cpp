#include "node_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "store/catalog.h"
#include "store/events.h"
#include "store/folder_watch.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace benchnode {

using namespace std::chrono_literals;

namespace {

// A last-write time well in the past, so that no file looks freshly written.
constexpr long FILE_TIME = 1700000000;

void writeSized(const std::string& folder, const SizedFile& file, unsigned seed)
{
    std::string block;
    const int fd = ::open((folder + "/" + file.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (std::size_t done = 0; fd >= 0 && done < file.bytes; done += block.size()) {
        block = e2e::pattern(std::min<std::size_t>(file.bytes - done, 1 << 20), seed++);
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
            throw std::runtime_error("cannot write " + file.name);
    }
    if (fd < 0)
        throw std::runtime_error("cannot write " + file.name);
    const struct timespec t[2] = {{FILE_TIME, 0}, {FILE_TIME, 0}};
    ::futimens(fd, t);
    ::close(fd);
}

void writeSendFile(const std::string& path, const std::string& content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        throw std::runtime_error("cannot write " + path);
    const struct timespec t[2] = {{FILE_TIME, 0}, {FILE_TIME, 0}};
    ::futimens(fd, t);
    ::close(fd);
}

} // namespace

std::string fileName(int i)
{
    char name[64];
    std::snprintf(name, sizeof name, "shared-document-%06d.txt", i);
    return name;
}

std::string fileContent(int i)
{
    return "content of shared document " + std::to_string(i) + "\n";
}

double registerFiles(e2e::Node& node, int files, const RegisterOptions& options)
{
    const auto t0 = std::chrono::steady_clock::now();
    node.writeIni();
    {
        testsupport::ScopedChdir inNode(node.dir());
        // The node's settings as its Yuvo.ini gives them; made in the node's
        // folder, which also makes SEND, RECV and CATALOG there.
        testsupport::TestSettings settings;
        settings.nodeName = node.name();
        settings.partyName = node.party();
        for (const auto& row : node.rows())
            settings.addRow(row.name.c_str(), row.trs.c_str(), row.target.c_str(), "e2e");
        const std::string send = settings.getSendFolder();
        CCatalog::getInstance();
        {
            CFolderWatch watch;
            watch.setFolder(send.c_str());
            watch.loadList();
            if (!options.earlier.empty()) {
                for (const SizedFile& f : options.earlier)
                    writeSized(send, f, 1);
                watch.checkFolder();
            }
            for (int i = 0; i < files; ++i)
                writeSendFile(send + "/" + fileName(i), fileContent(i));
            for (const SizedFile& f : options.extra)
                writeSized(send, f, 7);
            watch.checkFolder();
            const std::size_t want = std::size_t(files) + options.earlier.size() + options.extra.size();
            if (watch.snapshot().size() != want)
                throw std::runtime_error("the SEND scan did not register every file");
        }
        CCatalog::releaseInstance(); // rewrites catalog.dat as the node does at its end
        ZQ_EVENTCATALOG::destroyInstance();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<e2e::Node::Row> unreachableRows(int n)
{
    std::vector<e2e::Node::Row> rows;
    for (int i = 1; i <= n; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "NB%02d", i);
        rows.push_back({name, "TCP", "127.0.0.1/" + std::to_string(e2e::freePort())});
    }
    return rows;
}

ScaledNode::ScaledNode(int files, const std::vector<e2e::Node::Row>& rows, const RegisterOptions& options)
    : m_node(std::make_unique<e2e::Node>(m_ws.path(), "NODE_A", "PARTY"))
{
    for (const auto& row : rows)
        m_node->addRow(row.name, row.target);
    m_registerSeconds = registerFiles(*m_node, files, options);
}

ScaledNode::~ScaledNode()
{
    if (m_node->running())
        m_node->terminate();
}

bool ScaledNode::startAndSettle(std::chrono::milliseconds settle, std::chrono::milliseconds limit)
{
    m_node->start();
    const auto end = e2e::Clock::now() + limit;
    if (!e2e::waitUntil([&] { return m_node->ready() || !m_node->running(); }, limit) || !m_node->running())
        return false;
    long highest = 0;
    auto since = e2e::Clock::now();
    while (e2e::Clock::now() < end) {
        if (!m_node->running())
            return false;
        const long rss = sampleProcess(m_node->pid()).rssKb;
        // Growth of less than a quarter of a megabyte is noise, not loading.
        if (rss > highest + 256) {
            highest = rss;
            since = e2e::Clock::now();
        } else if (e2e::Clock::now() - since >= settle) {
            return true;
        }
        std::this_thread::sleep_for(250ms);
    }
    return false;
}

ProcessSample sampleProcess(pid_t pid)
{
    ProcessSample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssKb = std::stol(line.substr(6));
        else if (line.rfind("VmHWM:", 0) == 0)
            s.peakRssKb = std::stol(line.substr(6));
    }
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The fields after the command's closing parenthesis; utime and stime
    // are the 14th and 15th of the whole line.
    const auto close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int k = 3; k <= 15 && rest >> field; ++k) {
            if (k == 14)
                utime = std::stoull(field);
            else if (k == 15)
                stime = std::stoull(field);
        }
        s.cpuSeconds = double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
    }
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:")
            s.writeCallBytes = value;
        else if (key == "write_bytes:")
            s.storageBytes = value;
    }
    return s;
}

} // namespace benchnode
