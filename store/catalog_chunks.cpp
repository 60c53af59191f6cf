// File chunks: storing received chunks under RECV/<origin>/, reading chunks
// of files this node holds whole, and the shortcut target cache.
#include <algorithm>
#include <cstdio>

#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"

using namespace catalog_detail;

namespace {

// RECV/<origin>; nullopt when the origin is not a plain name.
std::optional<std::string> originFolder(const CatalogRecord& rec)
{
    return paths::joinName(recvFolder(), nodeText(rec));
}

// RECV/<origin>/<file>, creating the origin's folder when asked.
std::optional<std::string> recvPath(const CatalogRecord& rec, bool makeFolder)
{
    std::optional<std::string> folder = originFolder(rec);
    if (!folder)
        return std::nullopt;
    if (makeFolder)
        platform::makeSureDirectoryPathExists(*folder + "/");
    return paths::joinName(*folder, fileText(rec));
}

} // namespace

int CCatalog::writeFileData(DWORD offset, DWORD length, const CatalogRecord* rec, const void* data)
{
    if (!rec || (length > 0 && !data))
        return 0;
    platform::CMutexLock lock(getMutex());

    int i = -1;
    for (int k : m_cash.indexesOf(*rec)) {
        if (isSameTransfer(&m_cash.list()[k], rec)) {
            i = k;
            break;
        }
    }
    if (i < 0)
        return 0;
    CatalogRecord r = m_cash.list()[i];
    // Nothing is written into a file that is already whole here, nor into
    // the node's own files, nor for names that are no plain names.
    if (r.complete == 1 || nodeText(r) == ownNodeName() || !hasSafeNames(r)
        || r.findData.nFileSizeHigh != 0)
        return 0;
    // Chunks are stored strictly in sequence: a chunk below what is held is
    // stale, one beyond it would leave a hole that counts as data.
    if (offset != r.heldBytes)
        return 0;

    const std::uint64_t size = r.findData.nFileSizeLow;
    const std::uint64_t room = size > offset ? size - offset : 0;
    const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>(length, room));

    std::optional<std::string> path = recvPath(r, true);
    if (!path)
        return 0;

    platform::CFile f;
    // A transfer from offset 0 always starts the file anew.
    const unsigned mode = offset == 0
        ? platform::CFile::modeCreate | platform::CFile::modeWrite
        : platform::CFile::modeCreate | platform::CFile::modeNoTruncate | platform::CFile::modeWrite;
    if (!f.Open(*path, mode))
        return 0;
    try {
        const std::uint64_t onDisk = f.GetLength();
        if (onDisk < offset) {
            // Bytes counted as held are gone from the disk: count none, so the
            // next fetch starts the file from its first byte.
            f.Close();
            r.heldBytes = 0;
            setCheckSum(&r);
            m_cash.setRec(i, r);
            fireRecordAt(i, r);
            return 0;
        }
        if (onDisk > offset)
            f.SetLength(offset);
        f.Seek(std::int64_t(offset), platform::CFile::begin);
        if (n > 0)
            f.Write(data, n);
        f.Close();
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalog::writeFileData() %d\n", e.m_errno);
        return 0;
    }

    int result = 1;
    r.heldBytes = offset + n;
    if (std::uint64_t(offset) + n >= size) {
        r.complete = 1;
        result = 0;
    }
    setCheckSum(&r);
    m_cash.setRec(i, r);
    fireRecordAt(i, r);
    // Only a whole file travels on.
    if (r.complete == 1)
        relayRec(&r);
    return result;
}

DWORD CCatalog::readFileData(DWORD offset, DWORD maxLength, const CatalogRecord* rec, void* out)
{
    if (!rec || !out)
        return 0;
    const int i = findCompleteTransfer(*rec);
    if (i < 0)
        return 0;
    CatalogRecord stored;
    {
        platform::CMutexLock lock(getMutex());
        m_cash.getRec(&stored, i);
    }
    // Only the bytes the record shares: a file that grew since, or an
    // offset beyond the end, gives nothing more.
    const DWORD size = stored.findData.nFileSizeLow;
    if (offset >= size)
        return 0;
    maxLength = std::min<DWORD>(maxLength, size - offset);

    std::optional<std::string> path;
    if (nodeText(stored) == ownNodeName()) {
        // Whether the bytes come from a shortcut's target is the stored
        // record's business, not the asking peer's.
        if (stored.isLink == 1) {
            std::string target;
            const std::string name(fileText(stored));
            findLinkTarget(name.c_str(), target);
            if (!target.empty())
                path = target;
        } else {
            path = paths::joinName(sendFolder(), fileText(stored));
        }
    } else {
        path = recvPath(stored, true);
    }
    if (!path)
        return 0;

    platform::CFile f;
    if (!f.Open(*path, platform::CFile::modeRead))
        return 0;
    try {
        f.Seek(std::int64_t(offset), platform::CFile::begin);
        const std::size_t got = f.Read(out, maxLength);
        f.Close();
        return static_cast<DWORD>(got);
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalog::readFileData() %d\n", e.m_errno);
        return 0;
    }
}

void CCatalog::findLinkTarget(const char* fileName, std::string& out)
{
    out.clear();
    if (!fileName)
        return;
    for (const auto& [name, target] : m_linkCache) {
        if (name == fileName) {
            out = target;
            return;
        }
    }
    std::vector<ShortcutEntry> found;
    listShortcuts(fileName, found);
    if (!found.empty() && found.back().targetName == fileName) {
        out = found.back().targetPath;
        m_linkCache.emplace_back(fileName, out);
    }
}
