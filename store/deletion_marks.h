// The marks of the node's own deletions: CATALOG/ownDeletions.lst.
//
// A mark says that the user asked for the deletion of one registration of
// an own file, or that it expired, so the compaction may delete the file in
// SEND with it; a deletion made without a mark on the disk could come back
// after an end as a file that merely left SEND, or be forgotten while its
// neighbours dropped their copies. A mark names the registration, not the
// file: its name, size, last write and registration time. A new registration
// of the name gets a new registration time, so a mark that could not be
// erased never takes a file registered after it.
//
// The file (our own, no format of the wire) is a header line and one line per
// mark:
//   "yuvo-deletion-marks 2\n"
//   "<size high> <size low> <last write high> <last write low> <registered> <name>\n"
// the first four as 8 hex digits, the 16 bytes of the registration time as
// hex, and the CP932 name as it is (a name never holds a control
// character). An older file holds the names alone, each ended by a NUL; it
// never holds a line end.
//
// What keeps it sound: every mark held in memory is on the disk. A mark goes
// into memory only once the file holding it is written; an erased one may
// stay on the disk (the write is then owed and tried again at every tick),
// which is harmless since it names a registration that is gone. (A run
// whose catalog could not be loaded writes neither catalog.dat nor this
// file, so nothing it marks outlives it.)
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/catalog_record.h"

namespace catalog_detail {

class DeletionMarks {
public:
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
    // nothing is read, and the file is left as it is for the whole run.
    void load(std::size_t maxMarks, const HeldRecord& held);

    bool empty() const { return m_marks.empty(); }
    std::size_t size() const { return m_marks.size(); }
    // Whether rec is a registration that a mark names.
    bool names(const CatalogRecord& rec) const;
    // Marks the registrations of recs (own records as the catalog holds
    // them): the file holding them is written first. False when it could not
    // be written; nothing is marked then, and *err tells why.
    bool mark(const std::vector<const CatalogRecord*>& recs, int* err);
    // Erases the marks of the records' names; a failed write is owed.
    void clear(const std::vector<const CatalogRecord*>& recs);
    // Tries an owed write once (the tick).
    void retryWrite();
    bool writeOwed() const { return m_owed; }
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
    ReadResult read(std::size_t maxMarks, const HeldRecord& held);
    // Writes the marks held (deletes the file when there are none).
    bool write(int* err);
    // A write owed since; told once until it succeeds.
    void owe(int err);
    // The file holds every mark: what was owed is not any more.
    void written();
    void notice(const char* utf8Text);

    std::string m_path;
    std::unordered_map<std::string, Registration, NameHash, std::equal_to<>> m_marks; // by CP932 name
    bool m_frozen = false; // the file is left as it is in this run
    bool m_owed = false;
    bool m_owedTold = false;
    std::vector<std::string> m_notices;
};

} // namespace catalog_detail
