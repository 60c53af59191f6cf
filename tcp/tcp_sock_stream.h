// One TCP link to a neighbour node: an asynchronous socket that carries node
// frames back to back. The stream cuts the bytes it receives into frames,
// checks and dispatches them to its protocol engine after the receive event
// has returned, and sends what the engine queues, one frame per 50 ms tick
// (a frame that received frames bring goes at once when its tick's frame
// has not gone).
// It reports every socket event and failure to its parent (the connection
// model), which alone closes and destroys streams.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/qt/async_socket.h"
#include "platform/qt/main_thread.h"
#include "platform/wintypes.h"
#include "protocol/exchange.h"
#include "protocol/frame_check.h"
#include "protocol/frames.h"
#include "protocol/que.h"

// What a stream reports to its model.
class CTcpSockStreamParent {
public:
    virtual void notifyOnAccept(int id) = 0;
    virtual void notifyOnConnect(int id) = 0;
    virtual void notifyOnClose(int id) = 0;
    virtual void notifyOnError(int id, int err) = 0;
    // A hello arrived on a link not yet identified; peerName is the node
    // name it announces (CP932).
    virtual void notifyOnIdentify(int id, const std::string& peerName) = 0;
    virtual ~CTcpSockStreamParent() = default;
};

class CTcpSockStream : public CAsyncSocket {
public:
    using Clock = std::chrono::steady_clock;

    enum State {
        STATE_NEW = 0,
        STATE_CONNECTING = 1, // outgoing connect under way
        STATE_CONNECTED = 2,  // connected, peer not yet identified
        STATE_IDENTIFIED = 3, // the peer's hello named a configured neighbour
        STATE_CLOSED = 4,     // closed by the model; waits to be destroyed
    };

    // The hello and poll go out when the tick counter has passed this value:
    // every HELLO_TICKS + 1 ticks of 50 ms (20.05 s).
    static constexpr unsigned HELLO_TICKS = 400;
    // The periodic hello waits while fewer send-queue slots than this are free.
    static constexpr int HELLO_MIN_FREE = 15;

    CTcpSockStream();
    ~CTcpSockStream() override;

    void setOwnerWnd(HWND owner) { m_hOwner = owner; }
    // Sent once with the next hello; a newer request replaces one not sent.
    void setSyncRequest(int mode, SYSTEMTIME since) { m_sync.set(mode, since); }

    std::string getNodeName() const { return m_strNodeName; }
    std::string getConnectType() const { return m_strConnectType; }
    std::string getAddress() const { return m_strAddress; }
    int getState() const { return m_state; }
    int getId() const { return m_id; }
    bool isClosed() const { return m_state == STATE_CLOSED; }
    static int getFrameHeaderSize() { return FRAME_HEADER_LEN; }

    // The 50 ms tick: sends the next queued frame and queues the periodic
    // hello (and, once identified, the poll unless one awaits its answer).
    void onTick();

    // The model's close: the socket is shut down and closed and nothing of
    // the stream is dispatched, sent or reported afterwards.
    void closeLink();

    // When the link last received bytes (or was made or identified).
    Clock::time_point lastActivity() const { return m_lastActivity; }
    void markActivity() { m_lastActivity = Clock::now(); }
    // When the link started to wait for its peer's hello.
    Clock::time_point pendingSince() const { return m_pendingSince; }

    CExchange& exchange() { return m_exchange; }
    // Whether reading is paused because the receive queue is full.
    bool isReceivePaused() const { return m_receivePaused; }
    // Whether part of a frame waits for the socket to take it.
    bool hasUnsentBytes() const { return m_slen > 0; }

    // For tests: the tick count after which the periodic hello goes out.
    static void setHelloTicks(unsigned ticks) { s_helloTicks = ticks; }

protected:
    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnAccept(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

private:
    friend class CTcpA2AModel;

    // Takes the next frame from the engine's queue and starts sending it
    // (only while nothing is left in the send buffer). False: the stream
    // failed and has been reported.
    bool sendNextFrame();
    bool flushSendBuffer();
    // Moves whole frames from the byte buffer into the receive queue while
    // it has room, and pauses reading while it has none. False: a frame
    // error, reported.
    bool cutFrames();
    void postDispatch();
    // Dispatches every frame waiting in the receive queue.
    void notifyOnMessage();
    // 1 good, 0 a frame error (m_partyFailed tells a hello of another party).
    int dispatchFrame(BYTE* frame);
    int dispatchUnidentified(FrameKind kind, BYTE* frame);
    // Posts the notice and reports the failure; the model closes the link.
    void failLink(unsigned noticeCode);
    void report(int err);

    int m_state = STATE_NEW;
    HWND m_hOwner = nullptr;
    int m_id = 0;
    std::string m_strConnectType;
    std::string m_strAddress;
    std::string m_strNodeName;
    CTcpSockStreamParent* m_pParent = nullptr;
    CExchange m_exchange;
    FrameSequencer m_seq;
    unsigned m_tick = HELLO_TICKS; // the first hello goes at the first tick
    CFrameReassembler m_reasm;
    std::unique_ptr<BYTE[]> m_sbuf;  // the frame being sent
    DWORD m_soff = 0;                // bytes of it already sent
    DWORD m_slen = 0;                // bytes of it still to send
    bool m_tickFrameGone = false;    // a frame went since the last tick
    std::unique_ptr<BYTE[]> m_frame; // the frame being dispatched
    SyncRequest m_sync;
    ZQ_QUE m_recvQue;
    int m_partyFailed = 0;
    bool m_receivePaused = false;
    bool m_dispatchPosted = false;
    Clock::time_point m_lastActivity = Clock::now();
    Clock::time_point m_pendingSince = Clock::now();
    platform::CDeferredCalls m_calls; // the frame-ready message

    static unsigned s_helloTicks;
};
