// Small shared helpers: the tokenizer of Skype replies, hex conversions,
// shortcuts and the file copy.
#pragma once

#include <cstddef>
#include <string>

#include "platform/wintypes.h"

// Takes the next token of src into dst (dstSize bytes, NUL included).
// Leading blanks are skipped; a token ends at a blank, at delim's first
// character, or (delim null) at any ASCII punctuation; the stopper is
// consumed. A double-byte CP932 character always belongs to the token whole.
// Returns the position after the stopper, or nullptr when src ended first
// (dst then still holds the last token). A token longer than dst is cut on a
// character boundary to dstSize - 1 bytes; the rest of it is skipped.
const char* getToken(const char* src, char* dst, std::size_t dstSize, const char* delim);

// '0'-'9', 'A'-'F', 'a'-'f' give 0..15; anything else 0.
int hexCharToInt(char c);

// Decodes the hex text into out (outSize bytes) and returns the number of
// bytes written. An odd number of digits, or more bytes than out holds,
// writes nothing and returns 0. Invalid digits count as 0.
int hexToBin(const char* hex, BYTE* out, std::size_t outSize);

// Writes the len bytes as lower-case hex digits and a NUL: out needs
// 2 * len + 1 bytes. len <= 0 gives "".
void bytesToHex(int len, const BYTE* in, char* out);

// Shortcuts are symbolic links named *.lnk; paths are native paths. args,
// workDir and showCmd have no place in a link and are not kept.
BOOL createShortcut(const char* lnkPath, const char* target, const char* args, const char* workDir,
                    int showCmd);
// The target (into a buffer of MAX_PATH bytes) and its find data, looked at
// afresh. 0 when the link cannot be read, its target is gone or is no
// regular file, or the target path does not fit the buffer.
BOOL getShortcutTarget(const char* lnkPath, char* target, WIN32_FIND_DATAA* findData);

constexpr UINT FO_COPY = 2;

enum class ShellOpResult {
    ok,
    cancelled, // the user stopped it
    failed,    // nothing was copied
};

// Copies the file from -> to (native paths, to names the new file) under a
// temporary name in the target's folder, then renames it into place. Only
// FO_COPY is supported. A file is never copied onto itself.
ShellOpResult shellFileOperation(HWND owner, UINT wFunc, const std::string& from, const std::string& to);
