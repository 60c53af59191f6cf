// The asynchronous socket over real loopback connections: one report per
// connect and per close, write watching only after a blocked send, paused
// reading, nothing after Close, closing and deleting from inside a handler,
// no SIGPIPE, accept back-off, host names looked up beside the main thread.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QThreadPool>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/async_socket.h"
#include "platform_qt/qt_app.h"

namespace {

using testsupport::runFor;
using testsupport::runUntil;

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
        int n;
        while ((n = Receive(buf, sizeof buf)) > 0)
            data.append(buf, static_cast<std::size_t>(n));
        if (n == 0)
            ++eofs;
        else if (GetLastError() != WSAEWOULDBLOCK)
            recvError = GetLastError();
    }

    std::function<void(int)> onAccept, onReceive, onSend;
    int nAccept = 0, nConnect = 0, nReceive = 0, nSend = 0, nClose = 0;
    int connectCode = -1, closeCode = -1, recvError = 0, eofs = 0;
    std::string data;
    bool* destroyed = nullptr;

protected:
    void OnAccept(int e) override { note(nAccept, onAccept, e); }
    void OnConnect(int e) override { connectCode = e, ++nConnect; }
    void OnReceive(int e) override
    {
        if (!onReceive)
            readAll();
        note(nReceive, onReceive, e);
    }
    void OnSend(int e) override { note(nSend, onSend, e); }
    void OnClose(int e) override { closeCode = e, ++nClose; }

private:
    static void note(int& count, const std::function<void(int)>& handler, int e)
    {
        ++count;
        if (handler)
            handler(e);
    }
};

int events(const Sock& s) { return s.nAccept + s.nConnect + s.nReceive + s.nSend + s.nClose; }

class AsyncSocketTest : public testing::Test {
protected:
    // A listener on 127.0.0.1 (null: any address); accepted sockets go to
    // m_accepted.
    UINT listen(const char* address = "127.0.0.1")
    {
        EXPECT_TRUE(m_listener.Create(0, SOCK_STREAM, FD_ALL_EVENTS, address));
        EXPECT_TRUE(m_listener.Listen());
        std::string addr;
        UINT port = 0;
        EXPECT_TRUE(m_listener.GetSockName(addr, port));
        m_listener.onAccept = [this](int) {
            auto s = std::make_unique<Sock>();
            if (m_listener.Accept(*s))
                m_accepted.push_back(std::move(s));
        };
        return port;
    }

    // Connects a new client and waits for both ends.
    std::unique_ptr<Sock> connectTo(UINT port)
    {
        auto c = std::make_unique<Sock>();
        EXPECT_TRUE(c->Create());
        const std::size_t before = m_accepted.size();
        const bool connected = c->Connect("127.0.0.1", port);
        EXPECT_TRUE(runUntil([&] { return (connected || c->nConnect > 0) && m_accepted.size() > before; }));
        EXPECT_LE(c->nConnect, 1);
        return c;
    }

