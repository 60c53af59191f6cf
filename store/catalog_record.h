// The 820-byte catalog record: the same bytes stand in memory, in
// catalog.dat, in the queue files, in catalogErroRec.err and in frames.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

constexpr int CATALOG_NAME_LEN = 32;  // originNode and each route entry
constexpr int CATALOG_PARTY_LEN = 24; // partyName
constexpr int CATALOG_ROUTE_MAX = 10;
constexpr DWORD CATALOG_RECORD_SIZE = 820;
constexpr DWORD CATALOG_RECORD_VERSION = 0x00100002;

enum CatalogState : DWORD {
    CATALOG_STATE_NEW = 1,
    CATALOG_STATE_DELETED = 2,
    CATALOG_STATE_UPDATED = 3,
};

struct CatalogRecord {
    DWORD recordSize;
    DWORD version;
    DWORD pending;
    char originNode[CATALOG_NAME_LEN];
    DWORD reserved1;
    DWORD state;
    SYSTEMTIME registered;
    SYSTEMTIME expires;
    DWORD complete;
    DWORD reserved2;
    DWORD heldBytes;
    WIN32_FIND_DATAA findData;
    DWORD hopCount;
    char route[CATALOG_ROUTE_MAX][CATALOG_NAME_LEN];
    DWORD isLink;
    char partyName[CATALOG_PARTY_LEN];
    DWORD hasCheckSum;
    DWORD checkSum;
    BYTE reserved3[44];
};

static_assert(sizeof(CatalogRecord) == 820);
static_assert(offsetof(CatalogRecord, recordSize) == 0);
static_assert(offsetof(CatalogRecord, version) == 4);
static_assert(offsetof(CatalogRecord, pending) == 8);
static_assert(offsetof(CatalogRecord, originNode) == 12);
static_assert(offsetof(CatalogRecord, reserved1) == 44);
static_assert(offsetof(CatalogRecord, state) == 48);
static_assert(offsetof(CatalogRecord, registered) == 52);
static_assert(offsetof(CatalogRecord, registered.wMonth) == 54);
static_assert(offsetof(CatalogRecord, registered.wDay) == 58);
static_assert(offsetof(CatalogRecord, expires) == 68);
static_assert(offsetof(CatalogRecord, complete) == 84);
static_assert(offsetof(CatalogRecord, reserved2) == 88);
static_assert(offsetof(CatalogRecord, heldBytes) == 92);
static_assert(offsetof(CatalogRecord, findData) == 96);
static_assert(offsetof(CatalogRecord, findData.ftCreationTime) == 100);
static_assert(offsetof(CatalogRecord, findData.ftLastAccessTime) == 108);
static_assert(offsetof(CatalogRecord, findData.ftLastWriteTime) == 116);
static_assert(offsetof(CatalogRecord, findData.nFileSizeHigh) == 124);
static_assert(offsetof(CatalogRecord, findData.nFileSizeLow) == 128);
static_assert(offsetof(CatalogRecord, findData.dwReserved0) == 132);
static_assert(offsetof(CatalogRecord, findData.dwReserved1) == 136);
static_assert(offsetof(CatalogRecord, findData.cFileName) == 140);
static_assert(offsetof(CatalogRecord, findData.cAlternateFileName) == 400);
static_assert(offsetof(CatalogRecord, hopCount) == 416);
static_assert(offsetof(CatalogRecord, route) == 420);
static_assert(offsetof(CatalogRecord, isLink) == 740);
static_assert(offsetof(CatalogRecord, partyName) == 744);
static_assert(offsetof(CatalogRecord, hasCheckSum) == 768);
static_assert(offsetof(CatalogRecord, checkSum) == 772);
static_assert(offsetof(CatalogRecord, reserved3) == 776);
