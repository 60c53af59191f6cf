// Whether anything happened in one folder since it was last asked, from the
// kernel's change notification (inotify): an entry made, removed, renamed,
// written or its status changed, or the folder itself removed or moved.
// A watch stays on the folder it was set on: when the path comes to name
// another folder (a link pointed elsewhere, a file system mounted over it)
// the watch tells nothing of it, which stillWatches() finds out.
// Where no watch can be had (no inotify, the user's watches used up) every
// question is answered "changed", so a caller never takes silence for
// calm.
#pragma once

#include <string>

#include "platform/files.h"

namespace platform {

class CFolderChanges {
public:
    CFolderChanges() = default;
    ~CFolderChanges();
    CFolderChanges(const CFolderChanges&) = delete;
    CFolderChanges& operator=(const CFolderChanges&) = delete;

    // Starts watching folder, ending any earlier watch; false when no watch
    // can be had.
    bool watch(const std::string& folder);
    // The folder watched ("" when none).
    const std::string& folder() const { return m_folder; }
    // Whether folder is the path watched and still names the folder the
    // watch was set on (one status call, following links).
    bool stillWatches(const std::string& folder) const;
    // The folder the watch was set on.
    const FileId& watchedId() const { return m_id; }
    // True when something happened since watch() or the last call, and
    // whenever the watch is not sound (none, lost, or events dropped).
    bool changed();
    void stop();

private:
    int m_fd = -1;
    int m_wd = -1;
    std::string m_folder;
    FileId m_id; // of the folder watched, taken before the watch was set
};

} // namespace platform
