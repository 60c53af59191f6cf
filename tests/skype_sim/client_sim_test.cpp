// The client simulator as a node meets it: a real simulator process, real
// private session buses, and in this test a small stand-in for the node
// that calls Invoke and serves Notify, so that every text the simulator
// sends is checked as the node would read it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim_harness.h"
#include "support/tempdir.h"

using namespace skypesim;

namespace {

QCoreApplication& app()
{
    static int argc = 1;
    static char name[] = "client_sim_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

bool waitUntil(const std::function<bool()>& pred, int ms = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

const QString kApp = QStringLiteral("YUVO000P");

// Plays the node on one bus: serves Notify on /com/Skype/Client, keeps
// every text it gets, and invokes the client's commands.
class NodeStandIn : public QDBusVirtualObject {
public:
    explicit NodeStandIn(const std::string& address)
        : m_name(QStringLiteral("standin-%1").arg(++s_count)),
          m_conn(QDBusConnection::connectToBus(QString::fromStdString(address), m_name))
    {
        EXPECT_TRUE(m_conn.isConnected()) << m_conn.lastError().message().toStdString();
        m_conn.registerVirtualObject(QStringLiteral("/com/Skype/Client"), this, QDBusConnection::SingleNode);
    }
    ~NodeStandIn() override
    {
        m_conn.unregisterObject(QStringLiteral("/com/Skype/Client"));
        m_conn = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(m_name);
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& msg, const QDBusConnection& conn) override
    {
        if (msg.member() != QLatin1String("Notify"))
            return false;
        // Only the client this node attached to may notify it.
        if (refuseStrangers && msg.service() != m_client) {
            conn.send(msg.createErrorReply(QDBusError::AccessDenied, QStringLiteral("not the attached client")));
            return true;
        }
        notes.push_back(msg.arguments().value(0).toString());
        conn.send(msg.createReply());
        return true;
    }

    // The reply text, or "dbus-error <name>".
    QString invoke(const QString& command)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.Skype.API"), QStringLiteral("/com/Skype"),
                                                           QStringLiteral("com.Skype.API"), QStringLiteral("Invoke"));
        call << command;
        const QDBusMessage r = m_conn.call(call, QDBus::Block, 20000);
        if (r.type() == QDBusMessage::ErrorMessage)
            return QStringLiteral("dbus-error ") + r.errorName();
        if (command.startsWith(QLatin1String("NAME ")) && r.arguments().value(0).toString() == QLatin1String("OK"))
            m_client = r.service();
        return r.arguments().value(0).toString();
    }
    QDBusPendingCall invokeAsync(const QString& command)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.Skype.API"), QStringLiteral("/com/Skype"),
                                                           QStringLiteral("com.Skype.API"), QStringLiteral("Invoke"));
        call << command;
        return m_conn.asyncCall(call, 20000);
    }
    // The unique name that owns com.Skype.API now ("" when none).
    QString owner() { return m_conn.interface()->serviceOwner(QStringLiteral("com.Skype.API")).value(); }

    // Waits for a text that pred accepts among those not yet taken; takes it.
    bool take(const std::function<bool(const QString&)>& pred, QString* got = nullptr, int ms = 20000)
    {
        bool found = false;
        waitUntil(
            [&] {
                for (std::size_t i = m_taken; i < notes.size(); ++i)
                    if (pred(notes[i])) {
                        if (got)
                            *got = notes[i];
                        m_taken = i + 1;
                        found = true;
                        return true;
                    }
                return false;
            },
            ms);
        return found;
    }
    bool take(const QString& exact, int ms = 20000)
    {
        return take([&](const QString& t) { return t == exact; }, nullptr, ms);
    }
    // The texts got from now on only.
    void skipAll() { m_taken = notes.size(); }

    std::vector<QString> notes;
    bool refuseStrangers = true;

private:
    static inline int s_count = 0;
    QString m_name;
    QDBusConnection m_conn;
    QString m_client;
    std::size_t m_taken = 0;
};

