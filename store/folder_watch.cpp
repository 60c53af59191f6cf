#include "store/folder_watch.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
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
std::chrono::milliseconds CFolderWatch::s_fullListingEvery = std::chrono::minutes(1);

namespace {

// Attributes that keep an entry out of the scan: hidden, system, folder,
// temporary, sparse, offline.
constexpr DWORD SKIP_ATTRIBUTES = 0x1316;

// The snapshot and the node's marker, relative to SEND.
constexpr const char* LIST_FOLDER = "YUVO";
constexpr const char* LIST_FILE = "YUVO/dirlist.dat";
constexpr const char* MARKER_FILE = "YUVO/owner.id";

bool isNodeRecord(const CatalogRecord& r)
{
    return cp932::fieldText(r.findData.cFileName, MAX_PATH) == setting::NODE_RECORD_FILE;
}

// A fresh token for the node's marker: 128 random bits as hex.
std::string newToken()
{
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        token += part;
    }
    return token;
}

// The first line of a text, without its line end and blanks around it.
std::string firstLine(std::string_view text)
{
    return setting::trimmed(text.substr(0, text.find_first_of("\r\n")));
}

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

bool isAscii(std::string_view name)
{
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// The case-folded form of a CP932 name (ASCII names need no conversion).
std::string foldCp932(std::string_view cp932Name)
{
    if (isAscii(cp932Name))
        return foldUtf8(cp932Name);
    const auto utf8 = cp932::toUtf8(cp932Name);
    return foldUtf8(utf8 ? std::string_view(*utf8) : cp932Name);
}

// Only a name ending exactly in ".lnk" is a shortcut; "notes.LNK" is a plain
// file.
bool isShortcutName(std::string_view name)
{
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".lnk") == 0;
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
    ++m_generation;
}

void CFolderWatch::setFullListingEvery(std::chrono::milliseconds every)
{
    s_fullListingEvery = every;
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
    m_snapshot.clear();
    ++m_generation;
    // The last listing was judged against another snapshot: the next check
    // looks at every file, and makes the catalog follow the folder.
    m_heldBack = true;
    m_reconcile = true;
    CCatalog::getInstance()->awaitSendCheck();
    readKeptIdentity();
    platform::COpenFolder dir;
    m_snapshotFromValid = dir.open(m_folder);
    m_snapshotFrom = dir.id();
    bool markerMine = false, snapshotThere = false;
    const bool own = m_snapshotFromValid && holdsOwnSnapshot(dir, &markerMine, &snapshotThere);
    // Nothing is read from, nor made in, a SEND without the node's snapshot
    // while the node shares files: it may be away, and only a check can
    // tell.
    const bool known = own || (m_snapshotFromValid && !sharesFiles());
    m_rereadSnapshot = false;
    if (known) {
        keepFolder(dir, renewToken(markerMine));
        m_knownId = dir.id();
        platform::createDirectory(dir, LIST_FOLDER);
        m_rereadSnapshot = readList(dir, m_snapshot, true) == ListRead::failed;
    }
    m_knownValid = known;
    // Until the first check tells, a SEND that may be away is taken for one.
    m_away = !known;
}

CFolderWatch::ListRead CFolderWatch::readList(const platform::COpenFolder& dir, CDirList& out, bool create)
{
    out.clear();
    m_listOnDisk = false;
    platform::CFile file;
    int err = 0;
    if (!file.Open(dir, LIST_FILE,
                   platform::CFile::modeRead | (create ? platform::CFile::modeCreate | platform::CFile::modeNoTruncate : 0u),
                   &err)) {
        if (platform::isMissingError(err))
            return ListRead::missing;
        // Said once while it lasts; the next check reads it again.
        tell(std::string("\0snapshot", 9),
             "CFolderWatch: " + listPath() + " cannot be read (" + std::strerror(err) + "); read again at the next check",
             nullptr);
        return ListRead::failed;
    }
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
            out.push_back(r);
        }
        pending = have - whole * sizeof(DirListRecord);
        std::memmove(buf.data(), buf.data() + whole * sizeof(DirListRecord), pending);
    }
    if (pending != 0)
        diag("CFolderWatch::loadList() " + listPath() + ": " + std::to_string(pending) +
             " trailing bytes of a partial record ignored");
    m_listOnDisk = readWhole && pending == 0;
    return ListRead::read;
}

void CFolderWatch::saveList()
{
    platform::COpenFolder dir;
    if (!m_folder.empty() && dir.open(m_folder))
        writeList(dir, m_snapshot, nullptr);
}

void CFolderWatch::writeList(const platform::COpenFolder& dir, const CDirList& records, const CDirList* before)
{
    if (!dir.isOpen())
        return;
    platform::createDirectory(dir, LIST_FOLDER);
    if (before && m_listOnDisk && writeChangesInPlace(dir, *before, records))
        return;
    // Replaced whole, so that a crash leaves the old snapshot or the new one
    // and never a cut one.
    int err = 0;
    const auto produce = [&records](const platform::PieceWriter& write) { return records.writeTo(write); };
    m_listOnDisk = platform::replaceFileAtomically(dir, LIST_FILE, produce, &err);
    if (!m_listOnDisk)
        diag("CFolderWatch::saveList() " + listPath() + ": " + std::strerror(err));
}

// A check that changed a few entries and kept every name in its place (the
// node's own record file every 30 s) rewrites just those records, not the
// whole file. A record cut by a crash still names its own file, whose size
// and time it then holds old or new: at worst the file looks changed at the
// next check.
bool CFolderWatch::writeChangesInPlace(const platform::COpenFolder& dir, const CDirList& before,
                                       const CDirList& after)
{
    constexpr std::size_t MOST = 64;
    if (before.size() != after.size() || before.empty())
        return false;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (before.name(i) != after.name(i))
            return false;
        if (!after.sameRecord(i, before, i))
            changed.push_back(i);
        if (changed.size() > MOST)
            return false;
    }
    if (changed.empty())
        return true;
    platform::CFile f;
    if (!f.Open(dir, LIST_FILE, platform::CFile::modeReadWrite))
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

