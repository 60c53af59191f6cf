#include "platform/qt/timer.h"

#include <QObject>
#include <QTimer>

namespace platform {

struct CTimer::Impl {
    QTimer* timer = nullptr; // made on first start, when the event loop exists
    std::shared_ptr<std::function<void()>> callback;
    // Cleared when the timer is destroyed, so that a callback that destroyed
    // it can tell on its way out.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    bool inCallback = false;

    void fire()
    {
        if (inCallback || !callback)
            return;
        // Local copies keep the callback and the token alive should the
        // callback replace the one or destroy the timer.
        const auto cb = callback;
        const auto token = alive;
        inCallback = true;
        (*cb)();
        if (!*token)
            return;
        inCallback = false;
    }

    ~Impl()
    {
        *alive = false;
        if (!timer)
            return;
        timer->stop();
        QObject::disconnect(timer, nullptr, nullptr, nullptr);
        // Inside its own timeout signal the QTimer is still on the stack.
        if (inCallback)
            timer->deleteLater();
        else
            delete timer;
    }
};

CTimer::CTimer() : m_impl(std::make_unique<Impl>()) {}

CTimer::~CTimer() = default;

void CTimer::start(int ms, std::function<void()> callback)
{
    Impl* impl = m_impl.get();
    if (!impl->timer) {
        impl->timer = new QTimer;
        impl->timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(impl->timer, &QTimer::timeout, [impl] { impl->fire(); });
    }
    impl->callback = std::make_shared<std::function<void()>>(std::move(callback));
    impl->timer->start(ms < 0 ? 0 : ms);
}

void CTimer::stop()
{
    if (m_impl->timer)
        m_impl->timer->stop();
    m_impl->callback.reset();
}

bool CTimer::isActive() const
{
    return m_impl->timer && m_impl->timer->isActive();
}

} // namespace platform
