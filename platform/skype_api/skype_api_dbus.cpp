#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QObject>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <set>

#include "platform/cp932.h"
#include "platform/skype_api/skype_api.h"

namespace platform {

namespace {

std::atomic<int> g_connectionCount{0};

// The text of a bus string in code page 932; nullopt when it is too long or
// has no such form.
std::optional<std::string> fromBus(const QString& s)
{
    const QByteArray utf8 = s.toUtf8();
    if (static_cast<std::size_t>(utf8.size()) > CSkypeApi::MAX_TEXT)
        return std::nullopt;
    return cp932::fromUtf8(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

class SessionBusSkypeApi;

// Serves Notify(s) on the node's client object. Handled on the main thread
// (the object lives there; the bus posts the call to it).
class NotifyObject : public QDBusVirtualObject {
public:
    explicit NotifyObject(SessionBusSkypeApi* api) : m_api(api) {}

    QString introspect(const QString&) const override
    {
        return QStringLiteral("<interface name=\"%1\"><method name=\"Notify\">"
                              "<arg name=\"text\" type=\"s\" direction=\"in\"/></method></interface>")
            .arg(QString::fromLatin1(CSkypeApi::CLIENT_INTERFACE));
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    SessionBusSkypeApi* m_api;
};

class SessionBusSkypeApi : public CSkypeApi {
public:
    SessionBusSkypeApi() : m_name(QStringLiteral("yuvo-skype-api-%1").arg(++g_connectionCount)) {}

    ~SessionBusSkypeApi() override
    {
        *m_alive = false;
        m_serviceWatcher.reset();
        if (m_connected) {
            QDBusConnection bus(m_name);
            bus.unregisterObject(QString::fromLatin1(CLIENT_PATH));
            QDBusConnection::disconnectFromBus(m_name);
        }
        // Watchers of calls still under way; a finished one has left the set
        // and goes from the event loop.
        for (QDBusPendingCallWatcher* w : *m_watchers)
            delete w;
        m_watchers->clear();
    }

    bool open(CSkypeApiListener* listener) override
    {
        m_listener = listener;
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (!address || !*address || !QCoreApplication::instance())
            return false;
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(address), m_name);
        if (!bus.isConnected()) {
            QDBusConnection::disconnectFromBus(m_name);
            return false;
        }
        m_connected = true;
        bus.registerVirtualObject(QString::fromLatin1(CLIENT_PATH), &m_notify);

        // Watch first, then ask: the answer is never older than a change
        // signalled before it.
        m_serviceWatcher = std::make_unique<QDBusServiceWatcher>(QString::fromLatin1(SERVICE), bus,
                                                                 QDBusServiceWatcher::WatchForOwnerChange);
        QObject::connect(m_serviceWatcher.get(), &QDBusServiceWatcher::serviceOwnerChanged,
                         [this](const QString&, const QString&, const QString& newOwner) {
                             setOwner(newOwner.toStdString());
                         });
        QDBusMessage ask = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
        ask << QString::fromLatin1(SERVICE);
        watch(bus.asyncCall(ask), [this](const QDBusMessage& reply) {
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                setOwner(reply.arguments().at(0).toString().toStdString());
        });
        return true;
    }

    bool invoke(const std::string& destination, const std::string& text, int timeoutMs, AnswerFn done) override
    {
        if (!m_connected)
            return false;
        const std::optional<std::string> utf8 = cp932::toUtf8(text);
        if (!utf8)
            return false;
        QDBusMessage call = QDBusMessage::createMethodCall(QString::fromStdString(destination),
                                                           QString::fromLatin1(PATH),
                                                           QString::fromLatin1(INTERFACE), QStringLiteral("Invoke"));
        call << QString::fromUtf8(utf8->data(), static_cast<qsizetype>(utf8->size()));
        watch(QDBusConnection(m_name).asyncCall(call, timeoutMs), [done = std::move(done)](const QDBusMessage& reply) {
            SkypeApiAnswer answer;
            const QList<QVariant> args = reply.arguments();
            if (reply.type() == QDBusMessage::ReplyMessage && args.size() == 1
                && args.at(0).metaType().id() == QMetaType::QString) {
                answer.ok = true;
                answer.sender = reply.service().toStdString();
                const std::optional<std::string> t = fromBus(args.at(0).toString());
                answer.dropped = !t;
                if (t)
                    answer.text = *t;
            }
            done(answer);
        });
        return true;
    }

    // A Notify call; false refuses it.
    bool notify(const std::string& sender, const std::string& text)
    {
        return m_listener && m_listener->onApiNotify(sender, text);
    }

private:
    void setOwner(const std::string& owner)
    {
        if (owner == m_owner)
            return;
        const std::string old = m_owner;
        m_owner = owner;
        if (m_listener)
            m_listener->onApiOwnerChanged(old, owner);
    }

    // Runs fn with the call's answer from the event loop, unless the carrier
    // is gone by then.
    void watch(const QDBusPendingCall& call, std::function<void(const QDBusMessage&)> fn)
    {
        auto* w = new QDBusPendingCallWatcher(call);
        m_watchers->insert(w);
        QObject::connect(w, &QDBusPendingCallWatcher::finished,
                         [alive = m_alive, watchers = m_watchers, fn = std::move(fn)](QDBusPendingCallWatcher* self) {
                             // fn may destroy the carrier: this watcher is no
                             // longer its to delete.
                             watchers->erase(self);
                             self->deleteLater();
                             if (*alive)
                                 fn(self->reply());
                         });
    }

    QString m_name;
    bool m_connected = false;
    CSkypeApiListener* m_listener = nullptr;
    std::string m_owner;
    NotifyObject m_notify{this};
    std::unique_ptr<QDBusServiceWatcher> m_serviceWatcher;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::shared_ptr<std::set<QDBusPendingCallWatcher*>> m_watchers =
        std::make_shared<std::set<QDBusPendingCallWatcher*>>();
};

bool NotifyObject::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage || message.member() != QLatin1String("Notify"))
        return false;
    if (!message.interface().isEmpty() && message.interface() != QLatin1String(CSkypeApi::CLIENT_INTERFACE))
        return false;
    if (message.signature() != QLatin1String("s")) {
        connection.send(message.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("Notify takes one string")));
        return true;
    }
    const QString text = message.arguments().at(0).toString();
    if (static_cast<std::size_t>(text.toUtf8().size()) > CSkypeApi::MAX_TEXT) {
        connection.send(message.createErrorReply(QDBusError::LimitsExceeded, QStringLiteral("text too long")));
        return true;
    }
    // A text with no code page 932 form still has its sender checked; it
    // arrives empty and is not dispatched.
    const std::string cp932Text = fromBus(text).value_or(std::string());
    if (!m_api->notify(message.service().toStdString(), cp932Text)) {
        connection.send(message.createErrorReply(QDBusError::AccessDenied, QStringLiteral("not the attached client")));
        return true;
    }
    connection.send(message.createReply());
    return true;
}

} // namespace

std::unique_ptr<CSkypeApi> makeSessionBusSkypeApi()
{
    return std::make_unique<SessionBusSkypeApi>();
}

} // namespace platform
