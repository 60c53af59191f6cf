// Text and colours where the program meets Qt. Every text the user-interface
// layer takes or gives is CP932 (the program's own text); it becomes a
// QString only inside the layer. Fixed texts written in the source (UTF-8)
// become CP932 with ui::cp.
#pragma once

#include <string>
#include <string_view>

#include <QColor>
#include <QString>

#include "platform/ui/winui.h"

namespace ui {

// CP932 of a UTF-8 text written in the source. A character without a CP932
// form becomes '?' (a fault in the source, never in data).
std::string cp(std::string_view utf8);

// The QString of a CP932 text for display. Bytes that are no CP932 (a
// peer's broken name) show as U+FFFD, one per byte, the rest as it is.
QString toQt(std::string_view cp932Text);
// The CP932 of what the user typed or Qt holds; a character without a CP932
// form becomes '?', as a code-page conversion on Windows does.
std::string fromQt(const QString& text);
// True when every character of the text has a CP932 form.
bool hasCp932Form(const QString& text);
// Length of the CP932 form in bytes (a character without one counts 1).
std::size_t cp932Length(const QString& text);

// A whole decimal number with optional sign and blanks around it, within
// the range of int.
bool parseWholeNumber(const std::string& text, int& out);

// A number with "," between each group of three digits from the right.
std::string groupDigits(unsigned long value);
// The size column of a file list: "2G超" above 4 GiB, else grouped digits.
std::string fileSizeText(const WIN32_FIND_DATAA& fd);
std::string fileSizeText(DWORD sizeHigh, DWORD sizeLow);
// The file lists' registration time "%4d/%2d/%2d %02d:%02d:%02d:%03d" and
// expiry date "%4d/%2d/%2d".
std::string registeredText(const SYSTEMTIME& t);
std::string expiryText(WORD year, WORD month, WORD day);

QColor toQColor(COLORREF c);
COLORREF fromQColor(const QColor& c);

} // namespace ui

// The colour of one of the system's elements (COLOR_WINDOW, COLOR_WINDOWTEXT,
// COLOR_BTNFACE), from the application's palette.
COLORREF GetSysColor(int index);
