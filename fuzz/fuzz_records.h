// Records as the fuzz target's node registers them and as its seed streams
// carry them: the same bytes on both sides, so that requests and chunks of a
// seed meet the records the node holds.
#pragma once

#include <cstring>

#include "store/catalog.h"

namespace fuzzrec {

// The node's own files in SEND.
inline constexpr char OWN_FILE[] = "own.bin";
inline constexpr char OWN_EMPTY[] = "own-empty.txt";
inline constexpr DWORD OWN_FILE_SIZE = 70000;

inline CatalogRecord makeRecord(const char* origin, const char* name, DWORD size,
                                DWORD state = CATALOG_STATE_NEW)
{
    CatalogRecord r;
    std::memset(&r, 0, sizeof r);
    r.recordSize = CATALOG_RECORD_SIZE;
    r.version = CATALOG_RECORD_VERSION;
    r.pending = 1;
    std::strncpy(r.originNode, origin, sizeof r.originNode - 1);
    r.state = state;
    r.registered = {2010, 10, 0, 14, 10, 15, 30, 250};
    r.expires = {2100, 1, 0, 1, 0, 0, 0, 0};
    r.findData.dwFileAttributes = 0x20;
    r.findData.nFileSizeLow = size;
    r.findData.ftLastWriteTime.dwLowDateTime = 12345;
    std::strncpy(r.findData.cFileName, name, sizeof r.findData.cFileName - 1);
    std::strcpy(r.partyName, "PARTY");
    CCatalog::setCheckSum(&r);
    return r;
}

} // namespace fuzzrec
