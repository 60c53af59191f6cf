// The single catalog, its record store catalog.dat, and the small queries.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"
#include "store/catalog_journal.h"
#include "store/events.h"
#include "store/received_copies.h"
#include "store/settings.h"

using namespace catalog_detail;

namespace {

constexpr std::uint64_t REC = sizeof(CatalogRecord);

} // namespace

// ---------------------------------------------------------------------------
// Shared helpers

namespace catalog_detail {

std::string_view ownNodeName()
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    const char* n = s ? s->getNodeName() : nullptr;
    return n ? n : "";
}

std::string_view ownPartyName()
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    const char* n = s ? s->getPartyName() : nullptr;
    return n ? n : "";
}

int connectNum()
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    return s ? s->getConnectNum() : 0;
}

std::string_view rowName(int i)
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    const char* n = s ? s->getRecName(i) : nullptr;
    return n ? n : "";
}

std::string sendFolder()
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    const char* f = s ? s->getSendFolder() : nullptr;
    return f ? f : "";
}

std::string recvFolder()
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    const char* f = s ? s->getRecvFolder() : nullptr;
    return f ? f : "";
}

bool hasSafeNames(const CatalogRecord& rec)
{
    return paths::isSafeName(nodeText(rec)) && paths::isSafeName(fileText(rec));
}

std::optional<std::string> queuePath(std::string_view nodeName)
{
    if (!CCatalog::isUsableNodeName(nodeName))
        return std::nullopt;
    std::string file(nodeName);
    file += ".dat";
    return paths::joinName(CCatalog::getCatalogFolder(), file);
}

std::string consoleText(std::string_view cp932Name)
{
    if (cp932Name.empty())
        return "?";
    std::optional<std::string> utf8 = cp932::toUtf8(cp932Name);
    return utf8 ? *utf8 : std::string(cp932Name);
}

std::string consoleText(const char* cp932Name)
{
    return consoleText(std::string_view(cp932Name ? cp932Name : ""));
}

void fireRecord(const CatalogRecord& rec)
{
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&rec);
}

void fireRecordAt(int index, const CatalogRecord& rec)
{
    ZQ_EVENTCATALOG::getInstance()->fireRecordAt(index, &rec);
}

void fireReset()
{
    ZQ_EVENTCATALOG::getInstance()->fireReset();
}

} // namespace catalog_detail

// ---------------------------------------------------------------------------
// CCatalogCash

std::string CCatalogCash::keyOf(std::string_view node, std::string_view file)
{
    std::string key;
    key.reserve(node.size() + 1 + file.size());
    key.append(node);
    key.push_back('\0'); // never inside a field's text, so the pair is unambiguous
    key.append(file);
    return key;
}

std::string CCatalogCash::keyOf(const CatalogRecord& rec)
{
    return keyOf(nodeText(rec), fileText(rec));
}

namespace {

// Records that the next compaction drops (deleted or bad).
int notLive(const CatalogRecord& rec)
{
    return isLive(rec) ? 0 : 1;
}

} // namespace

std::uint32_t CCatalogCash::keyHash(std::string_view node, std::string_view file)
{
    // FNV-1a over the node, a separator no field's text holds, and the file.
    std::uint32_t h = 2166136261u;
    auto add = [&h](std::string_view text) {
        for (const char c : text) {
            h ^= static_cast<unsigned char>(c);
            h *= 16777619u;
        }
    };
    add(node);
    add(std::string_view("\0", 1));
    add(file);
    return h;
}

void CCatalogCash::rebuildIndex()
{
    m_notLive = 0;
    for (const CatalogRecord& r : m_list)
        m_notLive += notLive(r);
    buildIndex();
}

void CCatalogCash::buildIndex() const
{
    m_indexStale = false;
    std::size_t slots = 16;
    while (slots < m_list.size() * 2)
        slots *= 2;
    std::vector<IndexSlot>(slots, IndexSlot{EMPTY, 0}).swap(m_slots);
    m_slotsUsed = 0;
    for (std::size_t i = 0; i < m_list.size(); ++i)
        indexInsert(static_cast<int>(i), keyHash(nodeText(m_list[i]), fileText(m_list[i])));
}

bool CCatalogCash::indexFromList() const
{
    if (!m_indexStale)
        return false;
    buildIndex();
    return true;
}

