// The per-link protocol engine. Every link to a neighbour (a TCP stream or
// a messaging-client stream) holds one. The engine builds outgoing frames into
// its send queue, which the carrier drains, and handles the frames that the
// carrier has received and checked (checkFrame) by calling the catalog. It
// knows nothing of sockets.
//
// Received frames are passed whole, header first, from an aligned buffer.
// The engine never reads beyond headerLen + dataLen bytes of a frame, and
// drops a frame whose header is not 48 bytes or whose payload is too short
// for what it handles.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wintypes.h"
#include "protocol/frames.h"
#include "protocol/link_ledger.h"
#include "protocol/que.h"

class CExchange {
public:
    CExchange();
    virtual ~CExchange();
    CExchange(const CExchange&) = delete;
    CExchange& operator=(const CExchange&) = delete;

    // Queues a hello carrying the sync request (mode 0 and a zero date for
    // none); false when the queue refused it.
    bool sendNodeInfo(int syncMode, SYSTEMTIME since);
    // Queues the link's hello to its neighbour `peer` (the name the link
    // knows it by, "" while it is not known) with the link's sync request,
    // which it takes. When this node owes that neighbour a request for its
    // whole catalog (CCatalog::owesWholeSync), the hello asks for all of it
    // instead, once per link. The neighbour counts as asked when the answer
    // to a poll queued after that hello comes back: a link delivers in
    // order, and the neighbour handles the hello before it answers the
    // poll. A link that goes first leaves it to the next link to ask.
    void sendHello(const std::string& peer, SyncRequest& request);
    // Whether a hello on this link is still to ask `peer` for its whole
    // catalog.
    bool owesWholeSync(const std::string& peer) const;
    // Queues a catalog poll, which tells the neighbour that this node holds
    // every answer it received before the previous poll: so only while the
    // link allows one (see CLinkLedger) and once what those brought is on
    // the disk. A poll that waits for the disk alone (a sync under way, a
    // full disk, a file to be written again) goes from onTick once it may.
    void sendSyncPoll();
    // The carrier's tick: takes back the catalog's finished syncs, and sends
    // the poll that waited for them.
    void onTick();
    // Whether a poll waits for what came to reach the disk.
    bool pollWaiting() const { return m_pollWaiting; }
    // The carrier's periodic poll: queued unless a poll of this link still
    // waits for its answer, so that one poll chain runs per link; a wait
    // that has lasted the stall time counts as lost, and one more poll goes.
    // False when that one too has waited the stall time and nothing has
    // arrived on the link for as long (see arrived): the link is stuck, and
    // the carrier closes it, so that both sides release what is in flight
    // and a new link starts afresh.
    bool sendPeriodicPoll();
    // The carrier tells of everything that arrives on the link (a frame
    // that passed its checks, or bytes of one): a link that keeps
    // delivering is slow, not stuck.
    void arrived() { m_ledger.arrived(Clock::now()); }
    // Answers a poll with the records waiting for peerNode (at most 11).
    // Records stay in flight until the neighbour is known to hold them (see
    // CLinkLedger). When the answer cannot be queued, its records wait again
    // at once.
    void replyCatalog(const char* peerNode, const SyncPollFrame* poll);
    // Applies a received records frame (count < 1: starts fetching files and
    // sends no poll). At most min(count, 11, dataLen / 820) records are
    // applied; records with a bad checksum or that fail the whole-record
    // check are skipped. fromNode names the neighbour (the peer's node name
    // when not given). Then polls again.
    void onCatalogRecords(const CatalogRecordsFrame* frame, const char* fromNode = nullptr);
    // Asks for the first incomplete file of another node; nothing when none.
    void requestNextFile();
    // Asks for the next incomplete file after `finished`; nothing when none.
    void requestFileAfter(const CatalogRecord* finished);
    // Whether the link's fetch chain runs: a request of it waits for its
    // answer and has not waited longer than the stall time. A link has at
    // most one chain (each further one would ask for the same chunks): an
    // empty records frame starts fetching only while this is false.
    bool isFetching() const;
    // Answers a file request with a chunk of at most chunkLimit bytes (never
    // more than CHUNK_LIMIT_TCP); length 0 when this node holds no whole copy.
    void sendChunk(const FileRequestFrame* request, unsigned chunkLimit);
    // Stores a received chunk and, when it answers the request the fetch
    // chain awaits or no chain runs, asks for the next one; the frame buffer
    // is reused for that request. A chunk whose length is not dataLen - 820
    // is dropped. Length 0, an offset other than the bytes held, a refused
    // or final chunk, or a next offset beyond 32 bits: the next file is
    // asked for instead. Any other chunk (a late answer to a chain that
    // stalled and was started again) is stored when it fits and asks for
    // nothing.
    void onChunk(FileChunkFrame* chunk);
    // Handles a hello: 1 when a connection row took the announced name. The
    // party flag is set to 1 when the hello's party is the node's own. An
    // announced name that is no plain path component (or is "catalog") is
    // neither taken by a row nor synchronised to. Over the messaging client
    // (viaTcp 0) a contact whose node announces the name another row's
    // neighbour bears is refused: NAME_OF_ANOTHER_ROW, with nothing renamed,
    // no queue moved and nothing synchronised, and the carrier closes the
    // stream. Nor does a queue move away from a name another row bears.
    // linkPeer, when given (a TCP link identified by its first hello), is the
    // name under which a sync request is queued, whatever a later hello says.
    int onNodeInfo(const NodeInfoFrame* frame, int viaTcp, const char* key, int* partyFlag,
                   const char* linkPeer = nullptr);
    static constexpr int NAME_OF_ANOTHER_ROW = -1;
    std::string getPeerNode() const { return m_strPeerNode; }

