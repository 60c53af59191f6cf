// Links over the messaging client, end to end: real yuvo nodes, each on a
// private session bus of its own, with the client simulator playing every
// user's client across those buses. Only "SKYPE" rows: whatever crosses
// goes through the client's app-to-app streams.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"
#include "sim_harness.h"

namespace e2e {
namespace {

using skypesim::PrivateBus;
using skypesim::SimProcess;

// The node's console lines about the link ("ZQ_SKYPECOM status=<n>").
std::vector<int> statusLines(const Node& n)
{
    std::vector<int> out;
    std::istringstream in(n.stdoutText());
    std::string line;
    while (std::getline(in, line)) {
        int status = 0;
        if (std::sscanf(line.c_str(), "ZQ_SKYPECOM status=%d", &status) == 1)
            out.push_back(status);
    }
    return out;
}

// A copy of the node's catalog entry, when it has one.
std::optional<CatalogEntry> entryOf(const Node& n, const std::string& origin, const std::string& file)
{
    const auto cat = n.catalog();
    const CatalogEntry* e = findEntry(cat, origin, file);
    return e ? std::optional<CatalogEntry>(*e) : std::nullopt;
}

int lastStatus(const Node& n)
{
    const auto s = statusLines(n);
    return s.empty() ? -1 : s.back();
}

// The last contact list the node printed ("ZQ_SKYPEMODEL contacts: a,b").
std::string lastContacts(const Node& n)
{
    std::istringstream in(n.stdoutText());
    std::string line, last = "(none)";
    const std::string mark = "ZQ_SKYPEMODEL contacts: ";
    while (std::getline(in, line))
        if (line.rfind(mark, 0) == 0)
            last = line.substr(mark.size());
    return last;
}

class SkypeLinkTest : public NodesTest {
protected:
    // A private session bus, one per user as on real desktops.
    PrivateBus& addBus(const std::string& name)
    {
        m_buses.push_back(std::make_unique<PrivateBus>(root() + "/bus-" + name));
        return *m_buses.back();
    }
    bool startSim(const std::vector<std::string>& args)
    {
        const std::string dir = root() + "/sim";
        std::filesystem::create_directories(dir);
        m_sim = std::make_unique<SimProcess>(dir, args);
        if (m_sim->ready())
            return true;
        ADD_FAILURE() << "the simulator did not come up:\n" << m_sim->logTail();
        return false;
    }
    SimProcess& sim() { return *m_sim; }

    // A node of the party on its user's bus, with "SKYPE" rows only.
    Node& addSkypeNode(const std::string& name, const std::string& party, const PrivateBus& bus)
    {
        Node& n = addNode(name, party);
        n.setSessionBus(bus.address());
        return n;
    }
    bool attached(Node& n, const std::string& user)
    {
        return lastStatus(n) == 1 && !sim().status(user)["attached"].empty();
    }
    bool fileArrived(Node& to, const std::string& origin, const std::string& file, const std::string& content)
    {
        const std::string path = to.recvPath(origin, file);
        if (fileSize(path) != static_cast<long long>(content.size()))
            return false;
        const auto e = entryOf(to, origin, file);
        return e && e->complete == 1 && readFile(path) == content;
    }

