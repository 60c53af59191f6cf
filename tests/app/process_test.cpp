// The program itself, run as a child process in a temporary working
// directory: the end of the session (SIGTERM, SIGHUP, SIGINT) ends it in
// order, also with a message box open; a second start in the same folder or
// party is refused with the message on standard error, whatever the
// session's environment; a lock folder that cannot be used is told apart; a
// relative lock folder is the working directory's.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include "app/tandrel_app.h"
#include "app_testkit.h"

using namespace apptest;

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()>& pred, int ms = 30000)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    std::string err() const { return testsupport::readFile(errPath); }
    ~Child()
    {
        if (running()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// How a child is started: its lock folder (nothing: the user's own), the
// session's XDG_RUNTIME_DIR (nothing: unset), Qt's platform, extra switches.
struct RunOptions {
    // A start names the options it sets, in this order; the rest keep these.
    RunOptions(std::optional<std::string> lockFolder_ = {}, std::optional<std::string> runtimeDir_ = {},
               std::string platform_ = "offscreen", std::vector<std::string> args_ = {})
        : lockFolder(std::move(lockFolder_)), runtimeDir(std::move(runtimeDir_)), platform(std::move(platform_)),
          args(std::move(args_))
    {
    }
    std::optional<std::string> lockFolder;
    std::optional<std::string> runtimeDir;
    std::string platform;
    std::vector<std::string> args;
};

class ProcessTest : public testing::Test {
protected:
    testsupport::TempDir root;

    std::string nodeDir(const std::string& name) { return root.file(name); }

    // The lock folder of the test's nodes (made by the program).
    std::string locks() { return root.file("locks"); }

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

    // Settings without the keys the program writes itself, and a catalog
    // whose partial last record only a rewrite loses.
    void prepareForTheEnd(const std::string& name, const Ini& i)
    {
        std::string text = i.text();
        text.erase(text.find("LIMITDAY"), text.find("LISTENPORT") - text.find("LIMITDAY"));
        testsupport::writeFile(nodeDir(name) + "/Yuvo.ini", text);
        platform::makeSureDirectoryPathExists(nodeDir(name) + "/CATALOG/");
        const CatalogRecord a = catalogtest::makeRec("OTHER", "a.txt", 100, CATALOG_STATE_NEW, i.party.c_str());
        catalogtest::writeRecords(nodeDir(name) + "/CATALOG/catalog.dat", {a}, std::string(100, 'x'));
    }

    void expectWrittenAtTheEnd(const std::string& name)
    {
        const std::string written = testsupport::readFile(nodeDir(name) + "/Yuvo.ini");
        EXPECT_NE(written.find("LIMITDAY=3"), std::string::npos) << written;
        EXPECT_EQ(platform::fileSize(nodeDir(name) + "/CATALOG/catalog.dat"), 820);
    }

    std::unique_ptr<Child> run(const std::string& name, const RunOptions& o)
    {
        auto c = std::make_unique<Child>();
        static int serial = 0;
        c->errPath = root.file(name + "-" + std::to_string(++serial) + ".err");
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string s = *e;
            if (s.rfind("XDG_RUNTIME_DIR=", 0) != 0 && s.rfind("QT_QPA_PLATFORM=", 0) != 0
                && s.rfind("YUVO_LOCK_FOLDER=", 0) != 0)
                env.push_back(s);
        }
        if (o.runtimeDir) {
            ::mkdir(o.runtimeDir->c_str(), 0700);
            env.push_back("XDG_RUNTIME_DIR=" + *o.runtimeDir);
        }
        if (o.lockFolder)
            env.push_back("YUVO_LOCK_FOLDER=" + *o.lockFolder);
        env.push_back("QT_QPA_PLATFORM=" + o.platform);
        std::vector<std::string> args = {YUVO_EXE, "-D386"};
        args.insert(args.end(), o.args.begin(), o.args.end());
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(nodeDir(name).c_str()) != 0)
                ::_exit(126);
            const int err = ::open(c->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err, 2);
            std::vector<char*> argv, e;
            for (auto& s : args)
                argv.push_back(s.data());
            argv.push_back(nullptr);
            for (auto& s : env)
                e.push_back(s.data());
            e.push_back(nullptr);
            ::execve(argv[0], argv.data(), e.data());
            ::_exit(127);
        }
        c->pid = pid;
        return c;
    }

    std::unique_ptr<Child> run(const std::string& name) { return run(name, RunOptions{locks()}); }
};

const std::string kDuplicate = "    ２重起動です。処理を中止します    ";

} // namespace