class ClientSimTest : public testing::Test {
protected:
    void SetUp() override
    {
        app();
        ASSERT_FALSE(dbusDaemonPath().empty()) << "dbus-daemon is missing; scripts/test.sh installs it";
        busA = std::make_unique<PrivateBus>(dir.file("busA"));
        busB = std::make_unique<PrivateBus>(dir.file("busB"));
    }
    void startSim(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(dir.path(), args);
        sim->setIdle([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); });
        ASSERT_TRUE(sim->ready()) << sim->logTail();
    }
    void TearDown() override
    {
        alice.reset();
        bob.reset();
        if (!sim)
            return;
        sim->stop();
        const std::string log = testsupport::readFile(sim->logPath());
        for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
            EXPECT_EQ(log.find(mark), std::string::npos) << "the simulator reported \"" << mark << "\"";
        if (HasFailure())
            std::printf("----- simulator log -----\n%s", sim->logTail(120).c_str());
        sim.reset();
    }
    // alice on bus A and bob on bus B, friends; carol a contact of alice's
    // whose client runs elsewhere and is offline.
    void startTwo(const std::string& aliceAttach = "allow")
    {
        startSim({"--user", "alice", "--bus", busA->address(), "--friends", "bob,carol", "--attach", aliceAttach,
                  "--user", "bob", "--bus", busB->address(), "--user", "carol", "--offline"});
        alice = std::make_unique<NodeStandIn>(busA->address());
        bob = std::make_unique<NodeStandIn>(busB->address());
    }
    // Both attached, both with the application, and a stream from alice to
    // bob; the stream keys as each side knows them.
    void linkTwo(QString* aliceKey, QString* bobKey)
    {
        ASSERT_EQ(alice->invoke("NAME Yuvo"), "OK");
        ASSERT_EQ(bob->invoke("NAME Yuvo"), "OK");
        ASSERT_EQ(alice->invoke("CREATE APPLICATION " + kApp), "CREATE APPLICATION " + kApp);
        ASSERT_EQ(bob->invoke("CREATE APPLICATION " + kApp), "CREATE APPLICATION " + kApp);
        ASSERT_EQ(alice->invoke("ALTER APPLICATION " + kApp + " CONNECT bob"), "ALTER APPLICATION " + kApp + " CONNECT bob");
        QString a, b;
        const QString prefix = "APPLICATION " + kApp + " STREAMS ";
        ASSERT_TRUE(alice->take([&](const QString& t) { return t.startsWith(prefix); }, &a));
        ASSERT_TRUE(bob->take([&](const QString& t) { return t.startsWith(prefix); }, &b));
        *aliceKey = a.mid(prefix.size());
        *bobKey = b.mid(prefix.size());
    }

    testsupport::TempDir dir;
    std::unique_ptr<PrivateBus> busA, busB;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<NodeStandIn> alice, bob;
};

TEST_F(ClientSimTest, AttachFollowsEachUsersPolicy)
{
    startTwo("refuse");
    EXPECT_EQ(alice->invoke("SEARCH FRIENDS"), "ERROR 9 Not attached");
    EXPECT_EQ(alice->invoke("NAME Yuvo"), "ERROR 68");
    EXPECT_EQ(sim->control("attach alice unavailable"), "OK");
    const QString unavailable = alice->invoke("NAME Yuvo");
    EXPECT_TRUE(unavailable != "OK" && unavailable != "ERROR 68") << unavailable.toStdString();
    EXPECT_EQ(sim->control("attach alice error"), "OK");
    EXPECT_TRUE(alice->invoke("NAME Yuvo").startsWith("dbus-error "));
    EXPECT_EQ(sim->status("alice")["attached"], "");

    // Allowed after a wait: the answer is held back, then "OK".
    EXPECT_EQ(sim->control("attach alice wait:1500"), "OK");
    QDBusPendingCall pending = alice->invokeAsync("NAME Yuvo");
    waitUntil([] { return false; }, 400);
    EXPECT_FALSE(pending.isFinished()) << "the answer came before the wait was over";
    ASSERT_TRUE(waitUntil([&] { return pending.isFinished(); }));
    EXPECT_EQ(pending.reply().arguments().value(0).toString(), "OK");
    EXPECT_NE(sim->status("alice")["attached"], "");
    EXPECT_EQ(sim->statusCount("alice", "names"), 4);
    EXPECT_EQ(sim->statusCount("alice", "attaches"), 1);

    // bob allows at once; an unknown command gets an error text.
    EXPECT_EQ(bob->invoke("NAME Yuvo"), "OK");
    EXPECT_TRUE(bob->invoke("HELLO THERE").startsWith("ERROR"));
}

