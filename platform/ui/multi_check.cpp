#include "platform/ui/multi_check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opens (creating) the file and takes its exclusive lock without waiting.
// The descriptor, -1 with errno EWOULDBLOCK when another holds the lock, or
// -1 with another errno when the file cannot be opened.
int openLocked(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// A folder that only this user can reach: made when missing, refused when
// it is a link, someone else's, or open to others.
bool ensurePrivateFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

} // namespace

CMultiCheck::CMultiCheck(std::string lockFolder) : m_folder(std::move(lockFolder)) {}

CMultiCheck::~CMultiCheck()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string CMultiCheck::defaultLockFolder()
{
    std::string folder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        folder = std::string(runtime) + "/yuvo";
    else
        folder = "/tmp/yuvo-" + std::to_string(::getuid());
    return ensurePrivateFolder(folder) ? folder : std::string();
}

std::string CMultiCheck::lockFileName(const std::string& name)
{
    static const char digits[] = "0123456789abcdef";
    // Hex of every byte while that fits a file name; a long name keeps its
    // first bytes and adds a hash of the whole.
    constexpr std::size_t kWholeUpTo = 100;
    const std::size_t shown = name.size() <= kWholeUpTo ? name.size() : 80;
    std::string out = "party-";
    for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    if (shown < name.size()) {
        std::uint64_t h = 1469598103934665603ull; // FNV-1a
        for (unsigned char c : name) {
            h ^= c;
            h *= 1099511628211ull;
        }
        out += '-';
        for (int shift = 60; shift >= 0; shift -= 4)
            out += digits[(h >> shift) & 0xF];
    }
    return out + ".lock";
}

BOOL CMultiCheck::check(const std::string& name)
{
    if (name.empty())
        return TRUE;
    if (m_fd >= 0 && name == m_strName)
        return TRUE;
    const std::string folder = m_folder.empty() ? defaultLockFolder() : m_folder;
    if (folder.empty()) {
        std::printf("CMultiCheck: no private folder for the lock files\n");
        return FALSE;
    }
    const int fd = openLocked(folder + "/" + lockFileName(name));
    if (fd < 0)
        return FALSE; // the lock held so far stays
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_strName = name;
    return TRUE;
}

CWorkDirLock::~CWorkDirLock()
{
    unlock();
}

CWorkDirLock::Result CWorkDirLock::lock(const std::string& folder)
{
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/Yuvo.lock";
    if (m_fd >= 0) {
        struct stat held {};
        struct stat wanted {};
        if (::fstat(m_fd, &held) == 0 && ::stat(path.c_str(), &wanted) == 0 && held.st_dev == wanted.st_dev &&
            held.st_ino == wanted.st_ino)
            return locked; // this very lock
    }
    const int fd = openLocked(path);
    if (fd < 0)
        return (errno == EWOULDBLOCK || errno == EAGAIN) ? busy : failed;
    unlock();
    m_fd = fd;
    return locked;
}

void CWorkDirLock::unlock()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
