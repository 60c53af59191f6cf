// Neighbour queue files (CATALOG/<node>.dat): queueing, relaying, sending
// and renaming, and the choice of the next file to fetch.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/dirlist.h"
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
std::int64_t openQueue(platform::CFile& f, const std::string& path, int* err = nullptr)
{
    if (!f.Open(path, OPEN_KEEP, err))
        return -1;
    const std::uint64_t length = f.GetLength();
    const std::uint64_t count = length / REC;
    if (length != count * REC)
        f.SetLength(count * REC);
    return std::int64_t(count);
}

} // namespace

// ---------------------------------------------------------------------------
// Key hashes and positions

namespace catalog_detail {

std::uint64_t keyHash(const CatalogRecord& rec)
{
    std::uint64_t h = 1469598103934665603ull;
    auto add = [&h](std::string_view text) {
        for (const char c : text) {
            h ^= static_cast<unsigned char>(c);
            h *= 1099511628211ull;
        }
    };
    add(nodeText(rec));
    h ^= 0x1FF; // never a byte of the texts: the pair stays unambiguous
    h *= 1099511628211ull;
    add(fileText(rec));
    // Mixed, so that nearby names spread over the table.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

void KeyPositions::clear()
{
    m_hash.clear();
    m_pos.clear();
    m_used = 0;
}

long KeyPositions::find(std::uint64_t hash) const
{
    if (m_hash.empty())
        return -1;
    const std::uint64_t h = hash ? hash : 1;
    const std::size_t mask = m_hash.size() - 1;
    for (std::size_t i = std::size_t(h) & mask;; i = (i + 1) & mask) {
        if (m_hash[i] == h)
            return long(m_pos[i]);
        if (m_hash[i] == 0)
            return -1;
    }
}

void KeyPositions::insertFirst(std::uint64_t hash, std::uint32_t pos)
{
    if ((m_used + 1) * 4 > m_hash.size() * 3)
        grow();
    const std::uint64_t h = hash ? hash : 1;
    const std::size_t mask = m_hash.size() - 1;
    for (std::size_t i = std::size_t(h) & mask;; i = (i + 1) & mask) {
        if (m_hash[i] == h)
            return;
        if (m_hash[i] == 0) {
            m_hash[i] = h;
            m_pos[i] = pos;
            ++m_used;
            return;
        }
    }
}

void KeyPositions::grow()
{
    std::vector<std::uint64_t> oldHash;
    std::vector<std::uint32_t> oldPos;
    oldHash.swap(m_hash);
    oldPos.swap(m_pos);
    const std::size_t size = oldHash.empty() ? 64 : oldHash.size() * 2;
    m_hash.assign(size, 0);
    m_pos.assign(size, 0);
    m_used = 0;
    for (std::size_t i = 0; i < oldHash.size(); ++i) {
        if (oldHash[i] != 0)
            insertFirst(oldHash[i], oldPos[i]);
    }
}

// ---------------------------------------------------------------------------
// QueueImage

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
    if (!platform::readWholeFile(path, bytes, &m_err))
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
        const std::int64_t count = openQueue(f, m_path, &m_err);
        if (count < 0)
            return false;
        // The file is ours alone between load and flush (one thread), so its
        // records are the ones loaded; write from the first change to the end.
        const std::size_t from = std::min<std::size_t>(m_firstDirty, std::size_t(count));
        f.Seek(std::int64_t(from * REC), platform::CFile::begin);
        f.Write(m_recs.data() + from, (m_recs.size() - from) * REC);
        f.Close();
    } catch (const platform::CFileException& e) {
        m_err = e.m_errno;
        return false;
    }
    m_existed = true;
    m_firstDirty = NONE;
    return true;
}

} // namespace catalog_detail

// ---------------------------------------------------------------------------
// Queue writes, the taken-up-to mark and the index

void CCatalog::noteQueueWrite(const std::string& path, std::uint64_t index)
{
    auto it = m_queueTakenUpTo.find(path);
    if (it != m_queueTakenUpTo.end() && it->second > index)
        it->second = index;
}

QueueIndex& CCatalog::queueIndex(const std::string& path)
{
    std::unique_ptr<QueueIndex>& q = m_queueIndex[path];
    if (!q)
        q = std::make_unique<QueueIndex>();
    return *q;
}

namespace {

// Adds the records of the open file from the index's count up to `upTo` to
// the index (the file position is moved); stops early at the deadline.
void readIntoIndex(QueueIndex& q, platform::CFile& f, std::uint64_t upTo,
                   std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max())
{
    constexpr std::size_t BLOCK = 256;
    std::vector<CatalogRecord> block(BLOCK);
    f.Seek(std::int64_t(q.count * REC), platform::CFile::begin);
    while (q.count < upTo) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(BLOCK, upTo - q.count));
        const std::size_t got = f.Read(block.data(), want * REC) / REC;
        for (std::size_t k = 0; k < got; ++k)
            q.first.insertFirst(keyHash(block[k]), std::uint32_t(q.count + k));
        q.count += got;
        if (got < want || std::chrono::steady_clock::now() >= deadline)
            return;
    }
}

