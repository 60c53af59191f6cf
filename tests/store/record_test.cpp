#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/cp932.h"
#include "store/catalog.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

using testsupport::TempDir;
using testsupport::ScopedChdir;

std::string bytesAt(const CatalogRecord& rec, std::size_t off, std::size_t n)
{
    return std::string(reinterpret_cast<const char*>(&rec) + off, n);
}

DWORD u32At(const CatalogRecord& rec, std::size_t off)
{
    DWORD v;
    std::memcpy(&v, reinterpret_cast<const char*>(&rec) + off, 4);
    return v;
}

bool allZero(const CatalogRecord& rec, std::size_t off, std::size_t n)
{
    return bytesAt(rec, off, n) == std::string(n, '\0');
}

SYSTEMTIME makeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms, WORD dow = 0)
{
    SYSTEMTIME t {};
    t.wYear = y;
    t.wMonth = mo;
    t.wDayOfWeek = dow;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    t.wMilliseconds = ms;
    return t;
}

// Calendar arithmetic on wall-clock fields, free of any time zone.
SYSTEMTIME addWallSeconds(const SYSTEMTIME& t, long long secs)
{
    struct tm tm {};
    tm.tm_year = t.wYear - 1900;
    tm.tm_mon = t.wMonth - 1;
    tm.tm_mday = t.wDay;
    tm.tm_hour = t.wHour;
    tm.tm_min = t.wMinute;
    tm.tm_sec = t.wSecond;
    const time_t moved = timegm(&tm) + secs;
    struct tm out {};
    gmtime_r(&moved, &out);
    return makeTime(WORD(out.tm_year + 1900), WORD(out.tm_mon + 1), WORD(out.tm_mday), WORD(out.tm_hour),
                    WORD(out.tm_min), WORD(out.tm_sec), 0, WORD(out.tm_wday));
}

void expectSameTime(const SYSTEMTIME& want, const SYSTEMTIME& got)
{
    EXPECT_EQ(0, std::memcmp(&want, &got, sizeof want))
        << "want " << want.wYear << "-" << want.wMonth << "-" << want.wDay << " " << want.wHour << ":"
        << want.wMinute << ":" << want.wSecond << "." << want.wMilliseconds << " dow " << want.wDayOfWeek
        << ", got " << got.wYear << "-" << got.wMonth << "-" << got.wDay << " " << got.wHour << ":"
        << got.wMinute << ":" << got.wSecond << "." << got.wMilliseconds << " dow " << got.wDayOfWeek;
}

void setZone(const std::string& tz)
{
    setenv("TZ", tz.c_str(), 1);
    tzset();
}

class RecordTest : public ::testing::Test {
protected:
    RecordTest() : m_cd(m_dir.path())
    {
        settings.nodeName = "NODE-A";
        settings.partyName = "PARTY";
        std::strcpy(fd.cFileName, "report.txt");
        std::strcpy(fd.cAlternateFileName, "REPORT~1.TXT");
        fd.dwFileAttributes = 0x20;
        fd.ftLastWriteTime = {0x11223344, 0x01D00000};
        fd.nFileSizeLow = 12345;
    }

    TempDir m_dir;
    ScopedChdir m_cd;
    testsupport::TestSettings settings;
    WIN32_FIND_DATAA fd {};
};

// --- Layout of the records made for own files ---

TEST_F(RecordTest, OwnRecordBytesStandWhereTheLayoutPutsThem)
{
    CatalogRecord rec;
    std::memset(&rec, 0xAB, sizeof rec);
    CCatalog::makeNewRec(&fd, &rec);

    EXPECT_EQ(bytesAt(rec, 0, 4), std::string("\x34\x03\x00\x00", 4));
    EXPECT_EQ(bytesAt(rec, 4, 4), std::string("\x02\x00\x10\x00", 4));
    EXPECT_EQ(u32At(rec, 8), 1u); // pending
    EXPECT_EQ(bytesAt(rec, 12, 32), std::string("NODE-A") + std::string(26, '\0'));
    EXPECT_EQ(u32At(rec, 44), 0u);
    EXPECT_EQ(u32At(rec, 48), 1u); // state new
    EXPECT_EQ(u32At(rec, 84), 0u); // complete
    EXPECT_TRUE(allZero(rec, 88, 8)); // reserved2, heldBytes
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<const char*>(&rec) + 96, &fd, 320));
    EXPECT_EQ(bytesAt(rec, 140, 10), "report.txt");
    EXPECT_EQ(u32At(rec, 128), 12345u);
    EXPECT_TRUE(allZero(rec, 416, 4 + 320 + 4)); // hopCount, route, isLink
    EXPECT_EQ(bytesAt(rec, 744, 24), std::string("PARTY") + std::string(19, '\0'));
    EXPECT_TRUE(allZero(rec, 768, 8 + 44)); // no checksum yet, reserved3
}

