#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store/catalog.h"
#include "support/tempdir.h"
#include "support/test_settings.h"

namespace {

std::string bytesAt(const CatalogRecord& rec, std::size_t off, std::size_t n)
{
    return std::string(reinterpret_cast<const char*>(&rec) + off, n);
}

class RecordTest : public ::testing::Test {
protected:
    RecordTest() : m_cd(m_dir.path())
    {
        settings.nodeName = "NODE-A";
        settings.partyName = "PARTY";
        std::strcpy(fd.cFileName, "report.txt");
        fd.dwFileAttributes = 0x20;
        fd.nFileSizeLow = 12345;
    }

    testsupport::TempDir m_dir;
    testsupport::ScopedChdir m_cd;
    testsupport::TestSettings settings;
    WIN32_FIND_DATAA fd {};
};

TEST_F(RecordTest, OwnRecordBytesStandWhereTheLayoutPutsThem)
{
    CatalogRecord rec;
    std::memset(&rec, 0xAB, sizeof rec);
    CCatalog::makeNewRec(&fd, &rec);
    const std::string z4(4, '\0');
    EXPECT_EQ(bytesAt(rec, 0, 12), std::string("\x34\x03\0\0\x02\0\x10\0\x01\0\0\0", 12)); // size, version, pending
    EXPECT_EQ(bytesAt(rec, 12, 32), "NODE-A" + std::string(26, '\0'));
    EXPECT_EQ(bytesAt(rec, 44, 8), z4 + std::string("\x01\0\0\0", 4)); // state new
    EXPECT_EQ(bytesAt(rec, 84, 12), std::string(12, '\0'));            // complete, heldBytes
    EXPECT_EQ(bytesAt(rec, 128, 4), std::string("\x39\x30\0\0", 4));   // size low
    EXPECT_EQ(bytesAt(rec, 140, 11), std::string("report.txt\0", 11));
    EXPECT_EQ(bytesAt(rec, 416, 328), std::string(328, '\0'));         // hops, route, isLink
    EXPECT_EQ(bytesAt(rec, 744, 24), "PARTY" + std::string(19, '\0'));
    EXPECT_EQ(bytesAt(rec, 768, 52), std::string(52, '\0'));           // no checksum yet
}

TEST_F(RecordTest, ADoubleByteCharacterAtTheFieldEndIsLeftOutWhole)
{
    settings.nodeName = std::string(31, 'n') + "\x95\x5c";
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    EXPECT_EQ(bytesAt(rec, 12, 32), std::string(31, 'n') + '\0');
}

TEST(RecordCheckSum, EveryByteCountsAsUnsignedPlusOne)
{
    CatalogRecord rec;
    std::memset(&rec, 0, sizeof rec);
    rec.recordSize = 820;     // 0x34 + 0x03
    rec.reserved3[43] = 0xFF; // the last byte of the record
    rec.originNode[0] = '\x95';
    CCatalog::setCheckSum(&rec);
    EXPECT_EQ(bytesAt(rec, 768, 8), std::string("\x01\0\0\0\xCC\x01\0\0", 8)); // 0x34+3+0xFF+0x95+1
    for (std::size_t off : {0u, 12u, 416u, 819u}) {
        CatalogRecord changed = rec;
        reinterpret_cast<unsigned char*>(&changed)[off] ^= 0x01;
        EXPECT_FALSE(CCatalog::isCheckSumOk(&changed)) << off;
    }
}

TEST_F(RecordTest, RouteTakesTenNamesAndNoMore)
{
    CatalogRecord rec;
    CCatalog::makeNewRec(&fd, &rec);
    rec.hopCount = 9;
    ASSERT_TRUE(CCatalog::addRoute(&rec));
    EXPECT_EQ(bytesAt(rec, 420 + 9 * 32, 32), "NODE-A" + std::string(26, '\0'));
    const CatalogRecord before = rec;
    EXPECT_FALSE(CCatalog::addRoute(&rec));
    EXPECT_EQ(std::memcmp(&before, &rec, sizeof rec), 0);
    rec.hopCount = 0xFFFFFFFF; // never written past the route
    EXPECT_FALSE(CCatalog::addRoute(&rec));
}

} // namespace
