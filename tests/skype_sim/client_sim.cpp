#include "client_sim.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace skypesim {

namespace {

const QString kService = QStringLiteral("com.Skype.API");
const QString kApiPath = QStringLiteral("/com/Skype");
const QString kApiInterface = QStringLiteral("com.Skype.API");
const QString kClientPath = QStringLiteral("/com/Skype/Client");
const QString kClientInterface = QStringLiteral("com.Skype.API.Client");

// How often unread data is announced again while nobody reads it.
constexpr int kReceivedRepeatMs = 1000;

// Long texts (frames in hex) are cut in the log.
QString shorten(const QString& text)
{
    constexpr int kMax = 160;
    if (text.size() <= kMax)
        return text;
    return text.left(kMax) + QStringLiteral("...(%1 chars)").arg(text.size());
}

// Serves /com/Skype for one user: Invoke(s) -> s, and introspection.
class ApiObject : public QDBusVirtualObject {
public:
    ApiObject(ClientSim& sim, SimUser& user) : m_sim(sim), m_user(user) {}

    QString introspect(const QString&) const override
    {
        return QStringLiteral("<interface name=\"com.Skype.API\">"
                              "<method name=\"Invoke\">"
                              "<arg name=\"command\" type=\"s\" direction=\"in\"/>"
                              "<arg name=\"reply\" type=\"s\" direction=\"out\"/>"
                              "</method></interface>");
    }

    bool handleMessage(const QDBusMessage& msg, const QDBusConnection& conn) override
    {
        if (msg.type() != QDBusMessage::MethodCallMessage)
            return false;
        if (msg.interface() == QLatin1String("org.freedesktop.DBus.Introspectable")
            && msg.member() == QLatin1String("Introspect")) {
            const QString xml = QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
                                               "Introspection 1.0//EN\" "
                                               "\"http://www.freedesktop.org/standards/dbus/1.0/"
                                               "introspect.dtd\">\n<node>")
                                + introspect(msg.path()) + QStringLiteral("</node>");
            conn.send(msg.createReply(xml));
            return true;
        }
        if ((!msg.interface().isEmpty() && msg.interface() != kApiInterface)
            || msg.member() != QLatin1String("Invoke") || msg.signature() != QLatin1String("s")) {
            conn.send(msg.createErrorReply(QDBusError::UnknownMethod,
                                           QStringLiteral("only com.Skype.API.Invoke(s) is served here")));
            return true;
        }
        m_sim.invoke(m_user, msg);
        return true;
    }

private:
    ClientSim& m_sim;
    SimUser& m_user;
};

// A command's kind: its upper-case words, without names, keys and data
// ("ALTER APPLICATION CONNECT", "GET USER ONLINESTATUS", "NAME").
QString keywordsOf(const QStringList& words)
{
    static const QRegularExpression keyword(QStringLiteral("^[A-Z]+$"));
    QStringList out;
    for (const QString& w : words)
        if (keyword.match(w).hasMatch())
            out << w;
    return out.join(QLatin1Char(' '));
}

bool validHandle(const QString& h)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._\\-]{1,64}$"));
    return re.match(h).hasMatch();
}

} // namespace

// --- Attach policy -----------------------------------------------------------

