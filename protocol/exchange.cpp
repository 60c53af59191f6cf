#include "protocol/exchange.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/cp932.h"
#include "store/catalog.h"
#include "store/settings.h"

namespace {

const char* settingText(const char* (CPropatyTandrel::*get)())
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    const char* t = s ? (s->*get)() : nullptr;
    return t ? t : "";
}

// A received frame is only read where its header says it has bytes: the
// header must be the 48 bytes every payload offset counts from, and the
// payload must hold at least `need` bytes.
bool payloadHolds(const ExchangeHeader& h, DWORD need)
{
    return h.headerLen == FRAME_HEADER_LEN && h.dataLen >= need;
}

} // namespace

CExchange::CExchange() = default;

CExchange::~CExchange() = default;

bool CExchange::queueFrame(const void* frame, DWORD length)
{
    return m_sendQueue.enqueue(frame, length) == 1;
}

bool CExchange::sendNodeInfo(int syncMode, SYSTEMTIME since)
{
    NodeInfoFrame f{};
    const DWORD n = buildNodeInfoFrame(&f, settingText(&CPropatyTandrel::getNodeName),
                                       settingText(&CPropatyTandrel::getPartyName), syncMode, since);
    return queueFrame(&f, n);
}

bool CExchange::owesWholeSync(const std::string& peer) const
{
    return !m_ask.sent && CCatalog::getInstance()->owesWholeSync(peer);
}

void CExchange::sendHello(const std::string& peer, SyncRequest& request)
{
    int mode = 0;
    SYSTEMTIME since{};
    request.take(&mode, &since);
    const bool ask = owesWholeSync(peer);
    if (ask) {
        mode = 1; // all of it, whatever else was asked
        since = SYSTEMTIME{};
    }
    if (sendNodeInfo(mode, since) && ask)
        m_ask = {true, false, peer, m_ledger.pollsSent()};
}

void CExchange::sendSyncPoll()
{
    m_pollWaiting = false;
    if (!m_ledger.mayPoll())
        return;
    // A poll tells the neighbour that this node holds what it was sent: not
    // while records it takes in stay out of catalog.dat, nor before they are
    // on the disk. The wait runs off the main thread; the link answers on.
    if (CCatalog* catalog = CCatalog::existingInstance()) {
        catalog->collectSyncs();
        const std::uint64_t round = m_ledger.roundForNextPoll();
        if (!catalog->storesAtOnce() || !catalog->isSynced(round)) {
            catalog->wantSynced(round);
            m_pollWaiting = true;
            return;
        }
    }
    SyncPollFrame f{};
    if (queueFrame(&f, buildSyncPollFrame(&f)))
        m_ledger.pollSent(Clock::now());
}

void CExchange::onTick()
{
    if (CCatalog* catalog = CCatalog::existingInstance())
        catalog->collectSyncs();
    if (m_pollWaiting)
        sendSyncPoll();
}

bool CExchange::sendPeriodicPoll()
{
    switch (m_ledger.pollDue(Clock::now())) {
    case CLinkLedger::Due::wait:
        return true;
    case CLinkLedger::Due::poll:
        sendSyncPoll();
        return true;
    case CLinkLedger::Due::closeLink:
        break;
    }
    return false;
}

void CExchange::replyCatalog(const char* peerNode, const SyncPollFrame* poll)
{
    if (!poll || !payloadHolds(poll->header, 0))
        return;
    CCatalog* catalog = CCatalog::getInstance();
    m_ledger.pollReceived(m_sendQueue.dequeuedTotal());

    // Zeroed, so that nothing unset is ever handed on, even when none is taken.
    CatalogRecord taken[CCatalog::MAX_TAKE_RECORDS]{};
    static_assert(CCatalog::MAX_TAKE_RECORDS == MAX_RECORDS_PER_FRAME);
    int n = 0;
    std::uint64_t batch = 0;
    if (peerNode && *peerNode)
        n = catalog->takeQueueRecs(peerNode, taken, &batch);
    if (n < 0)
        n = 0;

    // Only the poll's header is echoed, whatever length it claims.
    CatalogRecordsFrame f{};
    const DWORD length = buildCatalogRecordsFrame(&f, *poll, taken, DWORD(n));
    if (queueFrame(&f, length))
        m_ledger.answerQueued(batch, m_sendQueue.enqueuedTotal());
    else
        m_ledger.answerRefused(batch);
}

