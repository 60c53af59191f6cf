#include "platform/exclusive_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/dirlist.h"

namespace platform {

ExclusiveRead tryExclusiveRead(const COpenFolder& in, const std::string& path, bool useLease, WIN32_FIND_DATAA* fresh,
                               int* err)
{
    if (err)
        *err = 0;
    int fd = -1;
    do {
        fd = in.isOpen() ? ::openat(in.fd(), path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    } while (fd < 0 && errno == EINTR && in.isOpen());
    if (fd < 0) {
        const int e = in.isOpen() ? errno : EBADF;
        if (isMissingError(e))
            return ExclusiveRead::missing;
        if (err && e != EWOULDBLOCK)
            *err = e;
        return ExclusiveRead::busy;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        if (err)
            *err = errno;
        ::close(fd);
        return ExclusiveRead::busy; // open, yet of no known status: not a file that has gone
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return ExclusiveRead::missing;
    }

    // A lease break would raise SIGIO, whose default ends the process;
    // SIGURG is ignored by default.
    int lease = -1;
    int leaseErr = 0;
    if (useLease) {
        fcntl(fd, F_SETSIG, SIGURG);
        lease = fcntl(fd, F_SETLEASE, F_RDLCK);
        leaseErr = errno;
    }
    WIN32_FIND_DATAA data;
    int findErr = 0;
    const bool found = findFileData(in, path, &data, &findErr);
    ::close(fd); // drops the lease too
    if (lease != 0 && (leaseErr == EAGAIN || leaseErr == EWOULDBLOCK))
        return ExclusiveRead::busy;
    if (!found && findErr != 0 && !isMissingError(findErr)) {
        if (err)
            *err = findErr;
        return ExclusiveRead::busy;
    }
    if (!found)
        return ExclusiveRead::missing;
    *fresh = data;
    std::memset(fresh->cFileName, 0, sizeof fresh->cFileName);
    std::memset(fresh->cAlternateFileName, 0, sizeof fresh->cAlternateFileName);
    return lease == 0 ? ExclusiveRead::ready : ExclusiveRead::noLease;
}

} // namespace platform
