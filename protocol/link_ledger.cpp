#include "protocol/link_ledger.h"

#include <algorithm>

#include "store/catalog.h"

std::chrono::milliseconds CLinkLedger::s_stallTime = CLinkLedger::STALL_TIME;

CLinkLedger::~CLinkLedger()
{
    release();
}

CLinkLedger::Due CLinkLedger::pollDue(Clock::time_point now) const
{
    if (unanswered() == 0)
        return Due::poll;
    if (now - m_lastPollAt < s_stallTime)
        return Due::wait;
    if (unanswered() == 1)
        return Due::poll;
    // Two on their way: no more goes, and the link is given up only once
    // it has gone silent.
    return now - m_lastArrivalAt < s_stallTime ? Due::wait : Due::closeLink;
}

void CLinkLedger::pollSent(Clock::time_point now)
{
    ++m_pollsSent;
    m_lastPollAt = now;
}

void CLinkLedger::answerReceived(std::uint64_t syncRound)
{
    // More answers than polls come only from a neighbour that answers
    // unasked: they vouch for nothing, and must not open room for more
    // polls than are allowed.
    if (m_answersReceived >= m_pollsSent)
        return;
    ++m_answersReceived;
    m_roundBeforeLast = m_roundOfLast;
    m_roundOfLast = std::max(m_roundOfLast, syncRound);
}

std::uint64_t CLinkLedger::roundForNextPoll() const
{
    // Poll k = pollsSent + 1 vouches for the first k - 2 answers; while at
    // most one poll is unanswered, the (k - 2)-th is the last answer or the
    // one before it.
    if (m_pollsSent < 2)
        return 0;
    return m_pollsSent - 1 < m_answersReceived ? m_roundBeforeLast : m_roundOfLast;
}

void CLinkLedger::pollReceived(std::uint64_t framesLeft)
{
    ++m_pollsReceived;
    CCatalog* catalog = CCatalog::getInstance();
    while (!m_answers.empty() && m_answers.front().poll + 2 <= m_pollsReceived
           && m_answers.front().frame <= framesLeft) {
        catalog->confirmQueueRecs(m_answers.front().batch);
        m_answers.pop_front();
    }
}

void CLinkLedger::answerQueued(std::uint64_t batch, std::uint64_t frame)
{
    if (batch != 0)
        m_answers.push_back({batch, m_pollsReceived, frame});
}

void CLinkLedger::answerRefused(std::uint64_t batch)
{
    if (batch == 0)
        return;
    if (CCatalog* catalog = CCatalog::existingInstance())
        catalog->releaseQueueRecs(batch);
}

void CLinkLedger::release()
{
    // Never makes a catalog: a link may outlive the one it answered from.
    if (CCatalog* catalog = CCatalog::existingInstance()) {
        for (const Answer& a : m_answers)
            catalog->releaseQueueRecs(a.batch);
    }
    m_answers.clear();
}
