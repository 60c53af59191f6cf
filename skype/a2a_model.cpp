#include "skype/a2a_model.h"

#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "protocol/post_error.h"
#include "skype/skype_text.h"
#include "store/helpers.h"
#include "store/settings.h"

ZQ_A2AMODEL* ZQ_A2AMODEL::s_instance = nullptr;

namespace {

// Tokens of the application texts are read into buffers of this size.
constexpr std::size_t TOKEN_SIZE = 256;

bool beginsWith(const char* text, const char* word)
{
    return std::strncmp(text, word, std::strlen(word)) == 0;
}

// The text after word and one separator; "" when the text ends first.
const char* after(const char* text, const char* word)
{
    const std::size_t n = std::strlen(word);
    return std::strlen(text) > n ? text + n + 1 : "";
}

// Whether the list has no entry: its first token already reaches its end.
bool isEmptyList(const char* text)
{
    char token[TOKEN_SIZE];
    return getToken(text, token, sizeof token, nullptr) == nullptr;
}

} // namespace

// --- Application slot --------------------------------------------------------

ZQ_SKYPEAPPLICATION::~ZQ_SKYPEAPPLICATION()
{
    for (ZQ_SKYPESTREAM* s : m_streams) {
        if (s)
            destroyStream(s);
    }
    m_streams.clear();
}

void ZQ_SKYPEAPPLICATION::setName(const char* name)
{
    const std::string n = name ? name : "";
    if (isUsableApplicationName(n)) {
        m_name = n;
        return;
    }
    m_name.clear();
    std::printf("●●ERROR　ZQ_SKYPEAPPLICATION::setName() \"%s\" is not one word (a blank or punctuation, or longer "
                "than %d bytes): no links over the messaging client for this party\n",
                n.c_str(), static_cast<int>(APPLICATION_NAME_MAX));
    std::fflush(stdout);
}

int ZQ_SKYPEAPPLICATION::hasName(const char* name) const
{
    return !m_name.empty() && name && m_name == name ? 1 : 0;
}

int ZQ_SKYPEAPPLICATION::send(const std::string& command)
{
    return ZQ_SKYPECOM::getInstance()->send(command.c_str());
}

void ZQ_SKYPEAPPLICATION::create()
{
    if (m_name.empty())
        return;
    m_createCmd = "CREATE APPLICATION " + m_name;
    send(m_createCmd);
}

void ZQ_SKYPEAPPLICATION::remove()
{
    if (m_name.empty())
        return;
    m_deleteCmd = "DELETE APPLICATION " + m_name;
    send(m_deleteCmd);
}

void ZQ_SKYPEAPPLICATION::requestConnectable()
{
    if (m_name.empty())
        return;
    send("GET APPLICATION " + m_name + " CONNECTABLE");
}

int ZQ_SKYPEAPPLICATION::connect(const char* skypeId)
{
    if (m_name.empty() || !skypeId || !isUsableSkypeId(skypeId))
        return 0;
    return send("ALTER APPLICATION " + m_name + " CONNECT " + skypeId);
}

void ZQ_SKYPEAPPLICATION::disconnectStream(const char* skypeId, int streamId)
{
    if (m_name.empty() || !skypeId || !isUsableSkypeId(skypeId))
        return;
    send("ALTER APPLICATION " + m_name + " DISCONNECT " + skypeId + ":" + std::to_string(streamId));
}

void ZQ_SKYPEAPPLICATION::disconnectUser(const char* skypeId)
{
    if (!skypeId)
        return;
    const std::string id = skypeId;
    // A failed send drops every stream: the list is read anew on each pass.
    for (std::size_t i = 0; i < m_streams.size(); ++i) {
        ZQ_SKYPESTREAM* s = m_streams[i];
        if (s && s->user() == id)
            disconnectStream(id.c_str(), s->streamId());
    }
}

void ZQ_SKYPEAPPLICATION::requestSync(const char* skypeId, int mode, SYSTEMTIME since)
{
    for (ZQ_SKYPESTREAM* s : m_streams) {
        if (s && skypeId && s->user() == skypeId)
            s->setSyncRequest(mode, since);
    }
}

