// The listener interfaces of the transports: what the transport facade tells
// the main window (CTransferListener), what a connection model tells the
// facade (CA2AModelListener) and what the contact model tells it
// (MODELLISTENER). Listeners are plain pointers in lists, called in the order
// they were added and never removed or deleted by the caller.
#pragma once

#include "store/catalog_record.h"

class CTransferListener {
public:
    // A log event of the change broadcaster.
    virtual void onEventLog(int a, int b)
    {
        (void)a;
        (void)b;
    }
    // A record was added to the catalog (or is announced again after a clear).
    virtual void onCatalogAdd(const CatalogRecord* rec) { (void)rec; }
    // The catalog record at that row changed.
    virtual void onCatalogUpdate(int row, const CatalogRecord* rec)
    {
        (void)row;
        (void)rec;
    }
    // The catalog list was rebuilt; every record follows again.
    virtual void onCatalogClear() {}
    // The messaging client's link status changed.
    virtual void onSkypeStateChanged() {}
    // The messaging client's contact list changed.
    virtual void onModelChanged() {}
    virtual void onReserved() {}
    // A connection model's set of connections changed.
    virtual void onConnectionsChanged() {}
    // Right after every onConnectionsChanged: 1 while any connection row is
    // connected, else 0.
    virtual void onConnectedChanged(int anyConnected) = 0;
    virtual ~CTransferListener() = default;
};

class CA2AModelListener {
public:
    // A connection was added to or removed from the model.
    virtual void onConnectionsChanged() = 0;
    virtual ~CA2AModelListener() = default;
};

class MODELLISTENER {
public:
    // The contact list was rebuilt or emptied.
    virtual void onModelChanged() {}
    virtual ~MODELLISTENER() = default;
};