// A build under way may go on where it stopped while the file is the same
// one and still holds what was read.
bool buildGoesOn(const QueueIndex& q, const platform::FileStamp& now)
{
    return !q.built && q.building.exists && q.building.device == now.device && q.building.inode == now.inode
        && now.size >= q.count * REC;
}

} // namespace

// One queue file opened for changes. Appends need no index; finding a key
// does: the index is trusted while the file's stamp is the one it last saw,
// and read anew from the file otherwise. Changes to neighbouring entries
// (appends at the end above all) are gathered into one run and go out in
// one write, when a change elsewhere, a search of the file or the close
// needs them there.
class CCatalog::QueueFile {
public:
    enum class Use { append, find };

    QueueFile(CCatalog& catalog, std::string path)
        : m_catalog(catalog), m_path(std::move(path)), m_index(catalog.queueIndex(m_path))
    {
    }
    ~QueueFile() { close(); }
    QueueFile(const QueueFile&) = delete;
    QueueFile& operator=(const QueueFile&) = delete;

    // Opens the file (created when missing only with `create`); false when
    // it cannot be opened or, for finding, read.
    bool open(bool create, Use use)
    {
        if (!create && !platform::fileExists(m_path))
            return false;
        try {
            const std::int64_t count = openQueue(m_file, m_path, &m_err);
            if (count < 0)
                return false;
            m_count = std::uint64_t(count);
            const platform::FileStamp now = m_file.GetStamp();
            if (m_index.built && m_index.stamp == now) {
                m_trusted = true;
                return true;
            }
            if (m_index.built)
                m_index.clear(); // changed behind our back
            if (use == Use::append)
                return true; // a build under way reads the appended records later
            if (!buildGoesOn(m_index, now))
                m_index.clear();
            m_index.building = now;
            readIntoIndex(m_index, m_file, m_count);
            if (m_index.count != m_count)
                return fail();
            m_index.built = true;
            m_index.building = {};
            m_index.stamp = now;
            m_trusted = true;
        } catch (const platform::CFileException& e) {
            return fail(e.m_errno);
        }
        return true;
    }

    // The errno of the last failure (0: none known).
    int lastError() const { return m_err; }

    // The first entry with rec's key, -1 when none. The entry the index
    // names is read back and its key compared; when it is not rec's, the
    // file is searched record by record.
    long find(const CatalogRecord& rec)
    {
        if (!m_file.IsOpen())
            return -1;
        if (m_trusted) {
            const long k = m_index.first.find(keyHash(rec));
            if (k < 0 || keyAt(k, rec))
                return k;
        }
        if (!flushRun())
            return -1;
        try {
            std::vector<CatalogRecord> block(256);
            m_file.Seek(0, platform::CFile::begin);
            for (std::uint64_t j = 0; j < m_count;) {
                const std::size_t want = std::size_t(std::min<std::uint64_t>(block.size(), m_count - j));
                const std::size_t got = m_file.Read(block.data(), want * REC) / REC;
                for (std::size_t n = 0; n < got; ++n) {
                    if (isSameKey(&block[n], &rec))
                        return long(j + n);
                }
                if (got < want)
                    break;
                j += got;
            }
        } catch (const platform::CFileException& e) {
            fail(e.m_errno);
        }
        return -1;
    }

    // Entry k as the file holds it (with the changes not yet written).
    bool get(long k, CatalogRecord* out)
    {
        if (!m_file.IsOpen() || k < 0 || std::uint64_t(k) >= m_count)
            return false;
        if (inRun(std::uint64_t(k))) {
            *out = m_run[std::size_t(std::uint64_t(k) - m_runAt)];
            return true;
        }
        try {
            m_file.Seek(std::int64_t(std::uint64_t(k) * REC), platform::CFile::begin);
            return m_file.Read(out, REC) == REC;
        } catch (const platform::CFileException& e) {
            return fail(e.m_errno);
        }
    }

    // Puts rec over entry k, or appends it when k < 0. The change joins the
    // run when it touches it; otherwise the run is written first.
    bool put(long k, const CatalogRecord& rec)
    {
        if (!m_file.IsOpen())
            return false;
        const std::uint64_t at = k >= 0 && std::uint64_t(k) < m_count ? std::uint64_t(k) : m_count;
        if (inRun(at)) {
            m_run[std::size_t(at - m_runAt)] = rec;
        } else {
            if (!m_run.empty() && at != m_runAt + m_run.size() && !flushRun())
                return false;
            if (m_run.empty())
                m_runAt = at;
            m_run.push_back(rec);
        }
        ++m_runPuts;
        if (at == m_count) {
            ++m_count;
            if (m_trusted) {
                m_index.first.insertFirst(keyHash(rec), std::uint32_t(at));
                ++m_index.count;
            }
        }
        return true;
    }

    // The puts that have reached the file.
    std::size_t putsWritten() const { return m_putsWritten; }

