// The program itself, run as a child process in a temporary working
// directory: SIGTERM and SIGHUP end it in order (settings and catalog
// rewritten), a second start in the same folder or party is refused with
// the message on standard error, the console follows -D386, and a message
// box that nobody could see does not stop a headless node.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app_testkit.h"

using namespace apptest;

namespace {

struct Child {
    pid_t pid = -1;
    int status = -1;
    std::string outPath, errPath;

    bool running()
    {
        if (pid <= 0)
            return false;
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == 0)
            return true;
        if (r == pid)
            status = st;
        pid = -1;
        return false;
    }
    // Waits up to ms for the end; false when it still runs.
    bool waitEnd(int ms)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (running()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::string out() const { return testsupport::readFile(outPath); }
    std::string err() const { return testsupport::readFile(errPath); }
    ~Child()
    {
        if (running()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// A node folder, its lock folder, and runs of the program in it.
class ProcessTest : public testing::Test {
protected:
    testsupport::TempDir root;
    Ini ini;

    std::string nodeDir(const std::string& name) { return root.file(name); }

    void writeIni(const std::string& name, const Ini& i)
    {
        platform::makeSureDirectoryPathExists(nodeDir(name) + "/");
        testsupport::writeFile(nodeDir(name) + "/Yuvo.ini", i.text());
    }

    std::unique_ptr<Child> run(const std::string& name, const std::vector<std::string>& args,
                               const std::string& runtime = "run")
    {
        const std::string runDir = root.file(runtime);
        ::mkdir(runDir.c_str(), 0700);
        auto c = std::make_unique<Child>();
        static int serial = 0;
        const std::string base = root.file(name + "-" + std::to_string(++serial));
        c->outPath = base + ".out";
        c->errPath = base + ".err";
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string s = *e;
            if (s.rfind("XDG_RUNTIME_DIR=", 0) != 0 && s.rfind("QT_QPA_PLATFORM=", 0) != 0)
                env.push_back(s);
        }
        env.push_back("XDG_RUNTIME_DIR=" + runDir);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<std::string> argv = {YUVO_EXE};
        argv.insert(argv.end(), args.begin(), args.end());

        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(nodeDir(name).c_str()) != 0)
                ::_exit(126);
            const int out = ::open(c->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(c->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> a, e;
            for (auto& s : argv)
                a.push_back(s.data());
            a.push_back(nullptr);
            for (auto& s : env)
                e.push_back(s.data());
            e.push_back(nullptr);
            ::execve(a[0], a.data(), e.data());
            ::_exit(127);
        }
        c->pid = pid;
        return c;
    }

    static bool waitFor(const std::function<bool()>& pred, int ms)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    // A node that is online (it listens on its port) with one unreachable row.
    Ini onlineIni(const std::string& party)
    {
        Ini i;
        i.party = party;
        i.name = "N1";
        i.listenPort = freePort();
        i.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(freePort()), ""}};
        return i;
    }

    static std::string duplicateMessage() { return "    ２重起動です。処理を中止します    "; }
};

bool exitedWith(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

} // namespace

TEST_F(ProcessTest, SigtermSighupAndSigintEndTheNodeInOrder)
{
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        const std::string name = sig == SIGTERM ? "term" : sig == SIGHUP ? "hup" : "int";
        const Ini i = onlineIni("TermParty");
        // The settings as a person wrote them, without the keys the program
        // writes itself; and a catalog with one entry.
        platform::makeSureDirectoryPathExists(nodeDir(name) + "/CATALOG/");
        testsupport::writeFile(nodeDir(name) + "/Yuvo.ini",
                               "[SYSTEM]\nPARTY=TermParty\nNAME=N1\nCONNECTNUM=1\nLISTENPORT=" +
                                   std::to_string(i.listenPort) + "\n[REC1]\nNAME=PEER\nTRS=TCP\nHOSTNAME=" +
                                   i.rows[0].target + "\n");
        const CatalogRecord a = catalogtest::makeRec("OTHER", "a.txt", 100, CATALOG_STATE_NEW, "TermParty");
        // A partial record at the end, which only a rewrite loses.
        catalogtest::writeRecords(nodeDir(name) + "/CATALOG/catalog.dat", {a}, std::string(100, 'x'));

        auto c = run(name, {}, "run-" + name);
        ASSERT_TRUE(waitFor([&] { return accepts(i.listenPort) || !c->running(); }, 30000)) << c->err();
        ASSERT_TRUE(c->running()) << c->err();
        ::kill(c->pid, sig);
        ASSERT_TRUE(c->waitEnd(30000)) << "the node did not end";
        EXPECT_TRUE(exitedWith(c->status, 0)) << "status " << c->status << "\n" << c->err();

        const std::string written = testsupport::readFile(nodeDir(name) + "/Yuvo.ini");
        EXPECT_NE(written.find("LIMITDAY=3"), std::string::npos) << written;
        EXPECT_NE(written.find("WINDOW=0"), std::string::npos) << written;
        EXPECT_EQ(platform::fileSize(nodeDir(name) + "/CATALOG/catalog.dat"), 820) << "catalog.dat was not rewritten";
        const auto recs = catalogtest::readRecords(nodeDir(name) + "/CATALOG/catalog.dat");
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(catalogtest::fileOf(recs[0]), "a.txt");
        EXPECT_FALSE(accepts(i.listenPort));
    }
}

