// Changes of the catalog: own registrations from the SEND scan, records
// received from neighbours, and the small lookups built on them.
#include <cstdio>
#include <functional>

#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/localtime.h"
#include "platform/shortcut.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"
#include "store/received_copies.h"

using namespace catalog_detail;

namespace {

// The catalog keeps sizes in 32 bits: a file of 4 GiB or more can be neither
// registered nor fetched.
bool sizeFits(const CatalogRecord& rec)
{
    return rec.findData.nFileSizeHigh == 0;
}

bool sameParty(const CatalogRecord& rec)
{
    return cp932::fieldText(rec.partyName, CATALOG_PARTY_LEN) == ownPartyName();
}

CatalogRecord ownCopy(const CatalogRecord* rec)
{
    CatalogRecord a = *rec;
    a.complete = 1;
    a.heldBytes = a.findData.nFileSizeLow;
    return a;
}

// The copy of an own record to register; false when its file is too big.
bool registrable(const CatalogRecord* rec, const char* who, CatalogRecord* a)
{
    if (!rec)
        return false;
    *a = ownCopy(rec);
    if (sizeFits(*a))
        return true;
    std::printf("Error:CCatalog::%s() file of 4 GiB or more not registered\n", who);
    return false;
}

CatalogRecord receivedCopy(const CatalogRecord* rec)
{
    CatalogRecord a = *rec;
    a.complete = 0;
    a.heldBytes = 0;
    return a;
}

} // namespace

std::size_t CCatalog::storeOwn(const CatalogRecord* recs, std::size_t n, bool overTheirKeys,
                        const std::function<int(const CatalogRecord&, CatalogRecord*)>& store)
{
    std::vector<CatalogRecord> queued;
    queued.reserve(n);
    platform::CMutexLock lock(getMutex());
    std::vector<int> written;
    for (std::size_t k = 0; k < n; ++k) {
        CatalogRecord a;
        const int i = store(recs[k], &a);
        if (i >= 0)
            written.push_back(i);
        if (i >= 0 || i == QUEUE_ONLY)
            queued.push_back(a);
    }
    // One open of each queue file, and of catalog.dat, for them all. The
    // queues come first: catalog.dat never holds an own change that a
    // neighbour's queue has lost (a node that ends before the queue takes
    // it registers the change again from SEND).
    putToRowQueues(queued, overTheirKeys);
    m_cash.writeRecs(written);
    return queued.size();
}

void CCatalog::addRec(const CatalogRecord* rec)
{
    addRecs(rec, rec ? 1 : 0);
}

void CCatalog::addRecs(const CatalogRecord* recs, std::size_t n)
{
    // Registered again: no deletion of it is asked for any more, and none
    // must be made again after an end.
    markDeletions(recs, n, false);
    storeOwn(recs, n, false, [this](const CatalogRecord& rec, CatalogRecord* a) {
        if (!registrable(&rec, "addRec", a))
            return -1;
        setCheckSum(a);
        if (!m_droppedOwn.empty())
            m_droppedOwn.erase(CCatalogCash::keyOf(*a));
        // A second record of one key would be found by no lookup and would
        // later expire and take the live file with it: replace instead.
        const int i = m_cash.findRec(*a, nullptr);
        if (i >= 0) {
            m_cash.setRecNoWrite(i, *a);
            fireRecordAt(i, *a);
            return i;
        }
        if (m_cash.getCount() >= s_maxFileRecords) {
            // Beyond this the catalog file would be refused at the next start.
            std::printf("Error:CCatalog::addRec() catalog full (%d records); file not registered\n",
                        s_maxFileRecords);
            return -1;
        }
        m_cash.addRecNoWrite(*a);
        fireRecord(*a);
        return m_cash.getCount() - 1;
    });
}

void CCatalog::updateRec(const CatalogRecord* rec)
{
    updateRecs(rec, rec ? 1 : 0);
}

void CCatalog::updateRecs(const CatalogRecord* recs, std::size_t n)
{
    markDeletions(recs, n, false);
    // Queued over the entry of the key, else at the end.
    storeOwn(recs, n, true, [this](const CatalogRecord& rec, CatalogRecord* a) {
        if (!registrable(&rec, "updateRec", a))
            return -1;
        const int i = m_cash.findRec(*a, nullptr);
        if (i < 0)
            return -1;
        setCheckSum(a);
        m_cash.setRecNoWrite(i, *a);
        fireRecordAt(i, *a);
        return i;
    });
}

