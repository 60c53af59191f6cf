// A scripted neighbour for end-to-end runs: one TCP connection to a real
// node process, speaking the node frames byte for byte (the frame builders
// and sequence counters of the protocol layer), with every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "protocol/frames.h"

namespace e2e {

class WirePeer {
public:
    using Frame = std::vector<BYTE>;

    WirePeer() = default;
    WirePeer(const WirePeer&) = delete;
    WirePeer& operator=(const WirePeer&) = delete;
    ~WirePeer() { close(); }

    bool connectTo(int port)
    {
        close();
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close();
            return false;
        }
        m_seq = FrameSequencer {};
        m_rxSeq = 0;
        m_in.clear();
        m_ended = false;
        return true;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Stamps the next sequence number and sends the frame whole.
    bool send(void* frame)
    {
        m_seq.stamp(frame);
        return sendRaw(frame, frameLength(readHeader(frame)));
    }

    bool sendRaw(const void* data, std::size_t n)
    {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }

    bool sendHello(const char* name, const char* party, int syncMode = 0)
    {
        NodeInfoFrame f {};
        buildNodeInfoFrame(&f, name, party, syncMode, SYSTEMTIME {});
        return send(&f);
    }

    bool sendPoll()
    {
        SyncPollFrame f {};
        buildSyncPollFrame(&f);
        return send(&f);
    }

    // A records frame as an answer to a poll carries them.
    bool sendRecords(const std::vector<CatalogRecord>& recs)
    {
        CatalogRecordsFrame f {};
        SyncPollFrame poll {};
        buildSyncPollFrame(&poll);
        buildCatalogRecordsFrame(&f, poll, recs.data(), DWORD(recs.size()));
        return send(&f);
    }

    bool sendRequest(const CatalogRecord& rec, DWORD offset)
    {
        FileRequestFrame f {};
        buildFileRequestFrame(&f, rec);
        f.header.offset = offset;
        return send(&f);
    }

    // Waits for a frame that pred accepts (earlier ones are dropped); false
    // when the link ended or the time ran out first.
    bool waitFrame(const std::function<bool(const Frame&)>& pred, Frame& out,
                   std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            Frame f;
            while (take(f))
                if (pred(f))
                    return out = std::move(f), true;
            if (m_ended || std::chrono::steady_clock::now() >= end)
                return false;
            readSome(end);
        }
    }

    // Waits until the node closes the link.
    bool waitEnded(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!m_ended && std::chrono::steady_clock::now() < end)
            readSome(end);
        return m_ended;
    }

    static ExchangeHeader header(const Frame& f) { return readHeader(f.data()); }
    static bool is(const Frame& f, WORD category, WORD command)
    {
        return header(f).category == category && header(f).command == command;
    }
    static bool isHello(const Frame& f) { return is(f, CATEGORY_NODEINFO, COMMAND_NODEINFO); }
    static bool isRecords(const Frame& f) { return is(f, CATEGORY_CATALOG, COMMAND_CATALOGRECORDS); }
    static bool isChunk(const Frame& f) { return is(f, CATEGORY_FILE, COMMAND_FILECHUNK); }
    static CatalogRecord record(const Frame& f, std::size_t i = 0)
    {
        CatalogRecord r;
        std::memcpy(&r, f.data() + FRAME_HEADER_LEN + i * sizeof r, sizeof r);
        return r;
    }

    // Frames whose sequence number was not the next one the node owed.
    int outOfSequence = 0;

private:
    bool take(Frame& out)
    {
        if (m_in.size() < FRAME_HEADER_LEN)
            return false;
        const DWORD len = frameLength(readHeader(m_in.data()));
        if (len < FRAME_HEADER_LEN || m_in.size() < len)
            return false;
        out.assign(m_in.begin(), m_in.begin() + len);
        m_in.erase(m_in.begin(), m_in.begin() + len);
        outOfSequence += header(out).sequence != m_rxSeq++;
        return true;
    }

    void readSome(std::chrono::steady_clock::time_point end)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 200)))) <= 0)
            return;
        BYTE buf[65536];
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n > 0)
            m_in.insert(m_in.end(), buf, buf + n);
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            m_ended = true;
    }

    int m_fd = -1;
    FrameSequencer m_seq;
    DWORD m_rxSeq = 0;
    std::vector<BYTE> m_in;
    bool m_ended = false;
};

} // namespace e2e
