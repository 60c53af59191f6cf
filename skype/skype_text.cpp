#include "skype/skype_text.h"

#include "platform/cp932.h"

namespace {

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

bool isAsciiPunct(unsigned char c)
{
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60)
        || (c >= 0x7B && c <= 0x7E);
}

// Whether a lead byte at i has its trail byte; a lead byte alone, or one
// followed by a byte no character ends with, makes the text unusable (the
// byte after it could be a separator or a control character).
bool hasTrailByte(std::string_view s, std::size_t i)
{
    if (i + 1 >= s.size())
        return false;
    const auto trail = static_cast<unsigned char>(s[i + 1]);
    return trail >= 0x40 && trail != 0x7F && trail <= 0xFC;
}

} // namespace

bool isUsableSkypeId(std::string_view id)
{
    if (id.empty() || id.size() > SKYPE_ID_MAX)
        return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const auto c = static_cast<unsigned char>(id[i]);
        // The second byte of a double-byte character is never a separator.
        if (cp932::isLeadByte(c)) {
            if (!hasTrailByte(id, i))
                return false;
            ++i;
            continue;
        }
        if (c == ' ' || c == ',' || c == ':' || isControl(c))
            return false;
    }
    return true;
}

bool isUsableApplicationName(std::string_view name)
{
    if (name.empty() || name.size() > APPLICATION_NAME_MAX)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (cp932::isLeadByte(c)) {
            if (!hasTrailByte(name, i))
                return false;
            ++i;
            continue;
        }
        if (c == ' ' || isControl(c) || isAsciiPunct(c))
            return false;
    }
    return true;
}

bool parseStreamNumber(std::string_view text, int* number)
{
    if (text.empty() || text.size() > 9)
        return false;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    *number = n;
    return true;
}
