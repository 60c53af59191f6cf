// One instance per party and per working directory, proved with real second
// processes (this test program started again as a lock-taking child).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/ui/multi_check.h"
#include "platform/ui/text.h"
#include "support/tempdir.h"

extern char** environ;

using testsupport::TempDir;

namespace {

// The child's side: YUVO_LOCK_CHILD names what to do with the lock of
// YUVO_LOCK_NAME (a party) or of the folder YUVO_LOCK_FOLDER. "try" exits
// 0 when it got the lock, 1 when another holds it, 2 on failure; "hold"
// writes that digit to stdout and keeps the lock until stdin closes.
int childMain(const std::string& mode)
{
    const char* folder = std::getenv("YUVO_LOCK_FOLDER");
    const char* name = std::getenv("YUVO_LOCK_NAME");
    int code = 2;
    CMultiCheck party(folder ? folder : "");
    CWorkDirLock dir;
    if (mode.rfind("party", 0) == 0)
        code = party.check(name ? name : "") ? 0 : 1;
    else {
        const auto r = dir.lock(folder ? folder : "");
        code = r == CWorkDirLock::locked ? 0 : r == CWorkDirLock::busy ? 1 : 2;
    }
    if (mode.find("hold") != std::string::npos) {
        const char digit = char('0' + code);
        if (::write(1, &digit, 1) != 1)
            return 2;
        char c;
        while (::read(0, &c, 1) > 0) {
        }
    }
    return code;
}

const int g_child = [] {
    if (const char* mode = std::getenv("YUVO_LOCK_CHILD"))
        std::_Exit(childMain(mode));
    return 0;
}();

struct Child {
    pid_t pid = -1;
    int toChild = -1;   // closing it lets a holding child end
    int fromChild = -1;
};

Child spawnChild(const std::string& mode, const std::string& folder, const std::string& name)
{
    int in[2];
    int out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
        return {};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("YUVO_LOCK_", 0) != 0)
            env.emplace_back(*e);
    }
    env.push_back("YUVO_LOCK_CHILD=" + mode);
    env.push_back("YUVO_LOCK_FOLDER=" + folder);
    env.push_back("YUVO_LOCK_NAME=" + name);
    std::vector<char*> envp;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    char* argv[] = {exe.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    Child c;
    if (posix_spawn(&c.pid, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0)
        c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    c.toChild = in[1];
    c.fromChild = out[0];
    return c;
}

int waitExit(Child& c)
{
    if (c.toChild >= 0)
        ::close(c.toChild);
    if (c.fromChild >= 0)
        ::close(c.fromChild);
    c.toChild = c.fromChild = -1;
    int status = 0;
    if (::waitpid(c.pid, &status, 0) != c.pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Another process tries the lock and ends: 0 got it, 1 held elsewhere.
int tryInOtherProcess(const std::string& mode, const std::string& folder, const std::string& name = "")
{
    Child c = spawnChild(mode, folder, name);
    return c.pid > 0 ? waitExit(c) : -1;
}

// Another process takes the lock and keeps it until release().
class Holder {
public:
    Holder(const std::string& mode, const std::string& folder, const std::string& name = "")
        : m_child(spawnChild(mode + "-hold", folder, name))
    {
        char digit = 0;
        if (m_child.pid > 0 && ::read(m_child.fromChild, &digit, 1) == 1)
            m_result = digit - '0';
    }
    ~Holder() { release(); }
    int result() const { return m_result; }
    void release()
    {
        if (m_child.pid > 0) {
            waitExit(m_child);
            m_child.pid = -1;
        }
    }

private:
    Child m_child;
    int m_result = -1;
};

} // namespace

TEST(MultiCheckTest, SecondProcessWithTheSamePartyIsRefused)
{
    TempDir dir;
    CMultiCheck lock(dir.path());
    const std::string party = ui::cp("東京パーティ");
    ASSERT_TRUE(lock.check(party));
    EXPECT_EQ(lock.heldName(), party);
    EXPECT_TRUE(lock.check(party)); // held already
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), party), 1);
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), ui::cp("大阪パーティ")), 0);
    // A second lock object in this process is refused as well.
    CMultiCheck other(dir.path());
    EXPECT_FALSE(other.check(party));
}

TEST(MultiCheckTest, EmptyPartyTakesNoLock)
{
    TempDir dir;
    CMultiCheck lock(dir.path());
    EXPECT_TRUE(lock.check(""));
    EXPECT_EQ(lock.heldName(), "");
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), ""), 0);
}

