// Shared set-up for the TCP transport tests: node "A" of party "P" in a
// temporary working directory with its settings, the connection model, the
// notices it posts, and a scripted peer on a plain non-blocking socket that
// builds and reads frames with the frames module. Waiting always runs the
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

#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/qt/async_socket.h"
#include "platform_qt/qt_app.h"
#include "protocol/frames.h"
#include "protocol/post_error.h"
#include "store/catalog.h"
#include "store/catalog_testkit.h"
#include "store/events.h"
#include "store/switches.h"
#include "support/tempdir.h"
#include "support/test_settings.h"
#include "tcp/tcp_a2a_model.h"

namespace tcptest {

using Frame = std::vector<BYTE>;

// Runs the event loop until pred holds or the time is up; the result of pred.
inline bool pumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
    return true;
}

inline void pumpFor(int ms)
{
    pumpUntil([] { return false; }, ms);
}

// A port on 127.0.0.1 that nothing listens on right now.
inline int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(s);
    return ntohs(sa.sin_port);
}

inline ExchangeHeader headerOf(const Frame& f)
{
    return readHeader(f.data());
}

inline bool isKind(const Frame& f, WORD category, WORD command)
{
    const ExchangeHeader h = headerOf(f);
    return h.category == category && h.command == command;
}

inline bool isHello(const Frame& f) { return isKind(f, CATEGORY_NODEINFO, COMMAND_NODEINFO); }
inline bool isPoll(const Frame& f) { return isKind(f, CATEGORY_CATALOG, COMMAND_SYNCPOLL); }
inline bool isRecords(const Frame& f) { return isKind(f, CATEGORY_CATALOG, COMMAND_CATALOGRECORDS); }
inline bool isRequest(const Frame& f) { return isKind(f, CATEGORY_FILE, COMMAND_FILEREQUEST); }
inline bool isChunk(const Frame& f) { return isKind(f, CATEGORY_FILE, COMMAND_FILECHUNK); }

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

    // Connects to the node on 127.0.0.1:port; rcvBuf > 0 makes the receive
    // buffer that small first.
    bool connectTo(int port, int rcvBuf = 0)
    {
        close();
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvBuf > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        setNonBlocking(m_fd);
        sockaddr_in sa = loopback(port);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
            close();
            return false;
        }
        // The node accepts from the event loop: keep it running meanwhile.
        const bool done = pumpUntil([&] {
            pollfd p{m_fd, POLLOUT, 0};
            return ::poll(&p, 1, 0) == 1;
        });
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (!done || err != 0) {
            close();
            return false;
        }
        resetLink();
        return true;
    }

    // Listens on a free port for the node's outgoing connect; the port.
    int listen()
    {
        m_listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa = loopback(0);
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(m_listenFd, 5);
        setNonBlocking(m_listenFd);
        socklen_t len = sizeof sa;
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
        return ntohs(sa.sin_port);
    }

    // Takes the node's connection from the listening socket.
    bool accept(int timeoutMs = 5000)
    {
        int fd = -1;
        pumpUntil(
            [&] {
                fd = ::accept(m_listenFd, nullptr, nullptr);
                return fd >= 0;
            },
            timeoutMs);
        if (fd < 0)
            return false;
        close();
        m_fd = fd;
        setNonBlocking(m_fd);
        resetLink();
        return true;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Ends the connection with a reset instead of an orderly close.
    void reset()
    {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }

    // --- Sending. ---

    void sendRaw(const void* data, std::size_t n)
    {
        const char* p = static_cast<const char*>(data);
        while (n > 0 && m_fd >= 0) {
            const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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

    void sendHello(const char* name, const char* party = "P", int syncMode = 0, SYSTEMTIME since = {})
    {
        NodeInfoFrame f{};
        buildNodeInfoFrame(&f, name, party, syncMode, since);
        sendFrame(&f);
    }

    void sendPoll()
    {
        SyncPollFrame f{};
        buildSyncPollFrame(&f);
        sendFrame(&f);
    }

    void sendKeepAlive() { sendKeepAlives(1); }

    // n keep-alives sent in one go.
    void sendKeepAlives(int n)
    {
        std::vector<KeepAliveFrame> frames(static_cast<std::size_t>(n));
        for (KeepAliveFrame& f : frames) {
            buildKeepAliveFrame(&f);
            m_seq.stamp(&f);
        }
        sendRaw(frames.data(), frames.size() * sizeof(KeepAliveFrame));
    }

    // The answer to a poll of the node, with these records.
    void sendRecords(const Frame& poll, const std::vector<CatalogRecord>& recs)
    {
        auto f = std::make_unique<CatalogRecordsFrame>();
        std::memset(f.get(), 0, sizeof *f);
        SyncPollFrame p{};
        std::memcpy(&p, poll.data(), sizeof p);
        buildCatalogRecordsFrame(f.get(), p, recs.data(), static_cast<DWORD>(recs.size()));
        sendFrame(f.get());
    }

    void sendRequest(const CatalogRecord& rec, DWORD offset, WORD version = FRAME_VERSION)
    {
        FileRequestFrame f{};
        CatalogRecord r = rec;
        r.heldBytes = offset;
        buildFileRequestFrame(&f, r);
        f.header.offset = offset;
        f.header.version = version;
        sendFrame(&f);
    }

    // The answer to a request of the node: bytes [offset, offset + n) of data.
    void sendChunk(const Frame& request, const std::string& data)
    {
        auto f = std::make_unique<FileChunkFrame>();
        std::memset(f.get(), 0, sizeof *f);
        FileRequestFrame r{};
        std::memcpy(&r, request.data(), sizeof r);
        beginFileChunkFrame(f.get(), r);
        const DWORD offset = r.header.offset;
        DWORD n = 0;
        if (offset < data.size())
            n = static_cast<DWORD>(std::min<std::size_t>(CHUNK_LIMIT_TCP, data.size() - offset));
        std::memcpy(f->data, data.data() + offset, n);
        finishFileChunkFrame(f.get(), n);
        sendFrame(f.get());
    }

    // --- Receiving. ---

    // Reads what has arrived; notes the end of the connection.
    void readAvailable()
    {
        if (m_fd < 0)
            return;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n > 0) {
                m_in.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                m_ended = true;
            return;
        }
    }

    // The next whole frame received, if any; checks its sequence number.
    bool takeFrame(Frame& out)
    {
        if (m_in.size() < FRAME_HEADER_LEN)
            return false;
        const DWORD len = frameLength(readHeader(m_in.data()));
        if (m_in.size() < len)
            return false;
        out.assign(m_in.begin(), m_in.begin() + len);
        m_in.erase(0, len);
        EXPECT_EQ(headerOf(out).sequence, m_rxSeq) << "frames from the node are numbered in order";
        ++m_rxSeq;
        return true;
    }

    // Waits for a frame that pred accepts; the frames before it are kept in
    // `skipped`.
    bool waitFrame(const std::function<bool(const Frame&)>& pred, Frame& out, int timeoutMs = 5000)
    {
        return pumpUntil(
            [&] {
                readAvailable();
                Frame f;
                while (takeFrame(f)) {
                    if (pred(f)) {
                        out = std::move(f);
                        return true;
                    }
                    skipped.push_back(std::move(f));
                }
                return false;
            },
            timeoutMs);
    }

    // Waits until the node has closed the connection.
    bool waitEnded(int timeoutMs = 5000)
    {
        return pumpUntil(
            [&] {
                readAvailable();
                return m_ended;
            },
            timeoutMs);
    }

    bool ended() const { return m_ended; }
    std::vector<Frame> skipped;

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        return sa;
    }

    static void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

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

inline std::string helloName(const Frame& f)
{
    const auto* h = reinterpret_cast<const NodeInfoFrame*>(f.data());
    return std::string(cp932::fieldText(h->nodeName, sizeof h->nodeName));
}

inline std::string helloParty(const Frame& f)
{
    const auto* h = reinterpret_cast<const NodeInfoFrame*>(f.data());
    return std::string(cp932::fieldText(h->partyName, sizeof h->partyName));
}

// A record of a file registered on another node, as that node sends it.
inline CatalogRecord peerRecord(const char* origin, const char* file, DWORD size)
{
    return catalogtest::makeRec(origin, file, size, CATALOG_STATE_NEW, "P");
}

// Deterministic file content.
inline std::string pattern(std::size_t n, unsigned seed = 7)
{
    std::string s(n, '\0');
    unsigned x = seed;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// Node "A" of party "P" with its model; the test adds rows and peers.
class TcpNodeTest : public ::testing::Test {
protected:
    testsupport::QtApp app;
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ScopedChdir> cd;
    std::unique_ptr<testsupport::TestSettings> settings;
    std::vector<PostedNotice> notices;
    CountingListener listener;
    CTcpA2AModel* model = nullptr;
    int port = 0;

    void SetUp() override
    {
        cd = std::make_unique<testsupport::ScopedChdir>(dir.path());
        settings = std::make_unique<testsupport::TestSettings>();
        settings->nodeName = "A";
        settings->partyName = "P";
        port = freePort();
        settings->listenPort = port;
        CPostError::getInstance()->setTarget([this](const PostedNotice& n) { notices.push_back(n); });
        model = CTcpA2AModel::getInstance();
        model->addListener(&listener);
    }

    void TearDown() override
    {
        CTcpA2AModel::releaseInstance();
        CCatalog::releaseInstance();
        ZQ_EVENTCATALOG::destroyInstance();
        CPostError::destroyInstance();
        pumpFor(20);
    }

    // A "TCP" row for a peer listening on peerPort (or the default port).
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

    // Connects a peer to the node and makes it known as `name`.
    bool identify(ScriptedPeer& peer, const char* name)
    {
        if (!peer.connectTo(port))
            return false;
        peer.sendHello(name);
        return pumpUntil([&] { return established(name) != nullptr; });
    }

    int noticeCount(unsigned wParam, long lParam = 0) const
    {
        int n = 0;
        for (const PostedNotice& p : notices)
            n += p.wParam == wParam && p.lParam == lParam;
        return n;
    }

    std::string sendDir() const { return dir.path() + "/SEND"; }
    std::string recvDir() const { return dir.path() + "/RECV"; }

    // Registers a file of the node's own, as the SEND scan would.
    CatalogRecord registerOwnFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(sendDir() + "/" + name, content);
        WIN32_FIND_DATAA fd;
        EXPECT_TRUE(platform::findFileData(sendDir() + "/" + name, &fd));
        CatalogRecord rec;
        CCatalog::makeNewRec(&fd, &rec);
        CCatalog::getInstance()->addRec(&rec);
        CatalogRecord stored;
        EXPECT_TRUE(CCatalog::getInstance()->findRec(name, "A", &stored));
        return stored;
    }
};

// The node listening, with a "TCP" row for B and the peer that plays B.
class ListeningNodeTest : public TcpNodeTest {
protected:
    ScriptedPeer peer;

    void SetUp() override
    {
        TcpNodeTest::SetUp();
        addTcpRow("B");
        ASSERT_EQ(model->startListen(), 1);
    }
};

} // namespace tcptest