void CCatalogCash::indexInsert(int i, std::uint32_t hash) const
{
    // Keep the table at most half full of live and removed slots.
    if ((m_slotsUsed + 1) * 2 > m_slots.size()) {
        buildIndex(); // from the list, which holds record i already
        return;
    }
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
        if (m_slots[s].index == EMPTY || m_slots[s].index == REMOVED) {
            if (m_slots[s].index == EMPTY)
                ++m_slotsUsed;
            m_slots[s] = IndexSlot{i, hash};
            return;
        }
    }
}

void CCatalogCash::indexAppend(int i)
{
    m_notLive += notLive(m_list[i]);
    if (indexFromList())
        return; // the list holds record i already
    indexInsert(i, keyHash(nodeText(m_list[i]), fileText(m_list[i])));
}

void CCatalogCash::indexReplace(int i, const CatalogRecord& oldRec, const CatalogRecord& newRec)
{
    if (nodeText(oldRec) == nodeText(newRec) && fileText(oldRec) == fileText(newRec))
        return;
    if (indexFromList())
        return; // the list holds newRec at i already
    const std::uint32_t oldHash = keyHash(nodeText(oldRec), fileText(oldRec));
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t s = oldHash & mask; m_slots[s].index != EMPTY; s = (s + 1) & mask) {
        if (m_slots[s].index == i) {
            m_slots[s].index = REMOVED;
            break;
        }
    }
    indexInsert(i, keyHash(nodeText(newRec), fileText(newRec)));
}

template <class F>
void CCatalogCash::forEachIndexOf(std::string_view node, std::string_view file, F f) const
{
    indexFromList();
    if (m_slots.empty())
        return;
    const std::uint32_t hash = keyHash(node, file);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t s = hash & mask; m_slots[s].index != EMPTY; s = (s + 1) & mask) {
        const IndexSlot& slot = m_slots[s];
        if (slot.index < 0 || slot.hash != hash)
            continue;
        const CatalogRecord& r = m_list[std::size_t(slot.index)];
        if (nodeText(r) == node && fileText(r) == file)
            f(slot.index);
    }
}

std::vector<int> CCatalogCash::indexesOf(const CatalogRecord& rec) const
{
    std::vector<int> out;
    forEachIndexOf(nodeText(rec), fileText(rec), [&out](int i) { out.push_back(i); });
    std::sort(out.begin(), out.end());
    return out;
}

CCatalogCash::CCatalogCash() : m_journal(std::make_unique<CatalogJournal>()) {}

CCatalogCash::~CCatalogCash() = default;

void CCatalogCash::setupList(const std::string& path, int writeThrough, int maxRecords)
{
    m_path = path;
    m_writeThrough = writeThrough;
    m_journal->setPath(paths::joinFixed(paths::dirName(path), "catalog.jnl"));

    platform::CFile f;
    int err = 0;
    if (!f.Open(path, platform::CFile::modeCreate | platform::CFile::modeNoTruncate
                          | platform::CFile::modeReadWrite,
                &err)) {
        std::printf("Error:CCatalogCash::setupList()-ctlgFile.Open() %d\n", err);
        m_loadFailed = true;
        return;
    }
    const std::size_t before = m_list.size();
    try {
        const std::uint64_t length = f.GetLength();
        if (length > std::uint64_t(maxRecords) * REC) {
            // Read whole, such a file would take the memory of the machine;
            // it is left as it is for the user to look at.
            std::printf("Error:CCatalogCash::setupList() %s holds %llu bytes, more than %d records;"
                        " not loaded, left as it is\n",
                        path.c_str(), static_cast<unsigned long long>(length), maxRecords);
            char text[512];
            std::snprintf(text, sizeof text,
                          "カタログファイル catalog.dat が大きすぎるため読み込みません（%llu バイト、"
                          "上限 %d 件）。ファイルはそのまま残し、書き換えません。",
                          static_cast<unsigned long long>(length), maxRecords);
            notice(text);
            f.Close();
            m_loadFailed = true;
            return;
        }
        std::uint64_t whole = length / REC;
        // Room to grow by half without moving: a move copies the whole list
        // into a new block while the old one still stands, and room that is
        // never written costs address space, not memory.
        m_list.reserve(before + whole + whole / 2 + 64);
        m_list.resize(before + whole);
        const std::size_t got = f.Read(m_list.data() + before, whole * REC);
        if (got < whole * REC) {
            // The file shrank under us: keep what was read whole.
            whole = got / REC;
            m_list.resize(before + whole);
        } else if (length > whole * REC) {
            // A partial record at the end (an interrupted append) is no
            // record; its bytes are kept for the owner to copy out before
            // it is cut (cutPartialTail).
            m_partialTail.resize(std::size_t(length - whole * REC));
            m_partialTail.resize(f.Read(m_partialTail.data(), m_partialTail.size()));
            m_partialTailAt = whole * REC;
        }
        f.Close();
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalogCash::setupList() read %d\n", e.m_errno);
        m_list.resize(before);
        m_loadFailed = true;
    }
    // The keys are indexed at the first lookup or change: records the owner
    // drops first (damaged ones, which may all bear the same empty key and
    // so make one long chain of the table) are never indexed.
    m_notLive = 0;
    for (const CatalogRecord& r : m_list)
        m_notLive += notLive(r);
    m_indexStale = true;
}