std::optional<AttachPolicy> AttachPolicy::parse(const QString& text)
{
    AttachPolicy p;
    if (text == QLatin1String("allow"))
        p.kind = Allow;
    else if (text == QLatin1String("refuse"))
        p.kind = Refuse;
    else if (text == QLatin1String("unavailable"))
        p.kind = Unavailable;
    else if (text == QLatin1String("error"))
        p.kind = Error;
    else if (text.startsWith(QLatin1String("wait:"))) {
        bool ok = false;
        p.kind = Wait;
        p.waitMs = text.mid(5).toInt(&ok);
        if (!ok || p.waitMs < 0)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return p;
}

QString AttachPolicy::text() const
{
    switch (kind) {
    case Allow:
        return QStringLiteral("allow");
    case Wait:
        return QStringLiteral("wait:%1").arg(waitMs);
    case Refuse:
        return QStringLiteral("refuse");
    case Unavailable:
        return QStringLiteral("unavailable");
    case Error:
        return QStringLiteral("error");
    }
    return {};
}

QDBusConnection SimUser::connection() const
{
    return QDBusConnection(connectionName);
}

// --- Set-up ------------------------------------------------------------------

ClientSim::ClientSim(bool logTraffic) : m_logTraffic(logTraffic), m_started(QDateTime::currentMSecsSinceEpoch())
{
    m_receivedTimer.setInterval(kReceivedRepeatMs);
    connect(&m_receivedTimer, &QTimer::timeout, this, [this] { resendReceived(); });
    m_receivedTimer.start();
}

ClientSim::~ClientSim()
{
    for (auto& u : m_users)
        if (!u->connectionName.isEmpty())
            disconnectUser(*u);
}

qint64 ClientSim::now() const
{
    return QDateTime::currentMSecsSinceEpoch() - m_started;
}

void ClientSim::log(const QString& line) const
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

SimUser* ClientSim::user(const QString& handle) const
{
    for (const auto& u : m_users)
        if (u->handle == handle)
            return u.get();
    return nullptr;
}

bool ClientSim::addUser(const UserConfig& config, QString* error)
{
    if (!validHandle(config.handle)) {
        *error = QStringLiteral("unusable handle \"%1\"").arg(config.handle);
        return false;
    }
    if (user(config.handle)) {
        *error = QStringLiteral("user %1 given twice").arg(config.handle);
        return false;
    }
    auto u = std::make_unique<SimUser>();
    u->config = config;
    u->handle = config.handle;
    u->online = config.online;
    u->attach = config.attach;
    for (const QString& f : config.friends)
        if (!f.isEmpty() && f != config.handle && !u->friends.contains(f))
            u->friends << f;
    if (!u->hasBus())
        for (const QString& a : config.apps)
            u->apps.insert(a);
    // Friendship goes both ways, whichever side named it.
    for (auto& other : m_users) {
        if (other->friends.contains(u->handle) && !u->friends.contains(other->handle))
            u->friends << other->handle;
        if (u->friends.contains(other->handle) && !other->friends.contains(u->handle))
            other->friends << u->handle;
    }
    m_users.push_back(std::move(u));
    return true;
}

bool ClientSim::start(QString* error)
{
    for (auto& u : m_users)
        if (u->hasBus() && !connectUser(*u, error))
            return false;
    return true;
}

bool ClientSim::connectUser(SimUser& u, QString* error)
{
    ++u.generation;
    const QString name = QStringLiteral("skype-sim-%1-%2").arg(u.handle).arg(m_nextConnection++);
    QDBusConnection conn = QDBusConnection::connectToBus(u.config.bus, name);
    if (!conn.isConnected()) {
        *error = QStringLiteral("%1: cannot connect to %2: %3").arg(u.handle, u.config.bus, conn.lastError().message());
        QDBusConnection::disconnectFromBus(name);
        return false;
    }
    u.connectionName = name;
    auto* api = new ApiObject(*this, u);
    u.apiObject = api;
    if (!conn.registerVirtualObject(kApiPath, api, QDBusConnection::SingleNode)) {
        *error = QStringLiteral("%1: cannot serve %2").arg(u.handle, kApiPath);
        disconnectUser(u);
        return false;
    }
    const auto owned = conn.interface()->registerService(kService, QDBusConnectionInterface::DontQueueService,
                                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!owned.isValid() || owned.value() != QDBusConnectionInterface::ServiceRegistered) {
        *error = QStringLiteral("%1: %2 is taken on %3").arg(u.handle, kService, u.config.bus);
        disconnectUser(u);
        return false;
    }
    u.owned = true;
    u.watcher = std::make_unique<QDBusServiceWatcher>();
    u.watcher->setConnection(conn);
    u.watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    SimUser* up = &u;
    connect(u.watcher.get(), &QDBusServiceWatcher::serviceUnregistered, this,
            [this, up](const QString& name) { onNodeLeft(*up, name); });
    log(QStringLiteral("[%1] owns %2 on %3 as %4").arg(u.handle, kService, u.config.bus, conn.baseService()));
    return true;
}

void ClientSim::disconnectUser(SimUser& u)
{
    const QString name = u.connectionName;
    {
        QDBusConnection conn(name);
        if (conn.isConnected()) {
            if (u.owned)
                conn.unregisterService(kService);
            conn.unregisterObject(kApiPath);
        }
    }
    u.watcher.reset();
    delete u.apiObject;
    u.apiObject = nullptr;
    u.owned = false;
    u.connectionName.clear();
    QDBusConnection::disconnectFromBus(name);
}

// --- Texts in and out ----------------------------------------------------------

void ClientSim::reply(SimUser& u, const QDBusMessage& msg, const QString& text)
{
    QString out = text;
    if (!u.replyOverride.isNull() && !msg.arguments().value(0).toString().startsWith(QLatin1String("NAME "))) {
        out = u.replyOverride;
        u.replyOverride = QString();
    }
    if (m_logTraffic)
        log(QStringLiteral("[%1] -> %2").arg(u.handle, shorten(out)));
    u.connection().send(msg.createReply(out));
}

void ClientSim::notify(SimUser& u, const QString& text)
{
    if (u.connectionName.isEmpty())
        return;
    QDBusConnection conn = u.connection();
    for (const QString& node : u.attached) {
        if (m_logTraffic)
            log(QStringLiteral("[%1] ~> %2").arg(u.handle, shorten(text)));
        QDBusMessage call = QDBusMessage::createMethodCall(node, kClientPath, kClientInterface,
                                                           QStringLiteral("Notify"));
        call << text;
        auto* w = new QDBusPendingCallWatcher(conn.asyncCall(call), this);
        SimUser* up = &u;
        const int gen = u.generation;
        connect(w, &QDBusPendingCallWatcher::finished, this, [this, up, gen, node](QDBusPendingCallWatcher* w) {
            if (w->isError() && up->generation == gen) {
                ++up->notifyErrors;
                log(QStringLiteral("[%1] Notify to %2 failed: %3").arg(up->handle, node, w->error().message()));
            }
            w->deleteLater();
        });
    }
}

void ClientSim::invoke(SimUser& u, const QDBusMessage& msg)
{
    const QString cmd = msg.arguments().value(0).toString();
    const QString sender = msg.service();
    ++u.invokes;
    if (m_logTraffic)
        log(QStringLiteral("[%1] <- %2: %3").arg(u.handle, sender, shorten(cmd)));
    const QStringList words = cmd.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    u.commandCounts[keywordsOf(words)]++;

    if (words.value(0) == QLatin1String("NAME")) {
        ++u.nameCalls;
        const auto grant = [this, &u, sender] {
            ++u.attaches;
            u.attached.insert(sender);
            if (u.watcher)
                u.watcher->addWatchedService(sender);
            log(QStringLiteral("[%1] attached %2").arg(u.handle, sender));
        };
        switch (u.attach.kind) {
        case AttachPolicy::Allow:
            grant();
            reply(u, msg, QStringLiteral("OK"));
            return;
        case AttachPolicy::Wait: {
            const int gen = u.generation;
            SimUser* up = &u;
            QTimer::singleShot(u.attach.waitMs, this, [this, up, gen, msg, grant] {
                if (up->generation != gen)
                    return; // the client restarted meanwhile: that call is gone
                grant();
                reply(*up, msg, QStringLiteral("OK"));
            });
            return;
        }
        case AttachPolicy::Refuse:
            reply(u, msg, QStringLiteral("ERROR 68"));
            return;
        case AttachPolicy::Unavailable:
            reply(u, msg, QStringLiteral("ERROR 1 API not available"));
            return;
        case AttachPolicy::Error:
            u.connection().send(msg.createErrorReply(QStringLiteral("com.Skype.API.Error.NotAvailable"),
                                                     QStringLiteral("the API is not available")));
            return;
        }
        return;
    }
    if (!u.attached.count(sender)) {
        reply(u, msg, QStringLiteral("ERROR 9 Not attached"));
        return;
    }
    std::vector<std::function<void()>> after;
    reply(u, msg, command(u, cmd, after));
    // Notifications caused by the command follow its reply.
    for (auto& f : after)
        f();
}

QString ClientSim::command(SimUser& u, const QString& cmd, std::vector<std::function<void()>>& after)
{
    const QStringList t = cmd.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const auto is = [&t](std::initializer_list<const char*> words) {
        if (static_cast<std::size_t>(t.size()) != words.size())
            return false;
        int i = 0;
        for (const char* w : words) {
            if (w && t[i] != QLatin1String(w))
                return false;
            ++i;
        }
        return true;
    };
    if (is({"PROTOCOL", nullptr}))
        return QStringLiteral("PROTOCOL %1").arg(std::min(t[1].toInt(), 5));
    if (is({"SEARCH", "FRIENDS"}))
        return (QStringLiteral("USERS ") + u.friends.join(QStringLiteral(", "))).trimmed();
    if (is({"GET", "CURRENTUSERHANDLE"}))
        return QStringLiteral("CURRENTUSERHANDLE ") + u.handle;
    if (is({"GET", "USER", nullptr, "ONLINESTATUS"})) {
        const QString& h = t[2];
        bool on = false;
        if (h == u.handle)
            on = u.online;
        else if (const SimUser* o = user(h))
            on = u.online && o->online && isContact(u, h);
        return QStringLiteral("USER %1 ONLINESTATUS %2").arg(h, on ? QStringLiteral("ONLINE") : QStringLiteral("OFFLINE"));
    }
    if (t.value(0) == QLatin1String("CREATE") || t.value(0) == QLatin1String("DELETE")
        || t.value(0) == QLatin1String("ALTER")
        || (t.value(0) == QLatin1String("GET") && t.value(1) == QLatin1String("APPLICATION")))
        return applicationCommand(u, t, after);
    return QStringLiteral("ERROR 2 Unknown command");
}

QString ClientSim::applicationCommand(SimUser& u, const QStringList& t, std::vector<std::function<void()>>& after)
{
    if (t.size() < 3 || t[1] != QLatin1String("APPLICATION"))
        return QStringLiteral("ERROR 2 Unknown command");
    const QString app = t[2];
    SimUser* up = &u;

    if (t[0] == QLatin1String("CREATE") && t.size() == 3) {
        u.apps.insert(app);
        after.push_back([this] { refreshConnectable(); });
        return QStringLiteral("CREATE APPLICATION ") + app;
    }
    if (t[0] == QLatin1String("DELETE") && t.size() == 3) {
        if (!u.apps.count(app))
            return QStringLiteral("ERROR 541 APPLICATION: unknown application ") + app;
        after.push_back([this, up, app] { deleteApplication(*up, app); });
        return QStringLiteral("DELETE APPLICATION ") + app;
    }
    if (!u.apps.count(app))
        return QStringLiteral("ERROR 541 APPLICATION: unknown application ") + app;
    if (t[0] == QLatin1String("GET") && t.size() == 4 && t[3] == QLatin1String("CONNECTABLE")) {
        const QStringList list = connectable(u, app);
        m_lastConnectable[{&u, app}] = list;
        return QStringLiteral("APPLICATION %1 CONNECTABLE %2").arg(app, list.join(QLatin1Char(' '))).trimmed();
    }
    if (t[0] != QLatin1String("ALTER") || t.size() < 5)
        return QStringLiteral("ERROR 2 Unknown command");
    const QString& verb = t[3];
    const QString& arg = t[4];
    if (verb == QLatin1String("CONNECT") && t.size() == 5) {
        after.push_back([this, up, app, arg] {
            notify(*up, QStringLiteral("APPLICATION %1 CONNECTING %2").arg(app, arg));
            SimUser* peer = user(arg);
            if (!peer || !isContact(*up, arg) || !up->online || !peer->online || !peer->apps.count(app))
                return; // nobody answers: no stream
            openStream(*up, *peer, app);
        });
        return QStringLiteral("ALTER APPLICATION %1 CONNECT %2").arg(app, arg);
    }
    SimStream* s = findStream(u, app, arg);
    if (verb == QLatin1String("DISCONNECT") && t.size() == 5) {
        if (!s)
            return QStringLiteral("ERROR 556 ALTER APPLICATION: unknown stream ") + arg;
        const int id = s->id;
        after.push_back([this, id] { closeStreams([id](const SimStream& x) { return x.id == id; }); });
        return QStringLiteral("ALTER APPLICATION %1 DISCONNECT %2").arg(app, arg);
    }
    if (verb == QLatin1String("WRITE") && t.size() == 6) {
        if (!s)
            return QStringLiteral("ERROR 556 ALTER APPLICATION: unknown stream ") + arg;
        const int side = s->sideOf(&u);
        s->transit[side].push_back({t[5], now() + u.deliveryDelayMs});
        const int id = s->id;
        const int delay = u.deliveryDelayMs;
        after.push_back([this, up, app, id, delay] {
            notify(*up, QStringLiteral("APPLICATION %1 SENDING %2").arg(app, sendingList(*up, app)).trimmed());
            QTimer::singleShot(delay, this, [this, id] { deliver(id); });
        });
        return QStringLiteral("ALTER APPLICATION %1 WRITE %2").arg(app, arg);
    }
    if (verb == QLatin1String("READ") && t.size() == 5) {
        if (!s)
            return QStringLiteral("ERROR 556 ALTER APPLICATION: unknown stream ") + arg;
        auto& q = s->unread[s->sideOf(&u)];
        if (q.empty())
            return QStringLiteral("ALTER APPLICATION %1 READ %2").arg(app, arg);
        const QString data = q.front();
        q.pop_front();
        after.push_back([this, up, app] {
            notify(*up, QStringLiteral("APPLICATION %1 RECEIVED %2").arg(app, receivedList(*up, app)).trimmed());
        });
        return QStringLiteral("ALTER APPLICATION %1 READ %2 %3").arg(app, arg, data);
    }
    return QStringLiteral("ERROR 2 Unknown command");
}

// --- Contacts and applications --------------------------------------------------

bool ClientSim::isContact(const SimUser& u, const QString& other) const
{
    return u.friends.contains(other);
}

QStringList ClientSim::connectable(const SimUser& u, const QString& app) const
{
    QStringList out;
    if (!u.online)
        return out;
    for (const QString& f : u.friends) {
        const SimUser* o = user(f);
        if (o && o->online && o->apps.count(app))
            out << f;
    }
    return out;
}

void ClientSim::refreshConnectable()
{
    for (auto& u : m_users) {
        if (u->attached.empty())
            continue;
        for (const QString& app : u->apps) {
            const QStringList list = connectable(*u, app);
            auto it = m_lastConnectable.find({u.get(), app});
            if (it != m_lastConnectable.end() && it->second == list)
                continue;
            m_lastConnectable[{u.get(), app}] = list;
            notify(*u, QStringLiteral("APPLICATION %1 CONNECTABLE %2").arg(app, list.join(QLatin1Char(' '))).trimmed());
        }
    }
}

void ClientSim::deleteApplication(SimUser& u, const QString& app)
{
    SimUser* up = &u;
    closeStreams([up, app](const SimStream& s) { return s.app == app && (s.end[0] == up || s.end[1] == up); });
    u.apps.erase(app);
    m_lastConnectable.erase({&u, app});
    refreshConnectable();
}

// --- Streams ---------------------------------------------------------------------

QString ClientSim::streamList(const SimUser& u, const QString& app) const
{
    QStringList out;
    for (const auto& s : m_streams)
        if (s->app == app && (s->end[0] == &u || s->end[1] == &u))
            out << QStringLiteral("%1:%2").arg(s->peerOf(&u)->handle).arg(s->number[s->sideOf(&u)]);
    return out.join(QLatin1Char(' '));
}

QString ClientSim::pendingList(const SimUser& u, const QString& app, bool written) const
{
    QStringList out;
    for (const auto& s : m_streams) {
        if (s->app != app || (s->end[0] != &u && s->end[1] != &u))
            continue;
        const int side = s->sideOf(&u);
        qint64 bytes = 0;
        if (written)
            for (const auto& m : s->transit[side])
                bytes += m.text.size();
        else
            for (const auto& m : s->unread[side])
                bytes += m.size();
        if (bytes > 0)
            out << QStringLiteral("%1:%2=%3").arg(s->peerOf(&u)->handle).arg(s->number[side]).arg(bytes);
    }
    return out.join(QLatin1Char(' '));
}

SimStream* ClientSim::findStream(const SimUser& u, const QString& app, const QString& key) const
{
    const int colon = key.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return nullptr;
    const QString peer = key.left(colon);
    bool ok = false;
    const int number = key.mid(colon + 1).toInt(&ok);
    if (!ok)
        return nullptr;
    for (const auto& s : m_streams) {
        if (s->app != app || (s->end[0] != &u && s->end[1] != &u))
            continue;
        if (s->peerOf(&u)->handle == peer && s->number[s->sideOf(&u)] == number)
            return s.get();
    }
    return nullptr;
}

SimStream* ClientSim::streamBetween(const SimUser& a, const SimUser& b, const QString& app) const
{
    for (const auto& s : m_streams)
        if (s->app == app && ((s->end[0] == &a && s->end[1] == &b) || (s->end[0] == &b && s->end[1] == &a)))
            return s.get();
    return nullptr;
}

void ClientSim::openStream(SimUser& from, SimUser& to, const QString& app)
{
    if (!streamBetween(from, to, app)) {
        auto s = std::make_unique<SimStream>();
        s->id = m_nextStreamId++;
        s->app = app;
        s->end[0] = &from;
        s->end[1] = &to;
        s->number[0] = from.nextStreamNumber++;
        s->number[1] = to.nextStreamNumber++;
        log(QStringLiteral("stream %1 opened: %2:%3 <-> %4:%5 (%6)")
                .arg(s->id)
                .arg(from.handle)
                .arg(s->number[0])
                .arg(to.handle)
                .arg(s->number[1])
                .arg(app));
        m_streams.push_back(std::move(s));
    }
    for (SimUser* u : {&from, &to})
        notify(*u, QStringLiteral("APPLICATION %1 STREAMS %2").arg(app, streamList(*u, app)).trimmed());
}

void ClientSim::closeStreams(const std::function<bool(const SimStream&)>& pred)
{
    std::set<std::pair<SimUser*, QString>> touched;
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        if (!pred(**it)) {
            ++it;
            continue;
        }
        const SimStream& s = **it;
        log(QStringLiteral("stream %1 closed: %2:%3 <-> %4:%5")
                .arg(s.id)
                .arg(s.end[0]->handle)
                .arg(s.number[0])
                .arg(s.end[1]->handle)
                .arg(s.number[1]));
        touched.insert({s.end[0], s.app});
        touched.insert({s.end[1], s.app});
        it = m_streams.erase(it);
    }
    for (const auto& [u, app] : touched)
        if (u->apps.count(app)) {
            notify(*u, QStringLiteral("APPLICATION %1 STREAMS %2").arg(app, streamList(*u, app)).trimmed());
            // What was under way on a closed stream is gone: the writer
            // hears of it as a shorter sending list.
            notify(*u, QStringLiteral("APPLICATION %1 SENDING %2").arg(app, sendingList(*u, app)).trimmed());
        }
}

