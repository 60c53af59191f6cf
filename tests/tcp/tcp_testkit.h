// Shared set-up for the TCP transport tests: node "A" of party "P" in a
// temporary working directory, its connection model and notices, and a
// scripted peer on a plain non-blocking socket. Waiting always runs the
// event loop, so the model works while the peer waits.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform_qt/qt_app.h"
#include "protocol/frames.h"
#include "protocol/post_error.h"
#include "store/catalog.h"
#include "store/catalog_testkit.h"
#include "store/events.h"
#include "support/tempdir.h"
#include "support/test_settings.h"
#include "tcp/tcp_a2a_model.h"

namespace tcptest {

using Frame = std::vector<BYTE>;

// Runs the event loop until pred holds (pred may have effects: it is not
// asked again once it held).
inline bool pumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
    return true;
}

inline void pumpFor(int ms) { pumpUntil([] { return false; }, ms); }

inline sockaddr_in loopback(int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

// A bound socket on a free loopback port; its port.
inline int boundSocket(int& fd)
{
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return ntohs(sa.sin_port);
}

inline int freePort()
{
    int fd;
    const int port = boundSocket(fd);
    ::close(fd);
    return port;
}

inline ExchangeHeader headerOf(const Frame& f) { return readHeader(f.data()); }
inline bool isKind(const Frame& f, WORD category, WORD command)
{
    return headerOf(f).category == category && headerOf(f).command == command;
}
inline bool isHello(const Frame& f) { return isKind(f, CATEGORY_NODEINFO, COMMAND_NODEINFO); }
inline bool isPoll(const Frame& f) { return isKind(f, CATEGORY_CATALOG, COMMAND_SYNCPOLL); }
inline bool isRecords(const Frame& f) { return isKind(f, CATEGORY_CATALOG, COMMAND_CATALOGRECORDS); }

// The other end of a link, scripted by the test.
class ScriptedPeer {
public:
    ScriptedPeer() = default;
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    ~ScriptedPeer()
    {
        close();
        if (m_listenFd >= 0)
            ::close(m_listenFd);
    }

    // rcvBuf, when given, is the receive buffer's size: a peer that does
    // not read then soon makes the node's sends block.
    bool connectTo(int port, int rcvBuf = 0)
    {
        close();
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (rcvBuf > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        sockaddr_in sa = loopback(port);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS)
            return close(), false;
        int err = -1;
        socklen_t len = sizeof err;
        const bool done = pumpUntil([&] {
            pollfd p{m_fd, POLLOUT, 0};
            return ::poll(&p, 1, 0) == 1;
        });
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (!done || err != 0)
            return close(), false;
        resetLink();
        return true;
    }

    // Listens for the node's outgoing connect; the port.
    int listen()
    {
        const int port = boundSocket(m_listenFd);
        ::listen(m_listenFd, 5);
        return port;
    }

    bool accept()
    {
        int fd = -1;
        pumpUntil([&] { return (fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; });
        if (fd < 0)
            return false;
        close();
        m_fd = fd;
        resetLink();
        return true;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    void sendRaw(const void* data, std::size_t n)
    {
        const char* p = static_cast<const char*>(data);
        while (n > 0 && m_fd >= 0) {
            const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            } else {
                return;
            }
        }
    }

    // Stamps the next sequence number and sends the frame.
    void sendFrame(void* frame)
    {
        m_seq.stamp(frame);
        sendRaw(frame, frameLength(readHeader(frame)));
    }

    void sendHello(const char* name, const char* party = "P")
    {
        NodeInfoFrame f{};
        buildNodeInfoFrame(&f, name, party, 0, SYSTEMTIME{});
        sendFrame(&f);
    }

    void sendPoll()
    {
        SyncPollFrame f{};
        buildSyncPollFrame(&f);
        sendFrame(&f);
    }

    void sendKeepAlives(int n = 1)
    {
        std::vector<KeepAliveFrame> frames(static_cast<std::size_t>(n));
        for (KeepAliveFrame& f : frames) {
            buildKeepAliveFrame(&f);
            m_seq.stamp(&f);
        }
        sendRaw(frames.data(), frames.size() * sizeof(KeepAliveFrame));
    }

    void sendRequest(const CatalogRecord& rec)
    {
        FileRequestFrame f{};
        buildFileRequestFrame(&f, rec);
        sendFrame(&f);
    }

    void sendRequestAt(const CatalogRecord& rec, DWORD offset)
    {
        FileRequestFrame f{};
        buildFileRequestFrame(&f, rec);
        f.header.offset = offset;
        sendFrame(&f);
    }

    // The sequence number the next frame sent will carry.
    DWORD nextSequence() const { return m_seq.tx; }

    void readAvailable()
    {
        char buf[65536];
        while (m_fd >= 0) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0) {
                m_in.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || errno != EAGAIN)
                m_ended = true;
            return;
        }
    }

    // The next whole frame received, if any; checks its sequence number.
    bool takeFrame(Frame& out)
    {
        if (m_in.size() < FRAME_HEADER_LEN || m_in.size() < frameLength(readHeader(m_in.data())))
            return false;
        const DWORD len = frameLength(readHeader(m_in.data()));
        out.assign(m_in.begin(), m_in.begin() + len);
        m_in.erase(0, len);
        EXPECT_EQ(headerOf(out).sequence, m_rxSeq++) << "frames from the node are numbered in order";
        return true;
    }

    // Waits for a frame that pred accepts; the frames before it go to skipped.
    bool waitFrame(const std::function<bool(const Frame&)>& pred, Frame& out, int timeoutMs = 5000)
    {
        return pumpUntil(
            [&] {
                readAvailable();
                Frame f;
                while (takeFrame(f)) {
                    if (pred(f))
                        return out = std::move(f), true;
                    skipped.push_back(std::move(f));
                }
                return false;
            },
            timeoutMs);
    }

    bool waitEnded(int timeoutMs = 5000)
    {
        return pumpUntil([&] { return readAvailable(), m_ended; }, timeoutMs);
    }

    std::vector<Frame> skipped;

private:
    void resetLink()
    {
        m_seq = FrameSequencer{};
        m_rxSeq = 0;
        m_in.clear();
        m_ended = false;
        skipped.clear();
    }

    int m_fd = -1;
    int m_listenFd = -1;
    FrameSequencer m_seq;
    DWORD m_rxSeq = 0;
    std::string m_in;
    bool m_ended = false;
};

