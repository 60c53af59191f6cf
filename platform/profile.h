// The INI profile functions on a file path, with the Windows behaviour the
// settings rely on. The file is CP932 text; section and key names match
// without regard to ASCII case, and the first match wins.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace platform {

// Copies the value (or def when the file, section or key is missing) into
// out, cut to size-1 bytes on a character boundary; returns the number of
// bytes copied.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                               char* out, DWORD size, const std::string& path);

// Parses the value like GetPrivateProfileInt: optional blanks, an optional
// sign, decimal digits ("0x" hexadecimal too); def when missing; 0 when the
// value has no number.
UINT GetPrivateProfileIntA(const char* section, const char* key, int def, const std::string& path);

// Replaces the key's value in place (every other byte of the file stays as it
// was), appends a missing key at the end of its section, a missing section at
// the end of the file. A value holding CR or LF is refused (FALSE). With
// key and value both null, as on Windows, the section goes: every section of
// that name, each from its header to the next section's (TRUE when none is
// left, also when there was none).
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const std::string& path);

} // namespace platform
