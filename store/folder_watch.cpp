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

CFolderWatch::~CFolderWatch() = default;

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
    for (;;) {
        std::size_t got = 0;
        if (!file.TryRead(buf.data() + pending, buf.size() - pending, &got) || got == 0)
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
}

void CFolderWatch::saveList()
{
    if (m_folder.empty())
        return;
    ensureSubFolder(m_folder.c_str(), "YUVO");
    // Replaced whole, so that a crash leaves the old snapshot or the new one
    // and never a cut one.
    int err = 0;
    const auto produce = [this](const platform::PieceWriter& write) { return m_snapshot.writeTo(write); };
    if (!platform::replaceFileAtomically(listPath(), produce, &err))
        diag("CFolderWatch::saveList() " + listPath() + ": " + std::strerror(err));
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

bool CFolderWatch::isRegistered(const DirListRecord& r)
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    return settings && CCatalog::getInstance()->findRec(r.findData.cFileName, settings->getNodeName(), nullptr);
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
    entry.path = std::move(target);
    m_scan.push_back(std::move(entry));
}

CFolderWatch::Probe CFolderWatch::probe(const ScanRecord& entry, WIN32_FIND_DATAA* fresh)
{
    WIN32_FIND_DATAA data;
    int err = 0;
    const platform::ExclusiveRead r = platform::tryExclusiveRead(entry.path, s_useLeases, &data, &err);
    if (r == platform::ExclusiveRead::missing)
        return Probe::missing;
    if (r == platform::ExclusiveRead::busy) {
        if (err)
            skip(entry.nativeName, std::string("the file cannot be opened: ") + std::strerror(err));
        return Probe::busy;
    }

    *fresh = data;
    std::memcpy(fresh->cFileName, entry.rec.findData.cFileName, sizeof fresh->cFileName);
    std::memcpy(fresh->cAlternateFileName, entry.rec.findData.cAlternateFileName, sizeof fresh->cAlternateFileName);
    if (r == platform::ExclusiveRead::ready)
        return Probe::ready;

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
        return Probe::ready;
    m_seenNow[key] = now;
    return Probe::busy;
}

void CFolderWatch::checkFolder()
{
    m_scan.clear();
    // Records made without a node or party name are invalid: the expiry
    // sweep would mark them deleted and the compaction would then delete the
    // files themselves. Nothing is looked at until both names are set.
    if (!namesSet()) {
        if (!m_reportedNoNames)
            diag("CFolderWatch: node name or party name not set; " + m_folder + " is not scanned");
        m_reportedNoNames = true;
        return;
    }
    m_reportedNoNames = false;
    m_reportedNow.clear();
    m_seenNow.clear();

    // A folder that cannot be listed is not an empty folder: reporting all
    // its files as removed would delete them everywhere.
    if (!scanFolder()) {
        m_scan.clear();
        const std::string key = std::string("\0listing", 8);
        if (!m_reported.count(key))
            diag("CFolderWatch: the folder " + m_folder + " cannot be listed; nothing is reported");
        m_reportedNow.insert(key);
        m_reported.swap(m_reportedNow);
        m_snapIndex.clear();
        return;
    }

    std::vector<DirListRecord> added, removed, changed, unregistered;

    std::unordered_set<std::string_view> scanNames;
    scanNames.reserve(m_scan.size());
    for (const ScanRecord& e : m_scan)
        scanNames.insert(std::string_view(e.rec.findData.cFileName));
    for (std::size_t j = 0; j < m_snapshot.size(); ++j) {
        if (!scanNames.count(m_snapshot.name(j)))
            removed.push_back(m_snapshot[j]);
    }

    for (ScanRecord& e : m_scan) {
        WIN32_FIND_DATAA fresh;
        const auto it = m_snapIndex.find(std::string_view(e.rec.findData.cFileName));
        if (it == m_snapIndex.end()) {
            // New: registered once no one writes it any more and it has
            // content; until then it stays out of the snapshot and is new
            // again at the next check.
            if (probe(e, &fresh) != Probe::ready) {
                e.rec.findData.cFileName[0] = 0;
                continue;
            }
            e.rec.findData = fresh;
            if (fresh.nFileSizeHigh != 0) {
                skip(e.nativeName, "the file is 4 GiB or larger");
                e.rec.findData.cFileName[0] = 0;
            } else if (fresh.nFileSizeLow == 0) {
                e.rec.findData.cFileName[0] = 0;
            } else {
                added.push_back(e.rec);
            }
            continue;
        }

        const DirListRecord old = m_snapshot[it->second];
        if (e.rec.isLink == old.isLink && sameSizeAndTime(e.rec.findData, old.findData))
            continue; // unchanged: nothing to report, no need to open it
        switch (probe(e, &fresh)) {
        case Probe::ready:
            if (e.rec.isLink == old.isLink && sameSizeAndTime(fresh, old.findData)) {
                e.rec.findData = fresh;
            } else if (fresh.nFileSizeHigh != 0) {
                // Keeps the registration as it stands rather than deleting it.
                skip(e.nativeName, "the file is 4 GiB or larger; its change is not shared");
                e.rec = old;
            } else {
                e.rec.findData = fresh;
                if (old.findData.nFileSizeHigh == 0 && old.findData.nFileSizeLow == 0 && !isRegistered(e.rec))
                    unregistered.push_back(e.rec);
                else
                    changed.push_back(e.rec);
            }
            break;
        case Probe::missing:
            removed.push_back(e.rec);
            e.rec.findData.cFileName[0] = 0;
            break;
        case Probe::busy:
            // The old entry stays until the change can be reported.
            e.rec = old;
            break;
        }
    }

    const bool any = !added.empty() || !removed.empty() || !changed.empty() || !unregistered.empty();
    if (any) {
        CCatalog* catalog = CCatalog::getInstance();
        auto hand = [catalog](const std::vector<DirListRecord>& list,
                              void (*make)(const WIN32_FIND_DATAA*, CatalogRecord*),
                              void (CCatalog::*apply)(const CatalogRecord*)) {
            CatalogRecord rec;
            for (const DirListRecord& r : list) {
                make(&r.findData, &rec);
                rec.isLink = r.isLink == 1 ? 1 : 0;
                (catalog->*apply)(&rec);
            }
        };
        hand(added, &CCatalog::makeNewRec, &CCatalog::addRec);
        hand(removed, &CCatalog::makeDeleteRec, &CCatalog::deleteRec);
        hand(changed, &CCatalog::makeUpdateRec, &CCatalog::updateRec);
        // Files that an older snapshot took in while empty, never registered:
        // now that they have content they are registered as new.
        hand(unregistered, &CCatalog::makeNewRec, &CCatalog::addRec);
    }

    m_snapIndex.clear();
    CDirList next;
    next.reserve(m_scan.size());
    for (const ScanRecord& e : m_scan) {
        if (e.rec.findData.cFileName[0])
            next.push_back(e.rec);
    }
    m_snapshot.swap(next);
    if (any)
        saveList();
    // The listing is as large as the folder (about 400 bytes a file); it is
    // made again at the next check, so its room is not kept between checks.
    std::vector<ScanRecord>().swap(m_scan);
    m_reported.swap(m_reportedNow);
    m_seen.swap(m_seenNow);
}