int CCatalog::markDeleted(const CatalogRecord& a)
{
    CatalogRecord b;
    const int i = m_cash.findRec(a, &b);
    if (i < 0)
        return -1;
    // Only the state changes: registration, expiry, route and completion
    // stay as stored.
    b.state = CATALOG_STATE_DELETED;
    setCheckSum(&b);
    m_cash.setRecNoWrite(i, b);
    fireRecordAt(i, b);
    return i;
}

void CCatalog::deleteRec(const CatalogRecord* rec)
{
    deleteRecs(rec, rec ? 1 : 0);
}

void CCatalog::deleteRecs(const CatalogRecord* recs, std::size_t n)
{
    deleteOwn(recs, n, false);
}

std::size_t CCatalog::deleteGoneRecs(const CatalogRecord* recs, std::size_t n)
{
    return deleteOwn(recs, n, true);
}

std::size_t CCatalog::deleteOwn(const CatalogRecord* recs, std::size_t n, bool fileGone)
{
    platform::CMutexLock lock(getMutex());
    // Asked for, the compaction deletes the file if it is still the one
    // registered; gone, it deletes none. The mark is on the disk before the
    // deletion is anywhere else, or the deletion is not made.
    int err = 0;
    if (!markDeletions(recs, n, !fileGone, &err)) {
        tellDeletionsHeld(recs, n, err, false);
        return 0;
    }
    return storeOwn(recs, n, false, [this, fileGone](const CatalogRecord& rec, CatalogRecord* a) {
        *a = ownCopy(&rec);
        int i = markDeleted(*a);
        // Not held: the neighbours may still hold what this node registered
        // before an end that lost it, unless this run's compaction dropped
        // it after its deletion had gone out.
        if (i < 0 && fileGone && m_droppedOwn.erase(CCatalogCash::keyOf(*a)) == 0)
            i = QUEUE_ONLY;
        // The neighbours get the caller's record, not the stored one.
        setCheckSum(a);
        return i;
    });
}

void CCatalog::deleteRecLocal(const CatalogRecord* rec)
{
    if (!rec)
        return;
    platform::CMutexLock lock(getMutex());
    const CatalogRecord a = ownCopy(rec);
    int err = 0;
    if (!markDeletions(&a, 1, true, &err)) {
        tellDeletionsHeld(&a, 1, err, false);
        return;
    }
    const int i = markDeleted(a);
    if (i >= 0)
        m_cash.writeRecs({i});
}

void CCatalog::recvNewRec(const CatalogRecord* rec, const char* fromNode)
{
    storeReceived(rec, fromNode);
}

void CCatalog::mergeRec(const CatalogRecord* rec, const char* fromNode)
{
    storeReceived(rec, fromNode);
}

bool CCatalog::firstNotice(std::unordered_set<std::string>& told, const char* fromNode)
{
    return told.insert(fromNode ? fromNode : "").second;
}

bool CCatalog::acceptsReceived(const CatalogRecord& a, const char* fromNode)
{
    // Every field is checked before anything is read from it: the names
    // become RECV/<origin>/<file>, the times decide what is kept.
    if (!isWholeRec(&a)) {
        std::printf("Error:CCatalog: malformed record refused\n");
        return false;
    }
    if (!sameParty(a))
        return false;
    // Relaying never sends a record to its origin, so a record of this
    // node's name comes from a peer that forges it or from another node
    // that bears the same name. Taking it would let a peer delete or
    // replace this node's files, or have it serve files it never shared.
    if (nodeText(a) == ownNodeName()) {
        if (firstNotice(m_toldOwnName, fromNode)) {
            std::printf("●●ERROR　ノード %s から、このノードと同じ名前 %s のレコードが届きました。"
                        "パーティ内に同じノード名のノードがあります。そのレコードは受け取りません\n",
                        consoleText(fromNode).c_str(), consoleText(ownNodeName()).c_str());
            std::fflush(stdout);
        }
        return false;
    }
    return true;
}

