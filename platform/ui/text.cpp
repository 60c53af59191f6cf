#include "platform/ui/text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <QGuiApplication>
#include <QPalette>

#include "platform/cp932.h"

namespace ui {

namespace {

// CP932 of one character (one code point, surrogate pairs whole), or
// nothing when it has none.
std::optional<std::string> charToCp932(const QString& ch)
{
    const QByteArray utf8 = ch.toUtf8();
    return cp932::fromUtf8(std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

template <typename Fn>
void forEachCharacter(const QString& text, Fn fn)
{
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        fn(text.mid(i, n));
        i += n;
    }
}

} // namespace

std::string cp(std::string_view utf8)
{
    if (auto whole = cp932::fromUtf8(utf8))
        return *whole;
    return fromQt(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())));
}

QString toQt(std::string_view text)
{
    if (auto whole = cp932::toUtf8(text))
        return QString::fromUtf8(whole->data(), qsizetype(whole->size()));
    // Character by character, so one bad byte does not hide the rest.
    QString out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = (cp932::isLeadByte(c) && i + 1 < text.size()) ? 2 : 1;
        if (auto one = cp932::toUtf8(text.substr(i, n))) {
            out += QString::fromUtf8(one->data(), qsizetype(one->size()));
            i += n;
        } else {
            out += QChar(0xFFFD);
            ++i;
        }
    }
    return out;
}

std::string fromQt(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    if (auto whole = cp932::fromUtf8(std::string_view(utf8.constData(), std::size_t(utf8.size()))))
        return *whole;
    std::string out;
    forEachCharacter(text, [&](const QString& ch) {
        auto one = charToCp932(ch);
        out += one ? *one : std::string("?");
    });
    return out;
}

bool hasCp932Form(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    return cp932::fromUtf8(std::string_view(utf8.constData(), std::size_t(utf8.size()))).has_value();
}

std::size_t cp932Length(const QString& text)
{
    return fromQt(text).size();
}

bool parseWholeNumber(const std::string& text, int& out)
{
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
        --e;
    if (b == e)
        return false;
    const std::string t = text.substr(b, e - b);
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(t.c_str(), &end, 10);
    if (errno != 0 || end != t.c_str() + t.size() || v < INT_MIN || v > INT_MAX)
        return false;
    out = int(v);
    return true;
}

QColor toQColor(COLORREF c)
{
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

COLORREF fromQColor(const QColor& c)
{
    return RGB(c.red(), c.green(), c.blue());
}

std::string groupDigits(unsigned long value)
{
    const std::string digits = std::to_string(value);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string fileSizeText(const WIN32_FIND_DATAA& fd)
{
    return fileSizeText(fd.nFileSizeHigh, fd.nFileSizeLow);
}

std::string fileSizeText(DWORD sizeHigh, DWORD sizeLow)
{
    if (sizeHigh != 0)
        return cp("2G超");
    return groupDigits(sizeLow);
}

std::string registeredText(const SYSTEMTIME& t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%4d/%2d/%2d %02d:%02d:%02d:%03d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds);
    return buf;
}

std::string expiryText(WORD year, WORD month, WORD day)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4d/%2d/%2d", year, month, day);
    return buf;
}

} // namespace ui

COLORREF GetSysColor(int index)
{
    const QPalette pal = QGuiApplication::palette();
    switch (index) {
    case COLOR_WINDOW:
        return ui::fromQColor(pal.color(QPalette::Base));
    case COLOR_WINDOWTEXT:
        return ui::fromQColor(pal.color(QPalette::Text));
    case COLOR_BTNFACE:
        return ui::fromQColor(pal.color(QPalette::Button));
    default:
        return ui::fromQColor(pal.color(QPalette::Window));
    }
}