    // Writes what is gathered and closes; false when a write failed.
    bool close()
    {
        if (!m_file.IsOpen())
            return true;
        if (!flushRun())
            return false;
        try {
            if (m_dirty && m_trusted)
                m_index.stamp = m_file.GetStamp();
            m_file.Close();
        } catch (const platform::CFileException& e) {
            return fail(e.m_errno);
        }
        return true;
    }

private:
    bool inRun(std::uint64_t at) const { return !m_run.empty() && at >= m_runAt && at < m_runAt + m_run.size(); }

    // Writes the gathered run of entries in one write.
    bool flushRun()
    {
        if (m_run.empty())
            return true;
        // The take starts no later than the first entry written, even when
        // the write fails part way: what reached the file is read again.
        m_catalog.noteQueueWrite(m_path, m_runAt);
        try {
            m_file.Seek(std::int64_t(m_runAt * REC), platform::CFile::begin);
            m_file.Write(m_run.data(), m_run.size() * REC);
        } catch (const platform::CFileException& e) {
            return fail(e.m_errno);
        }
        m_catalog.queueWritten(m_path, m_runAt, m_run.data(), m_run.size());
        m_putsWritten += m_runPuts;
        m_run.clear();
        m_runPuts = 0;
        m_dirty = true;
        return true;
    }

    bool keyAt(long k, const CatalogRecord& rec)
    {
        CatalogRecord r;
        return get(k, &r) && isSameKey(&r, &rec);
    }

    bool fail(int err = 0)
    {
        if (err != 0)
            m_err = err;
        // What reached the file is unknown: the next use reads it again.
        m_index.clear();
        m_trusted = false;
        m_run.clear();
        m_runPuts = 0;
        m_file.Close();
        return false;
    }

    CCatalog& m_catalog;
    std::string m_path;
    QueueIndex& m_index;
    platform::CFile m_file;
    std::uint64_t m_count = 0; // entries, the gathered appends included
    std::vector<CatalogRecord> m_run; // changes of entries m_runAt onwards, not yet written
    std::uint64_t m_runAt = 0;
    std::size_t m_runPuts = 0; // the puts gathered in the run
    std::size_t m_putsWritten = 0;
    bool m_trusted = false;
    bool m_dirty = false;
    int m_err = 0;
};

bool CCatalog::queueFlush(QueueImage& image)
{
    if (!image.dirty())
        return true;
    const std::size_t first = image.firstDirty();
    if (!image.flush()) {
        queueIndex(image.path()).clear();
        return false;
    }
    noteQueueWrite(image.path(), first);
    if (first < image.size())
        queueWritten(image.path(), first, image.records().data() + first, image.size() - first);
    adoptImage(image);
    return true;
}

void CCatalog::adoptImage(const QueueImage& image)
{
    QueueIndex& q = queueIndex(image.path());
    q.clear();
    const platform::FileStamp now = platform::fileStamp(image.path());
    if (now.exists && now.size != image.size() * REC)
        return; // not the file the image holds: read again at the next use
    for (std::size_t k = 0; k < image.size(); ++k)
        q.first.insertFirst(keyHash(image.at(k)), std::uint32_t(k));
    q.count = image.size();
    q.stamp = now;
    q.built = true;
}

bool CCatalog::routedCopy(std::string_view neighbour, const CatalogRecord& rec, CatalogRecord* out)
{
    CatalogRecord& a = *out;
    a = rec;
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
    // An entry put into a queue waits to be sent, whatever mark the record
    // came with (a peer's record with a sent mark would never go out).
    a.pending = 1;
    setCheckSum(&a);
    return true;
}

bool CCatalog::prepareQueueIndexes(std::chrono::steady_clock::time_point deadline)
{
    bool ready = true;
    bool stepped = false;
    const int rows = connectNum();
    for (int i = 0; i < rows; ++i) {
        std::optional<std::string> path = queuePath(rowName(i));
        if (!path)
            continue;
        const platform::FileStamp now = platform::fileStamp(*path);
        QueueIndex& q = queueIndex(*path);
        if (q.built && q.stamp == now)
            continue;
        if (!now.exists) {
            q.clear();
            q.stamp = now;
            q.built = true;
            continue;
        }
        // At least one step per call, however late.
        if (stepped && std::chrono::steady_clock::now() >= deadline) {
            ready = false;
            continue;
        }
        stepped = true;
        if (!buildGoesOn(q, now))
            q.clear();
        q.built = false;
        q.building = now;
        // A queue file that cannot be read (a folder in its place, no
        // access) holds nothing up: the queue operations read what they need
        // themselves and owe what they cannot write.
        platform::CFile f;
        try {
            if (!f.Open(*path, platform::CFile::modeRead)) {
                q.clear();
                continue;
            }
            const std::uint64_t total = f.GetLength() / REC;
            readIntoIndex(q, f, total, deadline);
            if (q.count == total) {
                q.built = true;
                q.building = {};
                q.stamp = f.GetStamp();
            } else if (std::chrono::steady_clock::now() >= deadline) {
                ready = false; // goes on at the next call
            } else {
                q.clear(); // read short
            }
        } catch (const platform::CFileException&) {
            q.clear();
        }
    }
    return ready;
}