void CCatalog::storeReceived(const CatalogRecord* rec, const char* fromNode)
{
    if (!rec)
        return;
    CatalogRecord a = receivedCopy(rec);
    if (!acceptsReceived(a, fromNode))
        return;

    platform::CMutexLock lock(getMutex());
    CatalogRecord b;
    const int i = m_cash.findRec(a, &b);
    if (i >= 0) {
        if (isLaterTime(a.registered, b.registered)) {
            // The same file registered again (the sender's catalog lost, its
            // files registered anew) keeps the whole copy held: fetching it
            // again would gain nothing.
            if (holdsWholeCopy(b, a)) {
                a.complete = 1;
                a.heldBytes = b.heldBytes;
            } else {
                completeIfEmpty(&a);
            }
            setCheckSum(&a);
            m_cash.setRec(i, a);
            fireRecordAt(i, a);
            if (a.complete == 1)
                relayRec(&a);
        }
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (!isSameOrLaterDate(a.expires, now))
        return;
    if (m_cash.getCount() >= s_maxRecords) {
        if (firstNotice(m_toldFull, fromNode)) {
            std::printf("●●ERROR　カタログが上限の %d 件に達しました。ノード %s からの新しい登録は受け取りません\n",
                        s_maxRecords, consoleText(fromNode).c_str());
            std::fflush(stdout);
        }
        return;
    }
    completeIfEmpty(&a);
    setCheckSum(&a);
    m_cash.addRec(a);
    fireRecord(a);
    if (a.complete == 1)
        relayRec(&a);
}

// A file of no bytes never gets a chunk written, so it is whole as soon as
// its record is stored: its empty file is made under RECV/<origin>/ now.
// When the file cannot be made the record stays incomplete.
void CCatalog::completeIfEmpty(CatalogRecord* a)
{
    if (a->findData.nFileSizeLow != 0 || a->findData.nFileSizeHigh != 0)
        return;
    std::optional<std::string> folder = paths::joinName(recvFolder(), nodeText(*a));
    if (!folder || !platform::makePlainDirectory(*folder))
        return;
    std::optional<std::string> path = paths::joinName(*folder, fileText(*a));
    platform::CFile f;
    if (!path || !createFreshFile(*path, f))
        return;
    f.Close();
    stampCopy(*path, *a);
    platform::deleteFile(receivingPath(*path)); // what an earlier version left half received
    // It holds no bytes; its name goes to the disk with the next round.
    m_foldersUnsynced.insert(*folder);
    a->complete = 1;
}

void CCatalog::recvDeleteRec(const CatalogRecord* rec, const char* fromNode)
{
    if (!rec)
        return;
    const CatalogRecord a = receivedCopy(rec);
    if (!acceptsReceived(a, fromNode))
        return;

    platform::CMutexLock lock(getMutex());
    CatalogRecord b;
    const int i = m_cash.findRec(a, &b);
    // A deletion of an older registration must not take the newer one (and
    // its file) with it; it still travels on to the nodes behind us.
    if (i >= 0 && !isLaterTime(b.registered, a.registered)) {
        b.state = CATALOG_STATE_DELETED;
        setCheckSum(&b);
        m_cash.setRec(i, b);
    }
    // Not held (a kill under -CATALOGCASH took the record back): its copy
    // goes as the compaction would have taken it, while it is plainly the
    // registration's.
    if (i < 0)
        deleteUnheldCopy(a);
    relayRec(&a);
}

int CCatalog::findCompleteTransfer(const CatalogRecord& rec)
{
    platform::CMutexLock lock(getMutex());
    // Every record of the same transfer has rec's key, so the key's indexes
    // (ascending) hold the first match.
    for (int i : m_cash.indexesOf(rec)) {
        const CatalogRecord& r = m_cash.list()[i];
        if (r.complete == 1 && isSameTransfer(&r, &rec))
            return i;
    }
    return -1;
}

bool CCatalog::isRecComplete(const CatalogRecord* rec)
{
    if (!rec)
        return false;
    return findCompleteTransfer(*rec) >= 0;
}

void CCatalog::listShortcuts(const char* stopAt, std::vector<ShortcutEntry>& out)
{
    out.clear();
    const std::string folder = sendFolder();
    std::vector<platform::DirEntry> entries;
    if (folder.empty() || !platform::listDirectory(folder, "*.lnk", entries))
        return;
    for (const platform::DirEntry& e : entries) {
        // The listing ignores case; only an exact ".lnk" counts.
        const std::string& n = e.nativeName;
        if (n.size() < 4 || n.compare(n.size() - 4, 4, ".lnk") != 0)
            continue;
        ShortcutEntry s;
        s.linkPath = folder + "/" + n;
        if (!platform::resolveShortcut(s.linkPath, &s.targetPath, &s.target))
            continue;
        s.targetName = std::string(cp932::fieldText(s.target.cFileName, MAX_PATH));
        const bool stop = stopAt && s.targetName == stopAt;
        out.push_back(std::move(s));
        if (stop)
            return;
    }
}

void CCatalog::findLinkFile(const char* fileName, std::string& out)
{
    out.clear();
    if (!fileName)
        return;
    std::vector<ShortcutEntry> found;
    listShortcuts(fileName, found);
    if (!found.empty() && found.back().targetName == fileName)
        out = found.back().linkPath;
}
