#include "store/folder_watch.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/exclusive_open.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/paths.h"
#include "platform/shortcut.h"
#include "store/catalog.h"
#include "store/settings.h"

bool CFolderWatch::s_useLeases = true;

namespace {

// Attributes that keep an entry out of the scan: hidden, system, folder,
// temporary, sparse, offline.
constexpr DWORD SKIP_ATTRIBUTES = 0x1316;

// One diagnostic line on standard output.
void diag(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void setName(WIN32_FIND_DATAA& fd, const std::string& cp932Name)
{
    std::memset(fd.cFileName, 0, sizeof fd.cFileName);
    std::memcpy(fd.cFileName, cp932Name.data(), std::min(cp932Name.size(), sizeof fd.cFileName - 1));
}

bool sameSizeAndTime(const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b)
{
    return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
           fileTimeToU64(a.ftLastWriteTime) == fileTimeToU64(b.ftLastWriteTime);
}

// Case folding as Windows file names see it, for the letters that code page
// 932 holds: ASCII, full-width Latin, Greek, Cyrillic and the Roman numerals.
char32_t foldChar(char32_t c)
{
    if (c >= U'a' && c <= U'z')
        return c - 0x20;
    if (c >= 0xFF41 && c <= 0xFF5A)
        return c - 0x20;
    if (c == 0x03C2)
        return 0x03A3;
    if (c >= 0x03B1 && c <= 0x03C9)
        return c - 0x20;
    if (c >= 0x0430 && c <= 0x044F)
        return c - 0x20;
    if (c >= 0x0450 && c <= 0x045F)
        return c - 0x50;
    if (c >= 0x2170 && c <= 0x217F)
        return c - 0x10;
    return c;
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The case-folded form of a UTF-8 name.
std::string foldUtf8(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (len == 1 || i + len > s.size()) {
            out += static_cast<char>(c < 0x80 ? static_cast<unsigned char>(foldChar(c)) : c);
            ++i;
            continue;
        }
        char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        appendUtf8(out, foldChar(cp));
        i += len;
    }
    return out;
}

// The case-folded form of a CP932 name (ASCII names need no conversion).
std::string foldCp932(std::string_view cp932Name)
{
    for (const char ch : cp932Name) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            const auto utf8 = cp932::toUtf8(cp932Name);
            return foldUtf8(utf8 ? std::string_view(*utf8) : cp932Name);
        }
    }
    return foldUtf8(cp932Name);
}

bool isReservedDeviceName(std::string_view name)
{
    // The part before the first dot, without trailing blanks, counts:
    // "con.txt" and "COM1.tar.gz" are devices on Windows too.
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    std::string up;
    for (const char ch : base)
        up += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 0x20) : ch;
    if (up == "CON" || up == "PRN" || up == "AUX" || up == "NUL")
        return true;
    return up.size() == 4 && (up.compare(0, 3, "COM") == 0 || up.compare(0, 3, "LPT") == 0) && up[3] >= '1' &&
           up[3] <= '9';
}

} // namespace

CFolderWatch::CFolderWatch() = default;

void CFolderWatch::setFolder(const char* folder)
{
    m_folder = folder ? folder : "";
    m_snapIndex.clear();
}

void CFolderWatch::setUseLeases(bool on)
{
    s_useLeases = on;
}

std::string CFolderWatch::listPath() const
{
    return paths::joinFixed(paths::joinFixed(m_folder, "YUVO"), "dirlist.dat");
}

void CFolderWatch::ensureSubFolder(const char* base, const char* sub)
{
    if (!base || !*base || !sub)
        return;
    const auto path = paths::joinName(base, sub);
    if (!path)
        return;
    if (platform::getFileAttributes(*path) != FILE_ATTRIBUTE_DIRECTORY)
        platform::createDirectory(*path);
}

