// Expiry sweep and compaction of the catalog.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/localtime.h"
#include "platform/paths.h"
#include "platform/shortcut.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"

using namespace catalog_detail;

bool CCatalog::writeErrorRec(const CatalogRecord& rec)
{
    const std::string path = paths::joinFixed(getCatalogFolder(), "catalogErroRec.err");
    platform::CFile f;
    if (!f.Open(path, platform::CFile::modeCreate | platform::CFile::modeNoTruncate
                          | platform::CFile::modeReadWrite))
        return false;
    try {
        f.Seek(0, platform::CFile::begin);
        f.Write(&rec, sizeof rec);
        f.Close();
    } catch (const platform::CFileException&) {
        // The copy is for inspection only; losing it changes nothing.
        return false;
    }
    return true;
}

void CCatalog::checkLimit()
{
    platform::CMutexLock lock(getMutex());
    std::vector<int> marked;
    // Own live registrations that this sweep deletes: expired (their files
    // go with them) or invalid (their files stay).
    std::vector<CatalogRecord> ownDeleted[2];
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string_view own = ownNodeName();
    for (int i = 0; i < m_cash.getCount(); ++i) {
        // Expired once today's date is past the expiry date; the time of day
        // takes no part.
        const CatalogRecord& held = m_cash.list()[i];
        if (isSameOrLaterDate(held.expires, now) && isValidRec(&held))
            continue;
        CatalogRecord r = held;
        bool changed = false;
        // One deleted already keeps what its deletion said.
        if (isLive(r) && nodeText(r) == own)
            ownDeleted[isSameOrLaterDate(r.expires, now) ? 0 : 1].push_back(r);
        if (!isSameOrLaterDate(r.expires, now)) {
            r.state = CATALOG_STATE_DELETED;
            setCheckSum(&r);
            changed = true;
        }
        if (!isValidRec(&r)) {
            r.state = CATALOG_STATE_DELETED;
            setCheckSum(&r);
            changed = true;
            writeErrorRec(r);
        }
        if (changed) {
            m_cash.setRecNoWrite(i, r);
            marked.push_back(i);
        }
    }
    markDeletions(ownDeleted[0].data(), ownDeleted[0].size(), false);
    markDeletions(ownDeleted[1].data(), ownDeleted[1].size(), true);
    // One open of catalog.dat for every record marked.
    m_cash.writeRecs(marked);
}

namespace {

std::string deleteMarksPath()
{
    return paths::joinFixed(CCatalog::getCatalogFolder(), "ownDeletions.lst");
}

} // namespace

void CCatalog::loadDeleteMarks()
{
    std::string bytes;
    int err = 0;
    if (!platform::readWholeFile(deleteMarksPath(), bytes, &err)) {
        if (!platform::isMissingError(err))
            std::printf("Error:CCatalog: %s cannot be read (%s); own files deleted by their user wait for a"
                        " deletion asked anew\n",
                        deleteMarksPath().c_str(), std::strerror(err));
        return;
    }
    // Names, each ended by a NUL.
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = std::min(bytes.find('\0', at), bytes.size());
        if (end > at)
            m_deleteMarks.emplace(bytes, at, end - at);
        at = end + 1;
    }
}

void CCatalog::redoLostDeletions()
{
    if (m_deleteMarks.empty())
        return;
    std::vector<CatalogRecord> lost;
    const std::string_view own = ownNodeName();
    for (const CatalogRecord& r : m_cash.list()) {
        if (isLive(r) && nodeText(r) == own && deletionAsked(r)) {
            lost.push_back(r);
            lost.back().state = CATALOG_STATE_DELETED;
        }
    }
    if (lost.empty())
        return;
    std::printf("CCatalog: %zu deletion(s) of own files that catalog.dat lost at the last end are made again\n",
                lost.size());
    std::fflush(stdout);
    deleteRecs(lost.data(), lost.size());
}

bool CCatalog::saveDeleteMarks()
{
    std::string bytes;
    for (const std::string& name : m_deleteMarks) {
        bytes += name;
        bytes += '\0';
    }
    int err = 0;
    const std::string path = deleteMarksPath();
    if (m_deleteMarks.empty() ? platform::deleteFile(path, &err) || platform::isMissingError(err)
                              : platform::replaceFileAtomically(path, bytes.data(), bytes.size(), &err))
        return true;
    std::printf("Error:CCatalog: %s cannot be written (%s)\n", path.c_str(), std::strerror(err));
    std::fflush(stdout);
    return false;
}

void CCatalog::markDeletions(const CatalogRecord* recs, std::size_t n, bool asked)
{
    platform::CMutexLock lock(getMutex());
    if (!asked && m_deleteMarks.empty())
        return;
    bool changed = false;
    const std::string_view own = ownNodeName();
    for (std::size_t k = 0; k < n; ++k) {
        if (nodeText(recs[k]) != own)
            continue;
        const std::string name(fileText(recs[k]));
        changed = (asked ? m_deleteMarks.insert(name).second : m_deleteMarks.erase(name) != 0) || changed;
    }
    if (changed)
        saveDeleteMarks();
}

bool CCatalog::deletionAsked(const CatalogRecord& rec) const
{
    return !m_deleteMarks.empty() && m_deleteMarks.count(std::string(fileText(rec))) != 0;
}