// ---------------------------------------------------------------------------
// Queue operations

void CCatalog::putToRowQueues(const std::vector<CatalogRecord>& recs, bool overTheirKeys)
{
    if (recs.empty())
        return;
    const int rows = connectNum();
    for (int i = 0; i < rows; ++i) {
        std::optional<std::string> path = queuePath(rowName(i));
        if (path)
            writeQueue(*path, recs.data(), recs.size(), overTheirKeys);
    }
}

void CCatalog::writeQueue(const std::string& path, const CatalogRecord* recs, std::size_t n, bool overTheirKeys)
{
    if (n == 0)
        return;
    // A queue that owes entries takes later ones behind them, in order
    // (once all are in its file, waiting to be on the disk, it takes them).
    if (owesEntries(path)) {
        owe(path, recs, n, 0);
        return;
    }
    QueueFile q(*this, path);
    std::size_t written = 0;
    if (q.open(true, overTheirKeys ? QueueFile::Use::find : QueueFile::Use::append)) {
        for (std::size_t k = 0; k < n; ++k) {
            if (!q.put(overTheirKeys ? q.find(recs[k]) : -1, recs[k]))
                break;
        }
        q.close();
        written = q.putsWritten();
    }
    if (written < n)
        owe(path, recs + written, n - written, q.lastError());
}

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
    QueueFile q(*this, *path);
    if (!q.open(false, QueueFile::Use::find))
        return -1;
    return static_cast<int>(q.find(*rec));
}

void CCatalog::queueRec(const char* neighbour, const CatalogRecord* rec)
{
    if (!neighbour || !rec)
        return;
    std::optional<std::string> path = queuePath(neighbour);
    CatalogRecord a;
    if (!path || !routedCopy(neighbour, *rec, &a))
        return;
    writeQueue(*path, &a, 1, true);
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
    const auto forEachRouted = [&](const std::function<void(const CatalogRecord&)>& f) {
        for (const CatalogRecord& r : m_cash.list()) {
            if (mode == 2 && !isSameOrLaterDate(r.registered, since))
                continue;
            CatalogRecord a;
            if (routedCopy(peer, r, &a))
                f(a);
        }
    };
    // The queue file is read once and written once for the whole catalog;
    // the entries come out as record-by-record queueing would leave them.
    // What cannot be written is owed, as any queue write is.
    QueueImage q;
    if (!owesEntries(*path) && q.load(*path)) {
        forEachRouted([&q](const CatalogRecord& a) { q.put(q.find(a), a); });
        if (queueFlush(q))
            return;
    }
    std::vector<CatalogRecord> routed;
    forEachRouted([&routed](const CatalogRecord& a) { routed.push_back(a); });
    owe(*path, routed.data(), routed.size(), q.lastError());
}

namespace {

// The entries of one block that a take marked sent, first to last.
struct MarkedSpan {
    std::size_t first = ~std::size_t(0);
    std::size_t last = 0;
    bool any() const { return first != ~std::size_t(0); }
};

// What a take has gathered: the entries and their positions.
struct Taken {
    CatalogRecord* out;
    std::uint64_t pos[CCatalog::MAX_TAKE_RECORDS];
    int count = 0;
};

// Takes the waiting entries of a block read from entry `at` on into taken,
// passing over those in flight, until it holds MAX_TAKE_RECORDS; returns
// how many of the block's entries were looked at. A damaged entry is marked
// sent in the block instead (it is never sent).
std::size_t takeFromBlock(CatalogRecord* block, std::size_t got, std::uint64_t at,
                          const std::vector<std::uint64_t>& inFlight, Taken& taken, MarkedSpan& marked)
{
    std::size_t k = 0;
    for (; k < got && taken.count < CCatalog::MAX_TAKE_RECORDS; ++k) {
        CatalogRecord& r = block[k];
        if (r.pending != 1 || std::binary_search(inFlight.begin(), inFlight.end(), at + k))
            continue;
        if (CCatalog::isWholeRec(&r)) {
            taken.pos[taken.count] = at + k;
            taken.out[taken.count++] = r; // as read: still waiting, with its checksum
            continue;
        }
        std::printf("Error:CCatalog::takeQueueRecs() malformed entry %llu dropped\n",
                    static_cast<unsigned long long>(at + k));
        r.pending = 0;
        CCatalog::setCheckSum(&r);
        marked.first = std::min(marked.first, k);
        marked.last = k;
    }
    return k;
}

// Takes waiting entries from entry `from` on, block by block; returns the
// first entry not looked at.
std::uint64_t takeWaiting(platform::CFile& f, std::uint64_t from, std::uint64_t total,
                          const std::vector<std::uint64_t>& inFlight, Taken& taken)
{
    // A take mostly finds its entries one after the other at the mark: the
    // first read asks for little more than a take's worth, later ones for
    // whole blocks.
    constexpr std::size_t FIRST = CCatalog::MAX_TAKE_RECORDS + 5;
    constexpr std::size_t BLOCK = 64;
    // Not zeroed: only what a read filled is looked at.
    const std::unique_ptr<CatalogRecord[]> block(new CatalogRecord[BLOCK]);
    std::uint64_t next = from;
    while (taken.count < CCatalog::MAX_TAKE_RECORDS && next < total) {
        const std::size_t size = next == from ? FIRST : BLOCK;
        const std::size_t want = std::size_t(std::min<std::uint64_t>(size, total - next));
        f.Seek(std::int64_t(next * REC), platform::CFile::begin);
        const std::size_t got = f.Read(block.get(), want * REC) / REC;
        if (got == 0)
            break;
        MarkedSpan marked;
        const std::size_t looked = takeFromBlock(block.get(), got, next, inFlight, taken, marked);
        if (marked.any()) {
            f.Seek(std::int64_t((next + marked.first) * REC), platform::CFile::begin);
            f.Write(&block[marked.first], (marked.last - marked.first + 1) * REC);
        }
        next += looked;
        if (looked < got)
            break;
    }
    return next;
}

} // namespace

