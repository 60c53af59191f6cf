// Helpers shared by the catalog's source files; not part of its interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/cp932.h"
#include "platform/files.h"
#include "store/catalog_record.h"

namespace catalog_detail {

inline std::string_view nodeText(const CatalogRecord& rec)
{
    return cp932::fieldText(rec.originNode, CATALOG_NAME_LEN);
}

inline std::string_view fileText(const CatalogRecord& rec)
{
    return cp932::fieldText(rec.findData.cFileName, MAX_PATH);
}

// New or updated: neither deleted nor of a state the compaction drops.
inline bool isLive(const CatalogRecord& rec)
{
    return rec.state == CATALOG_STATE_NEW || rec.state == CATALOG_STATE_UPDATED;
}

inline std::string_view routeText(const CatalogRecord& rec, int j)
{
    return cp932::fieldText(rec.route[j], CATALOG_NAME_LEN);
}

// Settings, read afresh at every use ("" / 0 when there is no settings
// object).
std::string_view ownNodeName();
std::string_view ownPartyName();
int connectNum();
std::string_view rowName(int i);
std::string sendFolder();
std::string recvFolder();

// Both names of the record are single safe path components, so the record
// can name RECV/<origin>/<file> and SEND/<file>.
bool hasSafeNames(const CatalogRecord& rec);

// The queue file of a node: CATALOG/<name>.dat; nullopt when the name is
// empty, not one safe component, or "catalog" in any case (its queue file
// would be catalog.dat itself).
std::optional<std::string> queuePath(std::string_view nodeName);

// A CP932 name for a console line: its UTF-8 when it has one, "?" when
// there is no name.
std::string consoleText(std::string_view cp932Name);
std::string consoleText(const char* cp932Name);

// Makes a new empty file at path for writing, after removing whatever
// stood at that name (a link is removed itself, never followed).
bool createFreshFile(const std::string& path, platform::CFile& f);
// Opens a file the node wrote under RECV: a plain file with no other name
// (a symbolic link is refused, and so is a file with hard links, err
// EMLINK).
bool openOwnFile(const std::string& path, unsigned mode, platform::CFile& f, int* err);

// Where a received file lies while it is fetched: beside its place (the
// path RECV/<origin>/<file>), its name followed by "·受信中". The middle
// dot (U+00B7) has no CP932 form, so no registered file can bear that name.
// A name too long for the file system with it is cut and told apart by a
// hash of the whole. Once whole, the file is renamed into its place, so a
// file under its own name under RECV is always a whole copy.
std::string receivingPath(const std::string& recvPath);
// Whether a registration `a` of the key of the received record `held` is of
// the file this node holds whole: held is complete, a gives the same size
// and last write, and RECV/<origin>/<file> is still this node's own plain
// file of that size.
bool holdsWholeCopy(const CatalogRecord& held, const CatalogRecord& a);

// Fires through the change broadcaster.
void fireRecord(const CatalogRecord& rec);
void fireRecordAt(int index, const CatalogRecord& rec);
void fireReset();

// A 64-bit hash of a record's key (origin node and file name), for indexes
// that keep hashes instead of the names; equal keys give equal hashes.
std::uint64_t keyHash(const CatalogRecord& rec);

// Key hash -> the position of the first entry with that hash: open
// addressing over two flat arrays, about 16 bytes per key.
class KeyPositions {
public:
    void clear();
    std::size_t size() const { return m_used; }
    // The position, or -1 when the hash is not held.
    long find(std::uint64_t hash) const;
    // Adds the hash at pos unless it is held already (the first entry wins).
    void insertFirst(std::uint64_t hash, std::uint32_t pos);

private:
    void grow();

    std::vector<std::uint64_t> m_hash; // 0: a free slot
    std::vector<std::uint32_t> m_pos;
    std::size_t m_used = 0;
};

// What the catalog knows of one queue file without reading it: the number
// of whole records and where each key first stands. Trusted only while the
// file's stamp is the one the index last saw (the catalog's own writes move
// it along); otherwise the file is read again. A build may go on in steps:
// it then covers the first `count` records of the file `building` names.
struct QueueIndex {
    bool built = false;
    platform::FileStamp stamp;    // when built: the file as last seen
    platform::FileStamp building; // when not built: the file a build reads
    std::uint64_t count = 0;
    KeyPositions first;

    void clear()
    {
        built = false;
        stamp = {};
        building = {};
        count = 0;
        first.clear();
    }
};

// One queue file read once, changed in memory and written back once: the
// entries from the first changed one to the end go out in one write, and
// the file's partial tail, if any, is cut first.
class QueueImage {
public:
    // Reads the file (a missing file is an empty queue); false when it exists
    // but cannot be read.
    bool load(const std::string& path);
    const std::string& path() const { return m_path; }
    bool existed() const { return m_existed; }

    std::size_t size() const { return m_recs.size(); }
    const CatalogRecord& at(std::size_t k) const { return m_recs[k]; }
    const std::vector<CatalogRecord>& records() const { return m_recs; }
    // Index of the first entry with rec's key; -1 when none.
    long find(const CatalogRecord& rec);
    // Indexes of every entry with rec's key, ascending.
    const std::vector<std::size_t>& findAll(const CatalogRecord& rec);
    // Overwrites entry k, or appends when k < 0.
    void put(long k, const CatalogRecord& rec);
    bool dirty() const { return m_firstDirty != NONE; }
    // Index of the first entry that put() changed or added.
    std::size_t firstDirty() const { return m_firstDirty; }
    // Writes the changes (creating the file when missing); false on failure.
    bool flush();
    // The errno of the last failed load or flush (0: none known).
    int lastError() const { return m_err; }

    static constexpr std::size_t NONE = ~std::size_t(0);

private:
    void buildIndex();

    std::string m_path;
    bool m_existed = false;
    std::vector<CatalogRecord> m_recs;
    std::size_t m_firstDirty = NONE;
    bool m_indexed = false;
    std::unordered_map<std::string, std::vector<std::size_t>> m_index;
    int m_err = 0;
};

} // namespace catalog_detail
