#include "store/events.h"

#include <cstring>

ZQ_EVENTCATALOG* ZQ_EVENTCATALOG::s_instance = nullptr;
ZQ_EVENTLOG* ZQ_EVENTLOG::s_instance = nullptr;

ZQ_EVENTCATALOG::ZQ_EVENTCATALOG()
{
    static_assert(sizeof m_name == sizeof "ZQ_EVENTCATALOG");
    std::memcpy(m_name, "ZQ_EVENTCATALOG", sizeof m_name);
}

ZQ_EVENTCATALOG* ZQ_EVENTCATALOG::getInstance()
{
    if (!s_instance)
        s_instance = new ZQ_EVENTCATALOG();
    return s_instance;
}

void ZQ_EVENTCATALOG::destroyInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

void ZQ_EVENTCATALOG::addListener(ZQ_EVENTCATALOGLISTENER* listener)
{
    platform::CMutexLock lock(m_mutex);
    m_listeners.push_back(listener);
}

// The list is indexed afresh on every pass: a listener may add another one
// (or fire again) from inside its call, on this same thread, which the
// recursive lock lets through.
void ZQ_EVENTCATALOG::fireRecord(const CatalogRecord* rec)
{
    platform::CMutexLock lock(m_mutex);
    for (std::size_t k = 0; k < m_listeners.size(); ++k)
        m_listeners[k]->onRecord(rec);
}

void ZQ_EVENTCATALOG::fireRecordAt(int index, const CatalogRecord* rec)
{
    platform::CMutexLock lock(m_mutex);
    for (std::size_t k = 0; k < m_listeners.size(); ++k)
        m_listeners[k]->onRecordAt(index, rec);
}

void ZQ_EVENTCATALOG::fireReset()
{
    platform::CMutexLock lock(m_mutex);
    for (std::size_t k = 0; k < m_listeners.size(); ++k)
        m_listeners[k]->onReset();
}

ZQ_EVENTLOG::ZQ_EVENTLOG()
{
    static_assert(sizeof m_name == sizeof "ZQ_EVENTLOG");
    std::memcpy(m_name, "ZQ_EVENTLOG", sizeof m_name);
}

ZQ_EVENTLOG* ZQ_EVENTLOG::getInstance()
{
    if (!s_instance)
        s_instance = new ZQ_EVENTLOG();
    return s_instance;
}

void ZQ_EVENTLOG::destroyInstance()
{
    delete s_instance;
    s_instance = nullptr;
}

void ZQ_EVENTLOG::addListener(ZQ_EVENTLOGLISTENER* listener)
{
    platform::CMutexLock lock(m_mutex);
    m_listeners.push_back(listener);
}
