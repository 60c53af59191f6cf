// The received copies under RECV against the catalog: the start's check of
// the records marked whole, and a deletion of a registration not held.
#include "store/received_copies.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/files.h"
#include "platform/localtime.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"

namespace catalog_detail {

std::optional<std::string> copyPath(std::string_view recvFolder, std::string_view node, std::string_view file)
{
    std::optional<std::string> folder = paths::joinName(recvFolder, node);
    return folder ? paths::joinName(*folder, file) : std::nullopt;
}

std::optional<std::string> copyPath(std::string_view recvFolder, const CatalogRecord& rec)
{
    return copyPath(recvFolder, nodeText(rec), fileText(rec));
}

void stampCopy(const std::string& path, const CatalogRecord& rec)
{
    // A file system that cannot take the time leaves the copy as it is: a
    // deletion then finds no copy of that registration and leaves it.
    platform::setLastWrite(path, timespecFromFileTime(rec.findData.ftLastWriteTime));
}

CopyState judgeCopy(const std::string& path, DWORD size)
{
    const platform::PathStatus st = platform::pathStatus(path);
    switch (st.kind) {
    case platform::PathStatus::missing:
        return CopyState::missing;
    case platform::PathStatus::unknown:
        return CopyState::unknown;
    case platform::PathStatus::file:
        return st.links == 1 && st.size == size ? CopyState::whole : CopyState::notWhole;
    default:
        return CopyState::notWhole;
    }
}

AtStart atStart(CopyState copy, bool resyncStart)
{
    switch (copy) {
    case CopyState::whole:
    case CopyState::unknown:
        return AtStart::keep;
    case CopyState::notWhole:
        return AtStart::fetchAgain;
    case CopyState::missing:
        break;
    }
    return resyncStart ? AtStart::drop : AtStart::fetchAgain;
}

bool isCopyOf(const std::string& path, const CatalogRecord& rec)
{
    // RECV/<origin> a real folder: nothing behind a link planted there.
    if (rec.findData.nFileSizeHigh != 0
        || platform::pathStatus(paths::dirName(path)).kind != platform::PathStatus::folder)
        return false;
    const platform::PathStatus st = platform::pathStatus(path);
    const struct timespec written = timespecFromFileTime(rec.findData.ftLastWriteTime);
    return st.kind == platform::PathStatus::file && st.links == 1 && st.size == rec.findData.nFileSizeLow
        && st.lastWrite.tv_sec == written.tv_sec && st.lastWrite.tv_nsec == written.tv_nsec;
}

StartCopyCheck::~StartCopyCheck()
{
    m_stop = true;
    if (m_worker.joinable())
        m_worker.join();
}

void StartCopyCheck::add(int index, const CatalogRecord& rec)
{
    const std::string_view n = nodeText(rec);
    const std::string_view f = fileText(rec);
    m_jobs.push_back(Job {index, rec.findData.nFileSizeLow, rec.registered, std::uint32_t(m_names.size()),
                          std::uint16_t(n.size()), std::uint16_t(f.size())});
    m_names.append(n);
    m_names.append(f);
}

void StartCopyCheck::start(std::string recvFolder)
{
    try {
        m_worker = std::thread([this, folder = std::move(recvFolder)] { run(folder); });
    } catch (const std::system_error&) {
        run(recvFolder); // no thread to be had: the start waits for it instead
    }
}

void StartCopyCheck::run(const std::string& recvFolder)
{
    for (std::size_t k = 0; k < m_jobs.size() && !m_stop; ++k) {
        const Job& j = m_jobs[k];
        std::optional<std::string> path = copyPath(recvFolder, node(j), file(j));
        if (!path)
            continue;
        const AtStart what = atStart(judgeCopy(*path, j.size), m_resyncStart);
        if (what != AtStart::keep)
            m_found.emplace_back(k, what);
    }
    m_done = true;
}

std::vector<StartCopyCheck::Found> StartCopyCheck::take()
{
    if (m_worker.joinable())
        m_worker.join();
    std::vector<Found> out;
    out.reserve(m_found.size());
    for (const auto& [k, what] : m_found) {
        const Job& j = m_jobs[k];
        out.push_back(Found {what, j.index, std::string(node(j)), std::string(file(j)), j.registered, j.size});
    }
    return out;
}

} // namespace catalog_detail

