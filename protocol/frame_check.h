// The one check every carrier applies to a received frame before it looks
// at the sequence number or dispatches it, and the cutting of a TCP byte
// stream into frames.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/wintypes.h"
#include "protocol/frames.h"

enum class FrameKind {
    Bad,            // a frame error: the carrier does not dispatch it
    KeepAlive,      // category 0, any command
    NodeInfo,       // 2/8
    SyncPoll,       // 3/0
    CatalogRecords, // 3/2
    FileRequest,    // 4/4
    FileChunk,      // 4/6
    Other,          // any other pair: counted, and nothing is done
};

// Checks the frame at `frame`, of which `available` bytes are held (a
// frame's bytes may be followed by others; they are never read). The header
// must be 48 bytes and the whole frame present; each kind's payload must be
// exactly its size: none for a poll and a keep-alive, 1032 for a hello, 820
// for a request, count x 820 (count at most 11) for records, 820 + length
// for a chunk with length at most `chunkLimit` (the most file bytes the
// carrier accepts in one chunk). Frames of other kinds pass when they are no
// longer than the largest legal frame.
FrameKind checkFrame(const void* frame, std::size_t available, DWORD chunkLimit);

// Cuts a byte stream into frames. Bytes are received into `receiveSpace()`
// and announced with `received`; `peek` then shows the first whole frame,
// which stays held until `pop`. A caller that has no room for a frame just
// does not pop it: cutting pauses there and the buffer keeps what follows.
// A frame always starts at the front of the buffer, so it may be read
// through the frame structures.
class CFrameReassembler {
public:
    // Room for two of the largest frames and more.
    static constexpr std::size_t BUFFER_SIZE = 131328;
    static_assert(BUFFER_SIZE >= 2 * MAX_FRAME_SIZE);

    enum class Cut {
        NeedMore, // no whole frame held yet
        Frame,    // a whole frame is at the front
        Error,    // the header held cannot start a legal frame
    };

    CFrameReassembler();
    CFrameReassembler(const CFrameReassembler&) = delete;
    CFrameReassembler& operator=(const CFrameReassembler&) = delete;

    // Free room behind the held bytes. It is empty only while a whole
    // frame waits to be popped.
    BYTE* receiveSpace() { return m_buf.get() + m_len; }
    std::size_t receiveRoom() const { return BUFFER_SIZE - m_len; }
    // n bytes were written into receiveSpace() (n <= receiveRoom()).
    void received(std::size_t n);
    // Copies as many of the n bytes as there is room for; returns how many.
    std::size_t append(const void* data, std::size_t n);

    // The state of the front of the buffer; with Frame, *frame and *length
    // give the frame (both untouched otherwise).
    Cut peek(const BYTE** frame, std::size_t* length) const;
    // Drops the frame that peek showed (nothing when none is whole).
    void pop();

    std::size_t held() const { return m_len; }
    void reset() { m_len = 0; }

private:
    std::unique_ptr<BYTE[]> m_buf;
    std::size_t m_len = 0;
};