void CCatalogCash::cutPartialTail()
{
    if (m_partialTail.empty())
        return;
    const std::uint64_t loaded = m_partialTailAt + m_partialTail.size();
    m_partialTail.clear();
    // Only the file as it was loaded: appends then land at count * 820,
    // where their records belong.
    platform::CFile f;
    try {
        if (f.Open(m_path, platform::CFile::modeReadWrite) && f.GetLength() == loaded)
            f.SetLength(m_partialTailAt);
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalogCash::cutPartialTail() %d\n", e.m_errno);
    }
}

std::map<int, CatalogRecord> CCatalogCash::journalCopies() const
{
    platform::FileId id;
    if (m_loadFailed || !platform::fileId(m_path, &id))
        return {};
    return m_journal->lastCopies(id);
}

void CCatalogCash::notice(const char* utf8Text)
{
    m_notices.push_back(cp932::fromUtf8(utf8Text).value_or(utf8Text));
}

std::vector<std::string> CCatalogCash::takeNotices()
{
    std::vector<std::string> out;
    out.swap(m_notices);
    return out;
}

CatalogRecord* CCatalogCash::getRec(CatalogRecord* out, int i) const
{
    if (i < 0 || i >= getCount())
        std::memset(out, 0, sizeof *out);
    else
        *out = m_list[i];
    return out;
}

int CCatalogCash::findRec(std::string_view node, std::string_view file, CatalogRecord* out) const
{
    int i = -1;
    forEachIndexOf(node, file, [&i](int k) {
        if (i < 0 || k < i)
            i = k;
    });
    if (i < 0)
        return -1;
    if (out)
        *out = m_list[i];
    return i;
}

int CCatalogCash::findRec(const CatalogRecord& keyOfRec, CatalogRecord* out) const
{
    return findRec(nodeText(keyOfRec), fileText(keyOfRec), out);
}

void CCatalogCash::setRec(int i, const CatalogRecord& rec)
{
    if (i < 0 || i >= getCount())
        return;
    setRecNoWrite(i, rec);
    if (m_writeThrough == 1)
        writeRec(i);
}

void CCatalogCash::setRecNoWrite(int i, const CatalogRecord& rec)
{
    if (i < 0 || i >= getCount())
        return;
    // Overwriting a complete registration in place: a torn write must not
    // lose it, so its write goes through the journal.
    if (m_writeThrough == 1 && m_list[i].complete == 1)
        m_protect.insert(i);
    if (m_rewrite.underWay && m_rewrite.changed.insert(i).second && std::size_t(i) < m_rewrite.count
        && m_list[i].complete == 1)
        m_rewrite.protect.insert(i);
    const CatalogRecord old = m_list[i];
    m_notLive += notLive(rec) - notLive(old);
    m_list[i] = rec;
    indexReplace(i, old, rec);
}

void CCatalogCash::addRec(const CatalogRecord& rec)
{
    addRecNoWrite(rec);
    if (m_writeThrough == 1)
        writeRec(rec);
}