TEST_F(RecordTest, TheThreeConstructorsDifferOnlyInState)
{
    CatalogRecord n, u, d;
    CCatalog::makeNewRec(&fd, &n);
    CCatalog::makeUpdateRec(&fd, &u);
    CCatalog::makeDeleteRec(&fd, &d);
    EXPECT_EQ(n.state, 1u);
    EXPECT_EQ(u.state, 3u);
    EXPECT_EQ(d.state, 2u);
    u.state = d.state = 1;
    // Times may differ by the clock; everything else is the same.
    u.registered = d.registered = n.registered;
    u.expires = d.expires = n.expires;
    EXPECT_EQ(0, std::memcmp(&n, &u, sizeof n));
    EXPECT_EQ(0, std::memcmp(&n, &d, sizeof n));
}

TEST_F(RecordTest, NamesAreBoundedToTheirFields)
{
    settings.nodeName = std::string(32, 'N');
    settings.partyName = std::string(30, 'P');
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    // 32 bytes fill the field with no terminating zero; the next field is untouched.
    EXPECT_EQ(bytesAt(rec, 12, 32), std::string(32, 'N'));
    EXPECT_EQ(u32At(rec, 44), 0u);
    EXPECT_EQ(bytesAt(rec, 744, 24), std::string(24, 'P'));
    EXPECT_EQ(u32At(rec, 768), 0u);
    // And the full-width name is still the record's key.
    EXPECT_TRUE(CCatalog::isSameKey(&rec, std::string(32, 'N').c_str(), "report.txt"));
    EXPECT_FALSE(CCatalog::isSameKey(&rec, std::string(31, 'N').c_str(), "report.txt"));
}

TEST_F(RecordTest, ADoubleByteCharacterAtTheFieldEndIsLeftOutWhole)
{
    // 31 ASCII bytes, then a double-byte character whose second byte is '\\'.
    settings.nodeName = std::string(31, 'n') + "\x95\x5c";
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    EXPECT_EQ(bytesAt(rec, 12, 32), std::string(31, 'n') + '\0');
}

// --- Checksum ---

TEST(RecordCheckSum, EveryByteCountsAsUnsignedPlusOne)
{
    CatalogRecord rec;
    std::memset(&rec, 0, sizeof rec);
    CCatalog::setCheckSum(&rec);
    EXPECT_EQ(bytesAt(rec, 768, 8), std::string("\x01\x00\x00\x00\x01\x00\x00\x00", 8));
    EXPECT_TRUE(CCatalog::isCheckSumOk(&rec));

    std::memset(&rec, 0, sizeof rec);
    rec.recordSize = 820;          // 0x34 + 0x03
    rec.reserved3[43] = 0xFF;      // the last byte of the record
    rec.originNode[0] = '\x95';
    CCatalog::setCheckSum(&rec);
    EXPECT_EQ(rec.checkSum, DWORD(0x34 + 0x03 + 0xFF + 0x95 + 1));
    for (std::size_t off : {0u, 12u, 52u, 300u, 416u, 772u, 819u}) {
        CatalogRecord changed = rec;
        reinterpret_cast<unsigned char*>(&changed)[off] ^= 0x01;
        EXPECT_FALSE(CCatalog::isCheckSumOk(&changed)) << "offset " << off;
    }

    // Without the flag (only 1 means "checked") any sum passes.
    std::memset(&rec, 0, sizeof rec);
    rec.checkSum = 12345;
    EXPECT_TRUE(CCatalog::isCheckSumOk(&rec));
    rec.hasCheckSum = 2;
    EXPECT_TRUE(CCatalog::isCheckSumOk(&rec));
}

// --- Time comparisons ---

