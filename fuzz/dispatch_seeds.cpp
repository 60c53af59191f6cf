// The seed inputs of the dispatch target's corpus (replay --write-seeds):
// conversations with the messaging client, one text per line.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "fuzz/replay.h"
#include "protocol/frames.h"
#include "store/helpers.h"

namespace fs = std::filesystem;

namespace {

const std::string APP = "YUVO000P";

// Frames of the peer on one stream, stamped in order, as hex.
class Peer {
public:
    template <class T>
    std::string hex(T& frame, DWORD length)
    {
        m_seq.stamp(&frame);
        std::string h(2 * std::size_t(length) + 1, '\0');
        bytesToHex(static_cast<int>(length), reinterpret_cast<const BYTE*>(&frame), h.data());
        h.resize(2 * std::size_t(length));
        return h;
    }
    std::string hello(const char* node, const char* party, int mode = 0)
    {
        NodeInfoFrame f{};
        return hex(f, buildNodeInfoFrame(&f, node, party, mode, SYSTEMTIME{}));
    }
    std::string poll()
    {
        SyncPollFrame f{};
        return hex(f, buildSyncPollFrame(&f));
    }
    std::string keepAlive()
    {
        KeepAliveFrame f{};
        return hex(f, buildKeepAliveFrame(&f));
    }
    std::string records(const std::vector<CatalogRecord>& recs)
    {
        CatalogRecordsFrame f{};
        SyncPollFrame poll{};
        buildSyncPollFrame(&poll);
        return hex(f, buildCatalogRecordsFrame(&f, poll, recs.data(), DWORD(recs.size())));
    }
    std::string request(const CatalogRecord& rec, DWORD offset)
    {
        FileRequestFrame f{};
        buildFileRequestFrame(&f, rec);
        f.header.offset = offset;
        return hex(f, FRAME_HEADER_LEN + FILE_REQUEST_DATA_LEN);
    }
    std::string chunk(const CatalogRecord& rec, DWORD offset, DWORD n)
    {
        static FileChunkFrame f;
        f = FileChunkFrame{};
        FileRequestFrame req{};
        buildFileRequestFrame(&req, rec);
        req.header.offset = offset;
        beginFileChunkFrame(&f, req);
        for (DWORD i = 0; i < n; ++i)
            f.data[i] = static_cast<BYTE>(i * 13);
        return hex(f, finishFileChunkFrame(&f, n));
    }

private:
    FrameSequencer m_seq;
};

std::string read(const std::string& key, const std::string& hex)
{
    return "ALTER APPLICATION " + APP + " READ " + key + " " + hex;
}

std::string app(const std::string& rest)
{
    return "APPLICATION " + APP + " " + rest;
}

// A record of party "P", the fuzz node's.
CatalogRecord ofParty(CatalogRecord r)
{
    std::memset(r.partyName, 0, sizeof r.partyName);
    std::memcpy(r.partyName, "P", 1);
    CCatalog::setCheckSum(&r);
    return r;
}

void write(const fs::path& file, const std::vector<std::string>& lines)
{
    std::ofstream out(file, std::ios::binary);
    for (const std::string& l : lines)
        out << l << '\n';
}

} // namespace

int writeSeeds(const fs::path& dir)
{
    using fuzzrec::makeRecord;
    fs::create_directories(dir);

    write(dir / "contacts", {">USERS bob, carol, , x:y, dave", "USER bob ONLINESTATUS ONLINE",
                             "USER carol ONLINESTATUS OFFLINE", "USER erin BUDDYSTATUS 3", "CURRENTUSERHANDLE me",
                             "USERSTATUS ONLINE", "CONNSTATUS ONLINE", app("CONNECTABLE bob carol"), "USER bob",
                             ">" + app("CONNECTABLE"), "USERS"});

    write(dir / "stream-lists", {app("STREAMS bob:1 carol:2 bob:3"), app("STREAMS bob:1, carol:x"),
                                 app("STREAMS bob:1 carol:2 "), app("SENDING bob:1=1080"), app("SENDING"),
                                 app("RECEIVED carol:2=96 bob:1=96"), app("RECEIVED carol:2=96"),
                                 ">ALTER APPLICATION " + APP + " READ carol:2", app("STREAMS"),
                                 "CREATE APPLICATION " + APP, "DELETE APPLICATION " + APP, app("DATAGRAM bob:1 x")});

    {
        Peer bob;
        const CatalogRecord a = ofParty(makeRecord("NODE_B", "a.txt", 100));
        const CatalogRecord own = ofParty(makeRecord("NODE_A", fuzzrec::OWN_FILE, fuzzrec::OWN_FILE_SIZE));
        // Each frame read is followed by the empty sending list that lets
        // the next frame of the node leave.
        std::vector<std::string> lines{app("RECEIVED bob:1=1080")};
        for (const std::string& hex :
             {bob.hello("NODE_B", "P", 1), bob.poll(), bob.records({a}), bob.records({}), bob.chunk(a, 0, 100),
              bob.request(own, 0), bob.request(own, 20480), bob.keepAlive()}) {
            lines.push_back(read("bob:1", hex));
            lines.push_back(app("SENDING"));
        }
        for (int i = 0; i < 4; ++i)
            lines.push_back(app("SENDING"));
        write(dir / "exchange", lines);
    }
    {
        Peer bob;
        const std::string hello = bob.hello("NODE_B", "P");
        write(dir / "bad-reads",
              {read("bob:1", hello.substr(1)), read("bob:1", hello + "00"), read("bob:1", "zz" + hello.substr(2)),
               read("bob:12", hello), read("bob:1", ""), read("bob:1", hello), read("bob:1", hello),
               read("bob:1", bob.hello("NODE_C", "OTHER")), read("carol:2", Peer().hello("carol", "P"))});
    }
    write(dir / "lost-and-strangers", {"?USERS mallory", "?" + app("STREAMS mallory:1"), "!", ">OK", "~", ">OK",
                                       ">CREATE APPLICATION " + APP, app("STREAMS bob:7"), "!",
                                       app("STREAMS bob:8"), ">ERROR 68"});
    return 0;
}
