// Putting what the catalog wrote on the disk, off the main thread: the sync
// rounds, the files written again whole after a sync failed, and fetched
// files that complete once they are on the disk.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/disk_sync.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"

using namespace catalog_detail;

namespace {

constexpr std::uint64_t REC = sizeof(CatalogRecord);
// Entries kept for writing queue files again beyond this many bytes ask for
// a round, which lets them go.
constexpr std::size_t OVERLAY_ROUND_BYTES = 8u << 20;
// Rounds under way at once, at most.
constexpr std::size_t MAX_ROUNDS_OUT = 4;

std::chrono::milliseconds s_retryDelay{1000};

std::string folderOf(const std::string& path)
{
    std::string folder = paths::dirName(path);
    return folder.empty() ? std::string(".") : folder;
}

} // namespace

void CCatalog::setSyncRetryDelay(std::chrono::milliseconds delay)
{
    s_retryDelay = delay;
}

void CCatalog::setSyncWake(std::function<void()> wake)
{
    platform::CMutexLock lock(getMutex());
    m_syncWake = std::move(wake);
    if (m_syncs)
        m_syncs->setOnDone(m_syncWake);
}

// ---------------------------------------------------------------------------
// What is written

void CCatalog::noteUnsynced(const std::string& path, SyncKind kind)
{
    m_unsynced.emplace(path, kind);
}

void CCatalog::queueWritten(const std::string& path, std::uint64_t at, const CatalogRecord* recs, std::size_t n)
{
    noteUnsynced(path, SyncKind::queue);
    // Kept until a round proves them: a failed sync may have lost them from
    // the disk and the page cache alike.
    QueueOverlay& o = m_overlays[path];
    const std::uint64_t round = m_roundsBegun + 1;
    for (std::size_t k = 0; k < n; ++k) {
        if (o.recs.insert_or_assign(at + k, std::make_pair(round, recs[k])).second)
            m_overlayBytes += REC;
    }
    if (m_overlayBytes > OVERLAY_ROUND_BYTES)
        m_roundWanted = std::max(m_roundWanted, round); // begun at the next collect
}

void CCatalog::queueFileMoved(const std::string& from, const std::string& to)
{
    const bool unsynced = m_unsynced.erase(from) > 0;
    const bool tainted = m_tainted.erase(from) > 0;
    m_syncedIds.erase(from);
    auto overlay = m_overlays.extract(from);
    if (to.empty()) {
        if (!overlay.empty())
            m_overlayBytes -= overlay.mapped().recs.size() * REC;
        return;
    }
    (void)unsynced;
    // The same file under another name: what was to be proven of it goes
    // with it, and the name itself is on the disk only once its folder is
    // synced, so the next round syncs the file and its folder.
    if (!overlay.empty()) {
        if (m_overlays.count(to) != 0)
            m_overlayBytes -= m_overlays[to].recs.size() * REC;
        m_overlays.erase(to);
        overlay.key() = to;
        m_overlays.insert(std::move(overlay));
    }
    if (tainted)
        m_tainted.insert(to);
    m_syncedIds.erase(to);
    noteUnsynced(to, SyncKind::queue);
}

// ---------------------------------------------------------------------------
// Rounds

bool CCatalog::syncPending()
{
    return !m_unsynced.empty() || !m_foldersUnsynced.empty() || !m_tainted.empty() || m_retryOwed
        || m_cash.writtenInPlace() || m_cash.behindList();
}

std::uint64_t CCatalog::roundOfWrites()
{
    platform::CMutexLock lock(getMutex());
    return syncPending() ? m_roundsBegun + 1 : m_roundsBegun;
}

bool CCatalog::isSynced(std::uint64_t round)
{
    platform::CMutexLock lock(getMutex());
    return m_roundSynced >= round && !owedUnsaved();
}

void CCatalog::wantSynced(std::uint64_t round)
{
    platform::CMutexLock lock(getMutex());
    m_roundWanted = std::max(m_roundWanted, round);
    maybeBeginRound();
}

void CCatalog::maybeBeginRound(bool paced)
{
    if (m_rounds.size() >= MAX_ROUNDS_OUT || m_roundWanted <= m_roundSynced)
        return;
    // Writes not under way yet, or rounds that failed to do again (not
    // before a while: a disk that fails would only fail again at once).
    const bool fresh = m_roundWanted > m_roundsBegun;
    if (!fresh && !m_retryOwed)
        return;
    if (m_retryOwed && paced && std::chrono::steady_clock::now() < m_retryAt)
        return;
    beginRound();
}

