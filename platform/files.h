// Files: an MFC-shaped file object with the open modes the store uses, and
// whole-file helpers. All errors are errno values.
//
// Linux has no share modes, so the share flags are accepted and ignored:
// there is never a sharing violation to retry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

class COpenFolder;

// A seek, read or write that fails on an open file throws this, as the
// class library's file exception does.
class CFileException : public std::runtime_error {
public:
    CFileException(int err, const std::string& what) : std::runtime_error(what), m_errno(err) {}
    int m_errno;
};

// What tells one state of a file from another without reading it: which
// file (device and inode), its length and its last change. Two stamps are
// equal when nothing has been written to the file in between.
struct FileStamp {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t changedNs = 0; // last modification, ns since 1970
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path (not following a final link); exists is
// false when there is nothing by that name.
FileStamp fileStamp(const std::string& path);

// What one status call tells of the path itself (a final link is not
// followed): nothing there (a missing entry or folder on the way), a regular
// file (with its size, names and time of last write), a folder, anything
// else (a link, a device), or `unknown`: the status cannot be read (no
// permission, an I/O error), which tells nothing of what is there.
struct PathStatus {
    enum Kind : std::uint8_t { missing, file, folder, other, unknown };
    Kind kind = missing;
    std::uint64_t size = 0;
    std::uint64_t links = 0;
    struct timespec lastWrite {};
};
PathStatus pathStatus(const std::string& path);
// Sets the time of last write of the path itself (a final link is not
// followed); its time of last access stays.
bool setLastWrite(const std::string& path, const struct timespec& when, int* err = nullptr);

class CFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        // Beyond the class library's modes: a symbolic link as the final
        // name is not followed but refused (ELOOP); with modeCreate, only a
        // new file is made, never an existing one opened (EEXIST).
        modeNoFollow = 0x10000,
        modeNewOnly = 0x20000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens path with the given flags; false on failure, with the errno in
    // *err when given. modeCreate creates a missing file (and truncates an
    // existing one unless modeNoTruncate is given). Only regular files open:
    // a folder, FIFO or device is refused without waiting on it. Seek, Read,
    // Write, GetLength, SetLength and Flush on a closed file throw (EBADF).
    bool Open(const std::string& path, unsigned flags, int* err = nullptr);
    // The same for a path relative to an open folder.
    bool Open(const COpenFolder& in, const std::string& path, unsigned flags, int* err = nullptr);
    bool IsOpen() const { return m_fd >= 0; }
    void Close();

    // Reads up to n bytes, looping over short reads; returns the number read
    // (less than n only at the end of the file). Throws on error.
    std::size_t Read(void* buf, std::size_t n);
    // Writes all n bytes, looping over short writes. Throws on error.
    void Write(const void* buf, std::size_t n);
    // Non-throwing forms: false on error (errno in *err when given).
    bool TryRead(void* buf, std::size_t n, std::size_t* got, int* err = nullptr);
    bool TryWrite(const void* buf, std::size_t n, int* err = nullptr);

    std::uint64_t Seek(std::int64_t off, SeekPosition from);
    void SeekToBegin() { Seek(0, begin); }
    std::uint64_t SeekToEnd() { return Seek(0, end); }
    std::uint64_t GetLength() const;
    // The number of names the open file has (more than 1: hard links).
    std::uint64_t GetLinkCount() const;
    void SetLength(std::uint64_t len);
    // The stamp of the open file. Throws on error.
    FileStamp GetStamp() const;
    void Flush(); // fsync

private:
    bool openAt(int dirFd, const std::string& path, unsigned flags, int* err);
    [[noreturn]] void fail(int err, const char* what) const;

    int m_fd = -1;
    std::string m_path;
};

// Whole-file reads and writes. Only regular files are opened: a folder, FIFO
// or device is refused (EISDIR, EINVAL) without waiting on it.
bool readWholeFile(const std::string& path, std::string& out, int* err = nullptr);
// Writes the file through a temporary file in the same folder, fsync and
// rename, so a crash leaves either the old file or the new one. The new file
// keeps the permission bits of the old one.
bool replaceFileAtomically(const std::string& path, const void* data, std::size_t n, int* err = nullptr);
// The same for content that `produce` hands to `write` piece by piece, so
// that a large file need not first stand whole in memory; produce returns
// false when a write failed.
using PieceWriter = std::function<bool(const void* data, std::size_t n)>;
bool replaceFileAtomically(const std::string& path, const std::function<bool(const PieceWriter& write)>& produce,
                           int* err = nullptr);

// Writes what produce hands over into a fresh temporary beside path (see
// temporarySibling), with the permission bits path has, and syncs nothing:
// its name in *tmp. False (nothing left behind) when it cannot.
bool writeTemporary(const std::string& path, const std::function<bool(const PieceWriter& write)>& produce,
                    std::string* tmp, int* err = nullptr);