class CountingListener : public CA2AModelListener {
public:
    int changes = 0;
    void onConnectionsChanged() override { ++changes; }
};

// Node "A" of party "P" listening, with a "TCP" row for B.
class TcpNodeTest : public ::testing::Test {
protected:
    testsupport::QtApp app;
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    std::vector<PostedNotice> notices;
    CountingListener listener;
    CTcpA2AModel* model = nullptr;
    ScriptedPeer peer;
    int port = 0;

    void SetUp() override
    {
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "A";
        settings->partyName = "P";
        settings->listenPort = port = freePort();
        CPostError::getInstance()->setTarget([this](const PostedNotice& n) { notices.push_back(n); });
        model = CTcpA2AModel::getInstance();
        model->addListener(&listener);
        addTcpRow("B");
    }

    void TearDown() override
    {
        CTcpA2AModel::releaseInstance();
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
        CPostError::destroyInstance();
        pumpFor(20);
    }

    void addTcpRow(const char* name, int peerPort = 0)
    {
        std::string target = "127.0.0.1";
        if (peerPort > 0)
            target += "/" + std::to_string(peerPort);
        settings->addRow(name, "TCP", target.c_str());
    }

    CTcpSockStream* established(const char* name)
    {
        for (CTcpSockStream* s : model->established())
            if (s->getNodeName() == name)
                return s;
        return nullptr;
    }

    bool identify(ScriptedPeer& p, const char* name)
    {
        if (!p.connectTo(port))
            return false;
        p.sendHello(name);
        return pumpUntil([&] { return established(name) != nullptr; });
    }

    int noticeCount(unsigned wParam, long lParam = 0) const
    {
        int n = 0;
        for (const PostedNotice& p : notices)
            n += p.wParam == wParam && p.lParam == lParam;
        return n;
    }

    // An entry of the node's own, queued to every neighbour.
    static CatalogRecord registerOwn(const char* name)
    {
        CatalogRecord rec = catalogtest::makeRec("A", name, 5, CATALOG_STATE_NEW, "P");
        CCatalog::getInstance()->addRec(&rec);
        return rec;
    }
};

} // namespace tcptest
