// One app-to-app stream between this node's application and the same
// application of one contact, named by the contact's Skype ID and the stream
// number the client gave it. It is the sibling of a TCP stream: it carries
// the node frames, each as one "WRITE" command with the frame in hex, and
// feeds each frame the client reads for it through the frame check to its
// own protocol engine. One frame is under way at a time; idle streams send a
// keep-alive; about every 20 s the engine says hello and polls.
//
// Streams are made and deleted only by their application slot; a stream
// that is at work (its tick or its read handling) when the slot drops it is
// deleted once that work has returned.
#pragma once

#include <memory>
#include <string>

#include "platform/wintypes.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"

class ZQ_SKYPESTREAM {
public:
    // Ready ticks without a frame before a keep-alive goes (about 300 s).
    static constexpr int KEEPALIVE_TICKS = 3000;
    // Ready ticks between hello and poll (20.1 s), and the free send-queue
    // slots they wait for.
    static constexpr int EXCHANGE_TICKS = 200;
    static constexpr int EXCHANGE_MIN_FREE = 15;
    // The client takes no longer command than this.
    static constexpr std::size_t MAX_COMMAND = 65535;
    // The most bytes a READ may decode: a frame queue slot.
    static constexpr std::size_t RX_FRAME_SIZE = 0x10100;

    ZQ_SKYPESTREAM(const char* user, int streamId, const char* appName, const std::string& peerNode);
    ~ZQ_SKYPESTREAM();
    ZQ_SKYPESTREAM(const ZQ_SKYPESTREAM&) = delete;
    ZQ_SKYPESTREAM& operator=(const ZQ_SKYPESTREAM&) = delete;

    // The 100 ms tick.
    void onTimer();
    // A READ reply's text after "READ" and its blank; taken only when it is
    // addressed to this stream.
    void onRead(const char* text);
    void setReadyToSend() { m_readyToSend = 1; }
    // Sent once with the next hello; a newer request replaces one not sent.
    void setSyncRequest(int mode, SYSTEMTIME since) { m_sync.set(mode, since); }
    std::string getPeerNode() const { return m_peerNode; }

    // Stamps the next sequence number on the frame and writes it; a frame
    // too long for one command is dropped before it takes a number.
    void sendFrame(int length, BYTE* frame);
    // Sends the hex text as one WRITE command, when it is short enough.
    void write(const char* hex);
    void sendKeepAlive();
    // Asks the client to close this stream; the slot deletes it once the
    // client's stream list no longer names it.
    void disconnect();

    // "<Skype ID>:<stream number>".
    std::string key() const;
    const std::string& user() const { return m_user; }
    int streamId() const { return m_streamId; }
    int isReadyToSend() const { return m_readyToSend; }
    CExchange& exchange() { return m_exchange; }

    // Marks used by the slot.
    int m_seen = 1;
    int m_busy = 0;        // inside its tick or read handling
    bool m_doomed = false; // dropped by the slot while busy

private:
    bool fitsCommand(std::size_t hexLength) const;
    // Whether `name` is the name of another row's neighbour: this contact
    // is then not served under it.
    bool namesAnotherRow(const std::string& name) const;
    // Closes the stream of a contact whose node goes by that name; it sends
    // and takes nothing more.
    void refuse(const std::string& name);

    std::string m_command;              // the last WRITE or DISCONNECT command
    std::unique_ptr<BYTE[]> m_rxFrame;  // the last frame decoded from a READ
    std::unique_ptr<BYTE[]> m_txFrame;  // the frame taken from the send queue
    std::string m_txHex;                // hex of the frame being sent
    FrameSequencer m_seq;               // the sequence numbers of both directions
    std::string m_user;
    int m_streamId;
    std::string m_appName;
    int m_readyToSend = 1;
    int m_idleTicks = 0;
    int m_exchangeTicks = 600; // the first ready tick queues hello and poll
    bool m_refused = false;
    CExchange m_exchange;
    std::string m_peerNode;
    SyncRequest m_sync;
};
