// Neighbour queue files (CATALOG/<node>.dat): queueing, relaying, sending
// and renaming, and the choice of the next file to fetch.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"

using namespace catalog_detail;

namespace {

constexpr std::uint64_t REC = sizeof(CatalogRecord);
constexpr unsigned OPEN_KEEP = platform::CFile::modeCreate | platform::CFile::modeNoTruncate
                             | platform::CFile::modeReadWrite;

// Opens a queue file, creating it when missing, and cuts a partial record at
// its end so that appends land at count * 820. Returns the whole-record
// count, or -1 when the file cannot be opened.
std::int64_t openQueue(platform::CFile& f, const std::string& path)
{
    if (!f.Open(path, OPEN_KEEP))
        return -1;
    const std::uint64_t length = f.GetLength();
    const std::uint64_t count = length / REC;
    if (length != count * REC)
        f.SetLength(count * REC);
    return std::int64_t(count);
}

// Everything of a taken entry but its sent mark and checksum.
bool sameButSent(const CatalogRecord& a, const CatalogRecord& b)
{
    CatalogRecord x = a;
    CatalogRecord y = b;
    x.pending = y.pending = 0;
    x.hasCheckSum = y.hasCheckSum = 0;
    x.checkSum = y.checkSum = 0;
    return std::memcmp(&x, &y, sizeof x) == 0;
}

} // namespace

// ---------------------------------------------------------------------------
// QueueImage

namespace catalog_detail {

bool QueueImage::load(const std::string& path)
{
    m_path = path;
    m_recs.clear();
    m_firstDirty = NONE;
    m_indexed = false;
    m_index.clear();
    m_existed = platform::fileExists(path);
    if (!m_existed)
        return true;
    std::string bytes;
    if (!platform::readWholeFile(path, bytes))
        return false;
    // A partial record at the end is no record.
    m_recs.resize(bytes.size() / REC);
    if (!m_recs.empty())
        std::memcpy(m_recs.data(), bytes.data(), m_recs.size() * REC);
    return true;
}

void QueueImage::buildIndex()
{
    m_index.clear();
    m_index.reserve(m_recs.size());
    for (std::size_t k = 0; k < m_recs.size(); ++k)
        m_index[CCatalogCash::keyOf(m_recs[k])].push_back(k);
    m_indexed = true;
}

const std::vector<std::size_t>& QueueImage::findAll(const CatalogRecord& rec)
{
    static const std::vector<std::size_t> none;
    if (!m_indexed)
        buildIndex();
    auto it = m_index.find(CCatalogCash::keyOf(rec));
    return it == m_index.end() ? none : it->second;
}

long QueueImage::find(const CatalogRecord& rec)
{
    const std::vector<std::size_t>& all = findAll(rec);
    return all.empty() ? -1 : long(all.front());
}

void QueueImage::put(long k, const CatalogRecord& rec)
{
    std::size_t at;
    if (k >= 0 && std::size_t(k) < m_recs.size()) {
        at = std::size_t(k);
        m_recs[at] = rec; // same key: the index stays right
    } else {
        at = m_recs.size();
        m_recs.push_back(rec);
        if (m_indexed)
            m_index[CCatalogCash::keyOf(rec)].push_back(at);
    }
    m_firstDirty = std::min(m_firstDirty, at);
}

bool QueueImage::flush()
{
    if (!dirty())
        return true;
    platform::CFile f;
    try {
        const std::int64_t count = openQueue(f, m_path);
        if (count < 0)
            return false;
        // The file is ours alone between load and flush (one thread), so its
        // records are the ones loaded; write from the first change to the end.
        const std::size_t from = std::min<std::size_t>(m_firstDirty, std::size_t(count));
        f.Seek(std::int64_t(from * REC), platform::CFile::begin);
        f.Write(m_recs.data() + from, (m_recs.size() - from) * REC);
        f.Close();
    } catch (const platform::CFileException&) {
        return false;
    }
    m_existed = true;
    m_firstDirty = NONE;
    return true;
}

} // namespace catalog_detail

// ---------------------------------------------------------------------------
// Queue writes and the taken-up-to mark

void CCatalog::noteQueueWrite(const std::string& path, std::uint64_t index)
{
    auto it = m_queueTakenUpTo.find(path);
    if (it != m_queueTakenUpTo.end() && it->second > index)
        it->second = index;
}

bool CCatalog::queueAppend(const std::string& path, const CatalogRecord& rec)
{
    platform::CFile f;
    try {
        const std::int64_t count = openQueue(f, path);
        if (count < 0)
            return false;
        f.Seek(count * std::int64_t(REC), platform::CFile::begin);
        f.Write(&rec, REC);
        f.Close();
        noteQueueWrite(path, std::uint64_t(count));
    } catch (const platform::CFileException&) {
        return false;
    }
    return true;
}

