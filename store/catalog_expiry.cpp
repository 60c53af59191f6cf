// Expiry sweep and compaction of the catalog.
#include <cstdio>
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
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (int i = 0; i < m_cash.getCount(); ++i) {
        // Expired once today's date is past the expiry date; the time of day
        // takes no part.
        const CatalogRecord& held = m_cash.list()[i];
        if (isSameOrLaterDate(held.expires, now) && isValidRec(&held))
            continue;
        CatalogRecord r = held;
        bool changed = false;
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
    // One open of catalog.dat for every record marked.
    m_cash.writeRecs(marked);
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
        m_goneKeys.clear();
        return;
    }
    std::vector<CatalogRecord> kept;
    std::vector<int> dropped;
    const bool badFound = sortForCompaction(kept, dropped);
    if (!dropped.empty())
        deleteLocalFiles(dropped);
    if (!dropped.empty() || badFound) {
        m_cash.setList(kept);
        fireReset();
        fireAllRecords();
    }
    m_linkCache.clear();
    // Every deleted record has gone now; a gone key still live was
    // registered again and has left the set already.
    m_goneKeys.clear();
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
        // The file left SEND: one there now by that name came since, and
        // is the user's, not this registration's.
        if (own && m_goneKeys.count(CCatalogCash::keyOf(r)))
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
