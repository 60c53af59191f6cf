// The asynchronous socket over real loopback connections: events on the
// event loop (nested loops too), one report per connect and per close, write
// watching only after a blocked send, paused reading, nothing after Close,
// closing and deleting from inside a handler, no SIGPIPE, accept back-off
// and host name look-up.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/async_socket.h"
#include "platform_qt/qt_app.h"

namespace {

class Sock : public CAsyncSocket {
public:
    ~Sock() override
    {
        if (destroyed)
            *destroyed = true;
    }

    // Reads what is there; notes the peer's close and errors.
    void readAll()
    {
        char buf[65536];
        for (;;) {
            int n = Receive(buf, sizeof buf);
            if (n > 0) {
                data.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0)
                ++eofs;
            else if (GetLastError() != WSAEWOULDBLOCK)
                recvError = GetLastError();
            return;
        }
    }

    std::function<void(int)> onAccept, onConnect, onReceive, onSend, onClose;
    int nAccept = 0, nConnect = 0, nReceive = 0, nSend = 0, nClose = 0;
    int connectCode = -1, closeCode = -1, recvError = 0, eofs = 0;
    std::string data;
    bool* destroyed = nullptr;

protected:
    void OnAccept(int e) override { note(nAccept, onAccept, e); }
    void OnConnect(int e) override
    {
        connectCode = e;
        note(nConnect, onConnect, e);
    }
    void OnReceive(int e) override
    {
        if (!onReceive)
            readAll();
        note(nReceive, onReceive, e);
    }
    void OnSend(int e) override { note(nSend, onSend, e); }
    void OnClose(int e) override
    {
        closeCode = e;
        note(nClose, onClose, e);
    }

private:
    static void note(int& count, const std::function<void(int)>& handler, int e)
    {
        ++count;
        if (handler)
            handler(e);
    }
};

int events(const Sock& s)
{
    return s.nAccept + s.nConnect + s.nReceive + s.nSend + s.nClose;
}

using testsupport::runFor;
using testsupport::runUntil;

class AsyncSocketTest : public testing::Test {
protected:
    // A listener on 127.0.0.1 and a free port; accepted sockets go to
    // m_accepted.
    UINT listen()
    {
        EXPECT_TRUE(m_listener.Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
        EXPECT_TRUE(m_listener.Listen());
        std::string addr;
        UINT port = 0;
        EXPECT_TRUE(m_listener.GetSockName(addr, port));
        EXPECT_EQ(addr, "127.0.0.1");
        m_listener.onAccept = [this](int e) {
            EXPECT_EQ(e, 0);
            auto s = std::make_unique<Sock>();
            if (m_listener.Accept(*s))
                m_accepted.push_back(std::move(s));
        };
        return port;
    }

    // Connects a new client to port and waits for both ends.
    std::unique_ptr<Sock> connectTo(UINT port, const char* host = "127.0.0.1")
    {
        auto c = std::make_unique<Sock>();
        EXPECT_TRUE(c->Create());
        std::size_t before = m_accepted.size();
        bool connected = c->Connect(host, port);
        if (!connected) {
            EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
        }
        EXPECT_TRUE(runUntil([&] {
            return (connected || c->nConnect > 0) && m_accepted.size() > before;
        }));
        if (!connected) {
            EXPECT_EQ(c->connectCode, 0);
        }
        return c;
    }

    // The accepted socket, handed over to the test to delete; gone turns
    // true when it is.
    Sock* takeAccepted(bool& gone)
    {
        Sock* s = m_accepted.at(0).release();
        m_accepted.clear();
        s->destroyed = &gone;
        return s;
    }

    static void sendAll(Sock& s, const std::string& text)
    {
        ASSERT_EQ(s.Send(text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
    }

    // A port with nothing listening on it.
    static UINT deadPort()
    {
        Sock s;
        EXPECT_TRUE(s.Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
        EXPECT_TRUE(s.Listen());
        std::string addr;
        UINT port = 0;
        EXPECT_TRUE(s.GetSockName(addr, port));
        return port;
    }

    testsupport::QtApp app;
    Sock m_listener;
    std::vector<std::unique_ptr<Sock>> m_accepted;
};

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 7919) & 0xFF);
    return s;
}

} // namespace

TEST_F(AsyncSocketTest, ConnectsAcceptsAndCarriesBytesBothWays)
{
    UINT port = listen();
    auto client = connectTo(port);
    ASSERT_EQ(m_accepted.size(), 1u);
    Sock& server = *m_accepted[0];

    std::string peerAddr, clientAddr;
    UINT peerPort = 0, clientPort = 0;
    ASSERT_TRUE(server.GetPeerName(peerAddr, peerPort));
    ASSERT_TRUE(client->GetSockName(clientAddr, clientPort));
    EXPECT_EQ(peerAddr, "127.0.0.1");
    EXPECT_EQ(peerPort, clientPort);

    sendAll(*client, "hello");
    sendAll(server, "world");
    ASSERT_TRUE(runUntil([&] { return server.data == "hello" && client->data == "world"; }));
    runFor(50);
    EXPECT_LE(client->nConnect, 1);
    EXPECT_EQ(client->nSend + server.nSend, 0); // nothing ever blocked
    EXPECT_EQ(client->nClose + server.nClose, 0);
    EXPECT_EQ(m_listener.nAccept, 1);

    // Operations out of place fail with the usual codes.
    char c;
    Sock fresh;
    EXPECT_EQ(fresh.Receive(&c, 1), SOCKET_ERROR);
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAENOTSOCK);
    ASSERT_TRUE(fresh.Create());
    EXPECT_EQ(fresh.Send("x", 1), SOCKET_ERROR);
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAENOTCONN);
    EXPECT_FALSE(client->Connect("127.0.0.1", port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEISCONN);
    EXPECT_FALSE(fresh.Create());
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEINVAL);
    // With no room a receive reads nothing and invents no close.
    EXPECT_EQ(server.Receive(&c, 0), SOCKET_ERROR);
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
}

