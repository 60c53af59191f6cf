// The record operations of the catalog: they touch no catalog state.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>

#include "platform/cp932.h"
#include "platform/localtime.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/settings.h"

namespace {

const char* orEmpty(const char* s)
{
    return s ? s : "";
}

// The settings' texts; "" (and no days) while no settings object exists.
const char* ownNodeName()
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    return orEmpty(settings ? settings->getNodeName() : nullptr);
}

const char* ownPartyName()
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    return orEmpty(settings ? settings->getPartyName() : nullptr);
}

int ownLimitDay()
{
    CPropatyTandrel* settings = CPropatyTandrel::getInstance();
    return settings ? settings->getLimitDay() : 0;
}

DWORD byteSum(const CatalogRecord* rec)
{
    const auto* p = reinterpret_cast<const unsigned char*>(rec);
    DWORD sum = 0;
    for (std::size_t k = 0; k < sizeof(CatalogRecord); ++k)
        sum += p[k];
    return sum;
}

void makeOwnRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec, DWORD state)
{
    std::memset(rec, 0, sizeof *rec);
    rec->recordSize = CATALOG_RECORD_SIZE;
    rec->version = CATALOG_RECORD_VERSION;
    std::memcpy(&rec->findData, fd, sizeof rec->findData);
    rec->pending = 1;
    rec->reserved1 = 0;
    rec->state = state;
    rec->heldBytes = 0;
    rec->hopCount = 0;

    cp932::copyField(rec->originNode, CATALOG_NAME_LEN, ownNodeName());

    // Registration and expiry come from one reading of the clock, so a
    // second that ticks in between cannot put them a second apart.
    std::timespec now {};
    std::timespec_get(&now, TIME_UTC);
    if (localTimeFromUnix(now.tv_sec, &rec->registered))
        rec->registered.wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
    rec->expires = localTimeDaysFrom(now.tv_sec, ownLimitDay()); // all zero when it does not convert

    cp932::copyField(rec->partyName, CATALOG_PARTY_LEN, ownPartyName());
}

} // namespace

void CCatalog::makeNewRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec)
{
    makeOwnRec(fd, rec, CATALOG_STATE_NEW);
}

void CCatalog::makeUpdateRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec)
{
    makeOwnRec(fd, rec, CATALOG_STATE_UPDATED);
}

void CCatalog::makeDeleteRec(const WIN32_FIND_DATAA* fd, CatalogRecord* rec)
{
    makeOwnRec(fd, rec, CATALOG_STATE_DELETED);
}

void CCatalog::setCheckSum(CatalogRecord* rec)
{
    rec->hasCheckSum = 1;
    rec->checkSum = 0;
    rec->checkSum = byteSum(rec);
}

bool CCatalog::isCheckSumOk(const CatalogRecord* rec)
{
    if (rec->hasCheckSum != 1)
        return true;
    CatalogRecord copy;
    std::memcpy(&copy, rec, sizeof copy);
    copy.checkSum = 0;
    return byteSum(&copy) == rec->checkSum;
}

bool CCatalog::isLaterTime(SYSTEMTIME a, SYSTEMTIME b)
{
    const WORD fa[] = {a.wYear, a.wMonth, a.wDay, a.wHour, a.wMinute, a.wSecond, a.wMilliseconds};
    const WORD fb[] = {b.wYear, b.wMonth, b.wDay, b.wHour, b.wMinute, b.wSecond, b.wMilliseconds};
    for (std::size_t k = 0; k < std::size(fa); ++k) {
        if (fa[k] != fb[k])
            return fa[k] > fb[k];
    }
    return false;
}

bool CCatalog::isSameOrLaterDate(SYSTEMTIME a, SYSTEMTIME b)
{
    const WORD fa[] = {a.wYear, a.wMonth, a.wDay};
    const WORD fb[] = {b.wYear, b.wMonth, b.wDay};
    for (std::size_t k = 0; k < std::size(fa); ++k) {
        if (fa[k] != fb[k])
            return fa[k] > fb[k];
    }
    return true;
}

bool CCatalog::isValidRec(const CatalogRecord* rec)
{
    if (rec->partyName[0] == '\0' || rec->originNode[0] == '\0')
        return false;
    if (rec->registered.wMonth > 12 || rec->registered.wDay > 31)
        return false;
    // Unsigned: a "negative" count is as bad as one above 10, and a reader of
    // the route must never trust it.
    if (rec->hopCount > DWORD(CATALOG_ROUTE_MAX))
        return false;
    return rec->findData.cFileName[0] != '\0';
}

namespace {

// A calendar time as the clock hands it out: every field in its range.
bool isCalendarTime(const SYSTEMTIME& t)
{
    return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDayOfWeek <= 6
        && t.wDay >= 1 && t.wDay <= 31 && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60
        && t.wMilliseconds < 1000;
}

bool isZeroTime(const SYSTEMTIME& t)
{
    static const SYSTEMTIME zero {};
    return std::memcmp(&t, &zero, sizeof t) == 0;
}

} // namespace

bool CCatalog::isWholeRec(const CatalogRecord* rec)
{
    if (!rec || rec->recordSize != CATALOG_RECORD_SIZE)
        return false;
    if (rec->state != CATALOG_STATE_NEW && rec->state != CATALOG_STATE_DELETED
        && rec->state != CATALOG_STATE_UPDATED)
        return false;
    if (rec->hopCount > DWORD(CATALOG_ROUTE_MAX))
        return false;
    // The expiry stays all zero when its conversion failed at registration.
    if (!isCalendarTime(rec->registered) || !(isCalendarTime(rec->expires) || isZeroTime(rec->expires)))
        return false;
    // The file name of a directory entry always ends within its field; the
    // node and party names may fill theirs.
    const char* name = rec->findData.cFileName;
    if (std::memchr(name, '\0', MAX_PATH) == nullptr || !paths::isSafeName(name))
        return false;
    if (!isUsableNodeName(cp932::fieldText(rec->originNode, CATALOG_NAME_LEN)))
        return false;
    if (cp932::fieldText(rec->partyName, CATALOG_PARTY_LEN).empty())
        return false;
    // Sizes are kept in 32 bits.
    return rec->findData.nFileSizeHigh == 0;
}

bool CCatalog::addRoute(CatalogRecord* rec)
{
    if (rec->hopCount >= DWORD(CATALOG_ROUTE_MAX))
        return false;
    cp932::copyField(rec->route[rec->hopCount], CATALOG_NAME_LEN, ownNodeName());
    ++rec->hopCount;
    return true;
}

bool CCatalog::isSameKey(const CatalogRecord* a, const CatalogRecord* b)
{
    return cp932::fieldEquals(a->originNode, CATALOG_NAME_LEN, b->originNode, CATALOG_NAME_LEN)
        && cp932::fieldEquals(a->findData.cFileName, MAX_PATH, b->findData.cFileName, MAX_PATH);
}

bool CCatalog::isSameKey(const CatalogRecord* rec, const char* originNode, const char* fileName)
{
    return cp932::fieldText(rec->originNode, CATALOG_NAME_LEN) == std::string_view(orEmpty(originNode))
        && cp932::fieldText(rec->findData.cFileName, MAX_PATH) == std::string_view(orEmpty(fileName));
}

bool CCatalog::isSameTransfer(const CatalogRecord* a, const CatalogRecord* b)
{
    return cp932::fieldEquals(a->originNode, CATALOG_NAME_LEN, b->originNode, CATALOG_NAME_LEN)
        && std::memcmp(&a->findData, &b->findData, sizeof a->findData) == 0
        && std::memcmp(&a->registered, &b->registered, sizeof a->registered) == 0;
}
