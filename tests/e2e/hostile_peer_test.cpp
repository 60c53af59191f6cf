// A real node against a scripted neighbour that forges and spoils records:
// records of the node's own name delete nothing and make it serve nothing,
// malformed records are neither stored nor sent, and the console says once
// that a neighbour sent records of the node's name.
#include "e2e_fixture.h"
#include "store/catalog_testkit.h"
#include "wire_peer.h"

namespace e2e {
namespace {

using catalogtest::makeRec;

int countOf(const std::string& text, const std::string& mark)
{
    int n = 0;
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        ++n;
    return n;
}

CatalogRecord summed(CatalogRecord r)
{
    r.pending = 1;
    CCatalog::setCheckSum(&r);
    return r;
}

class HostilePeerTest : public NodesTest {};

TEST_F(HostilePeerTest, ForgedOwnRecordsDeleteNothingAndServeNothing)
{
    Node& n1 = addNode("N1", "P");
    Node& b = addNode("B", "P"); // the scripted peer bears its name; never started
    n1.addRow(b);
    ASSERT_TRUE(startNodes({&n1}));
    n1.putFile("own.txt", "own content");
    ASSERT_TRUE(waitFor("own.txt registered", [&] { return hasEntry(n1.catalog(), "N1", "own.txt"); }, 60s));
    ASSERT_TRUE(waitFor("N1 listening", [&] { return accepts(n1.port()); }, 60s));

    // Junk behind the queued entry never leaves the node.
    CatalogRecord hops = makeRec("X", "hops.txt", 1, CATALOG_STATE_NEW, "P");
    hops.hopCount = 0xFFFFFFFF;
    CatalogRecord endless = makeRec("X", "e", 1, CATALOG_STATE_NEW, "P");
    std::memset(endless.findData.cFileName, 'e', MAX_PATH);
    hops = summed(hops);
    endless = summed(endless);
    const std::string queue = n1.dir() + "/CATALOG/B.dat";
    writeFile(queue, readFile(queue) + std::string(reinterpret_cast<const char*>(&hops), sizeof hops)
                         + std::string(reinterpret_cast<const char*>(&endless), sizeof endless));

    WirePeer peer;
    ASSERT_TRUE(peer.connectTo(n1.port()));
    ASSERT_TRUE(peer.sendHello("B", "P"));
    WirePeer::Frame f;
    ASSERT_TRUE(peer.waitFrame(WirePeer::isHello, f));
    ASSERT_TRUE(peer.sendPoll());
    ASSERT_TRUE(peer.waitFrame(WirePeer::isRecords, f));
    // The node's own entries (own.txt and its node record), no junk.
    CatalogRecord own {};
    for (DWORD i = 0; i < WirePeer::header(f).count; ++i) {
        const CatalogRecord r = WirePeer::record(f, i);
        EXPECT_EQ(cp932::fieldText(r.originNode, CATALOG_NAME_LEN), "N1");
        if (catalogtest::fileOf(r) == "own.txt")
            own = r;
    }
    ASSERT_EQ(catalogtest::fileOf(own), "own.txt");

    // A record of the peer's own, to see the compaction run.
    ASSERT_TRUE(peer.sendRecords({makeRec("B", "b.txt", 0, CATALOG_STATE_NEW, "P")}));
    ASSERT_TRUE(waitFor("b.txt taken", [&] { return hasEntry(n1.catalog(), "B", "b.txt"); }, 60s));

    CatalogRecord deletion = own;
    deletion.state = CATALOG_STATE_DELETED;
    CatalogRecord secret = makeRec("N1", ".secret", 0, CATALOG_STATE_NEW, "P");
    writeFile(n1.sendPath(".secret"), "never shared");
    CatalogRecord malformed = makeRec("X", "m.txt", 0, CATALOG_STATE_NEW, "P");
    malformed.hopCount = 11;
    CatalogRecord dropB = makeRec("B", "b.txt", 0, CATALOG_STATE_DELETED, "P");
    ASSERT_TRUE(peer.sendRecords({summed(deletion), summed(secret), summed(malformed), dropB}));
    ASSERT_TRUE(peer.sendRecords({summed(deletion)}));
    ASSERT_TRUE(waitFor("b.txt compacted away", [&] { return !hasEntry(n1.catalog(), "B", "b.txt"); }, 60s));

    const auto cat = n1.catalog();
    const CatalogEntry* e = findEntry(cat, "N1", "own.txt");
    ASSERT_NE(e, nullptr) << "the forged deletion was taken";
    EXPECT_EQ(e->state, 1u);
    EXPECT_EQ(readFile(n1.sendPath("own.txt")), "own content");
    EXPECT_FALSE(hasEntry(cat, "N1", ".secret"));
    EXPECT_FALSE(hasEntry(cat, "X", "m.txt"));
    EXPECT_FALSE(exists(n1.dir() + "/RECV/N1"));

    // The forged record's file is not served; the own file is, up to its
    // record's size.
    ASSERT_TRUE(peer.sendRequest(summed(secret), 0));
    ASSERT_TRUE(peer.waitFrame(WirePeer::isChunk, f));
    EXPECT_EQ(WirePeer::header(f).length, 0u);
    ASSERT_TRUE(peer.sendRequest(own, 4));
    ASSERT_TRUE(peer.waitFrame(WirePeer::isChunk, f));
    ASSERT_EQ(WirePeer::header(f).length, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data()) + FILE_CHUNK_DATA_OFFSET, 7), "content");
    EXPECT_EQ(peer.outOfSequence, 0);

    EXPECT_EQ(countOf(n1.stdoutText(), "このノードと同じ名前"), 1)
        << "the console says once that B sent records of the node's name";
    EXPECT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
