#include "store/helpers.h"

#include <climits>
#include <cstring>

#include "platform/cp932.h"
#include "platform/files.h"
#include "platform/shortcut.h"

namespace {

// Classified as in the C locale whatever locale the process runs in: bytes
// from 0x80 up are neither blank nor punctuation.
bool isBlank(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isPunct(unsigned char c)
{
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60)
        || (c >= 0x7B && c <= 0x7E);
}

// The second byte of a double-byte character: 0x40-0x7E or 0x80-0xFC. A
// lead byte followed by anything else (a blank, the end) stands alone.
bool isTrailByte(unsigned char c)
{
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

// Appends bytes to a bounded token; once one piece does not fit nothing more
// is added, so the token stays a prefix cut on a character boundary.
class TokenWriter {
public:
    TokenWriter(char* dst, std::size_t size) : m_dst(dst), m_size(size) {}
    void add(const unsigned char* p, std::size_t n)
    {
        if (m_full || m_len + n >= m_size) {
            m_full = true;
            return;
        }
        std::memcpy(m_dst + m_len, p, n);
        m_len += n;
    }
    void finish()
    {
        if (m_size > 0)
            m_dst[m_len] = '\0';
    }

private:
    char* m_dst;
    std::size_t m_size;
    std::size_t m_len = 0;
    bool m_full = false;
};

} // namespace

const char* getToken(const char* src, char* dst, std::size_t dstSize, const char* delim)
{
    TokenWriter token(dst, dst ? dstSize : 0);
    const auto* p = reinterpret_cast<const unsigned char*>(src ? src : "");
    while (*p && isBlank(*p))
        ++p;
    const unsigned char stop = delim ? static_cast<unsigned char>(delim[0]) : 0;
    while (*p) {
        // The second byte of a double-byte character may look like
        // punctuation ('\\', '@', '[' ...); it never ends a token.
        if (cp932::isLeadByte(*p) && isTrailByte(p[1])) {
            token.add(p, 2);
            p += 2;
            continue;
        }
        const bool stopper = isBlank(*p) || (delim ? (stop != 0 && *p == stop) : isPunct(*p));
        if (stopper) {
            token.finish();
            return reinterpret_cast<const char*>(p + 1);
        }
        token.add(p, 1);
        ++p;
    }
    token.finish();
    return nullptr;
}

int hexCharToInt(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

int hexToBin(const char* hex, BYTE* out, std::size_t outSize)
{
    if (!hex)
        return 0;
    const std::size_t n = std::strlen(hex);
    // A frame or text that does not fit is refused whole rather than cut:
    // half a frame is no frame.
    if (n % 2 != 0 || n / 2 > outSize || n / 2 > std::size_t(INT_MAX))
        return 0;
    for (std::size_t k = 0; k < n / 2; ++k)
        out[k] = static_cast<BYTE>(hexCharToInt(hex[2 * k]) * 16 + hexCharToInt(hex[2 * k + 1]));
    return static_cast<int>(n / 2);
}

void bytesToHex(int len, const BYTE* in, char* out)
{
    static const char digits[] = "0123456789abcdef";
    int k = 0;
    for (; k < len; ++k) {
        out[2 * k] = digits[in[k] >> 4];
        out[2 * k + 1] = digits[in[k] & 0x0F];
    }
    out[len > 0 ? 2 * len : 0] = '\0';
}

BOOL createShortcut(const char* lnkPath, const char* target, const char*, const char*, int)
{
    if (!lnkPath || !target)
        return FALSE;
    return platform::makeShortcut(lnkPath, target) ? TRUE : FALSE;
}

BOOL getShortcutTarget(const char* lnkPath, char* target, WIN32_FIND_DATAA* findData)
{
    target[0] = '\0';
    if (!lnkPath)
        return FALSE;
    std::string path;
    WIN32_FIND_DATAA fd {};
    if (!platform::resolveShortcut(lnkPath, &path, &fd))
        return FALSE;
    // A target cut to fit would name another file.
    if (path.size() >= std::size_t(MAX_PATH))
        return FALSE;
    std::memcpy(target, path.c_str(), path.size() + 1);
    *findData = fd;
    return TRUE;
}

ShellOpResult shellFileOperation(HWND, UINT wFunc, const std::string& from, const std::string& to)
{
    // This copy has no progress dialog, so it is never cancelled.
    if (wFunc != FO_COPY || from.empty() || to.empty())
        return ShellOpResult::failed;
    // copyFile refuses a file onto itself (under any of its names).
    return platform::copyFile(from, to) ? ShellOpResult::ok : ShellOpResult::failed;
}
