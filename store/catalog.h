// The catalog of registered files: the record list with its file
// catalog.dat, the per-neighbour queue files, the chunk store under RECV,
// expiry and compaction.
//
// One catalog per process (getInstance / releaseInstance). Every operation
// runs on the main thread; the catalog mutex is taken before the change
// broadcaster's own, and every change event is fired while it is held.
//
// Text arguments are CP932. Names that become paths (node names, file names)
// are joined only through paths::joinName; a name that is not one safe path
// component is refused.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/disk_sync.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/wintypes.h"
#include "store/catalog_record.h"
#include "store/deletion_marks.h"

namespace catalog_detail {
class CatalogJournal;
class QueueImage;
struct QueueIndex;
class StartCopyCheck;
}

// The record list in memory, mirrored into catalog.dat: with write-through
// every change is written at once (record i always at byte i * 820),
// otherwise only the whole list at release. Takes no lock: the calling
// CCatalog operation holds the catalog mutex.
//
// What a power cut may cost: a whole rewrite goes through a temporary file
// and a rename, so catalog.dat is the old list or the new one. A record
// written over a complete record in place is first copied to the journal
// (catalog.jnl) and synced, so a torn write there is mended at the next
// load; any other torn write (an append, the progress of a transfer) leaves
// at worst one damaged record, which the load drops.
//
// A write that fails (a full disk) leaves catalog.dat behind the list: a
// whole rewrite is then owed, writes in place wait for it, and the owner
// retries it (retryRewrite) once per tick; the user is told once.
class CCatalogCash {
public:
    CCatalogCash();
    ~CCatalogCash();

    // Sets the path and mode and appends the file's whole records to the
    // list. A partial record at the end of the file is not loaded: its bytes
    // wait in partialTail() until cutPartialTail(). When the file cannot be
    // opened or read, or holds more than maxRecords records, the store
    // refuses to write it for the rest of its life, so a catalog it could
    // not load is never replaced.
    void setupList(const std::string& path, int writeThrough, int maxRecords);
    // The bytes of a partial record that ended the file at load (empty:
    // none).
    const std::string& partialTail() const { return m_partialTail; }
    // Cuts the partial record off the file, when the file is still as it was
    // loaded, so that appends land at count * 820; forgets its bytes.
    void cutPartialTail();
    // The journal's last whole copy of each record index, for the catalog
    // file as it was loaded.
    std::map<int, CatalogRecord> journalCopies() const;

    // Copy of record i; 820 zero bytes when i is out of range. Returns out.
    CatalogRecord* getRec(CatalogRecord* out, int i) const;
    // Index of the first record with that key, -1 when none; the record is
    // copied into out unless out is null.
    int findRec(std::string_view node, std::string_view file, CatalogRecord* out) const;
    int findRec(const CatalogRecord& keyOf, CatalogRecord* out) const;
    // Indexes of every record with the key of rec, ascending (empty: none).
    std::vector<int> indexesOf(const CatalogRecord& rec) const;

    // Replaces record i (nothing when out of range); written through.
    void setRec(int i, const CatalogRecord& rec);
    // Replaces record i in memory only; writeRecs() then writes a batch.
    void setRecNoWrite(int i, const CatalogRecord& rec);
    // Appends a record in memory only; writeRecs() then writes it.
    void addRecNoWrite(const CatalogRecord& rec);
    // Writes the given records in place with one open of the file (write-
    // through mode only).
    void writeRecs(const std::vector<int>& indexes);
    // Appends a record; written through.
    void addRec(const CatalogRecord& rec);
    // Replaces the whole list; written through as a whole rewrite.
    void setList(const std::vector<CatalogRecord>& list);

    // Writes the whole list over catalog.dat through an atomic replace and
    // drops the journal; false when it could not be written.
    bool wreteList();
    void saveList() { wreteList(); }
    // Whether a whole rewrite is owed (a write failed, or the journal has
    // grown enough to be folded into the file).
    bool rewriteOwed() const { return m_rewriteOwed || m_journalFull; }
    // Whether catalog.dat is behind the list in write-through mode: changes
    // stay in memory until the owed rewrite.
    bool behindList() const { return m_writeThrough == 1 && m_rewriteOwed; }
    // Keeps the changes from now on out of catalog.dat until the owed
    // rewrite (write-through mode only; nothing is told).
    void deferWrites()
    {
        if (m_writeThrough == 1)
            m_rewriteOwed = true;
    }
    // Whether an owed rewrite is to be tried now: not while one is under
    // way, nor while the disk plainly lacks the room for it.
    bool rewriteDue() const;
    // A whole rewrite in two steps, so that its sync runs off the main
    // thread: beginRewrite writes the list into a temporary beside
    // catalog.dat (not synced) and returns its name ("" when it cannot);
    // once the temporary is on the disk, finishRewrite renames it into place
    // and writes in place what changed meanwhile. A list replaced whole
    // meanwhile (setList) makes the temporary useless, and it goes. False
    // when nothing was renamed into place (the rewrite is still owed when
    // it was).
    std::string beginRewrite();
    bool finishRewrite(const std::string& temp, bool synced);
    bool rewriteUnderWay() const { return m_rewrite.underWay; }
    // Texts for the user (CP932), each handed out once.
    std::vector<std::string> takeNotices();
    // Writes record i at its offset.
    void writeRec(int i);
    // Writes a just-appended record (the last one) at its offset.
    void writeRec(const CatalogRecord& rec);