TEST_F(AsyncSocketTest, ListeningPortIsReusableAndExclusive)
{
    UINT port = deadPort();
    {
        Sock l;
        ASSERT_TRUE(l.Create(port));
        ASSERT_TRUE(l.Listen(5));

        // A second listener on a port in use is refused.
        Sock other;
        EXPECT_FALSE(other.Create(port));
        EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEADDRINUSE);

        // A connection that the server side closes first leaves the port
        // in TIME_WAIT.
        std::unique_ptr<Sock> accepted;
        l.onAccept = [&](int) {
            accepted = std::make_unique<Sock>();
            l.Accept(*accepted);
        };
        Sock client;
        ASSERT_TRUE(client.Create());
        client.Connect("127.0.0.1", port);
        ASSERT_TRUE(runUntil([&] { return accepted != nullptr; }));
        accepted->ShutDown(SD_BOTH);
        accepted->Close();
        ASSERT_TRUE(runUntil([&] { return client.eofs > 0; }));
    }
    Sock again;
    EXPECT_TRUE(again.Create(port));
    EXPECT_TRUE(again.Listen());
}

TEST_F(AsyncSocketTest, EventsArriveInsideANestedLoop)
{
    UINT port = listen();
    auto a = connectTo(port);
    auto b = connectTo(port);
    Sock& sa = *m_accepted[0];
    Sock& sb = *m_accepted[1];

    bool nestedDone = false;
    sa.onReceive = [&](int) {
        sa.readAll();
        // A modal dialog opened from a handler keeps the sockets going.
        QTimer::singleShot(10, [&] { sendAll(*b, "inner"); });
        QEventLoop nested;
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, &nested, &QEventLoop::quit);
        guard.start(5000);
        sb.onReceive = [&](int) {
            sb.readAll();
            nested.quit();
        };
        nested.exec();
        nestedDone = sb.data == "inner";
    };
    sendAll(*a, "outer");
    ASSERT_TRUE(runUntil([&] { return sa.nReceive > 0 && sa.onReceive && nestedDone; }));
    EXPECT_EQ(sa.data, "outer");
    EXPECT_EQ(sb.data, "inner");
}