void CFolderWatch::loadList()
{
    if (m_folder.empty())
        return;
    ensureSubFolder(m_folder.c_str(), "YUVO");
    m_snapIndex.clear();
    m_snapshot.clear();

    platform::CFile file;
    if (!file.Open(listPath(), platform::CFile::modeCreate | platform::CFile::modeNoTruncate |
                                   platform::CFile::modeRead))
        return;
    std::vector<char> buf(sizeof(DirListRecord) * 256);
    std::size_t pending = 0; // bytes of an incomplete record carried over
    bool readWhole = true;
    for (;;) {
        std::size_t got = 0;
        if (!file.TryRead(buf.data() + pending, buf.size() - pending, &got)) {
            readWhole = false;
            break;
        }
        if (got == 0)
            break;
        const std::size_t have = pending + got;
        const std::size_t whole = have / sizeof(DirListRecord);
        for (std::size_t i = 0; i < whole; ++i) {
            DirListRecord r;
            std::memcpy(&r, buf.data() + i * sizeof r, sizeof r);
            // Names are read as NUL-terminated text below; a damaged file
            // must not lead a reader past the field.
            r.findData.cFileName[sizeof r.findData.cFileName - 1] = 0;
            r.findData.cAlternateFileName[sizeof r.findData.cAlternateFileName - 1] = 0;
            m_snapshot.push_back(r);
        }
        pending = have - whole * sizeof(DirListRecord);
        std::memmove(buf.data(), buf.data() + whole * sizeof(DirListRecord), pending);
    }
    if (pending != 0)
        diag("CFolderWatch::loadList() " + listPath() + ": " + std::to_string(pending) +
             " trailing bytes of a partial record ignored");
    m_listOnDisk = readWhole && pending == 0;
}

void CFolderWatch::saveList()
{
    writeList(m_snapshot, nullptr);
}

void CFolderWatch::writeList(const CDirList& records, const CDirList* before)
{
    if (m_folder.empty())
        return;
    ensureSubFolder(m_folder.c_str(), "YUVO");
    if (before && m_listOnDisk && writeChangesInPlace(*before, records))
        return;
    // Replaced whole, so that a crash leaves the old snapshot or the new one
    // and never a cut one.
    int err = 0;
    const auto produce = [&records](const platform::PieceWriter& write) { return records.writeTo(write); };
    m_listOnDisk = platform::replaceFileAtomically(listPath(), produce, &err);
    if (!m_listOnDisk)
        diag("CFolderWatch::saveList() " + listPath() + ": " + std::strerror(err));
}

// A check that changed a few entries and kept every name in its place (the
// node's own record file every 30 s) rewrites just those records, not the
// whole file. A record cut by a crash still names its own file, whose size
// and time it then holds old or new: at worst the file looks changed at the
// next check.
bool CFolderWatch::writeChangesInPlace(const CDirList& before, const CDirList& after)
{
    constexpr std::size_t MOST = 64;
    if (before.size() != after.size() || before.empty())
        return false;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (before.name(i) != after.name(i))
            return false;
        const DirListRecord a = before[i];
        const DirListRecord b = after[i];
        if (std::memcmp(&a, &b, sizeof(DirListRecord)) != 0)
            changed.push_back(i);
        if (changed.size() > MOST)
            return false;
    }
    if (changed.empty())
        return true;
    platform::CFile f;
    if (!f.Open(listPath(), platform::CFile::modeReadWrite))
        return false;
    try {
        if (f.GetLength() != before.size() * sizeof(DirListRecord))
            return false;
        for (const std::size_t i : changed) {
            const DirListRecord rec = after[i];
            f.Seek(std::int64_t(i * sizeof(DirListRecord)), platform::CFile::begin);
            f.Write(&rec, sizeof rec);
        }
        f.Flush();
        f.Close();
    } catch (const platform::CFileException&) {
        m_listOnDisk = false; // what reached the file is unknown
        return false;
    }
    return true;
}