void ClientSim::deliver(int streamId)
{
    auto it = std::find_if(m_streams.begin(), m_streams.end(), [streamId](const auto& s) { return s->id == streamId; });
    if (it == m_streams.end())
        return; // closed meanwhile
    SimStream& s = **it;
    const qint64 t = now();
    for (int side = 0; side < 2; ++side) {
        SimUser* writer = s.end[side];
        SimUser* reader = s.end[1 - side];
        bool moved = false;
        while (!s.transit[side].empty() && s.transit[side].front().due <= t) {
            const QString text = s.transit[side].front().text;
            s.transit[side].pop_front();
            s.deliveredBytes[side] += text.size();
            // A contact whose client runs elsewhere swallows what it gets.
            if (reader->hasBus())
                s.unread[1 - side].push_back(text);
            moved = true;
        }
        if (!moved)
            continue;
        notify(*writer, QStringLiteral("APPLICATION %1 SENDING %2").arg(s.app, sendingList(*writer, s.app)).trimmed());
        const QString list = receivedList(*reader, s.app);
        if (!list.isEmpty())
            notify(*reader, QStringLiteral("APPLICATION %1 RECEIVED %2").arg(s.app, list));
    }
    // A timer may fire a little early: what is not due yet gets one timer,
    // unless one already fires in time for it.
    qint64 next = 0;
    for (int side = 0; side < 2; ++side)
        if (!s.transit[side].empty() && s.transit[side].front().due > t)
            next = next ? std::min(next, s.transit[side].front().due) : s.transit[side].front().due;
    if (next && (s.rearmDue == 0 || next < s.rearmDue)) {
        s.rearmDue = next;
        QTimer::singleShot(static_cast<int>(next - t) + 1, this, [this, streamId, next] {
            for (auto& x : m_streams)
                if (x->id == streamId && x->rearmDue == next)
                    x->rearmDue = 0;
            deliver(streamId);
        });
    }
}