void CFolderWatch::deleteDuplicateShortcut(const std::string& lnkName, const std::string& why)
{
    if (platform::deleteShortcut(m_dir, lnkName))
        diag("CFolderWatch: shortcut \"" + lnkName + "\" deleted: " + why);
    else
        skip(lnkName, why + " (the shortcut could not be deleted)");
}

// --- The snapshot's index by native names ----------------------------------------

void CFolderWatch::NativeIndex::clear()
{
    m_generation = ~std::uint64_t(0);
    std::string().swap(m_names);
    std::vector<std::uint32_t>().swap(m_at);
    std::vector<std::uint32_t>().swap(m_slot);
}

void CFolderWatch::NativeIndex::build(const CDirList& snapshot, std::uint64_t generation)
{
    clear();
    m_at.reserve(snapshot.size() + 1);
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        m_at.push_back(static_cast<std::uint32_t>(m_names.size()));
        const std::string_view cp = snapshot.name(i);
        // An ASCII name is the same in both forms; a record whose name has no
        // native form matches no listed file.
        if (isAscii(cp)) {
            m_names.append(cp);
        } else if (const auto native = cp932::toUtf8(cp)) {
            m_names.append(*native);
        }
    }
    m_at.push_back(static_cast<std::uint32_t>(m_names.size()));
    std::size_t slots = 16;
    while (slots < snapshot.size() * 2)
        slots *= 2;
    m_slot.assign(slots, 0);
    const std::size_t mask = slots - 1;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        const std::string_view name = nameOf(i);
        if (name.empty())
            continue;
        for (std::size_t k = std::hash<std::string_view>{}(name) & mask;; k = (k + 1) & mask) {
            if (m_slot[k] == 0) {
                m_slot[k] = static_cast<std::uint32_t>(i + 1);
                break;
            }
            if (nameOf(m_slot[k] - 1) == name)
                break; // the first record of a name is the one found
        }
    }
    m_generation = generation;
}

std::string_view CFolderWatch::NativeIndex::nameOf(std::size_t i) const
{
    return std::string_view(m_names).substr(m_at[i], m_at[i + 1] - m_at[i]);
}

long CFolderWatch::NativeIndex::find(std::string_view native) const
{
    if (m_slot.empty() || native.empty())
        return -1;
    const std::size_t mask = m_slot.size() - 1;
    for (std::size_t k = std::hash<std::string_view>{}(native) & mask; m_slot[k] != 0; k = (k + 1) & mask) {
        if (nameOf(m_slot[k] - 1) == native)
            return long(m_slot[k] - 1);
    }
    return -1;
}

// --- The listing -----------------------------------------------------------------

void CFolderWatch::dropCaseDuplicates()
{
    // A name that differs from another only in case would be one file on a
    // Windows node. Names registered before keep theirs; among new names
    // the one listed first does.
    const auto isNew = [](const ScanRecord& e) { return e.known < 0; };
    if (std::none_of(m_scan.begin(), m_scan.end(), isNew))
        return;
    std::unordered_map<std::string, std::string> taken;
    for (const std::uint32_t item : m_listing) {
        const std::string_view name = item & FRESH ? std::string_view(m_scan[item & ~FRESH].rec.findData.cFileName)
                                                   : m_snapshot.name(item);
        if (!(item & FRESH) || !isNew(m_scan[item & ~FRESH]))
            taken.emplace(foldCp932(name), std::string(name));
    }
    for (ScanRecord& e : m_scan) {
        if (!isNew(e))
            continue;
        const auto [it, inserted] = taken.emplace(foldCp932(e.rec.findData.cFileName), e.rec.findData.cFileName);
        if (!inserted) {
            const auto other = cp932::toUtf8(it->second);
            skip(e.nativeName, "the name differs only in case from \"" + (other ? *other : it->second) + "\"");
            e.dropped = true;
        }
    }
}

bool CFolderWatch::quietSinceLastListing()
{
    const auto now = std::chrono::steady_clock::now();
    // A SEND that now names another folder (a link pointed elsewhere, a file
    // system mounted over it) is unknown to the old watch: it counts as
    // changed and is watched afresh. So does a folder other than the one this
    // check holds open.
    const bool watched =
        !m_folder.empty() && m_changes.stillWatches(m_folder) && m_changes.watchedId() == m_dir.id();
    const bool told = !watched || m_changes.changed();
    if (!m_folder.empty() && !watched)
        m_changes.watch(m_folder); // changes from now on count for the next check
    const bool quiet = !told && !m_heldBack && now - m_lastFullListing < s_fullListingEvery;
    if (!quiet)
        m_lastFullListing = now;
    return quiet;
}