    void TearDown() override
    {
        if (m_sim) {
            const std::string log = readFile(m_sim->logPath());
            for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
                if (log.find(mark) != std::string::npos)
                    ADD_FAILURE() << "the simulator reported \"" << mark << "\"";
            if (HasFailure())
                std::printf("----- simulator (last lines) -----\n%s", m_sim->logTail(100).c_str());
        }
        NodesTest::TearDown();
        m_sim.reset();
    }

private:
    std::vector<std::unique_ptr<PrivateBus>> m_buses;
    std::unique_ptr<SimProcess> m_sim;
};

TEST_F(SkypeLinkTest, FilesCrossOverTheClientSurviveItsRestartAndADeletionFollows)
{
    PrivateBus& busA = addBus("alice");
    PrivateBus& busB = addBus("bob");
    ASSERT_TRUE(startSim({"--user", "alice", "--bus", busA.address(), "--friends", "bob,carol", "--user", "bob",
                          "--bus", busB.address(), "--user", "carol", "--offline"}));
    Node& n1 = addSkypeNode("N1", "P", busA);
    Node& n2 = addSkypeNode("N2", "P", busB);
    n1.addSkypeRow("N2", "bob");
    n2.addSkypeRow("N1", "alice");
    ASSERT_TRUE(startNodes({&n1, &n2}));
    ASSERT_TRUE(waitFor("both nodes attached", [&] { return attached(n1, "alice") && attached(n2, "bob"); }, 60s));
    // The contact lists the nodes show are the simulator's.
    EXPECT_TRUE(waitFor("N1's contacts", [&] { return lastContacts(n1) == "bob,carol"; }, 30s)) << lastContacts(n1);
    EXPECT_TRUE(waitFor("N2's contacts", [&] { return lastContacts(n2) == "alice"; }, 30s)) << lastContacts(n2);

    const std::string one = pattern(1, 1), chunkAndOne = pattern(20481, 2), big = pattern(1048576 + 333, 3);
    n1.putFile("one.bin", one);
    n1.putFile("chunk_and_one.bin", chunkAndOne);
    n1.putFile("big.bin", big);
    ASSERT_TRUE(waitFor("three files at N2", [&] {
        return fileArrived(n2, "N1", "one.bin", one) && fileArrived(n2, "N1", "chunk_and_one.bin", chunkAndOne)
               && fileArrived(n2, "N1", "big.bin", big);
    }, 240s));
    EXPECT_FALSE(sim().streams("alice").empty()) << "no stream carried the files";

    // The client restarts while a file is on its way: the nodes lose the
    // link (status 0), attach again, and the file completes.
    const std::string again = pattern(1048576, 4);
    n1.putFile("again.bin", again);
    ASSERT_TRUE(waitFor("part of again.bin at N2", [&] {
        const auto e = entryOf(n2, "N1", "again.bin");
        return e && e->heldBytes >= 100000;
    }, 120s));
    const std::size_t statusesBefore = statusLines(n1).size();
    const int attachesBefore = sim().statusCount("alice", "attaches");
    ASSERT_EQ(sim().control("restart alice 1500"), "OK");
    ASSERT_TRUE(waitFor("N1 told of the lost client", [&] {
        const auto s = statusLines(n1);
        return std::find(s.begin() + static_cast<long>(statusesBefore), s.end(), 0) != s.end();
    }, 30s));
    EXPECT_NE(entryOf(n2, "N1", "again.bin")->complete, 1u) << "the file was complete before the restart";
    ASSERT_TRUE(waitFor("N1 attached again", [&] {
        return sim().statusCount("alice", "attaches") > attachesBefore && lastStatus(n1) == 1;
    }, 60s));
    ASSERT_TRUE(waitFor("again.bin complete at N2", [&] { return fileArrived(n2, "N1", "again.bin", again); }, 240s));

    // A deletion on N1 reaches N2.
    n1.removeFile("one.bin");
    ASSERT_TRUE(waitFor("one.bin deleted at N2", [&] {
        const auto e = entryOf(n2, "N1", "one.bin");
        return (!e || e->state == 2) && !exists(n2.recvPath("N1", "one.bin"));
    }, 120s));

    for (Node* n : {&n1, &n2})
        EXPECT_NE(n->terminate(90s), -1) << n->name();
    // A node that ends deletes its application and leaves the bus.
    EXPECT_TRUE(waitFor("the nodes gone from their clients", [&] {
        return sim().status("alice")["attached"].empty() && sim().status("bob")["apps"].empty();
    }, 30s));
}

TEST_F(SkypeLinkTest, ARelayPassesAFileOnOverTheClient)
{
    PrivateBus& busA = addBus("alice");
    PrivateBus& busB = addBus("bob");
    PrivateBus& busC = addBus("carol");
    ASSERT_TRUE(startSim({"--user", "alice", "--bus", busA.address(), "--friends", "bob", "--user", "bob", "--bus",
                          busB.address(), "--friends", "carol", "--user", "carol", "--bus", busC.address()}));
    Node& n1 = addSkypeNode("N1", "P", busA);
    Node& n2 = addSkypeNode("N2", "P", busB);
    Node& n3 = addSkypeNode("N3", "P", busC);
    n1.addSkypeRow("N2", "bob");
    n2.addSkypeRow("N1", "alice");
    n2.addSkypeRow("N3", "carol");
    n3.addSkypeRow("N2", "bob");
    ASSERT_TRUE(startNodes({&n1, &n2, &n3}));
    const std::string content = pattern(20481 * 3, 7);
    n1.putFile("relayed.bin", content);
    ASSERT_TRUE(waitFor("relayed.bin at N3", [&] { return fileArrived(n3, "N1", "relayed.bin", content); }, 240s));
    const auto e = entryOf(n3, "N1", "relayed.bin");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->route, std::vector<std::string>{"N2"}) << "the entry came to N3 through N2";
    for (Node* n : {&n1, &n2, &n3})
        EXPECT_NE(n->terminate(90s), -1) << n->name();
    // The console tells a user without the window which streams came up
    // and which went.
    for (const char* line : {"●●LINK UP SKYPE node=N1 user=alice", "●●LINK UP SKYPE node=N3 user=carol",
                             "●●LINK DOWN SKYPE node=N1 user=alice"})
        EXPECT_NE(n2.stdoutText().find(line), std::string::npos) << line;
}

TEST_F(SkypeLinkTest, AnotherPartyARefusedAttachAndNoSkypeStayApart)
{
    PrivateBus& busA = addBus("alice");
    PrivateBus& busC = addBus("carol");
    PrivateBus& busD = addBus("dave");
    PrivateBus& busE = addBus("erin");
    ASSERT_TRUE(startSim({"--user", "alice", "--bus", busA.address(), "--friends", "carol,dave,erin", "--user", "carol",
                          "--bus", busC.address(), "--user", "dave", "--bus", busD.address(), "--attach", "refuse",
                          "--user", "erin", "--bus", busE.address()}));
    Node& n1 = addSkypeNode("N1", "P", busA);
    Node& q1 = addSkypeNode("Q1", "Q", busC); // another party
    Node& refused = addSkypeNode("N4", "P", busD);
    Node& noSkype = addSkypeNode("N5", "P", busE);
    n1.addSkypeRow("Q1", "carol");
    n1.addSkypeRow("N4", "dave");
    n1.addSkypeRow("N5", "erin");
    q1.addSkypeRow("N1", "alice");
    refused.addSkypeRow("N1", "alice");
    noSkype.addSkypeRow("N1", "alice");
    for (Node* n : {&n1, &q1, &refused})
        n->start();
    noSkype.start({"-D386", "-NOSKYPE"});
    for (Node* n : {&n1, &q1, &refused, &noSkype})
        ASSERT_TRUE(waitFor(n->name() + " up", [n] { return n->ready(); }, 60s));
    n1.putFile("for_p.bin", pattern(3000, 8));
    q1.putFile("for_q.bin", pattern(3000, 9));

    ASSERT_TRUE(waitFor("both parties' applications made", [&] {
        return sim().status("alice")["apps"] == "YUVO000P" && sim().status("carol")["apps"] == "YUVO000Q";
    }, 60s));
    // The refused node shows status 3 and keeps asking, never attached.
    ASSERT_TRUE(waitFor("N4 refused", [&] { return lastStatus(refused) == 3; }, 30s));
    ASSERT_TRUE(waitFor("N4 asks again", [&] { return sim().statusCount("dave", "names") >= 2; }, 30s));
    EXPECT_EQ(sim().statusCount("dave", "attaches"), 0);

    // Two connect passes of the main window (10.5 s each) and a file scan.
    const auto until = Clock::now() + 25s;
    while (Clock::now() < until) {
        ASSERT_TRUE(sim().streams("alice").empty()) << "a stream to a node of another party came up";
        std::this_thread::sleep_for(500ms);
    }
    // No contact was ever connectable for N1: it never even asked.
    EXPECT_EQ(sim().control("count alice ALTER APPLICATION CONNECT"), "OK 0");
    EXPECT_FALSE(hasEntry(q1.catalog(), "N1", "for_p.bin"));
    EXPECT_FALSE(hasEntry(n1.catalog(), "Q1", "for_q.bin"));
    // The node with "-NOSKYPE" never said a word to its client.
    EXPECT_NE(noSkype.stdoutText().find("NO SKYPE MODE"), std::string::npos);
    EXPECT_EQ(sim().statusCount("erin", "invokes"), 0);
    EXPECT_EQ(sim().statusCount("erin", "names"), 0);
    for (Node* n : {&n1, &q1, &refused, &noSkype})
        EXPECT_NE(n->terminate(90s), -1) << n->name();
}

} // namespace
} // namespace e2e