int ZQ_SKYPEAPPLICATION::hasStreamTo(const char* skypeId) const
{
    for (const ZQ_SKYPESTREAM* s : m_streams) {
        if (s && skypeId && s->user() == skypeId)
            return 1;
    }
    return 0;
}

int ZQ_SKYPEAPPLICATION::streamCount() const
{
    int n = 0;
    for (const ZQ_SKYPESTREAM* s : m_streams)
        n += s ? 1 : 0;
    return n;
}

int ZQ_SKYPEAPPLICATION::seenCount() const
{
    int n = 0;
    for (const ZQ_SKYPESTREAM* s : m_streams)
        n += s && s->m_seen ? 1 : 0;
    return n;
}

ZQ_SKYPESTREAM* ZQ_SKYPEAPPLICATION::addStream(const char* skypeId, int streamId)
{
    std::string peer;
    if (CPropatyTandrel* settings = CPropatyTandrel::getInstance())
        settings->findRecName(peer, 0, skypeId);
    auto* stream = new ZQ_SKYPESTREAM(skypeId, streamId, m_name.c_str(), peer);
    bool placed = false;
    for (ZQ_SKYPESTREAM*& slot : m_streams) {
        if (!slot) {
            slot = stream;
            placed = true;
            break;
        }
    }
    if (!placed)
        m_streams.push_back(stream);
    m_state = STATE_STREAMING;
    std::printf("●●LINK UP SKYPE node=%s user=%s stream=%d\n", cp932::consoleText(peer).c_str(), skypeId,
                streamId);
    return stream;
}

void ZQ_SKYPEAPPLICATION::addListener(ZQ_SKYPEAPPLICATIONLISTENER* listener)
{
    m_listeners.push_back(listener);
}

void ZQ_SKYPEAPPLICATION::notifyListeners()
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i) {
        if (m_listeners[i])
            m_listeners[i]->onStreamsChanged();
    }
}

void ZQ_SKYPEAPPLICATION::destroyStream(ZQ_SKYPESTREAM* stream)
{
    // What the neighbour was not known to hold waits for a later stream.
    stream->exchange().releaseAnswers();
    delete stream;
}

void ZQ_SKYPEAPPLICATION::dropStream(std::size_t i)
{
    ZQ_SKYPESTREAM* s = m_streams[i];
    m_streams[i] = nullptr;
    if (!s)
        return;
    std::printf("●●LINK DOWN SKYPE node=%s user=%s stream=%d\n", cp932::consoleText(s->getPeerNode()).c_str(),
                s->user().c_str(), s->streamId());
    m_readPending.erase(s->key());
    if (s->m_busy > 0)
        s->m_doomed = true;
    else
        destroyStream(s);
}

template <class Work>
void ZQ_SKYPEAPPLICATION::work(ZQ_SKYPESTREAM* stream, Work w)
{
    ++stream->m_busy;
    w();
    if (--stream->m_busy == 0 && stream->m_doomed)
        destroyStream(stream);
}

void ZQ_SKYPEAPPLICATION::closeAllStreams()
{
    m_state = STATE_NONE;
    m_connectableTicks = 0;
    for (std::size_t i = 0; i < m_streams.size(); ++i)
        dropStream(i);
    m_streams.clear();
    m_readPending.clear();
    notifyListeners();
}

void ZQ_SKYPEAPPLICATION::onTimer()
{
    for (std::size_t i = 0; i < m_streams.size(); ++i) {
        ZQ_SKYPESTREAM* s = m_streams[i];
        if (s)
            work(s, [s] { s->onTimer(); });
    }
    if (m_connectableTicks < CONNECTABLE_TICKS) {
        ++m_connectableTicks;
        return;
    }
    m_connectableTicks = 0;
    if (m_state != STATE_NONE)
        requestConnectable();
}