bool CFolderWatch::scanFolder()
{
    if (!m_index.builtFor(m_generation))
        m_index.build(m_snapshot, m_generation);
    m_linkNames.clear();
    // A plain file the snapshot knows needs no status call while the folder
    // has been quiet: it is as its record says.
    const auto vouch = [this](std::string_view name) {
        if (name.front() == '.' || isShortcutName(name))
            return false;
        if (!m_multiLinked.empty() && m_multiLinked.count(std::string(name)))
            return false;
        const long j = m_index.find(name);
        return j >= 0 && m_snapshot.stamp(std::size_t(j)).isLink == 0;
    };
    platform::NameListing list;
    if (m_folder.empty()
        || !platform::listNames(m_dir, list,
                                quietSinceLastListing() ? std::function<bool(std::string_view)>(vouch) : nullptr))
        return false;
    std::unordered_set<std::string> multiLinked;
    m_listing.reserve(list.entries.size());
    for (const platform::NameStat& n : list.entries) {
        const std::string_view name = list.name(n);
        // Folders and hidden files never enter the scan; nor does anything
        // that is neither file nor folder. A hidden file is said (but for
        // the node's own files being written).
        if (name.front() == '.') {
            if (n.kind == platform::NameStat::file && !platform::isTemporaryName(name))
                skip(std::string(name), "hidden files (a name starting with a dot) are never shared");
            continue;
        }
        if (n.kind == platform::NameStat::unknown)
            takeUnknown(name, nullptr);
        if (n.kind != platform::NameStat::file)
            continue;
        if (n.links > 1)
            multiLinked.emplace(name);
        takeListed(n, name);
    }
    m_multiLinked.swap(multiLinked);
    dropCaseDuplicates();
    return true;
}

void CFolderWatch::takeListed(const platform::NameStat& n, std::string_view name)
{
    if (n.vouched) {
        m_listing.push_back(std::uint32_t(m_index.find(name)));
        return;
    }
    const long j = isShortcutName(name) ? -1 : m_index.find(name);
    if (j >= 0) {
        const CDirList::Stamp old = m_snapshot.stamp(std::size_t(j));
        if (old.isLink == 0 && old.sizeHigh == DWORD(n.size >> 32) && old.sizeLow == DWORD(n.size) &&
            fileTimeToU64(old.written) == fileTimeToU64(n.lastWrite)) {
            // Unchanged: its record stands as it is.
            m_listing.push_back(std::uint32_t(j));
            return;
        }
    }
    platform::DirEntry d;
    int err = 0;
    if (!platform::describeEntry(m_dir, std::string(name), &d, &err)) {
        if (err != 0 && !platform::isMissingError(err))
            takeUnknown(name, nullptr);
        return; // gone meanwhile
    }
    ScanRecord entry;
    std::memset(&entry.rec, 0, sizeof entry.rec);
    entry.rec.findData = d.fd;
    entry.nativeName = std::move(d.nativeName);
    addEntry(entry);
}

void CFolderWatch::takeUnknown(std::string_view nativeName, const std::string* linkTarget)
{
    const std::string name(nativeName);
    skip(name, "its status cannot be read; its registration stays as it is");
    std::string shared = name;
    if (isShortcutName(name)) {
        if (!linkTarget) {
            m_linksUnknown = true;
            return;
        }
        shared = paths::baseName(*linkTarget);
    }
    const auto cp = cp932::fromUtf8(shared);
    if (!cp || cp->empty() || cp->size() >= sizeof(WIN32_FIND_DATAA::cFileName))
        return;
    // Listed under its name, so that its record stays in the snapshot (a
    // file the snapshot does not know is not registered until it can be
    // read) and its registration in the catalog.
    ScanRecord e;
    std::memset(&e.rec, 0, sizeof e.rec);
    e.nativeName = name;
    e.unknownStatus = true;
    e.known = m_index.find(shared);
    if (e.known >= 0)
        e.rec = m_snapshot[std::size_t(e.known)];
    setName(e.rec.findData, *cp);
    m_listing.push_back(FRESH | std::uint32_t(m_scan.size()));
    m_scan.push_back(std::move(e));
}

void CFolderWatch::addEntry(ScanRecord& entry)
{
    if (entry.rec.findData.dwFileAttributes & SKIP_ATTRIBUTES)
        return;
    entry.rec.isLink = 0;
    std::memset(entry.rec.zero, 0, sizeof entry.rec.zero);
    if (isShortcutName(entry.nativeName) ? takeShortcut(entry) : takePlainFile(entry)) {
        m_listing.push_back(FRESH | std::uint32_t(m_scan.size()));
        m_scan.push_back(std::move(entry));
    }
}

bool CFolderWatch::takePlainFile(ScanRecord& entry)
{
    const std::string& name = entry.nativeName;
    std::string cp, why;
    const bool shareable = isShareableName(name, &cp, &why);
    entry.known = cp.empty() ? -1 : m_index.find(name);
    // A name registered before stays: dropping it now would delete the
    // registration and, at the next compaction, the file itself.
    if (!shareable && entry.known < 0) {
        skip(name, why);
        return false;
    }
    auto path = paths::nativeName(cp);
    if (!path) {
        skip(name, "the name cannot be used as a file name");
        return false;
    }
    entry.path = std::move(*path);
    entry.shareable = shareable;
    setName(entry.rec.findData, cp);
    return true;
}

bool CFolderWatch::takeShortcut(ScanRecord& entry)
{
    // A name from the listing itself: it names an entry of this folder.
    const std::string& name = entry.nativeName;
    std::string target;
    WIN32_FIND_DATAA fd;
    int err = 0;
    if (!platform::resolveShortcut(m_dir, name, &target, &fd, &err)) {
        if (err != 0 && !platform::isMissingError(err))
            takeUnknown(name, target.empty() ? nullptr : &target);
        else
            skip(name, "the shortcut's target is gone or is not a regular file");
        return false;
    }
    const std::string targetName = paths::baseName(target);
    std::string cp, why;
    const bool shareable = isShareableName(targetName, &cp, &why);
    entry.known = cp.empty() ? -1 : m_index.find(targetName);
    if (!shareable && entry.known < 0) {
        skip(name, "target \"" + targetName + "\": " + why);
        return false;
    }
    const auto copyName = paths::nativeName(cp);
    if (copyName && *copyName == name) {
        skip(name, "the shortcut's target has the shortcut's own name");
        return false;
    }
    if (copyName && platform::fileExists(m_dir, *copyName)) {
        deleteDuplicateShortcut(name, "the folder already holds \"" + targetName + "\"");
        return false;
    }
    if (m_linkNames.count(cp)) {
        deleteDuplicateShortcut(name, "an earlier shortcut already brings \"" + targetName + "\"");
        return false;
    }
    m_linkNames.insert(cp);
    entry.rec.findData = fd;
    setName(entry.rec.findData, cp);
    entry.rec.isLink = 1;
    entry.shareable = shareable;
    entry.path = std::move(target);
    return true;
}

