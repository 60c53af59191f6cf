#include "tcp/tcp_a2a_model.h"

#include <algorithm>
#include <cstdio>

#include "platform/cp932.h"
#include "protocol/post_error.h"
#include "store/settings.h"

CTcpA2AModel* CTcpA2AModel::s_instance = nullptr;
// Ids run 1, 2, 3 ... over the whole run, accepted and outgoing links alike.
DWORD CTcpA2AModel::s_lastId = 0;
std::chrono::milliseconds CTcpA2AModel::s_pendingTimeout = CTcpA2AModel::PENDING_TIMEOUT;
std::chrono::milliseconds CTcpA2AModel::s_idleTimeout = CTcpA2AModel::IDLE_TIMEOUT;

namespace {

bool erase(std::vector<CTcpSockStream*>& list, CTcpSockStream* stream)
{
    auto it = std::find(list.begin(), list.end(), stream);
    if (it == list.end())
        return false;
    list.erase(it);
    return true;
}

std::string cpText(const char* utf8)
{
    return cp932::fromUtf8(utf8).value_or("");
}

// The notice of a new link, in the program's code page.
std::string establishedText(const std::string& peerName)
{
    return peerName + cpText("ノードとTCP接続が確立しました");
}

// A link's peer for the console: "<label>=<address>, port=<port>".
std::string peerText(CTcpSockStream* stream, const char* label = "IP")
{
    std::string address;
    UINT port = 0;
    stream->GetPeerName(address, port);
    return label + ("=" + address) + ", port=" + std::to_string(port);
}

// The connection row a link was dialled for: the first "TCP" row of that
// name, -1 when there is none (any longer).
int tcpRowOf(CPropatyTandrel* settings, const std::string& name)
{
    const int rows = settings ? settings->getConnectNum() : 0;
    for (int i = 0; i < rows; ++i)
        if (cp932::compare(settings->getRecTransport(i), "TCP") == 0
            && cp932::compare(settings->getRecName(i), name.c_str()) == 0)
            return i;
    return -1;
}

} // namespace

CTcpA2AModel* CTcpA2AModel::getInstance()
{
    if (!s_instance)
        s_instance = new CTcpA2AModel;
    return s_instance;
}

void CTcpA2AModel::releaseInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

void CTcpA2AModel::setTimeouts(std::chrono::milliseconds pending, std::chrono::milliseconds idle)
{
    s_pendingTimeout = pending;
    s_idleTimeout = idle;
}

CTcpA2AModel::CTcpA2AModel()
{
    m_timer.start(TICK_MS, [] { onTimerProc(); });
}

CTcpA2AModel::~CTcpA2AModel()
{
    m_timer.stop();
    while (!m_established.empty())
        closeStream(m_established.front(), true);
    m_listeners.clear();
    while (!m_pending.empty())
        closeStream(m_pending.back(), true);
    reap();
    m_listen.ShutDown(SD_BOTH);
    m_listen.Close();
}

void CTcpA2AModel::addListener(CA2AModelListener* listener)
{
    m_listeners.push_back(listener);
}

// --- Listening ---------------------------------------------------------------

int CTcpA2AModel::startListen()
{
    if (isListening())
        return 1;
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const int port = settings ? settings->getListenPort() : 0;
    int on = 1;
    if (!m_listen.Create(static_cast<UINT>(port), SOCK_STREAM, FD_ALL_EVENTS)
        || !m_listen.SetSockOpt(SO_REUSEADDR, &on, sizeof on)) {
        const int error = WSAGetLastError();
        m_listen.Close();
        std::printf("●●ERROR　CTcpA2AModel::startListen() port=%d, err=%d \n", port, error);
        m_listenError = error;
        return 0;
    }
    m_listen.m_pParent = this;
    m_listen.setOwnerWnd(m_hOwner);
    m_listen.m_strAddress = "ListenPort";
    m_listen.m_strNodeName = "ListenUser";
    m_listenError = 0;
    if (!m_listen.Listen(5)) {
        const int error = WSAGetLastError();
        m_listen.Close();
        std::printf("●●ERROR　CTcpA2AModel::startListen() listen port=%d, err=%d \n", port, error);
        m_listenError = error;
        return 0;
    }
    return 1;
}