std::string CCatalog::localFilePath(const CatalogRecord& rec, bool* isLinkEntry)
{
    *isLinkEntry = false;
    std::optional<std::string> path;
    if (nodeText(rec) == ownNodeName()) {
        if (rec.isLink == 1) {
            *isLinkEntry = true;
            return {};
        }
        path = paths::joinName(sendFolder(), fileText(rec));
    } else {
        std::optional<std::string> folder = paths::joinName(recvFolder(), nodeText(rec));
        if (folder)
            path = paths::joinName(*folder, fileText(rec));
    }
    return path ? *path : std::string();
}

void CCatalog::compactList()
{
    platform::CMutexLock lock(getMutex());
    // Nothing to drop: the list is left as it is, without a copy.
    if (m_cash.notLiveCount() == 0) {
        m_linkCache.clear();
        return;
    }
    std::vector<CatalogRecord> kept;
    std::vector<int> dropped;
    const bool badFound = sortForCompaction(kept, dropped);
    if (!dropped.empty())
        deleteLocalFiles(dropped);
    // The marks of the own records dropped go once the list without them is
    // written; their deletions have gone out.
    std::vector<CatalogRecord> droppedAsked;
    for (const int i : dropped) {
        const CatalogRecord& r = m_cash.list()[i];
        if (nodeText(r) == ownNodeName() && deletionAsked(r)) {
            droppedAsked.push_back(r);
            m_droppedOwn.insert(CCatalogCash::keyOf(r));
        }
    }
    if (!dropped.empty() || badFound) {
        m_cash.setList(kept);
        fireReset();
        fireAllRecords();
    }
    markDeletions(droppedAsked.data(), droppedAsked.size(), false);
    m_linkCache.clear();
}

void CCatalog::awaitSendCheck()
{
    platform::CMutexLock lock(getMutex());
    m_awaitSendCheck = true;
}

void CCatalog::sendChecked()
{
    platform::CMutexLock lock(getMutex());
    m_awaitSendCheck = false;
}

bool CCatalog::sortForCompaction(std::vector<CatalogRecord>& kept, std::vector<int>& dropped)
{
    const std::vector<CatalogRecord>& list = m_cash.list();
    kept.reserve(list.size());
    bool badFound = false;
    const std::string_view own = ownNodeName();
    for (int i = 0; i < static_cast<int>(list.size()); ++i) {
        const CatalogRecord& r = list[i];
        if (isLive(r) || (r.state == CATALOG_STATE_DELETED && m_awaitSendCheck && nodeText(r) == own)) {
            kept.push_back(r);
        } else if (r.state == CATALOG_STATE_DELETED) {
            dropped.push_back(i);
        } else {
            // Written once: the record leaves the catalog with this
            // compaction instead of being copied out again every 5 s.
            writeErrorRec(r);
            badFound = true;
        }
    }
    return badFound;
}

bool CCatalog::keyStillLive(const CatalogRecord& rec) const
{
    for (int k : m_cash.indexesOf(rec)) {
        if (isLive(m_cash.list()[k]))
            return true;
    }
    return false;
}

bool CCatalog::stillRegistered(const CatalogRecord& rec, const WIN32_FIND_DATAA& now)
{
    const WIN32_FIND_DATAA& was = rec.findData;
    if (sameSizeAndLastWrite(now, was.nFileSizeHigh, was.nFileSizeLow, was.ftLastWriteTime))
        return true;
    std::printf("CCatalog::compactList() %s in SEND has changed since it was registered; it stays, and the next"
                " check registers it anew\n",
                consoleText(fileText(rec)).c_str());
    std::fflush(stdout);
    return false;
}

void CCatalog::deleteLocalFiles(const std::vector<int>& dropped)
{
    const std::vector<CatalogRecord>& list = m_cash.list();
    // Own shortcuts are looked up in one listing of SEND for all of them.
    bool shortcutsListed = false;
    std::unordered_map<std::string, ShortcutEntry> shortcutOf; // target name -> first shortcut
    for (int i : dropped) {
        const CatalogRecord& r = list[i];
        // A live record of the same key names the same local file.
        if (keyStillLive(r))
            continue;
        const bool own = nodeText(r) == ownNodeName();
        // Only a deletion asked for or expired takes an own file: one whose
        // file left SEND leaves a file there now by that name to the user.
        if (own && !deletionAsked(r))
            continue;
        bool isLinkEntry = false;
        const std::string path = localFilePath(r, &isLinkEntry);
        if (isLinkEntry) {
            if (!shortcutsListed) {
                std::vector<ShortcutEntry> all;
                listShortcuts(nullptr, all);
                for (ShortcutEntry& s : all)
                    shortcutOf.emplace(s.targetName, std::move(s));
                shortcutsListed = true;
            }
            auto it = shortcutOf.find(std::string(fileText(r)));
            if (it != shortcutOf.end() && stillRegistered(r, it->second.target))
                platform::deleteShortcut(it->second.linkPath); // the link, never its target
        } else if (!path.empty()) {
            // An own file goes only while it is the file registered: one
            // written or put there since stays, as the user's.
            WIN32_FIND_DATAA now;
            if (own && (!platform::findFileData(path, &now) || !stillRegistered(r, now)))
                continue;
            platform::deleteFile(path);
            if (!own)
                platform::deleteFile(receivingPath(path)); // a fetch that had not ended
        }
    }
}
