#include "protocol/frames.h"

#include <cstring>

#include "platform/cp932.h"

ExchangeHeader readHeader(const void* frame)
{
    ExchangeHeader h;
    std::memcpy(&h, frame, sizeof h);
    return h;
}

DWORD recordsToApply(const ExchangeHeader& h)
{
    const auto count = static_cast<std::int32_t>(h.count);
    if (count < 1)
        return 0;
    DWORD n = static_cast<DWORD>(count);
    if (n > MAX_RECORDS_PER_FRAME)
        n = MAX_RECORDS_PER_FRAME;
    const DWORD held = h.dataLen / CATALOG_RECORD_SIZE;
    return n < held ? n : held;
}

void initFrameHeader(ExchangeHeader* h)
{
    std::memset(h, 0, sizeof *h);
    h->headerLen = FRAME_HEADER_LEN;
    h->marker = FRAME_MARKER;
    h->version = FRAME_VERSION;
}

static void initHeader(ExchangeHeader* h, WORD category, WORD command)
{
    initFrameHeader(h);
    h->category = category;
    h->command = command;
}

void initKeepAliveHeader(ExchangeHeader* h) { initHeader(h, CATEGORY_KEEPALIVE, COMMAND_KEEPALIVE); }
void initNodeInfoHeader(ExchangeHeader* h) { initHeader(h, CATEGORY_NODEINFO, COMMAND_NODEINFO); }
void initSyncPollHeader(ExchangeHeader* h) { initHeader(h, CATEGORY_CATALOG, COMMAND_SYNCPOLL); }
void initFileRequestHeader(ExchangeHeader* h) { initHeader(h, CATEGORY_FILE, COMMAND_FILEREQUEST); }

DWORD buildKeepAliveFrame(KeepAliveFrame* f)
{
    initKeepAliveHeader(&f->header);
    return FRAME_HEADER_LEN;
}

DWORD buildSyncPollFrame(SyncPollFrame* f)
{
    initSyncPollHeader(&f->header);
    return FRAME_HEADER_LEN;
}

DWORD buildNodeInfoFrame(NodeInfoFrame* f, const char* nodeName, const char* partyName,
                         int syncMode, const SYSTEMTIME& syncSince)
{
    initNodeInfoHeader(&f->header);
    f->nodeFlags = 0;
    cp932::copyField(f->nodeName, sizeof f->nodeName, nodeName ? nodeName : "");
    f->syncMode = static_cast<DWORD>(syncMode);
    f->syncSince = syncSince;
    cp932::copyField(f->partyName, sizeof f->partyName, partyName ? partyName : "");
    f->header.dataLen = NODEINFO_DATA_LEN;
    return frameLength(f->header);
}

DWORD buildFileRequestFrame(FileRequestFrame* f, const CatalogRecord& rec)
{
    initFileRequestHeader(&f->header);
    f->header.count = 1;
    f->header.offset = rec.heldBytes;
    f->header.length = 0;
    f->header.fileSize = rec.findData.nFileSizeLow;
    f->record = rec;
    f->header.dataLen = FILE_REQUEST_DATA_LEN;
    return frameLength(f->header);
}

DWORD buildCatalogRecordsFrame(CatalogRecordsFrame* f, const SyncPollFrame& poll,
                               const CatalogRecord* records, DWORD n)
{
    // Only the poll's header is echoed: a poll carries no payload, and the
    // answer never depends on how long the poll claims to be.
    f->header = poll.header;
    if (n > MAX_RECORDS_PER_FRAME)
        n = MAX_RECORDS_PER_FRAME;
    f->header.command = COMMAND_CATALOGRECORDS;
    f->header.count = n;
    f->header.dataLen = static_cast<WORD>(n * CATALOG_RECORD_SIZE);
    if (n > 0)
        std::memcpy(f->records, records, n * sizeof(CatalogRecord));
    return frameLength(f->header);
}

void beginFileChunkFrame(FileChunkFrame* f, const FileRequestFrame& request)
{
    // Header and record only, whatever dataLen the request states.
    f->header = request.header;
    f->record = request.record;
}

DWORD finishFileChunkFrame(FileChunkFrame* f, DWORD n)
{
    if (n > CHUNK_LIMIT_TCP)
        n = CHUNK_LIMIT_TCP;
    f->header.length = n;
    f->header.command = COMMAND_FILECHUNK;
    f->header.dataLen = static_cast<WORD>(CATALOG_RECORD_SIZE + n);
    return frameLength(f->header);
}

DWORD chunkToNextRequest(FileChunkFrame* f)
{
    const std::uint64_t next = chunkEnd(f->header);
    if (next > 0xFFFFFFFFu)
        return 0;
    f->header.offset = static_cast<DWORD>(next);
    f->header.command = COMMAND_FILEREQUEST;
    f->header.count = 1;
    f->header.length = 0;
    f->header.dataLen = FILE_REQUEST_DATA_LEN;
    return frameLength(f->header);
}

void FrameSequencer::stamp(void* frame)
{
    std::memcpy(static_cast<BYTE*>(frame) + offsetof(ExchangeHeader, sequence), &tx, sizeof tx);
    ++tx;
}

bool FrameSequencer::accept(const void* frame)
{
    DWORD seq;
    std::memcpy(&seq, static_cast<const BYTE*>(frame) + offsetof(ExchangeHeader, sequence), sizeof seq);
    if (seq != rx)
        return false;
    ++rx;
    return true;
}

void SyncRequest::set(int syncMode, const SYSTEMTIME& syncSince)
{
    mode = syncMode;
    since = syncSince;
    pending = 1;
}

void SyncRequest::take(int* syncMode, SYSTEMTIME* syncSince)
{
    if (pending == 1) {
        *syncMode = mode;
        *syncSince = since;
        pending = 0;
    } else {
        *syncMode = 0;
        *syncSince = SYSTEMTIME{};
    }
}
