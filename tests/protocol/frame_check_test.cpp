// The frame check every carrier runs before dispatch, and the cutting of a
// TCP byte stream into frames.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "protocol/frame_check.h"

namespace {

using Bytes = std::vector<BYTE>;

// A frame of the given kind with dataLen payload bytes (patterned).
Bytes frame(WORD category, WORD command, DWORD dataLen, DWORD count = 0, DWORD length = 0)
{
    Bytes f(48 + dataLen, 0);
    ExchangeHeader h;
    initFrameHeader(&h);
    h.category = category;
    h.command = command;
    h.dataLen = static_cast<WORD>(dataLen);
    h.count = count;
    h.length = length;
    std::memcpy(f.data(), &h, sizeof h);
    for (DWORD i = 0; i < dataLen; ++i)
        f[48 + i] = static_cast<BYTE>(i * 13 + category);
    return f;
}

FrameKind check(const Bytes& f, DWORD limit = CHUNK_LIMIT_TCP)
{
    return checkFrame(f.data(), f.size(), limit);
}

void setU16(Bytes& f, std::size_t at, WORD v) { std::memcpy(f.data() + at, &v, 2); }

} // namespace

TEST(FrameCheckTest, HeaderMustBe48BytesAndWhole)
{
    Bytes poll = frame(3, 0, 0);
    EXPECT_EQ(check(poll), FrameKind::SyncPoll);
    EXPECT_EQ(checkFrame(poll.data(), 47, CHUNK_LIMIT_TCP), FrameKind::Bad);
    for (WORD len : {0, 47, 49, 0xFFFF}) {
        Bytes bad = poll;
        setU16(bad, 0, len);
        bad.resize(200, 0);
        EXPECT_EQ(check(bad), FrameKind::Bad) << len;
    }
    // The payload the header promises must be held; bytes after the frame
    // (the rest of a queue slot) are allowed and ignored.
    Bytes req = frame(4, 4, 820, 1);
    EXPECT_EQ(checkFrame(req.data(), 867, CHUNK_LIMIT_TCP), FrameKind::Bad);
    req.resize(65792, 0xCC);
    EXPECT_EQ(check(req), FrameKind::FileRequest);
}

