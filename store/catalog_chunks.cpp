// File chunks: storing received chunks under RECV/<origin>/, reading chunks
// of files this node holds whole, and the shortcut target cache.
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"
#include "store/received_copies.h"

using namespace catalog_detail;

namespace {

// RECV/<origin> as one real folder (a link planted at its name is removed);
// nullopt when the origin is not a plain name or the folder cannot be made.
std::optional<std::string> originFolder(const CatalogRecord& rec)
{
    std::optional<std::string> folder = paths::joinName(recvFolder(), nodeText(rec));
    if (!folder)
        return std::nullopt;
    platform::makeSureDirectoryPathExists(recvFolder() + "/");
    if (!platform::makePlainDirectory(*folder))
        return std::nullopt;
    return folder;
}

// RECV/<origin>/<file>.
std::optional<std::string> recvPath(const CatalogRecord& rec)
{
    std::optional<std::string> folder = originFolder(rec);
    if (!folder)
        return std::nullopt;
    return paths::joinName(*folder, fileText(rec));
}

} // namespace

namespace catalog_detail {

std::string receivingPath(const std::string& recvPath)
{
    static constexpr std::string_view SUFFIX = "·受信中"; // UTF-8, as native names are
    static_assert(SUFFIX.size() <= paths::NAME_MAX_BYTES - paths::SHORT_NAME_BYTES,
                  "a shortened name takes the suffix as it is");
    const std::size_t slash = recvPath.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    const std::string_view name = std::string_view(recvPath).substr(nameAt);
    if (name.size() + SUFFIX.size() <= paths::NAME_MAX_BYTES)
        return recvPath + std::string(SUFFIX);
    return recvPath.substr(0, nameAt) + paths::fitName(name, paths::NAME_MAX_BYTES - SUFFIX.size())
           + std::string(SUFFIX);
}

bool holdsWholeCopy(const CatalogRecord& held, const CatalogRecord& a)
{
    const WIN32_FIND_DATAA& was = held.findData;
    if (held.complete != 1
        || !sameSizeAndLastWrite(a.findData, was.nFileSizeHigh, was.nFileSizeLow, was.ftLastWriteTime))
        return false;
    std::optional<std::string> path = copyPath(recvFolder(), held);
    platform::CFile f;
    if (!path || !openOwnFile(*path, platform::CFile::modeRead, f, nullptr))
        return false;
    try {
        const bool whole = f.GetLength() == was.nFileSizeLow;
        f.Close();
        return whole;
    } catch (const platform::CFileException&) {
        return false;
    }
}

bool createFreshFile(const std::string& path, platform::CFile& f)
{
    // Whatever stands at the name goes first (a link itself, never what it
    // points at), so the new file is made at the name and nowhere else.
    platform::deleteFile(path);
    return f.Open(path, platform::CFile::modeCreate | platform::CFile::modeNewOnly | platform::CFile::modeWrite
                            | platform::CFile::modeNoFollow);
}

bool openOwnFile(const std::string& path, unsigned mode, platform::CFile& f, int* err)
{
    if (!f.Open(path, mode | platform::CFile::modeNoFollow, err))
        return false;
    try {
        if (f.GetLinkCount() == 1)
            return true;
    } catch (const platform::CFileException&) {
    }
    // Another name of the same file lies elsewhere: never ours to write.
    f.Close();
    if (err)
        *err = EMLINK;
    return false;
}

} // namespace catalog_detail

int CCatalog::findTransfer(const CatalogRecord& rec) const
{
    for (int k : m_cash.indexesOf(rec)) {
        if (isSameTransfer(&m_cash.list()[k], &rec))
            return k;
    }
    return -1;
}

bool CCatalog::takesChunk(const CatalogRecord& r, DWORD offset)
{
    // Nothing is written into a file that is already whole here, nor into
    // the node's own files, nor for names that are no plain names.
    if (r.complete == 1 || nodeText(r) == ownNodeName() || !hasSafeNames(r) || r.findData.nFileSizeHigh != 0)
        return false;
    // Chunks are stored strictly in sequence: a chunk below what is held is
    // stale, one beyond it would leave a hole that counts as data.
    return offset == r.heldBytes;
}

