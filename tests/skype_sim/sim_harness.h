// What the tests and benchmarks use to run the client simulator: private
// session buses (a dbus-daemon each, as on a desktop of its own) and the
// simulator process with its control socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace skypesim {

// The dbus-daemon program; "" when it is not installed.
std::string dbusDaemonPath();
// The simulator under test (YUVO_SKYPE_SIM overrides it).
std::string simPath();

// A session bus of its own: a dbus-daemon that listens on a socket in dir.
class PrivateBus {
public:
    // Starts the daemon; throws std::runtime_error when it does not come up.
    explicit PrivateBus(const std::string& dir);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // What DBUS_SESSION_BUS_ADDRESS takes.
    const std::string& address() const { return m_address; }

private:
    std::string m_address;
    pid_t m_pid = -1;
};

// The simulator as a child process, run in dir; its output goes to
// dir/skype_sim.log and its control socket is dir/sim.ctl.
class SimProcess {
public:
    SimProcess(const std::string& dir, const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Waits until it answers on its control socket.
    bool ready(std::chrono::milliseconds limit = std::chrono::seconds(30));
    bool running();
    // One control line; its answer, or "" when none came within limit.
    // While it waits, the idle function runs (a test that plays a node
    // keeps answering the bus meanwhile).
    std::string control(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(30));
    // "status USER" as key=value pairs (empty when the answer is not OK).
    std::map<std::string, std::string> status(const std::string& user);
    int statusCount(const std::string& user, const std::string& key);
    // The user's streams as the simulator lists them ("bob:1", ...).
    std::vector<std::string> streams(const std::string& user);

    pid_t pid() const { return m_pid; }
    const std::string& logPath() const { return m_log; }
    std::string logTail(int lines = 80) const;
    // SIGTERM, then SIGKILL; the wait status (-1 when killed).
    int stop();
    void setIdle(std::function<void()> idle) { m_idle = std::move(idle); }

private:
    std::function<void()> m_idle;
    std::string m_control, m_log;
    pid_t m_pid = -1;
};

} // namespace skypesim
