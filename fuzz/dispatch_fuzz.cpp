// Fuzz target: every text a messaging client can send reaches the link's
// dispatcher (replies, notifications, READ frames) of a node whose link is
// attached, whose application is created and which has streams to bob and
// carol, over a real catalog. Aborts when
//  - a command the node sends is not one of the forms it may send (a
//    Skype ID that could break a command, a stray blank or control
//    character, a WRITE whose hex is no whole frame passing the frame check),
//  - a slot holds more than 64 streams,
//  - a Notify from another sender than the client is taken,
//  - anything appears in the working directory but SEND, RECV and CATALOG.
//
// Input: lines ('\n'); each is one event, by its first character:
//   '>' the rest answers the oldest unanswered command
//   '!' the oldest unanswered command fails (the link is lost)
//   '~' the client restarts (its bus name changes owner)
//   '?' the rest is a Notify from a stranger
//   otherwise the line is a Notify from the client.
// After every line the app-to-app model ticks once.
#include <unistd.h>

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "platform/cp932.h"
#include "platform/files.h"
#include "protocol/frame_check.h"
#include "skype/a2a_model.h"
#include "skype/fake_api.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "skype/skype_text.h"
#include "store/catalog.h"
#include "store/events.h"
#include "support/test_settings.h"

namespace fs = std::filesystem;

// The checks below are the oracle, not the code under test: their own
// branches would only feed the fuzzer coverage that means nothing (and cost
// a fifth of each run).
#if defined(__clang__)
#define ORACLE __attribute__((no_sanitize("coverage")))
#else
#define ORACLE
#endif

namespace {

constexpr char APP[] = "YUVO000P";

[[noreturn]] void broken(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "dispatch_fuzz: invariant broken: %s %s\n", what, detail.substr(0, 200).c_str());
    std::abort();
}

std::string g_base;
std::string g_work;
// Never destroyed: it must outlive everything torn down at exit.
QCoreApplication* g_app = nullptr;
std::unique_ptr<testsupport::TestSettings> g_settings;
skypetest::FakeApi* g_api = nullptr;
std::size_t g_checked = 0; // commands checked so far

// Where the node's folder goes: memory when the machine offers it, since
// every run writes and syncs the catalog's files twice, which on a disk
// costs more than the run itself.
std::string scratchFolder()
{
    if (::access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

void setUpOnce()
{
    static int argc = 1;
    static char name[] = "dispatch_fuzz";
    static char* argv[] = {name, nullptr};
    g_app = new QCoreApplication(argc, argv);
    std::string tmpl = scratchFolder() + "/yuvo-dfuzz-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        broken("no temporary folder");
    g_base = tmpl;
    g_work = g_base + "/node";
    fs::create_directories(g_work + "/SEND");
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_base, ec);
    });
    std::string content(fuzzrec::OWN_FILE_SIZE, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + (i >> 9));
    platform::replaceFileAtomically(g_work + "/SEND/" + fuzzrec::OWN_FILE, content.data(), content.size());
}

// A stream number as the node may send it: 1 to 9 decimal digits. Checked
// here on its own, not with the parser under test.
ORACLE bool isDecimal(std::string_view s)
{
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

ORACLE std::vector<std::string> split(const std::string& s)
{
    std::vector<std::string> t;
    std::size_t i = 0;
    while (i <= s.size()) {
        const std::size_t j = s.find(' ', i);
        t.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos)
            break;
        i = j + 1;
    }
    return t;
}

// "id:n" with a usable ID and a decimal number.
ORACLE bool isStreamKey(const std::string& key)
{
    const std::size_t colon = key.find(':');
    return colon != std::string::npos && isUsableSkypeId(key.substr(0, colon)) && isDecimal(key.substr(colon + 1));
}

ORACLE int lowerHexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

ORACLE void checkWrite(const std::string& hex)
{
    if (hex.empty() || hex.size() % 2 != 0)
        broken("WRITE without a whole hex frame");
    std::vector<BYTE> frame(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = lowerHexDigit(hex[i]);
        const int lo = lowerHexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            broken("WRITE hex not lower-case digits");
        frame[i / 2] = static_cast<BYTE>(hi * 16 + lo);
    }
    if (checkFrame(frame.data(), frame.size(), CHUNK_LIMIT_SKYPE) == FrameKind::Bad
        || frameLength(readHeader(frame.data())) != frame.size())
        broken("WRITE of a frame that fails the frame check");
}

ORACLE void checkCommand(const std::string& c)
{
    for (unsigned char ch : c)
        if (ch < 0x20 || ch == 0x7F)
            broken("control character in a command", c);
    const std::vector<std::string> t = split(c);
    const std::size_t n = t.size();
    if (c == "NAME Yuvo" || c == "SEARCH FRIENDS" || c == "GET CURRENTUSERHANDLE")
        return;
    if (n == 4 && t[0] == "GET" && t[1] == "USER" && t[3] == "ONLINESTATUS" && isUsableSkypeId(t[2]))
        return;
    if (n == 3 && (t[0] == "CREATE" || t[0] == "DELETE") && t[1] == "APPLICATION" && t[2] == APP)
        return;
    if (n == 4 && t[0] == "GET" && t[1] == "APPLICATION" && t[2] == APP && t[3] == "CONNECTABLE")
        return;
    if (n >= 5 && t[0] == "ALTER" && t[1] == "APPLICATION" && t[2] == APP) {
        if (n == 5 && t[3] == "CONNECT" && isUsableSkypeId(t[4]))
            return;
        if (n == 5 && (t[3] == "DISCONNECT" || t[3] == "READ") && isStreamKey(t[4]))
            return;
        if (n == 6 && t[3] == "WRITE" && isStreamKey(t[4]))
            return checkWrite(t[5]);
    }
    broken("a command the node never sends", c);
}

