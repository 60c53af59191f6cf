// Fuzz target: a peer's byte stream, cut at arbitrary points, goes through
// frame reassembly and the frame check into one protocol engine over a real
// catalog, dispatched as a carrier dispatches. Aborts when
//  - a frame the engine queues fails the frame check,
//  - a records frame brings more catalog changes than it may apply
//    (min(count, 11, dataLen / 820)),
//  - anything appears in the working directory but SEND, RECV and CATALOG,
//    or outside the working directory.
// Every received frame is handed over in a heap buffer of exactly its
// length, so that AddressSanitizer catches a read past it.
//
// Input: byte 0 holds the flags, the rest is the stream.
//   bit 0   the messaging carrier (chunk limit 20480, hello key a contact id)
//           instead of TCP
//   bit 1   skip the frame check: the engine's own guards face every frame
//           the reassembly cuts
//   bits 2+ seed of the cut lengths (0: the stream arrives in one piece)
//
// Each input starts from the same state: a node NODE_A of party PARTY with
// three neighbour rows, two own files in SEND and nothing else.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "platform/files.h"
#include "protocol/exchange.h"
#include "protocol/frame_check.h"
#include "store/catalog.h"
#include "store/events.h"
#include "support/test_settings.h"

namespace fs = std::filesystem;

namespace {

// The node's settings: NODE_A of party PARTY with three neighbour rows.
std::unique_ptr<testsupport::TestSettings> makeSettings()
{
    auto s = std::make_unique<testsupport::TestSettings>();
    s->nodeName = "NODE_A";
    s->partyName = "PARTY";
    s->addRow("NODE_B", "TCP", "127.0.0.1/42001");
    s->addRow("NODE_C", "TCP", "127.0.0.2/42002");
    s->addRow("skype.id", "SKYPE", "skype.id");
    return s;
}

class ChangeCounter : public ZQ_EVENTCATALOGLISTENER {
public:
    int changes = 0;
    void onRecord(const CatalogRecord*) override { ++changes; }
    void onRecordAt(int, const CatalogRecord*) override { ++changes; }
};

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "frame_fuzz: invariant broken: %s\n", what);
    std::abort();
}

std::string g_base; // holds the working directory and nothing else
std::string g_work;
std::unique_ptr<testsupport::TestSettings> g_settings;
ChangeCounter g_counter;

using fuzzrec::OWN_EMPTY;
using fuzzrec::OWN_FILE;
using fuzzrec::OWN_FILE_SIZE;

void registerOwn(const char* name, std::size_t size)
{
    const CatalogRecord r = fuzzrec::makeRecord("NODE_A", name, static_cast<DWORD>(size));
    CCatalog::getInstance()->addRec(&r);
}

void setUpOnce()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/yuvo-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        broken("no temporary folder");
    g_base = tmpl;
    g_work = g_base + "/node";
    fs::create_directory(g_work);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_base, ec);
    });
    ZQ_EVENTCATALOG::getInstance()->addListener(&g_counter);

    fs::create_directories(g_work + "/SEND");
    std::string content(OWN_FILE_SIZE, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + (i >> 9));
    platform::replaceFileAtomically(g_work + "/SEND/" + OWN_FILE, content.data(), content.size());
    platform::replaceFileAtomically(g_work + "/SEND/" + OWN_EMPTY, "", 0);
}

// A fresh node: no catalog, no queues, nothing received.
void startNode()
{
    std::error_code ec;
    fs::remove_all(g_work + "/CATALOG", ec);
    fs::remove_all(g_work + "/RECV", ec);
    g_settings = makeSettings();
    registerOwn(OWN_FILE, OWN_FILE_SIZE);
    registerOwn(OWN_EMPTY, 0);
}

// Only the node's three folders, each holding what it may hold.
void checkFolders()
{
    for (const auto& e : fs::directory_iterator(g_base))
        if (e.path().filename() != "node")
            broken("something was written beside the working folder");
    for (const auto& e : fs::directory_iterator(g_work)) {
        const std::string name = e.path().filename().string();
        if ((name != "SEND" && name != "RECV" && name != "CATALOG") || !e.is_directory())
            broken("something was written into the working folder");
    }
    int sent = 0;
    for (const auto& e : fs::directory_iterator(g_work + "/SEND")) {
        ++sent;
        const std::string name = e.path().filename().string();
        if (name == OWN_FILE ? fs::file_size(e.path()) != OWN_FILE_SIZE
                             : name != OWN_EMPTY || fs::file_size(e.path()) != 0)
            broken("SEND was changed");
    }
    if (sent != 2)
        broken("SEND was changed");
    for (const auto& e : fs::directory_iterator(g_work + "/CATALOG"))
        if (!e.is_regular_file())
            broken("CATALOG holds something but files");
    // RECV/<origin>/<file>, nothing deeper.
    for (const auto& origin : fs::directory_iterator(g_work + "/RECV")) {
        if (!origin.is_directory())
            broken("RECV holds a file outside an origin's folder");
        for (const auto& e : fs::directory_iterator(origin.path()))
            if (!e.is_regular_file())
                broken("RECV holds something deeper than a file per origin");
    }
}

