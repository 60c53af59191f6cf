// The SEND folder scan. Files enter the party by being put into SEND, as a
// copy or as a shortcut (a symbolic link named *.lnk). Each check compares a
// fresh listing with the snapshot of the previous check (kept in memory and
// in SEND/YUVO/dirlist.dat) and hands every new, changed or vanished file to
// the catalog as an added, updated or deleted record.
//
// The main window owns the one object and drives it from its timer: a
// check's listing and file status calls run on a worker thread, and what
// they found is applied on the main thread, in steps of bounded time, in the
// same order and by the same rules as a check made at once. Every other
// operation is the main thread's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/folder_changes.h"
#include "platform/wintypes.h"
#include "store/dir_list.h"

// What opening a listed file told: nobody writes it, it is busy, or it is
// gone.
enum class FileProbe : unsigned char { notOpened, ready, busy, missing };


// One entry of the listing of the check in progress that has to be looked
// at closely: a file new to the snapshot, one whose size, time or kind
// moved, or a shortcut (memory only). Files that match the snapshot are
// listed by their snapshot index alone.
struct ScanRecord {
    // Native path of the file to open: relative to the check's handle of
    // SEND (a file of SEND, a shortcut's relative target) or absolute (a
    // shortcut's absolute target).
    std::string path;
    DirListRecord rec;
    // The entry's name in SEND as the file system holds it (for a shortcut,
    // the name of the link itself).
    std::string nativeName;
    // The name is one Windows nodes can take (a known name is listed even
    // when it no longer is, so that its registration is not dropped).
    bool shareable = true;
    // Index of the snapshot record of its name (the first), -1 when new.
    long known = -1;
    // Left out after all (its name differs only in case from another's).
    bool dropped = false;
    // Listed, but its status cannot be read (no permission, an I/O error, a
    // stale handle): present and unknown, its record and registration stay.
    bool unknownStatus = false;
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
    // Lists the folder: a file whose name, size and time match its snapshot
    // record enters the listing as that record; every other entry goes
    // through addEntry. Then new names that differ from a kept one only in
    // case are dropped. False when the folder cannot be listed.
    bool scanFolder();
    // Filters one listed entry that needs a close look, resolves a shortcut,
    // and moves the entry into the listing. Names new to the snapshot must be
    // ones Windows nodes can take (isShareableName); each refusal is printed
    // once while it lasts.
    void addEntry(ScanRecord& entry);

    // One complete check at once, on this thread.
    void checkFolder();

    // The periodic check in steps. startCheck starts the listing and the
    // file status calls on a worker, unless a check is still under way
    // (then it does nothing and returns false). continueCheck does the main
    // thread's part until the deadline, handing at most maxRecords records
    // to the catalog: once the listing is in, it classifies the entries and
    // hands the records on in batches, each of which leaves the catalog and
    // the queue files whole; then the snapshot is committed and dirlist.dat
    // written on the worker. True while the check is under way.
    bool startCheck();
    bool continueCheck(std::chrono::steady_clock::time_point deadline, std::size_t maxRecords = SIZE_MAX);
    bool checking() const { return m_phase != Phase::idle; }
    // Waits for the worker's job (for tests, and at the end).
    void waitForWorker();

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
    // While the folder has been quiet, files the snapshot knows are taken
    // without a status call, and every status call is made again at least
    // this often (a minute; tests shorten it).
    static void setFullListingEvery(std::chrono::milliseconds every);

    const std::string& folder() const { return m_folder; }
    const CDirList& snapshot() const { return m_snapshot; }
    std::string listPath() const;

