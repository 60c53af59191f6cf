#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/dirlist.h"
#include "platform/paths.h"

namespace platform {

namespace {

void setErr(int* err, int value)
{
    if (err)
        *err = value;
}

// The descriptor of an open folder; -1 (EBADF) when it is not open, so that
// a call never falls back to the working directory.
int dirOf(const COpenFolder& in, int* err)
{
    if (!in.isOpen())
        setErr(err, EBADF);
    return in.fd();
}

// Opens a regular file only (relative to dirFd): a FIFO or device must never
// be opened for data (it could block the one thread), and a folder is not a
// file. O_NONBLOCK keeps the open itself from waiting on a FIFO; it is
// cleared once the file is known to be regular.
int openRegular(int dirFd, const std::string& path, int flags, int* err)
{
    int fd;
    do {
        fd = ::openat(dirFd, path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setErr(err, errno);
        return -1;
    }
    struct stat st {};
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (S_ISDIR(st.st_mode))
        e = EISDIR;
    else if (!S_ISREG(st.st_mode))
        e = EINVAL;
    if (e != 0) {
        ::close(fd);
        setErr(err, e);
        return -1;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

bool readAll(int fd, void* buf, std::size_t n, std::size_t* got, int* err)
{
    auto* p = static_cast<char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd, p + done, n - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            setErr(err, errno);
            *got = done;
            return false;
        }
        if (r == 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    *got = done;
    return true;
}

bool writeAll(int fd, const void* buf, std::size_t n, int* err)
{
    const auto* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            setErr(err, errno);
            return false;
        }
        if (w == 0) {
            setErr(err, ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// Puts a folder's names on the disk; false (errno set) when it cannot.
bool syncFolder(int dirFd, const std::string& folder)
{
    const int fd = ::openat(dirFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    const int e = errno;
    ::close(fd);
    errno = e;
    return ok;
}

FileId idOf(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Creates a fresh temporary file beside `path`; returns its descriptor and
// name, or -1.
int createTemporarySibling(int dirFd, const std::string& path, std::string& tmpName, int* err)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmpName = temporarySibling(path);
        const int fd = ::openat(dirFd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST && errno != EINTR) {
            setErr(err, errno);
            return -1;
        }
    }
    setErr(err, EEXIST);
    return -1;
}

// Closes a temporary file and renames it into place; removes it on failure.
bool finishTemporary(int dirFd, int fd, const std::string& tmpName, const std::string& path, bool ok, int* err)
{
    if (::close(fd) != 0 && ok) {
        setErr(err, errno);
        ok = false;
    }
    if (ok && ::renameat(dirFd, tmpName.c_str(), dirFd, path.c_str()) != 0) {
        setErr(err, errno);
        ok = false;
    }
    if (!ok)
        ::unlinkat(dirFd, tmpName.c_str(), 0);
    return ok;
}

std::string folderOf(const std::string& path)
{
    std::string folder = paths::dirName(path);
    return folder.empty() ? std::string(".") : folder;
}

} // namespace

// ---------------------------------------------------------------- CFile

CFile::~CFile()
{
    Close();
}

bool CFile::Open(const std::string& path, unsigned flags, int* err)
{
    return openAt(AT_FDCWD, path, flags, err);
}

bool CFile::Open(const COpenFolder& in, const std::string& path, unsigned flags, int* err)
{
    Close();
    const int dirFd = dirOf(in, err);
    return dirFd >= 0 && openAt(dirFd, path, flags, err);
}

bool CFile::openAt(int dirFd, const std::string& path, unsigned flags, int* err)
{
    Close();
    int oflags;
    switch (flags & 0x3) {
    case modeWrite:
        oflags = O_WRONLY;
        break;
    case modeReadWrite:
        oflags = O_RDWR;
        break;
    default:
        oflags = O_RDONLY;
        break;
    }
    if (flags & modeCreate) {
        // Linux cuts the file on O_TRUNC even when it is opened for reading
        // only, as a create without modeNoTruncate asks.
        oflags |= O_CREAT;
        if (flags & modeNewOnly)
            oflags |= O_EXCL;
        else if (!(flags & modeNoTruncate))
            oflags |= O_TRUNC;
    }
    if (flags & modeNoFollow)
        oflags |= O_NOFOLLOW;
    const int fd = openRegular(dirFd, path, oflags, err);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_path = path;
    return true;
}

void CFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

void CFile::fail(int err, const char* what) const
{
    throw CFileException(err, std::string(what) + " " + m_path);
}

std::size_t CFile::Read(void* buf, std::size_t n)
{
    std::size_t got = 0;
    int err = 0;
    if (!TryRead(buf, n, &got, &err))
        fail(err, "read");
    return got;
}

void CFile::Write(const void* buf, std::size_t n)
{
    int err = 0;
    if (!TryWrite(buf, n, &err))
        fail(err, "write");
}

bool CFile::TryRead(void* buf, std::size_t n, std::size_t* got, int* err)
{
    std::size_t dummy = 0;
    if (!got)
        got = &dummy;
    *got = 0;
    if (m_fd < 0) {
        setErr(err, EBADF);
        return false;
    }
    return readAll(m_fd, buf, n, got, err);
}

bool CFile::TryWrite(const void* buf, std::size_t n, int* err)
{
    if (m_fd < 0) {
        setErr(err, EBADF);
        return false;
    }
    return writeAll(m_fd, buf, n, err);
}

std::uint64_t CFile::Seek(std::int64_t off, SeekPosition from)
{
    if (m_fd < 0)
        fail(EBADF, "seek");
    const int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : SEEK_END;
    const off_t pos = ::lseek(m_fd, static_cast<off_t>(off), whence);
    if (pos < 0)
        fail(errno, "seek");
    return static_cast<std::uint64_t>(pos);
}

std::uint64_t CFile::GetLength() const
{
    struct stat st {};
    if (m_fd < 0)
        fail(EBADF, "length");
    if (fstat(m_fd, &st) != 0)
        fail(errno, "length");
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t CFile::GetLinkCount() const
{
    struct stat st {};
    if (m_fd < 0)
        fail(EBADF, "link count");
    if (fstat(m_fd, &st) != 0)
        fail(errno, "link count");
    return static_cast<std::uint64_t>(st.st_nlink);
}

namespace {

FileStamp stampOf(const struct stat& st)
{
    FileStamp s;
    s.exists = true;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.changedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

} // namespace

FileStamp CFile::GetStamp() const
{
    struct stat st {};
    if (m_fd < 0)
        fail(EBADF, "stamp");
    if (fstat(m_fd, &st) != 0)
        fail(errno, "stamp");
    return stampOf(st);
}

FileStamp fileStamp(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    return stampOf(st);
}

PathStatus pathStatus(const std::string& path)
{
    PathStatus out;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        out.kind = isMissingError(errno) ? PathStatus::missing : PathStatus::unknown;
        return out;
    }
    out.kind = S_ISREG(st.st_mode)   ? PathStatus::file
               : S_ISDIR(st.st_mode) ? PathStatus::folder
                                     : PathStatus::other;
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.links = static_cast<std::uint64_t>(st.st_nlink);
    out.lastWrite = st.st_mtim;
    return out;
}

bool setLastWrite(const std::string& path, const struct timespec& when, int* err)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, when};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    setErr(err, errno);
    return false;
}

void CFile::SetLength(std::uint64_t len)
{
    if (m_fd < 0)
        fail(EBADF, "set length");
    if (len > static_cast<std::uint64_t>(INT64_MAX))
        fail(EINVAL, "set length");
    if (ftruncate(m_fd, static_cast<off_t>(len)) != 0)
        fail(errno, "set length");
}

void CFile::Flush()
{
    if (m_fd < 0)
        fail(EBADF, "flush");
    if (fsync(m_fd) != 0)
        fail(errno, "flush");
}

// ---------------------------------------------------------- whole files

namespace {

bool readWholeFileAt(int dirFd, const std::string& path, std::string& out, int* err)
{
    out.clear();
    const int fd = openRegular(dirFd, path, O_RDONLY, err);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    bool ok = true;
    for (;;) {
        std::size_t got = 0;
        if (!readAll(fd, buf, sizeof buf, &got, err)) {
            ok = false;
            break;
        }
        out.append(buf, got);
        if (got < sizeof buf)
            break;
    }
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

} // namespace

bool readWholeFile(const std::string& path, std::string& out, int* err)
{
    return readWholeFileAt(AT_FDCWD, path, out, err);
}

bool readWholeFile(const COpenFolder& in, const std::string& path, std::string& out, int* err)
{
    out.clear();
    const int dirFd = dirOf(in, err);
    return dirFd >= 0 && readWholeFileAt(dirFd, path, out, err);
}

namespace {

// Hidden, so that a folder scan that catches a temporary half-made passes it
// over; the process id and a count follow.
constexpr std::string_view TEMPORARY_PREFIX = ".yuvo-tmp-";

} // namespace

std::string temporarySibling(const std::string& path)
{
    static unsigned counter = 0;
    char name[64];
    std::snprintf(name, sizeof name, "%.*s%ld-%u", int(TEMPORARY_PREFIX.size()), TEMPORARY_PREFIX.data(),
                  static_cast<long>(getpid()), ++counter);
    return paths::joinFixed(paths::dirName(path), name);
}

bool isTemporaryName(std::string_view name)
{
    constexpr std::string_view prefix = TEMPORARY_PREFIX;
    if (name.substr(0, prefix.size()) != prefix)
        return false;
    // <pid>-<n>: two runs of digits and one dash between them.
    const std::string_view rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    const auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return dash != std::string_view::npos && digits(rest.substr(0, dash)) && digits(rest.substr(dash + 1));
}

int removeTemporaryLeftovers(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return -1;
    }
    // Names are taken first and removed after: a listing need not survive
    // removals under it.
    std::vector<std::string> names;
    while (const struct dirent* e = ::readdir(d)) {
        if (isTemporaryName(e->d_name))
            names.emplace_back(e->d_name);
    }
    int removed = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if ((S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && ::unlinkat(fd, name.c_str(), 0) == 0)
            ++removed;
    }
    ::closedir(d); // closes fd
    return removed;
}

bool replaceFileAtomically(const std::string& path, const void* data, std::size_t n, int* err)
{
    return replaceFileAtomically(path, [data, n](const PieceWriter& write) { return write(data, n); }, err);
}

namespace {

// Makes a temporary beside path and writes what produce hands over into
// it; its descriptor, still open, or -1 (nothing left behind).
int fillTemporary(int dirFd, const std::string& path, const std::function<bool(const PieceWriter& write)>& produce,
                  std::string& tmp, int* err)
{
    const int fd = createTemporarySibling(dirFd, path, tmp, err);
    if (fd < 0)
        return -1;
    // The new content keeps the permissions that the old file had.
    struct stat old {};
    if (::fstatat(dirFd, path.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);
    if (produce([fd, err](const void* data, std::size_t n) { return writeAll(fd, data, n, err); }))
        return fd;
    ::close(fd);
    ::unlinkat(dirFd, tmp.c_str(), 0);
    return -1;
}

bool replaceAt(int dirFd, const std::string& path, const std::function<bool(const PieceWriter& write)>& produce,
               int* err)
{
    std::string tmp;
    const int fd = fillTemporary(dirFd, path, produce, tmp, err);
    if (fd < 0)
        return false;
    bool ok = true;
    if (fsync(fd) != 0) {
        setErr(err, errno);
        ok = false;
    }
    if (!finishTemporary(dirFd, fd, tmp, path, ok, err))
        return false;
    syncFolder(dirFd, folderOf(path));
    return true;
}

} // namespace

bool replaceFileAtomically(const std::string& path, const std::function<bool(const PieceWriter& write)>& produce,
                           int* err)
{
    return replaceAt(AT_FDCWD, path, produce, err);
}

bool writeTemporary(const std::string& path, const std::function<bool(const PieceWriter& write)>& produce,
                    std::string* tmp, int* err)
{
    std::string name;
    const int fd = fillTemporary(AT_FDCWD, path, produce, name, err);
    if (fd < 0)
        return false;
    if (::close(fd) != 0) {
        setErr(err, errno);
        ::unlink(name.c_str());
        return false;
    }
    *tmp = std::move(name);
    return true;
}

bool replaceFileAtomically(const COpenFolder& in, const std::string& path, const void* data, std::size_t n, int* err)
{
    return replaceFileAtomically(in, path, [data, n](const PieceWriter& write) { return write(data, n); }, err);
}

bool replaceFileAtomically(const COpenFolder& in, const std::string& path,
                           const std::function<bool(const PieceWriter& write)>& produce, int* err)
{
    const int dirFd = dirOf(in, err);
    return dirFd >= 0 && replaceAt(dirFd, path, produce, err);
}

bool makeSureDirectoryPathExists(const std::string& path)
{
    if (path.empty())
        return false;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t slash = path.find('/', pos);
        const std::string level = path.substr(0, slash);
        if (!level.empty() && level != "." && level != ".." && ::mkdir(level.c_str(), 0777) != 0
            && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos)
            break;
        pos = slash + 1;
    }
    return isDirectory(path);
}

bool makePlainDirectory(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        if (!S_ISLNK(st.st_mode) || ::unlink(path.c_str()) != 0)
            return false;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        return false;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool createDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool fileExists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool deleteFile(const std::string& path, int* err)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        setErr(err, errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        setErr(err, EISDIR);
        return false;
    }
    if (::unlink(path.c_str()) != 0) {
        setErr(err, errno);
        return false;
    }
    return true;
}

bool renameFile(const std::string& from, const std::string& to, int* err)
{
    if (::rename(from.c_str(), to.c_str()) != 0) {
        setErr(err, errno);
        return false;
    }
    return true;
}

std::int64_t fileSize(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool fileId(const std::string& path, FileId* out)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    *out = idOf(st);
    return true;
}

std::int64_t freeSpace(const std::string& path)
{
    struct statvfs sv {};
    if (::statvfs(path.c_str(), &sv) != 0)
        return -1;
    return static_cast<std::int64_t>(sv.f_bavail) * static_cast<std::int64_t>(sv.f_frsize);
}

bool isNoRoom(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG;
}

namespace {

bool copyFileAt(const std::string& from, int dirFd, const std::string& to, int* err)
{
    const int in = openRegular(AT_FDCWD, from, O_RDONLY, err);
    if (in < 0)
        return false;
    struct stat src {};
    struct stat dst {};
    if (fstat(in, &src) != 0 || (dirFd == AT_FDCWD && from == to)
        || (::fstatat(dirFd, to.c_str(), &dst, 0) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)) {
        // Copying a file onto itself would first empty it.
        ::close(in);
        setErr(err, EINVAL);
        return false;
    }
    std::string tmp;
    const int out = createTemporarySibling(dirFd, to, tmp, err);
    if (out < 0) {
        ::close(in);
        return false;
    }
    std::vector<char> buf(1 << 16);
    bool ok = true;
    for (;;) {
        std::size_t got = 0;
        if (!readAll(in, buf.data(), buf.size(), &got, err) || !writeAll(out, buf.data(), got, err)) {
            ok = false;
            break;
        }
        if (got < buf.size())
            break;
    }
    ::close(in);
    // The copy keeps the original's times of access and last write, as a
    // copy by the desktop shell does.
    if (ok) {
        const struct timespec times[2] = {src.st_atim, src.st_mtim};
        futimens(out, times);
    }
    return finishTemporary(dirFd, out, tmp, to, ok, err);
}

} // namespace

bool copyFile(const std::string& from, const std::string& to, int* err)
{
    return copyFileAt(from, AT_FDCWD, to, err);
}

bool copyFile(const std::string& from, const COpenFolder& in, const std::string& to, int* err)
{
    const int dirFd = dirOf(in, err);
    return dirFd >= 0 && copyFileAt(from, dirFd, to, err);
}

// ---------------------------------------------------------- open folders

COpenFolder::~COpenFolder()
{
    close();
}

bool COpenFolder::open(const std::string& path, int* err)
{
    close();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        setErr(err, errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_fd = fd;
    m_id = idOf(st);
    return true;
}

void COpenFolder::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_id = {};
}

bool createDirectory(const COpenFolder& in, const std::string& path)
{
    return in.isOpen() && ::mkdirat(in.fd(), path.c_str(), 0777) == 0;
}

bool fileExists(const COpenFolder& in, const std::string& path)
{
    struct stat st {};
    return in.isOpen() && ::fstatat(in.fd(), path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool isRegularFile(const COpenFolder& in, const std::string& path)
{
    struct stat st {};
    return in.isOpen() && ::fstatat(in.fd(), path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

bool deleteFile(const COpenFolder& in, const std::string& path, int* err)
{
    if (!in.isOpen()) {
        setErr(err, EBADF);
        return false;
    }
    if (::unlinkat(in.fd(), path.c_str(), 0) != 0) {
        setErr(err, errno);
        return false;
    }
    return true;
}

std::int64_t fileSize(const COpenFolder& in, const std::string& path)
{
    struct stat st {};
    if (!in.isOpen() || ::fstatat(in.fd(), path.c_str(), &st, 0) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool fileId(const COpenFolder& in, const std::string& path, FileId* out)
{
    struct stat st {};
    if (!in.isOpen() || ::fstatat(in.fd(), path.c_str(), &st, 0) != 0)
        return false;
    *out = idOf(st);
    return true;
}

} // namespace platform