TEST(RecordTimes, LaterTimeAndSameOrLaterDate)
{
    const SYSTEMTIME t = makeTime(2010, 10, 14, 10, 15, 30, 250, 4);
    struct Case {
        SYSTEMTIME a;
        bool later;     // isLaterTime(a, t)
        bool sameDate;  // isSameOrLaterDate(a, t)
    };
    const Case cases[] = {
        {makeTime(2010, 10, 14, 10, 15, 30, 250, 0), false, true}, // the day of the week does not count
        {makeTime(2010, 10, 14, 10, 15, 30, 251), true, true},
        {makeTime(2010, 10, 14, 10, 15, 30, 249), false, true},
        {makeTime(2010, 10, 14, 0, 0, 0, 0), false, true},
        {makeTime(2010, 10, 13, 23, 59, 59, 999), false, false},
        {makeTime(2010, 9, 30, 23, 59, 59, 999), false, false}, // the first differing field decides
        {makeTime(2010, 11, 1, 0, 0, 0, 0), true, true},
        {makeTime(2009, 12, 31, 23, 0, 0, 0), false, false},
        {makeTime(2011, 1, 1, 0, 0, 0, 0), true, true},
        {makeTime(40000, 1, 1, 0, 0, 0, 0), true, true}, // unsigned: a large year, not a negative one
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CCatalog::isLaterTime(c.a, t), c.later) << c.a.wYear << "-" << c.a.wMonth << "-" << c.a.wDay;
        EXPECT_EQ(CCatalog::isSameOrLaterDate(c.a, t), c.sameDate) << c.a.wYear << "-" << c.a.wDay;
    }
    EXPECT_TRUE(CCatalog::isLaterTime(t, makeTime(2010, 10, 14, 10, 15, 30, 249)));
    EXPECT_TRUE(CCatalog::isSameOrLaterDate(makeTime(2010, 10, 14, 0, 0, 0, 0), makeTime(2010, 10, 14, 23, 0, 0, 0)));
}

// --- Expiry ---

TEST_F(RecordTest, ExpiryIsRegistrationPlusTheDaysToTheSecond)
{
    setZone("JST-9");
    for (int days : {3, 0}) {
        settings.limitDay = days;
        CatalogRecord rec;
        CCatalog::makeNewRec(&fd, &rec);
        expectSameTime(addWallSeconds(rec.registered, days * 86400LL), rec.expires);
        EXPECT_EQ(rec.expires.wMilliseconds, 0);
    }
}

TEST_F(RecordTest, ExpiryFollowsTheClockOverASummerTimeChange)
{
    // A zone one hour east of UTC whose summer time (two hours east) starts
    // at noon the day after tomorrow: the change lies inside three days.
    const time_t localStd = time(nullptr) + 3600;
    struct tm today {};
    gmtime_r(&localStd, &today);
    const int year = today.tm_year + 1900;
    const int daysInYear = (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) ? 366 : 365;
    const int start = (today.tm_yday + 2) % daysInYear;
    const int end = (start + 180) % 365;
    setZone("XST-1XDT-2," + std::to_string(start) + "/12," + std::to_string(end) + "/12");

    settings.limitDay = 3;
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    // 72 hours later on the clock of the zone shows one hour more.
    expectSameTime(addWallSeconds(rec.registered, 3 * 86400 + 3600), rec.expires);
}

TEST_F(RecordTest, AnExpiryBeyondTheCalendarStaysZero)
{
    settings.limitDay = INT_MAX;
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    EXPECT_TRUE(allZero(rec, 68, 16));
    EXPECT_NE(rec.registered.wYear, 0);
}

// --- Route ---

TEST_F(RecordTest, RouteTakesTenNamesAndNoMore)
{
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    rec.hopCount = 9;
    settings.nodeName = std::string(40, 'R');
    ASSERT_TRUE(CCatalog::addRoute(&rec));
    EXPECT_EQ(rec.hopCount, 10u);
    EXPECT_EQ(bytesAt(rec, 420 + 9 * 32, 32), std::string(32, 'R'));
    EXPECT_EQ(u32At(rec, 740), 0u); // isLink untouched

    const CatalogRecord before = rec;
    EXPECT_FALSE(CCatalog::addRoute(&rec));
    EXPECT_EQ(0, std::memcmp(&before, &rec, sizeof rec));

    rec.hopCount = 0xFFFFFFFF; // never written past the route
    EXPECT_FALSE(CCatalog::addRoute(&rec));
}