bool CFolderWatch::isShareableName(std::string_view nativeName, std::string* cp932Out, std::string* why)
{
    auto setWhy = [why](const char* text) {
        if (why)
            *why = text;
        return false;
    };
    if (cp932Out)
        cp932Out->clear();
    const auto cp = cp932::fromUtf8(nativeName);
    if (!cp || cp->empty())
        return setWhy("the name has no code page 932 form");
    if (cp932Out)
        *cp932Out = *cp;
    if (cp->size() >= sizeof(WIN32_FIND_DATAA::cFileName))
        return setWhy("the name is too long for a catalog record");
    // In UTF-8 an ASCII byte is always a character of its own, so the
    // characters are looked for there and never inside a double-byte one.
    for (const char ch : nativeName) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || std::strchr("\\:*?\"<>|", ch))
            return setWhy("the name holds a character that Windows does not allow (\\ : * ? \" < > | or a control "
                          "character)");
    }
    if (nativeName.back() == '.' || nativeName.back() == ' ')
        return setWhy("the name ends in a dot or a blank");
    if (isReservedDeviceName(nativeName))
        return setWhy("the name is a device name on Windows");
    if (!paths::isSafeName(*cp))
        return setWhy("the name cannot be used as a file name");
    return true;
}

bool CFolderWatch::isRegistered(std::string_view name)
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    thread_local std::string file;
    file.assign(name);
    return settings && CCatalog::getInstance()->findRec(file.c_str(), settings->getNodeName(), nullptr);
}

bool CFolderWatch::namesSet()
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    if (!settings)
        return false;
    const char* node = settings->getNodeName();
    const char* party = settings->getPartyName();
    return node && *node && party && *party;
}

void CFolderWatch::skip(const std::string& nativeName, const std::string& why)
{
    std::string key = why;
    key += '\0';
    key += nativeName;
    if (!m_reported.count(key))
        diag("CFolderWatch: \"" + nativeName + "\" is not shared: " + why);
    m_reportedNow.insert(std::move(key));
}

void CFolderWatch::deleteDuplicateShortcut(const std::string& lnkPath, const std::string& lnkName,
                                           const std::string& why)
{
    if (platform::deleteShortcut(lnkPath))
        diag("CFolderWatch: shortcut \"" + lnkName + "\" deleted: " + why);
    else
        skip(lnkName, why + " (the shortcut could not be deleted)");
}

void CFolderWatch::buildSnapshotIndex()
{
    m_snapIndex.clear();
    m_linkNames.clear();
    m_snapIndex.reserve(m_snapshot.size());
    for (std::size_t j = 0; j < m_snapshot.size(); ++j) {
        const std::string_view name = m_snapshot.name(j);
        if (name.empty())
            continue;
        m_snapIndex.emplace(name, j);
    }
}

void CFolderWatch::dropCaseDuplicates()
{
    // A name that differs from another only in case would be one file on a
    // Windows node. Names registered before keep theirs; among new names
    // the one listed first does.
    auto known = [this](const ScanRecord& e) {
        return m_snapIndex.count(std::string_view(e.rec.findData.cFileName)) != 0;
    };
    if (std::all_of(m_scan.begin(), m_scan.end(), known))
        return;
    std::unordered_map<std::string, std::string> taken;
    for (const ScanRecord& e : m_scan) {
        if (known(e))
            taken.emplace(foldCp932(e.rec.findData.cFileName), e.rec.findData.cFileName);
    }
    std::vector<ScanRecord> kept;
    kept.reserve(m_scan.size());
    for (ScanRecord& e : m_scan) {
        if (!known(e)) {
            const auto [it, inserted] = taken.emplace(foldCp932(e.rec.findData.cFileName), e.rec.findData.cFileName);
            if (!inserted) {
                const auto other = cp932::toUtf8(it->second);
                skip(e.nativeName, "the name differs only in case from \"" + (other ? *other : it->second) + "\"");
                continue;
            }
        }
        kept.push_back(std::move(e));
    }
    m_scan.swap(kept);
}

