// A node that crashed in the middle of whole-file writes left their
// temporaries behind; the next start removes them from each folder where
// the node makes them, and nothing else.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class CrashLeftoversTest : public NodesTest {};

TEST_F(CrashLeftoversTest, TheTemporariesOfACrashedRunGoAtTheNextStart)
{
    Node& n1 = addNode("N1", "P");
    const std::string d = n1.dir();
    for (const char* sub : {"CATALOG", "SEND/YUVO", "RECV/N2"})
        std::filesystem::create_directories(d + "/" + sub);
    const std::string catalogLeftover(2000 * kCatalogRecordSize, 'c');
    const std::vector<std::string> leftovers = {"/.yuvo-tmp-4711-1", "/CATALOG/.yuvo-tmp-4711-2",
                                                "/SEND/.yuvo-tmp-4711-3", "/SEND/YUVO/.yuvo-tmp-4711-4"};
    for (const std::string& f : leftovers)
        writeFile(d + f, catalogLeftover);
    ASSERT_EQ(::symlink((d + "/SEND/kept.txt").c_str(), (d + "/SEND/.yuvo-tmp-4711-5").c_str()), 0);
    const std::vector<std::string> kept = {"/SEND/kept.txt", "/SEND/.yuvo-tmp-4711", "/RECV/N2/.yuvo-tmp-4711-6"};
    for (const std::string& f : kept)
        writeFile(d + f, f);

    ASSERT_TRUE(startNodes({&n1}));
    ASSERT_TRUE(waitFor("kept.txt registered", [&] { return hasEntry(n1.catalog(), "N1", "kept.txt"); }, 60s));
    for (const std::string& f : leftovers)
        EXPECT_FALSE(exists(d + f)) << f;
    EXPECT_FALSE(exists(d + "/SEND/.yuvo-tmp-4711-5"));
    for (const std::string& f : kept)
        EXPECT_EQ(readFile(d + f), f);
    EXPECT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
