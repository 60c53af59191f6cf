// The transport facade: the one object through which the main window
// reaches both transports. Every operation on a connection row goes to the
// transport the row names ("SKYPE" or "TCP", compared exactly); the events of
// the transports and of the catalog go on to the facade's own listeners (the
// main window).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/wintypes.h"
#include "protocol/transfer_listeners.h"
#include "store/events.h"
#include "skype/skype_com.h"
#include "transport/skype_null.h"

class CTcpA2AModel;

class CTransfer : public ZQ_SKYPECOMUSER,
                  public MODELLISTENER,
                  public CA2AModelListener,
                  public ZQ_EVENTLOGLISTENER,
                  public ZQ_EVENTCATALOGLISTENER {
public:
    // Subscribes to the catalog and log broadcasters at once.
    CTransfer();
    ~CTransfer() override;
    CTransfer(const CTransfer&) = delete;
    CTransfer& operator=(const CTransfer&) = delete;

    void addListener(CTransferListener* listener);
    // Starts the transports for the main window: the messaging-client link
    // (unless a side was set) and the TCP model (whose 50 ms tick starts
    // here).
    void initialize(HWND window);
    void changeParty(const char* partyName);
    // Going online: listens for TCP links (not with "-CLIENT"). Does nothing
    // while listening; after a failed listen the next call tries again, so
    // the main window calls it on each online connect pass.
    void startListen();
    // Going offline: stops listening and closes links not yet identified.
    void stopListen();
    // Releases the transports and the broadcasters; a second call finds
    // nothing left.
    void release();

    int getSkypeStatus();
    int getContactCount();
    const CONTACT* getContact(int i);
    std::string getSkypeId();
    // Whether a Skype ID can stand in the messaging client's commands: the
    // connection dialog takes no other.
    static bool isUsableSkypeId(const std::string& id);

    // Row operations, by connection row index.
    int isConnected(int i);
    int isReachable(int i);
    void connect(int i);
    void disconnect(int i);
    void requestSync(int i, int mode, SYSTEMTIME since);

    // The messaging client's link status changed.
    void onStatus(int status) override;

    void onModelChanged() override;
    void onConnectionsChanged() override;
    void onEvent(int a, int b) override;
    void onRecord(const CatalogRecord* rec) override;
    void onRecordAt(int index, const CatalogRecord* rec) override;
    void onReset() override;

    // 1 while TCP listening stands (or is switched on with "-CLIENT").
    int isListening() const { return m_listening; }
    // The messaging-client link (not owned); null puts the null side back.
    void setSkypeSide(CSkypeSide* side);

private:
    enum class Carrier { None, Skype, Tcp };
    static Carrier carrierOf(int i);
    // A TCP row is dialled only at the host and port its HOSTNAME names:
    // one the settings could not use (said at start, such as "host:port"
    // or a port beyond 65535) is never dialled, so the node never reaches
    // for another port or host than the user wrote. Every dial of a row
    // goes through connect, which asks this.
    static bool isDiallableTcpRow(int i);
    int tryListen();
    // Said once until listening stands again: the port, why, and that the
    // node keeps trying.
    static void sayListenFailure(int port, int error);

    int m_listening = 0;   // listening stands
    int m_listenAsked = 0; // online: listening was asked for
    bool m_listenFailureSaid = false;
    CSkypeSide* m_pSkype;
    std::unique_ptr<CSkypeSide> m_ownSkype; // the link made by initialize
    CTcpA2AModel* m_pTcpModel = nullptr;
    std::vector<CTransferListener*> m_listeners;
};