TEST_F(ProcessTest, SecondStartInTheFolderOrThePartyIsRefused)
{
    const Ini first = onlineIni("DupParty");
    writeIni("n1", first);
    auto n1 = run("n1", {"-D386"});
    ASSERT_TRUE(waitFor([&] { return accepts(first.listenPort) || !n1->running(); }, 30000)) << n1->err();

    // The same folder, under another lock folder (so only the folder lock
    // stands in the way).
    auto again = run("n1", {"-D386"}, "run-other");
    ASSERT_TRUE(again->waitEnd(30000)) << "a second node in the same folder kept running";
    EXPECT_TRUE(WIFEXITED(again->status) && WEXITSTATUS(again->status) != 0) << again->status;
    EXPECT_NE(again->err().find(duplicateMessage()), std::string::npos) << again->err();
    EXPECT_EQ(again->out(), "") << "the refused start went on to the switches";

    // The same party in another folder.
    Ini second = onlineIni("DupParty");
    writeIni("n2", second);
    auto n2 = run("n2", {"-D386"});
    ASSERT_TRUE(n2->waitEnd(30000)) << "a second node of the party kept running";
    EXPECT_TRUE(WIFEXITED(n2->status) && WEXITSTATUS(n2->status) != 0) << n2->status;
    EXPECT_NE(n2->err().find(duplicateMessage()), std::string::npos) << n2->err();
    EXPECT_FALSE(testsupport::exists(nodeDir("n2") + "/CATALOG"));

    // Another party runs beside it.
    Ini third = onlineIni("OtherParty");
    writeIni("n3", third);
    auto n3 = run("n3", {"-D386"});
    EXPECT_TRUE(waitFor([&] { return accepts(third.listenPort) || !n3->running(); }, 30000));
    EXPECT_TRUE(n3->running()) << n3->err();

    for (Child* c : {n1.get(), n3.get()}) {
        ::kill(c->pid, SIGTERM);
        EXPECT_TRUE(c->waitEnd(30000));
        EXPECT_TRUE(exitedWith(c->status, 0)) << c->status;
    }
}

TEST_F(ProcessTest, ConsoleLinesOnlyWithTheDebugSwitch)
{
    const Ini i = onlineIni("ConsoleParty");
    writeIni("dbg", i);
    auto c = run("dbg", {"-NOSKYPE", "-d386", "-PASV", "-D386", "-CATALOGCASH"});
    ASSERT_TRUE(waitFor([&] { return accepts(i.listenPort) || !c->running(); }, 30000)) << c->err();
    ::kill(c->pid, SIGTERM);
    ASSERT_TRUE(c->waitEnd(30000));
    EXPECT_EQ(c->out().rfind("DEBUG_MODE ON\nPASV_MODE ON\nCATALOGCASH_MODE ON\nNO SKYPE MODE\n", 0), 0u)
        << c->out();

    const Ini j = onlineIni("QuietParty");
    writeIni("quiet", j);
    auto q = run("quiet", {"-PASV", "-SERVER"});
    ASSERT_TRUE(waitFor([&] { return accepts(j.listenPort) || !q->running(); }, 30000)) << q->err();
    ::kill(q->pid, SIGTERM);
    ASSERT_TRUE(q->waitEnd(30000));
    EXPECT_TRUE(exitedWith(q->status, 0));
    EXPECT_EQ(q->out(), "");
}

TEST_F(ProcessTest, HeadlessNodePrintsItsMessageAndKeepsRunning)
{
    Ini i = onlineIni("HeadlessParty");
    i.name = "";
    writeIni("headless", i);
    auto c = run("headless", {});
    const std::string message = "ノード名が未設定です。ノード名を設定してください。";
    ASSERT_TRUE(waitFor([&] { return c->err().find(message) != std::string::npos || !c->running(); }, 30000))
        << c->err();
    EXPECT_TRUE(c->running()) << c->err();
    // Offline after the message: nobody listens.
    EXPECT_FALSE(accepts(i.listenPort));
    ::kill(c->pid, SIGTERM);
    ASSERT_TRUE(c->waitEnd(30000));
    EXPECT_TRUE(exitedWith(c->status, 0)) << c->err();
}