void ClientSim::resendReceived()
{
    for (auto& u : m_users) {
        if (u->attached.empty())
            continue;
        for (const QString& app : u->apps) {
            const QString list = receivedList(*u, app);
            if (!list.isEmpty())
                notify(*u, QStringLiteral("APPLICATION %1 RECEIVED %2").arg(app, list));
        }
    }
}

// --- Presence, restarts, nodes leaving --------------------------------------------

void ClientSim::onNodeLeft(SimUser& u, const QString& uniqueName)
{
    if (!u.attached.erase(uniqueName))
        return;
    if (u.watcher)
        u.watcher->removeWatchedService(uniqueName);
    log(QStringLiteral("[%1] node %2 left the bus").arg(u.handle, uniqueName));
    if (!u.attached.empty())
        return;
    // Its applications go with the last node that used them.
    const std::set<QString> apps = u.apps;
    for (const QString& app : apps)
        deleteApplication(u, app);
}

void ClientSim::setOnline(SimUser& u, bool online)
{
    if (u.online == online)
        return;
    u.online = online;
    log(QStringLiteral("[%1] is %2").arg(u.handle, online ? QStringLiteral("online") : QStringLiteral("offline")));
    SimUser* up = &u;
    if (!online)
        closeStreams([up](const SimStream& s) { return s.end[0] == up || s.end[1] == up; });
    notify(u, QStringLiteral("USERSTATUS %1").arg(online ? QStringLiteral("ONLINE") : QStringLiteral("OFFLINE")));
    for (auto& o : m_users)
        if (o.get() != &u && o->friends.contains(u.handle) && o->online)
            notify(*o, QStringLiteral("USER %1 ONLINESTATUS %2")
                           .arg(u.handle, online ? QStringLiteral("ONLINE") : QStringLiteral("OFFLINE")));
    if (online)
        for (const QString& f : u.friends)
            if (const SimUser* o = user(f))
                notify(u, QStringLiteral("USER %1 ONLINESTATUS %2")
                              .arg(f, o->online ? QStringLiteral("ONLINE") : QStringLiteral("OFFLINE")));
    refreshConnectable();
}

