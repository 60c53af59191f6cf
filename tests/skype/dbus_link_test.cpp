// The link over the real carrier: a private dbus-daemon started by the test,
// a stand-in client on it that owns the client's bus name and answers
// Invoke, and the node's link in this process. Attaching, a command's reply,
// Notify from the client and from a stranger, texts over the limit or with
// no code page 932 form, replies and notifications taken in the order the
// client sent them, and the client leaving and coming back.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform_qt/qt_app.h"
#include "sim_harness.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "support/tempdir.h"

namespace {

using testsupport::runUntil;

// Plays the client: answers Invoke from a table, records the commands and
// the unique name of the one that sent them.
class ClientObject : public QDBusVirtualObject {
public:
    std::map<std::string, std::string> answers{{"NAME Yuvo", "OK"},
                                               {"SEARCH FRIENDS", "USERS alice, bob"},
                                               {"GET CURRENTUSERHANDLE", "CURRENTUSERHANDLE me"}};
    // Notifications sent to the node right after the reply to a command.
    std::map<std::string, std::string> notifyAfter;
    std::vector<std::string> commands;
    std::string node; // the node's unique name
    int nameDelayMs = 0; // the user takes this long to answer

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override
    {
        if (m.member() != QLatin1String("Invoke"))
            return false;
        const std::string text = m.arguments().value(0).toString().toStdString();
        commands.push_back(text);
        node = m.service().toStdString();
        const auto it = answers.find(text);
        const QDBusMessage reply =
            m.createReply(QString::fromStdString(it != answers.end() ? it->second : "ERROR 2 Unknown command"));
        if (text == "NAME Yuvo" && nameDelayMs > 0) {
            m.setDelayedReply(true);
            QTimer::singleShot(nameDelayMs, [c, reply] { c.send(reply); });
            return true;
        }
        c.send(reply);
        const auto then = notifyAfter.find(text);
        if (then != notifyAfter.end()) {
            QDBusMessage n = QDBusMessage::createMethodCall(m.service(), QStringLiteral("/com/Skype/Client"),
                                                            QStringLiteral("com.Skype.API.Client"),
                                                            QStringLiteral("Notify"));
            n << QString::fromStdString(then->second);
            c.asyncCall(n);
        }
        return true;
    }
};

class Recorder : public ZQ_SKYPECOMUSER {
public:
    std::vector<int> statuses;
    std::vector<std::string> users;
    bool offThread = false;
    void onStatus(int s) override
    {
        statuses.push_back(s);
        offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
    }
    void onUser(const char* t) override
    {
        users.push_back(t);
        offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
    }
};

class DBusLink : public ::testing::Test {
protected:
    testsupport::QtApp app;
    testsupport::TempDir dir;
    std::unique_ptr<skypesim::PrivateBus> bus;
    ClientObject client;
    Recorder recorder;

    void SetUp() override
    {
        if (skypesim::dbusDaemonPath().empty())
            GTEST_SKIP() << "no dbus-daemon to start a private bus with";
        bus = std::make_unique<skypesim::PrivateBus>(dir.path() + "/bus");
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    }
    void TearDown() override
    {
        ZQ_SKYPEMODEL::destroyInstance();
        ZQ_SKYPECOM::destroyInstance();
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("stranger"));
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

    QDBusConnection connect(const char* name)
    {
        return QDBusConnection::connectToBus(QString::fromStdString(bus->address()), QString::fromLatin1(name));
    }

    // The stand-in client on the bus, owner of the client's name.
    QDBusConnection startClient()
    {
        QDBusConnection c = connect("client");
        EXPECT_TRUE(c.isConnected());
        EXPECT_TRUE(c.registerVirtualObject(QStringLiteral("/com/Skype"), &client));
        EXPECT_TRUE(c.registerService(QStringLiteral("com.Skype.API")));
        return c;
    }

    // The node's link, heard by the recorder, with its contact model; it
    // starts looking for the client.
    ZQ_SKYPECOM* startLink()
    {
        ZQ_SKYPECOM* com = ZQ_SKYPECOM::getInstance();
        com->addUser(&recorder);
        ZQ_SKYPEMODEL::getInstance();
        com->createWindow(nullptr);
        return com;
    }

    // Notify(text) on the node from conn; the error name, "" on success.
    std::string notify(QDBusConnection conn, const QString& text)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(QString::fromStdString(client.node),
                                                        QStringLiteral("/com/Skype/Client"),
                                                        QStringLiteral("com.Skype.API.Client"), QStringLiteral("Notify"));
        m << text;
        QDBusPendingCallWatcher w(conn.asyncCall(m));
        EXPECT_TRUE(runUntil([&] { return w.isFinished(); }, 10000));
        return w.isError() ? w.error().name().toStdString() : std::string();
    }
};

} // namespace