    // SEND's identity. The folder the node knows is told by what the node
    // keeps inside it: its snapshot YUVO/dirlist.dat beside its marker
    // YUVO/owner.id, which holds the token that CATALOG/SEND.id holds too,
    // made anew for each folder taken for SEND (device and inode alone are
    // no identity: a folder made anew, or another drive on the same port,
    // may get the same ones). Before the node has a token (a SEND.id of an
    // older build), a snapshot in the folder whose device and inode SEND.id
    // holds stands for the marker.
    // A SEND without the node's snapshot is away while the node has live
    // own registrations (its node record aside) and it holds no file of
    // them: nothing in it is then reported gone, and nothing written into
    // it, until the folder the node knows is back, or its user takes it for
    // SEND by the one act no other program does by chance, an entry named
    // TAKE_FILE made in it (files that merely appear in it never do: a
    // desktop's, an editor's or a sync tool's files, or a drive mounted
    // over it). A SEND that is not away becomes the folder the node knows
    // (its marker and snapshot written, SEND.id kept). One without the
    // node's snapshot is taken anew: no registration is deleted for it, and
    // those of files not in it stand outside SEND (see
    // CCatalog::standOutsideSend) until they expire or are deleted.
    //
    // The act, relative to SEND; deleted once the folder is taken.
    static constexpr const char* TAKE_FILE = "YUVO/use-this-folder";
    //
    // Whether the last check found SEND away (at the start, until the first
    // check: whether the start could not tell it was the known one).
    bool sendAway() const { return m_away; }
    // Every write of the node into SEND (the node record, a file dropped on
    // the window) goes through this, the one place that holds the rule that
    // nothing lands in a folder other than the one judged to be the known
    // SEND: the folder that SEND names now is opened into `out` only when it
    // is the folder the last check judged to be the known one (its device
    // and inode) and still carries the node's marker; writes through `out`
    // then go into that folder, whatever the path comes to name meanwhile.
    // False (and `out` closed) otherwise: the write waits. The check's own
    // writes (the snapshot, a duplicate shortcut deleted) go through the
    // handle the check judged by.
    bool openKnownSend(platform::COpenFolder& out) const;
    // While SEND is away, what the user can do (CP932), for the window to
    // show until it is back; "" otherwise.
    const std::string& awayNotice() const { return m_awayText; }
    // Texts for the user (CP932) since the last call.
    std::vector<std::string> takeNotices();

private:
    enum class Phase { idle, listing, classifying, handing, saving };
    struct Seen {
        DWORD sizeHigh;
        DWORD sizeLow;
        FILETIME lastWrite;
    };

    // The snapshot's records by the names the file system gives (UTF-8),
    // so that a file that has not changed is found without converting its
    // name. Built on the worker when the snapshot has changed.
    class NativeIndex {
    public:
        void build(const CDirList& snapshot, std::uint64_t generation);
        bool builtFor(std::uint64_t generation) const { return m_generation == generation; }
        // Index of the first record of that name, -1 when none.
        long find(std::string_view native) const;
        std::string_view nameOf(std::size_t i) const;
        void clear();

    private:
        std::uint64_t m_generation = ~std::uint64_t(0);
        std::string m_names;              // every record's native name, back to back
        std::vector<std::uint32_t> m_at;  // record i's: m_names[m_at[i], m_at[i + 1])
        std::vector<std::uint32_t> m_slot; // open addressing: record index + 1, 0 free
    };

    // An entry of the next snapshot: a record of the snapshot (OLD | index)
    // or a freshly found one (FRESH | index in m_fresh).
    static constexpr std::uint32_t FRESH = 0x80000000u;

