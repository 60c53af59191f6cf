// The frame check every carrier runs before dispatch, and the cutting of a
// TCP byte stream into frames.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/frame_check.h"

namespace {

using Bytes = std::vector<BYTE>;

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

void setU16(Bytes& f, std::size_t at, WORD v) { std::memcpy(f.data() + at, &v, 2); }

Bytes concat(const std::vector<Bytes>& frames)
{
    Bytes out;
    for (const auto& f : frames)
        out.insert(out.end(), f.begin(), f.end());
    return out;
}

// Pops every whole frame held.
void takeAll(CFrameReassembler& r, std::vector<Bytes>& out)
{
    const BYTE* f;
    std::size_t len;
    while (r.peek(&f, &len) == CFrameReassembler::Cut::Frame) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(f) % alignof(CatalogRecord), 0u);
        out.emplace_back(f, f + len);
        r.pop();
    }
}

} // namespace

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
        {0, 0, 0, 0, 0, TCP, K::KeepAlive}, {0, 5, 0, 0, 0, TCP, K::KeepAlive}, {0, 0, 1, 0, 0, TCP, K::Bad},
        {3, 0, 0, 0, 0, TCP, K::SyncPoll}, {3, 0, 1, 0, 0, TCP, K::Bad},
        {2, 8, 1032, 0, 0, TCP, K::NodeInfo}, {2, 8, 1031, 0, 0, TCP, K::Bad}, {2, 8, 1033, 0, 0, TCP, K::Bad},
        {4, 4, 820, 1, 0, TCP, K::FileRequest}, {4, 4, 819, 1, 0, TCP, K::Bad}, {4, 4, 821, 1, 0, TCP, K::Bad},
        // Records: count and payload agree, eleven at most; 820 x 2^30 wraps.
        {3, 2, 0, 0, 0, TCP, K::CatalogRecords}, {3, 2, 11 * 820, 11, 0, TCP, K::CatalogRecords},
        {3, 2, 12 * 820, 12, 0, TCP, K::Bad}, {3, 2, 3 * 820 + 1, 3, 0, TCP, K::Bad},
        {3, 2, 2 * 820, 3, 0, TCP, K::Bad}, {3, 2, 820, 0, 0, TCP, K::Bad},
        {3, 2, 0, 0x40000000u, 0, TCP, K::Bad}, {3, 2, 820, 0xFFFFFFFFu, 0, TCP, K::Bad},
        // Chunks: length is exactly dataLen - 820, within the carrier's limit.
        {4, 6, 820, 1, 0, TCP, K::FileChunk}, {4, 6, 820 + 51200, 1, 51200, TCP, K::FileChunk},
        {4, 6, 820 + 51201, 1, 51201, TCP, K::Bad}, {4, 6, 820 + 20480, 1, 20480, SKYPE, K::FileChunk},
        {4, 6, 820 + 20481, 1, 20481, SKYPE, K::Bad}, {4, 6, 920, 1, 99, TCP, K::Bad},
        {4, 6, 920, 1, 101, TCP, K::Bad}, {4, 6, 920, 1, 0xFFFFFFFFu, TCP, K::Bad}, {4, 6, 819, 1, 0, TCP, K::Bad},
        {7, 0, 0, 0, 0, TCP, K::Other}, {9, 1, MAX_FRAME_SIZE - 48, 0, 0, TCP, K::Other},
        {9, 1, MAX_FRAME_SIZE - 47, 0, 0, TCP, K::Bad},
    };
    for (const Row& r : rows) {
        const Bytes f = frame(r.cat, r.cmd, r.dataLen, r.count, r.length);
        EXPECT_EQ(checkFrame(f.data(), f.size(), r.limit), r.want)
            << r.cat << "/" << r.cmd << " dataLen " << r.dataLen << " count " << r.count << " length " << r.length;
    }
    // The header is 48 bytes and whole, the promised payload held; bytes
    // after the frame (the rest of a queue slot) are ignored.
    Bytes poll = frame(3, 0, 0);
    EXPECT_EQ(checkFrame(poll.data(), 47, CHUNK_LIMIT_TCP), FrameKind::Bad);
    for (WORD len : {0, 47, 49}) {
        Bytes bad = poll;
        setU16(bad, 0, len);
        bad.resize(200, 0);
        EXPECT_EQ(checkFrame(bad.data(), bad.size(), CHUNK_LIMIT_TCP), FrameKind::Bad) << len;
    }
    Bytes req = frame(4, 4, 820, 1);
    EXPECT_EQ(checkFrame(req.data(), 867, CHUNK_LIMIT_TCP), FrameKind::Bad);
    req.resize(65792, 0xCC); // a queue slot
    EXPECT_EQ(checkFrame(req.data(), req.size(), CHUNK_LIMIT_TCP), FrameKind::FileRequest);
}

TEST(FrameReassemblerTest, CutsAtEveryPointIntoTheSameFrames)
{
    const std::vector<Bytes> frames = {frame(3, 0, 0), frame(2, 8, 1032), frame(4, 4, 820, 1), frame(0, 0, 0)};
    const Bytes stream = concat(frames);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        CFrameReassembler r;
        std::vector<Bytes> out;
        r.append(stream.data(), cut);
        takeAll(r, out);
        r.append(stream.data() + cut, stream.size() - cut);
        takeAll(r, out);
        ASSERT_EQ(out, frames) << "cut at " << cut;
        EXPECT_EQ(r.held(), 0u);
    }
    // A header longer than the largest frame is refused as soon as it is in.
    const BYTE* f;
    std::size_t len;
    Bytes big = frame(9, 0, 0);
    setU16(big, 2, MAX_FRAME_SIZE - 47);
    CFrameReassembler bad;
    bad.append(big.data(), 48);
    EXPECT_EQ(bad.peek(&f, &len), CFrameReassembler::Cut::Error);
}