// Each row: category, command, dataLen, count, length, carrier limit, kind.
TEST(FrameCheckTest, KindsAndTheirBoundaries)
{
    constexpr DWORD TCP = CHUNK_LIMIT_TCP, SKYPE = CHUNK_LIMIT_SKYPE;
    using K = FrameKind;
    struct Row {
        WORD cat, cmd;
        DWORD dataLen, count, length, limit;
        FrameKind want;
    };
    const Row rows[] = {
        // Fixed sizes: keep-alive (any command), poll, hello, request.
        {0, 0, 0, 0, 0, TCP, K::KeepAlive}, {0, 5, 0, 0, 0, TCP, K::KeepAlive}, {0, 0, 1, 0, 0, TCP, K::Bad},
        {3, 0, 0, 0, 0, TCP, K::SyncPoll}, {3, 0, 1, 0, 0, TCP, K::Bad}, {3, 0, 820, 0, 0, TCP, K::Bad},
        {2, 8, 1032, 0, 0, TCP, K::NodeInfo}, {2, 8, 1031, 0, 0, TCP, K::Bad}, {2, 8, 1033, 0, 0, TCP, K::Bad},
        {2, 8, 0, 0, 0, TCP, K::Bad},
        {4, 4, 820, 1, 0, TCP, K::FileRequest}, {4, 4, 819, 1, 0, TCP, K::Bad}, {4, 4, 821, 1, 0, TCP, K::Bad},
        {4, 4, 0, 1, 0, TCP, K::Bad},
        // Records: count and payload agree, eleven at most; counts whose
        // product with 820 wraps to the payload size (820 x 2^30 is
        // 205 x 2^32) are no match.
        {3, 2, 0, 0, 0, TCP, K::CatalogRecords}, {3, 2, 820, 1, 0, TCP, K::CatalogRecords},
        {3, 2, 11 * 820, 11, 0, TCP, K::CatalogRecords}, {3, 2, 12 * 820, 12, 0, TCP, K::Bad},
        {3, 2, 3 * 820 + 1, 3, 0, TCP, K::Bad}, {3, 2, 2 * 820, 3, 0, TCP, K::Bad},
        {3, 2, 820, 0, 0, TCP, K::Bad}, {3, 2, 0, 1, 0, TCP, K::Bad},
        {3, 2, 0, 0x40000000u, 0, TCP, K::Bad}, {3, 2, 820, 0xFFFFFFFFu, 0, TCP, K::Bad},
        // Chunks: length is exactly dataLen - 820, within the carrier's limit.
        {4, 6, 820, 1, 0, TCP, K::FileChunk}, {4, 6, 920, 1, 100, TCP, K::FileChunk},
        {4, 6, 820 + 51200, 1, 51200, TCP, K::FileChunk}, {4, 6, 820 + 51201, 1, 51201, TCP, K::Bad},
        {4, 6, 820 + 20480, 1, 20480, SKYPE, K::FileChunk}, {4, 6, 820 + 20481, 1, 20481, SKYPE, K::Bad},
        {4, 6, 920, 1, 99, TCP, K::Bad}, {4, 6, 920, 1, 101, TCP, K::Bad},
        {4, 6, 920, 1, 0xFFFFFFFFu, TCP, K::Bad}, {4, 6, 819, 1, 0, TCP, K::Bad}, {4, 6, 0, 1, 0, TCP, K::Bad},
        // Anything else passes within the largest frame.
        {7, 0, 0, 0, 0, TCP, K::Other}, {3, 5, 0, 0, 0, TCP, K::Other}, {2, 9, 100, 0, 0, TCP, K::Other},
        {4, 5, 820, 0, 0, TCP, K::Other}, {9, 1, MAX_FRAME_SIZE - 48, 0, 0, TCP, K::Other},
        {9, 1, MAX_FRAME_SIZE - 47, 0, 0, TCP, K::Bad},
    };
    for (const Row& r : rows)
        EXPECT_EQ(check(frame(r.cat, r.cmd, r.dataLen, r.count, r.length), r.limit), r.want)
            << r.cat << "/" << r.cmd << " dataLen " << r.dataLen << " count " << r.count << " length " << r.length;
}

// --- Reassembly ------------------------------------------------------------

namespace {

// A stream of frames of every kind, the largest chunk included.
std::vector<Bytes> sampleFrames()
{
    return {frame(0, 0, 0),
            frame(2, 8, 1032),
            frame(3, 0, 0),
            frame(3, 2, 3 * 820, 3),
            frame(4, 4, 820, 1),
            frame(4, 6, 820 + 51200, 1, 51200),
            frame(4, 6, 820, 1, 0),
            frame(7, 1, 5)};
}

Bytes concat(const std::vector<Bytes>& frames)
{
    Bytes out;
    for (const auto& f : frames)
        out.insert(out.end(), f.begin(), f.end());
    return out;
}

// Feeds the stream in pieces of the given sizes (cycled), popping every
// whole frame as it appears; returns the frames cut.
std::vector<Bytes> feed(CFrameReassembler& r, const Bytes& stream, const std::vector<std::size_t>& pieces)
{
    std::vector<Bytes> out;
    std::size_t pos = 0, k = 0;
    while (pos < stream.size()) {
        const std::size_t n = std::min(pieces[k++ % pieces.size()], stream.size() - pos);
        EXPECT_EQ(r.append(stream.data() + pos, n), n);
        pos += n;
        const BYTE* f;
        std::size_t len;
        while (r.peek(&f, &len) == CFrameReassembler::Cut::Frame) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(f) % alignof(CatalogRecord), 0u);
            out.emplace_back(f, f + len);
            r.pop();
        }
    }
    return out;
}

} // namespace

TEST(FrameReassemblerTest, CutsAtEveryPointOfASmallStream)
{
    const std::vector<Bytes> frames = {frame(3, 0, 0), frame(2, 8, 1032), frame(4, 4, 820, 1),
                                       frame(0, 0, 0)};
    const Bytes stream = concat(frames);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        CFrameReassembler r;
        const auto out = feed(r, stream, {cut, stream.size()});
        ASSERT_EQ(out, frames) << "cut at " << cut;
        EXPECT_EQ(r.held(), 0u);
    }
}