    int getCount() const { return static_cast<int>(m_list.size()); }
    // Records whose state is neither new nor updated (the compaction's work).
    int notLiveCount() const { return m_notLive; }
    const std::vector<CatalogRecord>& list() const { return m_list; }
    // Bumped whenever the list is replaced whole, which moves indexes.
    std::uint64_t generation() const { return m_generation; }
    const std::string& path() const { return m_path; }
    int writeThrough() const { return m_writeThrough; }
    bool loadFailed() const { return m_loadFailed; }
    // Whether records were written into catalog.dat in place or at its end
    // since the last call (a whole rewrite is on the disk when it returns).
    bool takeWrittenInPlace()
    {
        const bool w = m_writtenInPlace;
        m_writtenInPlace = false;
        return w;
    }
    bool writtenInPlace() const { return m_writtenInPlace; }

    // The lookup key of a record: origin node and file name, each read
    // within its field.
    static std::string keyOf(const CatalogRecord& rec);
    static std::string keyOf(std::string_view node, std::string_view file);

private:
    // One slot of the key index: a record's index and its key's hash.
    struct IndexSlot {
        std::int32_t index; // EMPTY, REMOVED or the record's index
        std::uint32_t hash;
    };
    static constexpr std::int32_t EMPTY = -1;
    static constexpr std::int32_t REMOVED = -2;
    static std::uint32_t keyHash(std::string_view node, std::string_view file);
    // Counts the records the compaction drops and indexes the list anew.
    void rebuildIndex();
    void buildIndex() const;
    // Builds an index that a load left to be built; true when it did.
    bool indexFromList() const;
    void indexInsert(int i, std::uint32_t hash) const;
    void indexAppend(int i);
    void indexReplace(int i, const CatalogRecord& oldRec, const CatalogRecord& newRec);
    // Calls f with the index of every record with that key, in no order.
    template <class F>
    void forEachIndexOf(std::string_view node, std::string_view file, F f) const;
    bool canWrite(const char* who) const;
    // The phases of writeRecs, over ascending distinct indexes: the number
    // of runs of neighbouring indexes (atStart called with each run's
    // first), whether a run starts beyond the file's end, the journal's
    // copies of what goes over complete records (the indexes copied), and
    // the writes themselves.
    static std::size_t runStarts(const std::vector<int>& sorted, const std::function<void(int)>& atStart);
    static bool startsBeyond(const std::vector<int>& sorted, std::uint64_t length);
    // *failed: the copies could not be made safe, so nothing may be written
    // over a complete record in place.
    std::vector<int> journalFirst(const std::vector<int>& sorted, std::uint64_t length, bool* failed);
    void writeRuns(platform::CFile& f, std::vector<int> sorted);
    // A write of catalog.dat failed with err: a rewrite is owed, and the
    // first failure is told.
    void writeFailed(int err);
    // The file is the list written whole (a new file): the journal and the
    // failure told go.
    void writtenWhole();
    void notice(const char* utf8Text);

    std::vector<CatalogRecord> m_list;
    std::string m_path;
    int m_writeThrough = 0;
    bool m_loadFailed = false;
    std::string m_partialTail;
    std::uint64_t m_partialTailAt = 0; // its offset in the file
    std::unique_ptr<catalog_detail::CatalogJournal> m_journal;
    // Records whose in-place write goes over a complete record: the journal
    // takes a copy first.
    std::unordered_set<int> m_protect;
    bool m_rewriteOwed = false;
    bool m_journalFull = false;
    // The rewrite under way (beginRewrite): the list's generation and count
    // it wrote, the records changed since, and of those the ones complete
    // in what it wrote (written in place through the journal later).
    struct Rewrite {
        bool underWay = false;
        std::uint64_t generation = 0;
        std::size_t count = 0;
        std::unordered_set<int> changed;
        std::unordered_set<int> protect;
    } m_rewrite;
    bool m_writtenInPlace = false;
    bool m_failureTold = false;
    bool m_lastFailureNoRoom = false;
    std::vector<std::string> m_notices;
    int m_notLive = 0;
    std::uint64_t m_generation = 0;
    // The records by key, kept in step with m_list so that a lookup needs no
    // scan: an open-addressing table of record indexes, at most half full,
    // 8 bytes a slot. The keys themselves are read from the records, so the
    // index holds no copy of them. Built at the first use after a load.
    mutable std::vector<IndexSlot> m_slots;
    mutable std::size_t m_slotsUsed = 0; // slots not EMPTY
    mutable bool m_indexStale = false;
};

class CCatalog {
public:
    // Entries the catalog takes from neighbours, at most: far beyond real
    // use, and a bound on what a hostile member of the party can make this
    // node store. The node's own registrations are taken beyond it.
    static constexpr int MAX_RECORDS = 100000;
    // Records catalog.dat may hold, own registrations included: a larger
    // file is refused at load (and left as it is) rather than read.
    static constexpr int MAX_FILE_RECORDS = 2 * MAX_RECORDS;

    // --- The single catalog. ---

    // The first call constructs the catalog, which loads catalog.dat and
    // announces every loaded record.
    static CCatalog* getInstance();
    // The catalog when there is one; never makes one.
    static CCatalog* existingInstance() { return s_instance; }
    // Destroys the catalog (rewriting catalog.dat); nothing when there is none.
    static void releaseInstance();
    // The catalog mutex, guarding the list, catalog.dat, the queue files and
    // the writing of received files. Recursive.
    static platform::CRecursiveMutex& getMutex();
    // <working directory>/CATALOG, where catalog.dat, the queue files and
    // catalogErroRec.err lie.
    static std::string getCatalogFolder();

    virtual ~CCatalog();

