// The copies of received files, RECV/<origin>/<file>, against the catalog's
// records: the one home of what a copy must be for the node to hold it as
// whole, and to take it for the copy of a registration it no longer holds.
//
// Why a copy is judged by one status call:
// - The chunk store writes a file being received beside its place (its name
//   and "·受信中") and renames it into its place only once whole, with the
//   last-write time of its registration (stampCopy), as a copy keeps its
//   original's times. So what stands under the name is the last whole copy
//   the node made, or something put there since: a file of another size is
//   not the copy its record counts as whole (a power cut lost written data,
//   or someone wrote it), and no file at all is no copy (the user deleted
//   it, or a power cut lost the rename). A copy is served only as the plain
//   file the node wrote (one name, no link), so nothing else there is held.
// - A status that cannot be read (no permission, an I/O error) tells
//   nothing of the copy: its record stays as it is.
//
// What a start makes of a received record marked whole (atStart):
// - Its copy is there with the record's size: held.
// - Another size, or no plain file: fetched again, as a new registration is
//   (complete 0, no bytes held); a copy in place stays until the new one is
//   whole, as the chunk store does for every fetch.
// - No file, at a start that asks every neighbour for its whole catalog
//   (CATALOG/resyncNeighbours.flg stood: a -CATALOGCASH run ended without
//   its save): dropped. Such a catalog is older than what the node knew: it
//   may hold registrations that their origin deleted since (the lost run
//   dropped them and deleted their copies), whose deletions will not come
//   again. The neighbours' whole catalogs bring back every registration
//   still shared, so dropping loses nothing that is; keeping it would offer
//   the neighbours a file the node does not have, for good. This holds only
//   while nothing comes from a neighbour before the verdicts are applied: a
//   registration that came first would be taken as the one held, and then
//   dropped with it. So no poll goes before (CCatalog::storesAtOnce).
// - No file, at any other start: fetched again. That catalog holds what the
//   node was told (written at once, or saved whole at its last end), so the
//   registration stands, and a later deletion of it finds it held.
//
// A deletion of a registration the catalog does not hold takes the copy the
// compaction would have taken (isCopyOf), only while it is plainly that
// registration's: a plain file of its size and last-write time in a real
// folder RECV/<origin>/. A copy an older build made bears the time it was
// received, and a file being received is no copy: both are left alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "store/catalog_record.h"

namespace catalog_detail {

// RECV/<origin>/<file> of a record, through the checked joiner (a name too
// long for the disk in the shortened form that every use of the record
// finds); nullopt when a name is no plain name. Makes no folder.
std::optional<std::string> copyPath(std::string_view recvFolder, std::string_view node, std::string_view file);
std::optional<std::string> copyPath(std::string_view recvFolder, const CatalogRecord& rec);

// Gives the copy at path, just made whole, the last-write time of its
// registration.
void stampCopy(const std::string& path, const CatalogRecord& rec);

enum class CopyState { whole, notWhole, missing, unknown };
// The copy at path against the size its record gives.
CopyState judgeCopy(const std::string& path, DWORD size);

enum class AtStart { keep, fetchAgain, drop };
AtStart atStart(CopyState copy, bool resyncStart);

// Whether the file at path is the copy of the registration rec (of another
// node) names, to be deleted with it.
bool isCopyOf(const std::string& path, const CatalogRecord& rec);

// A start's look at the received records marked whole: one status call
// each, on a worker, so that a large catalog on a slow disk holds neither
// the start nor the window. The main thread takes the verdicts once done.
class StartCopyCheck {
public:
    explicit StartCopyCheck(bool resyncStart) : m_resyncStart(resyncStart) {}
    ~StartCopyCheck();
    StartCopyCheck(const StartCopyCheck&) = delete;
    StartCopyCheck& operator=(const StartCopyCheck&) = delete;

    // Each record to look at, before start().
    void add(int index, const CatalogRecord& rec);
    bool empty() const { return m_jobs.empty(); }
    void start(std::string recvFolder);
    bool done() const { return m_done.load(); }
    bool resyncStart() const { return m_resyncStart; }

    // A record whose copy is not held: its key and registration, as added.
    struct Found {
        AtStart what;
        int index; // when added
        std::string node;
        std::string file;
        SYSTEMTIME registered;
        DWORD size;
    };
    // Waits for the worker.
    std::vector<Found> take();

private:
    struct Job {
        int index;
        DWORD size;
        SYSTEMTIME registered;
        std::uint32_t nameAt; // the origin in m_names, the file name after it
        std::uint16_t nodeLen;
        std::uint16_t fileLen;
    };
    std::string_view node(const Job& j) const { return std::string_view(m_names).substr(j.nameAt, j.nodeLen); }
    std::string_view file(const Job& j) const
    {
        return std::string_view(m_names).substr(j.nameAt + j.nodeLen, j.fileLen);
    }
    void run(const std::string& recvFolder);

    const bool m_resyncStart;
    std::vector<Job> m_jobs;
    std::string m_names;
    std::vector<std::pair<std::size_t, AtStart>> m_found; // job, verdict
    std::thread m_worker;
    std::atomic<bool> m_done {false};
    std::atomic<bool> m_stop {false};
};

} // namespace catalog_detail
