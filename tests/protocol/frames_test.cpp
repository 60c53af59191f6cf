// Golden bytes of every frame kind, written out by hand from the wire format,
// and the builders' boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frames.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string b;
    while (in >> b)
        out.push_back(static_cast<unsigned char>(std::stoul(b, nullptr, 16)));
    return out;
}

template <class T> Bytes bytesOf(const T& v, std::size_t n = sizeof(T))
{
    const auto* b = reinterpret_cast<const unsigned char*>(&v);
    return Bytes(b, b + n);
}

const char* const ZERO16 = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

// The 48 header bytes (the last 16 are zero), then the patches, zero elsewhere.
Bytes expected(const std::string& first, const std::string& second, std::size_t total,
               const std::vector<std::pair<std::size_t, Bytes>>& patches = {})
{
    Bytes out = hex(first + " " + second + " " + ZERO16);
    EXPECT_EQ(out.size(), 48u);
    out.resize(total, 0);
    for (const auto& [at, b] : patches)
        std::memcpy(out.data() + at, b.data(), b.size());
    return out;
}

CatalogRecord patternRecord(unsigned char seed)
{
    CatalogRecord rec;
    auto* b = reinterpret_cast<unsigned char*>(&rec);
    for (std::size_t i = 0; i < sizeof rec; ++i)
        b[i] = static_cast<unsigned char>(seed + i * 7 + 1);
    return rec;
}

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

} // namespace

TEST(FramesTest, GoldenBytesOfEveryKind)
{
    auto ka = std::make_unique<KeepAliveFrame>();
    EXPECT_EQ(buildKeepAliveFrame(ka.get()), 48u);
    EXPECT_EQ(bytesOf(*ka, 48), expected("30 00 00 00 02 00 02 00 00 00 00 00 00 00 00 00", ZERO16, 48));
    auto poll = std::make_unique<SyncPollFrame>();
    EXPECT_EQ(buildSyncPollFrame(poll.get()), 48u);
    EXPECT_EQ(bytesOf(*poll, 48), expected("30 00 00 00 02 00 02 00 03 00 00 00 00 00 00 00", ZERO16, 48));

    SYSTEMTIME since{};
    since.wYear = 2010;
    since.wMonth = 10;
    since.wDay = 1;
    auto hello = std::make_unique<NodeInfoFrame>();
    ASSERT_EQ(buildNodeInfoFrame(hello.get(), "NODE-A", "PARTY1", 2, since), 1080u);
    EXPECT_EQ(bytesOf(*hello, 1080),
              expected("30 00 08 04 02 00 02 00 02 00 08 00 00 00 00 00", ZERO16, 1080,
                       {{60, text("NODE-A")}, {92, hex("02 00 00 00 DA 07 0A 00 00 00 01 00")}, {112, text("PARTY1")}}));

    CatalogRecord rec = patternRecord(3);
    rec.heldBytes = 0x00012345;
    rec.findData.nFileSizeLow = 0x00A0B0C0;
    auto req = std::make_unique<FileRequestFrame>();
    ASSERT_EQ(buildFileRequestFrame(req.get(), rec), 868u);
    EXPECT_EQ(bytesOf(*req, 868), expected("30 00 34 03 02 00 02 00 04 00 04 00 01 00 00 00",
                                           "45 23 01 00 00 00 00 00 C0 B0 A0 00 00 00 00 00", 868, {{48, bytesOf(rec)}}));

    // Answers echo version, sequence and the odd fields of what they answer.
    SyncPollFrame in;
    const Bytes inBytes = expected("30 00 00 00 02 00 01 00 03 00 00 00 00 00 00 00",
                                   "07 00 00 00 08 00 00 00 09 00 00 00 05 00 00 00", 48);
    std::memcpy(&in, inBytes.data(), 48);
    const CatalogRecord recs[2] = {patternRecord(10), patternRecord(90)};
    auto records = std::make_unique<CatalogRecordsFrame>();
    ASSERT_EQ(buildCatalogRecordsFrame(records.get(), in, recs, 2), 1688u);
    EXPECT_EQ(bytesOf(*records, 1688),
              expected("30 00 68 06 02 00 01 00 03 00 02 00 02 00 00 00", "07 00 00 00 08 00 00 00 09 00 00 00 05 00 00 00",
                       1688, {{48, bytesOf(recs[0])}, {868, bytesOf(recs[1])}}));
    ASSERT_EQ(buildCatalogRecordsFrame(records.get(), in, nullptr, 0), 48u);
    EXPECT_EQ(bytesOf(*records, 48), expected("30 00 00 00 02 00 01 00 03 00 02 00 00 00 00 00",
                                              "07 00 00 00 08 00 00 00 09 00 00 00 05 00 00 00", 48));

    FileRequestFrame asked;
    const Bytes askedBytes = expected("30 00 34 03 02 00 01 00 04 00 04 00 01 00 00 00",
                                      "00 C8 00 00 00 00 00 00 10 27 00 00 09 00 00 00", 868, {{48, bytesOf(rec)}});
    std::memcpy(&asked, askedBytes.data(), 868);
    auto chunk = std::make_unique<FileChunkFrame>();
    beginFileChunkFrame(chunk.get(), asked);
    const Bytes data = hex("A0 A1 A2 A3");
    std::memcpy(chunk->data, data.data(), 4);
    ASSERT_EQ(finishFileChunkFrame(chunk.get(), 4), 872u);
    EXPECT_EQ(bytesOf(*chunk, 872), expected("30 00 38 03 02 00 01 00 04 00 06 00 01 00 00 00",
                                             "00 C8 00 00 04 00 00 00 10 27 00 00 09 00 00 00", 872,
                                             {{48, bytesOf(rec)}, {868, data}}));
    // The chunk becomes the next request, 4 bytes on.
    ASSERT_EQ(chunkToNextRequest(chunk.get()), 868u);
    EXPECT_EQ(bytesOf(*chunk, 868), expected("30 00 34 03 02 00 01 00 04 00 04 00 01 00 00 00",
                                             "04 C8 00 00 00 00 00 00 10 27 00 00 09 00 00 00", 868, {{48, bytesOf(rec)}}));
}

