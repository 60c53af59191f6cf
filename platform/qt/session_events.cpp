#include "platform/qt/session_events.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#ifdef YUVO_HAVE_DBUS
#include <QDBusConnection>
#endif

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

} // namespace

#ifdef YUVO_HAVE_DBUS
// Receives logind's PrepareForSleep(bool): true before the machine sleeps,
// false after it has woken.
class SleepSignalReceiver : public QObject {
    Q_OBJECT
public:
    explicit SleepSignalReceiver(std::function<void(bool)> onSleep) : m_onSleep(std::move(onSleep)) {}

public slots:
    void prepareForSleep(bool start)
    {
        if (m_onSleep)
            m_onSleep(start);
    }

private:
    std::function<void(bool)> m_onSleep;
};
#endif

struct CSessionEvents::Impl {
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldTerm {};
    struct sigaction oldHup {};
    struct sigaction oldInt {};
    bool handlersSet = false;
    bool sleepHeard = false;
#ifdef YUVO_HAVE_DBUS
    std::unique_ptr<SleepSignalReceiver> receiver;
#endif
};

CSessionEvents::CSessionEvents(std::function<void()> onEndSession, std::function<void(bool)> onSleep)
    : m_impl(std::make_unique<Impl>())
{
    if (::pipe2(m_impl->pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        g_signalPipe = m_impl->pipe[1];
        m_impl->notifier = std::make_unique<QSocketNotifier>(m_impl->pipe[0], QSocketNotifier::Read);
        const int readEnd = m_impl->pipe[0];
        QObject::connect(m_impl->notifier.get(), &QSocketNotifier::activated, m_impl->notifier.get(),
                         [readEnd, onEndSession = std::move(onEndSession)] {
                             unsigned char buf[16];
                             bool any = false;
                             while (::read(readEnd, buf, sizeof buf) > 0)
                                 any = true;
                             if (any && onEndSession)
                                 onEndSession();
                         });
        struct sigaction sa {};
        sa.sa_handler = onSessionSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, &m_impl->oldTerm);
        ::sigaction(SIGHUP, &sa, &m_impl->oldHup);
        // Ctrl+C in the terminal ends the node in the same order, so the
        // settings and the catalog are written as at any other end.
        ::sigaction(SIGINT, &sa, &m_impl->oldInt);
        m_impl->handlersSet = true;
    } else {
        std::fprintf(stderr, "Yuvo: no pipe for the session signals; SIGTERM ends the program at once\n");
    }

#ifdef YUVO_HAVE_DBUS
    // No system bus (a container, a minimal machine): then there is no sleep
    // signal to hear either.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        m_impl->receiver = std::make_unique<SleepSignalReceiver>(std::move(onSleep));
        m_impl->sleepHeard = bus.connect(QStringLiteral("org.freedesktop.login1"),
                                         QStringLiteral("/org/freedesktop/login1"),
                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                         QStringLiteral("PrepareForSleep"), m_impl->receiver.get(),
                                         SLOT(prepareForSleep(bool)));
    }
#else
    (void)onSleep;
#endif
}

CSessionEvents::~CSessionEvents()
{
#ifdef YUVO_HAVE_DBUS
    if (m_impl->receiver && m_impl->sleepHeard)
        QDBusConnection::systemBus().disconnect(QStringLiteral("org.freedesktop.login1"),
                                                QStringLiteral("/org/freedesktop/login1"),
                                                QStringLiteral("org.freedesktop.login1.Manager"),
                                                QStringLiteral("PrepareForSleep"), m_impl->receiver.get(),
                                                SLOT(prepareForSleep(bool)));
#endif
    if (m_impl->handlersSet) {
        ::sigaction(SIGTERM, &m_impl->oldTerm, nullptr);
        ::sigaction(SIGHUP, &m_impl->oldHup, nullptr);
        ::sigaction(SIGINT, &m_impl->oldInt, nullptr);
    }
    g_signalPipe = -1;
    m_impl->notifier.reset();
    for (int fd : m_impl->pipe)
        if (fd >= 0)
            ::close(fd);
}

bool CSessionEvents::hearsSleep() const
{
    return m_impl->sleepHeard;
}

#ifdef YUVO_HAVE_DBUS
#include "session_events.moc"
#endif