TEST_F(AsyncSocketTest, LargeTransferWatchesWritesOnlyAfterABlockedSend)
{
    UINT port = listen();
    auto client = connectTo(port);
    Sock& server = *m_accepted[0];

    const std::string payload = pattern(8 << 20);
    std::size_t sent = 0;
    int wouldBlocks = 0;
    bool waitingForSend = false;
    int unexpectedOnSend = 0;
    std::function<void()> pump = [&] {
        while (sent < payload.size()) {
            int chunk = static_cast<int>(std::min<std::size_t>(payload.size() - sent, 200000));
            int n = client->Send(payload.data() + sent, chunk);
            if (n == SOCKET_ERROR) {
                ASSERT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
                ++wouldBlocks;
                waitingForSend = true;
                return;
            }
            ASSERT_GT(n, 0);
            sent += static_cast<std::size_t>(n);
        }
    };
    client->onSend = [&](int e) {
        EXPECT_EQ(e, 0);
        if (!waitingForSend)
            ++unexpectedOnSend;
        waitingForSend = false;
        pump();
    };

    // The reader takes a little and then rests, as a stream whose buffer
    // is full does; no OnReceive may come while it rests.
    bool resting = false;
    int receivesWhileResting = 0;
    server.onReceive = [&](int) {
        if (resting)
            ++receivesWhileResting;
        char buf[32768];
        int n = server.Receive(buf, sizeof buf);
        if (n > 0)
            server.data.append(buf, static_cast<std::size_t>(n));
        if (server.data.size() % (1 << 20) < sizeof buf) {
            server.pauseReceive();
            resting = true;
            QTimer::singleShot(20, [&] {
                resting = false;
                server.resumeReceive();
            });
        }
    };

    pump();
    ASSERT_TRUE(runUntil([&] { return server.data.size() == payload.size(); }, 60000));
    EXPECT_TRUE(server.data == payload);
    EXPECT_GT(wouldBlocks, 0);
    EXPECT_EQ(client->nSend, wouldBlocks); // one OnSend per blocked send
    EXPECT_EQ(unexpectedOnSend, 0);
    EXPECT_EQ(receivesWhileResting, 0);

    // All sent: writability is no longer watched.
    const int onSends = client->nSend;
    runFor(100);
    EXPECT_EQ(client->nSend, onSends);
    EXPECT_EQ(client->nClose + server.nClose, 0);
}

// An orderly close reads as end of data; a reset as an error or, where the
// stack reports it so, a close. Either way OnClose comes once and the close
// is not read again and again.
TEST_F(AsyncSocketTest, PeerCloseOrResetGivesOneOnClose)
{
    UINT port = listen();
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        auto client = connectTo(port);
        Sock& server = *m_accepted.back();
        if (reset) {
            linger hard{1, 0};
            ASSERT_TRUE(client->SetSockOpt(SO_LINGER, &hard, sizeof hard));
        } else {
            sendAll(*client, "last words");
            client->ShutDown(SD_BOTH);
        }
        client->Close();
        ASSERT_TRUE(runUntil([&] { return server.nClose > 0; }));
        runFor(100);
        EXPECT_EQ(server.nClose, 1);
        if (reset) {
            if (server.closeCode != 0) {
                EXPECT_EQ(server.closeCode, WSAECONNRESET);
            }
            EXPECT_EQ(server.recvError, server.closeCode);
        } else {
            EXPECT_EQ(server.data, "last words");
            EXPECT_EQ(server.eofs, 1);
            EXPECT_EQ(server.closeCode, 0);
        }
        const int receives = server.nReceive;
        runFor(50);
        EXPECT_EQ(server.nReceive, receives);
    }
}

TEST_F(AsyncSocketTest, RefusedConnectReportsOnce)
{
    UINT port = deadPort();
    Sock c;
    ASSERT_TRUE(c.Create());
    if (c.Connect("127.0.0.1", port)) {
        ADD_FAILURE() << "connected to a port nobody listens on";
        return;
    }
    int code = CAsyncSocket::GetLastError();
    if (code == WSAEWOULDBLOCK) {
        ASSERT_TRUE(runUntil([&] { return c.nConnect > 0; }));
        code = c.connectCode;
    }
    EXPECT_EQ(code, WSAECONNREFUSED);
    runFor(100);
    EXPECT_LE(c.nConnect, 1);
    EXPECT_EQ(events(c), c.nConnect);
}