TEST(FramesTest, BuildersKeepToTheirBounds)
{
    // Names fill their fields without terminator; a CP932 character that
    // would straddle the end is left out whole.
    auto f = std::make_unique<NodeInfoFrame>();
    buildNodeInfoFrame(f.get(), std::string(32, 'n').c_str(), std::string(30, 'p').c_str(), 0, SYSTEMTIME{});
    const Bytes raw = bytesOf(*f, 1080);
    EXPECT_EQ(Bytes(raw.begin() + 60, raw.begin() + 92), Bytes(32, 'n'));
    EXPECT_EQ(raw[92], 0);
    EXPECT_EQ(Bytes(raw.begin() + 112, raw.begin() + 136), Bytes(24, 'p'));
    EXPECT_EQ(Bytes(raw.begin() + 136, raw.end()), Bytes(944, 0));
    buildNodeInfoFrame(f.get(), (std::string(31, 'a') + "\x83\x5C").c_str(), nullptr, 0, SYSTEMTIME{});
    EXPECT_EQ(std::string(f->nodeName, 32), std::string(31, 'a') + '\0');

    // A chunk is cut to the largest carrier limit; the next offset never wraps.
    auto chunk = std::make_unique<FileChunkFrame>();
    FileRequestFrame req{};
    initFileRequestHeader(&req.header);
    beginFileChunkFrame(chunk.get(), req);
    EXPECT_EQ(finishFileChunkFrame(chunk.get(), 0xFFFFFFFFu), 868u + CHUNK_LIMIT_TCP);
    chunk->header.offset = 0xFFFFF000u;
    chunk->header.length = 0x1000;
    EXPECT_EQ(chunkToNextRequest(chunk.get()), 0u);
    EXPECT_EQ(chunk->header.offset, 0xFFFFF000u);
    chunk->header.length = 0xFFF;
    EXPECT_EQ(chunkToNextRequest(chunk.get()), 868u);
    EXPECT_EQ(chunk->header.offset, 0xFFFFFFFFu);
}