TEST_F(ProcessTest, SigtermSighupAndSigintEndTheNodeInOrder)
{
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::string name = "n" + std::to_string(sig);
        const Ini i = writeOnlineIni(name, "TermParty");
        prepareForTheEnd(name, i);

        auto c = run(name);
        ASSERT_TRUE(waitFor([&] { return accepts(i.listenPort) || !c->running(); })) << c->err();
        ASSERT_TRUE(c->running()) << c->err();
        ::kill(c->pid, sig);
        ASSERT_TRUE(c->ended());
        EXPECT_TRUE(c->exitedWith(0)) << c->status << "\n" << c->err();
        expectWrittenAtTheEnd(name);
        EXPECT_FALSE(accepts(i.listenPort));
    }
}

// A real message box (Qt's minimal platform shows it, where the offscreen
// one would print it) holds the start-up: the node has rows but no name.
// The end of the session closes it and ends the node in order; with
// "-CATALOGCASH" the catalog is written at that end only.
TEST_F(ProcessTest, EndOfTheSessionClosesAnOpenMessageBoxAndEndsInOrder)
{
    Ini i = writeOnlineIni("boxed", "BoxParty");
    i.name = "";
    prepareForTheEnd("boxed", i);
    auto c = run("boxed", RunOptions{locks(), std::nullopt, "minimal", {"-CATALOGCASH"}});
    // The window is made before the box shows; no event loop runs before
    // the box's own, so the signal is heard inside it.
    ASSERT_TRUE(waitFor([&] { return testsupport::exists(nodeDir("boxed") + "/RECV") || !c->running(); }));
    ASSERT_TRUE(c->running()) << c->err();
    const auto sent = Clock::now();
    ::kill(c->pid, SIGTERM);
    ASSERT_TRUE(c->ended()) << "the node waited for its message box";
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
    EXPECT_TRUE(c->exitedWith(0)) << c->status << "\n" << c->err();
    expectWrittenAtTheEnd("boxed");
    RecordProperty("end_ms", std::to_string(ms));
}

TEST_F(ProcessTest, SecondStartInTheFolderOrThePartyIsRefused)
{
    const Ini first = writeOnlineIni("n1", "DupParty");
    auto n1 = run("n1");
    ASSERT_TRUE(waitFor([&] { return accepts(first.listenPort) || !n1->running(); })) << n1->err();

    // The same party in another folder; then the same folder, now naming
    // another party, so that only the folder's lock stands in the way.
    writeOnlineIni("n2", "DupParty");
    for (const std::string folder : {"n2", "n1"}) {
        if (folder == "n1")
            writeOnlineIni("n1", "OtherParty");
        auto second = run(folder);
        ASSERT_TRUE(second->ended()) << "a second node kept running";
        EXPECT_TRUE(second->exitedWith(CTandrelApp::EXIT_DUPLICATE)) << second->status;
        EXPECT_NE(second->err().find(kDuplicate), std::string::npos) << second->err();
    }
    EXPECT_FALSE(testsupport::exists(nodeDir("n2") + "/CATALOG"));

    ::kill(n1->pid, SIGTERM);
    ASSERT_TRUE(n1->ended());
    EXPECT_TRUE(n1->exitedWith(0)) << n1->status;
}

// The party lock is the user's, wherever the session's runtime folder
// points: a desktop session and an ssh shell meet at the same lock. The
// user's own lock folder is used here, under a party no one else runs.
TEST_F(ProcessTest, ThePartyLockDoesNotDependOnTheSessionsRuntimeFolder)
{
    const std::string party = "XdgParty-" + std::to_string(::getpid());
    const Ini first = writeOnlineIni("desk", party);
    writeOnlineIni("shell", party);
    {
        auto desk = run("desk", RunOptions{std::nullopt, root.file("run-desk")});
        ASSERT_TRUE(waitFor([&] { return accepts(first.listenPort) || !desk->running(); })) << desk->err();
        for (const std::optional<std::string>& runtime : {std::optional<std::string>(),
                                                           std::optional<std::string>(root.file("run-ssh"))}) {
            auto shell = run("shell", RunOptions{std::nullopt, runtime});
            ASSERT_TRUE(shell->ended()) << "a second node of the party kept running";
            EXPECT_TRUE(shell->exitedWith(CTandrelApp::EXIT_DUPLICATE)) << shell->status << shell->err();
        }
        ::kill(desk->pid, SIGTERM);
        ASSERT_TRUE(desk->ended());
    }
    ::unlink((CMultiCheck::defaultLockFolder() + "/" + CMultiCheck::lockFileName(party)).c_str());
}