void CExchange::onCatalogRecords(const CatalogRecordsFrame* frame, const char* fromNode)
{
    if (!frame || frame->header.headerLen != FRAME_HEADER_LEN)
        return;
    CCatalog* catalog = CCatalog::getInstance();
    const bool brought = static_cast<std::int32_t>(frame->header.count) >= 1;
    if (brought)
        applyRecords(frame, fromNode);
    // What it brought is on the disk with the round that takes it there,
    // which begins at once: it runs while the next answer travels.
    const std::uint64_t round = catalog->roundOfWrites();
    m_ledger.answerReceived(round);
    if (brought)
        catalog->wantSynced(round);
    // The n-th answer answers the n-th poll or a later one (an answer that
    // never came only moves the later ones up), so the hello is never
    // taken as through too soon.
    if (m_ledger.answersReceived() > m_ask.pollsBefore && m_ask.sent && !m_ask.confirmed) {
        m_ask.confirmed = true;
        catalog->wholeSyncAsked(fromNode && *fromNode ? fromNode : m_ask.peer);
    }
    if (!brought) {
        if (!isFetching())
            requestNextFile();
        return;
    }
    sendSyncPoll();
}

void CExchange::applyRecords(const CatalogRecordsFrame* frame, const char* fromNode)
{
    // Never more records than the frame may hold and its payload carries.
    const DWORD n = recordsToApply(frame->header);
    CCatalog* catalog = CCatalog::getInstance();
    const char* from = fromNode && *fromNode ? fromNode : m_strPeerNode.c_str();
    for (DWORD i = 0; i < n; ++i) {
        CatalogRecord rec;
        std::memcpy(&rec, &frame->records[i], sizeof rec);
        if (!CCatalog::isCheckSumOk(&rec))
            continue;
        // Names become paths (RECV/<origin>/<file>) and times decide what is
        // kept: the record is checked whole before the catalog sees it.
        if (!CCatalog::isWholeRec(&rec)) {
            std::printf("Error:CExchange::onCatalogRecords() malformed record skipped\n");
            continue;
        }
        switch (rec.state) {
        case CATALOG_STATE_NEW:
            catalog->recvNewRec(&rec, from);
            break;
        case CATALOG_STATE_UPDATED:
            catalog->mergeRec(&rec, from);
            break;
        case CATALOG_STATE_DELETED:
            catalog->recvDeleteRec(&rec, from);
            break;
        default:
            break;
        }
    }
}

void CExchange::requestNextFile()
{
    CatalogRecord rec;
    requestFile(CCatalog::getInstance()->getFirstFetchRec(&rec) == 1 ? &rec : nullptr);
}

void CExchange::requestFileAfter(const CatalogRecord* finished)
{
    CatalogRecord rec = finished ? *finished : CatalogRecord{};
    requestFile(finished && CCatalog::getInstance()->getNextFetchRec(&rec) == 1 ? &rec : nullptr);
}

void CExchange::requestFile(const CatalogRecord* rec)
{
    if (!rec) {
        m_fetch.running = false;
        return;
    }
    FileRequestFrame f{};
    queueFetchRequest(&f, buildFileRequestFrame(&f, *rec));
}

void CExchange::queueFetchRequest(const FileRequestFrame* request, DWORD length)
{
    m_fetch.running = queueFrame(request, length);
    if (!m_fetch.running)
        return;
    m_fetch.rec = request->record;
    m_fetch.offset = request->header.offset;
    m_fetch.since = Clock::now();
}

bool CExchange::isFetching() const
{
    return m_fetch.running && Clock::now() - m_fetch.since < CLinkLedger::stallTime();
}

bool CExchange::answersFetch(const ExchangeHeader& h, const CatalogRecord& rec) const
{
    return m_fetch.running && h.offset == m_fetch.offset && CCatalog::isSameKey(&rec, &m_fetch.rec);
}

void CExchange::sendChunk(const FileRequestFrame* request, unsigned chunkLimit)
{
    if (!request || !payloadHolds(request->header, FILE_REQUEST_DATA_LEN))
        return;
    // The answer is built from the request's header and record only, so a
    // request that claims a longer payload copies nothing more.
    FileChunkFrame f{};
    beginFileChunkFrame(&f, *request);
    const DWORD limit = chunkLimit < CHUNK_LIMIT_TCP ? chunkLimit : CHUNK_LIMIT_TCP;
    const DWORD n = CCatalog::getInstance()->readFileData(request->header.offset, limit, &f.record, f.data);
    queueFrame(&f, finishFileChunkFrame(&f, n <= limit ? n : 0));
}