bool CCatalog::queueFlush(QueueImage& image)
{
    if (!image.dirty())
        return true;
    const std::size_t first = image.firstDirty();
    if (!image.flush())
        return false;
    noteQueueWrite(image.path(), first);
    return true;
}

bool CCatalog::queueInto(QueueImage& image, std::string_view neighbour, const CatalogRecord& rec)
{
    CatalogRecord a = rec;
    // Never back to the origin or to a node the record has passed.
    if (neighbour.empty() || nodeText(a) == neighbour)
        return false;
    const int hops = static_cast<int>(std::min<DWORD>(a.hopCount, CATALOG_ROUTE_MAX));
    for (int j = 0; j < hops; ++j) {
        if (routeText(a, j) == neighbour)
            return false;
    }
    // A record whose names are not plain names is not passed on.
    if (!hasSafeNames(a))
        return false;
    if (!addRoute(&a))
        return false;
    const long k = image.find(a);
    // An entry put into a queue waits to be sent, whatever mark the record
    // came with (a peer's record with a sent mark would never go out).
    a.pending = 1;
    setCheckSum(&a);
    image.put(k, a);
    return true;
}

// ---------------------------------------------------------------------------
// Queue operations

int CCatalog::findQueueRec(const CatalogRecord* rec, const char* fileName)
{
    if (!rec || !fileName)
        return -1;
    std::string_view name(fileName);
    if (name.size() < 4 || name.substr(name.size() - 4) != ".dat")
        return -1;
    std::optional<std::string> path = queuePath(name.substr(0, name.size() - 4));
    if (!path)
        return -1;
    QueueImage q;
    if (!q.load(*path))
        return -1;
    return static_cast<int>(q.find(*rec));
}

void CCatalog::queueRec(const char* neighbour, const CatalogRecord* rec)
{
    if (!neighbour || !rec)
        return;
    std::optional<std::string> path = queuePath(neighbour);
    if (!path)
        return;
    QueueImage q;
    if (!q.load(*path))
        return;
    if (queueInto(q, neighbour, *rec))
        queueFlush(q);
}

void CCatalog::relayRec(const CatalogRecord* rec)
{
    if (!rec || nodeText(*rec) == ownNodeName())
        return;
    const int rows = connectNum();
    for (int i = 0; i < rows; ++i) {
        const std::string name(rowName(i));
        queueRec(name.c_str(), rec);
    }
}

void CCatalog::syncTo(const char* peer, int mode, SYSTEMTIME since)
{
    platform::CMutexLock lock(getMutex());
    if (!peer || (mode != 1 && mode != 2))
        return;
    std::optional<std::string> path = queuePath(peer);
    if (!path)
        return;
    // The queue file is read once and written once for the whole catalog;
    // the entries come out as record-by-record queueing would leave them.
    QueueImage q;
    if (!q.load(*path))
        return;
    for (const CatalogRecord& r : m_cash.list()) {
        if (mode == 2 && !isSameOrLaterDate(r.registered, since))
            continue;
        queueInto(q, peer, r);
    }
    queueFlush(q);
}

