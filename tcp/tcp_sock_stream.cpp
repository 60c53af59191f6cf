#include "tcp/tcp_sock_stream.h"

#include <cstdio>

#include "platform/cp932.h"
#include "protocol/post_error.h"
#include "store/settings.h"

unsigned CTcpSockStream::s_helloTicks = CTcpSockStream::HELLO_TICKS;

namespace {

bool isOwnParty(const NodeInfoFrame* hello)
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const char* own = settings ? settings->getPartyName() : "";
    return cp932::fieldText(hello->partyName, sizeof hello->partyName) == std::string_view(own ? own : "");
}

} // namespace

CTcpSockStream::CTcpSockStream()
    : m_sbuf(new BYTE[ZQ_QUE::SLOT_SIZE]()), m_frame(new BYTE[ZQ_QUE::SLOT_SIZE]())
{
}

CTcpSockStream::~CTcpSockStream() = default;

void CTcpSockStream::report(int err)
{
    if (m_pParent)
        m_pParent->notifyOnError(m_id, err);
}

// --- Receiving -------------------------------------------------------------

void CTcpSockStream::OnReceive(int nErrorCode)
{
    if (isClosed())
        return;
    if (nErrorCode != 0) {
        report(nErrorCode);
        return;
    }
    if (m_reasm.receiveRoom() == 0) {
        // Only while whole frames wait for room in the receive queue.
        m_receivePaused = true;
        pauseReceive();
        return;
    }
    const int n = Receive(m_reasm.receiveSpace(), static_cast<int>(m_reasm.receiveRoom()));
    if (n > 0) {
        m_reasm.received(static_cast<std::size_t>(n));
        markActivity();
        m_exchange.arrived();
        cutFrames();
        return;
    }
    int error = WSAGetLastError();
    if (n == SOCKET_ERROR && error == WSAEWOULDBLOCK)
        return;
    // n == 0: the peer has closed the connection.
    report(error);
}

bool CTcpSockStream::cutFrames()
{
    for (;;) {
        if (m_recvQue.freeCount() == 0) {
            // No slot free: leave the bytes in the buffer and stop reading,
            // so the peer waits instead of losing frames.
            if (!m_receivePaused) {
                m_receivePaused = true;
                pauseReceive();
            }
            return true;
        }
        const BYTE* frame = nullptr;
        std::size_t length = 0;
        switch (m_reasm.peek(&frame, &length)) {
        case CFrameReassembler::Cut::NeedMore:
            return true;
        case CFrameReassembler::Cut::Error:
            failLink(POSTERROR_FRAME_ERROR);
            return false;
        case CFrameReassembler::Cut::Frame:
            m_recvQue.enqueue(frame, static_cast<unsigned>(length));
            m_reasm.pop();
            postDispatch();
            break;
        }
    }
}

void CTcpSockStream::postDispatch()
{
    if (m_dispatchPosted)
        return;
    m_dispatchPosted = true;
    m_calls.post([this] {
        m_dispatchPosted = false;
        notifyOnMessage();
    });
}

void CTcpSockStream::notifyOnMessage()
{
    while (!isClosed() && m_recvQue.dequeue(m_frame.get())) {
        m_partyFailed = 0;
        const int r = dispatchFrame(m_frame.get());
        if (isClosed())
            return; // refused or dropped by the model while identifying
        if (r == 0) {
            failLink(m_partyFailed == 1 ? POSTERROR_PARTY_MISMATCH : POSTERROR_FRAME_ERROR);
            return;
        }
    }
    if (isClosed() || !cutFrames())
        return;
    if (m_receivePaused && m_recvQue.freeCount() > 0) {
        m_receivePaused = false;
        resumeReceive();
    }
    // What the frames brought (an answer, the next poll or request) goes at
    // once when this tick's frame has not gone yet: a poll chain or a fetch
    // then moves one step per tick whatever the phase between the two
    // nodes' ticks, instead of one per two ticks when they nearly coincide.
    if (!m_tickFrameGone && (m_state == STATE_CONNECTED || m_state == STATE_IDENTIFIED))
        sendNextFrame();
}

void CTcpSockStream::failLink(unsigned noticeCode)
{
    CPostError::getInstance()->postError(noticeCode, "");
    report(0);
}

int CTcpSockStream::dispatchFrame(BYTE* frame)
{
    const ExchangeHeader h = readHeader(frame);
    const FrameKind kind = checkFrame(frame, frameLength(h), CHUNK_LIMIT_TCP);
    if (kind == FrameKind::Bad)
        return 0;
    if (!m_seq.accept(frame))
        return 0;
    if (m_state == STATE_CONNECTED)
        return dispatchUnidentified(kind, frame);

    switch (kind) {
    case FrameKind::NodeInfo: {
        int party = 0;
        m_exchange.onNodeInfo(reinterpret_cast<const NodeInfoFrame*>(frame), 1, m_strAddress.c_str(), &party,
                              m_strNodeName.c_str());
        if (party != 1) {
            m_partyFailed = 1;
            return 0;
        }
        return 1;
    }
    case FrameKind::SyncPoll:
        m_exchange.replyCatalog(m_strNodeName.c_str(), reinterpret_cast<const SyncPollFrame*>(frame));
        return 1;
    case FrameKind::CatalogRecords:
        m_exchange.onCatalogRecords(reinterpret_cast<const CatalogRecordsFrame*>(frame), m_strNodeName.c_str());
        return 1;
    case FrameKind::FileRequest:
        m_exchange.sendChunk(reinterpret_cast<const FileRequestFrame*>(frame), tcpChunkLimit(h.version));
        return 1;
    case FrameKind::FileChunk:
        m_exchange.onChunk(reinterpret_cast<FileChunkFrame*>(frame));
        return 1;
    case FrameKind::KeepAlive:
    case FrameKind::Other:
    case FrameKind::Bad:
        break;
    }
    return 1;
}

