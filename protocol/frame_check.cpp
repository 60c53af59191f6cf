#include "protocol/frame_check.h"

#include <cstring>

FrameKind checkFrame(const void* frame, std::size_t available, DWORD chunkLimit)
{
    if (available < FRAME_HEADER_LEN)
        return FrameKind::Bad;
    const ExchangeHeader h = readHeader(frame);
    if (h.headerLen != FRAME_HEADER_LEN || frameLength(h) > available)
        return FrameKind::Bad;

    const DWORD dataLen = h.dataLen;
    switch (h.category) {
    case CATEGORY_KEEPALIVE:
        return dataLen == 0 ? FrameKind::KeepAlive : FrameKind::Bad;
    case CATEGORY_NODEINFO:
        if (h.command == COMMAND_NODEINFO)
            return dataLen == NODEINFO_DATA_LEN ? FrameKind::NodeInfo : FrameKind::Bad;
        break;
    case CATEGORY_CATALOG:
        if (h.command == COMMAND_SYNCPOLL)
            return dataLen == 0 ? FrameKind::SyncPoll : FrameKind::Bad;
        if (h.command == COMMAND_CATALOGRECORDS)
            return h.count <= MAX_RECORDS_PER_FRAME && dataLen == h.count * CATALOG_RECORD_SIZE
                       ? FrameKind::CatalogRecords
                       : FrameKind::Bad;
        break;
    case CATEGORY_FILE:
        if (h.command == COMMAND_FILEREQUEST)
            return dataLen == FILE_REQUEST_DATA_LEN ? FrameKind::FileRequest : FrameKind::Bad;
        if (h.command == COMMAND_FILECHUNK)
            return dataLen >= CATALOG_RECORD_SIZE && h.length == dataLen - CATALOG_RECORD_SIZE &&
                           h.length <= chunkLimit
                       ? FrameKind::FileChunk
                       : FrameKind::Bad;
        break;
    default:
        break;
    }
    return frameLength(h) <= MAX_FRAME_SIZE ? FrameKind::Other : FrameKind::Bad;
}

CFrameReassembler::CFrameReassembler() : m_buf(new BYTE[BUFFER_SIZE]()) {}

void CFrameReassembler::received(std::size_t n)
{
    m_len += n < receiveRoom() ? n : receiveRoom();
}

std::size_t CFrameReassembler::append(const void* data, std::size_t n)
{
    if (n > receiveRoom())
        n = receiveRoom();
    if (n > 0)
        std::memcpy(receiveSpace(), data, n);
    m_len += n;
    return n;
}

CFrameReassembler::Cut CFrameReassembler::peek(const BYTE** frame, std::size_t* length) const
{
    if (m_len < FRAME_HEADER_LEN)
        return Cut::NeedMore;
    const ExchangeHeader h = readHeader(m_buf.get());
    const DWORD total = frameLength(h);
    if (h.headerLen != FRAME_HEADER_LEN || total > MAX_FRAME_SIZE)
        return Cut::Error;
    if (m_len < total)
        return Cut::NeedMore;
    *frame = m_buf.get();
    *length = total;
    return Cut::Frame;
}

void CFrameReassembler::pop()
{
    const BYTE* frame;
    std::size_t length;
    if (peek(&frame, &length) != Cut::Frame)
        return;
    // Keep the next frame at the front, where it is aligned.
    std::memmove(m_buf.get(), m_buf.get() + length, m_len - length);
    m_len -= length;
}