void CCatalog::beginRound()
{
    SyncRound round;
    round.number = ++m_roundsBegun;
    m_retryOwed = false;
    std::vector<platform::DiskSync> batch;
    const auto add = [&](platform::DiskSync&& s, SyncRound::Entry&& e) {
        batch.push_back(std::move(s));
        round.entries.push_back(std::move(e));
    };
    std::set<std::string> folders;
    folders.swap(m_foldersUnsynced);

    // catalog.dat, written whole when that is owed: the changes wait in
    // memory meanwhile, and nothing counts as on the disk before.
    if (m_cash.takeWrittenInPlace())
        noteUnsynced(m_cash.path(), SyncKind::catalog);
    if (!owedUnsaved() && m_cash.rewriteDue()) {
        const std::string temp = m_cash.beginRewrite();
        platform::DiskSync s;
        int err = 0;
        if (!temp.empty() && platform::openForSync(temp, false, &s, nullptr, &err)) {
            add(std::move(s), {SyncRound::Item::rewritten, SyncKind::catalog, m_cash.path(), temp, {}, false});
            m_unsynced.erase(m_cash.path()); // the new file holds it all
        } else {
            if (!temp.empty())
                m_cash.finishRewrite(temp, false);
            round.failed = true;
        }
    } else if (m_cash.behindList() && !m_cash.rewriteUnderWay()) {
        round.failed = true; // held back (no room): it stays behind
    }

    std::map<std::string, SyncKind> files;
    files.swap(m_unsynced);
    for (const auto& [path, kind] : files) {
        if (m_tainted.count(path) != 0)
            continue; // written again whole below
        platform::DiskSync s;
        platform::FileId id;
        int err = 0;
        if (!platform::openForSync(path, false, &s, &id, &err)) {
            // A file gone since holds nothing to keep (a received one, gone,
            // is not there to complete).
            if (kind == SyncKind::received || err != ENOENT)
                syncFailed(path, kind, err);
            round.failed = round.failed || err != ENOENT;
            continue;
        }
        // A received file's folder is in the round already.
        auto known = m_syncedIds.find(path);
        const bool newId = kind != SyncKind::received && (known == m_syncedIds.end() || !(known->second == id));
        if (newId)
            folders.insert(folderOf(path));
        add(std::move(s), {SyncRound::Item::data, kind, path, {}, id, newId});
    }
    for (const std::string& path : std::vector<std::string>(m_tainted.begin(), m_tainted.end())) {
        bool gone = false;
        const std::string temp = rebuildQueue(path, &gone);
        if (gone) {
            queueFileMoved(path, {});
            continue;
        }
        platform::DiskSync s;
        if (temp.empty() || !platform::openForSync(temp, false, &s, nullptr, nullptr)) {
            if (!temp.empty())
                platform::deleteFile(temp);
            round.failed = true;
            continue;
        }
        add(std::move(s), {SyncRound::Item::rebuilt, SyncKind::queue, path, temp, {}, false});
    }
    for (const std::string& folder : folders) {
        platform::DiskSync s;
        int err = 0;
        if (!platform::openForSync(folder, true, &s, nullptr, &err)) {
            if (err != ENOENT) {
                m_foldersUnsynced.insert(folder);
                round.failed = true;
            }
            continue;
        }
        add(std::move(s), {SyncRound::Item::folder, SyncKind::folder, folder, {}, {}, false});
    }

    if (!m_syncs) {
        m_syncs = std::make_unique<platform::CDiskSyncs>();
        m_syncs->setOnDone(m_syncWake);
    }
    m_rounds.push_back(std::move(round));
    m_syncs->start(std::move(batch));
}

void CCatalog::collectSyncs()
{
    platform::CMutexLock lock(getMutex());
    std::vector<platform::DiskSync> done;
    while (!m_rounds.empty() && m_syncs && m_syncs->takeDone(done)) {
        SyncRound round = std::move(m_rounds.front());
        m_rounds.pop_front();
        finishRound(round, done);
    }
    advanceCompletions();
    dropOwedOnDisk();
    maybeBeginRound();
}

