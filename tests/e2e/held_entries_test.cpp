// A neighbour gets every queued entry whichever side is killed while it
// drains the queue. N2 reaches N1 only through a relay in this process,
// which passes the frames both ways and can hold back N1's answers: it lets
// a few answers through and holds the next one, whose entries N1 has just
// taken for N2. Then one node is killed (-9) and started again, and N2 must
// end with every entry of N1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_fixture.h"
#include "protocol/frames.h"

namespace e2e {
namespace {

// The relay: one link at a time from the listening side to the node at
// `upstreamPort`. The node's byte stream is cut into frames: `pass` answers
// with records go through, the next one is held with every frame after it
// until the link ends (either side closing closes the other), and later
// links pass everything.
class HoldingRelay {
public:
    HoldingRelay(int upstreamPort, int pass) : m_upstreamPort(upstreamPort), m_pass(pass)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = testsupport::loopback(0);
        socklen_t len = sizeof sa;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(m_listen, 4) == 0
            && ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
            m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~HoldingRelay()
    {
        m_stop = true;
        m_thread.join();
        closeLink();
        ::close(m_listen);
    }
    HoldingRelay(const HoldingRelay&) = delete;
    HoldingRelay& operator=(const HoldingRelay&) = delete;

    int port() const { return m_port; }
    bool holding() const { return m_holding; }

private:
    static bool sendAll(int fd, const BYTE* p, std::size_t n)
    {
        return ::send(fd, p, n, MSG_NOSIGNAL) == ssize_t(n); // blocking: all or a failure
    }

    void closeLink()
    {
        for (int* fd : {&m_down, &m_up}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        m_fromUp.clear();
        m_holding = false;
    }

    void accept()
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 || m_down >= 0) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        m_down = fd;
        m_up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = testsupport::loopback(m_upstreamPort);
        if (::connect(m_up, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            closeLink();
    }

    bool passFromUpstream()
    {
        while (m_fromUp.size() >= FRAME_HEADER_LEN) {
            const ExchangeHeader h = readHeader(m_fromUp.data());
            const std::size_t len = frameLength(h);
            if (len < FRAME_HEADER_LEN || m_fromUp.size() < len)
                return true;
            if (h.category == CATEGORY_CATALOG && h.command == COMMAND_CATALOGRECORDS && h.count > 0 && m_pass >= 0)
                m_holding = m_pass-- == 0; // from now on until the link ends
            if (!m_holding && !sendAll(m_down, m_fromUp.data(), len))
                return false;
            m_fromUp.erase(m_fromUp.begin(), m_fromUp.begin() + std::ptrdiff_t(len));
        }
        return true;
    }

    void run()
    {
        BYTE buf[65536];
        while (!m_stop) {
            pollfd p[3] = {{m_listen, POLLIN, 0}, {m_down, POLLIN, 0}, {m_up, POLLIN, 0}};
            if (::poll(p, 3, 50) <= 0)
                continue;
            if (p[0].revents & POLLIN)
                accept();
            bool ok = true;
            if (m_down >= 0 && p[1].revents) {
                const ssize_t n = ::recv(m_down, buf, sizeof buf, 0);
                ok = n > 0 && sendAll(m_up, buf, std::size_t(n));
            }
            if (ok && m_up >= 0 && p[2].revents) {
                const ssize_t n = ::recv(m_up, buf, sizeof buf, 0);
                ok = n > 0;
                if (ok)
                    m_fromUp.insert(m_fromUp.end(), buf, buf + n);
                ok = ok && passFromUpstream();
            }
            if (!ok)
                closeLink();
        }
    }

    int m_upstreamPort;
    int m_listen = -1;
    int m_port = 0;
    int m_down = -1; // the node that linked in (N2)
    int m_up = -1;   // the node it reaches (N1)
    std::vector<BYTE> m_fromUp;
    int m_pass;
    std::atomic<bool> m_holding {false};
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

class HeldEntriesTest : public NodesTest, public testing::WithParamInterface<const char*> {
protected:
    static constexpr int kFiles = 300;

    static std::string name(int i)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "held%03d.txt", i);
        return buf;
    }

    // The files of N1 that a catalog has no live entry of, by name.
    static std::string missing(const std::vector<CatalogEntry>& cat)
    {
        std::string out;
        int n = 0;
        for (int i = 0; i < kFiles; ++i) {
            const CatalogEntry* e = findEntry(cat, "N1", name(i));
            if ((!e || e->state != 1) && ++n <= 20)
                out += (out.empty() ? "" : " ") + name(i);
        }
        return n > 20 ? out + " ... (" + std::to_string(n) + " in all)" : out;
    }

    // N1 holds kFiles registered files, queued for N2, which reaches N1
    // only through the relay (N1's row for N2 names a port nobody listens
    // on). Returns once the relay holds an answer, after `pass` answers.
    bool drainUntilHeld(Node& n1, Node& n2, int pass)
    {
        n1.addRow("N2", "127.0.0.1/" + std::to_string(freePort()));
        if (!startNodes({&n1}))
            return false;
        for (int i = 0; i < kFiles; ++i)
            n1.putFile(name(i), pattern(20 + std::size_t(i), unsigned(i)));
        if (!waitFor("the files registered at N1", [&] { return missing(n1.catalog()).empty(); }, 120s))
            return false;
        relay = std::make_unique<HoldingRelay>(n1.port(), pass);
        n2.addRow("N1", "127.0.0.1/" + std::to_string(relay->port()));
        if (!startNodes({&n2}))
            return false;
        return waitFor("an answer held after " + std::to_string(pass), [&] { return relay->holding(); }, 120s);
    }

    std::unique_ptr<HoldingRelay> relay;
};

// The held answer's entries are taken at N1 and not at N2: N1 dies before
// the answer leaves, or N2 before it arrives (N1 then sees the link close).
TEST_P(HeldEntriesTest, ANodeKilledWhileItsNeighbourDrainsTheQueueLeavesTheNeighbourEveryEntry)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    ASSERT_TRUE(drainUntilHeld(n1, n2, 5));
    Node& killed = GetParam() == std::string("N1") ? n1 : n2;
    killed.kill();
    ASSERT_TRUE(startNodes({&killed}));
    const bool all = waitFor("every entry at N2", [&] { return missing(n2.catalog()).empty(); }, 150s);
    EXPECT_TRUE(all) << "N2 lacks: " << missing(n2.catalog());
}

INSTANTIATE_TEST_SUITE_P(SenderOrReceiver, HeldEntriesTest, testing::Values("N1", "N2"));

} // namespace
} // namespace e2e
