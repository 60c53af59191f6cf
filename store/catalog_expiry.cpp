// Expiry sweep and compaction of the catalog.
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
#include "store/received_copies.h"

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
    // Own live registrations that this sweep deletes: invalid ones (their
    // files stay), and expired ones (their files go with them), which wait
    // for their marks.
    std::vector<CatalogRecord> ownInvalid;
    std::vector<int> ownExpiredAt;
    std::vector<CatalogRecord> ownExpired;
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
        const bool ownLive = isLive(r) && nodeText(r) == own;
        if (!isSameOrLaterDate(r.expires, now)) {
            if (ownLive) {
                ownExpiredAt.push_back(i);
                ownExpired.push_back(r);
                continue;
            }
            r.state = CATALOG_STATE_DELETED;
            setCheckSum(&r);
            changed = true;
        } else if (ownLive) {
            ownInvalid.push_back(r);
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
    markDeletions(ownInvalid.data(), ownInvalid.size(), false);
    int err = 0;
    if (!markDeletions(ownExpired.data(), ownExpired.size(), true, &err)) {
        tellDeletionsHeld(ownExpired.data(), ownExpired.size(), err, true);
        ownExpiredAt.clear();
    }
    for (std::size_t k = 0; k < ownExpiredAt.size(); ++k) {
        CatalogRecord r = ownExpired[k];
        r.state = CATALOG_STATE_DELETED;
        setCheckSum(&r);
        if (!isValidRec(&r))
            writeErrorRec(r);
        m_cash.setRecNoWrite(ownExpiredAt[k], r);
        marked.push_back(ownExpiredAt[k]);
    }
    // One open of catalog.dat for every record marked.
    m_cash.writeRecs(marked);
}

void CCatalog::loadDeleteMarks()
{
    m_marks.setPath(paths::joinFixed(getCatalogFolder(), "ownDeletions.lst"));
    m_outside.setPath(paths::joinFixed(getCatalogFolder(), "outsideSend.lst"));
    if (m_cash.loadFailed()) {
        m_marks.load(0, nullptr);
        m_outside.load(0, nullptr);
        return;
    }
    // Kept for a file read again at a later tick.
    const auto held = [this, own = std::string(ownNodeName())](std::string_view name) -> const CatalogRecord* {
        const int i = m_cash.findRec(own, name, nullptr);
        return i < 0 ? nullptr : &m_cash.list()[std::size_t(i)];
    };
    m_marks.load(std::size_t(s_maxFileRecords), held);
    m_outside.load(std::size_t(s_maxFileRecords), held);
}

bool CCatalog::standOutsideSend(const std::vector<std::string_view>& names, int* err)
{
    platform::CMutexLock lock(getMutex());
    std::vector<const CatalogRecord*> own;
    own.reserve(names.size());
    for (const std::string_view name : names) {
        const int i = m_cash.findRec(ownNodeName(), name, nullptr);
        if (i >= 0)
            own.push_back(&m_cash.list()[std::size_t(i)]);
    }
    // Also with none to add: a list that cannot be read lacks those it has.
    return m_outside.mark(own, err);
}

bool CCatalog::standsOutsideSend(const CatalogRecord& rec) const
{
    return m_outside.unreadable() || m_outside.names(rec);
}

void CCatalog::backInSend(const std::vector<std::string_view>& names)
{
    platform::CMutexLock lock(getMutex());
    m_outside.clearNames(names);
}

void CCatalog::redoLostDeletions()
{
    if (m_marks.empty())
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

bool CCatalog::markDeletions(const CatalogRecord* recs, std::size_t n, bool asked, int* err)
{
    platform::CMutexLock lock(getMutex());
    if (!asked && m_marks.empty())
        return true;
    // Marks name the registrations as the catalog holds them, the ones the
    // compaction and the next load look at.
    std::vector<const CatalogRecord*> own;
    const std::string_view ownName = ownNodeName();
    for (std::size_t k = 0; k < n; ++k) {
        if (nodeText(recs[k]) != ownName)
            continue;
        if (!asked) {
            own.push_back(&recs[k]);
            continue;
        }
        const int i = m_cash.findRec(recs[k], nullptr);
        if (i >= 0)
            own.push_back(&m_cash.list()[std::size_t(i)]);
    }
    if (own.empty())
        return true;
    if (!asked) {
        m_marks.clear(own);
        return true;
    }
    int ignored = 0;
    return m_marks.mark(own, err ? err : &ignored);
}

void CCatalog::tellDeletionsHeld(const CatalogRecord* recs, std::size_t n, int err, bool expired)
{
    if (n == 0)
        return;
    const std::string name = consoleText(fileText(recs[0]));
    const bool unreadable = m_marks.unreadable();
    std::printf("●●ERROR　CCatalog: %s (of %zu) not deleted: %s (%s); %s\n", name.c_str(), n,
                unreadable ? "the marks of own deletions cannot be read" : "its mark cannot be written",
                std::strerror(err), expired ? "the expiry waits for the next sweep" : "the deletion is not made");
    char more[64] = "";
    if (n > 1)
        std::snprintf(more, sizeof more, " ほか %zu 件", n - 1);
    const bool noRoom = platform::isNoRoom(err);
    std::fflush(stdout);
    const char* cannot = unreadable ? "読み込め" : "書き込め";
    char text[768];
    if (expired)
        std::snprintf(text, sizeof text, "%s削除の記録 (CATALOG/ownDeletions.lst) を%sないため、期限切れの登録 %s%s "
                      "の削除を次の期限確認まで延ばします。",
                      noRoom ? "ディスクに空きがなく、" : "", cannot, name.c_str(), more);
    else
        std::snprintf(text, sizeof text, "%s削除の記録 (CATALOG/ownDeletions.lst) を%sないため、%s%s の登録を"
                      "削除できませんでした。%s",
                      noRoom ? "ディスクに空きがなく、" : "", cannot, name.c_str(), more,
                      noRoom ? "空きを作ってから、もう一度削除してください。"
                             : unreadable ? "読み込めるようにしてから、もう一度削除してください。" : "");
    m_notices.push_back(cp932::fromUtf8(text).value_or(text));
}

bool CCatalog::deletionAsked(const CatalogRecord& rec) const
{
    return m_marks.names(rec);
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
        path = copyPath(recvFolder(), rec);
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
        // An own deleted record waits for the check, and while the marks
        // cannot be read for them to tell whether its file goes with it.
        const bool ownWaits = m_awaitSendCheck || m_marks.unreadable();
        if (isLive(r) || (r.state == CATALOG_STATE_DELETED && ownWaits && nodeText(r) == own)) {
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
