#include "skype/skype_stream.h"

#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "protocol/frame_check.h"
#include "skype/a2a_model.h"
#include "skype/skype_com.h"
#include "store/helpers.h"
#include "store/settings.h"

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strict hex: every character a digit and an even number of them, else
// nothing is decoded. Returns the bytes written, 0 when none.
std::size_t decodeHex(const char* hex, BYTE* out, std::size_t outSize)
{
    const std::size_t n = std::strlen(hex);
    if (n == 0 || n % 2 != 0 || n / 2 > outSize)
        return 0;
    for (std::size_t k = 0; k < n; k += 2) {
        const int hi = hexDigit(hex[k]);
        const int lo = hexDigit(hex[k + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        out[k / 2] = static_cast<BYTE>(hi * 16 + lo);
    }
    return n / 2;
}

} // namespace

ZQ_SKYPESTREAM::ZQ_SKYPESTREAM(const char* user, int streamId, const char* appName, const std::string& peerNode)
    : m_rxFrame(new BYTE[RX_FRAME_SIZE]()),
      m_txFrame(new BYTE[ZQ_QUE::SLOT_SIZE]()),
      m_user(user ? std::string(user).substr(0, 99) : std::string()),
      m_streamId(streamId),
      m_appName(appName ? std::string(appName).substr(0, 99) : std::string()),
      m_peerNode(peerNode)
{
}

ZQ_SKYPESTREAM::~ZQ_SKYPESTREAM() = default;

std::string ZQ_SKYPESTREAM::key() const
{
    return m_user + ":" + std::to_string(m_streamId);
}

// --- Sending ---------------------------------------------------------------

bool ZQ_SKYPESTREAM::fitsCommand(std::size_t hexLength) const
{
    return hexLength + m_appName.size() + m_user.size() + 37 < MAX_COMMAND;
}

void ZQ_SKYPESTREAM::sendFrame(int length, BYTE* frame)
{
    // Checked before a sequence number is spent: a frame that cannot go
    // must not make the neighbour's next sequence check fail.
    if (length <= 0 || !fitsCommand(2 * static_cast<std::size_t>(length))) {
        std::printf("●●ERROR　ZQ_SKYPESTREAM::sendFrame() a frame of %d bytes does not fit one command; dropped\n",
                    length);
        return;
    }
    m_seq.stamp(frame);
    m_txHex.resize(2 * static_cast<std::size_t>(length) + 1);
    bytesToHex(length, frame, m_txHex.data());
    m_txHex.resize(2 * static_cast<std::size_t>(length));
    write(m_txHex.c_str());
}

void ZQ_SKYPESTREAM::write(const char* hex)
{
    if (!fitsCommand(std::strlen(hex)))
        return;
    m_command = "ALTER APPLICATION " + m_appName + " WRITE " + key() + " " + hex;
    ZQ_SKYPECOM::getInstance()->send(m_command.c_str());
    m_readyToSend = 0;
}

void ZQ_SKYPESTREAM::sendKeepAlive()
{
    KeepAliveFrame f{};
    const DWORD n = buildKeepAliveFrame(&f);
    sendFrame(static_cast<int>(n), reinterpret_cast<BYTE*>(&f));
}

void ZQ_SKYPESTREAM::disconnect()
{
    m_command = "ALTER APPLICATION " + m_appName + " DISCONNECT " + key();
    ZQ_SKYPECOM::getInstance()->send(m_command.c_str());
}

void ZQ_SKYPESTREAM::onTimer()
{
    if (m_refused)
        return; // the stream is closing
    m_exchange.onTick(); // a poll that waited for the disk
    if (m_readyToSend == 0)
        return; // a frame is under way
    if (m_exchange.sendQueue().dequeue(m_txFrame.get())) {
        const DWORD length = frameLength(readHeader(m_txFrame.get()));
        if (length >= FRAME_HEADER_LEN && length <= ZQ_QUE::SLOT_SIZE)
            sendFrame(static_cast<int>(length), m_txFrame.get());
        m_idleTicks = 0;
    } else {
        if (m_idleTicks < KEEPALIVE_TICKS) {
            ++m_idleTicks;
        } else {
            sendKeepAlive();
            m_idleTicks = 0;
        }
    }

    if (m_exchangeTicks < EXCHANGE_TICKS) {
        ++m_exchangeTicks;
        return;
    }
    if (m_exchange.sendQueue().freeCount() < EXCHANGE_MIN_FREE)
        return;
    if (!CPropatyTandrel::switches().pasvMode) {
        m_exchange.sendHello(m_peerNode, m_sync);
        // A stuck stream is closed, so that both sides release what is in
        // flight; the next connect pass asks for a new one.
        if (!m_exchange.sendPeriodicPoll()) {
            std::printf("Error:ZQ_SKYPESTREAM: %s answered none of two polls; the stream is closed and made again\n",
                        key().c_str());
            disconnect();
        }
    }
    m_exchangeTicks = 0;
}

bool ZQ_SKYPESTREAM::namesAnotherRow(const std::string& name) const
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    return settings && settings->otherRowNamed(name, 0, m_user.c_str()) >= 0;
}

