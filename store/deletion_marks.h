// Lists of the node's own registrations, each in a file of CATALOG: the
// marks of its own deletions (CATALOG/ownDeletions.lst) and the
// registrations that stand outside SEND (CATALOG/outsideSend.lst).
//
// A deletion mark says that the user asked for the deletion of one
// registration of an own file, or that it expired, so the compaction may
// delete the file in SEND with it; a deletion made without a mark on the
// disk could come back after an end as a file that merely left SEND, or be
// forgotten while its neighbours dropped their copies.
//
// A registration outside SEND is one whose file was not in a folder the node
// took for SEND anew (a folder without its marker: a drive taken in place of
// the one it knew, a SEND whose marker was cleaned away): its file is
// elsewhere, so its registration stands until it expires or its user deletes
// it, and no check or start's mend deletes it for its absence (see
// CFolderWatch).
//
// A line names the registration, not the file: its name, size, last write
// and registration time. A new registration of the name gets a new
// registration time, so a line that could not be erased never takes a file
// registered after it.
//
// The files (our own, no format of the wire) are a header line and one line
// per registration:
//   "yuvo-deletion-marks 2\n" (or "yuvo-outside-send 1\n")
//   "<size high> <size low> <last write high> <last write low> <registered> <name>\n"
// the first four as 8 hex digits, the 16 bytes of the registration time as
// hex, and the CP932 name as it is (a name never holds a control
// character). An older marks file holds the names alone, each ended by a
// NUL; it never holds a line end.
//
// What keeps it sound: every line held in memory is on the disk. A line goes
// into memory only once the file holding it is written; an erased one may
// stay on the disk (the write is then owed and tried again at every tick),
// which is harmless since it names a registration that is gone. A file that
// cannot be read is not known: nothing is added to it (a deletion is then
// refused, as when it cannot be written) and nothing written over it, and it
// is read again at every tick until it can be. (A run whose catalog could
// not be loaded writes neither catalog.dat nor these files, so nothing it
// marks outlives it.)
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/catalog_record.h"

namespace catalog_detail {

class RegistrationMarks {
public:
    // What a file holds, for its header and what the user is told.
    struct Kind {
        std::string_view header;  // its first line, with its line end
        const char* label;        // UTF-8, such as "削除の記録 (CATALOG/ownDeletions.lst)"
        bool olderLayout;         // a file without the header is read as names ended by NULs
        // What waits while the file cannot be read: on the console, and
        // (UTF-8) for the user.
        const char* whileUnreadable;
        const char* whileUnreadableText;
    };
    static const Kind DELETIONS;
    static const Kind OUTSIDE_SEND;

    explicit RegistrationMarks(const Kind& kind) : m_kind(kind) {}
    void setPath(std::string path) { m_path = std::move(path); }

    // The own record of a name that the catalog holds, null when none.
    using HeldRecord = std::function<const CatalogRecord*(std::string_view cp932Name)>;
    // Reads the file, at most maxMarks marks (a longer file is cut, said on
    // the console and in a notice); a line that is not whole is ignored and
    // said. A mark that names no registration the catalog holds is dropped:
    // none can come back. An older file's name marks the record of that
    // name only when it was registered no later than the file was last
    // written (every mark in such a file was set after the registration it
    // belongs to); any other is dropped. Whatever was dropped or converted
    // is written at once. Without `held` (the catalog could not be loaded)
    // nothing is read, and the file is left as it is for the whole run. A
    // file that cannot be read is tried again by retry().
    void load(std::size_t maxMarks, HeldRecord held);

    bool empty() const { return m_marks.empty(); }
    std::size_t size() const { return m_marks.size(); }
    // Whether rec is a registration that a mark names.
    bool names(const CatalogRecord& rec) const;
    // Marks the registrations of recs (own records as the catalog holds
    // them): the file holding them is written first. False when it could not
    // be written, or its marks could not be read; nothing is marked then, and
    // *err tells why.
    bool mark(const std::vector<const CatalogRecord*>& recs, int* err);
    // Erases the marks of the records' names; a failed write is owed.
    void clear(const std::vector<const CatalogRecord*>& recs);
    void clearNames(const std::vector<std::string_view>& names);
    // Tries once (the tick) an owed write, or the read of a file that could
    // not be read; true when this read it.
    bool retry();
    bool writeOwed() const { return m_owed; }
    // The file could not be read: what it marks is not known.
    bool unreadable() const { return m_unreadable; }
    // Texts for the user (CP932) since the last call.
    std::vector<std::string> takeNotices();

private:
    struct Registration {
        DWORD sizeHigh = 0;
        DWORD sizeLow = 0;
        FILETIME lastWrite {};
        SYSTEMTIME registered {};
        bool operator==(const Registration& o) const;
    };
    static Registration registrationOf(const CatalogRecord& rec);
    // One line of the file; false when it is not a whole mark.
    static bool parseLine(std::string_view line, std::string* name, Registration* reg);
    static void appendLine(std::string& out, const std::string& name, const Registration& reg);
    // Looks names up without copying them.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
    };
    struct ReadResult {
        std::size_t notWhole = 0;
        std::size_t dropped = 0;
        bool cut = false;
        bool oldLayout = false;
        bool unreadable = false;
    };
    ReadResult read(std::size_t maxMarks, const HeldRecord& held, int* err);
    // Reads the file and takes what it holds; false when it cannot be read.
    bool readIn();
    // Writes the marks held (deletes the file when there are none).
    bool write(int* err);
    // A write owed since; told once until it succeeds.
    void owe(int err);
    // The file holds every mark: what was owed is not any more.
    void written();
    void notice(const char* utf8Text);
    // A text for the user about the file: `before` its label `after`.
    void noticeAbout(const char* before, const char* after);

    const Kind& m_kind;
    std::string m_path;
    std::size_t m_maxMarks = 0;
    HeldRecord m_held;
    std::unordered_map<std::string, Registration, NameHash, std::equal_to<>> m_marks; // by CP932 name
    bool m_frozen = false; // the file is left as it is in this run
    bool m_unreadable = false;
    int m_readErr = 0;
    bool m_owed = false;
    bool m_owedTold = false;
    std::vector<std::string> m_notices;
};

} // namespace catalog_detail