    // The phases of a check: the listing, the file status calls and what
    // they tell (any thread), then on the main thread the catalog's answers
    // (classify), the handing on to the catalog and the commit of the
    // snapshot.
    bool beginCheck();
    // Whether the folder has been quiet since the last listing, so that the
    // status calls of files the snapshot knows can be left out: no change
    // told, nothing held back, and the last full listing less than a minute
    // ago.
    bool quietSinceLastListing();
    void gather();
    void markRemoved();
    void judge(ScanRecord& e);
    void judgeNew(ScanRecord& e);
    void judgeKnown(ScanRecord& e, std::size_t j);
    bool classify(std::chrono::steady_clock::time_point deadline);
    // The first check after the snapshot is read also makes the catalog
    // follow SEND the other way: an own live registration whose file no
    // entry of the listing bears is deleted. The snapshot on disk may be
    // ahead of catalog.dat after any end of the node (a crash, a disk too
    // full to save the catalog, -CATALOGCASH), so it alone cannot tell.
    void gatherPresent();
    bool reconcile(std::chrono::steady_clock::time_point deadline);
    bool handOn(std::chrono::steady_clock::time_point deadline, std::size_t maxRecords);
    void commit();
    void finishListingFailure();
    // The check's first look (the worker's): SEND opened for the whole
    // check, its identity, whether it holds the node's snapshot (else it may
    // be away), and the snapshot read anew from it when it is another folder
    // than the one the snapshot stands for (or its last read failed).
    void lookAtFolder();
    // Whether an open folder holds the node's snapshot (see sendAway), and
    // what told: the node's marker, the snapshot file.
    bool holdsOwnSnapshot(const platform::COpenFolder& dir, bool* markerMine, bool* snapshotThere) const;
    bool carriesMarker(const platform::COpenFolder& dir) const;
    // A folder taken for the known SEND without the node's marker gets a
    // token of its own (main thread only), so that no folder taken before
    // (a bare mount point that its drive is mounted over again, a folder
    // since replaced) tells as the node's any more; the token stays while
    // its marker could not be written. True when a marker is to be written.
    bool renewToken(bool markerMine);
    // Makes an open folder the one the node knows: its marker first (when
    // asked), then CATALOG/SEND.id. An end between the two leaves a folder
    // that its files, or the old SEND.id, still tell.
    void keepFolder(const platform::COpenFolder& dir, bool writeMarker);
    // Reads the folder's dirlist.dat into out (emptied first), making it
    // empty when it is missing and `create`.
    enum class ListRead { missing, read, failed };
    ListRead readList(const platform::COpenFolder& dir, CDirList& out, bool create);
    // The check found SEND away: nothing of it is handed on or written.
    void finishAway();
    // A folder taken anew: the registrations of files not in it stand
    // outside SEND and none is deleted; false when that cannot be kept.
    bool takeAnew();
    // Says that a folder was taken anew, and how many registrations stand.
    void tellTaken();
    // Whether the catalog holds live own registrations other than the node
    // record (a node that shares nothing loses nothing by any SEND).
    static bool sharesFiles();
    void readKeptIdentity();
    void keepIdentity(const platform::FileId& id);
    // Says a state once while it lasts: on the console and, when given, in
    // a notice for the window (UTF-8 here).
    void tell(const std::string& key, const std::string& console, const char* notice);
    // An entry whose status cannot be read; for a shortcut, its target's
    // path when the link itself could be read.
    void takeUnknown(std::string_view nativeName, const std::string* linkTarget);
    // The records of the next snapshot; false when it is the snapshot as it
    // stands.
    bool buildNextSnapshot();
    DirListRecord nextRecord(std::uint32_t item) const;
    std::string_view nextName(std::uint32_t item) const;
    void keepOld(std::size_t j) { m_next.push_back(std::uint32_t(j)); }
    void keepFresh(const DirListRecord& rec, bool shareable);
    // Writes records as the folder's dirlist.dat: only the records that
    // differ from `before` (the snapshot the file holds) where that is safe,
    // else whole.
    void writeList(const platform::COpenFolder& dir, const CDirList& records, const CDirList* before);
    bool writeChangesInPlace(const platform::COpenFolder& dir, const CDirList& before, const CDirList& after);
    void startWorker(std::function<void()> job);
    bool workerBusy();

    // One entry of the listing: the snapshot record of a file that matches
    // it, or through addEntry.
    void takeListed(const platform::NameStat& n, std::string_view name);
    // addEntry's two kinds of entry: true when the entry is listed.
    bool takePlainFile(ScanRecord& entry);
    bool takeShortcut(ScanRecord& entry);
    FileProbe probe(const ScanRecord& entry, WIN32_FIND_DATAA* fresh);
    void dropCaseDuplicates();
    void skip(const std::string& nativeName, const std::string& why);
    void deleteDuplicateShortcut(const std::string& lnkName, const std::string& why);
    static bool namesSet();

    std::string m_folder;
    CDirList m_snapshot;
    // Bumped whenever m_snapshot changes.
    std::uint64_t m_generation = 0;
    NativeIndex m_index;
    std::vector<ScanRecord> m_scan;

    // The check under way. While the worker lists, it alone touches the
    // listing, the index, the next snapshot, the lists and the report sets,
    // and only reads the snapshot; while it writes dirlist.dat it only reads
    // both snapshots.
    Phase m_phase = Phase::idle;
    // SEND as this check opened it: listed, looked at and written through
    // from its first look until its snapshot is written (closed between
    // checks, so that the drive can be unmounted).
    platform::COpenFolder m_dir;
    std::thread m_worker;
    std::atomic<bool> m_workerDone{true};
    bool m_listed = false;
    // The listing in folder order: snapshot indexes of files that match
    // their records, and FRESH | index into m_scan for the others.
    std::vector<std::uint32_t> m_listing;
    // The next snapshot in order (see FRESH), the fresh records, and whether
    // a fresh record's name is one Windows nodes can take.
    std::vector<std::uint32_t> m_next;
    std::vector<DirListRecord> m_fresh;
    std::vector<bool> m_freshShareable;
    CDirList m_nextSnapshot;
    bool m_nextBuilt = false;
    // dirlist.dat holds the snapshot as it stands (read or written whole).
    bool m_listOnDisk = false;
    // Entries of the next snapshot (position << 2 | what the file system
    // told of it, ASK_*) for which the catalog is asked whether it holds
    // their registration.
    enum : std::uint32_t { ASK_UNCHANGED = 0, ASK_CHANGED = 1, ASK_NEW = 2 };
    std::vector<std::uint32_t> m_toAsk;
    std::size_t m_cursor = 0; // next one to ask
    // The records to hand on, in order: added, removed, changed, and files
    // the snapshot holds that the catalog does not (registered as new).
    std::vector<DirListRecord> m_lists[4];
    std::size_t m_list = 0;     // list being handed on
    std::size_t m_handed = 0;   // records of it handed on
    std::size_t m_goneDeleted = 0; // deletions the removed ones made
    bool m_anyChange = false;

