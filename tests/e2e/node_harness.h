// Harness for end-to-end runs: real yuvo processes, each in its own working
// folder with its own Yuvo.ini, linked over TCP on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/ports.h"

namespace e2e {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using testsupport::accepts;
using testsupport::freePort;

// Polls pred every step until it holds or limit has passed; true when it held.
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = 200ms);

// Whole-file helpers. readFile gives "" for a missing file; fileSize -1.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
long long fileSize(const std::string& path);
bool exists(const std::string& path);
// Content of n bytes that differs with seed and position.
std::string pattern(std::size_t n, unsigned seed);
// The last n lines of a text file.
std::string tail(const std::string& path, int n);

// One 820-byte catalog record, the fields the tests look at.
struct CatalogEntry {
    std::string originNode;
    std::uint32_t state = 0; // 1 new, 2 deleted, 3 updated
    std::uint32_t complete = 0;
    std::uint32_t heldBytes = 0;
    std::uint32_t sizeLow = 0;
    std::string fileName; // CP932 bytes, as the record holds them
    std::uint32_t hopCount = 0;
    std::vector<std::string> route;
    std::string partyName;
    std::string registered; // the 16 bytes of the registration time
};
constexpr std::size_t kCatalogRecordSize = 820;
// The whole records of a catalog.dat (or queue) file; a partial tail is
// ignored.
std::vector<CatalogEntry> readCatalog(const std::string& path);

// The test's own temporary root, removed at the end unless YUVO_E2E_KEEP is
// set (then its path is printed).
class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A finished run of a short-lived process.
struct RunResult {
    bool exited = false; // ended by itself before the deadline
    int status = 0;      // waitpid status
    std::string out, err;
};

// One node: its folder, Yuvo.ini, process and logs.
class Node {
public:
    // The node's folder is root/name; its lock folder (YUVO_LOCK_FOLDER, and
    // its XDG_RUNTIME_DIR) is root/run-name, so that nodes of one party can
    // run side by side.
    Node(const std::string& root, std::string name, std::string party);
    ~Node(); // kills a process still running
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& name() const { return m_name; }
    const std::string& party() const { return m_party; }
    int port() const { return m_port; }
    const std::string& dir() const { return m_dir; }
    const std::string& lockFolder() const { return m_runtimeDir; }
    std::string sendPath(const std::string& file) const { return m_dir + "/SEND/" + file; }
    std::string recvPath(const std::string& origin, const std::string& file) const
    {
        return m_dir + "/RECV/" + origin + "/" + file;
    }
    // Where a file lies while the node receives it, beside its place.
    std::string receivingPath(const std::string& origin, const std::string& file) const
    {
        return recvPath(origin, file) + "·受信中";
    }
    std::string catalogPath() const { return m_dir + "/CATALOG/catalog.dat"; }
    std::string stdoutLog() const { return m_logBase + ".stdout.log"; }
    std::string stderrLog() const { return m_logBase + ".stderr.log"; }

    // A TCP row to another node at 127.0.0.1/<its port>.
    void addRow(const Node& other);
    // A TCP row to any host ("host" or "host/port").
    void addRow(const std::string& name, const std::string& host);
    // A "SKYPE" row: the neighbour's node name and the contact's Skype ID.
    void addSkypeRow(const std::string& nodeName, const std::string& skypeId);
    // The session bus the node's messaging-client link uses. Without one
    // the node gets none (never the bus of the desktop the tests run on).
    void setSessionBus(const std::string& address) { m_sessionBus = address; }
    struct Row {
        std::string name, trs, target; // trs "TCP" or "SKYPE"; target: host[/port] or Skype ID
    };
    const std::vector<Row>& rows() const { return m_rows; }
    // Writes Yuvo.ini: SYSTEM (PARTY, NAME, LIMITDAY 3, WINDOW 0,
    // LISTENPORT, CONNECTNUM) and one REC section per row.
    void writeIni() const;
    // Leaves LIMITDAY and WINDOW out of Yuvo.ini (their defaults apply), so
    // that a rewrite at the end can be told by their presence.
    void setMinimalIni(bool on) { m_minimalIni = on; }

    // Starts yuvo in the node's folder (Yuvo.ini written first), output to
    // the log files (appended, so a restart keeps the earlier run's lines).
    void start(const std::vector<std::string>& args = {"-D386"});
    bool running();
    // Its folders stand and its catalog file exists: the node is up.
    bool ready() const;
    pid_t pid() const { return m_pid; }
    // SIGTERM and wait up to limit; the wait status, or -1 when it did not
    // end (it is then killed).
    int terminate(std::chrono::milliseconds limit = 60s);
    // SIGKILL and reap.
    void kill();
    // The wait status of a process that ended by itself; -1 while running.
    int exitStatus();
    // Started and not stopped by the harness, yet no longer running.
    bool diedUnexpectedly() { return m_expectRunning && !running(); }

    // Puts a file into SEND whole: written beside the folder, then renamed
    // in. mtimeSec (seconds since the epoch) sets its last-write time when
    // not 0.
    void putFile(const std::string& file, const std::string& content, long long mtimeSec = 0);
    void removeFile(const std::string& file);

    std::vector<CatalogEntry> catalog() const { return readCatalog(catalogPath()); }

    // The tails of both logs, headed by the node's name.
    std::string logTails(int lines = 60) const;
    std::string stdoutText() const { return readFile(stdoutLog()); }

    // Environment for a process of this node.
    std::vector<std::string> environment() const;

private:
    std::string m_name, m_party, m_root, m_dir, m_runtimeDir, m_logBase;
    int m_port;
    std::string m_sessionBus;
    std::vector<Row> m_rows;
    pid_t m_pid = -1;
    int m_status = -1;
    int m_starts = 0;
    bool m_expectRunning = false;
    bool m_minimalIni = false;
};

// Runs yuvo in folder dir with env until it ends or limit passes (then it
// is killed), capturing its output.
RunResult runYuvo(const std::string& dir, const std::vector<std::string>& env,
                  const std::vector<std::string>& args, std::chrono::milliseconds limit);

// A catalog entry by origin and file name, or null.
const CatalogEntry* findEntry(const std::vector<CatalogEntry>& cat, const std::string& origin,
                              const std::string& file);
inline bool hasEntry(const std::vector<CatalogEntry>& cat, const std::string& origin, const std::string& file)
{
    return findEntry(cat, origin, file) != nullptr;
}

// The inodes of the established TCP sockets (IPv4 and IPv6) that process
// pid holds.
std::set<unsigned long> establishedSockets(pid_t pid);

// The path of the yuvo program under test (YUVO_E2E_EXE overrides it).
const char* yuvoPath();

} // namespace e2e
