#include "platform/shortcut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace platform {

namespace {

bool isSymlink(int dirFd, const std::string& path, int* err = nullptr)
{
    struct stat st {};
    if (::fstatat(dirFd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return S_ISLNK(st.st_mode);
    if (err)
        *err = errno;
    return false;
}

bool readLink(int dirFd, const std::string& path, std::string& out, int* err)
{
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlinkat(dirFd, path.c_str(), buf.data(), buf.size());
        if (n < 0) {
            *err = errno;
            return false;
        }
        if (static_cast<std::size_t>(n) < buf.size()) {
            out.assign(buf.data(), static_cast<std::size_t>(n));
            return true;
        }
        if (buf.size() > (1u << 20)) {
            *err = ENAMETOOLONG;
            return false;
        }
        buf.resize(buf.size() * 2);
    }
}

std::string absolute(const std::string& path, const std::string& relativeTo)
{
    if (!path.empty() && path[0] == '/')
        return path;
    return paths::joinFixed(relativeTo, path);
}

// The link's text, when lnkPath (relative to dirFd) is a link that holds one.
bool linkText(int dirFd, const std::string& lnkPath, std::string& link, int* err)
{
    int failed = 0;
    if (err)
        *err = 0;
    if (!isSymlink(dirFd, lnkPath, &failed) || !readLink(dirFd, lnkPath, link, &failed) || link.empty()) {
        if (err)
            *err = failed;
        return false;
    }
    return true;
}

// The target's data: a regular file, not a folder.
bool targetData(const std::function<bool(WIN32_FIND_DATAA*, int*)>& find, WIN32_FIND_DATAA* fd, int* err)
{
    WIN32_FIND_DATAA data;
    if (!find(&data, err) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (fd)
        *fd = data;
    return true;
}

bool makeShortcutAt(int dirFd, const std::string& lnkPath, const std::string& target)
{
    if (target.empty() || !isShortcutName(paths::baseName(lnkPath)))
        return false;
    const std::string to = absolute(target, paths::currentDirectory());
    // Made under a temporary name and renamed into place, so that an old
    // shortcut of that name is replaced whole, as saving a shortcut does.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tmp = temporarySibling(lnkPath);
        if (::symlinkat(to.c_str(), dirFd, tmp.c_str()) != 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        if (::renameat(dirFd, tmp.c_str(), dirFd, lnkPath.c_str()) != 0) {
            ::unlinkat(dirFd, tmp.c_str(), 0);
            return false;
        }
        return true;
    }
    return false;
}

bool deleteShortcutAt(int dirFd, const std::string& lnkPath)
{
    // Only the link: unlink never follows it to the target.
    return isSymlink(dirFd, lnkPath) && ::unlinkat(dirFd, lnkPath.c_str(), 0) == 0;
}

} // namespace

bool isShortcutName(const std::string& name)
{
    return name.size() >= 4 && cp932::equalsIgnoreAsciiCase(std::string_view(name).substr(name.size() - 4), ".lnk");
}

bool makeShortcut(const std::string& lnkPath, const std::string& target)
{
    return makeShortcutAt(AT_FDCWD, lnkPath, target);
}

bool makeShortcut(const COpenFolder& in, const std::string& name, const std::string& target)
{
    return in.isOpen() && makeShortcutAt(in.fd(), name, target);
}

bool resolveShortcut(const std::string& lnkPath, std::string* target, WIN32_FIND_DATAA* fd, int* err)
{
    std::string link;
    if (!linkText(AT_FDCWD, lnkPath, link, err))
        return false;
    const std::string folder = paths::dirName(lnkPath);
    const std::string to = absolute(link, folder.empty() ? std::string(".") : folder);
    if (target)
        *target = to;
    return targetData([&to](WIN32_FIND_DATAA* d, int* e) { return findFileData(to, d, e); }, fd, err);
}

bool resolveShortcut(const COpenFolder& in, const std::string& name, std::string* target, WIN32_FIND_DATAA* fd,
                     int* err)
{
    std::string link;
    if (!in.isOpen()) {
        if (err)
            *err = EBADF;
        return false;
    }
    if (!linkText(in.fd(), name, link, err))
        return false;
    if (target)
        *target = link;
    return targetData([&in, &link](WIN32_FIND_DATAA* d, int* e) { return findFileData(in, link, d, e); }, fd, err);
}

bool deleteShortcut(const std::string& lnkPath)
{
    return deleteShortcutAt(AT_FDCWD, lnkPath);
}

bool deleteShortcut(const COpenFolder& in, const std::string& name)
{
    return in.isOpen() && deleteShortcutAt(in.fd(), name);
}

} // namespace platform
