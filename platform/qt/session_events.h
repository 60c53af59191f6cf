// What the desktop session tells the node, delivered on the main thread's
// event loop: the end of the session (SIGTERM or SIGHUP, as the system
// sends them at log-out and shutdown, and SIGINT from the terminal) and the machine going to sleep and
// waking up (systemd-logind's PrepareForSleep on the system bus, where there
// is one).
#pragma once

#include <functional>
#include <memory>

class CSessionEvents {
public:
    // Takes over SIGTERM, SIGHUP and SIGINT for its lifetime; one object at a time.
    CSessionEvents(std::function<void()> onEndSession, std::function<void(bool suspending)> onSleep);
    ~CSessionEvents();
    CSessionEvents(const CSessionEvents&) = delete;
    CSessionEvents& operator=(const CSessionEvents&) = delete;

    // Whether the sleep signal is being listened to.
    bool hearsSleep() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
