// Code page 932 text. Everything the node keeps or sends as text (records,
// frames, INI values, names) is CP932 bytes. Names are converted one at a
// time to UTF-8 where they meet the file system or the window system.
//
// In CP932 a lead byte (0x81-0x9F, 0xE0-0xFC) starts a two-byte character
// whose second byte may be 0x5C ('\\') or another ASCII punctuation byte, so
// text is only ever cut or searched on character boundaries.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cp932 {

bool isLeadByte(unsigned char c);

// UTF-8 of a CP932 text; nullopt when it does not convert, or when the result
// does not convert back to exactly the same bytes (one-way mappings).
std::optional<std::string> toUtf8(std::string_view cp932Text);
// CP932 of a UTF-8 text, with the same round-trip rule.
std::optional<std::string> fromUtf8(std::string_view utf8Text);

// Length of the longest prefix of `s` that is at most maxBytes long and does
// not end inside a double-byte character.
std::size_t prefixOnBoundary(std::string_view s, std::size_t maxBytes);

// Text of a fixed-width field: at most `width` bytes, up to the first NUL.
std::string_view fieldText(const char* field, std::size_t width);

// Fills a fixed-width field: copies src (up to its NUL) cut on a character
// boundary to at most `width` bytes, and zero-pads the rest. A text exactly as
// long as the field fills it with no terminating zero.
void copyField(char* dst, std::size_t width, const char* src);

// Copies src into a buffer of `capacity` bytes, NUL-terminated, cut on a
// character boundary; returns the number of text bytes copied.
std::size_t copyText(char* dst, std::size_t capacity, std::string_view src);
// Cut to at most maxBytes on a character boundary.
std::string cutText(std::string_view s, std::size_t maxBytes);

// First occurrence of the single-byte character c as a character (never as
// the second byte of a double-byte one); nullptr when absent.
const char* findChar(const char* s, unsigned char c);
// Same on a view; npos when absent.
std::size_t findChar(std::string_view s, unsigned char c);

// Exact comparison, byte by byte (<0, 0, >0 as strcmp).
int compare(const char* a, const char* b);
// Exact comparison of two fixed-width fields (each read within its width).
bool fieldEquals(const char* a, std::size_t widthA, const char* b, std::size_t widthB);

// Case-insensitive comparison for ASCII letters only, on character
// boundaries (double-byte characters compared exactly).
bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b);

// A text for a line of the console or a notice, in UTF-8: control bytes
// show as '?', and a text that is no CP932 shows its ASCII with '?' for
// every other byte, so a neighbour's name can neither break the line nor
// pass bytes the terminal would act on.
std::string consoleText(std::string_view cp932Text);

} // namespace cp932