bool CFolderWatch::scanFolder()
{
    buildSnapshotIndex();
    std::vector<platform::DirEntry> list;
    if (m_folder.empty() || !platform::listDirectory(m_folder, "*", list))
        return false;
    m_scan.reserve(m_scan.size() + list.size());
    for (platform::DirEntry& d : list) {
        ScanRecord entry;
        std::memset(&entry.rec, 0, sizeof entry.rec);
        entry.rec.findData = d.fd;
        entry.nativeName = std::move(d.nativeName);
        addEntry(entry);
    }
    dropCaseDuplicates();
    return true;
}

void CFolderWatch::addEntry(ScanRecord& entry)
{
    if (entry.rec.findData.dwFileAttributes & SKIP_ATTRIBUTES)
        return;
    const std::string& name = entry.nativeName;
    entry.rec.isLink = 0;
    std::memset(entry.rec.zero, 0, sizeof entry.rec.zero);

    // Only a name ending exactly in ".lnk" is a shortcut; "notes.LNK" is a
    // plain file.
    const bool isLnk = name.size() >= 4 ? name.compare(name.size() - 4, 4, ".lnk") == 0 : name == ".lnk";
    if (!isLnk) {
        std::string cp, why;
        const bool shareable = isShareableName(name, &cp, &why);
        const bool known = !cp.empty() && m_snapIndex.count(cp);
        // A name registered before stays: dropping it now would delete the
        // registration and, at the next compaction, the file itself.
        if (!shareable && !known) {
            skip(name, why);
            return;
        }
        auto path = paths::joinName(m_folder, cp);
        if (!path) {
            skip(name, "the name cannot be used as a file name");
            return;
        }
        entry.path = std::move(*path);
        entry.shareable = shareable;
        setName(entry.rec.findData, cp);
        m_scan.push_back(std::move(entry));
        return;
    }

    // A name from the listing itself: it names an entry of this folder.
    const std::string lnkPath = paths::joinFixed(m_folder, name);
    std::string target;
    WIN32_FIND_DATAA fd;
    if (!platform::resolveShortcut(lnkPath, &target, &fd)) {
        skip(name, "the shortcut's target is gone or is not a regular file");
        return;
    }
    const std::string targetName = paths::baseName(target);
    std::string cp, why;
    const bool shareable = isShareableName(targetName, &cp, &why);
    const bool known = !cp.empty() && m_snapIndex.count(cp);
    if (!shareable && !known) {
        skip(name, "target \"" + targetName + "\": " + why);
        return;
    }
    const auto copyPath = paths::joinName(m_folder, cp);
    if (copyPath && *copyPath == lnkPath) {
        skip(name, "the shortcut's target has the shortcut's own name");
        return;
    }
    if (copyPath && platform::fileExists(*copyPath)) {
        deleteDuplicateShortcut(lnkPath, name, "the folder already holds \"" + targetName + "\"");
        return;
    }
    if (m_linkNames.count(cp)) {
        deleteDuplicateShortcut(lnkPath, name, "an earlier shortcut already brings \"" + targetName + "\"");
        return;
    }
    m_linkNames.insert(cp);
    entry.rec.findData = fd;
    setName(entry.rec.findData, cp);
    entry.rec.isLink = 1;
    entry.shareable = shareable;
    entry.path = std::move(target);
    m_scan.push_back(std::move(entry));
}

