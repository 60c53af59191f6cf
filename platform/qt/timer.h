// A repeating timer on the main thread's event loop (the stand-in for
// window and thread timers). Ticks missed while the thread was busy are not
// made up afterwards. A running callback is never entered again: should it
// open a nested event loop (a modal dialog), ticks of this timer that fall
// due meanwhile are skipped, while other timers go on. The callback may stop,
// restart or destroy its own timer.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class CTimer {
public:
    CTimer();
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // (Re)starts the timer: callback every ms milliseconds, the first one
    // ms from now. Replaces a running timer's callback.
    void start(int ms, std::function<void()> callback);
    void stop();
    bool isActive() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform
