// The frames nodes exchange: a 48-byte header followed by a payload whose
// length the header gives. The same bytes travel over TCP (back to back in
// the stream) and hex-encoded over Skype app-to-app streams.
//
// Every structure below is naturally aligned, so its layout has no padding;
// the asserts pin each size and offset. Frames taken from a byte stream are
// only read through these structures from aligned buffers (queue slots, the
// front of the reassembly buffer); `readHeader` reads any address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wintypes.h"
#include "store/catalog_record.h"

// --- Header values ---------------------------------------------------------

constexpr WORD FRAME_HEADER_LEN = 48;
constexpr WORD FRAME_MARKER = 2;
constexpr WORD FRAME_VERSION = 2;

constexpr WORD CATEGORY_KEEPALIVE = 0;
constexpr WORD CATEGORY_NODEINFO = 2;
constexpr WORD CATEGORY_CATALOG = 3;
constexpr WORD CATEGORY_FILE = 4;

constexpr WORD COMMAND_KEEPALIVE = 0;
constexpr WORD COMMAND_NODEINFO = 8;
constexpr WORD COMMAND_SYNCPOLL = 0;
constexpr WORD COMMAND_CATALOGRECORDS = 2;
constexpr WORD COMMAND_FILEREQUEST = 4;
constexpr WORD COMMAND_FILECHUNK = 6;

// --- Sizes -----------------------------------------------------------------

constexpr DWORD NODEINFO_DATA_LEN = 1032;
constexpr DWORD MAX_RECORDS_PER_FRAME = 11;
constexpr DWORD FILE_REQUEST_DATA_LEN = CATALOG_RECORD_SIZE;         // 820
constexpr DWORD FILE_CHUNK_DATA_OFFSET = FRAME_HEADER_LEN + CATALOG_RECORD_SIZE; // 868

// The most file bytes one chunk carries, by carrier.
constexpr DWORD CHUNK_LIMIT_TCP = 51200;
constexpr DWORD CHUNK_LIMIT_TCP_OLD = 10240; // a TCP request whose version is below 2
constexpr DWORD CHUNK_LIMIT_SKYPE = 20480;

// The largest legal frame: a chunk of CHUNK_LIMIT_TCP bytes.
constexpr DWORD MAX_FRAME_SIZE = FILE_CHUNK_DATA_OFFSET + CHUNK_LIMIT_TCP; // 52068

// The chunk limit of the TCP carrier for a request of the given version.
constexpr DWORD tcpChunkLimit(WORD requestVersion)
{
    return requestVersion < 2 ? CHUNK_LIMIT_TCP_OLD : CHUNK_LIMIT_TCP;
}

// --- Layouts ---------------------------------------------------------------

struct ExchangeHeader {
    WORD headerLen;
    WORD dataLen;
    WORD marker;
    WORD version;
    WORD category;
    WORD command;
    DWORD count;
    DWORD offset;
    DWORD length;
    DWORD fileSize;
    DWORD sequence;
    BYTE reserved[16];
};

struct KeepAliveFrame {
    ExchangeHeader header;
};

struct SyncPollFrame {
    ExchangeHeader header;
};

struct NodeInfoFrame {
    ExchangeHeader header;
    BYTE zero1[8];
    DWORD nodeFlags;
    char nodeName[32];
    DWORD syncMode;
    SYSTEMTIME syncSince;
    char partyName[24];
    BYTE zero2[944];
};

// Room for the most records a frame may carry; a frame holds `count` of them.
struct CatalogRecordsFrame {
    ExchangeHeader header;
    CatalogRecord records[MAX_RECORDS_PER_FRAME];
};

struct FileRequestFrame {
    ExchangeHeader header;
    CatalogRecord record;
};

// Room for the largest chunk; a frame holds `length` bytes of data.
struct FileChunkFrame {
    ExchangeHeader header;
    CatalogRecord record;
    BYTE data[CHUNK_LIMIT_TCP];
};

static_assert(sizeof(ExchangeHeader) == 48);
static_assert(offsetof(ExchangeHeader, headerLen) == 0);
static_assert(offsetof(ExchangeHeader, dataLen) == 2);
static_assert(offsetof(ExchangeHeader, marker) == 4);
static_assert(offsetof(ExchangeHeader, version) == 6);
static_assert(offsetof(ExchangeHeader, category) == 8);
static_assert(offsetof(ExchangeHeader, command) == 10);
static_assert(offsetof(ExchangeHeader, count) == 12);
static_assert(offsetof(ExchangeHeader, offset) == 16);
static_assert(offsetof(ExchangeHeader, length) == 20);
static_assert(offsetof(ExchangeHeader, fileSize) == 24);
static_assert(offsetof(ExchangeHeader, sequence) == 28);
static_assert(offsetof(ExchangeHeader, reserved) == 32);

static_assert(sizeof(KeepAliveFrame) == 48);
static_assert(sizeof(SyncPollFrame) == 48);

