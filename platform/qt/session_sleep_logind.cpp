#include "platform/qt/session_events.h"

#include <QDBusConnection>
#include <QObject>

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSignal = QStringLiteral("PrepareForSleep");

} // namespace

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

struct CSleepSignal::Impl {
    std::unique_ptr<SleepSignalReceiver> receiver;
    bool heard = false;
};

CSleepSignal::CSleepSignal(std::function<void(bool)> onSleep) : m_impl(std::make_unique<Impl>())
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    m_impl->receiver = std::make_unique<SleepSignalReceiver>(std::move(onSleep));
    m_impl->heard = bus.connect(kService, kPath, kInterface, kSignal, m_impl->receiver.get(),
                                SLOT(prepareForSleep(bool)));
}

CSleepSignal::~CSleepSignal()
{
    if (m_impl->heard)
        QDBusConnection::systemBus().disconnect(kService, kPath, kInterface, kSignal, m_impl->receiver.get(),
                                                SLOT(prepareForSleep(bool)));
}

bool CSleepSignal::hears() const
{
    return m_impl->heard;
}

#include "session_sleep_logind.moc"