TEST(FrameReassemblerTest, CutsAnyPiecesIntoTheSameFrames)
{
    const auto frames = sampleFrames();
    const Bytes stream = concat(frames);
    std::mt19937 rng(12345);
    for (int run = 0; run < 60; ++run) {
        std::vector<std::size_t> pieces;
        const std::size_t top = run % 3 == 0 ? 50 : run % 3 == 1 ? 2000 : 70000;
        for (int i = 0; i < 40; ++i)
            pieces.push_back(1 + rng() % top);
        CFrameReassembler r;
        ASSERT_EQ(feed(r, stream, pieces), frames) << "run " << run;
    }
    CFrameReassembler oneByOne;
    EXPECT_EQ(feed(oneByOne, concat({frame(3, 0, 0), frame(4, 6, 1000, 1, 180)}), {1}),
              (std::vector<Bytes>{frame(3, 0, 0), frame(4, 6, 1000, 1, 180)}));
}

TEST(FrameReassemblerTest, BadHeadersAreErrorsOnceWhole)
{
    const BYTE* f = nullptr;
    std::size_t len = 0;
    {
        CFrameReassembler r;
        const Bytes junk(47, 0xFF); // would be a bad header once whole
        r.append(junk.data(), junk.size());
        EXPECT_EQ(r.peek(&f, &len), CFrameReassembler::Cut::NeedMore);
        EXPECT_EQ(f, nullptr);
        r.pop(); // nothing whole: no effect
        EXPECT_EQ(r.held(), 47u);
        r.append(junk.data(), 1);
        EXPECT_EQ(r.peek(&f, &len), CFrameReassembler::Cut::Error);
    }
    for (WORD headerLen : {0, 1, 47, 49}) {
        CFrameReassembler r;
        Bytes poll = frame(3, 0, 0);
        setU16(poll, 0, headerLen);
        r.append(poll.data(), poll.size());
        EXPECT_EQ(r.peek(&f, &len), CFrameReassembler::Cut::Error) << headerLen;
    }
    // Longer than the largest legal frame: refused as soon as the header
    // is in, without waiting for the bytes.
    CFrameReassembler r;
    Bytes big = frame(9, 0, 0);
    setU16(big, 2, MAX_FRAME_SIZE - 47);
    r.append(big.data(), 48);
    EXPECT_EQ(r.peek(&f, &len), CFrameReassembler::Cut::Error);

    CFrameReassembler ok;
    setU16(big, 2, MAX_FRAME_SIZE - 48);
    ok.append(big.data(), 48);
    EXPECT_EQ(ok.peek(&f, &len), CFrameReassembler::Cut::NeedMore);
}

TEST(FrameReassemblerTest, PausesWhileTheCallerHasNoRoom)
{
    // The caller takes no frame: the buffer fills, then refuses bytes, and
    // nothing is lost once the caller takes frames again.
    const auto frames = sampleFrames();
    Bytes stream;
    for (int i = 0; i < 4; ++i)
        stream = concat({stream, concat(frames)});

    CFrameReassembler r;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t took = r.append(stream.data() + pos, std::min<std::size_t>(7000, stream.size() - pos));
        if (took == 0)
            break;
        pos += took;
    }
    ASSERT_LT(pos, stream.size());
    EXPECT_EQ(r.held(), CFrameReassembler::BUFFER_SIZE);
    EXPECT_EQ(r.receiveRoom(), 0u);

    std::vector<Bytes> out;
    const BYTE* f;
    std::size_t len;
    for (;;) {
        auto cut = r.peek(&f, &len);
        if (cut == CFrameReassembler::Cut::Frame) {
            out.emplace_back(f, f + len);
            r.pop();
            continue;
        }
        ASSERT_EQ(cut, CFrameReassembler::Cut::NeedMore);
        if (pos == stream.size())
            break;
        ASSERT_GT(r.receiveRoom(), 0u); // room whenever no whole frame waits
        // Receive straight into the buffer, as a socket read would.
        const std::size_t n = std::min(r.receiveRoom(), stream.size() - pos);
        std::memcpy(r.receiveSpace(), stream.data() + pos, n);
        r.received(n);
        pos += n;
    }
    EXPECT_EQ(out.size(), 4 * frames.size());
    EXPECT_EQ(concat(out), stream);
}