int ZQ_SKYPEAPPLICATION::onCreateReply(const char* text)
{
    if (m_createCmd.empty() || !text || m_createCmd != text)
        return 0;
    m_state = STATE_CREATED;
    requestConnectable();
    return 1;
}

int ZQ_SKYPEAPPLICATION::onDeleteReply(const char* text)
{
    if (m_deleteCmd.empty() || !text || m_deleteCmd != text)
        return 0;
    m_state = STATE_NONE;
    return 1;
}

void ZQ_SKYPEAPPLICATION::onAlterReply(const char* text)
{
    if (!beginsWith(text, "READ"))
        return;
    const char* arg = after(text, "READ");
    for (std::size_t i = 0; i < m_streams.size(); ++i) {
        ZQ_SKYPESTREAM* s = m_streams[i];
        if (s)
            work(s, [s, arg] { s->onRead(arg); });
    }
}

void ZQ_SKYPEAPPLICATION::onNotify(const char* text)
{
    if (beginsWith(text, "CONNECTABLE"))
        ZQ_SKYPEMODEL::getInstance()->setConnectable(m_index, after(text, "CONNECTABLE"));
    else if (beginsWith(text, "CONNECTING"))
        return;
    else if (beginsWith(text, "STREAMS"))
        onStreams(text + std::strlen("STREAMS"));
    else if (beginsWith(text, "SENDING"))
        onSending(text + std::strlen("SENDING"));
    else if (beginsWith(text, "RECEIVED"))
        onReceived(text + std::strlen("RECEIVED"));
}

bool ZQ_SKYPEAPPLICATION::parseEntries(const char* text, bool received, std::vector<ListEntry>* entries)
{
    char id[TOKEN_SIZE];
    char number[TOKEN_SIZE];
    char count[TOKEN_SIZE];
    const char* p = text;
    for (;;) {
        p = getToken(p, id, sizeof id, ":");
        if (!p)
            return false;
        const char* next = getToken(p, number, sizeof number, received ? "=" : ",");
        if (received) {
            if (!next)
                return false;
            next = getToken(next, count, sizeof count, nullptr); // read, not used
        }
        ListEntry e;
        // Numbers come from outside: decimal digits, nothing else.
        if (!parseStreamNumber(number, &e.streamId))
            return false;
        e.skypeId = id;
        entries->push_back(e);
        if (!next)
            return true;
        p = next;
    }
}

void ZQ_SKYPEAPPLICATION::onStreams(const char* text)
{
    if (isEmptyList(text)) {
        for (std::size_t i = 0; i < m_streams.size(); ++i)
            dropStream(i);
        m_streams.clear();
        m_state = STATE_CREATED;
        notifyListeners();
        return;
    }
    std::vector<ListEntry> entries;
    if (!parseEntries(text, false, &entries))
        return;
    for (ZQ_SKYPESTREAM* s : m_streams) {
        if (s)
            s->m_seen = 0;
    }
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    for (const ListEntry& e : entries) {
        ZQ_SKYPESTREAM* known = nullptr;
        for (ZQ_SKYPESTREAM* s : m_streams) {
            if (s && s->user() == e.skypeId && s->streamId() == e.streamId) {
                known = s;
                break;
            }
        }
        if (known) {
            known->m_seen = 1;
            continue;
        }
        // An ID that cannot stand in a command is neither taken nor named.
        if (!isUsableSkypeId(e.skypeId))
            continue;
        const bool accepted = settings && settings->isAcceptSkypeId(e.skypeId.c_str()) == 1;
        // Streams this list no longer names go below: they take no room.
        if (accepted && seenCount() < MAX_STREAMS) {
            addStream(e.skypeId.c_str(), e.streamId);
            notifyListeners();
        } else {
            disconnectStream(e.skypeId.c_str(), e.streamId);
        }
    }
    bool dropped = false;
    for (std::size_t i = 0; i < m_streams.size(); ++i) {
        if (m_streams[i] && m_streams[i]->m_seen == 0) {
            dropStream(i);
            dropped = true;
        }
    }
    if (dropped)
        notifyListeners();
}