void CCatalogCash::addRecNoWrite(const CatalogRecord& rec)
{
    m_list.push_back(rec);
    indexAppend(getCount() - 1);
}

void CCatalogCash::setList(const std::vector<CatalogRecord>& list)
{
    ++m_generation;
    m_list = list;
    rebuildIndex();
    m_protect.clear();
    if (m_writeThrough == 1)
        wreteList();
    else
        m_rewriteOwed = false; // the list is written whole at release
}

bool CCatalogCash::canWrite(const char* who) const
{
    if (m_path.empty())
        return false;
    if (m_loadFailed) {
        // The file on disk holds records this run never saw: writing our
        // list over it would lose them.
        std::printf("Error:CCatalogCash::%s() catalog file was not loaded; left as it is\n", who);
        return false;
    }
    return true;
}

bool CCatalogCash::wreteList()
{
    if (!canWrite("wreteList"))
        return false;
    static const char nothing = 0;
    const void* data = m_list.empty() ? static_cast<const void*>(&nothing) : m_list.data();
    int err = 0;
    if (!platform::replaceFileAtomically(m_path, data, m_list.size() * REC, &err)) {
        std::printf("Error:CCatalogCash::wreteList()-ctlgFile.Open() %d\n", err);
        writeFailed(err);
        return false;
    }
    m_protect.clear();
    writtenWhole();
    return true;
}

void CCatalogCash::writtenWhole()
{
    // A new file: the journal's copies belong to the old one.
    m_journal->clear();
    m_journalFull = false;
    if (m_rewriteOwed) {
        std::printf("CCatalogCash::wreteList() catalog file written again\n");
        if (m_failureTold)
            notice("カタログ (catalog.dat) を保存しました。");
    }
    m_rewriteOwed = false;
    m_failureTold = false; // a later failure is told again
    // The new file and its name are for the next sync to put on the disk.
    m_writtenInPlace = true;
}

void CCatalogCash::writeFailed(int err)
{
    m_rewriteOwed = true;
    m_lastFailureNoRoom = platform::isNoRoom(err);
    if (m_failureTold)
        return;
    m_failureTold = true;
    if (m_lastFailureNoRoom) {
        std::printf("●●ERROR　ディスクに空きがないため catalog.dat を保存できません。空きができしだい保存します\n");
        notice("ディスクに空きがないため、カタログ (catalog.dat) を保存できません。空きができしだい保存します。");
    } else {
        std::printf("●●ERROR　catalog.dat を保存できません (%d)。保存できるまで繰り返します\n", err);
        char text[256];
        std::snprintf(text, sizeof text, "カタログ (catalog.dat) を保存できません（エラー %d）。保存できるまで繰り返します。",
                      err);
        notice(text);
    }
    std::fflush(stdout);
}

bool CCatalogCash::rewriteDue() const
{
    if (!rewriteOwed() || m_rewrite.underWay || m_writeThrough != 1 || m_loadFailed)
        return false;
    if (m_rewriteOwed && m_lastFailureNoRoom) {
        // Writing the whole list into a disk that has not got its room
        // would only fail again, after filling what space there is.
        const std::int64_t free = platform::freeSpace(paths::dirName(m_path));
        if (free >= 0 && std::uint64_t(free) < m_list.size() * REC + (64u << 10))
            return false;
    }
    return true;
}

std::string CCatalogCash::beginRewrite()
{
    if (!canWrite("beginRewrite"))
        return {};
    std::string temp;
    int err = 0;
    const bool ok = platform::writeTemporary(
        m_path, [this](const platform::PieceWriter& write) { return m_list.empty() || write(m_list.data(), m_list.size() * REC); },
        &temp, &err);
    if (!ok) {
        std::printf("Error:CCatalogCash::beginRewrite() %d\n", err);
        writeFailed(err);
        return {};
    }
    m_rewrite.underWay = true;
    m_rewrite.generation = m_generation;
    m_rewrite.count = m_list.size();
    m_rewrite.changed.clear();
    m_rewrite.protect.clear();
    return temp;
}

