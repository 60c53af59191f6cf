// One running instance per party and per working directory, by exclusive
// locks on files (flock). A lock ends with the process that holds it, however
// that ends, and is never inherited by programs the process starts.
#pragma once

#include <string>

#include "platform/wintypes.h"

// The one-instance-per-party lock. The lock files live in a folder of the
// user's own: $XDG_RUNTIME_DIR/yuvo, or /tmp/yuvo-<uid> (mode 0700, owned
// by the user, never a symbolic link). A file is named after the hex digits
// of the party's CP932 bytes.
class CMultiCheck {
public:
    // lockFolder "" uses the user's folder above; tests pass their own.
    explicit CMultiCheck(std::string lockFolder = {});
    virtual ~CMultiCheck();
    CMultiCheck(const CMultiCheck&) = delete;
    CMultiCheck& operator=(const CMultiCheck&) = delete;

    // Takes the lock of the party name (CP932) for this instance. TRUE for
    // an empty name (no lock) and for the name already held. Otherwise the
    // new lock is taken first: when another process holds it (or the lock
    // folder is unusable) the result is FALSE and the lock held so far is
    // kept; when it is taken, the old lock is given up.
    BOOL check(const std::string& name);
    // The name whose lock this instance holds ("" when none).
    const std::string& heldName() const { return m_strName; }

    // The folder above for this user, created when missing; "" when it
    // cannot be made safe.
    static std::string defaultLockFolder();
    // The lock file's name for a party name.
    static std::string lockFileName(const std::string& name);

private:
    std::string m_folder;
    std::string m_strName;
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
