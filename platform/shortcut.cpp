#include "platform/shortcut.h"

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

bool isSymlink(const std::string& path, int* err = nullptr)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0)
        return S_ISLNK(st.st_mode);
    if (err)
        *err = errno;
    return false;
}

bool readLink(const std::string& path, std::string& out, int* err)
{
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
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

} // namespace

bool isShortcutName(const std::string& name)
{
    return name.size() >= 4 && cp932::equalsIgnoreAsciiCase(std::string_view(name).substr(name.size() - 4), ".lnk");
}

bool makeShortcut(const std::string& lnkPath, const std::string& target)
{
    if (target.empty() || !isShortcutName(paths::baseName(lnkPath)))
        return false;
    const std::string to = absolute(target, paths::currentDirectory());
    // Made under a temporary name and renamed into place, so that an old
    // shortcut of that name is replaced whole, as saving a shortcut does.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tmp = temporarySibling(lnkPath);
        if (::symlink(to.c_str(), tmp.c_str()) != 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        if (::rename(tmp.c_str(), lnkPath.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return false;
        }
        return true;
    }
    return false;
}

bool resolveShortcut(const std::string& lnkPath, std::string* target, WIN32_FIND_DATAA* fd, int* err)
{
    int failed = 0;
    if (err)
        *err = 0;
    std::string link;
    if (!isSymlink(lnkPath, &failed) || !readLink(lnkPath, link, &failed) || link.empty()) {
        if (err)
            *err = failed;
        return false;
    }
    const std::string folder = paths::dirName(lnkPath);
    const std::string to = absolute(link, folder.empty() ? std::string(".") : folder);
    if (target)
        *target = to;
    WIN32_FIND_DATAA data;
    if (!findFileData(to, &data, err) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (fd)
        *fd = data;
    return true;
}

bool deleteShortcut(const std::string& lnkPath)
{
    // Only the link: unlink never follows it to the target.
    return isSymlink(lnkPath) && ::unlink(lnkPath.c_str()) == 0;
}

} // namespace platform