TEST_F(ClientSimTest, ContactsAndPresenceInTheFormsTheNodeParses)
{
    startTwo();
    ASSERT_EQ(alice->invoke("NAME Yuvo"), "OK");
    EXPECT_EQ(alice->invoke("SEARCH FRIENDS"), "USERS bob, carol");
    EXPECT_EQ(alice->invoke("GET CURRENTUSERHANDLE"), "CURRENTUSERHANDLE alice");
    EXPECT_EQ(alice->invoke("GET USER bob ONLINESTATUS"), "USER bob ONLINESTATUS ONLINE");
    EXPECT_EQ(alice->invoke("GET USER carol ONLINESTATUS"), "USER carol ONLINESTATUS OFFLINE");

    // Friendship goes both ways.
    ASSERT_EQ(bob->invoke("NAME Yuvo"), "OK");
    EXPECT_EQ(bob->invoke("SEARCH FRIENDS"), "USERS alice");

    EXPECT_EQ(sim->control("offline bob"), "OK");
    EXPECT_TRUE(alice->take("USER bob ONLINESTATUS OFFLINE"));
    EXPECT_EQ(alice->invoke("GET USER bob ONLINESTATUS"), "USER bob ONLINESTATUS OFFLINE");
    EXPECT_EQ(sim->control("online bob"), "OK");
    EXPECT_TRUE(alice->take("USER bob ONLINESTATUS ONLINE"));

    EXPECT_EQ(sim->control("befriend alice dave"), "OK");
    EXPECT_TRUE(alice->take("USER dave BUDDYSTATUS 3"));
    EXPECT_EQ(alice->invoke("SEARCH FRIENDS"), "USERS bob, carol, dave");
    EXPECT_TRUE(sim->control("befriend alice bad,name").rfind("ERR", 0) == 0);
}

TEST_F(ClientSimTest, AStreamCarriesEachWrittenTextWholeAndInOrder)
{
    startTwo();
    ASSERT_EQ(alice->invoke("NAME Yuvo"), "OK");
    ASSERT_EQ(bob->invoke("NAME Yuvo"), "OK");
    ASSERT_EQ(alice->invoke("CREATE APPLICATION " + kApp), "CREATE APPLICATION " + kApp);
    EXPECT_EQ(alice->invoke("GET APPLICATION " + kApp + " CONNECTABLE"), "APPLICATION " + kApp + " CONNECTABLE");
    ASSERT_EQ(bob->invoke("CREATE APPLICATION " + kApp), "CREATE APPLICATION " + kApp);
    // bob's application makes him connectable for alice, and the other way.
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " CONNECTABLE bob"));
    EXPECT_EQ(bob->invoke("GET APPLICATION " + kApp + " CONNECTABLE"), "APPLICATION " + kApp + " CONNECTABLE alice");

    ASSERT_EQ(alice->invoke("ALTER APPLICATION " + kApp + " CONNECT bob"), "ALTER APPLICATION " + kApp + " CONNECT bob");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " CONNECTING bob"));
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS bob:1"));
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " STREAMS alice:1"));
    // A second CONNECT makes no second stream.
    alice->invoke("ALTER APPLICATION " + kApp + " CONNECT bob");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS bob:1"));
    EXPECT_EQ(sim->streams("alice"), std::vector<std::string>{"bob:1"});
    EXPECT_EQ(sim->control("count alice ALTER APPLICATION CONNECT"), "OK 2");

    const QString first = QString(42696, QLatin1Char('a')), second = QStringLiteral("0123456789abcdef");
    EXPECT_EQ(alice->invoke("ALTER APPLICATION " + kApp + " WRITE bob:1 " + first),
              "ALTER APPLICATION " + kApp + " WRITE bob:1");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " SENDING bob:1=42696"));
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " SENDING"));
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " RECEIVED alice:1=42696"));
    alice->invoke("ALTER APPLICATION " + kApp + " WRITE bob:1 " + second);
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " SENDING"));
    // Unread data is announced again, with every unread byte.
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " RECEIVED alice:1=42712"));
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " RECEIVED alice:1=42712"));

    EXPECT_EQ(bob->invoke("ALTER APPLICATION " + kApp + " READ alice:1"), "ALTER APPLICATION " + kApp + " READ alice:1 " + first);
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " RECEIVED alice:1=16"));
    EXPECT_EQ(bob->invoke("ALTER APPLICATION " + kApp + " READ alice:1"), "ALTER APPLICATION " + kApp + " READ alice:1 " + second);
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " RECEIVED"));
    EXPECT_EQ(bob->invoke("ALTER APPLICATION " + kApp + " READ alice:1"), "ALTER APPLICATION " + kApp + " READ alice:1");
    EXPECT_EQ(sim->statusCount("bob", "unread"), 0);

    // And back, on the same stream under bob's key.
    bob->invoke("ALTER APPLICATION " + kApp + " WRITE alice:1 beef");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " RECEIVED bob:1=4"));
    EXPECT_EQ(alice->invoke("ALTER APPLICATION " + kApp + " READ bob:1"), "ALTER APPLICATION " + kApp + " READ bob:1 beef");

    // A key of no stream gets an error; the streams stay.
    EXPECT_TRUE(alice->invoke("ALTER APPLICATION " + kApp + " WRITE bob:2 00").startsWith("ERROR"));
    EXPECT_TRUE(alice->invoke("ALTER APPLICATION " + kApp + " READ bob:12").startsWith("ERROR"));

    EXPECT_EQ(bob->invoke("ALTER APPLICATION " + kApp + " DISCONNECT alice:1"),
              "ALTER APPLICATION " + kApp + " DISCONNECT alice:1");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS"));
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " STREAMS"));
    EXPECT_TRUE(sim->streams("alice").empty());

    // A new stream gets new numbers on both sides.
    alice->invoke("ALTER APPLICATION " + kApp + " CONNECT bob");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS bob:2"));
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " STREAMS alice:2"));
}