bool CExchange::storeChunk(const FileChunkFrame* chunk, const CatalogRecord& rec)
{
    const ExchangeHeader& h = chunk->header;
    if (h.length == 0)
        return false;
    CCatalog* catalog = CCatalog::getInstance();
    // Only the chunk that starts at the first byte still missing is stored.
    CatalogRecord stored;
    const std::string file(cp932::fieldText(rec.findData.cFileName, MAX_PATH));
    const std::string node(cp932::fieldText(rec.originNode, CATALOG_NAME_LEN));
    if (!catalog->findRec(file.c_str(), node.c_str(), &stored) || stored.heldBytes != h.offset)
        return false;
    return catalog->writeFileData(h.offset, h.length, &rec, chunk->data) == 1;
}

void CExchange::onChunk(FileChunkFrame* chunk)
{
    if (!chunk || !payloadHolds(chunk->header, CATALOG_RECORD_SIZE))
        return;
    const ExchangeHeader& h = chunk->header;
    // The length must be what the payload carries, and no chunk is larger
    // than the largest any carrier sends.
    if (h.length != DWORD(h.dataLen) - CATALOG_RECORD_SIZE || h.length > CHUNK_LIMIT_TCP)
        return;
    const CatalogRecord rec = chunk->record;
    // Only the answer the chain awaits moves it on, or any chunk while no
    // chain runs: a late answer to a chain that stalled and was started
    // again would make a second chain.
    const bool chainAnswer = answersFetch(h, rec) || !isFetching();
    const bool more = storeChunk(chunk, rec);
    if (!chainAnswer)
        return;
    // The frame becomes the request for the bytes after it; when those would
    // lie beyond 4 GiB the file cannot go on and the next one is asked for.
    const DWORD n = more ? chunkToNextRequest(chunk) : 0;
    if (n == 0) {
        requestFileAfter(&rec);
        return;
    }
    queueFetchRequest(reinterpret_cast<const FileRequestFrame*>(chunk), n);
}

int CExchange::onNodeInfo(const NodeInfoFrame* frame, int viaTcp, const char* key, int* partyFlag,
                          const char* linkPeer)
{
    int result = 0;
    if (partyFlag)
        *partyFlag = 0;
    if (!frame || !payloadHolds(frame->header, NODEINFO_DATA_LEN))
        return 0;

    const std::string_view framePartyName = cp932::fieldText(frame->partyName, sizeof frame->partyName);
    if (framePartyName != settingText(&CPropatyTandrel::getPartyName))
        return 0;
    if (partyFlag)
        *partyFlag = 1;

    const std::string announced(cp932::fieldText(frame->nodeName, sizeof frame->nodeName));
    const bool nameOk = CCatalog::isUsableNodeName(announced);
    if (!nameOk)
        std::printf("Error:CExchange::onNodeInfo() hello with an unusable node name\n");

    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    if (nameOk && settings && frame->nodeFlags == 0 && viaTcp == 0) {
        const char* contact = key ? key : "";
        std::string recorded;
        settings->findRecName(recorded, 0, contact);
        if (!recorded.empty()) {
            // A contact is not the neighbour of another row, whatever its
            // node calls itself: that neighbour's entries are not its.
            if (settings->otherRowNamed(announced, 0, contact) >= 0)
                return NAME_OF_ANOTHER_ROW;
            m_strPeerNode = announced;
            if (recorded != announced) {
                settings->renameRecName(0, contact, recorded.c_str(), announced.c_str());
                // A row typed with another row's name shares that
                // neighbour's queue: it stays that neighbour's.
                if (settings->otherRowNamed(recorded, 0, contact) < 0)
                    CCatalog::getInstance()->renameQueue(recorded.c_str(), announced.c_str());
                result = 1;
            }
        }
    }

    if (frame->syncMode != 0) {
        // A link that its carrier has already identified keeps that name:
        // a later hello cannot redirect the catalog to another queue.
        const std::string peer = linkPeer && *linkPeer ? std::string(linkPeer) : announced;
        if (CCatalog::isUsableNodeName(peer))
            CCatalog::getInstance()->syncTo(peer.c_str(), static_cast<int>(frame->syncMode),
                                            frame->syncSince);
    }
    return result;
}