bool CCatalogCash::finishRewrite(const std::string& temp, bool synced)
{
    m_rewrite.underWay = false;
    int err = 0;
    if (!synced || m_generation != m_rewrite.generation || !platform::renameFile(temp, m_path, &err)) {
        platform::deleteFile(temp);
        if (err != 0)
            writeFailed(err);
        return false;
    }
    m_protect = std::move(m_rewrite.protect);
    writtenWhole();
    // What changed since the list was written goes in place, through the
    // journal where it goes over a complete record.
    std::vector<int> changed(m_rewrite.changed.begin(), m_rewrite.changed.end());
    for (std::size_t i = m_rewrite.count; i < m_list.size(); ++i)
        changed.push_back(static_cast<int>(i));
    m_rewrite.changed.clear();
    writeRecs(changed);
    return true;
}

void CCatalogCash::writeRec(int i)
{
    if (i < 0 || i >= getCount())
        return;
    writeRecs({i});
}

void CCatalogCash::writeRec(const CatalogRecord& rec)
{
    (void)rec; // the record was just appended: it is the last one of the list
    if (m_list.empty())
        return;
    writeRecs({getCount() - 1});
}

void CCatalogCash::writeRecs(const std::vector<int>& indexes)
{
    if (m_writeThrough != 1 || indexes.empty() || !canWrite("writeRec"))
        return;
    // catalog.dat is behind the list: the owed rewrite brings these too.
    if (m_rewriteOwed)
        return;
    platform::CFile f;
    int err = 0;
    if (!f.Open(m_path, platform::CFile::modeCreate | platform::CFile::modeNoTruncate
                            | platform::CFile::modeReadWrite,
                &err)) {
        std::printf("Error::CCatalogCash::writeRec()");
        writeFailed(err);
        return;
    }
    try {
        const std::uint64_t length = f.GetLength();
        const std::uint64_t want = m_list.size() * REC;
        std::vector<int> sorted(indexes);
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        if (startsBeyond(sorted, length)) {
            // A hole before a run: only a whole rewrite puts every record at
            // its offset again.
            f.Close();
            std::printf("Error::CCatalogCash::writeRec() catalog.dat is shorter than the list\n");
            m_rewriteOwed = true;
            return;
        }
        bool journalFailed = false;
        const std::vector<int> journaled = journalFirst(sorted, length, &journalFailed);
        if (journalFailed) {
            // Written over in place without its copy on the disk, a complete
            // record would be lost to a torn write: the whole rewrite, made
            // under another name and renamed into place, brings it instead.
            f.Close();
            return;
        }
        writeRuns(f, sorted);
        if (f.GetLength() > want)
            f.SetLength(want);
        f.Close();
        m_writtenInPlace = true;
        for (int i : journaled)
            m_protect.erase(i);
        // Folded into the file by a whole rewrite once it holds a quarter
        // of the catalog (and at least a megabyte).
        if (!journaled.empty() && m_journal->size() > std::max<std::uint64_t>(1u << 20, want / 4))
            m_journalFull = true;
    } catch (const platform::CFileException& e) {
        std::printf("Error::CCatalogCash::writeRec() %d\n", e.m_errno);
        writeFailed(e.m_errno);
    }
}

std::size_t CCatalogCash::runStarts(const std::vector<int>& sorted, const std::function<void(int)>& atStart)
{
    std::size_t runs = 0;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        if (k == 0 || sorted[k] != sorted[k - 1] + 1) {
            ++runs;
            if (atStart)
                atStart(sorted[k]);
        }
    }
    return runs;
}

bool CCatalogCash::startsBeyond(const std::vector<int>& sorted, std::uint64_t length)
{
    bool beyond = false;
    runStarts(sorted, [&](int first) { beyond = beyond || std::uint64_t(first) * REC > length; });
    return beyond;
}

std::vector<int> CCatalogCash::journalFirst(const std::vector<int>& sorted, std::uint64_t length, bool* failed)
{
    *failed = false;
    // Copies of what goes over complete records reach the disk first.
    std::vector<std::pair<int, CatalogRecord>> copies;
    for (int i : sorted)
        if (std::uint64_t(i) * REC < length && m_protect.count(i) != 0)
            copies.emplace_back(i, m_list[std::size_t(i)]);
    if (copies.empty())
        return {};
    platform::FileId id;
    int jerr = 0;
    if (!platform::fileId(m_path, &id)) {
        jerr = errno;
    } else if (m_journal->append(id, copies, &jerr)) {
        std::vector<int> journaled;
        journaled.reserve(copies.size());
        for (const auto& c : copies)
            journaled.push_back(c.first);
        return journaled;
    }
    std::printf("Error::CCatalogCash::writeRec() journal %d; catalog.dat is written whole instead\n", jerr);
    // The change waits for the whole rewrite like any other failed write,
    // and the user hears of it at once.
    writeFailed(jerr != 0 ? jerr : EIO);
    *failed = true;
    return {};
}