using namespace catalog_detail;

void CCatalog::startCopyCheck()
{
    if (m_cash.loadFailed())
        return;
    auto check = std::make_unique<StartCopyCheck>(m_wholeSyncOwed);
    const std::string_view own = ownNodeName();
    for (int i = 0; i < m_cash.getCount(); ++i) {
        const CatalogRecord& r = m_cash.list()[std::size_t(i)];
        if (r.complete == 1 && isLive(r) && nodeText(r) != own)
            check->add(i, r);
    }
    if (check->empty())
        return;
    check->start(recvFolder());
    m_copyCheck = std::move(check);
}

void CCatalog::finishStartCheck()
{
    platform::CMutexLock lock(getMutex());
    applyCopyCheck(true);
}

void CCatalog::applyCopyCheck(bool wait)
{
    if (!m_copyCheck || (!wait && !m_copyCheck->done()))
        return;
    const std::unique_ptr<StartCopyCheck> check = std::move(m_copyCheck);
    const std::vector<StartCopyCheck::Found> found = check->take();
    if (found.empty())
        return;
    std::vector<int> again;
    std::vector<bool> drop(std::size_t(m_cash.getCount()));
    std::size_t dropped = 0;
    for (const StartCopyCheck::Found& f : found) {
        CatalogRecord key {};
        cp932::copyField(key.originNode, CATALOG_NAME_LEN, f.node.c_str());
        cp932::copyField(key.findData.cFileName, MAX_PATH, f.file.c_str());
        // Only the record judged, as it was then: one replaced, deleted or
        // fetched anew since is left to what happened to it.
        int i = -1;
        for (const int k : m_cash.indexesOf(key)) {
            const CatalogRecord& r = m_cash.list()[std::size_t(k)];
            if (r.complete == 1 && isLive(r) && !drop[std::size_t(k)] && r.findData.nFileSizeLow == f.size
                && std::memcmp(&r.registered, &f.registered, sizeof r.registered) == 0) {
                i = k;
                break;
            }
        }
        if (i < 0)
            continue;
        if (f.what == AtStart::drop) {
            drop[std::size_t(i)] = true;
            ++dropped;
            continue;
        }
        CatalogRecord r = m_cash.list()[std::size_t(i)];
        r.complete = 0;
        r.heldBytes = 0;
        setCheckSum(&r);
        m_cash.setRecNoWrite(i, r);
        fireRecordAt(i, r);
        again.push_back(i);
    }
    m_cash.writeRecs(again);
    if (!again.empty())
        std::printf("CCatalog: %zu received file(s) marked whole are not whole under RECV; they are fetched again\n",
                    again.size());
    if (dropped > 0) {
        std::vector<CatalogRecord> kept;
        kept.reserve(std::size_t(m_cash.getCount()) - dropped);
        for (int i = 0; i < m_cash.getCount(); ++i)
            if (!drop[std::size_t(i)])
                kept.push_back(m_cash.list()[std::size_t(i)]);
        m_cash.setList(kept);
        fireReset();
        fireAllRecords();
        std::printf("CCatalog: %zu registration(s) of received files gone from RECV dropped; the neighbours' whole"
                    " catalogs bring back those still shared\n",
                    dropped);
    }
    std::fflush(stdout);
}

void CCatalog::deleteUnheldCopy(const CatalogRecord& a)
{
    std::optional<std::string> path = copyPath(recvFolder(), a);
    if (path && isCopyOf(*path, a))
        platform::deleteFile(*path);
}
