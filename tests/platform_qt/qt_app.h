// A QCoreApplication for the lifetime of a test fixture, and waiting on a
// real event loop (deferred deletes need one).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

class QtApp {
    int m_argc = 1;
    char m_name[8] = "test";
    char* m_argv[2] = {m_name, nullptr};
    QCoreApplication m_app{m_argc, m_argv};
};

// Runs an event loop until done() or the time is up; returns done().
template <class Done>
bool runUntil(Done done, int ms = 5000)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || clock.elapsed() >= ms)
            loop.quit();
    });
    poll.start(2);
    if (!done())
        loop.exec();
    return done();
}

inline void runFor(int ms)
{
    runUntil([] { return false; }, ms);
}

} // namespace testsupport