FileProbe CFolderWatch::probe(const ScanRecord& entry, WIN32_FIND_DATAA* fresh)
{
    WIN32_FIND_DATAA data;
    int err = 0;
    const platform::ExclusiveRead r = platform::tryExclusiveRead(m_dir, entry.path, s_useLeases, &data, &err);
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
    m_scan.clear();
    m_listing.clear();
    m_next.clear();
    m_fresh.clear();
    m_freshShareable.clear();
    m_nextSnapshot.clear();
    m_toAsk.clear();
    m_present.clear();
    m_vanished.clear();
    m_ownAt = m_reconcile ? 0 : -1;
    m_awayNow = false;
    m_takeAsked = false;
    m_takenAnew = false;
    m_leftStanding = 0;
    m_takeFailed = 0;
    m_goneDeleted = 0;
    m_otherFolder = false;
    m_mayBeAway = false;
    m_linksUnknown = false;
    m_keptLinks.clear();
    return true;
}

void CFolderWatch::keepFresh(const DirListRecord& rec, bool shareable)
{
    m_next.push_back(FRESH | std::uint32_t(m_fresh.size()));
    m_fresh.push_back(rec);
    m_freshShareable.push_back(shareable);
}

DirListRecord CFolderWatch::nextRecord(std::uint32_t item) const
{
    return item & FRESH ? m_fresh[item & ~FRESH] : m_snapshot[item];
}

std::string_view CFolderWatch::nextName(std::uint32_t item) const
{
    return item & FRESH ? std::string_view(m_fresh[item & ~FRESH].findData.cFileName) : m_snapshot.name(item);
}

// The listing, the opening of every file whose news must be judged (new
// files, and known ones whose size, time or kind moved), and what the check
// makes of each entry as far as the file system tells: the next snapshot,
// the files added and removed, and the known files for which the catalog
// has to be asked. A file that matches its snapshot record costs its listing
// and status call and no more. Touches nothing but the listing, the index,
// the next snapshot, the lists, the report sets and the file system.
void CFolderWatch::gather()
{
    lookAtFolder();
    m_listed = scanFolder();
    m_heldBack = !m_listed;
    if (!m_listed)
        return;
    markRemoved();
    if (m_ownAt >= 0)
        gatherPresent();
    m_next.reserve(m_listing.size());
    for (const std::uint32_t item : m_listing) {
        if (item & FRESH) {
            judge(m_scan[item & ~FRESH]);
            continue;
        }
        // Unchanged: no need to open it. The catalog is asked whether it
        // still holds a registration of a file with content below 4 GiB.
        const std::size_t j = item;
        const CDirList::Stamp stamp = m_snapshot.stamp(j);
        if (stamp.sizeHigh == 0 && stamp.sizeLow != 0)
            m_toAsk.push_back(std::uint32_t(m_next.size()) << 2 | ASK_UNCHANGED);
        keepOld(j);
    }
    for (const std::size_t j : m_keptLinks)
        keepOld(j);
    if (!m_keptLinks.empty())
        m_heldBack = true;
    std::vector<std::uint32_t>().swap(m_listing);
    std::vector<ScanRecord>().swap(m_scan);
    platform::releaseFreeMemory();
}

// Snapshot records whose name no entry of the listing bears, in snapshot
// order.
void CFolderWatch::markRemoved()
{
    std::vector<bool> seen(m_snapshot.size(), false);
    for (const std::uint32_t item : m_listing) {
        if (!(item & FRESH))
            seen[item] = true;
        else if (!m_scan[item & ~FRESH].dropped && m_scan[item & ~FRESH].known >= 0)
            seen[std::size_t(m_scan[item & ~FRESH].known)] = true;
    }
    for (std::size_t j = 0; j < m_snapshot.size(); ++j) {
        if (seen[j])
            continue;
        // A later record of a name listed is matched by that name too.
        const long first = m_index.find(m_index.nameOf(j));
        if (first >= 0 && seen[std::size_t(first)])
            continue;
        if (m_linksUnknown && m_snapshot.stamp(j).isLink == 1)
            m_keptLinks.push_back(j); // perhaps the shortcut whose status cannot be read
        else
            m_lists[1].push_back(m_snapshot[j]);
    }
}

// Every name the listing bears, whatever the check makes of its entry (held
// back, left out for its case), and the names already reported removed.
void CFolderWatch::gatherPresent()
{
    m_present.reserve(m_listing.size() + m_lists[1].size());
    for (const std::uint32_t item : m_listing)
        m_present.emplace(item & FRESH ? std::string_view(m_scan[item & ~FRESH].rec.findData.cFileName)
                                       : m_snapshot.name(item));
    // Whether SEND is away counts only the files it lists; in a folder that
    // may be away nothing is reported removed (see reconcile).
    if (!m_mayBeAway) {
        for (const DirListRecord& r : m_lists[1])
            m_present.emplace(r.findData.cFileName);
    }
    for (const std::size_t j : m_keptLinks)
        m_present.emplace(m_snapshot.name(j));
}

// What one entry that needed a close look tells.
void CFolderWatch::judge(ScanRecord& e)
{
    if (e.dropped)
        return;
    if (e.unknownStatus) {
        if (e.known >= 0)
            keepOld(std::size_t(e.known));
        m_heldBack = true;
        return;
    }
    if (e.known < 0)
        judgeNew(e);
    else
        judgeKnown(e, std::size_t(e.known));
}

