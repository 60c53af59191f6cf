// Change broadcasters. The catalog announces every change of its record list
// through ZQ_EVENTCATALOG; ZQ_EVENTLOG exists for log events that nothing
// sends yet. Listeners are held as plain pointers, called in the order of
// subscription, and never removed.
#pragma once

#include <vector>

#include "platform/mutex.h"
#include "store/catalog_record.h"

class ZQ_EVENTCATALOGLISTENER {
public:
    virtual ~ZQ_EVENTCATALOGLISTENER() = default;
    // A record was added to the list, or is announced again after a reset.
    virtual void onRecord(const CatalogRecord* rec) { (void)rec; }
    // The record at position index of the catalog's list has changed.
    virtual void onRecordAt(int index, const CatalogRecord* rec) { (void)index; (void)rec; }
    // The list was rebuilt; every remaining record is announced again.
    virtual void onReset() {}
};

class ZQ_EVENTLOGLISTENER {
public:
    virtual ~ZQ_EVENTLOGLISTENER() = default;
    virtual void onEvent(int a, int b) { (void)a; (void)b; }
};

class ZQ_EVENTCATALOG {
public:
    static ZQ_EVENTCATALOG* getInstance();
    static void destroyInstance();

    void addListener(ZQ_EVENTCATALOGLISTENER* listener);
    void fireRecord(const CatalogRecord* rec);
    void fireRecordAt(int index, const CatalogRecord* rec);
    void fireReset();

private:
    ZQ_EVENTCATALOG();
    char m_name[16];
    platform::CRecursiveMutex m_mutex;
    std::vector<ZQ_EVENTCATALOGLISTENER*> m_listeners;
    static ZQ_EVENTCATALOG* s_instance;
};

class ZQ_EVENTLOG {
public:
    static ZQ_EVENTLOG* getInstance();
    static void destroyInstance();

    void addListener(ZQ_EVENTLOGLISTENER* listener);

private:
    ZQ_EVENTLOG();
    char m_name[12];
    platform::CRecursiveMutex m_mutex;
    std::vector<ZQ_EVENTLOGLISTENER*> m_listeners;
    static ZQ_EVENTLOG* s_instance;
};
