// A node that keeps its catalog in memory (-CATALOGCASH) receives a
// neighbour's files and is killed (-9) before it saves the catalog. The
// neighbour counts every entry as held; the restarted node asks it for its
// whole catalog and ends with every entry and file again.
#include <string>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class CashReceiverTest : public NodesTest {};

TEST_F(CashReceiverTest, AReceiverKilledBeforeItSavedItsCatalogGetsEveryEntryBack)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    link(n1, n2);
    const std::string mark = n1.dir() + "/CATALOG/resyncNeighbours.flg";
    const auto name = [](int i) { return "shared" + std::to_string(i) + ".txt"; };
    // How many of N2's 30 files N1 holds whole, or holds live and complete
    // entries of in catalog.dat.
    const auto held = [&](bool entries) {
        const auto cat = n1.catalog();
        int n = 0;
        for (int i = 0; i < 30; ++i) {
            const CatalogEntry* e = findEntry(cat, "N2", name(i));
            n += entries ? e && (e->state == 1 || e->state == 3) && e->complete == 1
                         : readFile(n1.recvPath("N2", name(i))) == "from N2: " + name(i);
        }
        return n;
    };
    n1.start({"-D386", "-CATALOGCASH"});
    n2.start();
    ASSERT_TRUE(waitFor("both up", [&] { return n1.ready() && n2.ready(); }, 60s));
    for (int i = 0; i < 30; ++i)
        n2.putFile(name(i), "from N2: " + name(i));
    ASSERT_TRUE(waitFor("the 30 files whole at N1", [&] { return held(false) == 30; }, 180s));
    EXPECT_EQ(held(true), 0) << "N1 saves its catalog at its end only";
    n1.kill();

    n1.start();
    EXPECT_TRUE(waitFor("every entry at N1 again", [&] { return held(true) == 30 && held(false) == 30; }, 180s))
        << "N1 holds " << held(true) << " of the 30 entries";
    EXPECT_TRUE(waitFor("the mark gone once N2 was asked", [&] { return !exists(mark); }, 60s));
    EXPECT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
