// Party boundaries: a node of another party that a node lists gets nothing
// and loses its link, and a second start in the same party or the same
// working folder is refused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>

#include "e2e_fixture.h"

namespace e2e {
namespace {

const char kDuplicateStart[] = "\xEF\xBC\x92\xE9\x87\x8D\xE8\xB5\xB7\xE5\x8B\x95\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82"
                               "\xE5\x87\xA6\xE7\x90\x86\xE3\x82\x92\xE4\xB8\xAD\xE6\xAD\xA2\xE3\x81\x97\xE3\x81\xBE"
                               "\xE3\x81\x99"; // ２重起動です。処理を中止します

std::vector<std::string> withLockFolder(std::vector<std::string> env, const std::string& dir)
{
    for (auto& e : env)
        if (e.rfind("YUVO_LOCK_FOLDER=", 0) == 0)
            e = "YUVO_LOCK_FOLDER=" + dir;
    return env;
}

using PartyTest = NodesTest;

TEST_F(PartyTest, NodeOfAnotherPartyGetsNothingAndLosesItsLink)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    Node& n4 = addNode("N4", "Q");
    link(n1, n2);
    link(n2, n4);
    ASSERT_TRUE(startNodes({&n1, &n2, &n4}));

    const std::string shared = pattern(50000, 30), foreign = pattern(40000, 31);
    n1.putFile("for_the_party.bin", shared);
    n4.putFile("from_q.bin", foreign);

    // N4's links (it lists N2 alone): when each was first seen, and the
    // lifetimes of those that closed while both nodes ran.
    std::map<unsigned long, Clock::time_point> seen;
    std::vector<std::pair<Clock::time_point, double>> closed; // first seen, lifetime
    const auto track = [&] {
        if (!n4.running() || !n2.running())
            return;
        const auto now = Clock::now();
        const auto live = establishedSockets(n4.pid());
        for (auto ino : live)
            seen.emplace(ino, now);
        for (auto it = seen.begin(); it != seen.end();) {
            if (!live.count(it->first)) {
                closed.emplace_back(it->second, std::chrono::duration<double>(now - it->second).count());
                it = seen.erase(it);
            } else {
                ++it;
            }
        }
    };

    ASSERT_TRUE(waitFor(
        "the party's file at N2",
        [&] {
            track();
            const std::string path = n2.recvPath("N1", "for_the_party.bin");
            return fileSize(path) == static_cast<long long>(shared.size()) && readFile(path) == shared;
        },
        240s));
    const auto complete = Clock::now();

    // Watch N4's links for a while after N2 has the file to pass on: links
    // are opened again and again (each side's connect pass), and none may
    // outlive a hello period by much: the party check ends each one at the
    // latest at the first hello after the identifying one.
    const auto watchEnd = Clock::now() + 50s;
    while (Clock::now() < watchEnd && n4.running() && n2.running()) {
        track();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(n4.running() && n2.running());
    int opened = 0;
    double longest = 0;
    for (const auto& [first, life] : closed)
        if (first >= complete) {
            ++opened;
            longest = std::max(longest, life);
        }
    for (const auto& [ino, first] : seen) {
        ++opened;
        longest = std::max(longest, std::chrono::duration<double>(Clock::now() - first).count());
    }
    std::printf("e2e: %d links of N4 seen while watching; the longest lived %.1f s\n", opened, longest);
    EXPECT_GT(opened, 0) << "N2 and N4 never linked: nothing was tried";
    EXPECT_LT(longest, 30.0) << "a link to the other party stayed up";

    EXPECT_FALSE(hasEntry(n4.catalog(), "N1", "for_the_party.bin"));
    EXPECT_FALSE(exists(n4.recvPath("N1", "for_the_party.bin")));
    for (const auto& e : n4.catalog())
        EXPECT_EQ(e.originNode, "N4") << "N4 took an entry of " << e.originNode << "/" << e.fileName;
    for (Node* n : {&n1, &n2}) {
        EXPECT_FALSE(hasEntry(n->catalog(), "N4", "from_q.bin")) << n->name();
        EXPECT_FALSE(exists(n->recvPath("N4", "from_q.bin"))) << n->name();
    }
    for (Node* n : {&n1, &n2, &n4})
        EXPECT_NE(n->terminate(90s), -1) << n->name();
    // The console tells a user without the window which links came up and
    // which went; a link to the other party never came up.
    EXPECT_NE(n1.stdoutText().find("●●LINK UP TCP node=N2"), std::string::npos);
    const std::string n2Lines = n2.stdoutText();
    EXPECT_NE(n2Lines.find("●●LINK UP TCP node=N1"), std::string::npos);
    EXPECT_NE(n2Lines.find("●●LINK DOWN TCP node=N1"), std::string::npos);
    EXPECT_EQ(n2Lines.find("●●LINK UP TCP node=N4"), std::string::npos);
}

TEST_F(PartyTest, SecondStartInThePartyOrTheFolderIsRefused)
{
    Node& n1 = addNode("N1", "P");
    Node& absent = addNode("N2", "P"); // listed, never started
    n1.addRow(absent);
    ASSERT_TRUE(startNodes({&n1}));
    ASSERT_TRUE(waitFor("N1 listening", [&] { return accepts(n1.port()); }, 60s));

    // Same party, another folder, the same lock folder as N1.
    Node& other = addNode("N9", "P");
    other.addRow(absent);
    other.writeIni();
    RunResult r = runYuvo(other.dir(), withLockFolder(other.environment(), n1.lockFolder()), {"-D386"}, 60s);
    ASSERT_TRUE(r.exited) << "a second node of party P kept running";
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) != 0) << "status " << r.status;
    EXPECT_NE(r.err.find(kDuplicateStart), std::string::npos) << "stderr: " << r.err << "\nstdout: " << r.out;
    EXPECT_FALSE(exists(other.dir() + "/CATALOG")) << "the refused start touched its folder";

    // N1's own folder again, under another lock folder.
    r = runYuvo(n1.dir(), withLockFolder(n1.environment(), other.lockFolder()), {"-D386"}, 60s);
    ASSERT_TRUE(r.exited) << "a second node in N1's folder kept running";
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) != 0) << "status " << r.status;
    EXPECT_NE(r.err.find(kDuplicateStart), std::string::npos) << "stderr: " << r.err << "\nstdout: " << r.out;

    // Another party beside N1 runs.
    Node& q = addNode("Q1", "Q");
    q.addRow(absent);
    q.writeIni();
    r = runYuvo(q.dir(), withLockFolder(q.environment(), n1.lockFolder()), {"-D386"}, 8s);
    EXPECT_FALSE(r.exited) << "a node of party Q next to N1 ended: status " << r.status << "\nstderr: " << r.err;

    EXPECT_TRUE(n1.running());
    EXPECT_TRUE(accepts(n1.port()));
    const int st = n1.terminate(90s);
    EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
}

} // namespace
} // namespace e2e
