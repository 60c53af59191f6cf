#include "platform/dirlist.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/cp932.h"
#include "platform/localtime.h"
#include "platform/paths.h"

namespace platform {

namespace {

// Read-only as Windows means it: this user may not write it, or nobody may
// (no write permission bit at all; this also holds for root, whom access()
// lets write anything).
bool isWritable(int dirFd, const char* name, unsigned mode)
{
    return (mode & 0222) != 0 && faccessat(dirFd, name, W_OK, 0) == 0;
}

FILETIME fileTime(const struct statx_timestamp& t)
{
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(t.tv_sec);
    ts.tv_nsec = static_cast<long>(t.tv_nsec);
    return fileTimeFromTimespec(ts);
}

DWORD attributesOf(bool isDir, const std::string& nativeName, bool writable)
{
    DWORD attrs = isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!nativeName.empty() && nativeName[0] == '.' && nativeName != "." && nativeName != "..")
        attrs |= FILE_ATTRIBUTE_HIDDEN;
    if (!writable)
        attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs;
}

// Looks at `name` relative to dirFd (links followed) without opening it and
// fills the find data; false for anything but a regular file or folder, and
// for a dangling link. *nameConverts tells whether cFileName could be filled.
bool describe(int dirFd, const char* name, const std::string& nativeName, WIN32_FIND_DATAA* fd,
              bool* nameConverts, int* err = nullptr)
{
    if (err)
        *err = 0;
    struct statx stx {};
    if (statx(dirFd, name, AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
        if (err)
            *err = errno;
        return false;
    }
    const bool isDir = S_ISDIR(stx.stx_mode);
    if (!isDir && !S_ISREG(stx.stx_mode))
        return false;

    std::memset(fd, 0, sizeof *fd);
    const bool writable = isWritable(dirFd, name, stx.stx_mode);
    fd->dwFileAttributes = attributesOf(isDir, nativeName, writable);
    fd->ftCreationTime = fileTime((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime);
    fd->ftLastAccessTime = fileTime(stx.stx_atime);
    fd->ftLastWriteTime = fileTime(stx.stx_mtime);
    if (!isDir) {
        fd->nFileSizeHigh = static_cast<DWORD>(stx.stx_size >> 32);
        fd->nFileSizeLow = static_cast<DWORD>(stx.stx_size & 0xFFFFFFFFu);
    }
    // A name without a CP932 form, or too long for the field with its NUL,
    // is reported as such and never mangled into something else.
    const auto cpName = cp932::fromUtf8(nativeName);
    *nameConverts = cpName && !cpName->empty() && cpName->size() < sizeof fd->cFileName;
    if (*nameConverts)
        std::memcpy(fd->cFileName, cpName->data(), cpName->size());
    return true;
}

bool matches(const char* pattern, const std::string& nativeName)
{
    if (!pattern || !*pattern || std::strcmp(pattern, "*") == 0)
        return true;
    // The ASCII letters of the pattern match without regard to case, as
    // file searches on Windows do ("*.lnk" finds "A.LNK").
    return fnmatch(pattern, nativeName.c_str(), FNM_CASEFOLD) == 0;
}

} // namespace

bool listDirectory(const std::string& folder, const char* pattern, std::vector<DirEntry>& out)
{
    out.clear();
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return false;
    const int dirFd = dirfd(dir);
    while (const struct dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || !matches(pattern, name))
            continue;
        DirEntry entry{};
        entry.nativeName = name;
        if (describe(dirFd, e->d_name, name, &entry.fd, &entry.nameConverts))
            out.push_back(std::move(entry));
    }
    closedir(dir);
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.nativeName < b.nativeName; });
    return true;
}

void NameListing::clear()
{
    std::string().swap(names);
    std::vector<NameStat>().swap(entries);
}

