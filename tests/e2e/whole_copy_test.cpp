// A receiver's whole copy of a file is never cut by a registration: the same
// file registered again (the sender's catalog.dat emptied) keeps the copy as
// it is, and a changed file is fetched beside it and takes its place only
// when whole.
#include <sys/stat.h>
#include <sys/wait.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class WholeCopyTest : public NodesTest {};

// The inode of a path, 0 when there is none.
ino_t inodeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(WholeCopyTest, AWholeCopyStaysWholeThroughARegistrationAgainAndAChange)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    link(n1, n2);
    ASSERT_TRUE(startNodes({&n1, &n2}));
    const std::string v1 = pattern(3 * 1024 * 1024 + 3, 31);
    n1.putFile("big.bin", v1);
    const std::string copy = n2.recvPath("N1", "big.bin");
    const std::string beside = n2.receivingPath("N1", "big.bin");
    auto entryAtN2 = [&] {
        const auto cat = n2.catalog();
        const CatalogEntry* e = findEntry(cat, "N1", "big.bin");
        return e ? *e : CatalogEntry {};
    };
    ASSERT_TRUE(waitFor("big.bin whole at N2", [&] { return entryAtN2().complete == 1; }, 240s));
    ASSERT_EQ(readFile(copy), v1);
    const std::string firstRegistration = entryAtN2().registered;
    const ino_t held = inodeOf(copy);

    // N1's catalog emptied: its files are registered again, as they are.
    ASSERT_NE(n1.terminate(90s), -1);
    writeFile(n1.catalogPath(), "");
    ASSERT_TRUE(startNodes({&n1}));
    long long smallest = fileSize(copy);
    bool besideSeen = false;
    ASSERT_TRUE(waitFor(
        "the registration again at N2",
        [&] {
            smallest = std::min(smallest, fileSize(copy));
            besideSeen = besideSeen || exists(beside);
            const CatalogEntry e = entryAtN2();
            return e.registered != firstRegistration && e.complete == 1;
        },
        120s, 20ms));
    EXPECT_EQ(smallest, static_cast<long long>(v1.size())) << "N2's whole copy was cut";
    EXPECT_FALSE(besideSeen) << "N2 fetched the file it held whole again";
    EXPECT_EQ(inodeOf(copy), held);
    EXPECT_EQ(readFile(copy), v1);
    EXPECT_EQ(entryAtN2().heldBytes, v1.size());

    // A changed file: fetched beside the copy, which stays whole until the
    // new one takes its place.
    const std::string v2 = pattern(2 * 1024 * 1024 + 11, 32);
    n1.putFile("big.bin", v2);
    bool onlyWhole = true;
    ASSERT_TRUE(waitFor(
        "the changed file at N2",
        [&] {
            const auto size = static_cast<std::size_t>(fileSize(copy));
            onlyWhole = onlyWhole && (size == v1.size() || size == v2.size());
            besideSeen = besideSeen || exists(beside);
            const CatalogEntry e = entryAtN2();
            return e.complete == 1 && e.sizeLow == v2.size();
        },
        240s, 20ms));
    EXPECT_TRUE(onlyWhole) << "N2's copy was neither the old nor the new file whole";
    EXPECT_TRUE(besideSeen);
    EXPECT_EQ(readFile(copy), v2);
    EXPECT_FALSE(exists(beside));

    for (Node* n : {&n1, &n2}) {
        const int st = n->terminate(90s);
        EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << n->name() << " status " << st;
    }
}

} // namespace
} // namespace e2e
