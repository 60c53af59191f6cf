#include "platform/ui/multi_check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

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

// The machine's name for the lock files: its machine id, which stays when
// the host is renamed, else its host name; only letters, digits, '.', '-'
// and '_' are kept.
std::string machineName()
{
    std::string name;
    if (std::FILE* f = std::fopen("/etc/machine-id", "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f))
            name = buf;
        std::fclose(f);
    }
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    if (name.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0)
            name = host;
    }
    for (char& c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
                          || c == '-' || c == '_';
        if (!keep)
            c = '_';
    }
    return name.empty() ? std::string("localhost") : name.substr(0, 64);
}

// The user's home folder from the password database; "" when it has none.
std::string homeOfUser()
{
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? std::size_t(hint) : 16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (!found || !found->pw_dir || found->pw_dir[0] != '/')
        return {};
    std::string home = found->pw_dir;
    struct stat st {};
    if (::stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {};
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home == "/" ? std::string() : home;
}

} // namespace

CMultiCheck::CMultiCheck(std::string lockFolder)
    : m_folder(lockFolder.empty() ? defaultLockFolder() : std::move(lockFolder))
{
}

CMultiCheck::~CMultiCheck()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string CMultiCheck::defaultLockFolder()
{
    const char* chosen = std::getenv("YUVO_LOCK_FOLDER");
    if (chosen && chosen[0] != '\0') {
        std::string folder = chosen;
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        if (folder[0] == '/')
            return folder;
        // Relative to where the node is started, as a shell would take it.
        // When the working directory cannot be read, the text as given
        // still names that folder, and any fault with it is said at check.
        const std::string here = paths::currentDirectory();
        return here.empty() ? folder : here + "/" + folder;
    }
    const std::string home = homeOfUser();
    if (home.empty())
        return "/tmp/yuvo-" + std::to_string(::getuid());
    return home + "/.local/state/yuvo";
}

LockFolderProblem CMultiCheck::ensurePrivateFolder(const std::string& path)
{
    LockFolderProblem p;
    p.path = path;
    // The levels above as far as they can be made; the folder's own mkdir
    // then tells what stands in the way.
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        platform::makeSureDirectoryPathExists(path.substr(0, slash));
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        p.kind = LockFolderProblem::cannotMake;
        p.error = errno;
        return p;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        p.kind = LockFolderProblem::cannotMake;
        p.error = errno;
    } else if (!S_ISDIR(st.st_mode)) {
        p.kind = LockFolderProblem::notAFolder;
    } else if (st.st_uid != ::getuid()) {
        p.kind = LockFolderProblem::otherOwner;
        p.owner = st.st_uid;
    } else if ((st.st_mode & 077) != 0) {
        p.kind = LockFolderProblem::openToOthers;
        p.mode = st.st_mode & 07777;
    }
    return p;
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
    return out + "@" + machineName() + ".lock";
}

BOOL CMultiCheck::check(const std::string& name)
{
    m_problem = LockFolderProblem();
    if (name.empty())
        return TRUE;
    if (m_fd >= 0 && name == m_strName)
        return TRUE;
    m_problem = ensurePrivateFolder(m_folder);
    if (m_problem.kind != LockFolderProblem::none) {
        std::printf("CMultiCheck: the lock folder %s cannot be used\n", m_folder.c_str());
        return FALSE;
    }
    const std::string path = m_folder + "/" + lockFileName(name);
    const int fd = openLocked(path);
    if (fd < 0) {
        // Held elsewhere, or the file itself is wrong: the lock held so
        // far stays.
        if (errno != EWOULDBLOCK && errno != EAGAIN) {
            m_problem.kind = LockFolderProblem::cannotOpenFile;
            m_problem.path = path;
            m_problem.error = errno;
        }
        return FALSE;
    }
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