CCatalog::ChunkWrite CCatalog::storeChunk(const CatalogRecord& r, DWORD offset, const void* data, DWORD n)
{
    std::optional<std::string> place = recvPath(r);
    if (!place)
        return ChunkWrite::Failed;
    // The copy in its place stays whole until the new one is.
    const std::optional<std::string> path = receivingPath(*place);
    platform::CFile f;
    if (offset == 0) {
        // A transfer from offset 0 always starts the file anew.
        if (!createFreshFile(*path, f))
            return ChunkWrite::Failed;
    } else {
        // A later chunk goes only into the plain file the first one made.
        int err = 0;
        if (!openOwnFile(*path, platform::CFile::modeWrite, f, &err))
            return err == ENOENT || err == ELOOP || err == EMLINK ? ChunkWrite::BytesGone : ChunkWrite::Failed;
    }
    try {
        const std::uint64_t onDisk = f.GetLength();
        if (onDisk < offset) {
            f.Close();
            return ChunkWrite::BytesGone;
        }
        if (onDisk > offset)
            f.SetLength(offset);
        f.Seek(std::int64_t(offset), platform::CFile::begin);
        if (n > 0)
            f.Write(data, n);
        f.Close();
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalog::writeFileData() %d\n", e.m_errno);
        return ChunkWrite::Failed;
    }
    return ChunkWrite::Stored;
}

std::optional<std::string> CCatalog::moveIntoPlace(const CatalogRecord& r)
{
    std::optional<std::string> place = recvPath(r);
    int err = 0;
    if (place)
        stampCopy(receivingPath(*place), r);
    if (place && platform::renameFile(receivingPath(*place), *place, &err))
        return place;
    std::printf("Error:CCatalog::writeFileData() %s cannot take its place (%d)\n", consoleText(fileText(r)).c_str(),
                err);
    return std::nullopt;
}

void CCatalog::forgetHeldBytes(int i, CatalogRecord r)
{
    // Bytes counted as held are gone from the disk (or stand behind a link
    // that is not ours): count none, so the next fetch starts the file
    // from its first byte.
    r.heldBytes = 0;
    setCheckSum(&r);
    m_cash.setRec(i, r);
    fireRecordAt(i, r);
}

int CCatalog::countChunk(int i, CatalogRecord r, DWORD offset, DWORD n)
{
    r.heldBytes = offset + n;
    setCheckSum(&r);
    m_cash.setRec(i, r);
    fireRecordAt(i, r);
    return 1;
}

int CCatalog::writeFileData(DWORD offset, DWORD length, const CatalogRecord* rec, const void* data)
{
    if (!rec || (length > 0 && !data))
        return 0;
    platform::CMutexLock lock(getMutex());
    const int i = findTransfer(*rec);
    if (i < 0)
        return 0;
    const CatalogRecord r = m_cash.list()[i];
    if (!takesChunk(r, offset) || isCompleting(r))
        return 0;
    // A chunk that runs past the end completes the file without writing
    // past it.
    const std::uint64_t size = r.findData.nFileSizeLow;
    const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>(length, size > offset ? size - offset : 0));
    switch (storeChunk(r, offset, data, n)) {
    case ChunkWrite::Failed:
        return 0;
    case ChunkWrite::BytesGone:
        forgetHeldBytes(i, r);
        return 0;
    case ChunkWrite::Stored:
        break;
    }
    if (std::uint64_t(offset) + n < size)
        return countChunk(i, r, offset, n);
    // Whole now: into its place, over the copy held till now (should that
    // fail, the last chunk is asked for again). The record says it is
    // whole, and it goes on, only once its bytes are on the disk.
    const std::optional<std::string> place = moveIntoPlace(r);
    if (place) {
        CatalogRecord whole = r;
        whole.heldBytes = offset + n;
        whole.complete = 1;
        setCheckSum(&whole);
        beginCompletion(whole, *place);
    }
    return 0;
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
        path = recvPath(stored);
    }
    if (!path)
        return 0;

    // A received file is read only as the plain file the node wrote.
    platform::CFile f;
    const bool received = nodeText(stored) != ownNodeName();
    if (received ? !openOwnFile(*path, platform::CFile::modeRead, f, nullptr)
                 : !f.Open(*path, platform::CFile::modeRead))
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