ORACLE void checkState()
{
    for (; g_checked < g_api->calls.size(); ++g_checked)
        checkCommand(g_api->calls[g_checked].text);
    if (ZQ_A2AMODEL::getInstance()->application(0).streamCount() > ZQ_SKYPEAPPLICATION::MAX_STREAMS)
        broken("more streams than a slot holds");
}

ORACLE void checkFolders()
{
    for (const auto& e : fs::directory_iterator(g_base))
        if (e.path().filename() != "node")
            broken("a file outside the working directory", e.path().string());
    for (const auto& e : fs::directory_iterator(g_work)) {
        const std::string name = e.path().filename().string();
        if (name != "SEND" && name != "RECV" && name != "CATALOG")
            broken("a stray entry in the working directory", name);
    }
}

// A node attached to the client, its application created, streams to bob
// and carol.
void startNode()
{
    std::error_code ec;
    fs::remove_all(g_work + "/CATALOG", ec);
    fs::remove_all(g_work + "/RECV", ec);
    g_settings = std::make_unique<testsupport::TestSettings>();
    g_settings->nodeName = "NODE_A";
    g_settings->partyName = "P";
    g_settings->addRow("bob", "SKYPE", "bob");
    g_settings->addRow("carol", "SKYPE", "carol");
    CatalogRecord own = fuzzrec::makeRecord("NODE_A", fuzzrec::OWN_FILE, fuzzrec::OWN_FILE_SIZE);
    cp932::copyField(own.partyName, sizeof own.partyName, "P");
    CCatalog::setCheckSum(&own);
    CCatalog::getInstance()->addRec(&own);

    auto api = std::make_unique<skypetest::FakeApi>();
    g_api = api.get();
    g_checked = 0;
    ZQ_SKYPECOM::useApi(std::move(api));
    ZQ_SKYPECOM* com = ZQ_SKYPECOM::getInstance();
    ZQ_SKYPEMODEL::getInstance();
    ZQ_A2AMODEL* a2a = ZQ_A2AMODEL::getInstance();
    a2a->setApplicationName(0, APP);
    com->createWindow(nullptr);
    g_api->setOwner(skypetest::CLIENT);
    g_api->answer(g_api->oldestOpen(), "OK");
    for (std::size_t i = 0; i < g_api->calls.size(); ++i) {
        if (g_api->calls[i].text == std::string("CREATE APPLICATION ") + APP) {
            g_api->answer(static_cast<int>(i), g_api->calls[i].text);
            break;
        }
    }
    g_api->notify(std::string("APPLICATION ") + APP + " STREAMS bob:1 carol:2");
}

void stopNode()
{
    ZQ_A2AMODEL::destroyInstance();
    ZQ_SKYPEMODEL::destroyInstance();
    ZQ_SKYPECOM::destroyInstance();
    CCatalog::releaseInstance();
    ZQ_EVENTCATALOG::destroyInstance();
    g_settings.reset();
}

void runLine(const std::string& line)
{
    const char kind = line.empty() ? '\0' : line[0];
    const std::string rest = line.empty() ? std::string() : line.substr(1);
    switch (kind) {
    case '>':
        if (g_api->oldestOpen() >= 0)
            g_api->answer(g_api->oldestOpen(), rest);
        break;
    case '!':
        if (g_api->oldestOpen() >= 0)
            g_api->fail(g_api->oldestOpen());
        break;
    case '~':
        g_api->setOwner("");
        g_api->setOwner(skypetest::CLIENT);
        break;
    case '?':
        if (g_api->notify(rest, ":1.666"))
            broken("a stranger's Notify was taken");
        break;
    default:
        g_api->notify(line);
        break;
    }
    checkState();
    ZQ_A2AMODEL::timerProc();
    checkState();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool once = (setUpOnce(), true);
    (void)once;
    // The node works in its own folder; the fuzzing engine keeps its own
    // (relative paths of the corpus and of the crash files).
    const fs::path outside = fs::current_path();
    if (::chdir(g_work.c_str()) != 0)
        broken("cannot enter the working folder");
    startNode();
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t i = 0;
    while (i < input.size()) {
        std::size_t j = input.find('\n', i);
        if (j == std::string::npos)
            j = input.size();
        // Texts travel as C strings: a NUL ends one.
        std::string line = input.substr(i, j - i);
        line.resize(std::strlen(line.c_str()));
        runLine(line);
        i = j + 1;
    }
    // The catalog writes its file at release: still inside the folder.
    stopNode();
    checkFolders();
    if (::chdir(outside.c_str()) != 0)
        broken("cannot leave the working folder");
    return 0;
}
