// A stand-in for the messaging client, for the tests and for trying nodes by
// hand. For each of its users it connects to that user's own session bus,
// owns com.Skype.API there and answers the text commands a node sends; it
// carries app-to-app streams between its users and sends its notifications
// to the attached node's Notify. Faults (a user going offline, a client
// restart, delays, malformed texts, ...) come in as control lines.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QDBusServiceWatcher;

namespace skypesim {

// How the client answers a node's "NAME" (the request to attach).
struct AttachPolicy {
    enum Kind { Allow, Wait, Refuse, Unavailable, Error } kind = Allow;
    int waitMs = 0; // Wait: "OK" after this long
    static std::optional<AttachPolicy> parse(const QString& text);
    QString text() const;
};

struct UserConfig {
    QString handle;
    // The user's session bus; empty for a contact whose client runs
    // elsewhere (it never attaches a node, takes the streams of its
    // applications and swallows what is written to it).
    QString bus;
    QStringList friends;
    QStringList apps; // applications created from the start (contacts without a bus)
    AttachPolicy attach;
    bool online = true;
};

class ClientSim;

// One user: a client on one bus, or a contact whose client runs elsewhere.
struct SimUser {
    UserConfig config;
    QString handle;
    bool online = true;
    AttachPolicy attach;
    int deliveryDelayMs = 0; // what this user writes arrives this much later
    QStringList friends;     // in the order given; both ways
    std::set<QString> apps;  // applications this user's client has created

    // The bus side (users with a bus).
    int generation = 0;             // a restart starts a new one
    QString connectionName;         // of the current generation; empty while down
    bool owned = false;             // com.Skype.API is ours
    std::set<QString> attached;     // unique names of attached nodes
    std::unique_ptr<QDBusServiceWatcher> watcher;
    QObject* apiObject = nullptr;   // serves /com/Skype
    int nextStreamNumber = 1;
    QString replyOverride;          // the next command's reply, when set

    // Counters for tests and for the person at the console.
    int invokes = 0;        // every Invoke, NAME included, from anyone
    int nameCalls = 0;      // "NAME ..." calls
    int attaches = 0;       // NAME answered with "OK"
    int notifyErrors = 0;   // Notify calls the node answered with an error
    std::map<QString, int> commandCounts; // by the command's keywords

    bool hasBus() const { return !config.bus.isEmpty(); }
    QDBusConnection connection() const;
};

// One app-to-app stream between two users' copies of one application.
struct SimStream {
    int id = 0;
    QString app;
    SimUser* end[2] = {nullptr, nullptr};
    int number[2] = {0, 0}; // the stream's number as each end knows it
    struct Message {
        QString text;
        qint64 due = 0; // msecs since the simulator started
    };
    std::deque<Message> transit[2];  // written by end i, not yet delivered
    std::deque<QString> unread[2];   // delivered to end i, not yet read
    qint64 deliveredBytes[2] = {0, 0};
    // When the one timer armed for a frame not yet due fires (0: none), so
    // that frames in transit both ways never multiply the timers.
    qint64 rearmDue = 0;

    int sideOf(const SimUser* u) const { return end[0] == u ? 0 : 1; }
    SimUser* peerOf(const SimUser* u) const { return end[1 - sideOf(u)]; }
};

class ClientSim : public QObject {
public:
    explicit ClientSim(bool logTraffic);
    ~ClientSim() override;

    // Before start: the users, with every friendship made mutual.
    bool addUser(const UserConfig& config, QString* error);
    // Connects every user that has a bus and owns the name there.
    bool start(QString* error);

    // One control line; done gets the answer, a single line that begins
    // with "OK" or "ERR" (for some commands only later).
    void control(const QString& line, const std::function<void(const QString&)>& done);
    static QString helpText();

    // Called by a user's /com/Skype object.
    void invoke(SimUser& u, const QDBusMessage& msg);

    void log(const QString& line) const;

private:
    SimUser* user(const QString& handle) const;
    bool connectUser(SimUser& u, QString* error);
    void disconnectUser(SimUser& u);
    void onNodeLeft(SimUser& u, const QString& uniqueName);

    QString command(SimUser& u, const QString& cmd, std::vector<std::function<void()>>& after);
    QString applicationCommand(SimUser& u, const QStringList& t, std::vector<std::function<void()>>& after);

    void notify(SimUser& u, const QString& text);
    void reply(SimUser& u, const QDBusMessage& msg, const QString& text);

    bool isContact(const SimUser& u, const QString& other) const;
    QStringList connectable(const SimUser& u, const QString& app) const;
    void refreshConnectable();
    QString streamList(const SimUser& u, const QString& app) const;
    // "peer:n=bytes" for each stream of the application with bytes under
    // way from u (written) or unread at u.
    QString pendingList(const SimUser& u, const QString& app, bool written) const;
    QString sendingList(const SimUser& u, const QString& app) const { return pendingList(u, app, true); }
    QString receivedList(const SimUser& u, const QString& app) const { return pendingList(u, app, false); }
    SimStream* findStream(const SimUser& u, const QString& app, const QString& key) const;
    SimStream* streamBetween(const SimUser& a, const SimUser& b, const QString& app) const;

    void openStream(SimUser& from, SimUser& to, const QString& app);
    // Closes every stream pred names and tells both ends that still have
    // the application their new lists.
    void closeStreams(const std::function<bool(const SimStream&)>& pred);
    void deleteApplication(SimUser& u, const QString& app);
    void deliver(int streamId);
    void resendReceived();

    void setOnline(SimUser& u, bool online);
    void restart(SimUser& u, int downMs);
    void strangerNotify(SimUser& u, const QString& text, const std::function<void(const QString&)>& done);
    QString status(const SimUser& u) const;

    qint64 now() const;

    bool m_logTraffic;
    std::vector<std::unique_ptr<SimUser>> m_users;
    std::vector<std::unique_ptr<SimStream>> m_streams;
    std::map<std::pair<const SimUser*, QString>, QStringList> m_lastConnectable;
    int m_nextStreamId = 1;
    int m_nextConnection = 1;
    QTimer m_receivedTimer;
    qint64 m_started;
};

} // namespace skypesim
