#include "platform/dirlist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/files.h"
#include "platform/localtime.h"
#include "support/tempdir.h"

namespace {

using platform::DirEntry;
using testsupport::TempDir;
using testsupport::writeFile;

std::vector<std::string> names(const std::vector<DirEntry>& entries)
{
    std::vector<std::string> out;
    for (const DirEntry& e : entries)
        out.push_back(e.nativeName);
    return out;
}

const DirEntry* entry(const std::vector<DirEntry>& entries, const std::string& name)
{
    for (const DirEntry& e : entries) {
        if (e.nativeName == name)
            return &e;
    }
    return nullptr;
}

TEST(DirList, SortedFilesAndFoldersOnly)
{
    TempDir dir;
    writeFile(dir.file("b.txt"), "bb");
    writeFile(dir.file("a.txt"), "a");
    writeFile(dir.file("C.txt"), "");
    writeFile(dir.file("\xE8\xA1\xA8.txt"), "hyo"); // 表.txt
    platform::createDirectory(dir.file("sub"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0); // never opened, so nothing blocks
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = dir.file("sock");
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sockPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("b.txt").c_str(), dir.file("link").c_str()), 0);

    std::vector<DirEntry> list;
    ASSERT_TRUE(platform::listDirectory(dir.path(), "*", list));
    close(sock);
    EXPECT_EQ(names(list), (std::vector<std::string>{"C.txt", "a.txt", "b.txt", "link", "sub",
                                                     "\xE8\xA1\xA8.txt"}));

    const DirEntry* hyo = entry(list, "\xE8\xA1\xA8.txt");
    ASSERT_TRUE(hyo);
    EXPECT_TRUE(hyo->nameConverts);
    EXPECT_STREQ(hyo->fd.cFileName, "\x95\x5C.txt");
    EXPECT_EQ(hyo->fd.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(hyo->fd.nFileSizeLow, 3u);

    const DirEntry* link = entry(list, "link");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->fd.nFileSizeLow, 2u); // the target's data
    EXPECT_STREQ(link->fd.cFileName, "link");

    const DirEntry* sub = entry(list, "sub");
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->fd.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(sub->fd.nFileSizeLow, 0u);
}

TEST(DirList, AttributesTimesAndSize)
{
    TempDir dir;
    writeFile(dir.file(".hidden"), "h");
    writeFile(dir.file("ro"), "r");
    ASSERT_EQ(chmod(dir.file("ro").c_str(), 0444), 0);
    const std::string big = dir.file("big");
    {
        platform::CFile f;
        ASSERT_TRUE(f.Open(big, platform::CFile::modeCreate | platform::CFile::modeWrite));
        f.SetLength((std::uint64_t(1) << 32) + 5); // sparse, takes no room
    }
    const struct timespec times[2] = {{1300000000, 100}, {1200000000, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), times, 0), 0);

    std::vector<DirEntry> list;
    ASSERT_TRUE(platform::listDirectory(dir.path(), "*", list));
    ASSERT_EQ(names(list), (std::vector<std::string>{".hidden", "big", "ro"}));
    EXPECT_EQ(list[0].fd.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(list[2].fd.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    const WIN32_FIND_DATAA& fd = list[1].fd;
    EXPECT_EQ(fd.nFileSizeHigh, 1u);
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_EQ(fileTimeToU64(fd.ftLastWriteTime), fileTimeToU64(fileTimeFromTimespec(times[1])));
    EXPECT_EQ(fileTimeToU64(fd.ftLastAccessTime), fileTimeToU64(fileTimeFromTimespec(times[0])));
    EXPECT_NE(fileTimeToU64(fd.ftCreationTime), 0u);
    for (std::size_t i = 3; i < sizeof fd.cFileName; ++i)
        ASSERT_EQ(fd.cFileName[i], 0) << i; // zero-filled behind the name
}

TEST(DirList, NamesWithoutCp932FormAreReportedNotMangled)
{
    TempDir dir;
    writeFile(dir.file("caf\xC3\xA9"), "x"); // é has no CP932 form
    std::vector<DirEntry> list;
    ASSERT_TRUE(platform::listDirectory(dir.path(), "*", list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0].nameConverts);
    EXPECT_EQ(list[0].nativeName, "caf\xC3\xA9");
    EXPECT_EQ(list[0].fd.cFileName[0], 0);
    WIN32_FIND_DATAA fd;
    EXPECT_FALSE(platform::findFileData(dir.file("caf\xC3\xA9"), &fd));
}

TEST(DirList, ShortcutPattern)
{
    TempDir dir;
    writeFile(dir.file("a.lnk"), "");
    writeFile(dir.file("B.LNK"), "");
    writeFile(dir.file("c.txt"), "");
    writeFile(dir.file("lnk"), "");
    std::vector<DirEntry> list;
    ASSERT_TRUE(platform::listDirectory(dir.path(), "*.lnk", list));
    EXPECT_EQ(names(list), (std::vector<std::string>{"B.LNK", "a.lnk"}));
    EXPECT_FALSE(platform::listDirectory(dir.file("missing"), "*", list));
    EXPECT_TRUE(list.empty());
}

TEST(DirList, OnePath)
{
    TempDir dir;
    writeFile(dir.file("f.txt"), "12345");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    WIN32_FIND_DATAA fd;
    ASSERT_TRUE(platform::findFileData(dir.file("f.txt"), &fd));
    EXPECT_STREQ(fd.cFileName, "f.txt");
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    ASSERT_TRUE(platform::findFileData(dir.path() + "/", &fd));
    EXPECT_EQ(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(platform::findFileData(dir.file("fifo"), &fd));
    EXPECT_FALSE(platform::findFileData(dir.file("missing"), &fd));

    EXPECT_EQ(platform::getFileAttributes(dir.file("f.txt")), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(platform::getFileAttributes(dir.path()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(platform::getFileAttributes(dir.file("missing")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(platform::getFileAttributes(dir.file("fifo")), FILE_ATTRIBUTE_SYSTEM);
}

} // namespace