    static void sendAll(Sock& s, const std::string& text)
    {
        ASSERT_EQ(s.Send(text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
    }

    testsupport::QtApp app;
    Sock m_listener;
    std::vector<std::unique_ptr<Sock>> m_accepted;
};

} // namespace

TEST_F(AsyncSocketTest, WritesAreWatchedOnlyAfterABlockedSendAndPausedReadingRests)
{
    auto client = connectTo(listen());
    Sock& server = *m_accepted[0];
    std::string payload(8 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>((i * 131 + i / 7919) & 0xFF);
    std::size_t sent = 0;
    int wouldBlocks = 0, unexpectedOnSend = 0;
    bool waitingForSend = false;
    auto pump = [&] {
        while (sent < payload.size()) {
            const int n = client->Send(payload.data() + sent, static_cast<int>(std::min<std::size_t>(payload.size() - sent, 200000)));
            if (n == SOCKET_ERROR) {
                ASSERT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
                ++wouldBlocks;
                waitingForSend = true;
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    };
    client->onSend = [&](int) {
        unexpectedOnSend += !waitingForSend;
        waitingForSend = false;
        pump();
    };
    // The reader rests now and then, as a stream whose queue is full does;
    // no OnReceive may come while it rests.
    bool resting = false;
    int receivesWhileResting = 0;
    server.onReceive = [&](int) {
        receivesWhileResting += resting;
        char buf[32768];
        const int n = server.Receive(buf, sizeof buf);
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
    runFor(100);
    EXPECT_EQ(client->nSend, wouldBlocks) << "all sent: writes no longer watched";
}

// The peer's close is read as end of data once and reported once.
TEST_F(AsyncSocketTest, PeerCloseGivesOneOnClose)
{
    auto client = connectTo(listen());
    Sock& server = *m_accepted.back();
    sendAll(*client, "last words");
    client->ShutDown(SD_BOTH);
    client->Close();
    ASSERT_TRUE(runUntil([&] { return server.nClose > 0; }));
    const int receives = server.nReceive;
    runFor(100);
    EXPECT_EQ(server.nClose, 1);
    EXPECT_EQ(server.closeCode, 0);
    EXPECT_EQ(server.data, "last words");
    EXPECT_EQ(server.eofs, 1);
    EXPECT_EQ(server.nReceive, receives);
}

TEST_F(AsyncSocketTest, RefusedConnectReportsOnce)
{
    Sock bound; // holds a port that nobody listens on
    ASSERT_TRUE(bound.Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
    std::string addr;
    UINT port = 0;
    ASSERT_TRUE(bound.GetSockName(addr, port));
    Sock c;
    ASSERT_TRUE(c.Create());
    ASSERT_FALSE(c.Connect("127.0.0.1", port));
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

// A connect by host name through the system's look-up returns at once and
// reports like any connect; a name that cannot be looked up fails through
// OnConnect; a socket closed while its look-up runs hears nothing. (That
// the main thread runs on while a look-up takes its time is tested with a
// slow resolver below: "localhost" is answered at once.)
TEST_F(AsyncSocketTest, HostNamesAreLookedUpOffTheMainThread)
{
    const UINT port = listen();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(1);

    auto client = std::make_unique<Sock>();
    ASSERT_TRUE(client->Create());
    EXPECT_FALSE(client->Connect(std::string("localhost"), port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(client->nConnect, 0) << "nothing is decided inside the call";
    EXPECT_FALSE(client->Connect("localhost", port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEALREADY);
    ASSERT_TRUE(runUntil([&] { return client->nConnect > 0 && !m_accepted.empty(); }));
    EXPECT_EQ(client->connectCode, 0);
    sendAll(*client, "by name");
    ASSERT_TRUE(runUntil([&] { return m_accepted[0]->data == "by name"; }));

    // Its label is too long to ask anyone about.
    Sock bad;
    ASSERT_TRUE(bad.Create());
    EXPECT_FALSE(bad.Connect(std::string(64, 'a') + ".invalid", port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(runUntil([&] { return bad.nConnect > 0; }));
    EXPECT_EQ(bad.connectCode, WSAEINVAL);

    Sock closed;
    ASSERT_TRUE(closed.Create());
    EXPECT_FALSE(closed.Connect("localhost", port));
    closed.Close();
    runFor(200);
    EXPECT_EQ(events(closed), 0);
    EXPECT_GT(ticks, 0) << "the main thread's timers ran meanwhile";
}

namespace {

sockaddr_storage addressOf(const char* text)
{
    sockaddr_storage sa{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(sa).sin_addr) == 1)
        sa.ss_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(sa).sin6_addr) == 1)
        sa.ss_family = AF_INET6;
    return sa;
}

// A name server that takes a second over every name: "both.test" stands
// for ::1 and 127.0.0.1 (in that order), any other name for nothing. Put in
// force for its lifetime; its end waits for the look-ups it answers.
struct SlowResolver {
    std::atomic<int> running{0};
    std::atomic<int> answered{0};
    std::atomic<bool> onMainThread{false};
    const std::thread::id mainThread = std::this_thread::get_id();
    HostResolver before;

    SlowResolver()
    {
        before = setHostResolver([this](const std::string& host) {
            ++running;
            if (std::this_thread::get_id() == mainThread)
                onMainThread = true;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            std::vector<sockaddr_storage> found;
            if (host == "both.test")
                found = {addressOf("::1"), addressOf("127.0.0.1")};
            ++answered;
            --running;
            return found;
        });
    }
    ~SlowResolver()
    {
        QThreadPool::globalInstance()->waitForDone();
        setHostResolver(std::move(before));
    }
};

} // namespace

// While a look-up takes a second, the main thread's timers keep firing; the
// connect then completes at the name's IPv4 address, or fails through
// OnConnect when the name stands for nothing. A socket closed, or deleted,
// while its look-up runs hears nothing of it.
TEST_F(AsyncSocketTest, ASlowLookUpLeavesTheMainThreadRunning)
{
    const UINT port = listen(); // IPv4 only: the IPv6 address would be refused
    SlowResolver resolver;
    int ticksDuringLookUp = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (resolver.running > 0)
            ++ticksDuringLookUp;
    });
    timer.start(10);

    auto client = std::make_unique<Sock>();
    ASSERT_TRUE(client->Create());
    EXPECT_FALSE(client->Connect("both.test", port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    Sock nowhere;
    ASSERT_TRUE(nowhere.Create());
    EXPECT_FALSE(nowhere.Connect("nowhere.test", port));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    Sock closed;
    ASSERT_TRUE(closed.Create());
    EXPECT_FALSE(closed.Connect("both.test", port));
    closed.Close();
    auto deleted = std::make_unique<Sock>();
    ASSERT_TRUE(deleted->Create());
    EXPECT_FALSE(deleted->Connect("both.test", port));
    deleted.reset();

    ASSERT_TRUE(runUntil([&] { return resolver.answered == 4; }, 30000));
    ASSERT_TRUE(runUntil([&] { return client->nConnect > 0 && nowhere.nConnect > 0 && !m_accepted.empty(); }));
    EXPECT_FALSE(resolver.onMainThread);
    // A second's look-up gives about a hundred ticks; a look-up on the main
    // thread none.
    EXPECT_GE(ticksDuringLookUp, 5);
    EXPECT_EQ(client->connectCode, 0);
    sendAll(*client, "after a slow look-up");
    ASSERT_TRUE(runUntil([&] { return m_accepted[0]->data == "after a slow look-up"; }));
    EXPECT_EQ(nowhere.connectCode, WSAEINVAL);
    runFor(200);
    EXPECT_EQ(events(closed), 0);
    EXPECT_EQ(m_accepted.size(), 1u) << "only the socket that lived on connected";
}

TEST_F(AsyncSocketTest, HandlerMayCloseAndDeleteItsOwnSocket)
{
    UINT port = listen();
    auto client = connectTo(port);
    bool gone = false;
    Sock* server = m_accepted.at(0).release();
    server->destroyed = &gone;
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

namespace {

// Whether this machine can listen on the IPv6 loopback address.
bool haveIpv6Loopback()
{
    const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(s);
    return ok;
}

} // namespace

// A socket for any address is reached over IPv4 and over IPv6, and names
// its peers as they connected; a socket bound to an IPv4 address cannot
// reach an IPv6 one and says so.
TEST_F(AsyncSocketTest, AnyAddressTakesBothFamiliesAndNamesPeersPlainly)
{
    if (!haveIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    const UINT port = listen(nullptr);
    const struct {
        const char* host;
        const char* peer; // as the accepting side names it; nullptr: either
    } table[] = {{"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"localhost", nullptr}};
    for (const auto& c : table) {
        SCOPED_TRACE(c.host);
        auto client = std::make_unique<Sock>();
        ASSERT_TRUE(client->Create());
        const std::size_t before = m_accepted.size();
        const bool at = client->Connect(c.host, port);
        ASSERT_TRUE(runUntil([&] { return (at || client->nConnect > 0) && m_accepted.size() > before; }));
        EXPECT_EQ(client->connectCode, at ? -1 : 0);
        std::string peer;
        UINT peerPort = 0;
        ASSERT_TRUE(m_accepted.back()->GetPeerName(peer, peerPort));
        if (c.peer) {
            EXPECT_EQ(peer, c.peer);
        }
        sendAll(*client, "over both");
        ASSERT_TRUE(runUntil([&] { return m_accepted.back()->data == "over both"; }));
    }

    Sock v4only;
    ASSERT_TRUE(v4only.Create(0, SOCK_STREAM, FD_ALL_EVENTS, "127.0.0.1"));
    EXPECT_FALSE(v4only.Connect("::1", port));
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}
