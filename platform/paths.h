// Paths. Folders are native paths with '/' separators; names that come from
// records, frames, peers or the INI file are CP932 and are joined onto a
// folder only through joinName(), which refuses anything that could leave
// the folder.
#pragma once

#include <cstddef>
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
// doubled); nullopt when the name is not safe or folder is empty. A name
// whose UTF-8 is longer than a folder takes (NAME_MAX_BYTES) becomes its
// shortened form, fitName(utf8, SHORT_NAME_BYTES): every path of such a
// name is built here, so whoever writes, reads, copies or deletes the file
// finds it under the one native name.
std::optional<std::string> joinName(std::string_view folder, std::string_view cp932Name);
// The UTF-8 of the name alone, for a call relative to an open folder;
// nullopt when the name is not safe (the same check as joinName's).
std::optional<std::string> nativeName(std::string_view cp932Name);

// The longest name, in bytes of UTF-8, that a folder of the file system
// takes.
constexpr std::size_t NAME_MAX_BYTES = 255;
// A shortened name leaves room for a suffix of the program's own of up to
// 11 bytes (a file being received lies beside its place under its name and
// "·受信中"), so that such a name never needs shortening twice.
constexpr std::size_t SHORT_NAME_BYTES = NAME_MAX_BYTES - 11;

// A native name of at most maxBytes (at least 19): the name itself when it
// fits, else its first whole characters, "·" (U+00B7) and 16 hex digits of a
// 64-bit hash of the whole name. The middle dot has no CP932 form, so no
// name of a record (which has one) is ever the shortened form of another.
std::string fitName(std::string_view utf8Name, std::size_t maxBytes);

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
