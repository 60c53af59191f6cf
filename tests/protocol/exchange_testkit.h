// Shared set-up for the protocol engine tests: a node "NODE_A" of party
// "PARTY" with a real catalog in a temporary working directory, a neighbour
// row "NODE_B" (TCP) and "NODE_C" (TCP), and helpers that drain the engine's
// send queue, hand it frames in buffers of exactly their length, and play
// the peer's side of a file transfer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/exchange.h"
#include "protocol/frame_check.h"
#include "store/catalog_testkit.h"

namespace exchangetest {

using catalogtest::makeRec;
using catalogtest::makeTime;

// A frame held in a buffer of exactly its length, so that AddressSanitizer
// catches any read beyond it.
class Frame {
public:
    explicit Frame(std::size_t length) : m_len(length), m_buf(new BYTE[length ? length : 1]()) {}
    Frame(const void* bytes, std::size_t length) : Frame(length)
    {
        std::memcpy(m_buf.get(), bytes, length);
    }

    BYTE* data() { return m_buf.get(); }
    const BYTE* data() const { return m_buf.get(); }
    std::size_t size() const { return m_len; }
    ExchangeHeader header() const { return readHeader(m_buf.get()); }
    ExchangeHeader* mutableHeader() { return reinterpret_cast<ExchangeHeader*>(m_buf.get()); }
    template <class T> T* as() { return reinterpret_cast<T*>(m_buf.get()); }
    template <class T> const T* as() const { return reinterpret_cast<const T*>(m_buf.get()); }
    // The record at offset 48 (requests, chunks) or record i of a records
    // frame.
    CatalogRecord record(std::size_t i = 0) const
    {
        CatalogRecord r;
        std::memcpy(&r, m_buf.get() + FRAME_HEADER_LEN + i * sizeof r, sizeof r);
        return r;
    }

private:
    std::size_t m_len;
    std::unique_ptr<BYTE[]> m_buf;
};

// Every frame the engine queued, oldest first; each must pass the frame
// check a carrier applies (the most any carrier sends per chunk).
inline std::vector<Frame> drain(CExchange& ex)
{
    std::vector<Frame> out;
    std::unique_ptr<BYTE[]> slot(new BYTE[ZQ_QUE::SLOT_SIZE]);
    while (ex.sendQueue().dequeue(slot.get()) == 1) {
        const DWORD len = frameLength(readHeader(slot.get()));
        EXPECT_LE(len, MAX_FRAME_SIZE);
        out.emplace_back(slot.get(), std::min<std::size_t>(len, ZQ_QUE::SLOT_SIZE));
        EXPECT_NE(checkFrame(out.back().data(), out.back().size(), CHUNK_LIMIT_TCP), FrameKind::Bad);
    }
    return out;
}

inline Frame pollFrame()
{
    Frame f(FRAME_HEADER_LEN);
    buildSyncPollFrame(f.as<SyncPollFrame>());
    return f;
}

// A records frame as a peer sends it: count records, dataLen count x 820.
inline Frame recordsFrame(const std::vector<CatalogRecord>& recs)
{
    Frame f(FRAME_HEADER_LEN + recs.size() * sizeof(CatalogRecord));
    initSyncPollHeader(f.mutableHeader());
    f.mutableHeader()->command = COMMAND_CATALOGRECORDS;
    f.mutableHeader()->count = DWORD(recs.size());
    f.mutableHeader()->dataLen = WORD(recs.size() * sizeof(CatalogRecord));
    if (!recs.empty())
        std::memcpy(f.data() + FRAME_HEADER_LEN, recs.data(), recs.size() * sizeof(CatalogRecord));
    return f;
}

inline Frame requestFrame(const CatalogRecord& rec, DWORD offset, WORD version = FRAME_VERSION)
{
    Frame f(sizeof(FileRequestFrame));
    buildFileRequestFrame(f.as<FileRequestFrame>(), rec);
    f.mutableHeader()->offset = offset;
    f.mutableHeader()->version = version;
    return f;
}

// The peer's answer to a request: the bytes of `content` from the requested
// offset, at most `limit` of them.
inline Frame chunkFor(const Frame& request, const std::string& content, DWORD limit = CHUNK_LIMIT_TCP)
{
    auto f = std::make_unique<FileChunkFrame>();
    std::memset(f.get(), 0, sizeof *f);
    beginFileChunkFrame(f.get(), *request.as<FileRequestFrame>());
    const std::size_t off = request.header().offset;
    const std::size_t n = off < content.size() ? std::min<std::size_t>(limit, content.size() - off) : 0;
    if (n > 0)
        std::memcpy(f->data, content.data() + off, n);
    const DWORD len = finishFileChunkFrame(f.get(), DWORD(n));
    return Frame(f.get(), len);
}

inline std::string fileName(const CatalogRecord& r) { return catalogtest::fileOf(r); }

// Content that shows a misplaced byte.
inline std::string patternBytes(std::size_t n, unsigned seed = 7)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + seed + (i >> 8)) & 0xFF);
    return s;
}

class ExchangeTest : public catalogtest::CatalogTest {
protected:
    CExchange ex;

    void SetUp() override
    {
        catalogtest::CatalogTest::SetUp();
        settings->addRow("NODE_B", "TCP", "127.0.0.1/42001");
        settings->addRow("NODE_C", "TCP", "127.0.0.1/42002");
    }

    // A record of another node as NODE_B sends it.
    static CatalogRecord peerRec(const char* file, DWORD size, DWORD state = CATALOG_STATE_NEW)
    {
        CatalogRecord r = makeRec("NODE_B", file, size, state);
        cp932::copyField(r.route[0], CATALOG_NAME_LEN, "NODE_B");
        r.hopCount = 1;
        CCatalog::setCheckSum(&r);
        return r;
    }

    // An own file in SEND, registered as the scan would.
    CatalogRecord ownFile(const char* name, const std::string& content)
    {
        testsupport::writeFile(sendDir() + "/" + name, content);
        CatalogRecord r = makeRec("NODE_A", name, DWORD(content.size()));
        catalog()->addRec(&r);
        CatalogRecord stored;
        EXPECT_TRUE(catalog()->findRec(name, "NODE_A", &stored));
        return stored;
    }

    CatalogRecord storedOf(const char* file, const char* node = "NODE_B")
    {
        CatalogRecord r {};
        EXPECT_TRUE(catalog()->findRec(file, node, &r)) << file;
        return r;
    }

    std::vector<CatalogRecord> queued(const std::string& node)
    {
        return catalogtest::readRecords(queueFile(node));
    }
};

} // namespace exchangetest