// New: registered once no one writes it any more and it has content; until
// then it stays out of the snapshot and is new again at the next check.
void CFolderWatch::judgeNew(ScanRecord& e)
{
    WIN32_FIND_DATAA fresh;
    if (probe(e, &fresh) != FileProbe::ready) {
        m_heldBack = true;
        return;
    }
    WIN32_FIND_DATAA& fd = e.rec.findData;
    fd = fresh;
    if (fd.nFileSizeHigh != 0) {
        skip(e.nativeName, "the file is 4 GiB or larger");
    } else if (fd.nFileSizeLow != 0) {
        // Registered unless the catalog holds this very file (classify).
        m_toAsk.push_back(std::uint32_t(m_next.size()) << 2 | ASK_NEW);
        keepFresh(e.rec, e.shareable);
    }
}

// Known, with its size, time or kind moved since its record (or a shortcut,
// looked at every time).
void CFolderWatch::judgeKnown(ScanRecord& e, std::size_t j)
{
    WIN32_FIND_DATAA& fd = e.rec.findData;
    const DirListRecord old = m_snapshot[j];
    const auto unchanged = [&] {
        return e.rec.isLink == old.isLink
            && sameSizeAndLastWrite(fd, old.findData.nFileSizeHigh, old.findData.nFileSizeLow,
                                    old.findData.ftLastWriteTime);
    };
    // The catalog is asked whether it holds the registration; only a file
    // with content below 4 GiB and a name Windows nodes can take is
    // registered anew when it does not.
    const auto keepAsked = [this, &e](bool changed) {
        m_toAsk.push_back(std::uint32_t(m_next.size()) << 2 | (changed ? ASK_CHANGED : ASK_UNCHANGED));
        keepFresh(e.rec, e.shareable);
    };
    const auto keepUnchanged = [&] {
        if (e.shareable && fd.nFileSizeHigh == 0 && fd.nFileSizeLow != 0)
            keepAsked(false);
        else
            keepFresh(e.rec, e.shareable);
    };
    if (unchanged())
        return keepUnchanged();
    WIN32_FIND_DATAA fresh;
    switch (probe(e, &fresh)) {
    case FileProbe::ready:
        fd = fresh;
        if (unchanged()) {
            keepUnchanged();
        } else if (fd.nFileSizeHigh != 0) {
            // Keeps the registration as it stands rather than deleting it.
            skip(e.nativeName, "the file is 4 GiB or larger; its change is not shared");
            keepOld(j);
            m_heldBack = true;
        } else {
            keepAsked(true);
        }
        break;
    case FileProbe::missing:
        m_lists[1].push_back(e.rec);
        break;
    case FileProbe::busy:
    case FileProbe::notOpened:
        // The old entry stays until the change can be reported.
        keepOld(j);
        m_heldBack = true;
        break;
    }
}

void CFolderWatch::finishListingFailure()
{
    // A folder that cannot be listed is not an empty folder: reporting all
    // its files as removed would delete them everywhere.
    m_dir.close();
    std::vector<ScanRecord>().swap(m_scan);
    std::vector<std::uint32_t>().swap(m_listing);
    tell(std::string("\0listing", 8), "CFolderWatch: the folder " + m_folder + " cannot be listed; nothing is reported",
         nullptr);
    m_reported.swap(m_reportedNow);
}

void CFolderWatch::tell(const std::string& key, const std::string& console, const char* notice)
{
    if (!m_reported.count(key)) {
        diag(console);
        if (notice)
            m_notices.push_back(cp932::fromUtf8(notice).value_or(notice));
    }
    m_reportedNow.insert(key);
}

std::vector<std::string> CFolderWatch::takeNotices()
{
    std::vector<std::string> out;
    out.swap(m_notices);
    return out;
}

namespace {

std::string identityPath()
{
    return paths::joinFixed(CCatalog::getCatalogFolder(), "SEND.id");
}

} // namespace

void CFolderWatch::readKeptIdentity()
{
    // "<device> <inode>" of the SEND folder the node knows, and on a line of
    // its own the token of the node's marker (an older SEND.id has none).
    std::string text;
    unsigned long long dev = 0, ino = 0;
    m_keptValid = platform::readWholeFile(identityPath(), text) &&
                  std::sscanf(text.c_str(), "%llu %llu", &dev, &ino) == 2;
    m_kept = {dev, ino};
    const std::size_t eol = text.find('\n');
    m_token = m_keptValid && eol != std::string::npos ? firstLine(std::string_view(text).substr(eol + 1)) : "";
    if (m_token.size() != 32 || m_token.find_first_not_of("0123456789abcdef") != std::string::npos)
        m_token.clear();
    m_tokenSaved = !m_token.empty();
}

void CFolderWatch::keepIdentity(const platform::FileId& id)
{
    const std::string text = std::to_string(id.dev) + " " + std::to_string(id.ino) + "\n" + m_token + "\n";
    int err = 0;
    if (platform::replaceFileAtomically(identityPath(), text.data(), text.size(), &err)) {
        m_kept = id;
        m_keptValid = true;
        m_tokenSaved = true;
    } else if (!m_identityUnsaved) {
        // Tried again at every check; said once.
        diag("CFolderWatch: " + identityPath() + " cannot be written: " + std::strerror(err));
    }
    m_identityUnsaved = !m_keptValid || !(m_kept == id) || !m_tokenSaved;
}

bool CFolderWatch::carriesMarker(const platform::COpenFolder& dir) const
{
    std::string text;
    return !m_token.empty() && platform::readWholeFile(dir, MARKER_FILE, text) && firstLine(text) == m_token;
}