FileProbe CFolderWatch::probe(const ScanRecord& entry, WIN32_FIND_DATAA* fresh)
{
    WIN32_FIND_DATAA data;
    int err = 0;
    const platform::ExclusiveRead r = platform::tryExclusiveRead(entry.path, s_useLeases, &data, &err);
    if (r == platform::ExclusiveRead::missing)
        return FileProbe::missing;
    if (r == platform::ExclusiveRead::busy) {
        if (err)
            skip(entry.nativeName, std::string("the file cannot be opened: ") + std::strerror(err));
        return FileProbe::busy;
    }

    *fresh = data;
    std::memcpy(fresh->cFileName, entry.rec.findData.cFileName, sizeof fresh->cFileName);
    std::memcpy(fresh->cAlternateFileName, entry.rec.findData.cAlternateFileName, sizeof fresh->cAlternateFileName);
    if (r == platform::ExclusiveRead::ready)
        return FileProbe::ready;

    // No lease here (not the file's owner, or a file system without
    // leases): the file counts as written once its size and time have not
    // moved since the previous check.
    const Seen now{data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime};
    const std::string key(entry.rec.findData.cFileName);
    const auto it = m_seen.find(key);
    const bool settled = it != m_seen.end() && it->second.sizeHigh == now.sizeHigh &&
                         it->second.sizeLow == now.sizeLow &&
                         fileTimeToU64(it->second.lastWrite) == fileTimeToU64(now.lastWrite);
    if (settled)
        return FileProbe::ready;
    m_seenNow[key] = now;
    return FileProbe::busy;
}

// --- The check in its phases ---------------------------------------------------

CFolderWatch::~CFolderWatch()
{
    waitForWorker();
}

void CFolderWatch::startWorker(std::function<void()> job)
{
    waitForWorker();
    m_workerDone = false;
    m_worker = std::thread([this, job = std::move(job)] {
        job();
        m_workerDone = true;
    });
}

bool CFolderWatch::workerBusy()
{
    if (!m_worker.joinable())
        return false;
    if (!m_workerDone)
        return true;
    m_worker.join();
    return false;
}

void CFolderWatch::waitForWorker()
{
    if (m_worker.joinable())
        m_worker.join();
}

bool CFolderWatch::beginCheck()
{
    m_scan.clear();
    // Records made without a node or party name are invalid: the expiry
    // sweep would mark them deleted and the compaction would then delete the
    // files themselves. Nothing is looked at until both names are set.
    if (!namesSet()) {
        if (!m_reportedNoNames)
            diag("CFolderWatch: node name or party name not set; " + m_folder + " is not scanned");
        m_reportedNoNames = true;
        return false;
    }
    m_reportedNoNames = false;
    m_reportedNow.clear();
    m_seenNow.clear();
    for (std::vector<DirListRecord>& list : m_lists)
        list.clear();
    m_list = 0;
    m_handed = 0;
    m_cursor = 0;
    m_anyChange = false;
    m_listed = false;
    m_nextSnapshot.clear();
    m_toAsk.clear();
    return true;
}

