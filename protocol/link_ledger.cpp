#include "protocol/link_ledger.h"

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

void CLinkLedger::answerReceived()
{
    // More answers than polls come only from a neighbour that answers
    // unasked: they vouch for nothing, and must not open room for more
    // polls than are allowed.
    if (m_answersReceived < m_pollsSent)
        ++m_answersReceived;
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