void CCatalogCash::writeRuns(platform::CFile& f, std::vector<int> sorted)
{
    // Neighbouring records go out in one write. Many scattered ones go out
    // as the one span from the first to the last: the records in between
    // are the file's own bytes already, and one large write is far cheaper
    // than thousands of small ones.
    if (runStarts(sorted, nullptr) > 64) {
        const int first = sorted.front();
        const int last = sorted.back();
        sorted.clear();
        for (int i = first; i <= last; ++i)
            sorted.push_back(i);
    }
    std::size_t k = 0;
    while (k < sorted.size()) {
        const int first = sorted[k];
        std::size_t run = 1;
        while (k + run < sorted.size() && sorted[k + run] == first + int(run))
            ++run;
        k += run;
        if (first < 0 || first + int(run) > getCount())
            continue;
        f.Seek(std::int64_t(first) * std::int64_t(REC), platform::CFile::begin);
        f.Write(&m_list[std::size_t(first)], run * REC);
    }
}

// ---------------------------------------------------------------------------
// The single catalog

CCatalog* CCatalog::s_instance = nullptr;
std::uint64_t CCatalog::s_lastBatch = 0;
int CCatalog::s_maxRecords = CCatalog::MAX_RECORDS;
int CCatalog::s_maxFileRecords = CCatalog::MAX_FILE_RECORDS;

void CCatalog::setRecordLimits(int fromNeighbours, int inFile)
{
    s_maxRecords = fromNeighbours;
    s_maxFileRecords = inFile;
}

CCatalog* CCatalog::getInstance()
{
    if (!s_instance)
        s_instance = new CCatalog();
    return s_instance;
}

void CCatalog::releaseInstance()
{
    CCatalog* c = s_instance;
    s_instance = nullptr;
    delete c;
}

platform::CRecursiveMutex& CCatalog::getMutex()
{
    static platform::CRecursiveMutex mutex;
    return mutex;
}

std::string CCatalog::getCatalogFolder()
{
    CPropatyTandrel* s = CPropatyTandrel::getInstance();
    if (s)
        return s->getCatalogFolder();
    return paths::joinFixed(paths::currentDirectory(), "CATALOG");
}

CCatalog::CCatalog()
{
    load();
    loadOwed();
    loadDeleteMarks();
    redoLostDeletions();
    loadResyncMark();
    startCopyCheck();
}

CCatalog::~CCatalog()
{
    // Fetched files on their way to the disk complete now where they can
    // (a few rounds: a slow disk must not hold the end long), and no sync
    // outlives the catalog.
    settleSyncs(3);
    m_syncs.reset();
    // A check not applied yet is made again at the next start.
    m_copyCheck.reset();
    m_linkCache.clear();
    // The sent marks of entries the neighbours hold; what is still in
    // flight waits in its queue file for the next run.
    writeAllHeld();
    // The queue entries still owed are tried once more and otherwise kept
    // on the disk for the next start.
    flushOwedQueues();
    // Under -CATALOGCASH what the neighbours sent is on the disk only now.
    if (m_cash.wreteList() && m_cash.writeThrough() == 0 && !m_wholeSyncOwed)
        dropResyncMark();
}

void CCatalog::load()
{
    const std::string path = paths::joinFixed(getCatalogFolder(), "catalog.dat");
    m_cash.setupList(path, CPropatyTandrel::switches().catalogCashMode == 1 ? 0 : 1, s_maxFileRecords);
    {
        platform::CMutexLock lock(getMutex());
        mendLoaded();
        for (const CatalogRecord& r : m_cash.list())
            fireRecord(r);
    }
    m_linkCache.clear();
}