void CCatalog::finishRound(SyncRound& round, std::vector<platform::DiskSync>& done)
{
    bool failed = round.failed;
    bool placed = false; // a file written again whole took its place
    for (std::size_t k = 0; k < round.entries.size() && k < done.size(); ++k) {
        const SyncRound::Entry& e = round.entries[k];
        const int err = done[k].err;
        switch (e.item) {
        case SyncRound::Item::data:
            if (err != 0) {
                syncFailed(e.path, e.kind, err);
                failed = true;
            } else if (e.newId) {
                m_syncedIds[e.path] = e.id;
            }
            break;
        case SyncRound::Item::folder:
            if (err != 0) {
                syncFailed(e.path, SyncKind::folder, err);
                failed = true;
            }
            break;
        case SyncRound::Item::rebuilt:
            if (err == 0 && placeRebuilt(e.path, e.temp, round.number)) {
                placed = true;
            } else {
                platform::deleteFile(e.temp);
                failed = true;
            }
            break;
        case SyncRound::Item::rewritten:
            if (m_cash.finishRewrite(e.temp, err == 0)) {
                m_syncedIds.erase(e.path); // synced with its folder next
                placed = true;
            } else {
                failed = true;
            }
            break;
        }
    }
    if (failed || placed) {
        // Every round begun so far may carry a sync that only seemed to
        // work, or began before a file took its place under its name: none
        // of them counts, and a new one is owed (a while later after a
        // failure, as a failing disk would only fail again at once).
        m_failedThrough = m_roundsBegun;
        m_retryOwed = true;
        if (failed)
            m_retryAt = std::chrono::steady_clock::now() + s_retryDelay;
        return;
    }
    if (round.number <= m_failedThrough || !m_tainted.empty() || m_cash.behindList())
        return;
    m_roundSynced = round.number;
    pruneOverlays(round.number);
    if (m_syncFailureTold) {
        m_syncFailureTold = false;
        std::printf("CCatalog: what was received is on the disk again; entries are taken from the neighbours\n");
        std::fflush(stdout);
    }
}

void CCatalog::syncFailed(const std::string& path, SyncKind kind, int err)
{
    switch (kind) {
    case SyncKind::catalog:
        // Written again whole from the list; its changes wait in memory.
        m_cash.deferWrites();
        break;
    case SyncKind::queue:
        m_tainted.insert(path);
        break;
    case SyncKind::folder:
        m_foldersUnsynced.insert(path);
        break;
    case SyncKind::owed: {
        // Written again whole from memory by the tick.
        auto it = m_owed.find(path.substr(0, path.size() - std::string_view(".owed").size()));
        if (it != m_owed.end()) {
            it->second.saved = false;
            m_cash.deferWrites();
        }
        break;
    }
    case SyncKind::received:
        for (Completion& c : m_completing) {
            if (c.place == path)
                c.failed = true;
        }
        if (err != ENOENT) {
            std::printf("Error:CCatalog: %s cannot be put on the disk (%s); it is fetched again\n", path.c_str(),
                        std::strerror(err));
            std::fflush(stdout);
        }
        return;
    }
    if (m_syncFailureTold)
        return;
    m_syncFailureTold = true;
    std::printf("Error:CCatalog: %s cannot be put on the disk (%s); no entries are taken from the"
                " neighbours until it is\n",
                path.c_str(), std::strerror(err));
    std::fflush(stdout);
    const char* utf8 = "受け取ったカタログをディスクに書き込めないため、書き込めるまで隣接ノードから"
                       "カタログを受け取りません。";
    m_notices.push_back(cp932::fromUtf8(utf8).value_or(utf8));
}

void CCatalog::settleSyncs(int rounds)
{
    platform::CMutexLock lock(getMutex());
    for (int n = 0; n < rounds; ++n) {
        collectSyncs();
        if (m_rounds.empty())
            return;
        m_syncs->waitOldest();
    }
    collectSyncs();
}

// ---------------------------------------------------------------------------
// Queue files written again whole

std::string CCatalog::rebuildQueue(const std::string& path, bool* gone)
{
    // What a round proved stands on the disk (the page cache holds it or
    // gives it back from there); everything written since is kept here.
    std::string bytes;
    int err = 0;
    if (!platform::readWholeFile(path, bytes, &err)) {
        *gone = err == ENOENT;
        return {};
    }
    auto it = m_overlays.find(path);
    if (it != m_overlays.end()) {
        for (const auto& [index, entry] : it->second.recs) {
            const std::size_t at = std::size_t(index * REC);
            if (bytes.size() < at + REC)
                bytes.resize(at + REC, '\0');
            std::memcpy(bytes.data() + at, &entry.second, REC);
        }
    }
    std::string temp;
    if (!platform::writeTemporary(
            path, [&bytes](const platform::PieceWriter& write) { return bytes.empty() || write(bytes.data(), bytes.size()); },
            &temp, &err)) {
        std::printf("Error:CCatalog: %s cannot be written again (%s)\n", path.c_str(), std::strerror(err));
        return {};
    }
    return temp;
}

