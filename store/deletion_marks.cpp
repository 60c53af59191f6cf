// Lists of own registrations in CATALOG: the deletion marks and the
// registrations outside SEND (see deletion_marks.h).
#include "store/deletion_marks.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/localtime.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"
#include "store/helpers.h"

namespace catalog_detail {

const RegistrationMarks::Kind RegistrationMarks::DELETIONS {
    "yuvo-deletion-marks 2\n", "削除の記録 (CATALOG/ownDeletions.lst)", true,
    "no deletion of an own file is made until it can",
    "読み込めるまで、登録の削除（「登録を削除」と期限切れ）はしません。"};
const RegistrationMarks::Kind RegistrationMarks::OUTSIDE_SEND {
    "yuvo-outside-send 1\n", "SENDフォルダにないファイルの登録の記録 (CATALOG/outsideSend.lst)", false,
    "no registration is deleted because its file is not in SEND, and no folder is taken for SEND anew, until it can",
    "読み込めるまで、SENDフォルダにないファイルの登録は削除せず、別のフォルダをSENDフォルダにしません。"};

namespace {

// A name ends within the record's field of 260 bytes.
constexpr std::size_t MAX_NAME = MAX_PATH - 1;
// No whole line is longer: four numbers, the time and the longest name.
constexpr std::size_t MAX_LINE = 4 * 9 + 33 + MAX_NAME;

// Exactly 2 * n hex digits into n bytes (the shared decoder takes a bad
// digit for 0, so the digits are checked first).
bool fromHex(std::string_view hex, void* out, std::size_t n)
{
    if (hex.size() != 2 * n)
        return false;
    for (const char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    const std::string text(hex);
    return hexToBin(text.c_str(), static_cast<BYTE*>(out), n) == int(n);
}

void toHex(std::string& out, const void* data, std::size_t n)
{
    char text[2 * sizeof(SYSTEMTIME) + 1];
    bytesToHex(int(n), static_cast<const BYTE*>(data), text);
    out += text;
}

bool fromHex32(std::string_view hex, DWORD* out)
{
    unsigned char b[4];
    if (!fromHex(hex, b, 4))
        return false;
    *out = DWORD(b[0]) << 24 | DWORD(b[1]) << 16 | DWORD(b[2]) << 8 | b[3];
    return true;
}

// A name a mark may hold: one an own registration can bear.
bool isMarkName(std::string_view name)
{
    return !name.empty() && name.size() <= MAX_NAME && paths::isSafeName(name);
}

// The local time of the file's last write, as registration times are kept.
bool lastWriteLocal(const std::string& path, SYSTEMTIME* out)
{
    const platform::FileStamp stamp = platform::fileStamp(path);
    if (!stamp.exists)
        return false;
    const std::int64_t secs = stamp.changedNs / 1000000000;
    if (!localTimeFromUnix(secs, out))
        return false;
    out->wMilliseconds = WORD(stamp.changedNs / 1000000 % 1000);
    return true;
}

} // namespace

bool RegistrationMarks::Registration::operator==(const Registration& o) const
{
    return sizeHigh == o.sizeHigh && sizeLow == o.sizeLow
           && std::memcmp(&lastWrite, &o.lastWrite, sizeof lastWrite) == 0
           && std::memcmp(&registered, &o.registered, sizeof registered) == 0;
}

RegistrationMarks::Registration RegistrationMarks::registrationOf(const CatalogRecord& rec)
{
    Registration reg;
    reg.sizeHigh = rec.findData.nFileSizeHigh;
    reg.sizeLow = rec.findData.nFileSizeLow;
    reg.lastWrite = rec.findData.ftLastWriteTime;
    reg.registered = rec.registered;
    return reg;
}

bool RegistrationMarks::parseLine(std::string_view line, std::string* name, Registration* reg)
{
    // Six fields, each ended by one blank; the name, which may hold blanks,
    // takes the rest of the line.
    std::string_view field[6];
    for (int k = 0; k < 6; ++k) {
        const std::size_t end = k < 5 ? line.find(' ') : line.size();
        if (end == std::string_view::npos)
            return false;
        field[k] = line.substr(0, end);
        line.remove_prefix(k < 5 ? end + 1 : end);
    }
    if (!fromHex32(field[0], &reg->sizeHigh) || !fromHex32(field[1], &reg->sizeLow)
        || !fromHex32(field[2], &reg->lastWrite.dwHighDateTime) || !fromHex32(field[3], &reg->lastWrite.dwLowDateTime)
        || !fromHex(field[4], &reg->registered, sizeof reg->registered) || !isMarkName(field[5]))
        return false;
    name->assign(field[5]);
    return true;
}

void RegistrationMarks::appendLine(std::string& out, const std::string& name, const Registration& reg)
{
    for (const DWORD v : {reg.sizeHigh, reg.sizeLow, reg.lastWrite.dwHighDateTime, reg.lastWrite.dwLowDateTime}) {
        const unsigned char be[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                     static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        toHex(out, be, 4);
        out += ' ';
    }
    toHex(out, &reg.registered, sizeof reg.registered);
    out += ' ';
    out += name;
    out += '\n';
}

RegistrationMarks::ReadResult RegistrationMarks::read(std::size_t maxMarks, const HeldRecord& held, int* err)
{
    ReadResult result;
    platform::CFile f;
    if (!f.Open(m_path, platform::CFile::modeRead, err)) {
        result.unreadable = !platform::isMissingError(*err);
        return result;
    }
    SYSTEMTIME written {};
    const bool writtenKnown = lastWriteLocal(m_path, &written);
    const auto take = [&](std::string_view rec) {
        std::string name;
        Registration reg;
        if (!result.oldLayout) {
            if (!parseLine(rec, &name, &reg)) {
                ++result.notWhole;
                return;
            }
        } else {
            if (rec.empty())
                return; // never written, but harmless
            if (!isMarkName(rec)) {
                ++result.notWhole;
                return;
            }
            name.assign(rec);
        }
        const CatalogRecord* r = held(name);
        bool keep = false;
        if (r && !result.oldLayout)
            keep = registrationOf(*r) == reg;
        else if (r)
            keep = writtenKnown && !CCatalog::isLaterTime(r->registered, written);
        if (keep)
            m_marks[name] = registrationOf(*r);
        else
            ++result.dropped;
    };
    // Records are split as they come; no more than one of them is held.
    std::string carry;     // the record read in part
    bool skipping = false; // within a record too long to be one
    std::size_t records = 0;
    const auto consume = [&](std::string_view chunk) {
        const char term = result.oldLayout ? '\0' : '\n';
        for (std::size_t at = 0; at < chunk.size() && !result.cut;) {
            const std::size_t end = chunk.find(term, at);
            const std::size_t stop = end == std::string_view::npos ? chunk.size() : end;
            if (!skipping)
                carry.append(chunk.substr(at, stop - at));
            if (carry.size() > MAX_LINE) {
                // No mark is that long: one record not whole, passed over to
                // its end without holding it.
                carry.clear();
                if (!skipping)
                    ++result.notWhole;
                skipping = true;
            }
            if (end == std::string_view::npos)
                return;
            at = end + 1;
            if (skipping) {
                skipping = false;
                continue;
            }
            if (++records > maxMarks) {
                result.cut = true;
                return;
            }
            take(carry);
            carry.clear();
        }
    };
    std::vector<char> buf(64 * 1024);
    try {
        // Read loops over short reads: less than asked is the end.
        std::size_t got = f.Read(buf.data(), buf.size());
        std::string_view first(buf.data(), got);
        const bool headed = first.substr(0, m_kind.header.size()) == m_kind.header;
        result.oldLayout = !headed && m_kind.olderLayout;
        consume(headed ? first.substr(m_kind.header.size()) : first);
        while (got == buf.size() && !result.cut) {
            got = f.Read(buf.data(), buf.size());
            consume(std::string_view(buf.data(), got));
        }
        f.Close();
    } catch (const platform::CFileException& e) {
        *err = e.m_errno;
        result.unreadable = true;
    }
    // A last record without its end is one an interrupted write cut short.
    if (!result.cut && !skipping && !carry.empty())
        ++result.notWhole;
    return result;
}

void RegistrationMarks::load(std::size_t maxMarks, HeldRecord held)
{
    if (!held) {
        // The catalog could not be loaded: what the file names is not known
        // in this run, so it stays as it is. Nothing persists in this run
        // (catalog.dat is not written either), so a mark in memory is enough.
        m_frozen = true;
        return;
    }
    m_maxMarks = maxMarks;
    m_held = std::move(held);
    readIn();
}

bool RegistrationMarks::readIn()
{
    int err = 0;
    const ReadResult r = read(m_maxMarks, m_held, &err);
    if (r.unreadable) {
        // Not written over (its marks would be lost), nor added to: what it
        // holds is not known until it can be read.
        m_marks.clear();
        m_readErr = err != 0 ? err : EIO;
        if (!m_unreadable) {
            std::printf("Error:CCatalog: %s cannot be read (%s); %s, and it is read again at every tick\n",
                        m_path.c_str(), std::strerror(m_readErr), m_kind.whileUnreadable);
            std::fflush(stdout);
            char after[512];
            std::snprintf(after, sizeof after, " を読み込めません（エラー %d）。%s", m_readErr, m_kind.whileUnreadableText);
            noticeAbout("", after);
        }
        m_unreadable = true;
        return false;
    }
    if (m_unreadable) {
        std::printf("CCatalog: %s read again\n", m_path.c_str());
        noticeAbout("", " を読み込みました。");
    }
    m_unreadable = false;
    if (r.notWhole > 0) {
        std::printf("Error:CCatalog: %zu mark(s) of %s not whole; ignored\n", r.notWhole, m_path.c_str());
        char after[256];
        std::snprintf(after, sizeof after, " に壊れた記録が %zu 件ありました。それらは使いません。", r.notWhole);
        noticeAbout("", after);
    }
    if (r.cut) {
        std::printf("Error:CCatalog: %s holds more than %zu marks; the rest is not read\n", m_path.c_str(),
                    m_maxMarks);
        char after[256];
        std::snprintf(after, sizeof after, " が上限の %zu 件を超えているため、それより後は読みません。", m_maxMarks);
        noticeAbout("", after);
    }
    if (r.dropped > 0)
        std::printf("CCatalog: %zu mark(s) of %s name no registration held%s; dropped\n", r.dropped, m_path.c_str(),
                    r.oldLayout ? " before the file was last written" : "");
    std::fflush(stdout);
    if ((r.notWhole > 0 || r.cut || r.dropped > 0 || (r.oldLayout && !m_marks.empty())) && !write(&err))
        owe(err);
    return true;
}

bool RegistrationMarks::names(const CatalogRecord& rec) const
{
    if (m_marks.empty())
        return false;
    const auto it = m_marks.find(fileText(rec));
    return it != m_marks.end() && it->second == registrationOf(rec);
}

bool RegistrationMarks::mark(const std::vector<const CatalogRecord*>& recs, int* err)
{
    if (m_unreadable) {
        // Marks that cannot be read cannot be kept either: a write would
        // lose them, and a mark held in memory alone would not outlast an end.
        *err = m_readErr;
        return false;
    }
    // What is set anew, with what it replaces (to be put back when the file
    // cannot take it).
    struct Change {
        std::string name;
        bool had;
        Registration before;
    };
    std::vector<Change> changes;
    for (const CatalogRecord* rec : recs) {
        const Registration reg = registrationOf(*rec);
        const std::string_view name = fileText(*rec);
        auto it = m_marks.find(name);
        if (it != m_marks.end() && it->second == reg)
            continue; // on the disk already
        changes.push_back({std::string(name), it != m_marks.end(), it != m_marks.end() ? it->second : Registration {}});
        if (it != m_marks.end())
            it->second = reg;
        else
            m_marks.emplace(name, reg);
    }
    if (changes.empty() || m_frozen)
        return true;
    if (write(err)) {
        written();
        return true;
    }
    for (const Change& c : changes) {
        if (c.had)
            m_marks[c.name] = c.before;
        else
            m_marks.erase(c.name);
    }
    return false;
}

void RegistrationMarks::clear(const std::vector<const CatalogRecord*>& recs)
{
    if (m_marks.empty())
        return;
    std::vector<std::string_view> names;
    names.reserve(recs.size());
    for (const CatalogRecord* rec : recs)
        names.push_back(fileText(*rec));
    clearNames(names);
}

void RegistrationMarks::clearNames(const std::vector<std::string_view>& names)
{
    if (m_marks.empty())
        return;
    bool changed = false;
    for (const std::string_view name : names) {
        const auto it = m_marks.find(name);
        if (it != m_marks.end()) {
            m_marks.erase(it);
            changed = true;
        }
    }
    int err = 0;
    if (changed && !m_frozen && !write(&err))
        owe(err);
}

bool RegistrationMarks::retry()
{
    if (m_unreadable)
        return readIn();
    if (!m_owed)
        return false;
    int err = 0;
    if (write(&err))
        written();
    return false;
}

void RegistrationMarks::written()
{
    if (!m_owed)
        return;
    m_owed = false;
    std::printf("CCatalog: %s written again\n", m_path.c_str());
    std::fflush(stdout);
    if (m_owedTold)
        noticeAbout("", " を書き込みました。");
    m_owedTold = false;
}

void RegistrationMarks::owe(int err)
{
    m_owed = true;
    if (m_owedTold)
        return;
    m_owedTold = true;
    std::printf("Error:CCatalog: %s cannot be written (%s); tried again until it is\n", m_path.c_str(),
                std::strerror(err));
    std::fflush(stdout);
    if (platform::isNoRoom(err)) {
        noticeAbout("ディスクに空きがないため、", " を書き込めません。書き込めるまで繰り返します。");
    } else {
        char after[256];
        std::snprintf(after, sizeof after, " を書き込めません（エラー %d）。書き込めるまで繰り返します。", err);
        noticeAbout("", after);
    }
}

bool RegistrationMarks::write(int* err)
{
    if (m_path.empty())
        return false;
    if (m_marks.empty())
        return platform::deleteFile(m_path, err) || platform::isMissingError(*err);
    return platform::replaceFileAtomically(
        m_path,
        [this](const platform::PieceWriter& put) {
            std::string piece(m_kind.header);
            for (const auto& [name, reg] : m_marks) {
                appendLine(piece, name, reg);
                if (piece.size() >= 64 * 1024) {
                    if (!put(piece.data(), piece.size()))
                        return false;
                    piece.clear();
                }
            }
            return put(piece.data(), piece.size());
        },
        err);
}

void RegistrationMarks::notice(const char* utf8Text)
{
    m_notices.push_back(cp932::fromUtf8(utf8Text).value_or(utf8Text));
}

void RegistrationMarks::noticeAbout(const char* before, const char* after)
{
    notice((std::string(before) + m_kind.label + after).c_str());
}

std::vector<std::string> RegistrationMarks::takeNotices()
{
    std::vector<std::string> out;
    out.swap(m_notices);
    return out;
}

} // namespace catalog_detail