bool CFolderWatch::holdsOwnSnapshot(const platform::COpenFolder& dir, bool* markerMine, bool* snapshotThere) const
{
    *markerMine = carriesMarker(dir);
    *snapshotThere = platform::fileSize(dir, LIST_FILE) >= 0;
    // Before the node has a token, the folder whose device and inode
    // SEND.id holds (or any, without a SEND.id) stands for its marker.
    const bool tokenless = m_token.empty() && (!m_keptValid || dir.id() == m_kept);
    return *snapshotThere && (*markerMine || tokenless);
}

bool CFolderWatch::renewToken(bool markerMine)
{
    if (markerMine)
        return false;
    if (m_token.empty() || !m_markerUnsaved) {
        m_token = newToken();
        m_tokenSaved = false;
    }
    return true;
}

void CFolderWatch::keepFolder(const platform::COpenFolder& dir, bool writeMarker)
{
    if (writeMarker) {
        const std::string text = m_token + "\n";
        int err = 0;
        platform::createDirectory(dir, LIST_FOLDER);
        const bool written = platform::replaceFileAtomically(dir, MARKER_FILE, text.data(), text.size(), &err);
        // Tried again at every check; said once.
        if (!written && !m_markerUnsaved)
            diag("CFolderWatch: " + paths::joinFixed(m_folder, MARKER_FILE) + " cannot be written: " +
                 std::strerror(err));
        m_markerUnsaved = !written;
    }
    if (!(m_keptValid && dir.id() == m_kept) || !m_tokenSaved)
        keepIdentity(dir.id());
}

bool CFolderWatch::sharesFiles()
{
    bool any = false;
    CCatalog::getInstance()->visitOwnLive(0, std::chrono::steady_clock::time_point::max(),
                                          [&any](const CatalogRecord& r) { any = any || !isNodeRecord(r); });
    return any;
}

bool CFolderWatch::openKnownSend(platform::COpenFolder& out) const
{
    out.close();
    if (!m_knownValid || m_away || m_folder.empty() || !out.open(m_folder))
        return false;
    if (out.id() == m_knownId && carriesMarker(out))
        return true;
    out.close();
    return false;
}

// SEND, opened for the whole check and looked at before it is listed.
// Another folder than the snapshot's (a drive back under its mount point, a
// link pointed elsewhere) is judged against its own snapshot when it holds
// the node's, and makes the catalog follow it. A SEND without the node's
// snapshot may be away; the catalog tells (reconcile).
void CFolderWatch::lookAtFolder()
{
    m_identityKnown = m_dir.open(m_folder);
    m_identity = m_dir.id();
    const bool own = m_identityKnown && holdsOwnSnapshot(m_dir, &m_markerMine, &m_snapshotThere);
    m_otherFolder = m_identityKnown && !(m_snapshotFromValid && m_identity == m_snapshotFrom);
    m_mayBeAway = m_identityKnown && !own;
    m_takeAsked = m_identityKnown && platform::isRegularFile(m_dir, TAKE_FILE);
    if (m_otherFolder || m_rereadSnapshot) {
        CDirList read;
        const ListRead r = readList(m_dir, read, false);
        m_rereadSnapshot = r == ListRead::failed;
        // A folder that may be away has no snapshot of its own to judge by;
        // the one of the folder the node knows stays for its return.
        if (r == ListRead::read && !m_mayBeAway) {
            m_snapshot.swap(read);
            ++m_generation;
        }
        m_ownAt = 0;
    }
    if (m_mayBeAway)
        m_ownAt = 0;
}

void CFolderWatch::finishAway()
{
    for (std::vector<DirListRecord>& list : m_lists)
        list.clear();
    std::vector<std::uint32_t>().swap(m_next);
    std::vector<DirListRecord>().swap(m_fresh);
    std::vector<bool>().swap(m_freshShareable);
    // Looked at in full, and made to follow the catalog, once it is back;
    // until then the compaction keeps the own deleted records and their
    // files, which are on the drive.
    m_heldBack = true;
    m_reconcile = true;
    CCatalog::getInstance()->awaitSendCheck();
    m_away = true;
    m_knownValid = false;
    m_dir.close();
    // Said once on the console and as a notice; the window shows it until
    // SEND is back.
    const std::string take = std::string("SEND/") + TAKE_FILE;
    std::string notice, console;
    if (m_takeFailed != 0) {
        notice = "フォルダ " + m_folder + " をSENDフォルダにできません。SENDフォルダにないファイルの登録の記録 "
                 "(CATALOG/outsideSend.lst) を書き込めません（エラー " + std::to_string(m_takeFailed) + "）。"
                 "書き込めるまで、登録はそのまま残し、このフォルダには何も書き込みません。";
        console = "CFolderWatch: " + m_folder + " is not taken for SEND: CATALOG/outsideSend.lst cannot be kept ("
                  + std::strerror(m_takeFailed) + "); every registration stands, and it is tried at every check";
    } else {
        notice = "SENDフォルダ " + m_folder + " は、このノードの知っているフォルダではなく（ドライブが接続されていない?）、"
                 "登録したファイルがひとつもありません。フォルダが戻るまで、登録はそのまま残し、このフォルダには何も"
                 "書き込みません。フォルダかドライブを元に戻すか、このフォルダをSENDフォルダにするなら、" + take
                 + " という名前のファイルを作ってください（ファイルを入れるだけではSENDフォルダになりません。"
                 "ここにないファイルの登録は削除せず、期限が切れるか「登録を削除」で削除するまで残します）。";
        console = "CFolderWatch: SEND " + m_folder + " is not the folder this node knows (a drive not mounted?) and"
                  " holds none of its files; nothing is reported or written there until it is back. Put the folder or"
                  " drive back, or take this folder for SEND by making a file " + take + " (files put into it do not;"
                  " no registration is deleted, those of files not in it stand until they expire or are deleted in"
                  " the window)";
    }
    m_awayText = cp932::fromUtf8(notice).value_or(notice);
    tell(std::string(m_takeFailed != 0 ? "\0outside" : "\0away", m_takeFailed != 0 ? 8 : 5), console, notice.c_str());
    m_reported.swap(m_reportedNow);
    m_seen.swap(m_seenNow);
}

