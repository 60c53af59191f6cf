#include "platform/paths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/cp932.h"

namespace paths {

namespace {

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// The second byte of a double-byte character is 0x40-0x7E or 0x80-0xFC;
// anything else (a '/', a NUL) means the text is not CP932 at all.
bool isTrailByte(unsigned char c)
{
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// UTF-8 of a name that is one safe path component, nullopt otherwise.
std::optional<std::string> safeNameUtf8(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return std::nullopt;
    bool ascii = true;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        ascii = ascii && c < 0x80;
        if (cp932::isLeadByte(c)) {
            if (i + 1 >= name.size() || !isTrailByte(static_cast<unsigned char>(name[i + 1])))
                return std::nullopt;
            ++i;
            continue;
        }
        if (isControl(c) || c == '/' || c == ':' || c == '\\')
            return std::nullopt;
    }
    // Printable ASCII is the same text in both (the names checked at every
    // record are mostly such), so no conversion is needed.
    if (ascii)
        return std::string(name);
    auto utf8 = cp932::toUtf8(name);
    // The converted name must still be one component on the native side.
    if (!utf8 || utf8->find('/') != std::string::npos || utf8->find('\0') != std::string::npos)
        return std::nullopt;
    return utf8;
}

std::string joinOnto(std::string_view folder, std::string_view component)
{
    std::string out(folder);
    if (!out.empty() && out.back() != '/')
        out += '/';
    out += component;
    return out;
}

} // namespace

bool isSafeName(std::string_view cp932Name)
{
    return safeNameUtf8(cp932Name).has_value();
}

std::optional<std::string> nativeName(std::string_view cp932Name)
{
    return safeNameUtf8(cp932Name);
}

std::optional<std::string> joinName(std::string_view folder, std::string_view cp932Name)
{
    // Without a folder the name would land wherever the process happens to
    // stand: refuse rather than guess.
    if (folder.empty())
        return std::nullopt;
    auto utf8 = safeNameUtf8(cp932Name);
    if (!utf8)
        return std::nullopt;
    if (utf8->size() > NAME_MAX_BYTES)
        return joinOnto(folder, fitName(*utf8, SHORT_NAME_BYTES));
    return joinOnto(folder, *utf8);
}

std::string fitName(std::string_view utf8Name, std::size_t maxBytes)
{
    if (utf8Name.size() <= maxBytes)
        return std::string(utf8Name);
    // FNV-1a over the whole name.
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : utf8Name) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    char tag[24];
    const int tagLength = std::snprintf(tag, sizeof tag, "\xC2\xB7%016llx", static_cast<unsigned long long>(h));
    std::size_t keep = maxBytes > std::size_t(tagLength) ? maxBytes - std::size_t(tagLength) : 0;
    while (keep > 0 && (static_cast<unsigned char>(utf8Name[keep]) & 0xC0) == 0x80)
        --keep; // not inside a character
    return std::string(utf8Name.substr(0, keep)) + tag;
}

std::string joinFixed(std::string_view folder, std::string_view component)
{
    return joinOnto(folder, component);
}

std::string currentDirectory()
{
    std::vector<char> buf(4096);
    for (;;) {
        if (getcwd(buf.data(), buf.size()))
            return std::string(buf.data());
        if (errno != ERANGE || buf.size() > (1u << 20))
            return std::string();
        buf.resize(buf.size() * 2);
    }
}

std::string baseName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string dirName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return std::string();
    if (slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

} // namespace paths