TEST(MultiCheckTest, LockEndsWithTheProcessThatHeldIt)
{
    TempDir dir;
    Holder holder("party", dir.path(), "p1");
    ASSERT_EQ(holder.result(), 0);
    CMultiCheck lock(dir.path());
    EXPECT_FALSE(lock.check("p1"));
    EXPECT_EQ(lock.heldName(), "");
    holder.release();
    EXPECT_TRUE(lock.check("p1"));
}

TEST(MultiCheckTest, FailedCheckKeepsTheLockHeldSoFar)
{
    TempDir dir;
    CMultiCheck lock(dir.path());
    ASSERT_TRUE(lock.check("A"));
    Holder holderB("party", dir.path(), "B");
    ASSERT_EQ(holderB.result(), 0);

    EXPECT_FALSE(lock.check("B"));
    EXPECT_EQ(lock.heldName(), "A");
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), "A"), 1); // still held here
    EXPECT_TRUE(lock.check("A"));

    // Moving to a free name gives the old one up.
    holderB.release();
    ASSERT_TRUE(lock.check("B"));
    EXPECT_EQ(lock.heldName(), "B");
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), "A"), 0);
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), "B"), 1);
}

TEST(MultiCheckTest, LockFileNamesAreSafeForAnyName)
{
    EXPECT_EQ(CMultiCheck::lockFileName("ab"), "party-6162.lock");
    EXPECT_EQ(CMultiCheck::lockFileName("../x"), "party-2e2e2f78.lock");
    const std::string longA(300, 'a');
    std::string longB = longA;
    longB.back() = 'b';
    const std::string a = CMultiCheck::lockFileName(longA);
    EXPECT_LT(a.size(), 255u);
    EXPECT_NE(a, CMultiCheck::lockFileName(longB));

    TempDir dir;
    CMultiCheck lock(dir.path());
    EXPECT_TRUE(lock.check(longA));
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), longA), 1);
    EXPECT_EQ(tryInOtherProcess("party", dir.path(), longB), 0);
}

TEST(MultiCheckTest, DefaultFolderIsPrivateToTheUser)
{
    TempDir runtime;
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const std::string folder = CMultiCheck::defaultLockFolder();
    EXPECT_EQ(folder, runtime.path() + "/yuvo");
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    CMultiCheck lock;
    EXPECT_TRUE(lock.check("p"));
    EXPECT_EQ(tryInOtherProcess("party", folder, "p"), 1);

    // A folder others can write to is not used.
    ::chmod(folder.c_str(), 0777);
    EXPECT_EQ(CMultiCheck::defaultLockFolder(), "");
    CMultiCheck refused;
    EXPECT_FALSE(refused.check("q"));
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(WorkDirLockTest, OneProcessPerWorkingDirectory)
{
    TempDir a;
    TempDir b;
    CWorkDirLock lock;
    ASSERT_EQ(lock.lock(a.path()), CWorkDirLock::locked);
    EXPECT_TRUE(lock.isLocked());
    EXPECT_EQ(lock.lock(a.path()), CWorkDirLock::locked); // the same lock again
    EXPECT_EQ(tryInOtherProcess("dir", a.path()), 1);
    EXPECT_EQ(tryInOtherProcess("dir", b.path()), 0);
    CWorkDirLock second;
    EXPECT_EQ(second.lock(a.path()), CWorkDirLock::busy);
    EXPECT_EQ(second.lock(a.path() + "/missing"), CWorkDirLock::failed);

    // Moving to another folder keeps the first lock until the new one holds.
    Holder holderB("dir", b.path());
    ASSERT_EQ(holderB.result(), 0);
    EXPECT_EQ(lock.lock(b.path()), CWorkDirLock::busy);
    EXPECT_EQ(tryInOtherProcess("dir", a.path()), 1);
    holderB.release();
    EXPECT_EQ(lock.lock(b.path()), CWorkDirLock::locked);
    EXPECT_EQ(tryInOtherProcess("dir", a.path()), 0);

    lock.unlock();
    EXPECT_EQ(tryInOtherProcess("dir", b.path()), 0);
}

TEST(WorkDirLockTest, LockEndsWithTheProcessThatHeldIt)
{
    TempDir a;
    Holder holder("dir", a.path());
    ASSERT_EQ(holder.result(), 0);
    CWorkDirLock lock;
    EXPECT_EQ(lock.lock(a.path()), CWorkDirLock::busy);
    holder.release();
    EXPECT_EQ(lock.lock(a.path()), CWorkDirLock::locked);
}