void CCatalog::mendLoaded()
{
    const std::string party(ownPartyName());
    // A record with an empty party takes the node's own; then it must be
    // whole and carry its checksum.
    const auto sound = [&](CatalogRecord& r, bool* changed) {
        if (!isCheckSumOk(&r))
            return false;
        if (r.partyName[0] == '\0') {
            cp932::copyField(r.partyName, CATALOG_PARTY_LEN, party.c_str());
            setCheckSum(&r);
            *changed = true;
        }
        return isWholeRec(&r);
    };
    // Records whose write a power cut tore come back from the journal.
    const std::map<int, CatalogRecord> copies = m_cash.journalCopies();
    bool changed = !copies.empty();
    // A sound catalog, the usual case, is taken as it is: a mended copy
    // of 100,000 records would hold a second catalog in memory.
    for (int i = 0; i < m_cash.getCount() && !changed; ++i) {
        CatalogRecord r = m_cash.list()[i];
        if (!sound(r, &changed))
            changed = true;
    }
    LoadDamage damage;
    std::vector<CatalogRecord> kept;
    if (changed)
        kept.reserve(m_cash.list().size());
    for (int i = 0; changed && i < m_cash.getCount(); ++i) {
        CatalogRecord r = m_cash.list()[i];
        if (!sound(r, &changed)) {
            auto copy = copies.find(i);
            CatalogRecord c = copy != copies.end() ? copy->second : r;
            if (copy == copies.end() || !sound(c, &changed)) {
                // Damaged: the record is dropped, and the file it names
                // stays where it is. Nothing in it can be trusted to name
                // a file to delete; an own file is registered anew by the
                // SEND scan, another node's is fetched again.
                damage.add(i, m_cash.list()[i]);
                continue;
            }
            r = c;
        }
        kept.push_back(r);
    }
    // A partial record at the end is an append a crash cut short: damaged
    // like the others, and the last of them.
    const std::string& tail = m_cash.partialTail();
    if (!tail.empty()) {
        CatalogRecord padded {};
        std::memcpy(&padded, tail.data(), tail.size());
        damage.add(m_cash.getCount(), padded);
        damage.tailBytes = tail.size();
    }
    reportDamage(damage);
    m_cash.cutPartialTail();
    // The mended catalog is written whole, which also folds the journal
    // into the file.
    if (changed)
        m_cash.setList(kept);
}

void CCatalog::reportDamage(const LoadDamage& damage)
{
    if (damage.count == 0)
        return;
    // One copy for them all: the error file holds the last damaged record
    // (a partial one padded with zeros to a whole record).
    const bool copied = writeErrorRec(damage.last);
    std::printf("Error:CCatalog::load() %d damaged record(s) dropped, the first at index %d%s;"
                " their files are left as they are; the last %s catalogErroRec.err\n",
                damage.count, damage.first,
                damage.tailBytes ? " (the last a partial record at the end of the file)" : "",
                copied ? "copied to" : "could not be copied to");
    std::fflush(stdout);
    // A partial record alone is what any append cut short leaves (a power
    // cut, a full disk the user was told of): the console says it. Whole
    // records gone bad are news for the user.
    if (damage.count == (damage.tailBytes ? 1 : 0))
        return;
    char text[512];
    std::snprintf(text, sizeof text,
                  "カタログファイル catalog.dat に壊れたレコードが %d 件ありました。それらの登録は読み込まずに除き%s。"
                  "登録されていたファイルはそのまま残します。",
                  damage.count, copied ? "、最後の 1 件を catalogErroRec.err に写しました" : "ました");
    m_notices.push_back(cp932::fromUtf8(text).value_or(text));
}

void CCatalog::onTick()
{
    platform::CMutexLock lock(getMutex());
    collectSyncs();
    applyCopyCheck(false);
    flushOwedQueues();
    // Marks read only now may name deletions that catalog.dat lost.
    if (m_marks.retry())
        redoLostDeletions();
    m_outside.retry();
    // catalog.dat waits while a queue's owed entries are on no disk; its
    // rewrite is synced in a round, one at a time.
    if (m_rounds.empty() && !owedUnsaved() && m_cash.rewriteDue()) {
        m_roundWanted = std::max(m_roundWanted, m_roundsBegun + 1);
        maybeBeginRound(false);
    }
    if (m_cash.writeThrough() == 0 && !m_resyncMarkSaved)
        saveResyncMark();
    checkWholeSyncDone(); // a removed row may have been the last one owed
}