TEST_F(AsyncSocketTest, HostNamesAreLookedUpOffTheMainThread)
{
    UINT port = listen();
    // A name connects through the look-up and reports like any connect.
    auto client = std::make_unique<Sock>();
    ASSERT_TRUE(client->Create());
    EXPECT_FALSE(client->Connect(std::string("localhost"), port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(client->nConnect, 0);
    EXPECT_FALSE(client->Connect("localhost", port)); // still under way
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEALREADY);
    ASSERT_TRUE(runUntil([&] { return client->nConnect > 0 && !m_accepted.empty(); }));
    EXPECT_EQ(client->connectCode, 0);
    sendAll(*client, "by name");
    ASSERT_TRUE(runUntil([&] { return m_accepted[0]->data == "by name"; }));

    // A name that cannot be looked up (its label is too long to ask anyone
    // about) fails through OnConnect with WSAEINVAL.
    Sock bad;
    ASSERT_TRUE(bad.Create());
    EXPECT_FALSE(bad.Connect(std::string(64, 'a') + ".invalid", port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(runUntil([&] { return bad.nConnect > 0; }));
    EXPECT_EQ(bad.connectCode, WSAEINVAL);

    // A socket closed or deleted while its look-up runs hears nothing.
    Sock closed;
    ASSERT_TRUE(closed.Create());
    EXPECT_FALSE(closed.Connect("localhost", port));
    closed.Close();
    bool gone = false;
    auto* dropped = new Sock;
    dropped->destroyed = &gone;
    ASSERT_TRUE(dropped->Create());
    EXPECT_FALSE(dropped->Connect("localhost", port));
    dropped->deleteLater();
    ASSERT_TRUE(runUntil([&] { return gone; }));
    runFor(200);
    EXPECT_EQ(events(closed), 0);
    EXPECT_EQ(events(bad), 1);
    EXPECT_EQ(client->nConnect, 1);
}

TEST_F(AsyncSocketTest, HandlerMayCloseAndDeleteItsOwnSocket)
{
    UINT port = listen();
    auto client = connectTo(port);
    bool gone = false;
    Sock* server = takeAccepted(gone);
    bool goneDuringNestedLoop = false;
    int calls = 0;
    server->onReceive = [&](int) {
        ++calls;
        server->ShutDown(SD_BOTH);
        server->Close();
        server->deleteLater();
        // Not even a nested loop opened afterwards by the same handler
        // deletes it under our feet.
        QEventLoop nested;
        QTimer::singleShot(30, &nested, &QEventLoop::quit);
        nested.exec();
        goneDuringNestedLoop = gone;
        EXPECT_EQ(server->socketHandle(), INVALID_SOCKET);
    };
    sendAll(*client, "one");
    sendAll(*client, "two");
    ASSERT_TRUE(runUntil([&] { return gone; }));
    EXPECT_FALSE(goneDuringNestedLoop);
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(runUntil([&] { return client->eofs > 0; }));
}

TEST_F(AsyncSocketTest, HandlerThatDeletesItsSocketOutrightIsSurvived)
{
    UINT port = listen();
    auto client = connectTo(port);
    bool gone = false;
    Sock* server = takeAccepted(gone);
    server->onReceive = [&](int) { delete server; };
    sendAll(*client, "x");
    ASSERT_TRUE(runUntil([&] { return gone; }));
    runFor(50);
}

TEST_F(AsyncSocketTest, NothingReachesAClosedSocket)
{
    UINT port = listen();
    auto ca = connectTo(port);
    auto cb = connectTo(port);
    Sock& a = *m_accepted[0];
    Sock& b = *m_accepted[1];

    // Both have bytes waiting in the same round of the loop; whichever
    // hears first closes the other, which must then hear nothing.
    int afterClose = 0;
    Sock* closedOne = nullptr;
    SOCKET closedFd = INVALID_SOCKET;
    auto closeOther = [&](Sock& self, Sock& other) {
        if (&self == closedOne) {
            ++afterClose;
            return;
        }
        self.readAll();
        if (!closedOne) {
            closedOne = &other;
            closedFd = other.socketHandle();
            other.Close();
        }
    };
    a.onReceive = [&](int) { closeOther(a, b); };
    b.onReceive = [&](int) { closeOther(b, a); };
    sendAll(*ca, "to a");
    sendAll(*cb, "to b");
    usleep(20 * 1000); // both arrive before either is handled
    ASSERT_TRUE(runUntil([&] { return closedOne != nullptr; }));
    const int closedEvents = events(*closedOne);

    // Its descriptor number comes back at once for a new socket, whose
    // events go to the new object only.
    auto reused = connectTo(port);
    EXPECT_EQ(reused->socketHandle(), closedFd);
    sendAll(*m_accepted[2], "reused");
    (closedOne == &a ? *ca : *cb).Send("more", 4); // may meet a reset
    ASSERT_TRUE(runUntil([&] { return reused->data == "reused"; }));
    runFor(100);
    EXPECT_EQ(afterClose, 0);
    EXPECT_EQ(events(*closedOne), closedEvents);

    // A close report that was already on its way is dropped too.
    auto cc = connectTo(port);
    Sock& c = *m_accepted[3];
    c.onReceive = [](int) {}; // reads only when told
    cc->Close();
    runFor(50);
    c.readAll(); // sees the close outside any handler: its report is queued
    EXPECT_EQ(c.eofs, 1);
    const int before = events(c);
    c.Close();
    runFor(100);
    EXPECT_EQ(events(c), before);
    EXPECT_EQ(c.nClose, 0);
}

TEST_F(AsyncSocketTest, SendToAResetPeerRaisesNoSigpipe)
{
    auto old = std::signal(SIGPIPE, SIG_DFL); // a SIGPIPE would end the test
    UINT port = listen();
    auto client = connectTo(port);
    Sock& server = *m_accepted[0];
    linger hard{1, 0};
    ASSERT_TRUE(server.SetSockOpt(SO_LINGER, &hard, sizeof hard));
    server.Close();
    runFor(50);
    const std::string block(65536, 'x');
    int code = 0;
    for (int i = 0; i < 200 && code == 0; ++i) {
        if (client->Send(block.data(), static_cast<int>(block.size())) == SOCKET_ERROR
            && CAsyncSocket::GetLastError() != WSAEWOULDBLOCK)
            code = CAsyncSocket::GetLastError();
        runFor(2);
    }
    EXPECT_TRUE(code == WSAECONNRESET || code == WSAECONNABORTED) << code;
    std::signal(SIGPIPE, old);
}

TEST_F(AsyncSocketTest, AcceptRestsWhenDescriptorsRunOut)
{
    UINT port = listen();
    std::vector<QElapsedTimer> acceptTimes;
    int failures = 0;
    m_listener.onAccept = [&](int) {
        acceptTimes.emplace_back();
        acceptTimes.back().start();
        auto s = std::make_unique<Sock>();
        if (m_listener.Accept(*s)) {
            m_accepted.push_back(std::move(s));
        } else {
            EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEMFILE);
            ++failures;
        }
    };
    Sock client;
    ASSERT_TRUE(client.Create());

    // Use up every descriptor under a small limit. The sanitizers need a
    // pipe to check an object's type the first time they see it, so every
    // type used meanwhile is seen once before.
    runFor(5);
    {
        Sock unused;
        EXPECT_FALSE(m_listener.Accept(unused) || m_listener.Accept(client));
    }
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit small = old;
    small.rlim_cur = std::min<rlim_t>(old.rlim_cur, 512);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &small), 0);
    std::vector<int> hogs;
    for (int fd; (fd = fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;)
        hogs.push_back(fd);
    ASSERT_EQ(errno, EMFILE);

    client.Connect("127.0.0.1", port);
    ASSERT_TRUE(runUntil([&] { return failures > 0; }));
    runFor(400);
    EXPECT_EQ(acceptTimes.size(), 1u); // resting, not spinning

    for (int fd : hogs)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    ASSERT_TRUE(runUntil([&] { return !m_accepted.empty(); }));
    EXPECT_EQ(failures, 1);
    ASSERT_EQ(acceptTimes.size(), 2u);
    EXPECT_GE(acceptTimes[0].elapsed() - acceptTimes[1].elapsed(), 900);
}
