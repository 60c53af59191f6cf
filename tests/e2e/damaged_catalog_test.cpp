// A real node whose catalog.dat is damaged while it is down (a byte gone
// wrong after a kill): the damaged record is dropped at the start and the
// file it names stays in SEND through the compactions that follow.
#include "e2e_fixture.h"

namespace e2e {
namespace {

class DamagedCatalogTest : public NodesTest {};

TEST_F(DamagedCatalogTest, ADamagedOwnRecordLeavesItsFileInPlace)
{
    Node& n1 = addNode("N1", "P");
    Node& absent = addNode("N2", "P"); // listed, never started
    n1.addRow(absent);
    ASSERT_TRUE(startNodes({&n1}));
    n1.putFile("own.txt", "the user's own file");
    n1.putFile("gone.txt", "removed while the node is down");
    ASSERT_TRUE(waitFor("both registered", [&] {
        const auto cat = n1.catalog();
        return hasEntry(cat, "N1", "own.txt") && hasEntry(cat, "N1", "gone.txt");
    }, 60s));
    n1.kill();

    // One byte of own.txt's record goes wrong; gone.txt leaves SEND, so the
    // next start deletes its registration and compacts the catalog.
    std::string bytes = readFile(n1.catalogPath());
    const auto cat = n1.catalog();
    std::size_t at = 0;
    while (at < cat.size() && cat[at].fileName != "own.txt")
        ++at;
    ASSERT_LT(at, cat.size());
    bytes[at * kCatalogRecordSize + 800] ^= 0x5A;
    writeFile(n1.catalogPath(), bytes);
    n1.removeFile("gone.txt");

    ASSERT_TRUE(startNodes({&n1}));
    ASSERT_TRUE(waitFor("the deletion of gone.txt compacted", [&] {
        const auto now = n1.catalog();
        return !now.empty() && !hasEntry(now, "N1", "gone.txt");
    }, 60s));
    EXPECT_EQ(readFile(n1.sendPath("own.txt")), "the user's own file");
    EXPECT_EQ(readCatalog(n1.dir() + "/CATALOG/catalogErroRec.err").size(), 1u);
    EXPECT_NE(n1.terminate(90s), -1);
    EXPECT_EQ(readFile(n1.sendPath("own.txt")), "the user's own file");
}

} // namespace
} // namespace e2e
