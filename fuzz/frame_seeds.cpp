// The seed streams of the frame target's corpus (replay --write-seeds).
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "fuzz/replay.h"
#include "protocol/frames.h"

namespace fs = std::filesystem;

namespace {

// --- Seed streams ----------------------------------------------------------

class Stream {
public:
    explicit Stream(std::uint8_t flags) { m_bytes.push_back(flags); }

    void add(const void* frame, std::size_t n)
    {
        const auto* b = static_cast<const std::uint8_t*>(frame);
        m_bytes.insert(m_bytes.end(), b, b + n);
    }
    template <class T> void addFrame(const T& frame, DWORD n) { add(&frame, n); }

    void hello(const char* node, const char* party, int mode = 0, SYSTEMTIME since = {})
    {
        NodeInfoFrame f {};
        addFrame(f, buildNodeInfoFrame(&f, node, party, mode, since));
    }
    void poll()
    {
        SyncPollFrame f {};
        addFrame(f, buildSyncPollFrame(&f));
    }
    void records(const std::vector<CatalogRecord>& recs)
    {
        CatalogRecordsFrame f {};
        SyncPollFrame poll {};
        buildSyncPollFrame(&poll);
        addFrame(f, buildCatalogRecordsFrame(&f, poll, recs.data(), DWORD(recs.size())));
    }
    void request(const CatalogRecord& rec, DWORD offset, WORD version = FRAME_VERSION)
    {
        FileRequestFrame f {};
        buildFileRequestFrame(&f, rec);
        f.header.offset = offset;
        f.header.version = version;
        addFrame(f, frameLength(f.header));
    }
    // A chunk of n pattern bytes of rec's file from offset.
    void chunk(const CatalogRecord& rec, DWORD offset, DWORD n)
    {
        auto f = std::make_unique<FileChunkFrame>();
        std::memset(f.get(), 0, sizeof *f);
        FileRequestFrame req {};
        buildFileRequestFrame(&req, rec);
        req.header.offset = offset;
        beginFileChunkFrame(f.get(), req);
        for (DWORD i = 0; i < n; ++i)
            f->data[i] = std::uint8_t((offset + i) * 31 + 7);
        add(f.get(), finishFileChunkFrame(f.get(), n));
    }
    // Any header, followed by dataLen zero bytes.
    void raw(WORD category, WORD command, WORD dataLen, DWORD count = 0, DWORD length = 0)
    {
        std::vector<std::uint8_t> f(FRAME_HEADER_LEN + dataLen, 0);
        ExchangeHeader h;
        initFrameHeader(&h);
        h.category = category;
        h.command = command;
        h.dataLen = dataLen;
        h.count = count;
        h.length = length;
        std::memcpy(f.data(), &h, sizeof h);
        add(f.data(), f.size());
    }

    void write(const fs::path& path) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(m_bytes.data()), std::streamsize(m_bytes.size()));
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

constexpr std::uint8_t SKYPE = 1;
constexpr std::uint8_t RAW = 2;
constexpr std::uint8_t cutSeed(unsigned seed) { return std::uint8_t(seed << 2); }

} // namespace

