// Whether anything happened in one folder since it was last asked, from the
// kernel's change notification (inotify): an entry made, removed, renamed,
// written or its status changed, or the folder itself removed or moved.
// Where no watch can be had (no inotify, the user's watches used up) every
// question is answered "changed", so a caller never takes silence for
// calm.
#pragma once

#include <string>

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
    // True when something happened since watch() or the last call, and
    // whenever the watch is not sound (none, lost, or events dropped).
    bool changed();
    void stop();

private:
    int m_fd = -1;
    int m_wd = -1;
    std::string m_folder;
};

} // namespace platform