// Asks the catalog where the file system alone cannot tell, in listing
// order. A file that bears the registration the catalog holds (its name,
// kind, size and last write) keeps it as it is, whatever the snapshot says
// (a folder taken anew, a snapshot lost): it is not registered again, and a
// deletion asked for or expired of that very file stands (the compaction
// takes the file). A registration whose file differs is updated. A file the
// catalog holds no registration of (a catalog.dat lost or damaged, or one
// whose registration was deleted because it had left SEND) is registered as
// new; an unchanged one only when its name is one Windows nodes can take.
bool CFolderWatch::classify(std::chrono::steady_clock::time_point deadline)
{
    std::vector<DirListRecord>& added = m_lists[0];
    std::vector<DirListRecord>& changed = m_lists[2];
    std::vector<DirListRecord>& unregistered = m_lists[3];
    CCatalog* catalog = CCatalog::getInstance();
    // New to the snapshot, yet registered: a file back in SEND.
    std::vector<std::string> back;
    for (; m_cursor < m_toAsk.size(); ++m_cursor) {
        if ((m_cursor & 255) == 255 && std::chrono::steady_clock::now() >= deadline)
            break;
        const std::uint32_t item = m_next[m_toAsk[m_cursor] >> 2];
        const std::uint32_t told = m_toAsk[m_cursor] & 3;
        CCatalog::OwnHeld held;
        if (item & FRESH) {
            const DirListRecord& r = m_fresh[item & ~FRESH];
            held = catalog->ownRegistration(r.findData.cFileName, r.isLink, r.findData.nFileSizeHigh,
                                            r.findData.nFileSizeLow, r.findData.ftLastWriteTime);
        } else {
            const CDirList::Stamp st = m_snapshot.stamp(item);
            held = catalog->ownRegistration(m_snapshot.name(item), st.isLink, st.sizeHigh, st.sizeLow, st.written);
        }
        if (told == ASK_NEW && held != CCatalog::OwnHeld::none)
            back.emplace_back(nextName(item));
        switch (held) {
        case CCatalog::OwnHeld::same:
        case CCatalog::OwnHeld::deleted:
            break;
        case CCatalog::OwnHeld::differs:
            changed.push_back(nextRecord(item));
            break;
        case CCatalog::OwnHeld::none:
        case CCatalog::OwnHeld::gone:
            if (told == ASK_NEW)
                added.push_back(nextRecord(item));
            else if (told == ASK_CHANGED)
                unregistered.push_back(nextRecord(item));
            else if (item & FRESH ? bool(m_freshShareable[item & ~FRESH])
                                  : isShareableName(m_index.nameOf(item), nullptr, nullptr))
                unregistered.push_back(nextRecord(item));
            break;
        }
    }
    if (!back.empty())
        catalog->backInSend(std::vector<std::string_view>(back.begin(), back.end()));
    if (m_cursor < m_toAsk.size())
        return false;
    std::vector<std::uint32_t>().swap(m_toAsk);
    m_cursor = 0;
    if (!reconcile(deadline))
        return false;
    m_anyChange = false;
    for (const std::vector<DirListRecord>& list : m_lists)
        m_anyChange = m_anyChange || !list.empty();
    return true;
}

// Own live registrations whose file the listing does not bear are handed on
// as removed, after those the snapshot found, in catalog order; not those
// that stand outside SEND, nor any when the folder is taken anew. Looked at
// in steps; a compaction in between moves the records, and the look starts
// over.
bool CFolderWatch::reconcile(std::chrono::steady_clock::time_point deadline)
{
    if (m_ownAt < 0)
        return true;
    CCatalog* catalog = CCatalog::getInstance();
    const std::uint64_t generation = catalog->listGeneration();
    if (m_ownAt == 0 || generation != m_ownGeneration) {
        m_ownAt = 0;
        m_ownGeneration = generation;
        m_vanished.clear();
        m_ownLive = 0;
        m_ownPresent = 0;
    }
    m_ownAt = catalog->visitOwnLive(m_ownAt, deadline, [this, catalog](const CatalogRecord& r) {
        const std::string_view name = cp932::fieldText(r.findData.cFileName, MAX_PATH);
        // A shortcut's target cannot be told while a shortcut's status
        // cannot be read.
        if (m_linksUnknown && r.isLink == 1)
            return;
        // The node writes its own record into SEND itself: it tells nothing
        // of whether SEND is the folder the node knows.
        const bool nodeRecord = isNodeRecord(r);
        m_ownLive += nodeRecord ? 0 : 1;
        if (m_present.find(name) != m_present.end()) {
            m_ownPresent += nodeRecord ? 0 : 1;
            return;
        }
        // Its file is elsewhere: it stands.
        if (catalog->standsOutsideSend(r))
            return;
        DirListRecord gone;
        std::memset(&gone, 0, sizeof gone);
        gone.isLink = r.isLink == 1 ? 1 : 0;
        gone.findData = r.findData;
        m_vanished.push_back(gone);
    });
    if (m_ownAt >= 0)
        return false;
    decltype(m_present)().swap(m_present);
    // A folder without the node's snapshot, holding not one file of what
    // the node shares: not an empty SEND, but one whose drive is not there,
    // or one made anew, until its user takes it. (A node that shares
    // nothing loses nothing by taking it.)
    m_awayNow = m_mayBeAway && m_ownLive > 0 && m_ownPresent == 0 && !m_takeAsked;
    if (!m_awayNow && m_mayBeAway && !takeAnew())
        m_awayNow = true;
    if (m_awayNow) {
        std::vector<DirListRecord>().swap(m_vanished);
        return true;
    }
    m_lists[1].insert(m_lists[1].end(), m_vanished.begin(), m_vanished.end());
    std::vector<DirListRecord>().swap(m_vanished);
    m_reconcile = false;
    m_firstHanding = true;
    return true;
}