void ZQ_SKYPEAPPLICATION::onSending(const char* text)
{
    if (!isEmptyList(text))
        return;
    for (ZQ_SKYPESTREAM* s : m_streams) {
        if (s)
            s->setReadyToSend();
    }
}

void ZQ_SKYPEAPPLICATION::onReceived(const char* text)
{
    if (isEmptyList(text))
        return;
    std::vector<ListEntry> entries;
    if (!parseEntries(text, true, &entries) || m_name.empty())
        return;
    // The first entry that a READ can name: a stream with an ID that cannot
    // stand in a command is never read, and must not hold up the others.
    auto first = entries.begin();
    while (first != entries.end() && !isUsableSkypeId(first->skypeId))
        ++first;
    if (first == entries.end())
        return;
    const ListEntry& e = *first;
    const std::string key = e.skypeId + ":" + std::to_string(e.streamId);
    // The client repeats its list while data waits: one READ at a time.
    if (m_readPending.count(key) != 0)
        return;
    m_readPending.insert(key);
    const int index = m_index;
    const std::string command = "ALTER APPLICATION " + m_name + " READ " + key;
    const int sent = ZQ_SKYPECOM::getInstance()->send(command.c_str(), [index, key] {
        if (ZQ_A2AMODEL* model = ZQ_A2AMODEL::existingInstance())
            model->application(index).onReadAnswered(key);
    });
    if (!sent)
        m_readPending.erase(key);
}

// --- Model ---------------------------------------------------------------------

ZQ_A2AMODEL* ZQ_A2AMODEL::getInstance()
{
    if (!s_instance)
        s_instance = new ZQ_A2AMODEL;
    return s_instance;
}

void ZQ_A2AMODEL::destroyInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

ZQ_A2AMODEL::ZQ_A2AMODEL()
{
    init();
}

void ZQ_A2AMODEL::init()
{
    ZQ_SKYPECOM::getInstance()->addUser(this);
    for (int i = 0; i < SKYPE_APPLICATION_SLOTS; ++i) {
        m_applications[i].setIndex(i);
        m_applications[i].addListener(this);
    }
    m_timer.start(TICK_MS, [] { timerProc(); });
}

ZQ_A2AMODEL::~ZQ_A2AMODEL()
{
    m_timer.stop();
    m_listeners.clear();
    ZQ_SKYPECOM* link = ZQ_SKYPECOM::existingInstance();
    if (!link)
        return;
    link->forgetUser(this);
    // Applications that the client holds are deleted with it; while not
    // attached there is nobody to tell.
    for (ZQ_SKYPEAPPLICATION& app : m_applications) {
        if (app.getState() >= ZQ_SKYPEAPPLICATION::STATE_CREATED && link->getStatus() == ZQ_SKYPECOM::STATUS_ATTACHED)
            app.remove();
    }
}

void ZQ_A2AMODEL::timerProc()
{
    ZQ_A2AMODEL* model = existingInstance();
    if (!model)
        return;
    for (ZQ_SKYPEAPPLICATION& app : model->m_applications)
        app.onTimer();
}

void ZQ_A2AMODEL::addListener(CA2AModelListener* listener)
{
    m_listeners.push_back(listener);
}

void ZQ_A2AMODEL::setApplicationName(int index, const char* name)
{
    if (!validIndex(index))
        return;
    m_applications[index].setName(name);
    m_applications[index].setIndex(index);
}

void ZQ_A2AMODEL::createApplications()
{
    for (ZQ_SKYPEAPPLICATION& app : m_applications)
        app.create();
}

void ZQ_A2AMODEL::deleteApplications()
{
    for (ZQ_SKYPEAPPLICATION& app : m_applications)
        app.remove();
}

int ZQ_A2AMODEL::connect(int index, const char* skypeId)
{
    if (!validIndex(index))
        return 0;
    if (m_applications[index].hasStreamTo(skypeId))
        return 1;
    return m_applications[index].connect(skypeId);
}