bool CTcpA2AModel::isListening() const
{
    return m_listen.socketHandle() != INVALID_SOCKET;
}

void CTcpA2AModel::stopListen()
{
    if (isListening()) {
        m_listen.ShutDown(SD_BOTH);
        m_listen.Close();
    }
    while (!m_pending.empty())
        closeStream(m_pending.back());
}

void CTcpA2AModel::notifyOnAccept(int)
{
    auto* stream = new CTcpSockStream;
    stream->setOwnerWnd(m_hOwner);
    if (!m_listen.Accept(*stream)) {
        std::printf("●●ERROR　CTcpA2AModel::notifyOnAccept() err=%d \n", WSAGetLastError());
        delete stream; // never had a call of its own
        return;
    }
    std::printf("●●ACCEPT %s\n", peerText(stream, "PeerAddress").c_str());
    stream->m_id = static_cast<int>(++s_lastId);
    const auto isAccepted = [](CTcpSockStream* s) { return s->m_strConnectType == "Accept"; };
    if (std::count_if(m_pending.begin(), m_pending.end(), isAccepted) >= MAX_UNIDENTIFIED_ACCEPTED) {
        // A flood of links that never say hello must not take every socket,
        // nor lock out the neighbours that link in meanwhile: the link that
        // has waited longest for its hello makes room for the new one.
        CTcpSockStream* oldest = *std::find_if(m_pending.begin(), m_pending.end(), isAccepted);
        std::printf("●●ERROR　CTcpA2AModel::notifyOnAccept() too many unidentified links, id=%d closed\n",
                    oldest->m_id);
        closeStream(oldest);
    }
    stream->m_strNodeName = "Pending";
    stream->m_strAddress = "Pending";
    stream->m_pParent = this;
    stream->m_state = CTcpSockStream::STATE_CONNECTED;
    stream->m_strConnectType = "Accept";
    stream->m_pendingSince = CTcpSockStream::Clock::now();
    m_pending.push_back(stream);
}

// --- Outgoing links ----------------------------------------------------------

void CTcpA2AModel::connect(const char* name, const char* address, UINT port)
{
    const std::string nodeName = name ? name : "";
    if (findEstablished(nodeName) || findPending(nodeName))
        return;
    auto* stream = new CTcpSockStream;
    if (!stream->Create(0, SOCK_STREAM, FD_ALL_EVENTS)) {
        delete stream;
        return;
    }
    stream->m_strAddress = address ? address : "";
    stream->m_strNodeName = nodeName;
    stream->m_pParent = this;
    stream->setOwnerWnd(m_hOwner);
    stream->m_strConnectType = "connect()";
    stream->m_id = static_cast<int>(++s_lastId);
    stream->m_pendingSince = CTcpSockStream::Clock::now();
    if (stream->Connect(stream->m_strAddress, port)) {
        stream->m_state = CTcpSockStream::STATE_CONNECTED;
        m_pending.push_back(stream);
        return;
    }
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
        stream->m_state = CTcpSockStream::STATE_CONNECTING;
        m_pending.push_back(stream);
        fireConnectionsChanged();
        return;
    }
    // Refused at once: the main window tries again at its next pass.
    stream->ShutDown(SD_BOTH);
    stream->Close();
    delete stream;
}

void CTcpA2AModel::notifyOnConnect(int id)
{
    CTcpSockStream* stream = findPendingById(id);
    if (!stream)
        return;
    stream->m_state = CTcpSockStream::STATE_CONNECTED;
    stream->m_pendingSince = CTcpSockStream::Clock::now(); // the wait for the hello starts now
}

// --- Identification ----------------------------------------------------------