// The listing, the opening of every file whose news must be judged (new
// files, and known ones whose size, time or kind moved), and what the check
// makes of each entry as far as the file system tells: the new snapshot,
// the files added and removed, and the known files for which the catalog
// has to be asked. The listing is then freed. Touches nothing but the
// listing, the snapshot index, the next snapshot, the lists, the report sets
// and the file system.
void CFolderWatch::gather()
{
    m_listed = scanFolder();
    if (!m_listed)
        return;
    std::vector<DirListRecord>& added = m_lists[0];
    std::vector<DirListRecord>& removed = m_lists[1];

    {
        std::unordered_set<std::string_view> scanNames;
        scanNames.reserve(m_scan.size());
        for (const ScanRecord& e : m_scan)
            scanNames.insert(std::string_view(e.rec.findData.cFileName));
        for (std::size_t j = 0; j < m_snapshot.size(); ++j) {
            if (!scanNames.count(m_snapshot.name(j)))
                removed.push_back(m_snapshot[j]);
        }
    }

    m_nextSnapshot.reserve(m_scan.size());
    // A known file whose registration the catalog may have lost; the flag
    // says whether it changed.
    auto ask = [this](const ScanRecord& e, bool changed) {
        m_toAsk.push_back(std::uint32_t(m_nextSnapshot.size()) << 1 | (changed ? 1u : 0u));
        m_nextSnapshot.push_back(e.rec);
    };
    for (ScanRecord& e : m_scan) {
        WIN32_FIND_DATAA& fd = e.rec.findData;
        // Only a file with content below 4 GiB can be registered.
        const auto registrable = [&fd, &e] { return e.shareable && fd.nFileSizeHigh == 0 && fd.nFileSizeLow != 0; };
        const auto it = m_snapIndex.find(std::string_view(fd.cFileName));
        WIN32_FIND_DATAA fresh;
        if (it == m_snapIndex.end()) {
            // New: registered once no one writes it any more and it has
            // content; until then it stays out of the snapshot and is new
            // again at the next check.
            if (probe(e, &fresh) != FileProbe::ready)
                continue;
            fd = fresh;
            if (fd.nFileSizeHigh != 0) {
                skip(e.nativeName, "the file is 4 GiB or larger");
            } else if (fd.nFileSizeLow != 0) {
                added.push_back(e.rec);
                m_nextSnapshot.push_back(e.rec);
            }
            continue;
        }

        const DirListRecord old = m_snapshot[it->second];
        if (e.rec.isLink == old.isLink && sameSizeAndTime(fd, old.findData)) {
            // Unchanged: no need to open it.
            if (registrable())
                ask(e, false);
            else
                m_nextSnapshot.push_back(e.rec);
            continue;
        }
        switch (probe(e, &fresh)) {
        case FileProbe::ready:
            fd = fresh;
            if (e.rec.isLink == old.isLink && sameSizeAndTime(fd, old.findData)) {
                if (registrable())
                    ask(e, false);
                else
                    m_nextSnapshot.push_back(e.rec);
            } else if (fd.nFileSizeHigh != 0) {
                // Keeps the registration as it stands rather than deleting it.
                skip(e.nativeName, "the file is 4 GiB or larger; its change is not shared");
                m_nextSnapshot.push_back(old);
            } else {
                ask(e, true);
            }
            break;
        case FileProbe::missing:
            removed.push_back(e.rec);
            break;
        case FileProbe::busy:
        case FileProbe::notOpened:
            // The old entry stays until the change can be reported.
            m_nextSnapshot.push_back(old);
            break;
        }
    }
    std::vector<ScanRecord>().swap(m_scan);
    m_snapIndex = {};
    platform::releaseFreeMemory();
}

void CFolderWatch::finishListingFailure()
{
    // A folder that cannot be listed is not an empty folder: reporting all
    // its files as removed would delete them everywhere.
    std::vector<ScanRecord>().swap(m_scan);
    m_snapIndex = {};
    const std::string key = std::string("\0listing", 8);
    if (!m_reported.count(key))
        diag("CFolderWatch: the folder " + m_folder + " cannot be listed; nothing is reported");
    m_reportedNow.insert(key);
    m_reported.swap(m_reportedNow);
}

// Asks the catalog where the file system alone cannot tell, in listing
// order: a known file whose registration the catalog no longer holds (a
// catalog.dat lost or damaged) is registered as new, also when it changed
// (an update would change nothing); a changed file it holds is updated.
bool CFolderWatch::classify(std::chrono::steady_clock::time_point deadline)
{
    std::vector<DirListRecord>& changed = m_lists[2];
    std::vector<DirListRecord>& unregistered = m_lists[3];
    for (; m_cursor < m_toAsk.size(); ++m_cursor) {
        if ((m_cursor & 255) == 255 && std::chrono::steady_clock::now() >= deadline)
            return false;
        const std::size_t i = m_toAsk[m_cursor] >> 1;
        const bool hasChanged = (m_toAsk[m_cursor] & 1) != 0;
        const bool registered = isRegistered(m_nextSnapshot.name(i));
        if (hasChanged || !registered)
            (registered ? changed : unregistered).push_back(m_nextSnapshot[i]);
    }
    std::vector<std::uint32_t>().swap(m_toAsk);
    m_anyChange = false;
    for (const std::vector<DirListRecord>& list : m_lists)
        m_anyChange = m_anyChange || !list.empty();
    return true;
}

