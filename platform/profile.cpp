#include "platform/profile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/cp932.h"
#include "platform/files.h"

namespace platform {

namespace {

// Longest value a number is read from, in bytes.
constexpr std::size_t kMaxValue = 260;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// One line of the file as it stands: offsets into the text, so that every
// byte not written to is kept as it was.
struct Line {
    enum Kind { Other, Section, Key };
    std::size_t begin = 0;      // first byte
    std::size_t contentEnd = 0; // before "\r\n", "\n" or "\r"
    std::size_t end = 0;        // after the line end (== contentEnd on a last line without one)
    Kind kind = Other;
    std::string_view name;      // section or key name, trimmed
    std::size_t valueBegin = 0; // key lines: first byte of the value (after '=' and blanks)
    std::string_view value;     // key lines: the value, trimmed
};

Line parseLine(std::string_view text, std::size_t begin, std::size_t contentEnd, std::size_t end)
{
    Line line;
    line.begin = begin;
    line.contentEnd = contentEnd;
    line.end = end;
    const std::string_view content = text.substr(begin, contentEnd - begin);
    const std::string_view body = trim(content);
    if (body.empty() || body.front() == ';')
        return line;
    if (body.front() == '[') {
        const std::size_t close = cp932::findChar(body.substr(1), ']');
        if (close != std::string_view::npos) {
            line.kind = Line::Section;
            line.name = trim(body.substr(1, close));
        }
        return line;
    }
    const std::size_t eq = cp932::findChar(content, '=');
    if (eq == std::string_view::npos)
        return line;
    line.kind = Line::Key;
    line.name = trim(content.substr(0, eq));
    std::size_t v = eq + 1;
    while (v < content.size() && isBlank(content[v]))
        ++v;
    line.valueBegin = begin + v;
    line.value = trim(content.substr(v));
    return line;
}

// Lines end with CR LF, LF or a lone CR (as some editors save files); the
// last line may have no end. Neither byte is ever part of a CP932 character.
std::vector<Line> parseLines(std::string_view text)
{
    std::vector<Line> lines;
    // An editor that saved the file as UTF-8 may have put a byte-order mark
    // before the first line; it is no part of that line (a section header
    // behind it would be missed, and a second one written at the end). Its
    // bytes stay in the file as they are.
    static constexpr std::string_view BOM = "\xEF\xBB\xBF";
    std::size_t pos = text.substr(0, BOM.size()) == BOM ? BOM.size() : 0;
    while (pos < text.size()) {
        const std::size_t contentEnd = std::min(text.find_first_of("\r\n", pos), text.size());
        std::size_t end = contentEnd;
        if (end < text.size())
            end += text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        lines.push_back(parseLine(text, pos, contentEnd, end));
        pos = end;
    }
    return lines;
}

// Where a key stands in the file: the first section of that name, and in it
// the first key of that name.
struct Lookup {
    static constexpr std::size_t npos = std::size_t(-1);
    std::size_t section = npos;  // index of the section line
    std::size_t key = npos;      // index of the key line
    std::size_t lastKey = npos;  // the section's last key line (or its header)
};

Lookup lookup(const std::vector<Line>& lines, std::string_view section, std::string_view key)
{
    Lookup at;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Section && cp932::equalsIgnoreAsciiCase(lines[i].name, section)) {
            at.section = i;
            break;
        }
    }
    if (at.section == Lookup::npos)
        return at;
    at.lastKey = at.section;
    for (std::size_t i = at.section + 1; i < lines.size() && lines[i].kind != Line::Section; ++i) {
        if (lines[i].kind != Line::Key)
            continue;
        at.lastKey = i;
        if (at.key == Lookup::npos && cp932::equalsIgnoreAsciiCase(lines[i].name, key))
            at.key = i;
    }
    return at;
}

// The value of section/key in the file, or nullopt when the file, section or
// key is missing.
std::optional<std::string> readValue(const char* section, const char* key, const std::string& path)
{
    if (!section || !key)
        return std::nullopt;
    std::string text;
    if (!readWholeFile(path, text))
        return std::nullopt;
    const std::vector<Line> lines = parseLines(text);
    const Lookup at = lookup(lines, trim(section), trim(key));
    if (at.key == Lookup::npos)
        return std::nullopt;
    return std::string(lines[at.key].value);
}

// The line end the file uses: that of the line at `index` when it has one,
// else the file's first, else CRLF as profile files are written on Windows.
std::string_view lineEndFor(std::string_view text, const std::vector<Line>& lines, std::size_t index)
{
    auto endOf = [&](const Line& l) { return text.substr(l.contentEnd, l.end - l.contentEnd); };
    if (index < lines.size() && lines[index].end > lines[index].contentEnd)
        return endOf(lines[index]);
    for (const Line& l : lines) {
        if (l.end > l.contentEnd)
            return endOf(l);
    }
    return "\r\n";
}