void ZQ_SKYPESTREAM::refuse(const std::string& name)
{
    std::printf("接続を拒否しました. SKYPE user=%s stream=%d, node=%s: the node of another connection row\n",
                m_user.c_str(), m_streamId, cp932::consoleText(name).c_str());
    m_refused = true;
    disconnect();
    if (ZQ_A2AMODEL* model = ZQ_A2AMODEL::existingInstance())
        model->sayNameOfAnotherRow(m_user, name);
}

// --- Receiving -------------------------------------------------------------

void ZQ_SKYPESTREAM::onRead(const char* text)
{
    const std::string k = key();
    // "bob:1" must not take what is addressed to "bob:12".
    if (!text || std::strncmp(text, k.c_str(), k.size()) != 0 || text[k.size()] != ' ' || m_refused)
        return;
    std::memset(m_rxFrame.get(), 0, RX_FRAME_SIZE);
    const std::size_t decoded = decodeHex(text + k.size() + 1, m_rxFrame.get(), RX_FRAME_SIZE);
    if (decoded == 0)
        return;
    // Exactly one whole frame that passes the check every carrier applies;
    // anything else is ignored and does not count.
    const ExchangeHeader h = readHeader(m_rxFrame.get());
    if (h.headerLen == 0 || decoded != frameLength(h))
        return;
    const FrameKind kind = checkFrame(m_rxFrame.get(), decoded, CHUNK_LIMIT_SKYPE);
    if (kind == FrameKind::Bad)
        return;
    if (!m_seq.accept(m_rxFrame.get())) {
        disconnect();
        return;
    }
    m_exchange.arrived();

    BYTE* frame = m_rxFrame.get();
    switch (kind) {
    case FrameKind::NodeInfo: {
        // Only nodes of one party share the application name: the party
        // result is not looked at.
        int party = 0;
        const auto* hello = reinterpret_cast<const NodeInfoFrame*>(frame);
        const int r = m_exchange.onNodeInfo(hello, 0, m_user.c_str(), &party);
        if (r == 1)
            m_peerNode = m_exchange.getPeerNode();
        else if (r == CExchange::NAME_OF_ANOTHER_ROW)
            refuse(std::string(cp932::fieldText(hello->nodeName, sizeof hello->nodeName)));
        break;
    }
    case FrameKind::SyncPoll:
        // Not even a contact that polls before it says hello takes the
        // entries of another row's neighbour.
        if (namesAnotherRow(m_peerNode))
            refuse(m_peerNode);
        else
            m_exchange.replyCatalog(m_peerNode.c_str(), reinterpret_cast<const SyncPollFrame*>(frame));
        break;
    case FrameKind::CatalogRecords:
        m_exchange.onCatalogRecords(reinterpret_cast<const CatalogRecordsFrame*>(frame), m_peerNode.c_str());
        break;
    case FrameKind::FileRequest:
        m_exchange.sendChunk(reinterpret_cast<const FileRequestFrame*>(frame), CHUNK_LIMIT_SKYPE);
        break;
    case FrameKind::FileChunk:
        m_exchange.onChunk(reinterpret_cast<FileChunkFrame*>(frame));
        break;
    case FrameKind::KeepAlive:
    case FrameKind::Other:
    case FrameKind::Bad:
        break;
    }
}
