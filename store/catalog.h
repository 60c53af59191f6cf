// The catalog of registered files.
#pragma once

#include "platform/wintypes.h"
#include "store/catalog_record.h"

class CCatalog {
public:
    // --- Record operations: they touch no catalog state. ---

    // Records of the node's own files, state new, updated or deleted.
    static void makeNewRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec);
    static void makeUpdateRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec);
    static void makeDeleteRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec);

    static void setCheckSum(CatalogRecord* rec);
    static bool isCheckSumOk(const CatalogRecord* rec);
    // a strictly later than b (the day of the week takes no part).
    static bool isLaterTime(SYSTEMTIME a, SYSTEMTIME b);
    // the date of a on or after the date of b.
    static bool isSameOrLaterDate(SYSTEMTIME a, SYSTEMTIME b);
    static bool isValidRec(const CatalogRecord* rec);
    // Appends the own node name to the route; false when it is full.
    static bool addRoute(CatalogRecord* rec);

    // Record key: origin node and file name, each read within its field.
    static bool isSameKey(const CatalogRecord* a, const CatalogRecord* b);
    static bool isSameKey(const CatalogRecord* rec, const char* originNode, const char* fileName);
    // Transfer identity: origin, the 320 find-data bytes and the 16
    // registration bytes all equal.
    static bool isSameTransfer(const CatalogRecord* a, const CatalogRecord* b);
};
