// What the desktop session tells the node, delivered on the main thread's
// event loop, one back end per file: the end of the session by POSIX
// signals (session_end_signals.cpp), the machine's sleep by systemd-logind
// on the system bus (session_sleep_logind.cpp).
#pragma once

#include <functional>
#include <memory>

// The end of the session: SIGTERM and SIGHUP, as the system sends them at
// log-out and shutdown, and SIGINT from the terminal. Takes the three
// signals over for its lifetime; one object at a time.
class CSessionEndSignals {
public:
    explicit CSessionEndSignals(std::function<void()> onEnd);
    ~CSessionEndSignals();
    CSessionEndSignals(const CSessionEndSignals&) = delete;
    CSessionEndSignals& operator=(const CSessionEndSignals&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The machine going to sleep (suspending true) and waking up:
// systemd-logind's PrepareForSleep. Without a system bus (a container, a
// minimal machine) there is none to hear.
class CSleepSignal {
public:
    explicit CSleepSignal(std::function<void(bool suspending)> onSleep);
    ~CSleepSignal();
    CSleepSignal(const CSleepSignal&) = delete;
    CSleepSignal& operator=(const CSleepSignal&) = delete;

    // Whether the signal is being listened to.
    bool hears() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