// A fresh hidden name (".yuvo-tmp-<pid>-<n>") in the folder of `path`, for a
// file or link that is made there and then renamed into place. Hidden, so
// that a folder scan that catches it half-made passes it over.
std::string temporarySibling(const std::string& path);
// Whether a name is one that temporarySibling makes, exactly.
bool isTemporaryName(std::string_view name);
// Removes what interrupted writes left in one folder: the regular files and
// symbolic links there whose names temporarySibling makes (a link goes
// itself, never what it points at; a folder or anything else of such a
// name stays, and so does everything under the folder's subfolders). Only
// for a folder no other process writes into, and before this process makes
// a temporary there: a temporary still being written would go too. The
// number removed, -1 when the folder cannot be listed.
int removeTemporaryLeftovers(const std::string& folder);

// Creates every missing folder level of path, the last one included (a
// trailing '/' is allowed); true when path is a folder afterwards.
bool makeSureDirectoryPathExists(const std::string& path);
// Makes path one real folder: a symbolic link standing there is removed
// (never what it points at) and the folder made. False when something else
// stands there or the folder cannot be made.
bool makePlainDirectory(const std::string& path);
// Creates one folder level; false when it cannot (or it already exists).
bool createDirectory(const std::string& path);

bool fileExists(const std::string& path);      // anything by that name (not following a final link)
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);   // following links
bool deleteFile(const std::string& path, int* err = nullptr);   // never a folder
// Replaces a file already under `to`, as rename(2) does.
bool renameFile(const std::string& from, const std::string& to, int* err = nullptr);
std::int64_t fileSize(const std::string& path); // -1 when missing

// Which file a path names now (device and inode): a file replaced by a
// rename is another file, one written in place stays the same.
struct FileId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    bool operator==(const FileId&) const = default;
};
bool fileId(const std::string& path, FileId* out);


// A folder held open. What is listed, looked at, read, made, renamed or
// removed through it lies in the folder it was opened on, whatever its path
// comes to name meanwhile (a drive unmounted, the folder renamed or made
// anew, a link pointed elsewhere): what a caller judged by looking through
// the handle is what it writes into. Paths given with it are relative to
// the folder (an absolute one is taken as it is). A handle that is not open
// fails every call with EBADF and never falls back to the working
// directory.
class COpenFolder {
public:
    COpenFolder() = default;
    ~COpenFolder();
    COpenFolder(const COpenFolder&) = delete;
    COpenFolder& operator=(const COpenFolder&) = delete;

    // Opens the folder that path names now (links followed), closing any
    // other; false (the errno in *err) when it cannot.
    bool open(const std::string& path, int* err = nullptr);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    // Which folder it is, taken when it was opened.
    const FileId& id() const { return m_id; }
    // The descriptor for the platform's calls relative to it; -1 when closed.
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    FileId m_id;
};

// Whole-file and status calls relative to an open folder, as the calls of
// the same names above.
bool readWholeFile(const COpenFolder& in, const std::string& path, std::string& out, int* err = nullptr);
bool replaceFileAtomically(const COpenFolder& in, const std::string& path, const void* data, std::size_t n,
                           int* err = nullptr);
bool replaceFileAtomically(const COpenFolder& in, const std::string& path,
                           const std::function<bool(const PieceWriter& write)>& produce, int* err = nullptr);
bool createDirectory(const COpenFolder& in, const std::string& path);
bool fileExists(const COpenFolder& in, const std::string& path);
bool isRegularFile(const COpenFolder& in, const std::string& path); // not following a final link
bool deleteFile(const COpenFolder& in, const std::string& path, int* err = nullptr); // never a folder
std::int64_t fileSize(const COpenFolder& in, const std::string& path);
bool fileId(const COpenFolder& in, const std::string& path, FileId* out);
bool copyFile(const std::string& from, const COpenFolder& in, const std::string& to, int* err = nullptr);

// Bytes free for an unprivileged writer on the file system of path; -1 when
// it cannot be told.
std::int64_t freeSpace(const std::string& path);

// Whether an errno says that the disk (or the writer's share of it) has no
// room: ENOSPC, EDQUOT, EFBIG.
bool isNoRoom(int err);

// Copies a regular file's content under a temporary name in the target's
// folder, then renames it into place; false (and nothing under `to`) on any
// failure. Refuses to copy a file onto itself (the same path or the same
// file under another name: EINVAL). The copy keeps the times of last access
// and last write of the original, as the desktop shell's copy does.
bool copyFile(const std::string& from, const std::string& to, int* err = nullptr);

} // namespace platform