// Hands the lists to the catalog in order, a batch at a time.
bool CFolderWatch::handOn(std::chrono::steady_clock::time_point deadline, std::size_t maxRecords)
{
    constexpr std::size_t BATCH = 64;

    CCatalog* catalog = CCatalog::getInstance();
    std::vector<CatalogRecord> batch;
    std::size_t budget = maxRecords;
    for (; m_list < 4; ++m_list, m_handed = 0) {
        const std::vector<DirListRecord>& list = m_lists[m_list];
        // Changes go over the queued entries of their keys: the queue
        // indexes are read first, in steps of their own.
        if (m_list == 2 && m_handed < list.size() && !catalog->prepareQueueIndexes(deadline))
            return false;
        while (m_handed < list.size()) {
            if (budget == 0 || std::chrono::steady_clock::now() >= deadline)
                return false;
            const std::size_t n = std::min({BATCH, budget, list.size() - m_handed});
            batch.resize(n);
            for (std::size_t k = 0; k < n; ++k) {
                const DirListRecord& r = list[m_handed + k];
                if (m_list == 1)
                    CCatalog::makeDeleteRec(&r.findData, &batch[k]);
                else if (m_list == 2)
                    CCatalog::makeUpdateRec(&r.findData, &batch[k]);
                else
                    CCatalog::makeNewRec(&r.findData, &batch[k]);
                batch[k].isLink = r.isLink == 1 ? 1 : 0;
            }
            if (m_list == 1)
                catalog->deleteRecs(batch.data(), n);
            else if (m_list == 2)
                catalog->updateRecs(batch.data(), n);
            else
                catalog->addRecs(batch.data(), n);
            m_handed += n;
            budget -= n;
        }
    }
    return true;
}

// The new snapshot is written on the worker when anything was reported;
// the main thread takes it in once the worker is done.
void CFolderWatch::commit()
{
    for (std::vector<DirListRecord>& list : m_lists) {
        list.clear();
        list.shrink_to_fit();
    }
    m_reported.swap(m_reportedNow);
    m_seen.swap(m_seenNow);
    m_phase = Phase::saving;
    if (!m_anyChange)
        return;
    startWorker([this] {
        writeList(m_nextSnapshot, &m_snapshot);
        platform::releaseFreeMemory();
    });
}

bool CFolderWatch::startCheck()
{
    if (m_phase != Phase::idle || workerBusy())
        return false;
    if (!beginCheck())
        return false;
    m_phase = Phase::listing;
    startWorker([this] { gather(); });
    return true;
}

bool CFolderWatch::continueCheck(std::chrono::steady_clock::time_point deadline, std::size_t maxRecords)
{
    switch (m_phase) {
    case Phase::idle:
        return false;
    case Phase::listing:
        if (workerBusy())
            return true;
        if (!m_listed) {
            finishListingFailure();
            m_phase = Phase::idle;
            return false;
        }
        m_phase = Phase::classifying;
        [[fallthrough]];
    case Phase::classifying:
        if (!classify(deadline))
            return true;
        m_phase = Phase::handing;
        [[fallthrough]];
    case Phase::handing:
        if (!handOn(deadline, maxRecords))
            return true;
        commit();
        return true;
    case Phase::saving:
        if (workerBusy())
            return true;
        m_snapshot.swap(m_nextSnapshot);
        m_nextSnapshot.clear();
        m_phase = Phase::idle;
        return false;
    }
    return false;
}

void CFolderWatch::checkFolder()
{
    // A check under way in steps is finished first.
    while (checking()) {
        waitForWorker();
        continueCheck(std::chrono::steady_clock::time_point::max());
    }
    if (!beginCheck())
        return;
    gather();
    m_phase = Phase::listing;
    while (continueCheck(std::chrono::steady_clock::time_point::max()))
        waitForWorker();
}
