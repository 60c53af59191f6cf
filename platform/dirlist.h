// Directory listing in place of the Windows file search.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/wintypes.h"

namespace platform {

struct DirEntry {
    WIN32_FIND_DATAA fd;   // cFileName in CP932 (empty when the name does not convert)
    std::string nativeName; // the name as the file system holds it
    bool nameConverts;     // false: the name has no CP932 form and fd.cFileName is empty
};

// Lists regular files and folders (links are followed for the data; FIFOs,
// devices and sockets are left out; "." and ".." too), sorted by native name
// byte order. pattern is "*" or "*.lnk" (suffix matched without regard to
// case). Attributes: 0x10 folder, 0x20 file, + 0x02 for a name starting with
// '.', + 0x01 when not writable (this user may not write it, or it has no
// write permission bit at all). Folders report size 0. out is emptied first.
// Other patterns are matched as shell patterns, ASCII case ignored. Returns
// false when the folder cannot be read.
bool listDirectory(const std::string& folder, const char* pattern, std::vector<DirEntry>& out);

// A folder's names with what one status call tells of each (links
// followed), for a scan that looks again and again at a large folder: no
// name conversion, no access test, and all names in one buffer.
struct NameStat {
    // unknown: listed, but its status cannot be read (no permission, an I/O
    // error, a stale handle): something is there, of no known kind.
    enum Kind : std::uint8_t { other, file, folder, unknown };
    std::uint32_t nameAt; // the name in NameListing::names
    std::uint16_t nameLen;
    Kind kind;            // other: neither file nor folder, or gone meanwhile
    // The status call was left out (see listNames): only the kind is known.
    bool vouched;
    std::uint32_t links;  // hard links of a file
    std::uint64_t size;   // files only
    FILETIME lastWrite;
};
struct NameListing {
    std::string names;
    std::vector<NameStat> entries; // sorted by name, byte order
    std::string_view name(const NameStat& e) const { return std::string_view(names).substr(e.nameAt, e.nameLen); }
    void clear();
};
// Lists an open folder as above ("." and ".." left out); false when it
// cannot be read. For a name that the folder lists as a regular file (not a
// link), `vouch` may say that the caller knows its status already: its
// status call is then left out.
bool listNames(const COpenFolder& folder, NameListing& out,
               const std::function<bool(std::string_view name)>& vouch = nullptr);

// One entry of an open folder as listDirectory gives it; false when it is
// gone or is neither file nor folder. *err (when given) receives the errno
// of a status call that failed, 0 when the entry is simply of another kind.
bool describeEntry(const COpenFolder& folder, const std::string& nativeName, DirEntry* out, int* err = nullptr);

// The find data of one path (following links), as a file search on that path
// would give it; false when missing or not a regular file or folder, and
// when its name has no CP932 form that fits cFileName. *err as above.
bool findFileData(const std::string& path, WIN32_FIND_DATAA* fd, int* err = nullptr);
// The same for a path relative to an open folder.
bool findFileData(const COpenFolder& in, const std::string& path, WIN32_FIND_DATAA* fd, int* err = nullptr);

// Whether a failed status call's errno says that nothing is there (no such
// entry, a path through a non-folder, a link loop, a name too long). Any
// other failure (no permission, an I/O error, a stale handle) tells nothing
// of the file itself.
bool isMissingError(int err);

// Attributes as above (following links), or INVALID_FILE_ATTRIBUTES when
// missing or a dangling link. Something that is neither file nor folder (a
// FIFO, a device) gives FILE_ATTRIBUTE_SYSTEM instead of 0x20.
DWORD getFileAttributes(const std::string& path);

} // namespace platform
