// The party and working-directory locks against another process (a forked
// child of this test), and where a relative lock folder lies.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/ui/multi_check.h"
#include "support/tempdir.h"

using testsupport::TempDir;

namespace {

// Runs `take` in a child; 0 when it got the lock. With `hold`, the child
// keeps the lock until the returned release() is called.
struct Other {
    pid_t pid = -1;
    int release = -1;
    int result = -1;

    Other(const std::function<bool()>& take, bool hold)
    {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(down[1]);
            const char got = take() ? '0' : '1';
            if (::write(up[1], &got, 1) != 1)
                ::_exit(2);
            char c;
            while (hold && ::read(down[0], &c, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        char got = 0;
        if (::read(up[0], &got, 1) == 1)
            result = got - '0';
        ::close(up[0]);
        release = down[1];
        if (!hold)
            end();
    }
    void end()
    {
        if (pid <= 0)
            return;
        ::close(release);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~Other() { end(); }
};

int partyElsewhere(const std::string& folder, const std::string& name)
{
    return Other([&] { return CMultiCheck(folder).check(name); }, false).result;
}

int dirElsewhere(const std::string& folder)
{
    return Other([&] { return CWorkDirLock().lock(folder) == CWorkDirLock::locked; }, false).result;
}

} // namespace

TEST(MultiCheckTest, FailedCheckKeepsTheLockHeldSoFar)
{
    TempDir dir;
    CMultiCheck lock(dir.path());
    ASSERT_TRUE(lock.check("A"));
    Other holderB([&] { return (new CMultiCheck(dir.path()))->check("B"); }, true); // kept until exit
    ASSERT_EQ(holderB.result, 0);

    EXPECT_FALSE(lock.check("B"));
    EXPECT_EQ(lock.heldName(), "A");
    EXPECT_EQ(partyElsewhere(dir.path(), "A"), 1);

    // Moving to a free name gives the old one up.
    holderB.end();
    ASSERT_TRUE(lock.check("B"));
    EXPECT_EQ(partyElsewhere(dir.path(), "A"), 0);
    EXPECT_EQ(partyElsewhere(dir.path(), "B"), 1);
}

TEST(WorkDirLockTest, OneProcessPerWorkingDirectory)
{
    TempDir a;
    TempDir b;
    CWorkDirLock lock;
    ASSERT_EQ(lock.lock(a.path()), CWorkDirLock::locked);
    EXPECT_EQ(dirElsewhere(a.path()), 1);
    EXPECT_EQ(dirElsewhere(b.path()), 0);
    EXPECT_EQ(CWorkDirLock().lock(a.path() + "/missing"), CWorkDirLock::failed);

    // Moving to another folder keeps the first lock until the new one holds.
    Other holderB([&] { return (new CWorkDirLock)->lock(b.path()) == CWorkDirLock::locked; }, true);
    ASSERT_EQ(holderB.result, 0);
    EXPECT_EQ(lock.lock(b.path()), CWorkDirLock::busy);
    EXPECT_EQ(dirElsewhere(a.path()), 1);
    holderB.end();
    EXPECT_EQ(lock.lock(b.path()), CWorkDirLock::locked);
    EXPECT_EQ(dirElsewhere(a.path()), 0);
}

// A relative YUVO_LOCK_FOLDER is the working directory's at start: the lock
// object keeps that folder when the working directory changes later. An
// empty one is as if unset.
TEST(MultiCheckTest, ARelativeLockFolderIsTakenFromTheWorkingDirectoryAtStart)
{
    struct SavedEnv {
        const char* old = std::getenv("YUVO_LOCK_FOLDER");
        const bool had = old != nullptr;
        const std::string value = had ? old : "";
        ~SavedEnv() { had ? ::setenv("YUVO_LOCK_FOLDER", value.c_str(), 1) : ::unsetenv("YUVO_LOCK_FOLDER"); }
    } saved;
    ::unsetenv("YUVO_LOCK_FOLDER");
    const std::string usersOwn = CMultiCheck::defaultLockFolder();
    ::setenv("YUVO_LOCK_FOLDER", "", 1);
    EXPECT_EQ(CMultiCheck::defaultLockFolder(), usersOwn);

    TempDir start;
    TempDir later;
    const std::string locks = start.file("locks");
    ::setenv("YUVO_LOCK_FOLDER", "locks/", 1);
    std::unique_ptr<CMultiCheck> lock;
    {
        testsupport::ScopedChdir at(start.path());
        EXPECT_EQ(CMultiCheck::defaultLockFolder().front(), '/');
        lock = std::make_unique<CMultiCheck>();
    }
    testsupport::ScopedChdir elsewhere(later.path());
    ASSERT_TRUE(lock->check("Rel"));
    EXPECT_TRUE(testsupport::exists(locks + "/" + CMultiCheck::lockFileName("Rel")));
    EXPECT_FALSE(testsupport::exists(later.file("locks")));
    EXPECT_EQ(partyElsewhere(locks, "Rel"), 1);
}
