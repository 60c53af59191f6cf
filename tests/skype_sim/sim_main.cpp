// skype_sim: plays the messaging client for one or more users, each on its
// own session bus. See helpText() below and the README.
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_sim.h"

using namespace skypesim;

namespace {

const char kUsage[] =
    "usage: skype_sim [--control SOCKET] [--quiet]\n"
    "                 --user HANDLE [--bus ADDRESS|session] [--friends A,B,...] [--apps NAME,...]\n"
    "                               [--attach allow|wait:MS|refuse|unavailable|error] [--offline]\n"
    "                 [--user ...]...\n"
    "Each --user plays one user's client: it owns com.Skype.API on that user's bus\n"
    "(\"session\": the bus in DBUS_SESSION_BUS_ADDRESS). A user without --bus is a contact\n"
    "whose client runs elsewhere; with --apps it takes streams of those applications and\n"
    "swallows what is written to it. Friendships go both ways.\n"
    "Control lines come on standard input and, with --control, on a unix socket;\n"
    "the simulator prints READY once every user owns its name.\n";

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

struct Options {
    QString control;
    bool quiet = false;
    std::vector<UserConfig> users;
};

bool parseArgs(const QStringList& args, Options& o, QString* error)
{
    std::vector<UserConfig>& users = o.users;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const auto value = [&](QString* out) {
            if (i + 1 >= args.size()) {
                *error = a + QStringLiteral(" needs a value");
                return false;
            }
            *out = args[++i];
            return true;
        };
        const auto current = [&]() -> UserConfig* {
            if (users.empty()) {
                *error = a + QStringLiteral(" comes before any --user");
                return nullptr;
            }
            return &users.back();
        };
        QString v;
        if (a == QLatin1String("--control")) {
            if (!value(&o.control))
                return false;
        } else if (a == QLatin1String("--quiet")) {
            o.quiet = true;
        } else if (a == QLatin1String("--user")) {
            if (!value(&v))
                return false;
            users.push_back({});
            users.back().handle = v;
        } else if (a == QLatin1String("--bus") || a == QLatin1String("--friends") || a == QLatin1String("--apps")
                   || a == QLatin1String("--attach")) {
            UserConfig* u = current();
            if (!u || !value(&v))
                return false;
            if (a == QLatin1String("--bus")) {
                if (v == QLatin1String("session")) {
                    v = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
                    if (v.isEmpty()) {
                        *error = QStringLiteral("--bus session: DBUS_SESSION_BUS_ADDRESS is not set");
                        return false;
                    }
                }
                u->bus = v;
            } else if (a == QLatin1String("--friends")) {
                u->friends = v.split(QLatin1Char(','), Qt::SkipEmptyParts);
            } else if (a == QLatin1String("--apps")) {
                u->apps = v.split(QLatin1Char(','), Qt::SkipEmptyParts);
            } else {
                const auto p = AttachPolicy::parse(v);
                if (!p) {
                    *error = QStringLiteral("unknown attach policy ") + v;
                    return false;
                }
                u->attach = *p;
            }
        } else if (a == QLatin1String("--offline")) {
            UserConfig* u = current();
            if (!u)
                return false;
            u->online = false;
        } else {
            *error = QStringLiteral("unknown argument ") + a;
            return false;
        }
    }
    if (users.empty()) {
        *error = QStringLiteral("no --user given");
        return false;
    }
    return true;
}

// Line-based control: each complete line is one command, answered with one
// line.
class LineReader {
public:
    explicit LineReader(std::function<void(const QString&)> onLine) : m_onLine(std::move(onLine)) {}
    void feed(const QByteArray& bytes)
    {
        m_buffer += bytes;
        int nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_buffer.left(nl)).remove(QLatin1Char('\r'));
            m_buffer.remove(0, nl + 1);
            m_onLine(line);
        }
    }

private:
    std::function<void(const QString&)> m_onLine;
    QByteArray m_buffer;
};

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::printf("%s\n%s\n", kUsage, ClientSim::helpText().toUtf8().constData());
        return 0;
    }

    Options options;
    QString error;
    bool usable = parseArgs(args, options, &error);
    auto sim = std::make_unique<ClientSim>(!options.quiet);
    if (usable) {
        for (const auto& u : options.users)
            usable = usable && sim->addUser(u, &error);
    }
    if (!usable) {
        std::fprintf(stderr, "skype_sim: %s\n%s", error.toUtf8().constData(), kUsage);
        return 2;
    }
    const QString& control = options.control;

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (!sim->start(&error)) {
        std::fprintf(stderr, "skype_sim: %s\n", error.toUtf8().constData());
        return 1;
    }

    const auto run = [&](const QString& line, const std::function<void(const QString&)>& answer) {
        if (line.trimmed() == QLatin1String("quit")) {
            answer(QStringLiteral("OK bye"));
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
            return;
        }
        sim->control(line, answer);
    };

    // Standard input: a person at the console (or a script).
    LineReader stdinLines([&](const QString& line) {
        run(line, [](const QString& a) { std::printf("%s\n", a.toUtf8().constData()); });
    });
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &app, [&] {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdinNotifier.setEnabled(false); // end of input: the socket may still talk
            return;
        }
        stdinLines.feed(QByteArray(buf, static_cast<int>(n)));
    });

    // The control socket: any number of clients, one line each way.
    QLocalServer server;
    if (!control.isEmpty()) {
        QLocalServer::removeServer(control);
        if (!server.listen(control)) {
            std::fprintf(stderr, "skype_sim: cannot listen on %s: %s\n", control.toUtf8().constData(),
                         server.errorString().toUtf8().constData());
            return 1;
        }
        QObject::connect(&server, &QLocalServer::newConnection, &app, [&] {
            while (QLocalSocket* s = server.nextPendingConnection()) {
                auto reader = std::make_shared<LineReader>([&, s](const QString& line) {
                    QPointer<QLocalSocket> guard(s);
                    run(line, [guard](const QString& a) {
                        if (guard)
                            guard->write((a + QLatin1Char('\n')).toUtf8());
                    });
                });
                QObject::connect(s, &QLocalSocket::readyRead, s, [s, reader] { reader->feed(s->readAll()); });
                QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    std::printf("READY\n");
    const int rc = app.exec();
    server.close();
    sim.reset();
    return rc;
}