bool hasLineBreak(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Names that would not read back as written: a line break anywhere, a key
// that is empty, holds '=', or would read as a comment or a section line,
// a section name that holds ']'.
bool isWritable(std::string_view section, std::string_view key, std::string_view value)
{
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    if (trim(section).empty() || cp932::findChar(section, ']') != std::string_view::npos)
        return false;
    const std::string_view k = trim(key);
    return !k.empty() && k.front() != ';' && k.front() != '['
        && cp932::findChar(key, '=') == std::string_view::npos;
}

} // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                               char* out, DWORD size, const std::string& path)
{
    if (!out || size == 0)
        return 0;
    const std::optional<std::string> value = readValue(section, key, path);
    const std::string_view text = value ? std::string_view(*value) : std::string_view(def ? def : "");
    return static_cast<DWORD>(cp932::copyText(out, size, text));
}

UINT GetPrivateProfileIntA(const char* section, const char* key, int def, const std::string& path)
{
    const std::optional<std::string> value = readValue(section, key, path);
    // An empty value reads as no value at all.
    if (!value || value->empty())
        return static_cast<UINT>(def);
    const std::string text = cp932::cutText(*value, kMaxValue);
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    // The number wraps in 32 bits like the unsigned result it becomes.
    std::uint32_t n = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        n = n * base + digit;
    }
    return negative ? 0u - n : n;
}

namespace {

// The file without any section of that name: each goes from its header
// to the next section's header.
BOOL deleteSection(std::string_view section, const std::string& path)
{
    std::string text;
    int err = 0;
    if (!readWholeFile(path, text, &err))
        return err == ENOENT ? TRUE : FALSE;
    std::string kept;
    kept.reserve(text.size());
    std::size_t from = 0; // the start of the bytes kept since the last section that went
    bool going = false;   // inside a section that goes
    for (const Line& l : parseLines(text)) {
        if (l.kind != Line::Section)
            continue;
        const bool goes = cp932::equalsIgnoreAsciiCase(l.name, section);
        if (goes && !going)
            kept.append(text, from, l.begin - from);
        else if (!goes && going)
            from = l.begin;
        going = goes;
    }
    if (!going)
        kept.append(text, from, std::string::npos);
    if (kept.size() == text.size())
        return TRUE;
    return replaceFileAtomically(path, kept.data(), kept.size()) ? TRUE : FALSE;
}

} // namespace

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const std::string& path)
{
    if (section && !key && !value)
        return deleteSection(trim(section), path);
    if (!section || !key || !value || !isWritable(section, key, value))
        return FALSE;
    std::string text;
    int err = 0;
    if (!readWholeFile(path, text, &err) && err != ENOENT)
        return FALSE; // never replace a file that could not be read
    const std::string_view sectionName = trim(section);
    const std::string_view keyName = trim(key);
    const std::vector<Line> lines = parseLines(text);
    const Lookup at = lookup(lines, sectionName, keyName);

    std::string updated;
    if (at.key != Lookup::npos) {
        // Only the value changes; the key as spelt in the file, the blanks
        // around '=' and the line end stay.
        const Line& l = lines[at.key];
        updated.reserve(text.size() + std::strlen(value));
        updated.append(text, 0, l.valueBegin);
        updated.append(value);
        updated.append(text, l.contentEnd, std::string::npos);
    } else {
        std::size_t insertAt;
        std::string_view eol;
        std::string added;
        if (at.section != Lookup::npos) {
            insertAt = lines[at.lastKey].end;
            eol = lineEndFor(text, lines, at.lastKey);
        } else {
            insertAt = text.size();
            eol = lineEndFor(text, lines, lines.size() - (lines.empty() ? 0 : 1));
            added.append("[").append(sectionName).append("]").append(eol);
        }
        added.append(keyName).append("=").append(value).append(eol);
        updated.reserve(text.size() + added.size() + 2);
        updated.append(text, 0, insertAt);
        // The line before has no line end when it is the file's last.
        if (insertAt > 0 && text[insertAt - 1] != '\n' && text[insertAt - 1] != '\r')
            updated.append(eol);
        updated.append(added);
        updated.append(text, insertAt, std::string::npos);
    }
    if (updated == text)
        return TRUE;
    return replaceFileAtomically(path, updated.data(), updated.size()) ? TRUE : FALSE;
}

} // namespace platform