void ClientSim::restart(SimUser& u, int downMs)
{
    log(QStringLiteral("[%1] client restarts (down %2 ms)").arg(u.handle).arg(downMs));
    SimUser* up = &u;
    closeStreams([up](const SimStream& s) { return s.end[0] == up || s.end[1] == up; });
    u.apps.clear();
    u.attached.clear();
    u.nextStreamNumber = 1;
    for (auto it = m_lastConnectable.begin(); it != m_lastConnectable.end();)
        it = it->first.first == &u ? m_lastConnectable.erase(it) : std::next(it);
    disconnectUser(u);
    ++u.generation;
    refreshConnectable();
    QTimer::singleShot(downMs, this, [this, up] {
        QString error;
        if (!connectUser(*up, &error))
            log(QStringLiteral("[%1] restart failed: %2").arg(up->handle, error));
    });
}

void ClientSim::strangerNotify(SimUser& u, const QString& text, const std::function<void(const QString&)>& done)
{
    if (u.attached.empty()) {
        done(QStringLiteral("ERR %1 has no attached node").arg(u.handle));
        return;
    }
    // A second connection to the same bus: another sender than the one
    // the node attached to.
    const QString name = QStringLiteral("skype-sim-stranger-%1").arg(m_nextConnection++);
    QDBusConnection conn = QDBusConnection::connectToBus(u.config.bus, name);
    if (!conn.isConnected()) {
        QDBusConnection::disconnectFromBus(name);
        done(QStringLiteral("ERR cannot connect to %1").arg(u.config.bus));
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(*u.attached.begin(), kClientPath, kClientInterface, QStringLiteral("Notify"));
    call << text;
    auto* w = new QDBusPendingCallWatcher(conn.asyncCall(call), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [done, name](QDBusPendingCallWatcher* w) {
        const QString answer = w->isError() ? QStringLiteral("OK refused %1").arg(w->error().name())
                                            : QStringLiteral("OK accepted");
        w->deleteLater();
        QDBusConnection::disconnectFromBus(name);
        done(answer);
    });
}

// --- Control ----------------------------------------------------------------------

QString ClientSim::helpText()
{
    return QStringLiteral(
        "control commands (one per line; the answer is one line, \"OK ...\" or \"ERR ...\"):\n"
        "  status USER                   online, owned, attached, counters, applications, streams\n"
        "  count USER KEYWORDS...        how many commands of that kind came (\"count alice ALTER APPLICATION CONNECT\")\n"
        "  offline USER | online USER    the user's presence\n"
        "  befriend USER OTHER           OTHER becomes a contact (\"USER x BUDDYSTATUS 3\")\n"
        "  attach USER POLICY            allow | wait:MS | refuse | unavailable | error\n"
        "  restart USER [MS]             the client leaves the bus and comes back after MS (500)\n"
        "  release USER | own USER       give up / take again com.Skype.API (no restart)\n"
        "  drop USER [PEER]              closes the user's streams (with PEER only)\n"
        "  delay USER MS                 what USER writes arrives MS later\n"
        "  notify USER TEXT              sends TEXT to the user's node as the client\n"
        "  stranger USER TEXT            sends TEXT to the user's node from another sender\n"
        "  reply USER TEXT               the next command of the user's node gets TEXT as its reply\n"
        "  users | ping | help | quit");
}

QString ClientSim::status(const SimUser& u) const
{
    QStringList apps(u.apps.begin(), u.apps.end());
    QStringList streams;
    qint64 unread = 0, transit = 0, delivered = 0;
    for (const auto& s : m_streams) {
        if (s->end[0] != &u && s->end[1] != &u)
            continue;
        const int side = s->sideOf(&u);
        streams << QStringLiteral("%1:%2").arg(s->peerOf(&u)->handle).arg(s->number[side]);
        for (const auto& m : s->unread[side])
            unread += m.size();
        for (const auto& m : s->transit[side])
            transit += m.text.size();
        delivered += s->deliveredBytes[side];
    }
    QStringList attached(u.attached.begin(), u.attached.end());
    return QStringLiteral("OK %1 online=%2 owned=%3 attached=%4 invokes=%5 names=%6 attaches=%7 notifyerrors=%8 "
                          "apps=%9 streams=%10 unread=%11 transit=%12 delivered=%13 attach=%14 delay=%15")
        .arg(u.handle)
        .arg(u.online ? 1 : 0)
        .arg(u.owned ? 1 : 0)
        .arg(attached.join(QLatin1Char(',')))
        .arg(u.invokes)
        .arg(u.nameCalls)
        .arg(u.attaches)
        .arg(u.notifyErrors)
        .arg(apps.join(QLatin1Char(',')))
        .arg(streams.join(QLatin1Char(',')))
        .arg(unread)
        .arg(transit)
        .arg(delivered)
        .arg(u.attach.text())
        .arg(u.deliveryDelayMs);
}

void ClientSim::control(const QString& line, const std::function<void(const QString&)>& done)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) {
        done(QStringLiteral("OK"));
        return;
    }
    const QStringList w = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString& verb = w[0];
    // The text after the first n words, as typed.
    const auto restAfter = [&trimmed](int n) {
        int pos = 0;
        for (int i = 0; i < n; ++i) {
            while (pos < trimmed.size() && trimmed[pos] == QLatin1Char(' '))
                ++pos;
            while (pos < trimmed.size() && trimmed[pos] != QLatin1Char(' '))
                ++pos;
        }
        return pos < trimmed.size() ? trimmed.mid(pos + 1) : QString();
    };
    if (verb == QLatin1String("ping")) {
        done(QStringLiteral("OK pong"));
        return;
    }
    if (verb == QLatin1String("help")) {
        done(QStringLiteral("OK ") + helpText().replace(QLatin1Char('\n'), QStringLiteral(" | ")));
        return;
    }
    if (verb == QLatin1String("users")) {
        QStringList names;
        for (const auto& u : m_users)
            names << u->handle;
        done(QStringLiteral("OK ") + names.join(QLatin1Char(' ')));
        return;
    }
    SimUser* u = w.size() > 1 ? user(w[1]) : nullptr;
    if (!u) {
        done(w.size() > 1 ? QStringLiteral("ERR no user %1").arg(w[1])
                          : QStringLiteral("ERR unknown command %1 (try help)").arg(verb));
        return;
    }
    const auto needBus = [&] {
        if (u->hasBus())
            return true;
        done(QStringLiteral("ERR %1 has no bus here").arg(u->handle));
        return false;
    };
    if (verb == QLatin1String("status") && w.size() == 2) {
        done(status(*u));
    } else if (verb == QLatin1String("count") && w.size() >= 3) {
        const auto it = u->commandCounts.find(keywordsOf(w.mid(2)));
        done(QStringLiteral("OK %1").arg(it == u->commandCounts.end() ? 0 : it->second));
    } else if ((verb == QLatin1String("offline") || verb == QLatin1String("online")) && w.size() == 2) {
        setOnline(*u, verb == QLatin1String("online"));
        done(QStringLiteral("OK"));
    } else if (verb == QLatin1String("befriend") && w.size() == 3) {
        SimUser* o = user(w[2]);
        if (w[2] == u->handle || !validHandle(w[2])) {
            done(QStringLiteral("ERR unusable contact %1").arg(w[2]));
            return;
        }
        if (!u->friends.contains(w[2])) {
            u->friends << w[2];
            notify(*u, QStringLiteral("USER %1 BUDDYSTATUS 3").arg(w[2]));
        }
        if (o && !o->friends.contains(u->handle)) {
            o->friends << u->handle;
            notify(*o, QStringLiteral("USER %1 BUDDYSTATUS 3").arg(u->handle));
        }
        refreshConnectable();
        done(QStringLiteral("OK"));
    } else if (verb == QLatin1String("attach") && w.size() == 3) {
        const auto p = AttachPolicy::parse(w[2]);
        if (!p) {
            done(QStringLiteral("ERR unknown policy %1").arg(w[2]));
            return;
        }
        u->attach = *p;
        done(QStringLiteral("OK"));
    } else if (verb == QLatin1String("restart") && (w.size() == 2 || w.size() == 3)) {
        if (!needBus())
            return;
        const int ms = w.size() == 3 ? w[2].toInt() : 500;
        restart(*u, std::max(0, ms));
        done(QStringLiteral("OK"));
    } else if (verb == QLatin1String("release") && w.size() == 2) {
        if (!needBus())
            return;
        if (u->owned)
            u->connection().unregisterService(kService);
        u->owned = false;
        done(QStringLiteral("OK"));
    } else if (verb == QLatin1String("own") && w.size() == 2) {
        if (!needBus())
            return;
        if (u->connectionName.isEmpty()) {
            QString error;
            done(connectUser(*u, &error) ? QStringLiteral("OK") : QStringLiteral("ERR ") + error);
            return;
        }
        const auto r = u->connection().interface()->registerService(kService, QDBusConnectionInterface::DontQueueService,
                                                                    QDBusConnectionInterface::DontAllowReplacement);
        u->owned = r.isValid() && r.value() == QDBusConnectionInterface::ServiceRegistered;
        done(u->owned ? QStringLiteral("OK") : QStringLiteral("ERR %1 is taken").arg(kService));
    } else if (verb == QLatin1String("drop") && (w.size() == 2 || w.size() == 3)) {
        const QString peer = w.value(2);
        int n = 0;
        closeStreams([u, &peer, &n](const SimStream& s) {
            const bool mine = s.end[0] == u || s.end[1] == u;
            const bool hit = mine && (peer.isEmpty() || s.peerOf(u)->handle == peer);
            n += hit ? 1 : 0;
            return hit;
        });
        done(QStringLiteral("OK %1").arg(n));
    } else if (verb == QLatin1String("delay") && w.size() == 3) {
        bool ok = false;
        const int ms = w[2].toInt(&ok);
        if (!ok || ms < 0) {
            done(QStringLiteral("ERR bad delay %1").arg(w[2]));
            return;
        }
        u->deliveryDelayMs = ms;
        done(QStringLiteral("OK"));
    } else if (verb == QLatin1String("notify") && w.size() >= 3) {
        if (!needBus())
            return;
        notify(*u, restAfter(2));
        done(QStringLiteral("OK %1").arg(u->attached.size()));
    } else if (verb == QLatin1String("stranger") && w.size() >= 3) {
        if (!needBus())
            return;
        strangerNotify(*u, restAfter(2), done);
    } else if (verb == QLatin1String("reply") && w.size() >= 3) {
        u->replyOverride = restAfter(2);
        done(QStringLiteral("OK"));
    } else {
        done(QStringLiteral("ERR unknown command or arguments: %1 (try help)").arg(trimmed));
    }
}

} // namespace skypesim