TEST_F(DBusLink, AttachesHearsItsClientOnlyAndFollowsTheClientsComings)
{
    QDBusConnection clientBus = startClient();
    ZQ_SKYPECOM* com = startLink();
    ZQ_SKYPEMODEL* model = ZQ_SKYPEMODEL::getInstance();
    ASSERT_TRUE(runUntil([&] { return com->getStatus() == ZQ_SKYPECOM::STATUS_ATTACHED; }, 10000));
    // A machine slow enough to take a second for the answer shows the wait.
    std::vector<int> seen = recorder.statuses;
    seen.erase(std::remove(seen.begin(), seen.end(), ZQ_SKYPECOM::STATUS_PENDING), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{0x8001, 1}));
    EXPECT_EQ(com->client(), clientBus.baseService().toStdString());

    // A command's reply comes back through dispatch: the contact list.
    ASSERT_TRUE(runUntil([&] { return model->getContactCount() == 2 && model->getCurrentUserHandle() == "me"; },
                         10000));
    EXPECT_EQ(client.commands.front(), "NAME Yuvo");
    EXPECT_EQ(client.commands.at(1), "SEARCH FRIENDS");

    EXPECT_EQ(notify(clientBus, QStringLiteral("USER alice ONLINESTATUS ONLINE")), "");
    EXPECT_EQ(recorder.users, std::vector<std::string>{"alice ONLINESTATUS ONLINE"});
    EXPECT_EQ(model->getContact(0)->status, 2);

    QDBusConnection stranger = connect("stranger");
    ASSERT_TRUE(stranger.isConnected());
    EXPECT_EQ(notify(stranger, QStringLiteral("USER bob ONLINESTATUS ONLINE")),
              "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(notify(clientBus, QString(128 * 1024 + 1, QLatin1Char('x'))),
              "org.freedesktop.DBus.Error.LimitsExceeded");
    // A text with no code page 932 form is taken from the client and not
    // dispatched.
    EXPECT_EQ(notify(clientBus, QStringLiteral("USER bob ONLINESTATUS ONLINE \U0001F600")), "");
    EXPECT_EQ(recorder.users.size(), 1u) << "none of the three was dispatched";
    EXPECT_EQ(model->getContact(1)->status, 1);

    // A reply over the limit is dropped: not dispatched, and no lost link.
    client.answers["GET CURRENTUSERHANDLE"] = "CURRENTUSERHANDLE " + std::string(128 * 1024, 'm');
    bool answered = false;
    ASSERT_EQ(com->send("GET CURRENTUSERHANDLE", [&] { answered = true; }), 1);
    ASSERT_TRUE(runUntil([&] { return answered; }, 10000));
    EXPECT_EQ(model->getCurrentUserHandle(), "me");
    EXPECT_EQ(com->getStatus(), ZQ_SKYPECOM::STATUS_ATTACHED);

    // The client leaves the bus (a restart): the link is lost; back, it is
    // attached again.
    recorder.statuses.clear();
    ASSERT_TRUE(clientBus.unregisterService(QStringLiteral("com.Skype.API")));
    ASSERT_TRUE(runUntil([&] { return !recorder.statuses.empty(); }, 10000));
    EXPECT_EQ(recorder.statuses.front(), 0);
    EXPECT_EQ(com->send("SEARCH FRIENDS"), 0) << "nothing goes while not attached";
    ASSERT_TRUE(clientBus.registerService(QStringLiteral("com.Skype.API")));
    ASSERT_TRUE(runUntil([&] { return com->getStatus() == ZQ_SKYPECOM::STATUS_ATTACHED; }, 10000));
    EXPECT_FALSE(recorder.offThread) << "everything arrives on the main thread";
}

TEST_F(DBusLink, RefusalAndAWaitForTheUserShowInTheStatus)
{
    client.answers["NAME Yuvo"] = "ERROR 68";
    client.nameDelayMs = 1500;
    QDBusConnection clientBus = startClient();
    ZQ_SKYPECOM* com = startLink();
    ASSERT_TRUE(runUntil([&] { return com->getStatus() == ZQ_SKYPECOM::STATUS_REFUSED; }, 10000));
    EXPECT_EQ(recorder.statuses, (std::vector<int>{0x8001, 2, 3})) << "waiting for the user after 1 s, then refused";
    EXPECT_FALSE(client.node.empty());
    EXPECT_EQ(notify(clientBus, QStringLiteral("USERS x")), "org.freedesktop.DBus.Error.AccessDenied")
        << "a refused node hears nobody";
}

TEST(DBusCarrier, NoAddressIsNoBus)
{
    testsupport::QtApp app;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "", 1);
    class Silent : public platform::CSkypeApiListener {
        void onApiOwnerChanged(const std::string&, const std::string&) override {}
        bool onApiNotify(const std::string&, const std::string&) override { return false; }
    } listener;
    auto api = platform::makeSessionBusSkypeApi();
    EXPECT_FALSE(api->open(&listener));
    EXPECT_FALSE(api->invoke(platform::CSkypeApi::SERVICE, "NAME Yuvo", 1000, [](const platform::SkypeApiAnswer&) {}));
}

TEST_F(DBusLink, RepliesAndNotificationsAreDispatchedInTheOrderTheClientSentThem)
{
    client.answers["GET USER carol ONLINESTATUS"] = "USER carol ONLINESTATUS OFFLINE";
    client.notifyAfter["GET USER carol ONLINESTATUS"] = "USER carol ONLINESTATUS ONLINE";
    QDBusConnection clientBus = startClient();
    ZQ_SKYPECOM* com = startLink();
    ZQ_SKYPEMODEL* model = ZQ_SKYPEMODEL::getInstance();
    // Attached, and the contact model's own questions answered.
    ASSERT_TRUE(runUntil([&] { return model->getCurrentUserHandle() == "me"; }, 10000));

    // Each reply, then the notification the client sent after it; the
    // commands follow each other without waiting.
    constexpr int rounds = 50;
    recorder.users.clear();
    for (int i = 0; i < rounds; ++i)
        ASSERT_EQ(com->send("GET USER carol ONLINESTATUS"), 1);
    ASSERT_TRUE(runUntil([&] { return recorder.users.size() >= 2 * rounds; }, 20000)) << recorder.users.size();
    ASSERT_EQ(recorder.users.size(), 2u * rounds);
    for (int i = 0; i < 2 * rounds; ++i)
        EXPECT_EQ(recorder.users[i], i % 2 == 0 ? "carol ONLINESTATUS OFFLINE" : "carol ONLINESTATUS ONLINE") << i;
}