// Before its peer is identified a link is not served: only the hello is
// acted on, every other frame just counts for the sequence.
int CTcpSockStream::dispatchUnidentified(FrameKind kind, BYTE* frame)
{
    if (kind != FrameKind::NodeInfo)
        return 1;
    const auto* hello = reinterpret_cast<const NodeInfoFrame*>(frame);
    if (!isOwnParty(hello)) {
        m_partyFailed = 1;
        return 0;
    }
    if (m_pParent)
        m_pParent->notifyOnIdentify(m_id, std::string(cp932::fieldText(hello->nodeName, sizeof hello->nodeName)));
    if (isClosed() || m_state != STATE_IDENTIFIED)
        return 1;
    // The identifying hello is a hello like any other: its sync request
    // counts, for the name the link now bears.
    int party = 0;
    m_exchange.onNodeInfo(hello, 1, m_strAddress.c_str(), &party, m_strNodeName.c_str());
    // A neighbour owed a request for its whole catalog has it in a hello
    // at the next tick, not 20 s later.
    if (m_exchange.owesWholeSync(m_strNodeName))
        m_tick = s_helloTicks;
    return 1;
}

// --- Sending ---------------------------------------------------------------

bool CTcpSockStream::sendNextFrame()
{
    while (m_slen == 0 && m_exchange.sendQueue().dequeue(m_sbuf.get())) {
        const DWORD length = frameLength(readHeader(m_sbuf.get()));
        if (length < FRAME_HEADER_LEN || length > ZQ_QUE::SLOT_SIZE)
            continue; // not a frame the engine builds; never sent
        m_seq.stamp(m_sbuf.get());
        m_soff = 0;
        m_slen = length;
        m_tickFrameGone = true;
        return flushSendBuffer();
    }
    return true;
}

bool CTcpSockStream::flushSendBuffer()
{
    while (m_slen > 0) {
        const int n = Send(m_sbuf.get() + m_soff, static_cast<int>(m_slen));
        if (n == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK)
                return true; // the rest goes from OnSend
            report(error);
            return false;
        }
        m_soff += static_cast<DWORD>(n);
        m_slen -= static_cast<DWORD>(n);
    }
    return true;
}

void CTcpSockStream::OnSend(int nErrorCode)
{
    if (isClosed())
        return;
    if (nErrorCode != 0) {
        report(nErrorCode);
        return;
    }
    if (!flushSendBuffer())
        return;
    sendNextFrame();
}

void CTcpSockStream::onTick()
{
    if (m_state != STATE_CONNECTED && m_state != STATE_IDENTIFIED)
        return;
    m_tickFrameGone = false;
    if (m_state == STATE_IDENTIFIED)
        m_exchange.onTick(); // a poll that waited for the disk
    if (!sendNextFrame())
        return;
    if (m_tick < s_helloTicks) {
        ++m_tick;
        return;
    }
    if (m_exchange.sendQueue().freeCount() < HELLO_MIN_FREE)
        return;
    // Only an identified link knows which neighbour its hello reaches.
    m_exchange.sendHello(m_state == STATE_IDENTIFIED ? m_strNodeName : std::string(), m_sync);
    m_tick = 0;
    if (m_state == STATE_IDENTIFIED && !m_exchange.sendPeriodicPoll() && m_pParent) {
        // Stuck: closed, so that both sides release what is in flight; the
        // row links again.
        std::printf("Error:CTcpSockStream: node %s answered none of two polls; the link is closed and made again\n",
                    m_strNodeName.c_str());
        m_pParent->notifyOnClose(m_id);
    }
}

// --- Other socket events -----------------------------------------------------

void CTcpSockStream::OnAccept(int nErrorCode)
{
    if (nErrorCode == 0 && m_pParent)
        m_pParent->notifyOnAccept(m_id);
}

void CTcpSockStream::OnConnect(int nErrorCode)
{
    if (isClosed())
        return;
    if (nErrorCode != 0)
        report(nErrorCode);
    else if (m_pParent)
        m_pParent->notifyOnConnect(m_id);
}

void CTcpSockStream::OnClose(int nErrorCode)
{
    if (isClosed())
        return;
    if (nErrorCode != 0)
        report(nErrorCode);
    else if (m_pParent)
        m_pParent->notifyOnClose(m_id);
}

// --- Closing -----------------------------------------------------------------

void CTcpSockStream::closeLink()
{
    m_state = STATE_CLOSED;
    ShutDown(SD_BOTH);
    Close();
}