    // The link goes (closed, failed, dropped): the records of its answers
    // not known to be held wait again, to be sent over a later link. The
    // destructor does the same.
    void releaseAnswers() { m_ledger.release(); }
    // Answers whose records are still in flight.
    std::size_t answersInFlight() const { return m_ledger.answersInFlight(); }

    ZQ_QUE& sendQueue() { return m_sendQueue; }

    // How long a poll or a fetch request of the link may go unanswered
    // before it counts as lost (a frame dropped, an answer that never
    // came): the periodic poll then goes regardless, and the next empty
    // answer to a poll starts the fetch chain again.
    static constexpr std::chrono::milliseconds STALL_TIME = CLinkLedger::STALL_TIME;
    // For tests: another stall time.
    static void setStallTime(std::chrono::milliseconds t) { CLinkLedger::setStallTime(t); }

private:
    using Clock = std::chrono::steady_clock;

    // Queues a finished frame; false when the queue refused it.
    bool queueFrame(const void* frame, DWORD length);
    // Stores the records of an answer in the catalog.
    void applyRecords(const CatalogRecordsFrame* frame, const char* fromNode);
    // Asks for the file of rec; null: nothing is left to fetch, and the
    // chain stops.
    void requestFile(const CatalogRecord* rec);
    // Queues a request of the fetch chain, which then awaits its answer; a
    // request the queue refuses ends the chain.
    void queueFetchRequest(const FileRequestFrame* request, DWORD length);
    // Whether a chunk answers the request the fetch chain awaits.
    bool answersFetch(const ExchangeHeader& h, const CatalogRecord& rec) const;
    // Stores a chunk when the catalog takes it; true when more of the file
    // is wanted after it.
    static bool storeChunk(const FileChunkFrame* chunk, const CatalogRecord& rec);

    std::string m_strPeerNode;
    ZQ_QUE m_sendQueue;
    // The request the link's fetch chain awaits: the file's record and the
    // offset asked for, and when it was queued.
    struct FetchWait {
        bool running = false;
        CatalogRecord rec{};
        DWORD offset = 0;
        Clock::time_point since{};
    } m_fetch;

    // The polls and answers of this link, both ways.
    CLinkLedger m_ledger;
    bool m_pollWaiting = false;
    // The hello that asked for the neighbour's whole catalog: the polls
    // queued before it.
    struct WholeSyncAsk {
        bool sent = false;
        bool confirmed = false;
        std::string peer;
        std::uint64_t pollsBefore = 0;
    } m_ask;
};
