// Frame layouts byte by byte, the answers' echo rules, sequence numbers and
// the synchronisation request. Expected bytes are written out by hand from
// the wire format, not derived from the structures under test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/frames.h"

namespace {

using Bytes = std::vector<unsigned char>;

// "30 00 08 04 ..." -> bytes.
Bytes hex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<unsigned char>(std::stoul(byte, nullptr, 16)));
    return out;
}

Bytes bytesOf(const void* p, std::size_t n)
{
    const auto* b = static_cast<const unsigned char*>(p);
    return Bytes(b, b + n);
}

// Expected frame of `total` bytes: the 48 header bytes given, then the
// record when there is one, zero elsewhere.
Bytes expectedFrame(const std::string& headerHex, std::size_t total,
                    const CatalogRecord* rec = nullptr)
{
    Bytes out = hex(headerHex);
    EXPECT_EQ(out.size(), 48u);
    out.resize(total, 0);
    if (rec)
        std::memcpy(out.data() + 48, rec, sizeof *rec);
    return out;
}

// A record whose bytes are all distinct from zero, so that a copy shows.
CatalogRecord patternRecord(unsigned char seed)
{
    CatalogRecord rec;
    auto* b = reinterpret_cast<unsigned char*>(&rec);
    for (std::size_t i = 0; i < sizeof rec; ++i)
        b[i] = static_cast<unsigned char>(seed + i * 7 + 1);
    return rec;
}

void putBytes(Bytes& frame, std::size_t at, const void* p, std::size_t n)
{
    std::memcpy(frame.data() + at, p, n);
}

template <class Frame>
std::unique_ptr<Frame> zeroed()
{
    return std::make_unique<Frame>(); // value-initialised: all zero
}

} // namespace

TEST(FramesTest, KeepAliveAndPollAreBareHeaders)
{
    auto ka = zeroed<KeepAliveFrame>();
    EXPECT_EQ(buildKeepAliveFrame(ka.get()), 48u);
    EXPECT_EQ(bytesOf(ka.get(), 48),
              expectedFrame("30 00 00 00 02 00 02 00 00 00 00 00 00 00 00 00"
                            " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                            " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                            48));

    auto poll = zeroed<SyncPollFrame>();
    EXPECT_EQ(buildSyncPollFrame(poll.get()), 48u);
    EXPECT_EQ(bytesOf(poll.get(), 48),
              expectedFrame("30 00 00 00 02 00 02 00 03 00 00 00 00 00 00 00"
                            " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                            " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                            48));
}

