// Shortcuts: a shortcut is a symbolic link whose name ends in ".lnk".
#pragma once

#include <string>

#include "platform/files.h"
#include "platform/wintypes.h"

namespace platform {

bool isShortcutName(const std::string& name); // ends in ".lnk" (ASCII case ignored)

// Makes the link lnkPath -> target (a relative target is made absolute
// against the working directory), replacing an old shortcut of that name;
// false when it cannot or lnkPath does not end in ".lnk".
bool makeShortcut(const std::string& lnkPath, const std::string& target);
// The same for a link named name in an open folder.
bool makeShortcut(const COpenFolder& in, const std::string& name, const std::string& target);

// Reads the link and stats the target afresh: the target's native path and
// its find data (cFileName: the CP932 of the target's last component). False
// when lnkPath is not a link, the target is gone or is not a regular file,
// or the target's name has no CP932 form. A relative link is taken relative
// to the link's folder. *err (when given) receives the errno of a status
// call or link read that failed (0 when nothing failed but the kinds or the
// name); the target's path is then given when the link itself could be read.
bool resolveShortcut(const std::string& lnkPath, std::string* target, WIN32_FIND_DATAA* fd, int* err = nullptr);
// The same for a link named name in an open folder; a relative target is
// given as it stands, relative to that folder, and looked at through it.
bool resolveShortcut(const COpenFolder& in, const std::string& name, std::string* target, WIN32_FIND_DATAA* fd,
                     int* err = nullptr);

// Removes the link itself, never its target; false when lnkPath is not a
// symbolic link.
bool deleteShortcut(const std::string& lnkPath);
bool deleteShortcut(const COpenFolder& in, const std::string& name);

} // namespace platform
