// The node's one TCP connection model: it listens for incoming links, opens
// outgoing links to configured neighbours, identifies every new link by the
// node name of its first hello (a "TCP" connection row of that name), and
// keeps the links in two lists: pending (not yet identified) and
// established. It drives every link's 50 ms tick and closes links by name,
// on a link's error, on the peer's close and when a link stays silent.
//
// A link closed from inside one of its own calls leaves the lists at once
// and is destroyed only after that call has returned.
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/qt/main_thread.h"
#include "platform/qt/timer.h"
#include "platform/wintypes.h"
#include "protocol/transfer_listeners.h"
#include "tcp/tcp_sock_stream.h"

class CTcpA2AModel : public CTcpSockStreamParent {
public:
    static constexpr int TICK_MS = 50;
    // Accepted links that have not identified themselves yet, at most; a
    // further one closes the one that has waited longest.
    static constexpr int MAX_UNIDENTIFIED_ACCEPTED = 16;
    // A link that has not identified itself within this time is closed.
    static constexpr std::chrono::milliseconds PENDING_TIMEOUT{60000};
    // An established link that has received nothing for this long is closed
    // (peers say hello every 20 s).
    static constexpr std::chrono::milliseconds IDLE_TIMEOUT{120000};

    // The model, made on first use (its timer starts then).
    static CTcpA2AModel* getInstance();
    // Destroys the model with every link.
    static void releaseInstance();

    void addListener(CA2AModelListener* listener);
    void setOwnerWnd(HWND owner) { m_hOwner = owner; }

    // Listens on the settings' listen port: 1 listening (or already
    // listening), 0 failed (with a console line).
    int startListen();
    // The socket error of the last failed startListen, 0 after a good one.
    int lastListenError() const { return m_listenError; }
    // Stops listening and closes every pending link; established links stay.
    void stopListen();
    bool isListening() const;

    // Links are found by node name alone; the address is passed along only.
    void connect(const char* name, const char* address, UINT port);
    void disconnect(const char* name, const char* address);
    int isConnected(const char* name, const char* address);
    void requestSync(const char* name, const char* address, int mode, SYSTEMTIME since);

    void notifyOnAccept(int id) override;
    void notifyOnConnect(int id) override;
    void notifyOnClose(int id) override;
    void notifyOnError(int id, int err) override;
    void notifyOnIdentify(int id, const std::string& peerName) override;

    // The 50 ms tick: every listed link once, established ones first, then
    // the time limits.
    static void onTimerProc();

    // For tests: other time limits.
    static void setTimeouts(std::chrono::milliseconds pending, std::chrono::milliseconds idle);

    const std::vector<CTcpSockStream*>& established() const { return m_established; }
    const std::vector<CTcpSockStream*>& pending() const { return m_pending; }

private:
    CTcpA2AModel();
    ~CTcpA2AModel() override;
    CTcpA2AModel(const CTcpA2AModel&) = delete;
    CTcpA2AModel& operator=(const CTcpA2AModel&) = delete;

    CTcpSockStream* findEstablished(const std::string& name) const;
    CTcpSockStream* findPending(const std::string& name) const;
    CTcpSockStream* findPendingById(int id) const;
    CTcpSockStream* findEstablishedById(int id) const;
    // Of two links to one node, one opened by each side, the one opened by
    // the node with the smaller name is kept on both ends.
    static bool prefersNewLink(const CTcpSockStream& fresh, const CTcpSockStream& old,
                               const std::string& peerName);
    void addEstablished(CTcpSockStream* stream);
    // Posts, once per row name, that a link dialled for the row was
    // answered by a node of another name.
    void sayNameMismatch(const std::string& rowName, const std::string& peerName);
    void closeEstablishedById(int id);
    void closeNode(const std::string& name);
    // Takes the stream out of its list, closes it and destroys it once the
    // current call has returned. Losing an established link is posted to
    // the listeners unless `quiet`.
    void closeStream(CTcpSockStream* stream, bool quiet = false);
    void reap();
    void fireConnectionsChanged();
    void postConnectionsChanged();
    void tick();
    void checkTimeouts();

    std::vector<CTcpSockStream*> m_established;
    std::vector<CTcpSockStream*> m_pending;
    HWND m_hOwner = nullptr;
    platform::CTimer m_timer;
    std::vector<CA2AModelListener*> m_listeners;
    CTcpSockStream m_listen;
    std::vector<CTcpSockStream*> m_closed;    // closed, not yet destroyed
    std::vector<CTcpSockStream*> m_tickList;  // the links of one tick
    bool m_reapPosted = false;
    bool m_changePosted = false;
    int m_listenError = 0;
    std::set<std::string> m_mismatchSaid; // row names whose mismatch was said
    platform::CDeferredCalls m_calls;

    static CTcpA2AModel* s_instance;
    static DWORD s_lastId;
    static std::chrono::milliseconds s_pendingTimeout;
    static std::chrono::milliseconds s_idleTimeout;
};
