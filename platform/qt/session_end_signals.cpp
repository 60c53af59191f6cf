#include "platform/qt/session_events.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

namespace {

// The write end of the self-pipe, for the signal handler.
volatile int g_signalPipe = -1;

extern "C" void onSessionSignal(int sig)
{
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (g_signalPipe >= 0)
        (void)!::write(g_signalPipe, &b, 1);
    errno = saved;
}

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

} // namespace

struct CSessionEndSignals::Impl {
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction old[std::size(kSignals)] {};
    bool handlersSet = false;
};

CSessionEndSignals::CSessionEndSignals(std::function<void()> onEnd) : m_impl(std::make_unique<Impl>())
{
    if (::pipe2(m_impl->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "Yuvo: no pipe for the session signals; SIGTERM ends the program at once\n");
        return;
    }
    g_signalPipe = m_impl->pipe[1];
    m_impl->notifier = std::make_unique<QSocketNotifier>(m_impl->pipe[0], QSocketNotifier::Read);
    const int readEnd = m_impl->pipe[0];
    QObject::connect(m_impl->notifier.get(), &QSocketNotifier::activated, m_impl->notifier.get(),
                     [readEnd, onEnd = std::move(onEnd)] {
                         unsigned char buf[16];
                         bool any = false;
                         while (::read(readEnd, buf, sizeof buf) > 0)
                             any = true;
                         if (any && onEnd)
                             onEnd();
                     });
    struct sigaction sa {};
    sa.sa_handler = onSessionSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // Ctrl+C in the terminal ends the node in the same order as the end of
    // the session, so the settings and the catalog are written.
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &sa, &m_impl->old[i]);
    m_impl->handlersSet = true;
}

CSessionEndSignals::~CSessionEndSignals()
{
    if (m_impl->handlersSet) {
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &m_impl->old[i], nullptr);
    }
    g_signalPipe = -1;
    m_impl->notifier.reset();
    for (int fd : m_impl->pipe)
        if (fd >= 0)
            ::close(fd);
}
