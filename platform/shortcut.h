// Shortcuts: a shortcut is a symbolic link whose name ends in ".lnk".
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace platform {

bool isShortcutName(const std::string& name); // ends in ".lnk" (ASCII case ignored)

// Makes the link lnkPath -> target (absolute); false when it cannot.
bool makeShortcut(const std::string& lnkPath, const std::string& target);

// Reads the link and stats the target afresh: the target's native path and
// its find data. False when lnkPath is not a link or the target is gone or is
// not a regular file.
bool resolveShortcut(const std::string& lnkPath, std::string* target, WIN32_FIND_DATAA* fd);

// Removes the link itself, never its target.
bool deleteShortcut(const std::string& lnkPath);

} // namespace platform
