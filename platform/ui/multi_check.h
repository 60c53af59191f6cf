// One running instance per party and per working directory, by exclusive
// locks on files (flock). A lock ends with the process that holds it, however
// that ends, and is never inherited by programs the process starts.
#pragma once

#include <string>

#include "platform/wintypes.h"

// Why the folder of the party locks cannot be used.
struct LockFolderProblem {
    enum Kind {
        none,
        cannotMake,     // the folder is missing and cannot be made (error)
        notAFolder,     // a file or a symbolic link stands in its place
        otherOwner,     // it belongs to another user (owner)
        openToOthers,   // other users may enter it (mode)
        cannotOpenFile, // the lock file in it cannot be opened (error)
    };
    Kind kind = none;
    std::string path; // the folder, or the lock file for cannotOpenFile
    int error = 0;    // errno
    unsigned owner = 0;
    unsigned mode = 0; // permission bits
};

// The one-instance-per-party lock. The lock files live in a folder that
// only the user can reach (mode 0700, owned by the user, never a symbolic
// link), found from the user's entry in the password database and not from
// the environment, so that a desktop session, an ssh shell and a cron job of
// one user all meet at the same locks: <home>/.local/state/yuvo, or
// /tmp/yuvo-<uid> for a user without a home folder. YUVO_LOCK_FOLDER names
// another folder on purpose (several nodes of one party side by side, as the
// tests run them); a relative one is taken from the working directory the
// node starts in, and an empty one counts as unset. A file is named after
// the hex digits of the party's CP932 bytes and the machine, so that a home
// folder shared between machines locks each machine's nodes apart.
class CMultiCheck {
public:
    // lockFolder "" uses the folder above, fixed here, at start; tests
    // pass their own.
    explicit CMultiCheck(std::string lockFolder = {});
    virtual ~CMultiCheck();
    CMultiCheck(const CMultiCheck&) = delete;
    CMultiCheck& operator=(const CMultiCheck&) = delete;

    // Takes the lock of the party name (CP932) for this instance. TRUE for
    // an empty name (no lock) and for the name already held. Otherwise the
    // new lock is taken first: when another process holds it, or the lock
    // folder cannot be used (folderProblem() says why), the result is FALSE
    // and the lock held so far is kept; when it is taken, the old lock is
    // given up.
    BOOL check(const std::string& name);
    // The name whose lock this instance holds ("" when none).
    const std::string& heldName() const { return m_strName; }
    // After a FALSE from check: kind none when another process holds the
    // party, else what is wrong with the lock folder.
    const LockFolderProblem& folderProblem() const { return m_problem; }

    // The folder above for this user, as an absolute path when the working
    // directory can be read (not made here).
    static std::string defaultLockFolder();
    // The lock file's name for a party name on this machine.
    static std::string lockFileName(const std::string& name);
    // Makes the folder when missing and checks that only this user can
    // reach it.
    static LockFolderProblem ensurePrivateFolder(const std::string& path);

private:
    std::string m_folder;
    std::string m_strName;
    LockFolderProblem m_problem;
    int m_fd = -1;
};

// The lock of one working directory: two instances in one folder would
// share its catalog, SEND and RECV. The lock file is "Yuvo.lock" in that
// folder.
class CWorkDirLock {
public:
    enum Result {
        locked, // this object holds it
        busy,   // another process (or object) holds it
        failed, // the lock file cannot be opened
    };

    CWorkDirLock() = default;
    ~CWorkDirLock();
    CWorkDirLock(const CWorkDirLock&) = delete;
    CWorkDirLock& operator=(const CWorkDirLock&) = delete;

    // folder "" is the current directory. A lock already held by this
    // object is given up only once the new one is taken.
    Result lock(const std::string& folder);
    void unlock();
    bool isLocked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