bool listNames(const COpenFolder& folder, NameListing& out, const std::function<bool(std::string_view name)>& vouch)
{
    out.names.clear();
    out.entries.clear();
    if (!folder.isOpen())
        return false;
    // A descriptor of its own, so that the listing starts at the beginning
    // and its end closes nothing of the caller's.
    const int own = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = own < 0 ? nullptr : fdopendir(own);
    if (!dir) {
        if (own >= 0)
            ::close(own);
        return false;
    }
    const int dirFd = dirfd(dir);
    while (const struct dirent* e = readdir(dir)) {
        const std::size_t len = std::strlen(e->d_name);
        if ((len == 1 && e->d_name[0] == '.') || (len == 2 && e->d_name[0] == '.' && e->d_name[1] == '.'))
            continue;
        NameStat n{};
        n.nameAt = static_cast<std::uint32_t>(out.names.size());
        n.nameLen = static_cast<std::uint16_t>(len);
        n.kind = NameStat::other;
        if (e->d_type == DT_REG && vouch && vouch(std::string_view(e->d_name, len))) {
            n.kind = NameStat::file;
            n.vouched = true;
        } else if (struct statx stx {}; statx(dirFd, e->d_name, AT_STATX_SYNC_AS_STAT,
                                               STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_NLINK, &stx) == 0) {
            if (S_ISREG(stx.stx_mode)) {
                n.kind = NameStat::file;
                n.size = stx.stx_size;
                n.links = stx.stx_nlink;
            } else if (S_ISDIR(stx.stx_mode)) {
                n.kind = NameStat::folder;
            }
            n.lastWrite = fileTime(stx.stx_mtime);
        } else if (!isMissingError(errno)) {
            // Listed, yet its status cannot be read: a folder is told by the
            // listing itself, anything else is present and of no known kind.
            n.kind = e->d_type == DT_DIR ? NameStat::folder : NameStat::unknown;
        }
        out.names.append(e->d_name, len);
        out.entries.push_back(n);
    }
    closedir(dir);
    const std::string_view names(out.names);
    std::sort(out.entries.begin(), out.entries.end(), [names](const NameStat& a, const NameStat& b) {
        return names.substr(a.nameAt, a.nameLen) < names.substr(b.nameAt, b.nameLen);
    });
    return true;
}

bool describeEntry(const COpenFolder& folder, const std::string& nativeName, DirEntry* out, int* err)
{
    out->nativeName = nativeName;
    if (!folder.isOpen()) {
        if (err)
            *err = EBADF;
        return false;
    }
    return describe(folder.fd(), nativeName.c_str(), nativeName, &out->fd, &out->nameConverts, err);
}

namespace {

bool findFileDataAt(int dirFd, const std::string& path, WIN32_FIND_DATAA* fd, int* err)
{
    if (err)
        *err = 0;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::string name = paths::baseName(p);
    bool nameConverts = false;
    return !name.empty() && describe(dirFd, p.c_str(), name, fd, &nameConverts, err) && nameConverts;
}

} // namespace

bool findFileData(const std::string& path, WIN32_FIND_DATAA* fd, int* err)
{
    return findFileDataAt(AT_FDCWD, path, fd, err);
}

bool findFileData(const COpenFolder& in, const std::string& path, WIN32_FIND_DATAA* fd, int* err)
{
    if (!in.isOpen()) {
        if (err)
            *err = EBADF;
        return false;
    }
    return findFileDataAt(in.fd(), path, fd, err);
}

bool isMissingError(int err)
{
    return err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENAMETOOLONG;
}

DWORD getFileAttributes(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const bool writable = isWritable(AT_FDCWD, path.c_str(), st.st_mode);
    DWORD attrs = attributesOf(S_ISDIR(st.st_mode), paths::baseName(p), writable);
    // Neither file nor folder (a FIFO, a device): something is there, but
    // nothing that the program may open.
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        attrs = (attrs & ~FILE_ATTRIBUTE_ARCHIVE) | FILE_ATTRIBUTE_SYSTEM;
    return attrs;
}

} // namespace platform