// Every frame the engine queued must be one a carrier accepts.
void drainAndCheck(CExchange& ex)
{
    static std::unique_ptr<BYTE[]> slot(new BYTE[ZQ_QUE::SLOT_SIZE]);
    while (ex.sendQueue().dequeue(slot.get()) == 1) {
        const DWORD len = frameLength(readHeader(slot.get()));
        if (len > MAX_FRAME_SIZE || checkFrame(slot.get(), len, CHUNK_LIMIT_TCP) == FrameKind::Bad)
            broken("the engine queued a malformed frame");
    }
}

struct Link {
    bool skype = false;
    bool raw = false;
    bool identified = false;
    CExchange ex;

    DWORD chunkLimit(const ExchangeHeader& h) const
    {
        return skype ? CHUNK_LIMIT_SKYPE : tcpChunkLimit(h.version);
    }

    // false: the carrier would close the link here.
    bool dispatch(BYTE* frame, std::size_t length)
    {
        const ExchangeHeader h = readHeader(frame);
        FrameKind kind;
        if (raw) {
            kind = FrameKind::Other;
            if (h.category == CATEGORY_NODEINFO && h.command == COMMAND_NODEINFO)
                kind = FrameKind::NodeInfo;
            else if (h.category == CATEGORY_CATALOG && h.command == COMMAND_SYNCPOLL)
                kind = FrameKind::SyncPoll;
            else if (h.category == CATEGORY_CATALOG && h.command == COMMAND_CATALOGRECORDS)
                kind = FrameKind::CatalogRecords;
            else if (h.category == CATEGORY_FILE && h.command == COMMAND_FILEREQUEST)
                kind = FrameKind::FileRequest;
            else if (h.category == CATEGORY_FILE && h.command == COMMAND_FILECHUNK)
                kind = FrameKind::FileChunk;
        } else {
            // A received chunk is checked against the most any carrier sends.
            kind = checkFrame(frame, length, CHUNK_LIMIT_TCP);
            if (kind == FrameKind::Bad)
                return false;
        }

        switch (kind) {
        case FrameKind::NodeInfo: {
            if (!skype && !identified) {
                identified = true; // the first hello only identifies a TCP link
                break;
            }
            int party = 0;
            ex.onNodeInfo(reinterpret_cast<const NodeInfoFrame*>(frame), skype ? 0 : 1,
                          skype ? "skype.id" : "127.0.0.1", &party, skype ? nullptr : "NODE_B");
            if (party != 1 && !skype)
                return false;
            break;
        }
        case FrameKind::SyncPoll: {
            const std::string peer = skype ? (ex.getPeerNode().empty() ? "skype.id" : ex.getPeerNode())
                                           : "NODE_B";
            ex.replyCatalog(peer.c_str(), reinterpret_cast<const SyncPollFrame*>(frame));
            break;
        }
        case FrameKind::CatalogRecords: {
            const int before = CCatalog::getInstance()->getRecCount();
            g_counter.changes = 0;
            ex.onCatalogRecords(reinterpret_cast<const CatalogRecordsFrame*>(frame));
            const int most = static_cast<int>(recordsToApply(h));
            if (g_counter.changes > most || CCatalog::getInstance()->getRecCount() - before > most)
                broken("a records frame changed more records than it may apply");
            break;
        }
        case FrameKind::FileRequest:
            ex.sendChunk(reinterpret_cast<const FileRequestFrame*>(frame), chunkLimit(h));
            break;
        case FrameKind::FileChunk:
            ex.onChunk(reinterpret_cast<FileChunkFrame*>(frame));
            break;
        default:
            break;
        }
        drainAndCheck(ex);
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool ready = false;
    if (!ready) {
        setUpOnce();
        ready = true;
    }
    if (size < 1)
        return 0;
    // The node works in its own folder; the fuzzing engine keeps its own
    // (relative paths of the corpus and of the crash files).
    const fs::path outside = fs::current_path();
    if (chdir(g_work.c_str()) != 0)
        broken("cannot enter the working folder");
    startNode();

    auto link = std::make_unique<Link>();
    link->skype = (data[0] & 1) != 0;
    link->raw = (data[0] & 2) != 0;
    std::uint32_t rnd = data[0] >> 2;
    const std::size_t maxPiece = rnd == 0 ? size : std::size_t(rnd) * 97;
    rnd = rnd * 2654435761u + 1;

    CFrameReassembler reasm;
    std::size_t at = 1;
    bool open = true;
    while (open && at < size) {
        rnd ^= rnd << 13;
        rnd ^= rnd >> 17;
        rnd ^= rnd << 5;
        std::size_t piece = 1 + rnd % maxPiece;
        if (piece > size - at)
            piece = size - at;
        at += reasm.append(data + at, piece);

        for (;;) {
            const BYTE* frame = nullptr;
            std::size_t length = 0;
            const CFrameReassembler::Cut cut = reasm.peek(&frame, &length);
            if (cut == CFrameReassembler::Cut::Error) {
                open = false;
                break;
            }
            if (cut == CFrameReassembler::Cut::NeedMore)
                break;
            std::unique_ptr<BYTE[]> exact(new BYTE[length]);
            std::memcpy(exact.get(), frame, length);
            reasm.pop();
            if (!link->dispatch(exact.get(), length)) {
                open = false;
                break;
            }
        }
    }
    link.reset();
    // The catalog writes its file at release: still inside the folder.
    CCatalog::releaseInstance();
    g_settings.reset();
    checkFolders();
    if (chdir(outside.c_str()) != 0)
        broken("cannot leave the working folder");
    return 0;
}
