#include "platform/qt/main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

namespace platform {

static void postTo(QObject* context, std::function<void()> fn)
{
    if (!context || !fn)
        return;
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void postToMainThread(std::function<void()> fn)
{
    postTo(QCoreApplication::instance(), std::move(fn));
}

CDeferredCalls::CDeferredCalls() : m_context(new QObject) {}

// Deleting the context object discards the calls still posted to it.
CDeferredCalls::~CDeferredCalls() = default;

void CDeferredCalls::post(std::function<void()> fn)
{
    postTo(m_context.get(), std::move(fn));
}

} // namespace platform
