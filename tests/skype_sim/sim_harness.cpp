#include "sim_harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/process.h"

namespace skypesim {

namespace {

using Clock = std::chrono::steady_clock;

std::string readAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool executable(const std::string& path)
{
    return ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string dbusDaemonPath()
{
    for (const char* p : {"/usr/bin/dbus-daemon", "/bin/dbus-daemon", "/usr/local/bin/dbus-daemon"})
        if (executable(p))
            return p;
    return {};
}

std::string simPath()
{
    const char* other = std::getenv("YUVO_SKYPE_SIM");
    return other && *other ? other : YUVO_SKYPE_SIM_EXE;
}

// --- PrivateBus ------------------------------------------------------------------

PrivateBus::PrivateBus(const std::string& dir)
{
    const std::string daemon = dbusDaemonPath();
    if (daemon.empty())
        throw std::runtime_error("dbus-daemon is not installed (Debian package dbus-daemon; scripts/test.sh installs it)");
    ::mkdir(dir.c_str(), 0700);
    // A socket path must fit sockaddr_un; a long temporary folder falls back
    // to an abstract socket.
    const std::string socketPath = dir + "/bus";
    const std::string listen = socketPath.size() < sizeof(sockaddr_un::sun_path) - 1
                                   ? "unix:path=" + socketPath
                                   : std::string("unix:tmpdir=/tmp");
    const std::string config = dir + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n"
                             "  <type>session</type>\n"
                             "  <listen>"
                          << listen
                          << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    const std::string addressFile = dir + "/address";
    testsupport::SpawnSpec launch;
    launch.argv = {daemon, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"};
    launch.env = testsupport::environmentWithout({"DBUS_SESSION_BUS_ADDRESS="});
    launch.outPath = addressFile;
    launch.errPath = dir + "/dbus-daemon.log";
    m_pid = testsupport::spawnProcess(launch);
    const auto end = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        const std::string text = readAll(addressFile);
        const auto nl = text.find('\n');
        if (nl != std::string::npos) {
            m_address = text.substr(0, nl);
            break;
        }
        int st = 0;
        if (testsupport::waitForExit(m_pid, &st, std::chrono::milliseconds(0))) {
            m_pid = -1;
            throw std::runtime_error("dbus-daemon ended at once: " + readAll(launch.errPath));
        }
        if (Clock::now() > end)
            throw std::runtime_error("dbus-daemon printed no address");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

PrivateBus::~PrivateBus()
{
    if (m_pid > 0)
        testsupport::stopProcess(m_pid, std::chrono::seconds(10));
}

// --- SimProcess --------------------------------------------------------------------

SimProcess::SimProcess(const std::string& dir, const std::vector<std::string>& args)
    : m_control(dir + "/sim.ctl"), m_log(dir + "/skype_sim.log")
{
    testsupport::SpawnSpec launch;
    launch.argv = {simPath(), "--control", m_control};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.env = testsupport::environmentWithout({"QT_QPA_PLATFORM="});
    launch.env.push_back("QT_QPA_PLATFORM=offscreen");
    launch.dir = dir;
    launch.outPath = m_log;
    launch.errPath = m_log;
    m_pid = testsupport::spawnProcess(launch);
}

SimProcess::~SimProcess()
{
    stop();
}

int SimProcess::stop()
{
    if (m_pid <= 0)
        return -1;
    const int st = testsupport::stopProcess(m_pid, std::chrono::seconds(20));
    m_pid = -1;
    return st;
}

bool SimProcess::running()
{
    if (m_pid <= 0)
        return false;
    if (testsupport::waitForExit(m_pid, nullptr, std::chrono::milliseconds(0))) {
        m_pid = -1;
        return false;
    }
    return true;
}

bool SimProcess::ready(std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (!running())
            return false;
        if (control("ping", std::chrono::seconds(2)) == "OK pong")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string SimProcess::control(const std::string& line, std::chrono::milliseconds limit)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, m_control.c_str(), sizeof sa.sun_path - 1);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        const std::string out = line + "\n";
        if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
            const auto end = Clock::now() + limit;
            std::string got;
            while (got.find('\n') == std::string::npos) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
                if (left <= 0)
                    break;
                pollfd p{fd, POLLIN, 0};
                const int r = ::poll(&p, 1, m_idle ? 5 : static_cast<int>(left));
                if (r < 0)
                    break;
                if (r == 0) {
                    if (m_idle)
                        m_idle();
                    continue;
                }
                char buf[4096];
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, static_cast<std::size_t>(n));
            }
            const auto nl = got.find('\n');
            if (nl != std::string::npos)
                answer = got.substr(0, nl);
        }
    }
    ::close(fd);
    return answer;
}

std::map<std::string, std::string> SimProcess::status(const std::string& user)
{
    std::map<std::string, std::string> out;
    const std::string answer = control("status " + user);
    if (answer.rfind("OK ", 0) != 0)
        return out;
    std::istringstream in(answer.substr(3));
    std::string word;
    while (in >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos)
            out[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return out;
}

int SimProcess::statusCount(const std::string& user, const std::string& key)
{
    const auto s = status(user);
    const auto it = s.find(key);
    return it == s.end() ? -1 : std::atoi(it->second.c_str());
}

std::vector<std::string> SimProcess::streams(const std::string& user)
{
    std::vector<std::string> out;
    std::istringstream in(status(user)["streams"]);
    std::string s;
    while (std::getline(in, s, ','))
        if (!s.empty())
            out.push_back(s);
    return out;
}

std::string SimProcess::logTail(int lines) const
{
    std::istringstream in(readAll(m_log));
    std::deque<std::string> last;
    std::string line;
    while (std::getline(in, line)) {
        last.push_back(line);
        if (static_cast<int>(last.size()) > lines)
            last.pop_front();
    }
    std::string out;
    for (const auto& l : last)
        out += l + "\n";
    return out;
}

} // namespace skypesim