    // --- Record operations: they touch no catalog state. ---

    // Records of the node's own files, state new, updated or deleted.
    static void makeNewRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec);
    static void makeUpdateRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec);
    static void makeDeleteRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec);

    static void setCheckSum(CatalogRecord* rec);
    static bool isCheckSumOk(const CatalogRecord* rec);
    // a strictly later than b (the day of the week takes no part).
    static bool isLaterTime(SYSTEMTIME a, SYSTEMTIME b);
    // the date of a on or after the date of b.
    static bool isSameOrLaterDate(SYSTEMTIME a, SYSTEMTIME b);
    static bool isValidRec(const CatalogRecord* rec);
    // The whole-record check that every record from outside (a frame, a
    // queue file, catalog.dat) must pass before it is stored, relayed or
    // sent: its size field, a state of 1, 2 or 3, at most 10 hops,
    // calendar times (an expiry may be all zero), an origin usable as a
    // node name, a file name that ends within its field and is one plain
    // name, a party, and a size below 4 GiB.
    static bool isWholeRec(const CatalogRecord* rec);
    // Appends the own node name to the route; false when it is full.
    static bool addRoute(CatalogRecord* rec);

    // Record key: origin node and file name, each read within its field.
    static bool isSameKey(const CatalogRecord* a, const CatalogRecord* b);
    static bool isSameKey(const CatalogRecord* rec, const char* originNode, const char* fileName);
    // Transfer identity: origin, the 320 find-data bytes and the 16
    // registration bytes all equal.
    static bool isSameTransfer(const CatalogRecord* a, const CatalogRecord* b);
    // Whether a node name can name a neighbour: it names the queue file
    // CATALOG/<name>.dat and the folder RECV/<name>, so it must be one safe
    // path component, and "catalog" (any case) would make its queue file the
    // catalog itself.
    static bool isUsableNodeName(std::string_view name);

    // --- Changes from the SEND folder scan and the file lists. ---

    // Own new file: stored complete and queued to every connection row. A
    // key already held is replaced in place. A file of 4 GiB or more is not
    // registered.
    void addRec(const CatalogRecord* rec);
    // Own changed file: replaces the stored record of that key and puts it
    // into every row's queue (over the queued entry of that key).
    void updateRec(const CatalogRecord* rec);
    // Own deletion the user asked for (rec's state already 2): marks the
    // stored record deleted and queues rec to every row. The compaction then
    // deletes the file in SEND while it is still the one registered (its
    // size and last write as the record holds them).
    void deleteRec(const CatalogRecord* rec);
    // Deletion on this node only: marks the stored record deleted. Of an own
    // record it is asked for as well, and takes its file as deleteRec does.
    void deleteRecLocal(const CatalogRecord* rec);

    // The same as addRec (updateRec, deleteRec) of each of n records in
    // turn, with catalog.dat and each queue file opened once for them all.
    // Between two calls everything is written: the catalog and the queues
    // hold every record of the calls made so far.
    void addRecs(const CatalogRecord* recs, std::size_t n);
    void updateRecs(const CatalogRecord* recs, std::size_t n);
    void deleteRecs(const CatalogRecord* recs, std::size_t n);
    // Own deletions of files that have left SEND, from the scan: as
    // deleteRecs, but the compaction deletes no file for them, since a file
    // of that name in SEND now is one put there since. A record the catalog
    // does not hold (it ended by a kill with its changes only in memory, or
    // lost catalog.dat) is still queued to every row, so the neighbours drop
    // what they hold of it; not one whose deletion went out already (its
    // file went with a compaction of this run). Returns how many deletions
    // it made (stored or queued).
    std::size_t deleteGoneRecs(const CatalogRecord* recs, std::size_t n);

    // --- Records received from a neighbour (checksum already tested). ---
    //
    // fromNode names the neighbour that sent the record (for the console
    // notices; may be null). Refused, whatever their times: records that
    // fail the whole-record check, records of another party, and records
    // whose origin is this node (a node's own records never come back to
    // it; when they do, another node bears the same name, which the console
    // says once per neighbour).

    // State 1 and 3: stored (not relayed) when new and not expired, or when
    // registered later than the stored one. A new key is refused while the
    // catalog holds MAX_RECORDS entries (said once per neighbour).
    void recvNewRec(const CatalogRecord* rec, const char* fromNode = nullptr);
    void mergeRec(const CatalogRecord* rec, const char* fromNode = nullptr);
    // State 2: marks the stored record deleted unless it is a later
    // registration, and relays the deletion.
    void recvDeleteRec(const CatalogRecord* rec, const char* fromNode = nullptr);

    // --- Queries. ---

    // Copy of record index (820 zero bytes when out of range); always 1.
    int getRec(int index, CatalogRecord* out);
    // Number of records in the list.
    int getRecCount();
    // Looks up (node, file); copies the record into out unless null.
    bool findRec(const char* fileName, const char* nodeName, CatalogRecord* out);
    // Whether this node holds the whole file in exactly rec's version.
    bool isRecComplete(const CatalogRecord* rec);
    // Announces every record again, in order (no lock of its own).
    void fireAllRecords();
    // Path of the shortcut in SEND whose target has that file name; empty
    // when none.
    void findLinkFile(const char* fileName, std::string& out);
    // Copies of the complete records of one origin node, in catalog order.
    void getNodeRecs(const char* node, std::vector<CatalogRecord>& out);

    // What the catalog holds of an own file of SEND (its CP932 name): no
    // registration, a live one (new or updated) of that kind, size and last
    // write, a live one that says otherwise, a deleted one whose deletion
    // was asked for or expired of a file of that kind, size and last write
    // (the file goes with it), or any other deleted one (its file had left
    // SEND, or a file there now is another: to be registered again).
    enum class OwnHeld { none, same, differs, deleted, gone };
    OwnHeld ownRegistration(std::string_view file, DWORD isLink, DWORD sizeHigh, DWORD sizeLow,
                            const FILETIME& lastWrite);
    // Hands f the live own registrations from index `from` on, in catalog
    // order, until the deadline (at least one): the index to go on from, -1
    // once the end is reached. A compaction meanwhile moves the indexes
    // (listGeneration tells).
    int visitOwnLive(int from, std::chrono::steady_clock::time_point deadline,
                     const std::function<void(const CatalogRecord&)>& f);
    std::uint64_t listGeneration();

    // --- Asking the neighbours for their whole catalogs. ---
    //
    // Under -CATALOGCASH what the neighbours send stays in memory until the
    // end, while their queues count it as held once this node polls again:
    // a run that ends without saving catalog.dat (a kill, a power cut)
    // loses it, and no neighbour would send it again. So the file
    // CATALOG/resyncNeighbours.flg stands from the load of such a catalog
    // until its final save has succeeded. Found at the load (whatever the
    // mode of this run), it makes the node owe every neighbour a request
    // for its whole catalog, made in the hello of the first link to it in
    // this run. The file goes once every connection row has been asked
    // (under -CATALOGCASH with the good final save, not before), so a node
    // that ends first asks them all again at its next start.

    // Whether the hello to neighbour `peer` is to ask for its whole catalog.
    bool owesWholeSync(std::string_view peer);
    // Neighbour `peer` has had a hello that asked (a later answer on the
    // same link came back): it is owed nothing more in this run.
    void wholeSyncAsked(std::string_view peer);

    // --- Neighbour queues (CATALOG/<node>.dat). ---

    static constexpr int MAX_TAKE_RECORDS = 11;

    // Index of the first entry with rec's key in the queue file named
    // fileName (node name and ".dat"); -1 when absent or unreadable.
    int findQueueRec(const CatalogRecord* rec, const char* fileName);
    // Queues rec for one neighbour with this node added to its route; never
    // to its origin, to a node on its route, or when the route is full.
    void queueRec(const char* neighbour, const CatalogRecord* rec);
    // queueRec to every connection row, unless this node is the origin.
    void relayRec(const CatalogRecord* rec);
    // Queues the catalog for one neighbour: mode 1 every record, mode 2 those
    // registered on or after the date of since.
    void syncTo(const char* peer, int mode, SYSTEMTIME since);
    // Takes up to 11 waiting entries for an answer to the neighbour and
    // returns how many. They stay waiting in the file: they are handed out
    // ("in flight", in memory only) under the batch number put into *batch
    // (0 when none was taken), and a later take passes over them, until
    // confirmQueueRecs or releaseQueueRecs. So a node that ends in any way
    // before the neighbour holds them sends them again. Without a batch the
    // neighbour counts as holding them at once (they are marked sent). The
    // queue file goes when nothing waits in it and nothing is in flight.
    int takeQueueRecs(const char* peer, CatalogRecord* out, std::uint64_t* batch = nullptr);
    // The neighbour holds the entries of a batch: each is marked sent while
    // its entry is still exactly what was sent (one rewritten since waits
    // on). The marks go to the file with the queue's next take, or at the
    // end; a node killed first sends them once more.
    void confirmQueueRecs(std::uint64_t batch);
    // The entries of a batch not confirmed wait again (a link that closed
    // before the neighbour was known to hold them): the next take finds them.
    void releaseQueueRecs(std::uint64_t batch);
    // Entries in flight, held by the neighbour or not, over every queue.
    std::size_t queueEntriesInFlight() const;
    // Renames a neighbour's queue file; onto an existing one the waiting
    // records are merged into it. The entries in flight under the old name
    // wait again.
    void renameQueue(const char* oldName, const char* newName);

    // Reads the connection rows' queue files into the catalog's index of
    // their keys, until the deadline (at least one step). True when every
    // row's index stands; a queue operation otherwise reads what is missing
    // itself.
    bool prepareQueueIndexes(std::chrono::steady_clock::time_point deadline);

    // The next incomplete record of another node to fetch: the first in
    // catalog order, or the first after rec (rec is in and out). 1 found.
    int getFirstFetchRec(CatalogRecord* out);
    int getNextFetchRec(CatalogRecord* rec);

    // --- File chunks. ---

    // Stores a received chunk at offset (which must equal the bytes held) in
    // RECV/<origin>/<file>. 1: stored, more wanted; 0: complete now, refused
    // or failed.
    int writeFileData(DWORD offset, DWORD length, const CatalogRecord* rec, const void* data);
    // Reads at most maxLength bytes from offset of a file this node holds
    // whole in rec's version, never beyond the size that record gives; the
    // number read, 0 when none.
    DWORD readFileData(DWORD offset, DWORD maxLength, const CatalogRecord* rec, void* out);
    // Target path of the SEND shortcut whose target has that file name (""
    // when none), through a cache emptied at each compaction.
    void findLinkTarget(const char* fileName, std::string& out);

    // --- Registrations outside SEND. ---
    //
    // A folder taken for SEND anew (one without the node's marker: a drive
    // in place of the one it knew, a SEND whose marker was cleaned away) may
    // lack the files of live own registrations. Their files are elsewhere
    // (on the drive the node knew), so those registrations stand until they
    // expire or their user deletes them, and neighbours keep their copies:
    // they are kept in CATALOG/outsideSend.lst (see RegistrationMarks), and
    // no check or start's mend deletes them because their file is not in
    // SEND. Their expiry or deletion takes a file in SEND only while it is
    // the file registered (its name, size and last write), as for any other.

    // Marks the own registrations of these file names (CP932) as standing
    // outside SEND; false (and *err) when the list could not be written, or
    // cannot be read: nothing is marked then.
    bool standOutsideSend(const std::vector<std::string_view>& names, int* err);
    // Whether rec, an own registration, stands outside SEND: every one does
    // while the list cannot be read.
    bool standsOutsideSend(const CatalogRecord& rec) const;
    // Files of these names (CP932) are in SEND: their registrations follow
    // SEND again.
    void backInSend(const std::vector<std::string_view>& names);

    // --- Expiry and compaction. ---

    // A SEND check owes the catalog its first look at the folder since the
    // catalog was loaded: until sendChecked(), the compaction keeps the
    // node's own deleted records (and their files). A deleted record loaded
    // from catalog.dat cannot tell whether its file left SEND; a file back
    // there by that name is registered again by that check instead.
    void awaitSendCheck();
    void sendChecked();

    // Marks expired and invalid records deleted.
    void checkLimit();
    // Drops deleted records with their local files and rebuilds the lists.
    void compactList();

    // --- The node's tick. ---

    // Retries the writes a full disk or an unwritable file held back (at
    // most one attempt each per call): the neighbours' queue entries owed,
    // then a rewrite of catalog.dat. The main window calls it on every tick.
    void onTick();
    // Queue entries that could not be written yet, over every neighbour.
    std::size_t owedQueueEntries() const;
    // Whether what the catalog takes in now reaches catalog.dat at once;
    // false while a failed write (a full disk) leaves catalog.dat behind the
    // list, until the tick's rewrite. A link polls for more only while it
    // is true: its poll tells the neighbour that this node holds what it
    // got. (Under -CATALOGCASH the list is written at the end, as that mode
    // chooses: there it is true while the file that asks the neighbours
    // again after an end without that save stands, see owesWholeSync.) At a
    // start that asks the neighbours again, it is false until the start's
    // check of the received files is applied (store/received_copies.h).
    bool storesAtOnce();
    // --- Putting what was written on the disk. ---
    //
    // What catalog.dat, the queue files (and their .owed files) and the
    // received files take is put on the disk in rounds, off the main thread:
    // a round opens the files written since the last round began and the
    // folders whose names changed (a file made since has its folder synced
    // too), worker threads sync them side by side, and collectSyncs takes
    // the round back on the main thread. Round r is synced once it came back
    // whole with nothing failed before it still to mend: everything written
    // before r began is then on the disk. Writes made while it runs belong to
    // the next round.
    //
    // A sync that fails proves nothing written to that file until the file
    // has been written again whole from what the node holds in memory:
    // Linux tells a failed write once per file, so a later sync succeeds
    // though the pages never reached the disk, and the page cache may have
    // dropped them. catalog.dat is written again from the list (its changes
    // wait in memory meanwhile, and no poll goes); a queue file from what
    // an earlier round proved on the disk and every entry written to it
    // since, which the catalog keeps until a round proves them. The new file
    // is synced under a temporary name and renamed into place, and the next
    // round syncs its folder: only that round can count as synced. A
    // received file whose sync fails is fetched again from its first byte.
    // (That a folder's failed sync is not hidden from the next one is
    // assumed: its names are journalled metadata, and a file system that
    // loses them stops taking writes.)

    // The round whose end puts on the disk everything written so far.
    std::uint64_t roundOfWrites();
    // Whether everything written before `round` began is on the disk, and no
    // entry to pass on waits on no disk at all.
    bool isSynced(std::uint64_t round);
    // Asks for rounds until `round` is synced; begins one at once when its
    // writes are not under way yet.
    void wantSynced(std::uint64_t round);
    // Takes back the rounds that are done, in order, and applies them (a
    // fetched file completes, a failed file is written again); begins the
    // next round that is wanted. Never waits.
    void collectSyncs();
    // Called on a worker thread when a round is done, so that the main
    // thread collects it soon (the application posts collectSyncs).
    void setSyncWake(std::function<void()> wake);
    // Waits for the rounds under way and collects them, until nothing more
    // is wanted or so many rounds have run (at the end, and for tests).
    void settleSyncs(int rounds = 8);
    // For tests: how long the next round waits after one failed (1 s).
    static void setSyncRetryDelay(std::chrono::milliseconds delay);
    // Texts for the user (CP932) since the last call: a catalog file
    // refused at load, a disk too full to save the catalog.
    std::vector<std::string> takeNotices();
    // Waits for the start's check of the received files marked whole and
    // applies it (see store/received_copies.h; the tick and the polls apply
    // it as soon as it is done, without waiting). For tests.
    void finishStartCheck();

    // For tests: the store under the catalog.
    const CCatalogCash& cash() const { return m_cash; }
    // For tests: other record limits (the constants above by default).
    static void setRecordLimits(int fromNeighbours, int inFile);
    static int maxRecords() { return s_maxRecords; }
    static int maxFileRecords() { return s_maxFileRecords; }

