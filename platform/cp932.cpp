#include "platform/cp932.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace cp932 {

namespace {

// One conversion direction, opened on first use and kept for the thread's
// life: opening a converter costs far more than converting one name.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter()
    {
        if (m_cd != invalid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    std::optional<std::string> convert(std::string_view in)
    {
        if (m_cd == invalid())
            return std::nullopt;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr); // fresh shift state
        std::string out;
        out.resize(in.size() * 4 + 16);
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char* dst = out.data();
        std::size_t dstLeft = out.size();
        while (srcLeft > 0) {
            if (iconv(m_cd, &src, &srcLeft, &dst, &dstLeft) != std::size_t(-1))
                continue;
            if (errno != E2BIG)
                return std::nullopt; // invalid or incomplete sequence
            const std::size_t used = out.size() - dstLeft;
            out.resize(out.size() * 2);
            dst = out.data() + used;
            dstLeft = out.size() - used;
        }
        out.resize(out.size() - dstLeft);
        return out;
    }

private:
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }
    iconv_t m_cd;
};

Converter& toUtf8Converter()
{
    thread_local Converter c("UTF-8", "CP932");
    return c;
}

Converter& fromUtf8Converter()
{
    thread_local Converter c("CP932", "UTF-8");
    return c;
}

// Width in bytes of the character starting at s[i]; a lead byte with no
// second byte left counts as one byte (there is nothing of it to split).
std::size_t charWidth(std::string_view s, std::size_t i)
{
    return isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
}

unsigned char asciiLower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

} // namespace

bool isLeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

std::optional<std::string> toUtf8(std::string_view cp932Text)
{
    auto utf8 = toUtf8Converter().convert(cp932Text);
    if (!utf8)
        return std::nullopt;
    auto back = fromUtf8Converter().convert(*utf8);
    if (!back || *back != cp932Text)
        return std::nullopt;
    return utf8;
}

std::optional<std::string> fromUtf8(std::string_view utf8Text)
{
    auto text = fromUtf8Converter().convert(utf8Text);
    if (!text)
        return std::nullopt;
    auto back = toUtf8Converter().convert(*text);
    if (!back || *back != utf8Text)
        return std::nullopt;
    return text;
}

std::size_t prefixOnBoundary(std::string_view s, std::size_t maxBytes)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t w = charWidth(s, i);
        if (i + w > maxBytes)
            break;
        i += w;
    }
    return i;
}

std::string_view fieldText(const char* field, std::size_t width)
{
    return std::string_view(field, strnlen(field, width));
}

void copyField(char* dst, std::size_t width, const char* src)
{
    std::size_t n = 0;
    if (src) {
        const std::string_view text(src, strnlen(src, width + 1));
        n = prefixOnBoundary(text, width);
        std::memcpy(dst, src, n);
    }
    std::memset(dst + n, 0, width - n);
}

std::size_t copyText(char* dst, std::size_t capacity, std::string_view src)
{
    if (capacity == 0)
        return 0;
    const std::size_t n = prefixOnBoundary(src, capacity - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

std::string cutText(std::string_view s, std::size_t maxBytes)
{
    return std::string(s.substr(0, prefixOnBoundary(s, maxBytes)));
}

const char* findChar(const char* s, unsigned char c)
{
    if (!s)
        return nullptr;
    const std::size_t pos = findChar(std::string_view(s), c);
    return pos == std::string_view::npos ? nullptr : s + pos;
}

std::size_t findChar(std::string_view s, unsigned char c)
{
    for (std::size_t i = 0; i < s.size(); i += charWidth(s, i)) {
        if (static_cast<unsigned char>(s[i]) == c && charWidth(s, i) == 1)
            return i;
    }
    return std::string_view::npos;
}

int compare(const char* a, const char* b)
{
    // Two CP932 texts are equal exactly when their bytes are; byte order
    // also keeps every double-byte character whole in the ordering.
    const int r = std::strcmp(a ? a : "", b ? b : "");
    return (r > 0) - (r < 0);
}

bool fieldEquals(const char* a, std::size_t widthA, const char* b, std::size_t widthB)
{
    return fieldText(a, widthA) == fieldText(b, widthB);
}

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    std::size_t i = 0;
    while (i < a.size()) {
        const std::size_t w = charWidth(a, i);
        if (w == 2) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1])
                return false;
        } else if (asciiLower(static_cast<unsigned char>(a[i]))
                   != asciiLower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
        i += w;
    }
    return true;
}

std::string consoleText(std::string_view cp932Text)
{
    // Neither a control byte nor 0x7F is ever the second byte of a
    // character, so they are replaced byte by byte.
    std::string text(cp932Text);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    if (std::optional<std::string> utf8 = toUtf8(text))
        return *utf8;
    for (char& c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return text;
}

} // namespace cp932
