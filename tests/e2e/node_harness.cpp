#include "node_harness.h"

#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

const char* yuvoPath()
{
    // YUVO_E2E_EXE runs the same tests against another build of the program.
    const char* other = std::getenv("YUVO_E2E_EXE");
    return other && *other ? other : YUVO_EXE;
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit,
               std::chrono::milliseconds step)
{
    const auto end = Clock::now() + limit;
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(step);
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return {};
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f << content;
    f.close();
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

long long fileSize(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return st.st_size;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::uint32_t x = 2463534242u ^ (seed * 0x9E3779B9u);
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xFF);
    }
    return s;
}

std::string tail(const std::string& path, int n)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return "(no file " + path + ")\n";
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(f, line)) {
        lines.push_back(line);
        if (static_cast<int>(lines.size()) > n)
            lines.pop_front();
    }
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

namespace {

std::uint32_t u32At(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16
           | std::uint32_t(b[3]) << 24;
}

std::string textAt(const char* p, std::size_t width)
{
    std::size_t n = 0;
    while (n < width && p[n] != '\0')
        ++n;
    return std::string(p, n);
}

} // namespace

std::vector<CatalogEntry> readCatalog(const std::string& path)
{
    const std::string bytes = readFile(path);
    std::vector<CatalogEntry> out;
    for (std::size_t off = 0; off + kCatalogRecordSize <= bytes.size(); off += kCatalogRecordSize) {
        const char* r = bytes.data() + off;
        CatalogEntry e;
        e.originNode = textAt(r + 12, 32);
        e.state = u32At(r + 48);
        e.complete = u32At(r + 84);
        e.heldBytes = u32At(r + 92);
        e.sizeLow = u32At(r + 128);
        e.fileName = textAt(r + 140, 260);
        e.hopCount = u32At(r + 416);
        for (std::uint32_t i = 0; i < e.hopCount && i < 10; ++i)
            e.route.push_back(textAt(r + 420 + 32 * i, 32));
        e.partyName = textAt(r + 744, 24);
        e.registered.assign(r + 52, 16);
        out.push_back(std::move(e));
    }
    return out;
}

const CatalogEntry* findEntry(const std::vector<CatalogEntry>& cat, const std::string& origin,
                              const std::string& file)
{
    for (const auto& e : cat)
        if (e.originNode == origin && e.fileName == file)
            return &e;
    return nullptr;
}

Workspace::Workspace()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/yuvo-e2e-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
    fs::create_directories(m_path + "/home");
    fs::create_directories(m_path + "/staging");
}

Workspace::~Workspace()
{
    if (std::getenv("YUVO_E2E_KEEP")) {
        std::printf("e2e: kept %s\n", m_path.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

Node::Node(const std::string& root, std::string name, std::string party)
    : m_name(std::move(name)), m_party(std::move(party)), m_root(root), m_dir(root + "/" + m_name),
      m_runtimeDir(root + "/run-" + m_name), m_logBase(root + "/" + m_name), m_port(freePort())
{
    fs::create_directories(m_dir);
    fs::create_directories(m_runtimeDir);
    ::chmod(m_runtimeDir.c_str(), 0700);
}

Node::~Node()
{
    if (m_pid > 0 && running())
        kill();
}

void Node::addRow(const Node& other)
{
    addRow(other.name(), "127.0.0.1/" + std::to_string(other.port()));
}

void Node::addRow(const std::string& name, const std::string& host)
{
    m_rows.push_back({name, "TCP", host});
}

void Node::addSkypeRow(const std::string& nodeName, const std::string& skypeId)
{
    m_rows.push_back({nodeName, "SKYPE", skypeId});
}

void Node::writeIni() const
{
    std::string ini;
    ini += "[SYSTEM]\r\n";
    ini += "PARTY=" + m_party + "\r\n";
    ini += "NAME=" + m_name + "\r\n";
    if (!m_minimalIni) {
        ini += "LIMITDAY=3\r\n";
        ini += "WINDOW=0\r\n";
    }
    ini += "LISTENPORT=" + std::to_string(m_port) + "\r\n";
    ini += "CONNECTNUM=" + std::to_string(m_rows.size()) + "\r\n";
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        ini += "[REC" + std::to_string(i + 1) + "]\r\n";
        ini += "NAME=" + m_rows[i].name + "\r\n";
        const bool skype = m_rows[i].trs == "SKYPE";
        ini += "TRS=" + m_rows[i].trs + "\r\n";
        ini += "SKYPEID=" + (skype ? m_rows[i].target : std::string()) + "\r\n";
        ini += "HOSTNAME=" + (skype ? std::string() : m_rows[i].target) + "\r\n";
        ini += "COMMENT=e2e\r\n";
    }
    writeFile(m_dir + "/Yuvo.ini", ini);
}

std::vector<std::string> Node::environment() const
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        if (s.rfind("QT_QPA_PLATFORM=", 0) == 0 || s.rfind("XDG_RUNTIME_DIR=", 0) == 0
            || s.rfind("YUVO_LOCK_FOLDER=", 0) == 0 || s.rfind("HOME=", 0) == 0
            || s.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0)
            continue;
        env.push_back(s);
    }
    if (!m_sessionBus.empty())
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + m_sessionBus);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("XDG_RUNTIME_DIR=" + m_runtimeDir);
    env.push_back("YUVO_LOCK_FOLDER=" + m_runtimeDir);
    env.push_back("HOME=" + m_root + "/home");
    return env;
}