void CTcpA2AModel::notifyOnIdentify(int id, const std::string& peerName)
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const int row = tcpRowOf(settings, peerName);

    CTcpSockStream* stream = findPendingById(id);
    if (!stream)
        return;
    erase(m_pending, stream);
    if (row < 0) {
        std::printf("接続を拒否しました. %s, node=%s\n", peerText(stream).c_str(), cp932::consoleText(peerName).c_str());
        // A link dialled for a row and answered by another name: the row's
        // name or host is wrong, and the user hears it once per row.
        if (stream->m_strConnectType == "connect()")
            sayNameMismatch(stream->m_strNodeName, peerName);
        closeStream(stream);
        return;
    }
    if (CTcpSockStream* old = findEstablished(peerName)) {
        if (!prefersNewLink(*stream, *old, peerName)) {
            std::printf("重複した接続を破棄しました. %s\n", peerText(stream).c_str());
            closeStream(stream);
            return;
        }
        // Both nodes connected to each other at once. Each end would keep
        // whichever hello came first and might keep different links, which
        // then both close; both ends keep the link opened by the node with
        // the smaller name instead.
        std::printf("重複した接続を破棄しました. %s\n", peerText(old).c_str());
        closeStream(old, true);
    }
    stream->m_strAddress = settings->getRecHost(row);
    stream->m_strNodeName = peerName;
    stream->m_pParent = this;
    stream->m_state = CTcpSockStream::STATE_IDENTIFIED;
    stream->markActivity();
    addEstablished(stream);
    std::printf("●●LINK UP TCP node=%s id=%d %s\n", cp932::consoleText(peerName).c_str(), stream->m_id,
                peerText(stream).c_str());
    postConnectionsChanged();
    CPostError::getInstance()->postErrorText(1, establishedText(peerName).c_str());
}

void CTcpA2AModel::sayNameMismatch(const std::string& rowName, const std::string& peerName)
{
    if (!m_mismatchSaid.insert(rowName).second)
        return;
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const int row = tcpRowOf(settings, rowName);
    if (row < 0)
        return;
    const std::string announced = cp932::fromUtf8(cp932::consoleText(peerName)).value_or("?");
    const std::string text = cpText("接続先 [REC") + std::to_string(row + 1) + cpText("]（接続ノード名「") + rowName
        + cpText("」、") + settings->getRecHostName(row) + cpText("）に接続しましたが、相手のノード名は「") + announced
        + cpText("」でした。接続ノード名が違うため接続を拒否しました。接続ノード名を相手のノード名に合わせるか、"
                 "接続先を確かめてください。");
    CPostError::getInstance()->postWarning(text.c_str());
}

bool CTcpA2AModel::prefersNewLink(const CTcpSockStream& fresh, const CTcpSockStream& old,
                                  const std::string& peerName)
{
    const bool freshAccepted = fresh.m_strConnectType == "Accept";
    const bool oldAccepted = old.m_strConnectType == "Accept";
    if (freshAccepted == oldAccepted)
        return false;
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    const char* own = settings ? settings->getNodeName() : "";
    const bool ownOpensTheLink = cp932::compare(own, peerName.c_str()) < 0;
    return ownOpensTheLink ? !freshAccepted : freshAccepted;
}

void CTcpA2AModel::addEstablished(CTcpSockStream* stream)
{
    m_established.push_back(stream);
}

// --- Queries and requests by name --------------------------------------------

CTcpSockStream* CTcpA2AModel::findEstablished(const std::string& name) const
{
    for (CTcpSockStream* s : m_established)
        if (s->m_strNodeName == name)
            return s;
    return nullptr;
}

CTcpSockStream* CTcpA2AModel::findPending(const std::string& name) const
{
    for (CTcpSockStream* s : m_pending)
        if (s->m_strNodeName == name)
            return s;
    return nullptr;
}

CTcpSockStream* CTcpA2AModel::findPendingById(int id) const
{
    for (CTcpSockStream* s : m_pending)
        if (s->m_id == id)
            return s;
    return nullptr;
}

CTcpSockStream* CTcpA2AModel::findEstablishedById(int id) const
{
    for (CTcpSockStream* s : m_established)
        if (s->m_id == id)
            return s;
    return nullptr;
}

int CTcpA2AModel::isConnected(const char* name, const char*)
{
    CTcpSockStream* s = findEstablished(name ? name : "");
    return s && s->m_state == CTcpSockStream::STATE_IDENTIFIED ? 1 : 0;
}