static_assert(sizeof(NodeInfoFrame) == 1080);
static_assert(offsetof(NodeInfoFrame, zero1) == 48);
static_assert(offsetof(NodeInfoFrame, nodeFlags) == 56);
static_assert(offsetof(NodeInfoFrame, nodeName) == 60);
static_assert(offsetof(NodeInfoFrame, syncMode) == 92);
static_assert(offsetof(NodeInfoFrame, syncSince) == 96);
static_assert(offsetof(NodeInfoFrame, partyName) == 112);
static_assert(offsetof(NodeInfoFrame, zero2) == 136);
static_assert(sizeof(NodeInfoFrame) - FRAME_HEADER_LEN == NODEINFO_DATA_LEN);

static_assert(offsetof(CatalogRecordsFrame, records) == 48);
static_assert(sizeof(CatalogRecordsFrame) == 9068);

static_assert(offsetof(FileRequestFrame, record) == 48);
static_assert(sizeof(FileRequestFrame) == 868);

static_assert(offsetof(FileChunkFrame, record) == 48);
static_assert(offsetof(FileChunkFrame, data) == 868);
static_assert(sizeof(FileChunkFrame) == 52068);
static_assert(sizeof(FileChunkFrame) == MAX_FRAME_SIZE);

// --- Reading ---------------------------------------------------------------

// The header of the frame at `frame`, whatever its alignment.
ExchangeHeader readHeader(const void* frame);
// headerLen + dataLen as the header states them.
inline DWORD frameLength(const ExchangeHeader& h) { return DWORD(h.headerLen) + h.dataLen; }
// The end of the bytes a file frame covers, in 64 bits so it cannot wrap.
inline std::uint64_t chunkEnd(const ExchangeHeader& h) { return std::uint64_t(h.offset) + h.length; }
// How many records of a records frame may be applied: count (as a signed
// number, none when below 1), at most 11, and never more than its payload
// holds.
DWORD recordsToApply(const ExchangeHeader& h);

// --- Building --------------------------------------------------------------
// Each builder fills a frame in place and returns its length (headerLen +
// dataLen). The frame buffer must have been cleared to zero beforehand; the
// builders write only the fields they give a value.

// Clears the 48 header bytes and sets headerLen 48, marker 2 and version 2.
void initFrameHeader(ExchangeHeader* h);
void initKeepAliveHeader(ExchangeHeader* h);
void initNodeInfoHeader(ExchangeHeader* h);
void initSyncPollHeader(ExchangeHeader* h);
void initFileRequestHeader(ExchangeHeader* h);

DWORD buildKeepAliveFrame(KeepAliveFrame* f);
DWORD buildSyncPollFrame(SyncPollFrame* f);
// The hello. Names are cut on a character boundary to their fields (a
// 32-byte node name fills its field with no terminating zero).
DWORD buildNodeInfoFrame(NodeInfoFrame* f, const char* nodeName, const char* partyName,
                         int syncMode, const SYSTEMTIME& syncSince);
// A request for the file of `rec`, from the first byte still missing.
DWORD buildFileRequestFrame(FileRequestFrame* f, const CatalogRecord& rec);

// --- Answers: their headers echo the frame they answer ---------------------

// The answer to a poll: the poll's 48 header bytes with command 2, then n
// records (n above 11 is cut to 11).
DWORD buildCatalogRecordsFrame(CatalogRecordsFrame* f, const SyncPollFrame& poll,
                               const CatalogRecord* records, DWORD n);
// First half of the answer to a request: its header and record. The file
// bytes then go to f->data, and `finishFileChunkFrame` completes it.
void beginFileChunkFrame(FileChunkFrame* f, const FileRequestFrame& request);
// Sets length n, command 6 and dataLen 820 + n (n above CHUNK_LIMIT_TCP is
// cut to it).
DWORD finishFileChunkFrame(FileChunkFrame* f, DWORD n);
// Turns a received chunk into the request for the bytes after it: offset
// moved on by length, command 4, count 1, length 0, dataLen 820. Returns the
// request's length, or 0 (frame unchanged) when the next offset would not
// fit in 32 bits.
DWORD chunkToNextRequest(FileChunkFrame* f);

// --- Sequence numbers ------------------------------------------------------

// One connection's two counters: the number stamped on the next frame sent,
// and the number the next frame received must carry.
struct FrameSequencer {
    DWORD tx = 0;
    DWORD rx = 0;

    // Writes tx into the frame's sequence field and counts it.
    void stamp(void* frame);
    // True, and counts it, when the frame carries the expected number; false
    // leaves the counter as it is.
    bool accept(const void* frame);
};

// --- Synchronisation request -----------------------------------------------

// A catalog synchronisation that waits for the next hello of one link.
struct SyncRequest {
    int pending = 0;
    int mode = 0; // 1 all entries, 2 entries registered on or after `since`
    SYSTEMTIME since{};

    // A newer request replaces one not yet sent.
    void set(int syncMode, const SYSTEMTIME& syncSince);
    // What the next hello carries: the waiting request (which is then gone),
    // or mode 0 with an all-zero date.
    void take(int* syncMode, SYSTEMTIME* syncSince);
};
