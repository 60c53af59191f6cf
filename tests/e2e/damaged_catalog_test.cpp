// A real node whose catalog.dat is damaged while it is down (a byte gone
// wrong after a kill): the damaged record is dropped at the start and the
// file it names stays in SEND through the compactions that follow. A
// catalog of zeroed records, as a power cut may leave, is said once and
// does not hold up the start.
#include <filesystem>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class DamagedCatalogTest : public NodesTest {};

int countOf(const std::string& text, const std::string& mark)
{
    int n = 0;
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        ++n;
    return n;
}

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

// What delayed allocation can leave after a power cut: every record zeroed.
// The node says so once (console and notice), copies one record out,
// listens, and registers its own file again.
TEST_F(DamagedCatalogTest, AZeroedCatalogIsToldOnceAndTheNodeStartsWithoutIt)
{
    Node& n1 = addNode("N1", "P");
    Node& absent = addNode("N2", "P"); // listed, never started: the node goes online
    n1.addRow(absent);
    std::filesystem::create_directories(n1.dir() + "/CATALOG");
    std::filesystem::create_directories(n1.dir() + "/SEND");
    writeFile(n1.catalogPath(), std::string(20000 * kCatalogRecordSize, '\0'));
    writeFile(n1.sendPath("own.txt"), "the user's own file");

    n1.start();
    ASSERT_TRUE(waitFor("N1 listening", [&] { return accepts(n1.port()); }, 60s));
    ASSERT_TRUE(waitFor("own.txt registered again", [&] { return hasEntry(n1.catalog(), "N1", "own.txt"); }, 60s));
    const std::string out = n1.stdoutText();
    EXPECT_EQ(countOf(out, "damaged record"), 1);
    EXPECT_EQ(countOf(out, "Error:CCatalog::load() 20000 damaged record(s) dropped, the first at index 0;"), 1);
    EXPECT_EQ(countOf(out, "壊れたレコードが 20000 件"), 1) << "the start notice";
    EXPECT_EQ(readFile(n1.dir() + "/CATALOG/catalogErroRec.err"), std::string(kCatalogRecordSize, '\0'));
    for (const CatalogEntry& e : n1.catalog())
        EXPECT_EQ(e.originNode, "N1") << "only the node's own files (and its node record)";
    EXPECT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