void ZQ_A2AMODEL::disconnect(int index, const char* skypeId)
{
    if (validIndex(index) && m_applications[index].hasStreamTo(skypeId))
        m_applications[index].disconnectUser(skypeId);
}

void ZQ_A2AMODEL::requestSync(int index, const char* skypeId, int mode, SYSTEMTIME since)
{
    if (validIndex(index) && m_applications[index].hasStreamTo(skypeId))
        m_applications[index].requestSync(skypeId, mode, since);
}

int ZQ_A2AMODEL::isConnected(int index, const char* skypeId)
{
    if (!validIndex(index))
        return 0;
    return m_applications[index].hasStreamTo(skypeId);
}

void ZQ_A2AMODEL::closeAllStreams()
{
    for (ZQ_SKYPEAPPLICATION& app : m_applications)
        app.closeAllStreams();
}

void ZQ_A2AMODEL::onStatus(int status)
{
    if (status == ZQ_SKYPECOM::STATUS_ATTACHED)
        createApplications();
}

void ZQ_A2AMODEL::sayNameOfAnotherRow(const std::string& skypeId, const std::string& announced)
{
    if (!m_refusalsSaid.insert(skypeId + '\n' + announced).second)
        return;
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    if (!settings)
        return;
    int row = -1;
    for (int i = 0; i < settings->getConnectNum() && row < 0; ++i) {
        const char* trs = settings->getRecTransport(i);
        const char* id = settings->getRecSkypeId(i);
        if (trs && id && std::strcmp(trs, "SKYPE") == 0 && skypeId == id)
            row = i;
    }
    const int other = settings->otherRowNamed(announced, 0, skypeId.c_str());
    const auto cp = [](const char* utf8) { return cp932::fromUtf8(utf8).value_or(""); };
    // Shown as the console shows it: a name of odd bytes cannot garble the notice.
    const std::string name = cp932::fromUtf8(cp932::consoleText(announced)).value_or("?");
    const std::string text = cp("接続先 [REC") + std::to_string(row + 1) + cp("]（Skype ID「") + skypeId
        + cp("」）の相手のノード名は「") + name + cp("」でした。「") + name + cp("」は接続先 [REC")
        + std::to_string(other + 1)
        + cp("] の接続ノード名のため、接続を拒否しました。Skype ID と接続ノード名を確かめてください。");
    CPostError::getInstance()->postWarning(text.c_str());
}

void ZQ_A2AMODEL::onStreamsChanged()
{
    for (std::size_t i = 0; i < m_listeners.size(); ++i) {
        if (m_listeners[i])
            m_listeners[i]->onConnectionsChanged();
    }
}

void ZQ_A2AMODEL::onApplication(const char* text)
{
    char first[TOKEN_SIZE];
    const char* p = getToken(text, first, sizeof first, nullptr);
    if (std::strcmp(first, "CREATE") == 0) {
        for (ZQ_SKYPEAPPLICATION& app : m_applications) {
            if (app.onCreateReply(text))
                return;
        }
        return;
    }
    if (std::strcmp(first, "DELETE") == 0) {
        for (ZQ_SKYPEAPPLICATION& app : m_applications) {
            if (app.onDeleteReply(text))
                return;
        }
        return;
    }
    const bool alter = std::strcmp(first, "ALTER") == 0;
    if (alter) {
        char second[TOKEN_SIZE];
        if (!p)
            return;
        p = getToken(p, second, sizeof second, nullptr);
        if (std::strcmp(second, "APPLICATION") != 0)
            return;
    } else if (std::strcmp(first, "APPLICATION") != 0) {
        return;
    }
    if (!p)
        return;
    char name[TOKEN_SIZE];
    const char* rest = getToken(p, name, sizeof name, " ");
    if (!rest)
        return; // the text ends at the name
    for (ZQ_SKYPEAPPLICATION& app : m_applications) {
        if (app.hasName(name)) {
            if (alter)
                app.onAlterReply(rest);
            else
                app.onNotify(rest);
            return;
        }
    }
}
