// The marks of the node's own deletions (see deletion_marks.h).
#include "store/deletion_marks.h"

#include <cctype>
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

namespace {

constexpr std::string_view HEADER = "yuvo-deletion-marks 2\n";
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

bool DeletionMarks::Registration::operator==(const Registration& o) const
{
    return sizeHigh == o.sizeHigh && sizeLow == o.sizeLow
           && std::memcmp(&lastWrite, &o.lastWrite, sizeof lastWrite) == 0
           && std::memcmp(&registered, &o.registered, sizeof registered) == 0;
}

DeletionMarks::Registration DeletionMarks::registrationOf(const CatalogRecord& rec)
{
    Registration reg;
    reg.sizeHigh = rec.findData.nFileSizeHigh;
    reg.sizeLow = rec.findData.nFileSizeLow;
    reg.lastWrite = rec.findData.ftLastWriteTime;
    reg.registered = rec.registered;
    return reg;
}

bool DeletionMarks::parseLine(std::string_view line, std::string* name, Registration* reg)
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

void DeletionMarks::appendLine(std::string& out, const std::string& name, const Registration& reg)
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

DeletionMarks::ReadResult DeletionMarks::read(std::size_t maxMarks, const HeldRecord& held)
{
    ReadResult result;
    platform::CFile f;
    int err = 0;
    if (!f.Open(m_path, platform::CFile::modeRead, &err)) {
        if (!platform::isMissingError(err)) {
            std::printf("Error:CCatalog: %s cannot be read (%s); own files deleted by their user wait for a"
                        " deletion asked anew\n",
                        m_path.c_str(), std::strerror(err));
            result.unreadable = true;
        }
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
        result.oldLayout = first.substr(0, HEADER.size()) != HEADER;
        consume(result.oldLayout ? first : first.substr(HEADER.size()));
        while (got == buf.size() && !result.cut) {
            got = f.Read(buf.data(), buf.size());
            consume(std::string_view(buf.data(), got));
        }
        f.Close();
    } catch (const platform::CFileException& e) {
        std::printf("Error:CCatalog: %s cannot be read (%s)\n", m_path.c_str(), std::strerror(e.m_errno));
        result.unreadable = true;
    }
    // A last record without its end is one an interrupted write cut short.
    if (!result.cut && !skipping && !carry.empty())
        ++result.notWhole;
    return result;
}

void DeletionMarks::load(std::size_t maxMarks, const HeldRecord& held)
{
    if (!held) {
        // The catalog could not be loaded: what the file names is not known
        // in this run, so it stays as it is. Nothing persists in this run
        // (catalog.dat is not written either), so a mark in memory is enough.
        m_frozen = true;
        return;
    }
    const ReadResult r = read(maxMarks, held);
    if (r.unreadable) {
        // An unreadable file is not written over: its marks would be lost.
        m_frozen = true;
        return;
    }
    if (r.notWhole > 0) {
        std::printf("Error:CCatalog: %zu mark(s) of %s not whole; ignored\n", r.notWhole, m_path.c_str());
        char text[256];
        std::snprintf(text, sizeof text,
                      "削除の記録 (CATALOG/ownDeletions.lst) に壊れた記録が %zu 件ありました。それらは使いません。",
                      r.notWhole);
        notice(text);
    }
    if (r.cut) {
        std::printf("Error:CCatalog: %s holds more than %zu marks; the rest is not read\n", m_path.c_str(),
                    maxMarks);
        char text[256];
        std::snprintf(text, sizeof text,
                      "削除の記録 (CATALOG/ownDeletions.lst) が上限の %zu 件を超えているため、それより後は読みません。",
                      maxMarks);
        notice(text);
    }
    if (r.dropped > 0)
        std::printf("CCatalog: %zu mark(s) of %s name no registration held%s; dropped\n", r.dropped, m_path.c_str(),
                    r.oldLayout ? " before the file was last written" : "");
    std::fflush(stdout);
    int err = 0;
    if ((r.notWhole > 0 || r.cut || r.dropped > 0 || (r.oldLayout && !m_marks.empty())) && !write(&err))
        owe(err);
}

bool DeletionMarks::names(const CatalogRecord& rec) const
{
    if (m_marks.empty())
        return false;
    const auto it = m_marks.find(fileText(rec));
    return it != m_marks.end() && it->second == registrationOf(rec);
}

bool DeletionMarks::mark(const std::vector<const CatalogRecord*>& recs, int* err)
{
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

void DeletionMarks::clear(const std::vector<const CatalogRecord*>& recs)
{
    if (m_marks.empty())
        return;
    bool changed = false;
    for (const CatalogRecord* rec : recs) {
        const auto it = m_marks.find(fileText(*rec));
        if (it != m_marks.end()) {
            m_marks.erase(it);
            changed = true;
        }
    }
    int err = 0;
    if (changed && !m_frozen && !write(&err))
        owe(err);
}

void DeletionMarks::retryWrite()
{
    if (!m_owed)
        return;
    int err = 0;
    if (write(&err))
        written();
}

void DeletionMarks::written()
{
    if (!m_owed)
        return;
    m_owed = false;
    std::printf("CCatalog: %s written again\n", m_path.c_str());
    std::fflush(stdout);
    if (m_owedTold)
        notice("削除の記録 (CATALOG/ownDeletions.lst) を書き込みました。");
    m_owedTold = false;
}

void DeletionMarks::owe(int err)
{
    m_owed = true;
    if (m_owedTold)
        return;
    m_owedTold = true;
    std::printf("Error:CCatalog: %s cannot be written (%s); tried again until it is\n", m_path.c_str(),
                std::strerror(err));
    std::fflush(stdout);
    char text[256];
    if (platform::isNoRoom(err))
        std::snprintf(text, sizeof text,
                      "ディスクに空きがないため、削除の記録 (CATALOG/ownDeletions.lst) を書き込めません。"
                      "書き込めるまで繰り返します。");
    else
        std::snprintf(text, sizeof text,
                      "削除の記録 (CATALOG/ownDeletions.lst) を書き込めません（エラー %d）。書き込めるまで繰り返します。",
                      err);
    notice(text);
}

bool DeletionMarks::write(int* err)
{
    if (m_path.empty())
        return false;
    if (m_marks.empty())
        return platform::deleteFile(m_path, err) || platform::isMissingError(*err);
    return platform::replaceFileAtomically(
        m_path,
        [this](const platform::PieceWriter& put) {
            std::string piece(HEADER);
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

void DeletionMarks::notice(const char* utf8Text)
{
    m_notices.push_back(cp932::fromUtf8(utf8Text).value_or(utf8Text));
}

std::vector<std::string> DeletionMarks::takeNotices()
{
    std::vector<std::string> out;
    out.swap(m_notices);
    return out;
}

} // namespace catalog_detail