namespace {

// yuvo in dir; output appended to the two files.
pid_t spawn(const std::string& dir, const std::vector<std::string>& env,
            const std::vector<std::string>& args, const std::string& outPath,
            const std::string& errPath)
{
    testsupport::SpawnSpec launch;
    launch.argv.push_back(yuvoPath());
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.env = env;
    launch.dir = dir;
    launch.outPath = outPath;
    launch.errPath = errPath;
    return testsupport::spawnProcess(launch);
}

} // namespace

void Node::start(const std::vector<std::string>& args)
{
    if (m_pid > 0 && running())
        throw std::runtime_error(m_name + " is running already");
    writeIni();
    ++m_starts;
    const std::string banner = "==== e2e: start " + std::to_string(m_starts) + " of " + m_name + "\n";
    for (const auto& p : {stdoutLog(), stderrLog()}) {
        std::ofstream f(p, std::ios::app);
        f << banner;
    }
    m_status = -1;
    m_expectRunning = true;
    m_pid = spawn(m_dir, environment(), args, stdoutLog(), stderrLog());
}

bool Node::ready() const
{
    return exists(m_dir + "/SEND") && exists(m_dir + "/RECV") && exists(catalogPath());
}

bool Node::running()
{
    if (m_pid <= 0)
        return false;
    int st = 0;
    const pid_t r = ::waitpid(m_pid, &st, WNOHANG);
    if (r == 0)
        return true;
    if (r == m_pid)
        m_status = st;
    m_pid = -1;
    return false;
}

int Node::exitStatus()
{
    if (running())
        return -1;
    return m_status;
}

int Node::terminate(std::chrono::milliseconds limit)
{
    m_expectRunning = false;
    if (!running())
        return m_status;
    ::kill(m_pid, SIGTERM);
    if (waitUntil([&] { return !running(); }, limit, 50ms))
        return m_status;
    kill();
    return -1;
}

void Node::kill()
{
    m_expectRunning = false;
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    int st = 0;
    if (::waitpid(m_pid, &st, 0) == m_pid)
        m_status = st;
    m_pid = -1;
}

void Node::putFile(const std::string& file, const std::string& content, long long mtimeSec)
{
    const std::string staging = m_root + "/staging/" + m_name + "-" + file;
    writeFile(staging, content);
    if (mtimeSec != 0) {
        timespec t[2];
        t[0].tv_sec = mtimeSec;
        t[0].tv_nsec = 0;
        t[1] = t[0];
        if (::utimensat(AT_FDCWD, staging.c_str(), t, 0) != 0)
            throw std::runtime_error("utimensat failed on " + staging);
    }
    if (::rename(staging.c_str(), sendPath(file).c_str()) != 0)
        throw std::runtime_error("cannot move " + staging + " into SEND: " + std::strerror(errno));
}

void Node::removeFile(const std::string& file)
{
    if (::unlink(sendPath(file).c_str()) != 0)
        throw std::runtime_error("cannot remove " + sendPath(file));
}

std::string Node::logTails(int lines) const
{
    std::string s;
    s += "----- " + m_name + " stdout (last " + std::to_string(lines) + " lines) -----\n";
    s += tail(stdoutLog(), lines);
    s += "----- " + m_name + " stderr (last " + std::to_string(lines) + " lines) -----\n";
    s += tail(stderrLog(), lines);
    return s;
}

RunResult runYuvo(const std::string& dir, const std::vector<std::string>& env,
                  const std::vector<std::string>& args, std::chrono::milliseconds limit)
{
    static int seq = 0;
    const std::string base = dir + "/../run-" + std::to_string(::getpid()) + "-" + std::to_string(++seq);
    const std::string outPath = base + ".out", errPath = base + ".err";
    RunResult r;
    const pid_t pid = spawn(dir, env, args, outPath, errPath);
    r.exited = waitUntil(
        [&] {
            int st = 0;
            const pid_t w = ::waitpid(pid, &st, WNOHANG);
            if (w == pid) {
                r.status = st;
                return true;
            }
            return false;
        },
        limit, 50ms);
    if (!r.exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &r.status, 0);
    }
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

std::set<unsigned long> establishedSockets(pid_t pid)
{
    std::set<unsigned long> mine;
    std::error_code ec;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    for (fs::directory_iterator it(fdDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        const std::string target = fs::read_symlink(it->path(), ec2).string();
        unsigned long ino = 0;
        if (!ec2 && std::sscanf(target.c_str(), "socket:[%lu]", &ino) == 1)
            mine.insert(ino);
    }
    std::set<unsigned long> out;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(readFile(table));
        std::string line;
        std::getline(in, line); // heading
        while (std::getline(in, line)) {
            // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream f(line);
            std::string sl, local, remote, st, q, tr, retr, uid, timeout;
            unsigned long ino = 0;
            if (f >> sl >> local >> remote >> st >> q >> tr >> retr >> uid >> timeout >> ino)
                if (st == "01" && mine.count(ino))
                    out.insert(ino);
        }
    }
    return out;
}

} // namespace e2e