int CCatalog::takeQueueRecs(const char* peer, CatalogRecord* out)
{
    platform::CMutexLock lock(getMutex());
    if (!peer || !out)
        return 0;
    std::optional<std::string> path = queuePath(peer);
    if (!path)
        return 0;

    int count = 0;
    bool failed = false;
    platform::CFile f;
    try {
        const std::int64_t total = openQueue(f, *path);
        if (total < 0)
            return 0;
        // Entries below the mark are known to be taken already: start there.
        std::uint64_t from = 0;
        auto mark = m_queueTakenUpTo.find(*path);
        if (mark != m_queueTakenUpTo.end() && mark->second <= std::uint64_t(total))
            from = mark->second;

        constexpr std::size_t BLOCK = 64;
        std::vector<CatalogRecord> block(BLOCK);
        std::uint64_t next = from; // first entry not yet looked at
        while (count < MAX_TAKE_RECORDS && next < std::uint64_t(total)) {
            const std::size_t want = std::size_t(std::min<std::uint64_t>(BLOCK, total - next));
            f.Seek(std::int64_t(next * REC), platform::CFile::begin);
            const std::size_t got = f.Read(block.data(), want * REC) / REC;
            if (got == 0)
                break;
            std::size_t firstTaken = BLOCK;
            std::size_t lastTaken = 0;
            std::size_t k = 0;
            for (; k < got && count < MAX_TAKE_RECORDS; ++k) {
                CatalogRecord& r = block[k];
                if (r.pending != 1)
                    continue;
                // A damaged entry is never sent: it is marked taken unsent.
                if (isWholeRec(&r))
                    out[count++] = r; // as read: still waiting, with its checksum
                else
                    std::printf("Error:CCatalog::takeQueueRecs() malformed entry %llu dropped\n",
                                static_cast<unsigned long long>(next + k));
                r.pending = 0;
                setCheckSum(&r);
                firstTaken = std::min(firstTaken, k);
                lastTaken = k;
            }
            if (firstTaken != BLOCK) {
                f.Seek(std::int64_t((next + firstTaken) * REC), platform::CFile::begin);
                f.Write(&block[firstTaken], (lastTaken - firstTaken + 1) * REC);
            }
            next += k;
            if (k < got)
                break;
        }
        f.Close();
        m_queueTakenUpTo[*path] = next;
    } catch (const platform::CFileException&) {
        // The records taken go out all the same; an entry whose sent mark
        // could not be written stays waiting and is sent again later, which
        // the receiver takes as the registration it already has.
        failed = true;
    }
    // Only a queue read to its end without finding anything waiting goes; one
    // that could not be read may still hold waiting records.
    if (count == 0 && !failed) {
        platform::deleteFile(*path);
        m_queueTakenUpTo.erase(*path);
    }
    return count;
}

int CCatalog::putBackQueueRecs(const char* peer, const CatalogRecord* recs, int count)
{
    platform::CMutexLock lock(getMutex());
    if (!peer || !recs || count <= 0)
        return 0;
    std::optional<std::string> path = queuePath(peer);
    if (!path || !platform::fileExists(*path))
        return 0;
    QueueImage q;
    if (!q.load(*path))
        return 0;
    int restored = 0;
    for (int n = 0; n < count; ++n) {
        for (std::size_t k : q.findAll(recs[n])) {
            CatalogRecord e = q.at(k);
            if (e.pending != 0 || !sameButSent(e, recs[n]))
                continue;
            e.pending = 1;
            setCheckSum(&e);
            q.put(long(k), e);
            ++restored;
            break;
        }
    }
    if (restored > 0 && !queueFlush(q))
        return 0;
    return restored;
}

bool CCatalog::putBackQueueRec(const char* peer, const CatalogRecord* rec)
{
    return putBackQueueRecs(peer, rec, 1) == 1;
}

void CCatalog::renameQueue(const char* oldName, const char* newName)
{
    if (!oldName || !newName)
        return;
    std::optional<std::string> from = queuePath(oldName);
    std::optional<std::string> to = queuePath(newName);
    if (!from || !to || *from == *to || !platform::fileExists(*from))
        return;
    m_queueTakenUpTo.erase(*from);
    m_queueTakenUpTo.erase(*to);
    if (!platform::fileExists(*to)) {
        platform::renameFile(*from, *to);
        return;
    }
    // Both exist: the records still waiting under the old name join the
    // queue under the new one, in their order, and nothing is lost.
    QueueImage oldQ;
    QueueImage newQ;
    if (!oldQ.load(*from) || !newQ.load(*to))
        return;
    for (std::size_t k = 0; k < oldQ.size(); ++k) {
        if (oldQ.at(k).pending == 1)
            newQ.put(-1, oldQ.at(k));
    }
    if (queueFlush(newQ))
        platform::deleteFile(*from);
}

// ---------------------------------------------------------------------------
// The next file to fetch

bool CCatalog::isFetchable(const CatalogRecord& rec)
{
    return rec.complete == 0 && nodeText(rec) != ownNodeName() && hasSafeNames(rec)
        && rec.findData.nFileSizeHigh == 0;
}

int CCatalog::getFirstFetchRec(CatalogRecord* out)
{
    platform::CMutexLock lock(getMutex());
    if (!out)
        return 0;
    for (const CatalogRecord& r : m_cash.list()) {
        if (isFetchable(r)) {
            *out = r;
            return 1;
        }
    }
    return 0;
}

int CCatalog::getNextFetchRec(CatalogRecord* rec)
{
    platform::CMutexLock lock(getMutex());
    if (!rec)
        return 0;
    const int i = m_cash.findRec(*rec, nullptr);
    if (i < 0)
        return 0;
    const std::vector<CatalogRecord>& list = m_cash.list();
    for (std::size_t j = std::size_t(i) + 1; j < list.size(); ++j) {
        if (isFetchable(list[j])) {
            *rec = list[j];
            return 1;
        }
    }
    return 0;
}