    // Per check: the target names of the shortcuts listed.
    std::unordered_set<std::string> m_linkNames;

    // The catalog is still to be made to follow SEND both ways (see
    // reconcile); and, while it is, the CP932 names the listing bears (with
    // those reported removed already), the next own registration to look
    // at (-1: done), the catalog's list generation it started on, and the
    // registrations found without a file.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    bool m_reconcile = true;
    std::unordered_set<std::string, NameHash, std::equal_to<>> m_present;
    int m_ownAt = -1;
    std::uint64_t m_ownGeneration = 0;
    std::vector<DirListRecord> m_vanished;
    // The check that made the catalog follow SEND is handing its records on.
    bool m_firstHanding = false;

    // SEND's identity as the node last knew it (CATALOG/SEND.id: device,
    // inode and the node's token), and the folder the snapshot stands for
    // (taken when it was read, or when a check committed); dirlist.dat is to
    // be read again at the next check when its last read failed for another
    // reason than its absence. The token is made and changed on the main
    // thread only, and only while no worker runs.
    platform::FileId m_kept;
    bool m_keptValid = false;
    std::string m_token;
    bool m_tokenSaved = false;      // SEND.id holds it
    bool m_identityUnsaved = false; // its last write failed (said once)
    bool m_markerUnsaved = false;   // the last write of the marker failed (said once)
    // The folder the last judgement (a check's, or the start's) took for
    // the known SEND; writes of the node go only there (openKnownSend).
    platform::FileId m_knownId;
    bool m_knownValid = false;
    platform::FileId m_snapshotFrom;
    bool m_snapshotFromValid = false;
    bool m_rereadSnapshot = false;
    // This check (the worker's until classified): SEND's identity, whether
    // it carries the node's marker and holds a snapshot, whether it is
    // another folder than the snapshot's, and whether it may be away.
    platform::FileId m_identity;
    bool m_identityKnown = false;
    bool m_markerMine = false;
    bool m_snapshotThere = false;
    bool m_otherFolder = false;
    bool m_mayBeAway = false;
    // Live own registrations (the node record aside) the reconciling looked
    // at, and those of them whose file is listed.
    std::size_t m_ownLive = 0;
    std::size_t m_ownPresent = 0;
    bool m_awayNow = false;
    bool m_away = false;
    std::string m_awayText;
    // This check: the folder holds TAKE_FILE (the worker's until
    // classified); it is taken anew, leaving so many registrations standing
    // outside SEND; or it could not be, the list failing with this errno.
    bool m_takeAsked = false;
    bool m_takenAnew = false;
    std::size_t m_leftStanding = 0;
    int m_takeFailed = 0;
    std::vector<std::string> m_notices;
    // A shortcut was listed whose target cannot be known (its own status
    // cannot be read): every shortcut record not otherwise listed stays, as
    // do the registrations of shortcuts; those records' indexes.
    bool m_linksUnknown = false;
    std::vector<std::size_t> m_keptLinks;

    // The worker's view of the folder between checks: the change
    // notification, when the last listing with every status call was made,
    // whether the last check held a file back (busy, or its change not
    // taken), and the names of files with other hard links, whose writes
    // under another name the folder does not tell of.
    platform::CFolderChanges m_changes;
    std::chrono::steady_clock::time_point m_lastFullListing{};
    bool m_heldBack = true;
    std::unordered_set<std::string> m_multiLinked;

    // Names reported as skipped at the previous check and at this one, so
    // that each is reported once while it stays.
    std::unordered_set<std::string> m_reported;
    std::unordered_set<std::string> m_reportedNow;
    bool m_reportedNoNames = false;

    // Size and time of files held back without a lease, to see them settle.
    std::unordered_map<std::string, Seen> m_seen;
    std::unordered_map<std::string, Seen> m_seenNow;

    static bool s_useLeases;
    static std::chrono::milliseconds s_fullListingEvery;
};
