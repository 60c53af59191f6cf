// Paths. Folders are native paths with '/' separators; names that come from
// records, frames, peers or the INI file are CP932 and are joined onto a
// folder only through joinName(), which refuses anything that could leave
// the folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace paths {

// True when the CP932 text is one safe path component: not empty, not "." or
// "..", no '/', ':', control character (< 0x20 or 0x7F), no '\\' as a
// character (a 0x5C second byte of a double-byte character is fine), no
// truncated double-byte character, and it converts to UTF-8 and back.
bool isSafeName(std::string_view cp932Name);

// folder + "/" + UTF-8 of the name (a trailing '/' on folder is not
// doubled); nullopt when the name is not safe or folder is empty.
std::optional<std::string> joinName(std::string_view folder, std::string_view cp932Name);
// The UTF-8 of the name alone, for a call relative to an open folder;
// nullopt when the name is not safe (the same check as joinName's).
std::optional<std::string> nativeName(std::string_view cp932Name);

// folder + "/" + a fixed ASCII component of the program's own (never a name
// from outside); a trailing '/' on folder is not doubled, and an empty
// folder gives the component alone (relative to the working directory,
// never "/").
std::string joinFixed(std::string_view folder, std::string_view component);

// The current working directory ("" when it cannot be read).
std::string currentDirectory();

// The last component of a path (after the last '/').
std::string baseName(std::string_view path);
// Everything before the last '/' ("" when there is none, "/" for a path
// right under the root).
std::string dirName(std::string_view path);

} // namespace paths
