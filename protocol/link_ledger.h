// One link's account of the catalog polls and answers crossing it, both
// ways, and the one rule by which an entry leaves a neighbour's queue: the
// sent mark is written only for an answer the neighbour is known to hold on
// its disk. The engine and the carriers only tell it what happened.
//
// Why a poll vouches for the answers before the previous poll:
// - A link delivers its frames whole and in order, or breaks: each frame
//   carries the next sequence number, so a frame lost or dropped on the way
//   fails the check of the next one and the link closes.
// - A node sends a poll only while at most one poll of the link is
//   unanswered (mayPoll, pollDue), and poll k only once what its first
//   k - 2 answers brought is on its disk. The catalog puts what it writes
//   on the disk in sync rounds, off the main thread: each answer is noted
//   with the round whose end puts what it brought on the disk
//   (answerReceived, from CCatalog::roundOfWrites, which grows in the order
//   the answers are applied), and the poll waits until the round of its
//   (k - 2)-th answer is synced (roundForNextPoll, CCatalog::isSynced). So
//   before it sends poll k it had received at least k - 2 answers, which
//   (answers coming in order, a refused answer only moving the later ones
//   up) are all the answers sent to its polls 1 to k - 2, and those are on
//   its disk. The last answer, to poll k - 1, may still be on its way to
//   the disk: poll k does not vouch for it, and its sync runs while the
//   next answer travels.
// - So when poll k arrives, every answer to polls 1 to k - 2 is held, and
//   those are confirmed (pollReceived), but never one that is still in this
//   node's send queue: that one has plainly not arrived. Anything else stays
//   in flight until a later poll or the link's end, when it waits again
//   (release).
// The rule rests on the cap of two polls, not on closing links: a link may
// be as slow as it likes. What the close is for is a link that has died
// without breaking (a connection nobody answers on, a client that stopped
// delivering): when the one extra poll allowed has waited the stall time
// too and nothing at all has arrived on the link for that long, the link is
// to be closed and opened again (pollDue says so), which releases what
// either side has in flight for a new link to carry. A link whose frames
// keep arriving is kept however late its answers come: its neighbour is
// there, what is in flight stays in flight (no more polls go, nothing is
// confirmed that has not arrived), and closing it would only throw away
// what is under way (with answers 20 s late, before the first file could
// cross). Nor is a neighbour closed whose own polls wait for its disk while
// it answers and says hello.
//
// The rule assumes the neighbour keeps those two promises, as nodes of this
// build do. A neighbour that polls whatever it awaits (an older build) can
// have three or more polls on their way; a poll of it then can confirm an
// answer it has not received, and an entry is lost when the link breaks
// before that answer arrives. Such a neighbour loses no more with this node
// than among its own kind, which marks entries sent when it takes them.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

class CLinkLedger {
public:
    using Clock = std::chrono::steady_clock;

    CLinkLedger() = default;
    ~CLinkLedger();
    CLinkLedger(const CLinkLedger&) = delete;
    CLinkLedger& operator=(const CLinkLedger&) = delete;

    // --- This node's polls and the neighbour's answers. ---

    // Whether a poll may go now in the chain (after an answer was applied):
    // at most one other poll of the link is unanswered.
    bool mayPoll() const { return unanswered() <= 1; }
    // What the periodic poll should do now: go when nothing is awaited, or
    // when the one poll awaited has waited the stall time; wait otherwise;
    // and when the extra poll too has waited that long and nothing has
    // arrived on the link for as long, the link is stuck and is to be
    // closed.
    enum class Due { wait, poll, closeLink };
    Due pollDue(Clock::time_point now) const;
    // Something arrived on the link: a frame, or bytes of one.
    void arrived(Clock::time_point now) { m_lastArrivalAt = now; }
    // A poll was queued to go.
    void pollSent(Clock::time_point now);
    // An answer to one of this link's polls arrived (whatever it carried);
    // what it brought is on the disk once the catalog's sync round
    // `syncRound` is synced.
    void answerReceived(std::uint64_t syncRound = 0);
    // The sync round a poll sent now waits for: that of the answer to the
    // poll before the last one sent (0: none).
    std::uint64_t roundForNextPoll() const;
    // Polls queued and answers received on this link so far.
    std::uint64_t pollsSent() const { return m_pollsSent; }
    std::uint64_t answersReceived() const { return m_answersReceived; }
    // Polls of this link whose answer has not come.
    std::uint64_t unanswered() const { return m_pollsSent - m_answersReceived; }

    // --- The neighbour's polls and this node's answers. ---

    // A poll of the neighbour arrived while the link's send queue had
    // handed out `framesLeft` frames: the answers it vouches for are
    // confirmed in the catalog (their entries marked sent).
    void pollReceived(std::uint64_t framesLeft);
    // The answer to the last poll received went into the send queue as its
    // `frame`-th frame, with the catalog's batch of entries (0: it carried
    // none).
    void answerQueued(std::uint64_t batch, std::uint64_t frame);
    // The answer could not be queued: its entries wait again at once.
    void answerRefused(std::uint64_t batch);
    // The link goes (closed, failed, dropped, or the end): every answer not
    // confirmed waits again in its queue, to go over a later link.
    void release();
    // Answers whose entries are in flight.
    std::size_t answersInFlight() const { return m_answers.size(); }

    // How long a poll may go unanswered before it counts as lost.
    static constexpr std::chrono::milliseconds STALL_TIME{30000};
    static std::chrono::milliseconds stallTime() { return s_stallTime; }
    // For tests: another stall time.
    static void setStallTime(std::chrono::milliseconds t) { s_stallTime = t; }

private:
    struct Answer {
        std::uint64_t batch;
        std::uint64_t poll; // the number of the poll it answered, from 1
        std::uint64_t frame; // its number among the frames the queue took
    };
    std::deque<Answer> m_answers;
    std::uint64_t m_pollsReceived = 0;
    std::uint64_t m_pollsSent = 0;
    std::uint64_t m_answersReceived = 0;
    // The sync rounds of the last answer received and of the one before.
    std::uint64_t m_roundOfLast = 0;
    std::uint64_t m_roundBeforeLast = 0;
    Clock::time_point m_lastPollAt{};
    Clock::time_point m_lastArrivalAt{};

    static std::chrono::milliseconds s_stallTime;
};
