// N1's SEND is a mount point whose drive holds its files. The drive is not
// there at two starts, one of them ended by a kill soon after the start;
// when the drive is back, every file is still on it and at the neighbour.
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// The drive: a folder bind-mounted onto SEND. Where mounting is refused,
// SEND is a link to the drive's folder, pointed at an empty folder while
// the drive is away: to the node the same change of device and inode.
class Drive {
public:
    Drive(std::string folder, std::string mountPoint) : m_folder(std::move(folder)), m_point(std::move(mountPoint))
    {
        fs::create_directories(m_folder);
        fs::create_directories(m_point);
        m_mounts = ::mount(m_folder.c_str(), m_point.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (m_mounts) {
            m_attached = true;
            return;
        }
        std::printf("e2e: bind mount refused (%s); SEND is a link instead\n", std::strerror(errno));
        fs::remove(m_point);
        fs::create_directories(m_folder + ".bare");
        pointAt(m_folder);
    }
    ~Drive() { detach(); }

    void attach()
    {
        if (m_mounts)
            m_attached = ::mount(m_folder.c_str(), m_point.c_str(), nullptr, MS_BIND, nullptr) == 0;
        else
            pointAt(m_folder);
    }
    void detach()
    {
        if (!m_mounts)
            pointAt(m_folder + ".bare");
        else if (m_attached && ::umount2(m_point.c_str(), 0) == 0)
            m_attached = false;
    }
    // Written beside and renamed in, on the drive itself.
    void put(const std::string& name, const std::string& content) const
    {
        writeFile(m_folder + "/." + name, content);
        fs::rename(m_folder + "/." + name, m_folder + "/" + name);
    }
    const std::string& folder() const { return m_folder; }

private:
    void pointAt(const std::string& to)
    {
        fs::create_directory_symlink(to, m_point + ".new");
        fs::rename(m_point + ".new", m_point);
    }

    std::string m_folder, m_point;
    bool m_mounts = false;
    bool m_attached = false;
};

class SendAwayTest : public NodesTest {};

TEST_F(SendAwayTest, ADriveNotMountedAtStartLosesNothingAnywhere)
{
    Node& n1 = addNode("N1", "P");
    Node& n2 = addNode("N2", "P");
    link(n1, n2);
    Drive drive(root() + "/drive", n1.dir() + "/SEND");
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i)
        names.push_back("file" + std::to_string(i) + ".txt");
    const auto contentOf = [](const std::string& name) { return "on the drive: " + name; };
    // N2 holds every file of N1 named, live and whole.
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
        drive.put(f, contentOf(f));
    ASSERT_TRUE(waitFor("the 20 files at N2", [&] { return n2Holds(names); }, 180s));
    ASSERT_NE(n1.terminate(90s), -1);

    drive.detach();
    // Each start's first check says that SEND is away; an older node
    // deleted the registrations instead. Either way the node ends within
    // seconds of its start.
    const std::string away = "is not the folder this node knows";
    const auto said = [&] {
        const std::string out = n1.stdoutText();
        int n = 0;
        for (std::size_t at = out.find(away); at != std::string::npos; at = out.find(away, at + 1))
            ++n;
        return n;
    };
    const auto registrationsDeleted = [&] {
        for (const CatalogEntry& e : n1.catalog())
            if (e.state == 2)
                return true;
        return false;
    };
    n1.start();
    waitUntil([&] { return said() == 1 || registrationsDeleted(); }, 60s);
    ASSERT_NE(n1.terminate(90s), -1);
    n1.start();
    waitUntil([&] { return said() == 2; }, 5s);
    n1.kill();
    EXPECT_EQ(said(), 2);
    EXPECT_TRUE(fs::is_empty(n1.dir() + "/SEND")) << "nothing written into SEND without its drive";
    EXPECT_TRUE(n2Holds(names)) << "N2 lost files while N1's drive was away";

    drive.attach();
    n1.start();
    drive.put("marker.txt", contentOf("marker.txt"));
    ASSERT_TRUE(waitFor("a file put in after the drive came back at N2", [&] { return n2Holds({"marker.txt"}); },
                        180s));
    for (const std::string& f : names)
        EXPECT_EQ(readFile(drive.folder() + "/" + f), contentOf(f)) << "gone from the drive";
    EXPECT_TRUE(n2Holds(names));
    ASSERT_NE(n1.terminate(90s), -1);
}

} // namespace
} // namespace e2e