TEST_F(ClientSimTest, NoStreamToAnotherApplicationAnOfflineUserOrAStranger)
{
    startTwo();
    ASSERT_EQ(alice->invoke("NAME Yuvo"), "OK");
    ASSERT_EQ(bob->invoke("NAME Yuvo"), "OK");
    alice->invoke("CREATE APPLICATION " + kApp);
    bob->invoke("CREATE APPLICATION YUVO000Q"); // another party
    EXPECT_EQ(alice->invoke("GET APPLICATION " + kApp + " CONNECTABLE"), "APPLICATION " + kApp + " CONNECTABLE");
    alice->invoke("ALTER APPLICATION " + kApp + " CONNECT bob");
    alice->invoke("ALTER APPLICATION " + kApp + " CONNECT carol");
    alice->invoke("ALTER APPLICATION " + kApp + " CONNECT mallory");
    // Commands are answered in order: once the last one's note is in, the
    // others have said all they will.
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " CONNECTING mallory"));
    EXPECT_TRUE(sim->streams("alice").empty());
    for (const QString& t : alice->notes)
        EXPECT_FALSE(t.contains(QLatin1String("STREAMS"))) << t.toStdString();
    // Commands on an application the client has not created are refused.
    EXPECT_TRUE(alice->invoke("GET APPLICATION YUVO000Q CONNECTABLE").startsWith("ERROR"));
}

TEST_F(ClientSimTest, DelaysDropsAndALeavingNodeCloseOrHoldStreams)
{
    startTwo();
    QString aKey, bKey;
    linkTwo(&aKey, &bKey);
    ASSERT_EQ(aKey, "bob:1");

    // Delayed delivery: the text stays under way meanwhile.
    EXPECT_EQ(sim->control("delay alice 1500"), "OK");
    alice->invoke("ALTER APPLICATION " + kApp + " WRITE bob:1 00ff");
    EXPECT_EQ(sim->statusCount("alice", "transit"), 4);
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " RECEIVED alice:1=4"));
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " SENDING"));
    EXPECT_EQ(sim->control("delay alice 0"), "OK");

    // A dropped stream closes on both sides, with what was unread.
    EXPECT_EQ(sim->control("drop bob"), "OK 1");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS"));
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " STREAMS"));
    EXPECT_EQ(sim->statusCount("bob", "unread"), 0);

    // bob's node leaves its bus: his client deletes the application, alice
    // hears that he is no longer connectable and loses the stream.
    alice->invoke("ALTER APPLICATION " + kApp + " CONNECT bob");
    ASSERT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS bob:2"));
    alice->skipAll();
    bob.reset();
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS"));
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " CONNECTABLE"));
    EXPECT_EQ(sim->status("bob")["apps"], "");
}