TEST_F(RecordTest, RouteAppendsInOrderAndLeavesTheChecksumAlone)
{
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    CCatalog::setCheckSum(&rec);
    const DWORD sum = rec.checkSum;
    settings.nodeName = "R1";
    ASSERT_TRUE(CCatalog::addRoute(&rec));
    settings.nodeName = "R2";
    ASSERT_TRUE(CCatalog::addRoute(&rec));
    EXPECT_EQ(rec.hopCount, 2u);
    EXPECT_EQ(bytesAt(rec, 420, 32), std::string("R1") + std::string(30, '\0'));
    EXPECT_EQ(bytesAt(rec, 452, 32), std::string("R2") + std::string(30, '\0'));
    EXPECT_EQ(rec.checkSum, sum);
    EXPECT_FALSE(CCatalog::isCheckSumOk(&rec));
}

// --- Validity ---

TEST_F(RecordTest, ValidityLooksAtNamesDateFieldsAndHops)
{
    CatalogRecord good;
    CCatalog::makeNewRec(&fd, &good);
    good.registered.wMonth = 0;
    good.registered.wDay = 31;
    good.hopCount = 10;
    good.state = 99;      // not looked at
    good.expires = {};    // nor this
    EXPECT_TRUE(CCatalog::isValidRec(&good));

    auto bad = [&](auto change) {
        CatalogRecord rec = good;
        change(rec);
        return !CCatalog::isValidRec(&rec);
    };
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.hopCount = 11; }));
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.hopCount = 0xFFFFFFFF; }));
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.registered.wMonth = 13; }));
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.registered.wDay = 32; }));
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.partyName[0] = 0; }));
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.originNode[0] = 0; }));
    EXPECT_TRUE(bad([](CatalogRecord& r) { r.findData.cFileName[0] = 0; }));
}

// --- Key and transfer identity ---

TEST_F(RecordTest, KeyIsOriginAndFileNameComparedExactlyWithinTheirFields)
{
    CatalogRecord a, b;
    CCatalog::makeNewRec(&fd, &a);
    b = a;
    b.state = 2;
    b.registered.wYear = 1999;
    EXPECT_TRUE(CCatalog::isSameKey(&a, &b));

    // Full-width origin without a zero: the bytes after the field do not count.
    cp932::copyField(a.originNode, 32, std::string(32, 'X').c_str());
    cp932::copyField(b.originNode, 32, std::string(32, 'X').c_str());
    a.reserved1 = 0x41414141;
    EXPECT_TRUE(CCatalog::isSameKey(&a, &b));

    CatalogRecord c = b;
    std::strcpy(c.findData.cFileName, "Report.txt");
    EXPECT_FALSE(CCatalog::isSameKey(&b, &c));
    EXPECT_FALSE(CCatalog::isSameKey(&b, std::string(32, 'X').c_str(), "Report.txt"));
    EXPECT_TRUE(CCatalog::isSameKey(&c, std::string(32, 'X').c_str(), "Report.txt"));
    EXPECT_FALSE(CCatalog::isSameKey(&c, std::string(33, 'X').c_str(), "Report.txt"));
}

TEST_F(RecordTest, TransferIdentityNeedsTheSameFileDataAndRegistration)
{
    CatalogRecord a;
    CCatalog::makeNewRec(&fd, &a);
    CatalogRecord b = a;
    b.complete = 1;
    b.heldBytes = 999;
    b.hopCount = 1;
    b.state = 3;
    CCatalog::setCheckSum(&b);
    EXPECT_TRUE(CCatalog::isSameTransfer(&a, &b));

    CatalogRecord c = a;
    c.findData.ftLastWriteTime.dwLowDateTime += 1;
    EXPECT_FALSE(CCatalog::isSameTransfer(&a, &c));
    c = a;
    c.findData.cAlternateFileName[13] = 'x'; // every one of the 320 bytes
    EXPECT_FALSE(CCatalog::isSameTransfer(&a, &c));
    c = a;
    c.registered.wMilliseconds ^= 1;
    EXPECT_FALSE(CCatalog::isSameTransfer(&a, &c));
    c = a;
    c.registered.wDayOfWeek ^= 1;
    EXPECT_FALSE(CCatalog::isSameTransfer(&a, &c));
    c = a;
    c.originNode[0] = 'Z';
    EXPECT_FALSE(CCatalog::isSameTransfer(&a, &c));
}

} // namespace