bool CCatalog::storesAtOnce()
{
    platform::CMutexLock lock(getMutex());
    applyCopyCheck(false);
    // Until the start's check is applied, a registration taken from a
    // neighbour could be the one the check then drops.
    if (m_copyCheck && m_copyCheck->resyncStart())
        return false;
    // Under -CATALOGCASH a poll is safe once an end without the final save
    // is sure to ask the neighbours again.
    return !m_cash.behindList() && (m_cash.writeThrough() != 0 || m_resyncMarkSaved);
}

std::vector<std::string> CCatalog::takeNotices()
{
    platform::CMutexLock lock(getMutex());
    std::vector<std::string> out;
    out.swap(m_notices);
    for (std::string& text : m_cash.takeNotices())
        out.push_back(std::move(text));
    for (std::string& text : m_marks.takeNotices())
        out.push_back(std::move(text));
    for (std::string& text : m_outside.takeNotices())
        out.push_back(std::move(text));
    return out;
}

// ---------------------------------------------------------------------------
// Queries

int CCatalog::getRec(int index, CatalogRecord* out)
{
    if (!out)
        return 1;
    platform::CMutexLock lock(getMutex());
    m_cash.getRec(out, index);
    return 1;
}

int CCatalog::getRecCount()
{
    platform::CMutexLock lock(getMutex());
    return m_cash.getCount();
}

bool CCatalog::findRec(const char* fileName, const char* nodeName, CatalogRecord* out)
{
    platform::CMutexLock lock(getMutex());
    return m_cash.findRec(nodeName ? nodeName : "", fileName ? fileName : "", out) >= 0;
}

void CCatalog::fireAllRecords()
{
    for (int i = 0; i < m_cash.getCount(); ++i) {
        CatalogRecord r = m_cash.list()[i];
        fireRecord(r);
    }
}

void CCatalog::getNodeRecs(const char* node, std::vector<CatalogRecord>& out)
{
    out.clear();
    const std::string_view want(node ? node : "");
    for (const CatalogRecord& r : m_cash.list()) {
        if (r.complete == 1 && nodeText(r) == want)
            out.push_back(r);
    }
}

CCatalog::OwnHeld CCatalog::ownRegistration(std::string_view file, DWORD isLink, DWORD sizeHigh, DWORD sizeLow,
                                            const FILETIME& lastWrite)
{
    platform::CMutexLock lock(getMutex());
    const int i = m_cash.findRec(ownNodeName(), file, nullptr);
    if (i < 0)
        return OwnHeld::none;
    const CatalogRecord& r = m_cash.list()[std::size_t(i)];
    const bool same = (r.isLink == 1) == (isLink == 1) && sameSizeAndLastWrite(r.findData, sizeHigh, sizeLow, lastWrite);
    // A file other than the one whose deletion was asked for is the user's
    // new one: the compaction leaves it, and it is to be registered. While
    // the marks cannot be read, whether it was asked for is not known: the
    // record waits (see sortForCompaction).
    if (!isLive(r))
        return same && (deletionAsked(r) || m_marks.unreadable()) ? OwnHeld::deleted : OwnHeld::gone;
    return same ? OwnHeld::same : OwnHeld::differs;
}

int CCatalog::visitOwnLive(int from, std::chrono::steady_clock::time_point deadline,
                           const std::function<void(const CatalogRecord&)>& f)
{
    platform::CMutexLock lock(getMutex());
    const std::string_view own = ownNodeName();
    const std::vector<CatalogRecord>& list = m_cash.list();
    for (int i = std::max(from, 0); i < static_cast<int>(list.size()); ++i) {
        if ((i & 1023) == 1023 && std::chrono::steady_clock::now() >= deadline)
            return i;
        const CatalogRecord& r = list[std::size_t(i)];
        if (isLive(r) && nodeText(r) == own)
            f(r);
    }
    return -1;
}

std::uint64_t CCatalog::listGeneration()
{
    platform::CMutexLock lock(getMutex());
    return m_cash.generation();
}

bool CCatalog::isUsableNodeName(std::string_view name)
{
    return paths::isSafeName(name) && !cp932::equalsIgnoreAsciiCase(name, "catalog");
}
