// The program itself, run as a child process in a temporary working
// directory: SIGTERM, SIGHUP and SIGINT end it in order (settings and
// catalog rewritten), and a second start in the same folder or party is
// refused with the message on standard error.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app_testkit.h"

using namespace apptest;

namespace {

bool waitFor(const std::function<bool()>& pred, int ms = 30000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

struct Child {
    pid_t pid = -1;
    int status = -1;
    std::string errPath;

    bool running()
    {
        int st = 0;
        if (pid <= 0)
            return false;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == 0)
            return true;
        status = r == pid ? st : -1;
        pid = -1;
        return false;
    }
    bool ended() { return waitFor([&] { return !running(); }); }
    bool exitedWith0() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
    std::string err() const { return testsupport::readFile(errPath); }
    ~Child()
    {
        if (running()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

class ProcessTest : public testing::Test {
protected:
    testsupport::TempDir root;

    std::string nodeDir(const std::string& name) { return root.file(name); }

    // A node that goes online (listens) with one unreachable row.
    Ini writeOnlineIni(const std::string& name, const std::string& party)
    {
        Ini i;
        i.party = party;
        i.name = "N1";
        i.listenPort = freePort();
        i.rows = {{"PEER", "TCP", "127.0.0.1/" + std::to_string(freePort()), ""}};
        platform::makeSureDirectoryPathExists(nodeDir(name) + "/");
        testsupport::writeFile(nodeDir(name) + "/Yuvo.ini", i.text());
        return i;
    }

    // Runs the program in the node's folder with its own lock folder.
    std::unique_ptr<Child> run(const std::string& name, const std::string& runtime = "run")
    {
        const std::string runDir = root.file(runtime);
        ::mkdir(runDir.c_str(), 0700);
        auto c = std::make_unique<Child>();
        static int serial = 0;
        c->errPath = root.file(name + "-" + std::to_string(++serial) + ".err");
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string s = *e;
            if (s.rfind("XDG_RUNTIME_DIR=", 0) != 0 && s.rfind("QT_QPA_PLATFORM=", 0) != 0)
                env.push_back(s);
        }
        env.push_back("XDG_RUNTIME_DIR=" + runDir);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::string exe = YUVO_EXE, debug = "-D386";
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(nodeDir(name).c_str()) != 0)
                ::_exit(126);
            const int err = ::open(c->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err, 2);
            char* argv[] = {exe.data(), debug.data(), nullptr};
            std::vector<char*> e;
            for (auto& s : env)
                e.push_back(s.data());
            e.push_back(nullptr);
            ::execve(argv[0], argv, e.data());
            ::_exit(127);
        }
        c->pid = pid;
        return c;
    }
};

const std::string kDuplicate = "    ２重起動です。処理を中止します    ";

} // namespace

TEST_F(ProcessTest, SigtermSighupAndSigintEndTheNodeInOrder)
{
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::string name = "n" + std::to_string(sig);
        const Ini i = writeOnlineIni(name, "TermParty");
        // Settings without the keys the program writes itself, and a
        // catalog whose partial last record only a rewrite loses.
        std::string text = i.text();
        text.erase(text.find("LIMITDAY"), text.find("LISTENPORT") - text.find("LIMITDAY"));
        testsupport::writeFile(nodeDir(name) + "/Yuvo.ini", text);
        platform::makeSureDirectoryPathExists(nodeDir(name) + "/CATALOG/");
        const CatalogRecord a = catalogtest::makeRec("OTHER", "a.txt", 100, CATALOG_STATE_NEW, "TermParty");
        catalogtest::writeRecords(nodeDir(name) + "/CATALOG/catalog.dat", {a}, std::string(100, 'x'));

        auto c = run(name, "run-" + name);
        ASSERT_TRUE(waitFor([&] { return accepts(i.listenPort) || !c->running(); })) << c->err();
        ASSERT_TRUE(c->running()) << c->err();
        ::kill(c->pid, sig);
        ASSERT_TRUE(c->ended());
        EXPECT_TRUE(c->exitedWith0()) << c->status << "\n" << c->err();

        const std::string written = testsupport::readFile(nodeDir(name) + "/Yuvo.ini");
        EXPECT_NE(written.find("LIMITDAY=3"), std::string::npos) << written;
        EXPECT_EQ(platform::fileSize(nodeDir(name) + "/CATALOG/catalog.dat"), 820);
        EXPECT_FALSE(accepts(i.listenPort));
    }
}

TEST_F(ProcessTest, SecondStartInTheFolderOrThePartyIsRefused)
{
    const Ini first = writeOnlineIni("n1", "DupParty");
    auto n1 = run("n1");
    ASSERT_TRUE(waitFor([&] { return accepts(first.listenPort) || !n1->running(); })) << n1->err();

    // The same folder under another lock folder: only the folder lock stands
    // in the way. Then the same party in another folder.
    writeOnlineIni("n2", "DupParty");
    for (const auto& [folder, runtime] : {std::pair{"n1", "run-other"}, std::pair{"n2", "run"}}) {
        auto second = run(folder, runtime);
        ASSERT_TRUE(second->ended()) << "a second node kept running";
        EXPECT_TRUE(WIFEXITED(second->status) && WEXITSTATUS(second->status) != 0) << second->status;
        EXPECT_NE(second->err().find(kDuplicate), std::string::npos) << second->err();
    }
    EXPECT_FALSE(testsupport::exists(nodeDir("n2") + "/CATALOG"));

    ::kill(n1->pid, SIGTERM);
    ASSERT_TRUE(n1->ended());
    EXPECT_TRUE(n1->exitedWith0()) << n1->status;
}