TEST_F(ClientSimTest, ARestartedClientComesBackUnderANewNameAndMustBeAttachedAgain)
{
    startTwo();
    QString aKey, bKey;
    linkTwo(&aKey, &bKey);
    const QString before = alice->owner();
    ASSERT_FALSE(before.isEmpty());

    EXPECT_EQ(sim->control("restart alice 800"), "OK");
    EXPECT_TRUE(bob->take("APPLICATION " + kApp + " STREAMS"));
    EXPECT_TRUE(waitUntil([&] { return alice->owner().isEmpty(); })) << "the name kept its owner";
    ASSERT_TRUE(waitUntil([&] { return !alice->owner().isEmpty(); })) << "the client did not come back";
    EXPECT_NE(alice->owner(), before);
    EXPECT_EQ(alice->invoke("SEARCH FRIENDS"), "ERROR 9 Not attached");
    EXPECT_EQ(alice->invoke("NAME Yuvo"), "OK");
    EXPECT_EQ(sim->status("alice")["apps"], "");
    EXPECT_EQ(sim->statusCount("alice", "attaches"), 2);

    // Released and owned again: the same connection, the node attached on.
    EXPECT_EQ(sim->control("release alice"), "OK");
    EXPECT_TRUE(waitUntil([&] { return alice->owner().isEmpty(); }));
    EXPECT_EQ(sim->control("own alice"), "OK");
    EXPECT_TRUE(waitUntil([&] { return !alice->owner().isEmpty(); }));
}

TEST_F(ClientSimTest, MalformedTextsAndNotesFromAWrongSenderReachTheNode)
{
    startTwo();
    ASSERT_EQ(alice->invoke("NAME Yuvo"), "OK");
    EXPECT_EQ(sim->control("notify alice APPLICATION " + kApp.toStdString() + " STREAMS bob:1 ,  x"), "OK 1");
    EXPECT_TRUE(alice->take("APPLICATION " + kApp + " STREAMS bob:1 ,  x"));

    // The next reply is replaced, once; NAME is never replaced.
    EXPECT_EQ(sim->control("reply alice USERS ,,bob,"), "OK");
    EXPECT_EQ(alice->invoke("SEARCH FRIENDS"), "USERS ,,bob,");
    EXPECT_EQ(alice->invoke("SEARCH FRIENDS"), "USERS bob, carol");

    // From another connection of the bus: the node refuses it.
    const std::string refused = sim->control("stranger alice USERS mallory");
    EXPECT_EQ(refused.rfind("OK refused ", 0), 0u) << refused;
    for (const QString& t : alice->notes)
        EXPECT_NE(t, "USERS mallory");
    alice->refuseStrangers = false;
    EXPECT_EQ(sim->control("stranger alice USERS mallory"), "OK accepted");

    EXPECT_EQ(sim->control("notify nobody x"), "ERR no user nobody");
    EXPECT_EQ(sim->control("frobnicate alice").rfind("ERR", 0), 0u);
}

TEST_F(ClientSimTest, RefusesUnusableArgumentsAndATakenName)
{
    // Runs to its end: no users, an unknown policy.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"--user", "alice", "--attach", "maybe"},
          std::vector<std::string>{"--bus", busA->address()}}) {
        SimProcess p(dir.path(), args);
        EXPECT_TRUE(waitUntil([&] { return !p.running(); })) << "it ran with unusable arguments";
    }
    // A second client on the same bus cannot own the name.
    startSim({"--user", "alice", "--bus", busA->address()});
    testsupport::TempDir other;
    SimProcess second(other.path(), {"--user", "alice2", "--bus", busA->address()});
    EXPECT_TRUE(waitUntil([&] { return !second.running(); }));
    EXPECT_NE(second.logTail().find("taken"), std::string::npos) << second.logTail();
}

} // namespace