private:
    CCatalog();
    CCatalog(const CCatalog&) = delete;
    CCatalog& operator=(const CCatalog&) = delete;

    void load();
    // What the load found damaged: how many records, the first's index,
    // and the last as it stood in the file.
    struct LoadDamage {
        int count = 0;
        int first = -1;
        CatalogRecord last {};
        std::size_t tailBytes = 0; // the last is a partial record of so many bytes
        void add(int index, const CatalogRecord& rec)
        {
            if (count++ == 0)
                first = index;
            last = rec;
        }
    };
    // Takes the journal's copies of torn records and drops damaged ones
    // (said once, the last copied to the error file); the mended catalog is
    // written whole.
    void mendLoaded();
    void reportDamage(const LoadDamage& damage);
    void storeReceived(const CatalogRecord* rec, const char* fromNode);
    // Whether a received record may be taken at all (see above).
    bool acceptsReceived(const CatalogRecord& a, const char* fromNode);
    // True the first time a neighbour is told of one kind of refusal.
    static bool firstNotice(std::unordered_set<std::string>& told, const char* fromNode);
    // Completes a received record of an empty file, making the file.
    void completeIfEmpty(CatalogRecord* a);
    // Own changes: store runs on each record under the catalog mutex and
    // returns the index it changed (-1: none; QUEUE_ONLY: none, yet the
    // record is queued) with the record to queue; then the changed records
    // are written and queued to every row, over the entries of their keys
    // or at the ends. Returns how many records were queued.
    static constexpr int QUEUE_ONLY = -2;
    std::size_t storeOwn(const CatalogRecord* recs, std::size_t n, bool overTheirKeys,
                  const std::function<int(const CatalogRecord&, CatalogRecord*)>& store);
    void putToRowQueues(const std::vector<CatalogRecord>& recs, bool overTheirKeys);
    // Writes n records into the queue file at path, over the entries of
    // their keys or at its end; what cannot be written is owed.
    void writeQueue(const std::string& path, const CatalogRecord* recs, std::size_t n, bool overTheirKeys);

    // Queue entries that could not be written (a full disk, a queue file
    // that cannot be opened or written), per queue file: the latest record
    // of each key, in the order the keys were first owed. Each is written
    // over the entry of its key, or at the end, once the file takes it, so
    // an earlier record of a key owed again would only be written over; the
    // later entries for that queue wait behind them. They are kept in
    // <queue file>.owed as well, so that a node that ends meanwhile still
    // owes them at its next start: records are appended to it, and it is
    // written whole once the superseded ones make up half of it (reading it
    // keeps the last record of each key, where its key first stood). While
    // that file cannot be written either, catalog.dat takes no own change
    // (deferWrites): a node that ends then registers the changes again from
    // SEND and queues them anew. Owed entries stay with their queue file
    // whether or not a connection row names it (a removed row's queue file
    // stays and is taken by a neighbour of that name), and every .owed of
    // CATALOG is read at the start, so none waits unread to go over newer
    // entries of a row of that name added later.
    struct OwedQueue {
        // Shared with the other queues that owe the same record.
        std::vector<std::shared_ptr<const CatalogRecord>> recs;
        std::unordered_map<std::string, std::size_t> at; // key -> index into recs
        std::size_t fileRecs = 0;        // records <queue file>.owed holds, superseded ones too
        bool saved = true;               // <queue file>.owed holds them all
        bool told = false;
        bool fromLastRun = false;        // read from <queue file>.owed at the start
        std::uint64_t writtenRound = 0;  // all in the queue file: on the disk once this round is synced
        int err = 0;                     // of the last failure
    };
    void owe(const std::string& path, const CatalogRecord* recs, std::size_t n, int err);
    // Puts rec into q over the record of its key, or behind the others.
    void putOwed(const std::string& path, OwedQueue& q, const CatalogRecord& rec);
    bool flushOwed(const std::string& path, OwedQueue& q);
    // Drops the owed queues whose entries are all on the disk in their
    // queue files (their .owed files go).
    void dropOwedOnDisk();
    void flushOwedQueues();
    bool owedUnsaved() const;
    // Whether entries of that queue wait in memory to be written (later
    // ones then wait behind them).
    bool owesEntries(const std::string& path) const;
    bool saveOwed(const std::string& path, OwedQueue& q);
    void loadOwed();
    void tellOwed(const std::string& path, OwedQueue& q, bool written);
    void moveOwed(const std::string& from, const std::string& to);
    // Marks the stored record of a's key deleted and announces it; its index
    // or -1.
    int markDeleted(const CatalogRecord& a);
    // The own registrations whose deletion the user asked for, or which
    // expired: only their files does the compaction delete. Each is marked
    // in CATALOG/ownDeletions.lst (see RegistrationMarks) before the deletion
    // is made at all: while the mark cannot be written (or the marks cannot
    // be read), the deletion goes
    // nowhere (not into catalog.dat, a queue or the compaction) and the user
    // is told. The mark stays until the compaction has dropped its record,
    // so that no end of the node, whatever catalog.dat then holds, turns a
    // file that merely left SEND into one to delete. Every other change of
    // an own record (deleted because its file left SEND, made live again)
    // clears the name's mark first. So a live own record loaded that a mark
    // names is a deletion that catalog.dat lost (a kill under -CATALOGCASH,
    // or one between the steps): it is made again at the load.
    void loadDeleteMarks();
    void redoLostDeletions();
    // The file of owesWholeSync: read (and under -CATALOGCASH written) at
    // the load, written again by the tick while it could not be, removed.
    void loadResyncMark();
    bool saveResyncMark();
    void dropResyncMark();
    // The start's check of the received files marked whole (see
    // store/received_copies.h): begun after the load, on a worker; its
    // verdicts are applied once it is done (or, waiting, at once).
    void startCopyCheck();
    void applyCopyCheck(bool wait);
    // A deletion of a registration the catalog does not hold takes its copy
    // under RECV/<origin>/ while that is plainly the registration's.
    void deleteUnheldCopy(const CatalogRecord& a);
    // Ends what is owed once every connection row has been asked.
    void checkWholeSyncDone();
    // Asked: marks the registrations the catalog holds of the own records'
    // keys; false (and *err) when the marks could not be written, and then
    // nothing is marked. Not asked: clears the marks of the own records'
    // names (always true).
    bool markDeletions(const CatalogRecord* recs, std::size_t n, bool asked, int* err = nullptr);
    // The deletions of recs are not made: their marks could not be written.
    void tellDeletionsHeld(const CatalogRecord* recs, std::size_t n, int err, bool expired);
    bool deletionAsked(const CatalogRecord& rec) const;
    // deleteRecs, or deleteGoneRecs when the files have left SEND.
    std::size_t deleteOwn(const CatalogRecord* recs, std::size_t n, bool fileGone);
    // Puts rec at the start of catalogErroRec.err; false when it could not.
    bool writeErrorRec(const CatalogRecord& rec);
    std::string localFilePath(const CatalogRecord& rec, bool* isLinkEntry);
    // The phases of a compaction: the live records into kept and the
    // indexes of the deleted ones into dropped (records of any other state
    // go to the error file; true when there was one), then the local files
    // of the dropped records, unless a live record of the same key names
    // the same file.
    bool sortForCompaction(std::vector<CatalogRecord>& kept, std::vector<int>& dropped);
    bool keyStillLive(const CatalogRecord& rec) const;
    void deleteLocalFiles(const std::vector<int>& dropped);
    // Whether the own file in SEND (or a shortcut's target) that `now`
    // describes is still the one rec registered; said on the console when
    // it is not.
    static bool stillRegistered(const CatalogRecord& rec, const WIN32_FIND_DATAA& now);
    bool isFetchable(const CatalogRecord& rec);
    // Queue-file writes, each keeping the taken-up-to mark and the index in
    // step.
    class QueueFile;
    bool queueFlush(catalog_detail::QueueImage& image);
    // Where a take of the queue file at path (of total entries) starts.
    std::uint64_t takeStart(const std::string& path, std::uint64_t total) const;
    // Entries of a queue handed out for an answer: in flight (batch not 0),
    // or held by the neighbour with the sent mark still to be written
    // (batch 0).
    struct FlightEntry {
        std::uint64_t batch;
        std::uint64_t pos;
        CatalogRecord sent;
    };
    // The positions in flight (held ones too) of a queue, ascending.
    std::vector<std::uint64_t> flightPositions(const std::string& path) const;
    // Writes the sent marks of a queue's held entries into the open file,
    // each where the entry is still what was sent; the others wait again.
    void writeHeld(const std::string& path, platform::CFile& f, std::uint64_t total);
    // The same for every queue, each opened for it (at the end).
    void writeAllHeld();
    // Forgets a queue's entries in flight; they simply wait in its file.
    void forgetFlight(const std::string& path);
    void noteQueueWrite(const std::string& path, std::uint64_t index);
    catalog_detail::QueueIndex& queueIndex(const std::string& path);
    // The index of a queue file read or written whole through an image.
    void adoptImage(const catalog_detail::QueueImage& image);
    // The record as it goes into the neighbour's queue under the route
    // rules; false when it is not to be queued there.
    static bool routedCopy(std::string_view neighbour, const CatalogRecord& rec, CatalogRecord* out);
    // First stored record with rec's transfer identity that is complete; -1.
    int findCompleteTransfer(const CatalogRecord& rec);
    // The phases of a received chunk: the stored record of its transfer
    // (-1 none), whether that record takes a chunk at offset, the write
    // into the file being received beside RECV/<origin>/<file> (see
    // receivingPath), and the accounting of what was written.
    enum class ChunkWrite { Stored, Failed, BytesGone };
    int findTransfer(const CatalogRecord& rec) const;
    bool takesChunk(const CatalogRecord& r, DWORD offset);
    ChunkWrite storeChunk(const CatalogRecord& r, DWORD offset, const void* data, DWORD n);
    // Renames the whole file from where it was received into its place;
    // that place, or nullopt when it could not.
    std::optional<std::string> moveIntoPlace(const CatalogRecord& r);
    void forgetHeldBytes(int i, CatalogRecord r);
    int countChunk(int i, CatalogRecord r, DWORD offset, DWORD n);
    // The shortcuts in SEND that resolve, in listing order; stops after the
    // first whose target is named stopAt (when given).
    struct ShortcutEntry {
        std::string targetName; // CP932
        std::string linkPath;
        std::string targetPath;
        WIN32_FIND_DATAA target; // what the shortcut resolves to now
    };
    static void listShortcuts(const char* stopAt, std::vector<ShortcutEntry>& out);

    CCatalogCash m_cash;
    std::vector<std::pair<std::string, std::string>> m_linkCache;
    // Texts for the user that the catalog itself found (takeNotices).
    std::vector<std::string> m_notices;
    // Per queue file: every entry below this index is known to be sent or in
    // flight, so a take starts reading there. An entry that leaves flight
    // unsent lowers it to its position.
    std::unordered_map<std::string, std::uint64_t> m_queueTakenUpTo;
    // Per queue file: its entries in flight and held, in the order taken.
    std::unordered_map<std::string, std::vector<FlightEntry>> m_flight;
    // The queue file of each batch in flight.
    std::unordered_map<std::uint64_t, std::string> m_batchQueue;
    // See loadDeleteMarks.
    catalog_detail::RegistrationMarks m_marks {catalog_detail::RegistrationMarks::DELETIONS};
    // See standOutsideSend.
    catalog_detail::RegistrationMarks m_outside {catalog_detail::RegistrationMarks::OUTSIDE_SEND};
    // Own records whose deletion was asked for or expired that a compaction
    // of this run has dropped: their deletion has gone out, so the check
    // that finds their file gone has nothing to tell (keys).
    std::unordered_set<std::string> m_droppedOwn;
    bool m_awaitSendCheck = false;
    // See owesWholeSync: the file stood at the load and some row is still
    // to be asked; the neighbours asked in this run; whether the file is on
    // the disk (it must be, under -CATALOGCASH, before a poll confirms what
    // came); whether a failure to write it was told.
    bool m_wholeSyncOwed = false;
    std::unordered_set<std::string> m_wholeSyncAsked;
    bool m_resyncMarkSaved = false;
    bool m_resyncMarkTold = false;
    // The start's check of the received copies, until it is applied; at a
    // start that asks the neighbours again, no poll goes till then.
    std::unique_ptr<catalog_detail::StartCopyCheck> m_copyCheck;
    // Neighbours already told of on the console, per kind of refusal.
    std::unordered_set<std::string> m_toldOwnName;
    std::unordered_set<std::string> m_toldFull;
    // Per queue file: where each key stands.
    std::unordered_map<std::string, std::unique_ptr<catalog_detail::QueueIndex>> m_queueIndex;
    std::map<std::string, OwedQueue> m_owed;
    // The sync rounds (see roundOfWrites).
    enum class SyncKind { catalog, queue, owed, received, folder };
    // A round begun: what each sync of its batch stands for, in order.
    struct SyncRound {
        enum class Item { data, folder, rebuilt, rewritten };
        struct Entry {
            Item item = Item::data;
            SyncKind kind = SyncKind::queue;
            std::string path;  // the file or folder (for a temporary, the file it replaces)
            std::string temp;  // the temporary synced in its stead
            platform::FileId id;
            bool newId = false; // a file made since it was last synced: its folder is in the round
        };
        std::uint64_t number = 0;
        bool failed = false; // something could not even be begun
        std::vector<Entry> entries;
    };
    // Per queue file: entry index -> the round it belongs to and the entry.
    struct QueueOverlay {
        std::map<std::uint64_t, std::pair<std::uint64_t, CatalogRecord>> recs;
    };
    struct Completion {
        CatalogRecord rec; // as it is to be stored, complete
        std::string place;
        std::uint64_t round = 0; // what it waits for is on the disk once this round is synced
        bool failed = false;
        bool passedOn = false;
    };
    // Files written since the last round began, and folders whose names
    // changed since.
    std::map<std::string, SyncKind> m_unsynced;
    std::set<std::string> m_foldersUnsynced;
    // The file each path was when a round last synced it (one made since
    // needs its folder synced).
    std::unordered_map<std::string, platform::FileId> m_syncedIds;
    // Queue files whose sync failed: written again whole before anything
    // counts as on the disk.
    std::set<std::string> m_tainted;
    // Per queue file: the entries written since a round last proved them.
    std::map<std::string, QueueOverlay> m_overlays;
    std::size_t m_overlayBytes = 0;
    // Fetched files whose data and name are on their way to the disk; only
    // then are they passed on, and only once that is on the disk too are
    // they written complete.
    std::vector<Completion> m_completing;
    std::deque<SyncRound> m_rounds; // begun, not collected, oldest first
    std::unique_ptr<platform::CDiskSyncs> m_syncs;
    std::uint64_t m_roundsBegun = 0;
    std::uint64_t m_roundSynced = 0;
    std::uint64_t m_roundWanted = 0;
    // Rounds up to this one began before the last failure was dealt with:
    // none of them counts as synced.
    std::uint64_t m_failedThrough = 0;
    std::chrono::steady_clock::time_point m_retryAt{};
    bool m_retryOwed = false;
    bool m_syncFailureTold = false;
    std::function<void()> m_syncWake;

    // Notes a write of the catalog's own files for the next round.
    void noteUnsynced(const std::string& path, SyncKind kind);
    // A queue file took n entries from index `at` on.
    void queueWritten(const std::string& path, std::uint64_t at, const CatalogRecord* recs, std::size_t n);
    // A queue file is gone, or renamed to `to` (empty: gone).
    void queueFileMoved(const std::string& from, const std::string& to);
    bool syncPending();
    // Begins the next round wanted; `paced`: not before a while after a
    // failed one.
    void maybeBeginRound(bool paced = true);
    void beginRound();
    void finishRound(SyncRound& round, std::vector<platform::DiskSync>& done);
    void syncFailed(const std::string& path, SyncKind kind, int err);
    // A queue file written again whole into a temporary (not synced); its
    // name, or "" when it cannot be (nothing is there: *gone).
    std::string rebuildQueue(const std::string& path, bool* gone);
    bool placeRebuilt(const std::string& path, const std::string& temp, std::uint64_t round);
    void pruneOverlays(std::uint64_t round);
    void advanceCompletions();
    // The last chunk of a fetched file is in its place: it completes once
    // its data and name are on the disk.
    void beginCompletion(const CatalogRecord& r, const std::string& place);
    bool isCompleting(const CatalogRecord& rec) const;

    static CCatalog* s_instance;
    // Batch numbers never repeat within a run, whatever catalog hands them out.
    static std::uint64_t s_lastBatch;
    static int s_maxRecords;
    static int s_maxFileRecords;
};