TEST(FramesTest, HelloLayout)
{
    auto f = zeroed<NodeInfoFrame>();
    SYSTEMTIME since{};
    since.wYear = 2010;
    since.wMonth = 10;
    since.wDay = 1;
    ASSERT_EQ(buildNodeInfoFrame(f.get(), "NODE-A", "PARTY1", 2, since), 1080u);

    Bytes want = expectedFrame("30 00 08 04 02 00 02 00 02 00 08 00 00 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               1080);
    putBytes(want, 60, "NODE-A", 6);
    const Bytes mode = hex("02 00 00 00");
    putBytes(want, 92, mode.data(), 4);
    // wYear 2010, wMonth 10, wDayOfWeek 0, wDay 1, the rest 0.
    const Bytes date = hex("DA 07 0A 00 00 00 01 00");
    putBytes(want, 96, date.data(), date.size());
    putBytes(want, 112, "PARTY1", 6);
    EXPECT_EQ(bytesOf(f.get(), 1080), want);
}

TEST(FramesTest, HelloNamesFillTheirFieldsWithoutTerminator)
{
    auto f = zeroed<NodeInfoFrame>();
    const std::string name32(32, 'n');
    const std::string party30(30, 'p');
    buildNodeInfoFrame(f.get(), name32.c_str(), party30.c_str(), 0, SYSTEMTIME{});
    const Bytes raw = bytesOf(f.get(), 1080);
    EXPECT_EQ(Bytes(raw.begin() + 60, raw.begin() + 92), Bytes(32, 'n'));
    EXPECT_EQ(raw[92], 0); // syncMode follows at once
    EXPECT_EQ(Bytes(raw.begin() + 112, raw.begin() + 136), Bytes(24, 'p'));
    EXPECT_EQ(Bytes(raw.begin() + 136, raw.end()), Bytes(944, 0));

    // A double-byte character that would straddle the field's end is left
    // out whole rather than cut in two.
    std::string sjis(31, 'a');
    sjis += "\x83\x5C"; // one CP932 character whose second byte is '\'
    buildNodeInfoFrame(f.get(), sjis.c_str(), nullptr, 0, SYSTEMTIME{});
    EXPECT_EQ(std::string(f->nodeName, 32), std::string(31, 'a') + '\0');
    EXPECT_EQ(std::string(f->partyName, 24), std::string(24, '\0'));
}

TEST(FramesTest, FileRequestLayout)
{
    CatalogRecord rec = patternRecord(3);
    rec.heldBytes = 0x00012345;
    rec.findData.nFileSizeLow = 0x00A0B0C0;
    auto f = zeroed<FileRequestFrame>();
    ASSERT_EQ(buildFileRequestFrame(f.get(), rec), 868u);

    Bytes want = expectedFrame("30 00 34 03 02 00 02 00 04 00 04 00 01 00 00 00"
                               " 45 23 01 00 00 00 00 00 C0 B0 A0 00 00 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               868, &rec);
    EXPECT_EQ(bytesOf(f.get(), 868), want);
}

TEST(FramesTest, RecordsAnswerEchoesThePollHeader)
{
    // A poll as a peer might send it: sequence 5 and odd values in fields
    // the answer must carry back unchanged.
    const Bytes pollBytes = hex("30 00 00 00 02 00 01 00 03 00 00 00 00 00 00 00"
                                " 07 00 00 00 08 00 00 00 09 00 00 00 05 00 00 00"
                                " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    SyncPollFrame poll;
    std::memcpy(&poll, pollBytes.data(), 48);

    const CatalogRecord recs[2] = {patternRecord(10), patternRecord(90)};
    auto f = zeroed<CatalogRecordsFrame>();
    ASSERT_EQ(buildCatalogRecordsFrame(f.get(), poll, recs, 2), 48u + 2 * 820);

    Bytes want = expectedFrame("30 00 68 06 02 00 01 00 03 00 02 00 02 00 00 00"
                               " 07 00 00 00 08 00 00 00 09 00 00 00 05 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               48 + 2 * 820);
    putBytes(want, 48, &recs[0], 820);
    putBytes(want, 868, &recs[1], 820);
    EXPECT_EQ(bytesOf(f.get(), 48 + 2 * 820), want);

    // No records: a bare 48-byte answer with count 0.
    auto empty = zeroed<CatalogRecordsFrame>();
    ASSERT_EQ(buildCatalogRecordsFrame(empty.get(), poll, nullptr, 0), 48u);
    EXPECT_EQ(bytesOf(empty.get(), 48),
              hex("30 00 00 00 02 00 01 00 03 00 02 00 00 00 00 00"
                  " 07 00 00 00 08 00 00 00 09 00 00 00 05 00 00 00"
                  " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(FramesTest, RecordsAnswerTakesAtMostElevenRecords)
{
    std::vector<CatalogRecord> recs;
    for (int i = 0; i < 12; ++i)
        recs.push_back(patternRecord(static_cast<unsigned char>(i)));
    auto poll = zeroed<SyncPollFrame>();
    buildSyncPollFrame(poll.get());
    auto f = zeroed<CatalogRecordsFrame>();
    EXPECT_EQ(buildCatalogRecordsFrame(f.get(), *poll, recs.data(), 12), 9068u);
    EXPECT_EQ(f->header.count, 11u);
    EXPECT_EQ(f->header.dataLen, 9020);
    EXPECT_EQ(std::memcmp(&f->records[10], &recs[10], 820), 0);
}

TEST(FramesTest, ChunkAnswerEchoesTheRequest)
{
    // A request of version 1 with sequence 9, as received.
    const CatalogRecord rec = patternRecord(40);
    Bytes req = expectedFrame("30 00 34 03 02 00 01 00 04 00 04 00 01 00 00 00"
                              " 00 C8 00 00 00 00 00 00 10 27 00 00 09 00 00 00"
                              " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                              868, &rec);
    FileRequestFrame request;
    std::memcpy(&request, req.data(), 868);

    auto f = zeroed<FileChunkFrame>();
    beginFileChunkFrame(f.get(), request);
    for (int i = 0; i < 100; ++i)
        f->data[i] = static_cast<BYTE>(0xA0 + i);
    ASSERT_EQ(finishFileChunkFrame(f.get(), 100), 968u);

    Bytes want = expectedFrame("30 00 98 03 02 00 01 00 04 00 06 00 01 00 00 00"
                               " 00 C8 00 00 64 00 00 00 10 27 00 00 09 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               968, &rec);
    for (int i = 0; i < 100; ++i)
        want[868 + i] = static_cast<unsigned char>(0xA0 + i);
    EXPECT_EQ(bytesOf(f.get(), 968), want);

    // Holding no copy: a chunk of length 0 is 868 bytes.
    auto none = zeroed<FileChunkFrame>();
    beginFileChunkFrame(none.get(), request);
    EXPECT_EQ(finishFileChunkFrame(none.get(), 0), 868u);
    EXPECT_EQ(none->header.dataLen, 820);
    EXPECT_EQ(none->header.length, 0u);
}

TEST(FramesTest, ChunkBecomesTheNextRequest)
{
    const CatalogRecord rec = patternRecord(77);
    Bytes chunk = expectedFrame("30 00 98 03 02 00 01 00 04 00 06 00 01 00 00 00"
                                " 00 C8 00 00 64 00 00 00 10 27 00 00 03 00 00 00"
                                " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                                968, &rec);
    auto f = zeroed<FileChunkFrame>();
    std::memcpy(f.get(), chunk.data(), chunk.size());

    ASSERT_EQ(chunkToNextRequest(f.get()), 868u);
    // Offset 0xC800 + 100 = 0xC864; version 1 and the sequence stay as
    // they came (the carrier restamps the sequence).
    Bytes want = expectedFrame("30 00 34 03 02 00 01 00 04 00 04 00 01 00 00 00"
                               " 64 C8 00 00 00 00 00 00 10 27 00 00 03 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                               868, &rec);
    EXPECT_EQ(bytesOf(f.get(), 868), want);
}

TEST(FramesTest, NextRequestOffsetNeverWraps)
{
    auto f = zeroed<FileChunkFrame>();
    initFrameHeader(&f->header);
    f->header.offset = 0xFFFFF000u;
    f->header.length = 0x1000;
    EXPECT_EQ(chunkEnd(f->header), 0x100000000ull);
    EXPECT_EQ(chunkToNextRequest(f.get()), 0u);
    EXPECT_EQ(f->header.offset, 0xFFFFF000u); // untouched

    f->header.length = 0xFFF;
    EXPECT_EQ(chunkToNextRequest(f.get()), 868u);
    EXPECT_EQ(f->header.offset, 0xFFFFFFFFu);
}

// Reading only the header and record of what was received is proven with
// exact-size buffers in the engine's tests; here: a chunk never exceeds the
// largest any carrier sends, whatever length it is given.
TEST(FramesTest, ChunkIsCutToTheLargestCarrierLimit)
{
    auto req = zeroed<FileRequestFrame>();
    initFileRequestHeader(&req->header);
    auto chunk = zeroed<FileChunkFrame>();
    beginFileChunkFrame(chunk.get(), *req);
    EXPECT_EQ(finishFileChunkFrame(chunk.get(), 0xFFFFFFFFu), 868u + CHUNK_LIMIT_TCP);
    EXPECT_EQ(chunk->header.dataLen, 820 + CHUNK_LIMIT_TCP);
}

TEST(FramesTest, RecordsToApplyIsBoundedByCountElevenAndPayload)
{
    ExchangeHeader h{};
    auto apply = [&](DWORD count, WORD dataLen) {
        h.count = count;
        h.dataLen = dataLen;
        return recordsToApply(h);
    };
    EXPECT_EQ(apply(0, 0), 0u);
    EXPECT_EQ(apply(0xFFFFFFFFu, 9020), 0u); // -1 as a signed count
    EXPECT_EQ(apply(0x80000000u, 9020), 0u);
    EXPECT_EQ(apply(3, 3 * 820), 3u);
    EXPECT_EQ(apply(12, 12 * 820), 11u);
    EXPECT_EQ(apply(11, 2 * 820 + 819), 2u); // payload short of its count
    EXPECT_EQ(apply(5, 0), 0u);
}

TEST(FramesTest, SequenceNumbersPerDirection)
{
    FrameSequencer seq;
    Bytes frames[3];
    for (auto& f : frames) {
        f = Bytes(48, 0xEE);
        seq.stamp(f.data());
    }
    EXPECT_EQ(Bytes(frames[2].begin() + 28, frames[2].begin() + 32), hex("02 00 00 00"));
    EXPECT_EQ(frames[2][27], 0xEE); // neighbours untouched
    EXPECT_EQ(frames[2][32], 0xEE);
    EXPECT_EQ(seq.tx, 3u);
    EXPECT_EQ(seq.rx, 0u); // the receive side counts on its own

    FrameSequencer peer;
    EXPECT_TRUE(peer.accept(frames[0].data()));
    EXPECT_FALSE(peer.accept(frames[2].data())); // 2 where 1 is expected
    EXPECT_EQ(peer.rx, 1u);
    EXPECT_TRUE(peer.accept(frames[1].data()));
    EXPECT_TRUE(peer.accept(frames[2].data()));
    EXPECT_EQ(peer.rx, 3u);

    // Unaligned frames are fine too.
    Bytes shifted(49, 0);
    FrameSequencer odd;
    odd.tx = 0x01020304;
    odd.stamp(shifted.data() + 1);
    EXPECT_EQ(Bytes(shifted.begin() + 29, shifted.begin() + 33), hex("04 03 02 01"));
}

TEST(FramesTest, SyncRequestGoesOutOnce)
{
    SyncRequest req;
    int mode = -1;
    SYSTEMTIME since{};
    since.wYear = 99;
    SYSTEMTIME d1{}, d2{};
    d1.wYear = 2010;
    d2.wYear = 2011;
    d2.wDay = 4;
    req.set(1, d1);
    req.set(2, d2); // a newer request replaces the waiting one
    req.take(&mode, &since);
    EXPECT_EQ(mode, 2);
    EXPECT_EQ(std::memcmp(&since, &d2, sizeof since), 0);
    req.take(&mode, &since); // taken: nothing waits any more
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(since.wYear, 0);
    EXPECT_EQ(since.wDay, 0);
}
