// The SEND folder scan. Files enter the party by being put into SEND, as a
// copy or as a shortcut (a symbolic link named *.lnk). Each check compares a
// fresh listing with the snapshot of the previous check (kept in memory and
// in SEND/YUVO/dirlist.dat) and hands every new, changed or vanished file to
// the catalog as an added, updated or deleted record.
//
// Main thread only; the main window owns the one object and drives
// checkFolder from its timer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/wintypes.h"
#include "store/dir_list.h"

// One entry of the listing of the check in progress (memory only).
struct ScanRecord {
    // Native path of the file: the file in SEND, or a shortcut's target.
    std::string path;
    DirListRecord rec;
    // The entry's name in SEND as the file system holds it (for a shortcut,
    // the name of the link itself).
    std::string nativeName;
};

class CFolderWatch {
public:
    CFolderWatch();
    virtual ~CFolderWatch();

    // The watched folder, a native path (null: none).
    void setFolder(const char* folder);
    // Reads dirlist.dat into the snapshot; a partial record at the end is
    // dropped.
    void loadList();
    // Writes the snapshot to dirlist.dat.
    void saveList();
    // Appends the folder's current entries to the listing through addEntry,
    // then drops new names that differ from a kept one only in case. False
    // when the folder cannot be listed.
    bool scanFolder();
    // Filters one listed entry, resolves a shortcut, and moves the entry into
    // the listing. Names new to the snapshot must be ones Windows nodes can
    // take (isShareableName); each refusal is printed once while it lasts.
    void addEntry(ScanRecord& entry);
    // One complete check; the only operation called periodically.
    void checkFolder();

    // Makes sure that the folder base/sub exists (sub is a CP932 name).
    static void ensureSubFolder(const char* base, const char* sub);

    // Whether a Windows node can take a file of this name: the CP932 form in
    // *cp932 (when given), or the reason in *why.
    static bool isShareableName(std::string_view nativeName, std::string* cp932, std::string* why);

    // Files that another program is still writing are recognised by a read
    // lease where the kernel grants one, otherwise by size and time staying
    // the same from one check to the next. Tests turn leases off to reach the
    // second way.
    static void setUseLeases(bool on);

    const std::string& folder() const { return m_folder; }
    const CDirList& snapshot() const { return m_snapshot; }
    const std::vector<ScanRecord>& scan() const { return m_scan; }
    std::string listPath() const;

private:
    enum class Probe { ready, busy, missing };
    struct Seen {
        DWORD sizeHigh;
        DWORD sizeLow;
        FILETIME lastWrite;
    };

    Probe probe(const ScanRecord& entry, WIN32_FIND_DATAA* fresh);
    void buildSnapshotIndex();
    void dropCaseDuplicates();
    void skip(const std::string& nativeName, const std::string& why);
    void deleteDuplicateShortcut(const std::string& lnkPath, const std::string& lnkName,
                                 const std::string& why);
    static bool namesSet();
    static bool isRegistered(const DirListRecord& r);

    std::string m_folder;
    CDirList m_snapshot;
    std::vector<ScanRecord> m_scan;

    // Per check: snapshot name -> index of its first record, and the target
    // names of the shortcuts listed.
    std::unordered_map<std::string_view, std::size_t> m_snapIndex;
    std::unordered_set<std::string> m_linkNames;

    // Names reported as skipped at the previous check and at this one, so
    // that each is reported once while it stays.
    std::unordered_set<std::string> m_reported;
    std::unordered_set<std::string> m_reportedNow;
    bool m_reportedNoNames = false;

    // Size and time of files held back without a lease, to see them settle.
    std::unordered_map<std::string, Seen> m_seen;
    std::unordered_map<std::string, Seen> m_seenNow;

    static bool s_useLeases;
};
