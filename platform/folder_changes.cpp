#include "platform/folder_changes.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

namespace {

// Everything that can change what a listing and its status calls tell.
constexpr std::uint32_t WATCHED = IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MODIFY |
                                  IN_MOVE_SELF | IN_MOVED_FROM | IN_MOVED_TO;

} // namespace

CFolderChanges::~CFolderChanges()
{
    stop();
}

void CFolderChanges::stop()
{
    if (m_fd >= 0)
        ::close(m_fd); // the watch goes with the descriptor
    m_fd = -1;
    m_wd = -1;
    m_folder.clear();
    m_id = {};
}

bool CFolderChanges::watch(const std::string& folder)
{
    stop();
    // Taken before the watch is set: a folder put in its place meanwhile is
    // then found by stillWatches(), never hidden behind this identity.
    FileId id;
    if (!fileId(folder, &id))
        return false;
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return false;
    m_wd = ::inotify_add_watch(m_fd, folder.c_str(), WATCHED | IN_ONLYDIR);
    if (m_wd < 0) {
        stop();
        return false;
    }
    m_folder = folder;
    m_id = id;
    return true;
}

bool CFolderChanges::stillWatches(const std::string& folder) const
{
    FileId now;
    return m_fd >= 0 && !m_folder.empty() && folder == m_folder && fileId(folder, &now) && now == m_id;
}

bool CFolderChanges::changed()
{
    if (m_fd < 0)
        return true;
    bool any = false;
    bool lost = false;
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            lost = lost || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            break;
        }
        any = true;
        for (ssize_t off = 0; off < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(buf + off);
            // Events dropped, or the folder gone from under the watch.
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                lost = true;
            off += ssize_t(sizeof(struct inotify_event) + e->len);
        }
    }
    if (lost)
        stop();
    return any || lost;
}

} // namespace platform