bool CCatalog::placeRebuilt(const std::string& path, const std::string& temp, std::uint64_t round)
{
    if (m_tainted.count(path) == 0) {
        // Gone or renamed meanwhile: the file of that name now is another.
        platform::deleteFile(temp);
        return true;
    }
    if (!platform::fileExists(path)) {
        // Taken empty and deleted meanwhile: nothing is left to keep.
        platform::deleteFile(temp);
        queueFileMoved(path, {});
        return true;
    }
    // The entries written since the temporary was made go into it too.
    platform::CFile f;
    try {
        if (!f.Open(temp, platform::CFile::modeReadWrite))
            return false;
        const std::int64_t length = platform::fileSize(path);
        if (length >= 0 && f.GetLength() != std::uint64_t(length))
            f.SetLength(std::uint64_t(length));
        auto it = m_overlays.find(path);
        if (it != m_overlays.end()) {
            for (const auto& [index, entry] : it->second.recs) {
                if (entry.first <= round)
                    continue;
                f.Seek(std::int64_t(index * REC), platform::CFile::begin);
                f.Write(&entry.second, REC);
            }
        }
        f.Close();
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalog: %s cannot be written again (%d)\n", path.c_str(), e.m_errno);
        return false;
    }
    if (!platform::renameFile(temp, path))
        return false;
    std::printf("CCatalog: %s written again whole\n", path.c_str());
    std::fflush(stdout);
    m_tainted.erase(path);
    m_syncedIds.erase(path);
    noteUnsynced(path, SyncKind::queue);
    return true;
}

void CCatalog::pruneOverlays(std::uint64_t round)
{
    for (auto it = m_overlays.begin(); it != m_overlays.end();) {
        auto& recs = it->second.recs;
        for (auto r = recs.begin(); r != recs.end();) {
            if (r->second.first <= round) {
                r = recs.erase(r);
                m_overlayBytes -= REC;
            } else {
                ++r;
            }
        }
        it = recs.empty() ? m_overlays.erase(it) : std::next(it);
    }
}

// ---------------------------------------------------------------------------
// Fetched files

void CCatalog::beginCompletion(const CatalogRecord& r, const std::string& place)
{
    noteUnsynced(place, SyncKind::received);
    // Its name in its folder; a folder made for it, its name in RECV too.
    const std::string folder = folderOf(place);
    m_foldersUnsynced.insert(folder);
    platform::FileId id;
    if (platform::fileId(folder, &id)) {
        auto known = m_syncedIds.find(folder);
        if (known == m_syncedIds.end() || !(known->second == id)) {
            m_foldersUnsynced.insert(folderOf(folder));
            m_syncedIds[folder] = id;
        }
    }
    Completion c;
    c.rec = r;
    c.place = place;
    c.round = roundOfWrites();
    m_completing.push_back(c);
    wantSynced(c.round);
}

bool CCatalog::isCompleting(const CatalogRecord& rec) const
{
    for (const Completion& c : m_completing) {
        if (isSameTransfer(&c.rec, &rec))
            return true;
    }
    return false;
}

void CCatalog::advanceCompletions()
{
    for (std::size_t k = 0; k < m_completing.size();) {
        const int i = findTransfer(m_completing[k].rec);
        // Replaced by a newer registration, deleted or gone meanwhile: there
        // is nothing to complete.
        if (i < 0 || m_cash.list()[i].complete != 0 || !isLive(m_cash.list()[i])) {
            m_completing.erase(m_completing.begin() + std::ptrdiff_t(k));
            continue;
        }
        if (m_completing[k].failed) {
            // Its bytes may not be on the disk: fetched anew, into a new file.
            forgetHeldBytes(i, m_cash.list()[i]);
            m_completing.erase(m_completing.begin() + std::ptrdiff_t(k));
            continue;
        }
        if (!isSynced(m_completing[k].round)) {
            ++k;
            continue;
        }
        if (!m_completing[k].passedOn) {
            // Its data and name are on the disk: it goes on to the other
            // neighbours, whose entries are on the disk before it is
            // written whole.
            m_completing[k].passedOn = true;
            relayRec(&m_completing[k].rec);
            m_completing[k].round = roundOfWrites();
            if (!isSynced(m_completing[k].round)) {
                wantSynced(m_completing[k].round);
                ++k;
                continue;
            }
        }
        const CatalogRecord r = m_completing[k].rec;
        m_completing.erase(m_completing.begin() + std::ptrdiff_t(k));
        m_cash.setRec(i, r);
        fireRecordAt(i, r);
    }
}