// The registrations of files the folder lacks are elsewhere (on the drive
// the node knew, in a folder copied without them): none is deleted, so no
// neighbour drops a copy, and they stand outside SEND, kept on the disk
// before the folder is taken, so that no later check or start deletes them.
bool CFolderWatch::takeAnew()
{
    std::vector<std::string_view> names;
    names.reserve(m_vanished.size());
    for (const DirListRecord& r : m_vanished) {
        const std::string_view name = cp932::fieldText(r.findData.cFileName, MAX_PATH);
        if (name != setting::NODE_RECORD_FILE) // written into the folder anew
            names.push_back(name);
    }
    int err = 0;
    if (!CCatalog::getInstance()->standOutsideSend(names, &err)) {
        m_takeFailed = err != 0 ? err : EIO;
        return false;
    }
    m_leftStanding = names.size();
    m_takenAnew = true;
    m_vanished.clear();
    m_lists[1].clear();
    return true;
}

void CFolderWatch::tellTaken()
{
    const std::string n = std::to_string(m_leftStanding);
    diag("CFolderWatch: " + m_folder + " is taken for SEND" + (m_takeAsked ? std::string(" (") + TAKE_FILE + ")" : "")
         + "; no registration is deleted: " + n + " registration(s) of files not in it stand until they expire or"
         " are deleted in the window, and the neighbours keep their copies");
    if (m_leftStanding == 0 && !m_takeAsked)
        return;
    const std::string notice = "フォルダ " + m_folder + " をSENDフォルダにしました。ここにないファイルの登録 " + n
                               + " 件は削除せず、期限が切れるか「登録を削除」で削除するまで残します"
                                 "（隣接ノードのコピーもそのまま残ります）。";
    m_notices.push_back(cp932::fromUtf8(notice).value_or(notice));
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
                m_goneDeleted += catalog->deleteGoneRecs(batch.data(), n);
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

bool CFolderWatch::buildNextSnapshot()
{
    bool same = m_next.size() == m_snapshot.size();
    for (std::size_t k = 0; same && k < m_next.size(); ++k)
        same = m_next[k] == k;
    if (same)
        return false;
    m_nextSnapshot.clear();
    m_nextSnapshot.reserve(m_next.size());
    for (const std::uint32_t item : m_next) {
        if (item & FRESH)
            m_nextSnapshot.push_back(m_fresh[item & ~FRESH]);
        else
            m_nextSnapshot.appendFrom(m_snapshot, item);
    }
    return true;
}

// The next snapshot is made and written on the worker when it differs from
// the snapshot (written only when anything was reported); the main thread
// takes it in once the worker is done.
void CFolderWatch::commit()
{
    for (std::vector<DirListRecord>& list : m_lists) {
        list.clear();
        list.shrink_to_fit();
    }
    m_reported.swap(m_reportedNow);
    m_seen.swap(m_seenNow);
    m_phase = Phase::saving;
    // Another folder, or one without its snapshot, is given the snapshot
    // at once, so that it is known at the next start too; the folder is
    // made the one the node knows before.
    const bool save = m_anyChange || m_otherFolder || !m_snapshotThere;
    const bool writeMarker = renewToken(m_markerMine);
    m_snapshotFrom = m_identity;
    m_snapshotFromValid = true;
    startWorker([this, save, writeMarker] {
        m_nextBuilt = buildNextSnapshot();
        keepFolder(m_dir, writeMarker);
        // Acted on once: it never acts again.
        if (m_takeAsked && !platform::deleteFile(m_dir, TAKE_FILE))
            diag(std::string("CFolderWatch: ") + TAKE_FILE + " in " + m_folder + " cannot be deleted");
        if (m_nextBuilt && save)
            writeList(m_dir, m_nextSnapshot, &m_snapshot);
        else if (save)
            writeList(m_dir, m_snapshot, nullptr);
        m_dir.close();
        std::vector<std::uint32_t>().swap(m_next);
        std::vector<DirListRecord>().swap(m_fresh);
        std::vector<bool>().swap(m_freshShareable);
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
        if (m_awayNow) {
            finishAway();
            m_phase = Phase::idle;
            return false;
        }
        m_away = false;
        m_awayText.clear();
        if (m_takenAnew)
            tellTaken();
        else if (m_takeAsked)
            diag(std::string("CFolderWatch: ") + TAKE_FILE + " in " + m_folder
                 + " is deleted: it is the folder this node knows already");
        m_knownId = m_identity;
        m_knownValid = true;
        m_phase = Phase::handing;
        [[fallthrough]];
    case Phase::handing:
        if (!handOn(deadline, maxRecords))
            return true;
        if (m_goneDeleted > 0)
            diag("CFolderWatch: " + std::to_string(m_goneDeleted) + " registration(s) of files gone from " + m_folder
                 + " are deleted");
        // The catalog has what the folder holds now: the compaction may
        // delete the node's own files again.
        if (m_firstHanding)
            CCatalog::getInstance()->sendChecked();
        m_firstHanding = false;
        commit();
        return true;
    case Phase::saving:
        if (workerBusy())
            return true;
        if (m_nextBuilt) {
            m_snapshot.swap(m_nextSnapshot);
            ++m_generation;
        }
        m_nextSnapshot.clear();
        m_nextBuilt = false;
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