// A lock folder that cannot be used is no second start: the message says
// what is wrong with the folder, and the exit status differs.
TEST_F(ProcessTest, AnUnusableLockFolderIsToldApartFromASecondStart)
{
    const std::string open = root.file("open"), file = root.file("file"), link = root.file("link");
    ::mkdir(open.c_str(), 0755);
    ::chmod(open.c_str(), 0755);
    testsupport::writeFile(file, "");
    ::mkdir(root.file("target").c_str(), 0700);
    ASSERT_EQ(::symlink(root.file("target").c_str(), link.c_str()), 0);
    const struct {
        std::string folder;
        std::string said;
    } table[] = {
        {open, "他のユーザーにもアクセス権があります（モード 0755"},
        {file, "フォルダではありません"},
        {link, "フォルダではありません"},
        {file + "/below", "フォルダを作成できません"},
    };
    writeOnlineIni("n", "LockParty");
    for (const auto& c : table) {
        SCOPED_TRACE(c.folder);
        auto node = run("n", RunOptions{c.folder});
        ASSERT_TRUE(node->ended());
        EXPECT_TRUE(node->exitedWith(CTandrelApp::EXIT_LOCK_FOLDER)) << node->status << node->err();
        EXPECT_NE(node->err().find("ロック用フォルダ " + c.folder + " を使用できません。" + c.said),
                  std::string::npos)
            << node->err();
        EXPECT_EQ(node->err().find(kDuplicate), std::string::npos);
    }
    EXPECT_FALSE(testsupport::exists(nodeDir("n") + "/CATALOG"));
}

// A relative lock folder is taken from the node's working directory: a node
// started with "../locks" and one given that folder by its full path meet
// at the same party lock; a relative folder that cannot be used is said
// with the full path the node made of it.
TEST_F(ProcessTest, ARelativeLockFolderIsTakenFromTheWorkingDirectory)
{
    const Ini first = writeOnlineIni("rel1", "RelParty");
    auto n1 = run("rel1", RunOptions{"../locks"});
    ASSERT_TRUE(waitFor([&] { return accepts(first.listenPort) || !n1->running(); })) << n1->err();
    EXPECT_TRUE(testsupport::exists(locks() + "/" + CMultiCheck::lockFileName("RelParty")));

    writeOnlineIni("rel2", "RelParty");
    auto second = run("rel2", RunOptions{locks()});
    ASSERT_TRUE(second->ended()) << "a second node of the party kept running";
    EXPECT_TRUE(second->exitedWith(CTandrelApp::EXIT_DUPLICATE)) << second->status << second->err();

    ::mkdir(root.file("open").c_str(), 0755);
    ::chmod(root.file("open").c_str(), 0755);
    writeOnlineIni("rel3", "OpenParty");
    auto open = run("rel3", RunOptions{"../open"});
    ASSERT_TRUE(open->ended());
    EXPECT_TRUE(open->exitedWith(CTandrelApp::EXIT_LOCK_FOLDER)) << open->status << open->err();
    EXPECT_NE(open->err().find("/rel3/../open を使用できません。"), std::string::npos) << open->err();

    ::kill(n1->pid, SIGTERM);
    ASSERT_TRUE(n1->ended());
    EXPECT_TRUE(n1->exitedWith(0)) << n1->status;
}

// A name longer than its field is said at start, with the name the node
// uses; the file keeps the name as it stands, also after the stop.
TEST_F(ProcessTest, AnOverlongNameIsToldAtStartAndKeptInTheFile)
{
    Ini i = writeOnlineIni("long", "LongParty");
    i.name = std::string(40, 'L');
    i.limitDay = -5;
    testsupport::writeFile(nodeDir("long") + "/Yuvo.ini", i.text());
    auto c = run("long");
    const std::string used = "「" + std::string(32, 'L') + "」を使います";
    ASSERT_TRUE(waitFor([&] { return c->err().find(used) != std::string::npos || !c->running(); })) << c->err();
    ASSERT_TRUE(c->running()) << c->err();
    EXPECT_NE(c->err().find("LIMITDAY"), std::string::npos) << c->err();
    ::kill(c->pid, SIGTERM);
    ASSERT_TRUE(c->ended());
    EXPECT_TRUE(c->exitedWith(0)) << c->status << "\n" << c->err();
    const std::string written = testsupport::readFile(nodeDir("long") + "/Yuvo.ini");
    EXPECT_NE(written.find("NAME=" + std::string(40, 'L') + "\r\n"), std::string::npos) << written;
    EXPECT_NE(written.find("LIMITDAY=-5\r\n"), std::string::npos) << written;
}
