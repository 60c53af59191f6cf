// The test a scan makes before it registers a file: can the file be opened
// for reading as an exclusive reader, i.e. is nobody still writing it?
// Linux has no share modes; a read lease stands in, since the kernel grants
// one only while no one holds the file open for writing.
#pragma once

#include <string>

#include "platform/files.h"
#include "platform/wintypes.h"

namespace platform {

enum class ExclusiveRead {
    ready,    // nobody writes it (a read lease was granted)
    noLease,  // opened, but no lease could be had here (not the file's owner, or
              // a file system without leases): the caller must judge otherwise
    busy,     // another program holds it open for writing, or it cannot be opened or
              // its status read now (no permission, an I/O error, a stale handle)
    missing,  // gone, or no longer a regular file
};

// The file at path, relative to an open folder (or absolute). Never blocks:
// the open is non-blocking, a FIFO or device that took the file's place
// counts as missing, and the lease is dropped again at once. On ready and
// noLease, *fresh receives the file's data (cFileName empty). *err receives
// the errno of a failed open or status call (0 otherwise).
ExclusiveRead tryExclusiveRead(const COpenFolder& in, const std::string& path, bool useLease, WIN32_FIND_DATAA* fresh,
                               int* err);

} // namespace platform