int writeSeeds(const fs::path& dir)
{
    using fuzzrec::makeRecord;
    fs::create_directories(dir);
    const CatalogRecord a = makeRecord("NODE_B", "a.txt", 100);
    const CatalogRecord b = makeRecord("NODE_B", "b.bin", 30000);
    const CatalogRecord empty = makeRecord("NODE_B", "empty.txt", 0);
    const CatalogRecord own = makeRecord("NODE_A", fuzzrec::OWN_FILE, fuzzrec::OWN_FILE_SIZE);

    // A TCP link: identified, synchronised, the poll chain, then the fetch
    // chain of two files and the chunks this node serves.
    auto tcpFetch = [&](std::uint8_t flags) {
        Stream s(flags);
        s.hello("NODE_B", "PARTY");
        s.hello("NODE_B", "PARTY", 1);
        s.poll();
        s.records({a, b, empty});
        s.records({});
        s.chunk(a, 0, 100);
        s.chunk(b, 0, 20000);
        s.chunk(b, 20000, 10000);
        s.request(own, 0);
        s.request(own, 60000, 1);
        return s;
    };
    tcpFetch(0).write(dir / "tcp-fetch");
    tcpFetch(cutSeed(13)).write(dir / "tcp-fetch-cut");

    // Out of step: a chunk ahead of the bytes held, a repeated one, a chunk
    // of no bytes, a request for a file held only in part.
    {
        Stream s(cutSeed(1));
        s.records({a, b});
        s.chunk(b, 5000, 100);
        s.chunk(b, 0, 1000);
        s.chunk(b, 0, 1000);
        s.chunk(a, 0, 0);
        s.request(b, 0);
        s.write(dir / "tcp-out-of-step");
    }

    // The messaging carrier: a hello that renames the contact's row and asks
    // for the entries since a date, the poll answered for the new name,
    // changes and deletions, and frames of no interest.
    {
        Stream s(SKYPE);
        s.hello("N2", "PARTY", 2, SYSTEMTIME {2010, 10, 0, 1, 0, 0, 0, 0});
        s.poll();
        CatalogRecord updated = makeRecord("NODE_B", "a.txt", 120, CATALOG_STATE_UPDATED);
        updated.registered.wYear = 2011;
        CCatalog::setCheckSum(&updated);
        s.records({a, updated, makeRecord("NODE_B", "a.txt", 120, CATALOG_STATE_DELETED)});
        s.request(own, 0);
        s.raw(CATEGORY_KEEPALIVE, 0, 0);
        s.raw(7, 1, 0);
        s.raw(CATEGORY_CATALOG, 5, 0);
        s.write(dir / "skype-hello-sync");
    }

    // Headers that promise more than their frames carry, handed to the
    // engine without the frame check.
    {
        Stream s(RAW | cutSeed(3));
        s.raw(CATEGORY_CATALOG, COMMAND_SYNCPOLL, 100);
        s.records({a, b});
        s.raw(CATEGORY_CATALOG, COMMAND_CATALOGRECORDS, 2 * 820, 11);
        s.raw(CATEGORY_FILE, COMMAND_FILECHUNK, 900, 1, 2000);
        s.raw(CATEGORY_FILE, COMMAND_FILEREQUEST, 900, 1);
        s.raw(CATEGORY_FILE, COMMAND_FILEREQUEST, 100, 1);
        s.raw(CATEGORY_NODEINFO, COMMAND_NODEINFO, 200);
        s.write(dir / "raw-short-payloads");
    }

    // Names that must never become paths, in records and in a hello.
    {
        Stream s(SKYPE | cutSeed(2));
        s.hello("../up", "PARTY", 1);
        s.hello("catalog", "PARTY", 1);
        s.records({makeRecord("..", "x.txt", 0), makeRecord("NODE_B", "../x.txt", 0),
                   makeRecord("catalog", "y.txt", 0), makeRecord("NODE_B", "a/b", 0)});
        s.write(dir / "skype-bad-names");
    }

    // A link that fails: another party's hello on an identified TCP link, and
    // a stream whose next header cannot start a frame.
    {
        Stream s(0);
        s.hello("NODE_B", "PARTY");
        s.poll();
        s.hello("NODE_B", "OTHER", 1);
        s.poll();
        s.write(dir / "tcp-party-mismatch");
    }
    {
        Stream s(cutSeed(5));
        s.poll();
        s.raw(CATEGORY_CATALOG, COMMAND_SYNCPOLL, 0);
        const std::uint8_t junk[48] = {0, 0, 0x20, 0};
        s.add(junk, sizeof junk);
        s.poll();
        s.write(dir / "tcp-bad-header");
    }
    return 0;
}