std::uint64_t CCatalog::takeStart(const std::string& path, std::uint64_t total) const
{
    // Entries below the mark are known to be sent or in flight already.
    auto mark = m_queueTakenUpTo.find(path);
    return mark != m_queueTakenUpTo.end() && mark->second <= total ? mark->second : 0;
}

std::vector<std::uint64_t> CCatalog::flightPositions(const std::string& path) const
{
    std::vector<std::uint64_t> out;
    auto it = m_flight.find(path);
    if (it != m_flight.end()) {
        for (const FlightEntry& e : it->second)
            out.push_back(e.pos);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void CCatalog::writeHeld(const std::string& path, platform::CFile& f, std::uint64_t total)
{
    auto it = m_flight.find(path);
    if (it == m_flight.end())
        return;
    // The held entries first, by position: mostly they are already, being
    // the oldest taken.
    std::vector<FlightEntry>& entries = it->second;
    const auto isHeld = [](const FlightEntry& e) { return e.batch == 0; };
    auto held = std::find_if_not(entries.begin(), entries.end(), isHeld);
    if (std::any_of(held, entries.end(), isHeld))
        held = std::stable_partition(entries.begin(), entries.end(), isHeld);
    const auto byPos = [](const FlightEntry& a, const FlightEntry& b) { return a.pos < b.pos; };
    if (!std::is_sorted(entries.begin(), held, byPos))
        std::sort(entries.begin(), held, byPos);
    // They lie in runs (a take's entries mostly follow each other): each
    // run is read and written back in one piece.
    std::vector<CatalogRecord> run;
    for (auto i = entries.begin(); i != held;) {
        auto j = i + 1;
        while (j != held && j->pos == (j - 1)->pos + 1)
            ++j;
        const std::uint64_t at = i->pos;
        const std::size_t n = at < total ? std::size_t(std::min<std::uint64_t>(std::uint64_t(j - i), total - at)) : 0;
        run.resize(n);
        f.Seek(std::int64_t(at * REC), platform::CFile::begin);
        const std::size_t got = n > 0 ? f.Read(run.data(), n * REC) / REC : 0;
        bool changed = false;
        for (std::size_t k = 0; k < got; ++k) {
            CatalogRecord& r = run[k];
            if (std::memcmp(&r, &i[std::ptrdiff_t(k)].sent, REC) != 0) {
                // Rewritten since it was sent (a newer change of its key): it
                // waits on, and the next take finds it.
                noteQueueWrite(path, at + k);
                continue;
            }
            r.pending = 0;
            setCheckSum(&r);
            changed = true;
        }
        if (changed) {
            f.Seek(std::int64_t(at * REC), platform::CFile::begin);
            f.Write(run.data(), got * REC);
        }
        i = j;
    }
    entries.erase(entries.begin(), held);
    if (entries.empty())
        m_flight.erase(it);
}

void CCatalog::writeAllHeld()
{
    std::vector<std::string> paths;
    for (const auto& [path, entries] : m_flight)
        paths.push_back(path);
    for (const std::string& path : paths) {
        platform::CFile f;
        try {
            if (!f.Open(path, platform::CFile::modeReadWrite))
                continue;
            writeHeld(path, f, f.GetLength() / REC);
            f.Close();
        } catch (const platform::CFileException&) {
            // Left waiting: sent once more, which the neighbour takes as the
            // registration it holds.
        }
    }
}

void CCatalog::forgetFlight(const std::string& path)
{
    auto it = m_flight.find(path);
    if (it == m_flight.end())
        return;
    for (const FlightEntry& e : it->second)
        m_batchQueue.erase(e.batch);
    m_flight.erase(it);
}

int CCatalog::takeQueueRecs(const char* peer, CatalogRecord* out, std::uint64_t* batch)
{
    platform::CMutexLock lock(getMutex());
    if (batch)
        *batch = 0;
    if (!peer || !out)
        return 0;
    std::optional<std::string> path = queuePath(peer);
    if (!path)
        return 0;

    Taken taken;
    taken.out = out;
    bool failed = false;
    QueueIndex& index = queueIndex(*path);
    try {
        platform::CFile f;
        const std::int64_t total = openQueue(f, *path);
        if (total < 0)
            return 0;
        // Neither taking nor a sent mark changes a key: a trusted index stays
        // trusted.
        const bool trusted = index.built && index.stamp == f.GetStamp();
        // First the marks the neighbour's word allows, so that an entry
        // rewritten while in flight is found by this take.
        writeHeld(*path, f, std::uint64_t(total));
        m_queueTakenUpTo[*path] = takeWaiting(f, takeStart(*path, std::uint64_t(total)), std::uint64_t(total),
                                              flightPositions(*path), taken);
        if (taken.count > 0) {
            const std::uint64_t b = ++s_lastBatch;
            std::vector<FlightEntry>& entries = m_flight[*path];
            for (int k = 0; k < taken.count; ++k)
                entries.push_back({batch ? b : 0, taken.pos[k], out[k]});
            if (batch) {
                m_batchQueue[b] = *path;
                *batch = b;
            } else {
                writeHeld(*path, f, std::uint64_t(total));
            }
        }
        if (trusted)
            index.stamp = f.GetStamp();
        f.Close();
    } catch (const platform::CFileException&) {
        // The entries taken go out all the same; a sent mark that could not
        // be written leaves its entry waiting, and it is sent again later,
        // which the receiver takes as the registration it already has.
        failed = true;
        index.clear();
    }
    // Only a queue read to its end without finding anything waiting or in
    // flight goes; one that could not be read may still hold waiting entries.
    if (taken.count == 0 && !failed && m_flight.count(*path) == 0) {
        platform::deleteFile(*path);
        queueFileMoved(*path, {});
        m_queueTakenUpTo.erase(*path);
        m_queueIndex.erase(*path);
    }
    return taken.count;
}

void CCatalog::confirmQueueRecs(std::uint64_t batch)
{
    platform::CMutexLock lock(getMutex());
    auto it = m_batchQueue.find(batch);
    if (it == m_batchQueue.end())
        return;
    for (FlightEntry& e : m_flight[it->second]) {
        if (e.batch == batch)
            e.batch = 0;
    }
    m_batchQueue.erase(it);
}

void CCatalog::releaseQueueRecs(std::uint64_t batch)
{
    platform::CMutexLock lock(getMutex());
    auto it = m_batchQueue.find(batch);
    if (it == m_batchQueue.end())
        return;
    const std::string path = it->second;
    m_batchQueue.erase(it);
    std::vector<FlightEntry>& entries = m_flight[path];
    const auto released = std::stable_partition(entries.begin(), entries.end(),
                                                [batch](const FlightEntry& e) { return e.batch != batch; });
    // Waiting again: the next take must reach them.
    for (auto e = released; e != entries.end(); ++e)
        noteQueueWrite(path, e->pos);
    entries.erase(released, entries.end());
    if (entries.empty())
        m_flight.erase(path);
}

std::size_t CCatalog::queueEntriesInFlight() const
{
    std::size_t n = 0;
    for (const auto& [path, entries] : m_flight)
        n += entries.size();
    return n;
}

void CCatalog::renameQueue(const char* oldName, const char* newName)
{
    if (!oldName || !newName)
        return;
    std::optional<std::string> from = queuePath(oldName);
    std::optional<std::string> to = queuePath(newName);
    if (!from || !to || *from == *to)
        return;
    // What the old queue still owes goes to the new one, behind what that
    // owes already.
    moveOwed(*from, *to);
    // Entries in flight under the old name simply wait again, in whichever
    // file they end up.
    forgetFlight(*from);
    if (!platform::fileExists(*from))
        return;
    m_queueTakenUpTo.erase(*from);
    m_queueTakenUpTo.erase(*to);
    if (!platform::fileExists(*to)) {
        m_queueIndex.erase(*to);
        if (platform::renameFile(*from, *to)) {
            // The same file under its new name: its index goes with it, and
            // so does what is to be put on the disk of it, its new name too.
            queueFileMoved(*from, *to);
            auto node = m_queueIndex.extract(*from);
            if (!node.empty()) {
                node.key() = *to;
                m_queueIndex.insert(std::move(node));
            }
        }
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
    if (queueFlush(newQ)) {
        platform::deleteFile(*from);
        queueFileMoved(*from, {});
        m_queueIndex.erase(*from);
    }
}

// ---------------------------------------------------------------------------
// Queue entries owed

namespace {

std::string owedFile(const std::string& queuePath)
{
    return queuePath + ".owed";
}

// The neighbour's name as its queue file bears it, for the console.
std::string queueName(const std::string& queuePath)
{
    std::string name = paths::baseName(queuePath);
    if (name.size() > 4)
        name.resize(name.size() - 4); // ".dat"
    return name;
}

// Appends records to a file (created when missing) after its whole records.
bool appendRecords(const std::string& path, const CatalogRecord* recs, std::size_t n)
{
    platform::CFile f;
    try {
        if (openQueue(f, path) < 0)
            return false;
        f.Seek(0, platform::CFile::end);
        f.Write(recs, n * REC);
        f.Close();
    } catch (const platform::CFileException&) {
        return false;
    }
    return true;
}

} // namespace

void CCatalog::putOwed(const std::string& path, OwedQueue& q, const CatalogRecord& rec)
{
    std::string key = CCatalogCash::keyOf(rec);
    // Every row gets the same record: another queue that owes it lends it.
    std::shared_ptr<const CatalogRecord> shared;
    for (const auto& [otherPath, other] : m_owed) {
        if (otherPath == path)
            continue;
        auto it = other.at.find(key);
        if (it != other.at.end() && std::memcmp(other.recs[it->second].get(), &rec, REC) == 0) {
            shared = other.recs[it->second];
            break;
        }
    }
    if (!shared)
        shared = std::make_shared<const CatalogRecord>(rec);
    auto [it, added] = q.at.try_emplace(std::move(key), q.recs.size());
    if (added)
        q.recs.push_back(std::move(shared));
    else
        q.recs[it->second] = std::move(shared); // the latest, where its key first stood
}

void CCatalog::owe(const std::string& path, const CatalogRecord* recs, std::size_t n, int err)
{
    if (n == 0)
        return;
    OwedQueue& q = m_owed[path];
    q.writtenRound = 0;
    for (std::size_t k = 0; k < n; ++k)
        putOwed(path, q, recs[k]);
    if (err != 0)
        q.err = err;
    if (!q.told)
        tellOwed(path, q, false);
    // Added to what the file on the disk holds; once that fails, it is
    // written whole by a later tick.
    if (q.saved) {
        q.saved = appendRecords(owedFile(path), recs, n);
        if (q.saved) {
            q.fileRecs += n;
            noteUnsynced(owedFile(path), SyncKind::owed);
        }
    }
    // Superseded records are folded out once they make up half the file,
    // which keeps it within twice the keys owed. Should the rewrite fail,
    // the file as appended still holds every latest record.
    constexpr std::size_t FOLD_SLACK = 64;
    if (q.saved && q.fileRecs > 2 * q.recs.size() + FOLD_SLACK)
        saveOwed(path, q);
    if (!q.saved)
        m_cash.deferWrites();
}

bool CCatalog::owesEntries(const std::string& path) const
{
    auto it = m_owed.find(path);
    return it != m_owed.end() && !it->second.recs.empty();
}

bool CCatalog::owedUnsaved() const
{
    // Entries written into their queue file since are there, whatever
    // became of <queue file>.owed.
    for (const auto& [path, q] : m_owed) {
        if (!q.saved && !q.recs.empty())
            return true;
    }
    return false;
}

std::size_t CCatalog::owedQueueEntries() const
{
    std::size_t n = 0;
    for (const auto& [path, q] : m_owed)
        n += q.recs.size();
    return n;
}

bool CCatalog::flushOwed(const std::string& path, OwedQueue& q)
{
    QueueFile f(*this, path);
    std::size_t written = 0;
    if (f.open(true, QueueFile::Use::find)) {
        for (const auto& a : q.recs) {
            if (!f.put(f.find(*a), *a))
                break;
        }
        f.close();
        written = f.putsWritten();
    }
    if (f.lastError() != 0)
        q.err = f.lastError();
    if (written == 0)
        return q.recs.empty();
    // What reached the queue goes; <queue file>.owed may keep it until the
    // rest follows, since writing it again over its key changes nothing.
    q.recs.erase(q.recs.begin(), q.recs.begin() + std::ptrdiff_t(written));
    q.at.clear();
    for (std::size_t k = 0; k < q.recs.size(); ++k)
        q.at.emplace(CCatalogCash::keyOf(*q.recs[k]), k);
    return q.recs.empty();
}

bool CCatalog::saveOwed(const std::string& path, OwedQueue& q)
{
    const bool ok = platform::replaceFileAtomically(owedFile(path), [&q](const platform::PieceWriter& write) {
        for (const auto& a : q.recs) {
            if (!write(a.get(), REC))
                return false;
        }
        return true;
    });
    if (ok)
        q.fileRecs = q.recs.size();
    return ok;
}

void CCatalog::flushOwedQueues()
{
    for (auto it = m_owed.begin(); it != m_owed.end();) {
        OwedQueue& q = it->second;
        const std::uint64_t bytes = q.recs.size() * REC;
        // A disk without the room would only fail again.
        const std::int64_t free = platform::isNoRoom(q.err) ? platform::freeSpace(getCatalogFolder()) : -1;
        const bool room = free < 0 || std::uint64_t(free) >= bytes + (64u << 10);
        // <queue file>.owed goes only once what it held is on the disk in
        // the queue file: a power cut must leave the entries in one of them.
        // Later entries of that queue wait with it meanwhile, in order.
        if (room && (q.recs.empty() || flushOwed(it->first, q))) {
            if (q.writtenRound == 0) {
                q.writtenRound = roundOfWrites();
                wantSynced(q.writtenRound);
            }
            ++it;
            continue;
        }
        if (!q.told)
            tellOwed(it->first, q, false);
        if (!q.saved && room)
            q.saved = saveOwed(it->first, q);
        ++it;
    }
    dropOwedOnDisk();
}

void CCatalog::dropOwedOnDisk()
{
    for (auto it = m_owed.begin(); it != m_owed.end();) {
        OwedQueue& q = it->second;
        if (!q.recs.empty() || q.writtenRound == 0 || !isSynced(q.writtenRound)) {
            ++it;
            continue;
        }
        platform::deleteFile(owedFile(it->first));
        if (q.told || q.fromLastRun)
            tellOwed(it->first, q, true);
        it = m_owed.erase(it);
    }
}

void CCatalog::tellOwed(const std::string& path, OwedQueue& q, bool written)
{
    const std::string name = queueName(path);
    char text[512];
    if (written) {
        std::printf("CCatalog: the queue of node %s is written again\n", name.c_str());
        std::snprintf(text, sizeof text, "ノード %s へ送るカタログの変更をキューファイル (%s.dat) に書き込みました。",
                      name.c_str(), name.c_str());
    } else if (platform::isNoRoom(q.err)) {
        std::printf("●●ERROR　ディスクに空きがないため、ノード %s のキューファイル %s.dat に書き込めません。"
                    "空きができしだい書き込みます\n",
                    name.c_str(), name.c_str());
        std::snprintf(text, sizeof text,
                      "ディスクに空きがないため、ノード %s へ送るカタログの変更をキューファイル (%s.dat) に"
                      "書き込めません。空きができしだい書き込みます。",
                      name.c_str(), name.c_str());
    } else {
        std::printf("●●ERROR　ノード %s のキューファイル %s.dat に書き込めません (%d)。書き込めるまで繰り返します\n",
                    name.c_str(), name.c_str(), q.err);
        std::snprintf(text, sizeof text,
                      "ノード %s へ送るカタログの変更をキューファイル (%s.dat) に書き込めません（エラー %d）。"
                      "書き込めるまで繰り返します。",
                      name.c_str(), name.c_str(), q.err);
    }
    std::fflush(stdout);
    q.told = !written;
    m_notices.push_back(cp932::fromUtf8(text).value_or(text));
}

void CCatalog::moveOwed(const std::string& from, const std::string& to)
{
    auto it = m_owed.find(from);
    if (it == m_owed.end())
        return;
    OwedQueue moved = std::move(it->second);
    m_owed.erase(it);
    std::vector<CatalogRecord> recs;
    recs.reserve(moved.recs.size());
    for (const auto& a : moved.recs)
        recs.push_back(*a);
    owe(to, recs.data(), recs.size(), moved.err);
    if (m_owed[to].saved)
        platform::deleteFile(owedFile(from));
}

void CCatalog::loadOwed()
{
    // Every queue's, whether a row names it or not: see OwedQueue.
    static constexpr std::string_view SUFFIX = ".dat.owed";
    std::vector<platform::DirEntry> entries;
    if (!platform::listDirectory(getCatalogFolder(), "*", entries))
        return;
    for (const platform::DirEntry& e : entries) {
        const std::string_view file = cp932::fieldText(e.fd.cFileName, MAX_PATH);
        if (file.size() <= SUFFIX.size() || file.substr(file.size() - SUFFIX.size()) != SUFFIX)
            continue;
        std::optional<std::string> path = queuePath(file.substr(0, file.size() - SUFFIX.size()));
        if (!path || m_owed.count(*path) != 0 || !platform::isRegularFile(owedFile(*path)))
            continue;
        std::string bytes;
        if (!platform::readWholeFile(owedFile(*path), bytes))
            continue;
        OwedQueue& q = m_owed[*path];
        q.fromLastRun = true;
        q.fileRecs = bytes.size() / REC;
        for (std::size_t at = 0; at + REC <= bytes.size(); at += REC) {
            CatalogRecord r;
            std::memcpy(&r, bytes.data() + at, REC);
            // The node's own file, yet checked like any record before it
            // is queued.
            if (!isCheckSumOk(&r) || !isWholeRec(&r)) {
                std::printf("Error:CCatalog: a damaged entry of %s.owed dropped\n", queueName(*path).c_str());
                continue;
            }
            putOwed(*path, q, r);
        }
        if (q.recs.empty()) {
            m_owed.erase(*path);
            platform::deleteFile(owedFile(*path));
        }
    }
}

// ---------------------------------------------------------------------------
// The next file to fetch

bool CCatalog::isFetchable(const CatalogRecord& rec)
{
    // A file whose last chunk is in, on its way to the disk, is not asked
    // for again.
    return rec.complete == 0 && nodeText(rec) != ownNodeName() && hasSafeNames(rec)
        && rec.findData.nFileSizeHigh == 0 && !isCompleting(rec);
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
