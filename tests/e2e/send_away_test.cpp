// N1's SEND is a mount point whose drive holds its files. The drive is not
// there at two starts, one of them ended by a kill soon after the start;
// when the drive is back, every file is still on it and at the neighbour.
#include <sys/mount.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class SendAwayTest : public NodesTest {};

TEST_F(SendAwayTest, ADriveNotMountedAtStartLosesNothingAnywhere)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    link(n1, n2);
    // The drive is a folder bind-mounted onto SEND; where mounting is
    // refused, SEND is a link to it, pointed at an empty folder while the
    // drive is away: to the node the same change of device and inode.
    const std::string drive = root() + "/drive", send = n1.dir() + "/SEND";
    fs::create_directories(drive);
    fs::create_directories(send);
    const bool mounts = ::mount(drive.c_str(), send.c_str(), nullptr, MS_BIND, nullptr) == 0;
    const auto attach = [&](bool on) {
        if (mounts) {
            on ? ::mount(drive.c_str(), send.c_str(), nullptr, MS_BIND, nullptr) : ::umount2(send.c_str(), 0);
            return;
        }
        fs::remove_all(send);
        fs::create_directories(root() + "/bare");
        fs::create_directory_symlink(on ? drive : root() + "/bare", send);
    };
    const struct Unmount {
        std::function<void()> f;
        ~Unmount() { f(); }
    } unmount{[&] { attach(false); }};
    if (!mounts)
        attach(true);
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i)
        names.push_back("file" + std::to_string(i) + ".txt");
    const auto contentOf = [](const std::string& name) { return "on the drive: " + name; };
    const auto put = [&](const std::string& name) {
        writeFile(drive + "/." + name, contentOf(name)); // whole before it shows
        fs::rename(drive + "/." + name, drive + "/" + name);
    };
    const auto n2Holds = [&](const std::vector<std::string>& files) {
        const auto cat = n2.catalog();
        for (const std::string& f : files) {
            const CatalogEntry* e = findEntry(cat, "N1", f);
            if (!e || e->state == 2 || e->complete != 1 || readFile(n2.recvPath("N1", f)) != contentOf(f))
                return false;
        }
        return true;
    };
    ASSERT_TRUE(startNodes({&n1, &n2}));
    for (const std::string& f : names)
        put(f);
    ASSERT_TRUE(waitFor("the 20 files at N2", [&] { return n2Holds(names); }, 180s));
    ASSERT_NE(n1.terminate(90s), -1);

    // Each start's first check says that SEND is away (an older node deleted
    // the registrations instead); the node ends within seconds of its start.
    attach(false);
    const auto said = [&] {
        const std::string out = n1.stdoutText(), away = "is not the folder this node knows";
        int n = 0;
        for (std::size_t at = out.find(away); at != std::string::npos; at = out.find(away, at + 1))
            ++n;
        return n;
    };
    n1.start();
    waitUntil([&] { return said() == 1 || (!n1.catalog().empty() && n1.catalog()[0].state == 2); }, 60s);
    ASSERT_NE(n1.terminate(90s), -1);
    n1.start();
    waitUntil([&] { return said() == 2; }, 5s);
    n1.kill();
    EXPECT_EQ(said(), 2);
    EXPECT_TRUE(fs::is_empty(send)) << "nothing written into SEND without its drive";

    attach(true);
    n1.start();
    put("marker.txt");
    ASSERT_TRUE(waitFor("a file put in after the drive came back at N2", [&] { return n2Holds({"marker.txt"}); },
                        180s));
    for (const std::string& f : names)
        EXPECT_EQ(readFile(drive + "/" + f), contentOf(f)) << "gone from the drive";
    EXPECT_TRUE(n2Holds(names));
    ASSERT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