void CTcpA2AModel::requestSync(const char* name, const char*, int mode, SYSTEMTIME since)
{
    if (CTcpSockStream* s = findEstablished(name ? name : ""))
        s->setSyncRequest(mode, since);
}

// --- Closing -----------------------------------------------------------------

void CTcpA2AModel::disconnect(const char* name, const char*)
{
    closeNode(name ? name : "");
}

void CTcpA2AModel::closeNode(const std::string& name)
{
    while (CTcpSockStream* s = findEstablished(name))
        closeStream(s, true);
    for (std::size_t i = m_pending.size(); i-- > 0;)
        if (m_pending[i]->m_strNodeName == name)
            closeStream(m_pending[i]);
    fireConnectionsChanged();
}

void CTcpA2AModel::notifyOnClose(int id)
{
    std::printf("CLOSE イベントを検出 id=%d\n", id);
    if (CTcpSockStream* s = findPendingById(id))
        closeStream(s);
    closeEstablishedById(id);
}

void CTcpA2AModel::notifyOnError(int id, int err)
{
    std::printf("●●ERROR　CTcpA2AModel::notifyOnError() id=%d, err=%d \n", id, err);
    notifyOnClose(id);
}

void CTcpA2AModel::closeEstablishedById(int id)
{
    if (CTcpSockStream* s = findEstablishedById(id))
        closeStream(s);
}

void CTcpA2AModel::closeStream(CTcpSockStream* stream, bool quiet)
{
    const bool wasEstablished = erase(m_established, stream);
    erase(m_pending, stream);
    if (wasEstablished)
        std::printf("●●LINK DOWN TCP node=%s id=%d\n", cp932::consoleText(stream->m_strNodeName).c_str(),
                    stream->m_id);
    // What the peer was not known to hold waits for a later link.
    stream->exchange().releaseAnswers();
    stream->closeLink();
    m_closed.push_back(stream);
    if (!m_reapPosted) {
        m_reapPosted = true;
        m_calls.post([this] { reap(); });
    }
    if (wasEstablished && !quiet)
        postConnectionsChanged();
}

void CTcpA2AModel::reap()
{
    m_reapPosted = false;
    std::vector<CTcpSockStream*> closed;
    closed.swap(m_closed);
    for (CTcpSockStream* s : closed)
        delete s;
}

// --- Listeners -----------------------------------------------------------------

void CTcpA2AModel::fireConnectionsChanged()
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i)
        m_listeners[i]->onConnectionsChanged();
}

// Links come and go inside their own calls; the listeners hear of it once
// that call has returned.
void CTcpA2AModel::postConnectionsChanged()
{
    if (m_changePosted)
        return;
    m_changePosted = true;
    m_calls.post([this] {
        m_changePosted = false;
        fireConnectionsChanged();
    });
}

// --- The tick ------------------------------------------------------------------

void CTcpA2AModel::onTimerProc()
{
    getInstance()->tick();
}

void CTcpA2AModel::tick()
{
    // A link closed during the tick stays alive (closed) until the tick is
    // over, so the list of this tick may be walked to its end.
    m_tickList.assign(m_established.begin(), m_established.end());
    m_tickList.insert(m_tickList.end(), m_pending.begin(), m_pending.end());
    for (CTcpSockStream* s : m_tickList)
        if (!s->isClosed())
            s->onTick();
    m_tickList.clear();
    checkTimeouts();
}

void CTcpA2AModel::checkTimeouts()
{
    const auto now = CTcpSockStream::Clock::now();
    for (std::size_t i = m_pending.size(); i-- > 0;) {
        CTcpSockStream* s = m_pending[i];
        if (now - s->pendingSince() > s_pendingTimeout) {
            std::printf("●●ERROR　CTcpA2AModel: no hello in time, id=%d closed\n", s->m_id);
            closeStream(s);
        }
    }
    for (std::size_t i = m_established.size(); i-- > 0;) {
        CTcpSockStream* s = m_established[i];
        if (now - s->lastActivity() > s_idleTimeout) {
            std::printf("●●ERROR　CTcpA2AModel: link silent too long, id=%d closed\n", s->m_id);
            closeStream(s);
        }
    }
}
